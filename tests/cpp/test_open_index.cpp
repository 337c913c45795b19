#include <cstdint>
#include <optional>
#include <ratio>
#include <string>
#include <vector>

#include "check.hpp"
#include "base/open_index.hpp"

using namespace tsl;

namespace {

// Entries kept beside an index, as its users keep them: the index finds an
// entry by its hash and compares names through the predicate.
template <class Index>
struct Table {
    struct Entry {
        std::uint64_t hash;
        std::string name;
    };
    std::vector<Entry> entries;
    Index index;
    mutable int compared = 0;  // predicate calls

    void add(std::uint64_t hash, std::string name) {
        index.make_room([&](auto&& place) {
            for (std::size_t i = 0; i < entries.size(); ++i) place(entries[i].hash, i);
        });
        entries.push_back({hash, std::move(name)});
        index.insert_new(hash, entries.size() - 1);
    }
    auto same(const std::string& name) const {
        return [this, &name](std::uint64_t i) {
            ++compared;
            return entries[i].name == name;
        };
    }
    // The entry's index, none when absent.
    std::optional<std::uint64_t> find(std::uint64_t hash, const std::string& name) const {
        const auto i = index.find(hash, same(name));
        if (i == Index::kNone) return std::nullopt;
        return i;
    }
};

// The two layouts with a 32-bit tag, which the cases below run with alike.
template <class Layout>
using Index32 = OpenIndex<Layout, std::ratio<3, 4>>;

template <class Layout>
void finds_entries_through_tag_and_predicate() {
    Table<Index32<Layout>> t;
    CHECK(!t.find(5, "a").has_value());  // no table yet
    // Same hash, different entries: the predicate tells them apart.
    t.add(0x1234'0000'0005, "a");
    t.add(0x1234'0000'0005, "b");
    // Same home slot, other tags: skipped without a comparison.
    t.add(0x9999'0000'0005, "c");
    t.add(0x7777'0000'0015, "d");
    // A run that wraps past the last slot.
    t.add(0x1'0000'000F, "e");
    t.add(0x2'0000'000F, "f");
    CHECK_EQ(t.index.size(), 6u);
    CHECK_EQ(t.index.capacity(), 16u);
    CHECK_EQ(t.index.bytes(), 16 * sizeof(std::uint64_t));
    const char* names[] = {"a", "b", "c", "d", "e", "f"};
    for (std::size_t i = 0; i < 6; ++i) CHECK_EQ(t.find(t.entries[i].hash, names[i]), std::optional<std::uint64_t>(i));
    t.compared = 0;
    CHECK_EQ(t.find(0x9999'0000'0005, "c"), std::optional<std::uint64_t>(2));
    CHECK_EQ(t.compared, 1);
    CHECK(!t.find(0x1234'0000'0005, "z").has_value());
    CHECK_EQ(t.compared, 3);  // a and b only
    CHECK(!t.find(0x5555'0000'0005, "a").has_value());
    CHECK(!t.find(0x2'0000'000F, "e").has_value());
    CHECK_EQ(t.index.probe(0x2'0000'000F, t.same("f")), 0u);  // wrapped
}

template <class Layout>
void grows_at_its_load_limit() {
    // Three quarters: 12 entries in 16 slots, the 13th doubles the table.
    Table<Index32<Layout>> q;
    // Half: 8 in 16, the 9th doubles.
    Table<OpenIndex<Layout, std::ratio<1, 2>>> h;
    for (std::uint64_t i = 0; i < 100; ++i) {
        const std::uint64_t hash = (i + 1) * 0x9E3779B97F4A7C15ull;
        q.add(hash, std::to_string(i));
        h.add(hash, std::to_string(i));
        const std::size_t n = i + 1;
        std::size_t qcap = 16, hcap = 16;
        while (n * 4 > qcap * 3) qcap *= 2;
        while (n * 2 > hcap) hcap *= 2;
        CHECK_EQ(q.index.capacity(), qcap);
        CHECK_EQ(h.index.capacity(), hcap);
    }
    for (std::uint64_t i = 0; i < 100; ++i) {
        CHECK_EQ(q.find(q.entries[i].hash, std::to_string(i)), std::optional<std::uint64_t>(i));
        CHECK_EQ(h.find(h.entries[i].hash, std::to_string(i)), std::optional<std::uint64_t>(i));
    }
}

template <class Layout>
void places_entries_again_in_the_order_given() {
    // Twelve entries fill slots 0 .. 11 (homes 0 .. 10, the last two sharing
    // home 10); the thirteenth doubles the table to 32 slots, where the two
    // of home 10 are placed again in the order growing gives them.
    auto filled = [](bool reversed) {
        Index32<Layout> index;
        std::vector<std::uint64_t> hashes;
        for (std::uint64_t i = 0; i < 11; ++i) hashes.push_back(i << 32 | i);
        hashes.push_back(std::uint64_t{11} << 32 | 10);
        for (std::uint64_t i = 0; i < hashes.size(); ++i) {
            index.make_room([](auto&&) {});  // below the limit: not called
            index.insert_new(hashes[i], i);
        }
        hashes.push_back(std::uint64_t{12} << 32 | 12);
        index.make_room([&](auto&& place) {
            for (std::size_t k = 0; k < 12; ++k) {
                const std::size_t i = reversed ? 11 - k : k;
                place(hashes[i], i);
            }
        });
        index.insert_new(hashes[12], 12);
        CHECK_EQ(index.capacity(), 32u);
        return index;
    };
    const auto by = [](std::uint64_t want) { return [want](std::uint64_t i) { return i == want; }; };
    const Index32<Layout> forward = filled(false), backward = filled(true);
    CHECK_EQ(forward.probe(std::uint64_t{10} << 32 | 10, by(10)), 10u);
    CHECK_EQ(forward.probe(std::uint64_t{11} << 32 | 10, by(11)), 11u);
    CHECK_EQ(backward.probe(std::uint64_t{11} << 32 | 10, by(11)), 10u);
    CHECK_EQ(backward.probe(std::uint64_t{10} << 32 | 10, by(10)), 11u);
    // The entry of home 12 is now where it belongs, past the run.
    CHECK_EQ(forward.probe(std::uint64_t{12} << 32 | 12, by(12)), 12u);

    // Growing in slot order: x (index 0) and y (index 1) share home 15 of
    // 16 slots, y wrapped to slot 0, so y comes first and keeps their shared
    // home 31 of 32 slots, while x wraps to slot 0.
    const auto hash_of = [](std::uint64_t i) { return i < 2 ? (i + 1) << 32 | 31 : i << 32 | i; };
    Index32<Layout> slot_order;
    for (std::uint64_t i = 0; i < 13; ++i) {
        slot_order.make_room_in_slot_order(hash_of);
        slot_order.insert_new(hash_of(i), i);
    }
    CHECK_EQ(slot_order.capacity(), 32u);
    CHECK_EQ(slot_order.probe(hash_of(1), by(1)), 31u);
    CHECK_EQ(slot_order.probe(hash_of(0), by(0)), 0u);
    CHECK_EQ(slot_order.probe(hash_of(12), by(12)), 12u);
}

}  // namespace

TEST_CASE(open_index_finds_entries_through_tag_and_predicate) {
    finds_entries_through_tag_and_predicate<PackedSlot<32>>();
    finds_entries_through_tag_and_predicate<IndexTagSlot>();
}

TEST_CASE(open_index_grows_at_its_load_limit) {
    grows_at_its_load_limit<PackedSlot<32>>();
    grows_at_its_load_limit<IndexTagSlot>();
}

TEST_CASE(open_index_places_entries_again_in_the_order_given) {
    places_entries_again_in_the_order_given<PackedSlot<32>>();
    places_entries_again_in_the_order_given<IndexTagSlot>();
}

TEST_CASE(open_index_probe_and_fill_and_wide_indices) {
    static_assert(sizeof(PackedSlot<32>::Slot) == 8 && sizeof(IndexTagSlot::Slot) == 8);
    // 40-bit indices leave 24 bits of tag.
    using Index40 = OpenIndex<PackedSlot<40>, std::ratio<3, 4>>;
    static_assert(Index40::kMaxIndex == (std::uint64_t{1} << 40) - 2);
    Index40 index;
    index.make_room([](auto&&) {});
    CHECK_EQ(index.capacity(), 16u);
    const std::uint64_t a = std::uint64_t{0xABC} << 40 | 3, b = std::uint64_t{0xABD} << 40 | 3;
    const auto any = [](std::uint64_t) { return true; };
    const std::size_t slot = index.probe(a, any);
    CHECK_EQ(slot, 3u);
    CHECK_EQ(index.index_at(slot), Index40::kNone);
    index.fill(slot, a, Index40::kMaxIndex);
    CHECK_EQ(index.size(), 1u);
    CHECK_EQ(index.find(a, any), Index40::kMaxIndex);
    CHECK_EQ(index.index_at(slot), Index40::kMaxIndex);
    // Another tag in the same run: its empty slot is the next one.
    CHECK_EQ(index.find(b, any), Index40::kNone);
    CHECK_EQ(index.probe(b, any), 4u);

    // Copies are independent.
    Index40 copy = index;
    copy.insert_new(b, 7);
    CHECK_EQ(copy.find(b, any), 7u);
    CHECK_EQ(index.find(b, any), Index40::kNone);
    CHECK_EQ(index.size(), 1u);
}

CHECK_MAIN()
