#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <ranges>
#include <string>
#include <vector>

#include "check.hpp"
#include "base/alias_list.hpp"
#include "base/fmt_join.hpp"
#include "base/hash_table64.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"

using namespace tsl;

namespace {

template <class T>
std::vector<T> newest_first(const AliasArena<T>& arena, AliasList<T> list) {
    std::vector<T> out;
    for (const T& v : arena.iter(list)) out.push_back(v);
    return out;
}

// A key whose content hash the test chooses: `bucket` alone is hashed, while
// equality also compares `name`.
struct Key {
    std::uint64_t bucket;
    std::string name;
    void hash(ContentHasher& h) const { h.u64(bucket); }
    friend bool operator==(const Key&, const Key&) = default;
};

std::uint64_t hash_of(std::uint64_t bucket) {
    ContentHasher h;
    h.u64(bucket);
    return h.finish();
}

}  // namespace

// ---- AliasList ---------------------------------------------------------------

TEST_CASE(alias_list_iteration_and_sharing) {
    static_assert(sizeof(AliasCons<Instr32>) == 8);
    static_assert(sizeof(AliasList<Instr32>) == 4);
    AliasArena<int> arena;
    const AliasList<int> nil;
    CHECK(nil.is_nil());
    CHECK(newest_first(arena, nil).empty());
    const auto a = AliasList<int>::cons(arena, nil, 1);
    const auto ab = arena.cons(a, 2);
    CHECK((newest_first(arena, ab) == std::vector<int>{2, 1}));
    // Two extensions of one list share it; the list itself is unchanged.
    const auto abc = arena.cons(ab, 3);
    const auto abd = arena.cons(ab, 4);
    CHECK((newest_first(arena, abc) == std::vector<int>{3, 2, 1}));
    CHECK((newest_first(arena, abd) == std::vector<int>{4, 2, 1}));
    CHECK((newest_first(arena, ab) == std::vector<int>{2, 1}));
    CHECK_EQ(arena.tail(abc), ab);
    CHECK_EQ(arena.tail(abd), ab);
    CHECK_EQ(arena.size(), 4u);  // one cell per extension
    CHECK_EQ(arena.length(abd), 3u);
    CHECK_EQ(arena.length(nil), 0u);

    std::vector<int> buf = {9, 9, 9, 9, 9};
    arena.collect_oldest_first(abd, buf);
    CHECK((buf == std::vector<int>{1, 2, 4}));
    arena.collect_newest_first(abd, buf);
    CHECK((buf == std::vector<int>{4, 2, 1}));

    std::array<int, 4> fixed{};
    CHECK_EQ(arena.write_oldest_first(abc, fixed), 3u);
    CHECK((fixed == std::array<int, 4>{1, 2, 3, 0}));
    CHECK_EQ(arena.write_oldest_first(nil, fixed), 0u);
    std::array<int, 2> small{};
    CHECK_PANICS(arena.write_oldest_first(abc, small), "index out of bounds: the len is 2 but the index is 2");
}

TEST_CASE(alias_list_long_chains_across_chunks) {
    // A chain longer than one storage chunk, with branches on the way.
    auto arena = AliasArena<Instr32>::make();
    AliasList<Instr32> list;
    std::vector<AliasList<Instr32>> branches;
    const std::size_t n = AliasArena<Instr32>::kChunkSize * 2 + 17;
    for (std::size_t i = 0; i < n; ++i) {
        list = arena->cons(list, Instr32(Gate16(static_cast<std::uint16_t>(i)), 0));
        if (i % 50000 == 0) branches.push_back(arena->cons(list, Instr32(gates::X, 1)));
    }
    std::vector<Instr32> order;
    arena->collect_oldest_first(list, order);
    CHECK_EQ(order.size(), n);
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok = ok && order[i].gate().index() == static_cast<std::uint16_t>(i);
    CHECK(ok);
    for (std::size_t b = 0; b < branches.size(); ++b) {
        CHECK_EQ(arena->head(branches[b]), Instr32(gates::X, 1));
        CHECK_EQ(arena->length(branches[b]), b * 50000 + 2);
    }
}

TEST_CASE(alias_list_cells_outlive_their_first_owner) {
    // A derived structure holds lists into the same cells and a share of the
    // arena; dropping the original owner leaves them readable.
    struct Owner {
        std::shared_ptr<AliasArena<Instr32>> arena;
        std::vector<AliasList<Instr32>> members;
    };
    auto first = std::make_unique<Owner>();
    first->arena = AliasArena<Instr32>::make();
    const auto base = first->arena->cons({}, Instr32(gates::H, 0));
    first->members.push_back(first->arena->cons(base, Instr32(gates::CX, 0, 1)));
    first->members.push_back(first->arena->cons(base, Instr32(gates::T, 0)));
    Owner derived{first->arena, first->members};
    first.reset();
    CHECK_EQ(derived.arena.use_count(), 1);
    CHECK((newest_first(*derived.arena, derived.members[0]) ==
           std::vector<Instr32>{Instr32(gates::CX, 0, 1), Instr32(gates::H, 0)}));
    CHECK((newest_first(*derived.arena, derived.members[1]) ==
           std::vector<Instr32>{Instr32(gates::T, 0), Instr32(gates::H, 0)}));
}

// ---- HashTable64 -------------------------------------------------------------

TEST_CASE(hash_table_insert_and_collision) {
    HashTable64<Key, int> t;
    const std::uint64_t h = hash_of(7);
    CHECK_EQ(content_hash_of(Key{7, "a"}), h);
    auto [h1, prev1] = t.insert(Key{7, "a"}, 10);
    CHECK_EQ(h1, h);
    CHECK(!prev1.has_value());
    // An equal key: replaced, the old value handed back.
    auto [h2, prev2] = t.insert(Key{7, "a"}, 20);
    CHECK_EQ(h2, h);
    CHECK_EQ(prev2, std::optional<int>(10));
    CHECK_EQ(t.address(h)->second, 20);
    // A different key with the same hash: refused, table unchanged.
    CHECK_PANICS(t.insert(Key{7, "b"}, 30), "Hash collision detected in HashTable64");
    CHECK_EQ(t.size(), 1u);
    CHECK_EQ(t.address(h)->first.name, "a");
    CHECK_EQ(t.address(h)->second, 20);
    // Another hash is another entry.
    t.insert(Key{8, "b"}, 30);
    CHECK_EQ(t.size(), 2u);
    CHECK_EQ(t.address(hash_of(8))->second, 30);
}

TEST_CASE(hash_table_lookups_by_hash) {
    HashTable64<Key, std::string> t;
    CHECK(t.address(1) == nullptr);
    CHECK(!t.address_mut(1).has_value());
    t.insert(Key{1, "k"}, "v");
    auto m = t.address_mut(hash_of(1));
    CHECK(m.has_value());
    CHECK_EQ(m->first.name, "k");
    m->second = "changed";
    CHECK_EQ(t.address(hash_of(1))->second, "changed");

    // address_or stores its default, unchecked, under the given hash.
    auto e = t.address_or(42, Key{99, "first"}, "one");
    CHECK_EQ(e.first.name, "first");
    CHECK_EQ(e.second, "one");
    e.second = "uno";
    auto again = t.address_or(42, {Key{5, "second"}, "two"});
    CHECK_EQ(again.first.name, "first");
    CHECK_EQ(again.second, "uno");
    CHECK_EQ(t.size(), 2u);
    CHECK(t.contains(42));
    // The unchecked entry sits under 42, not under its key's hash.
    CHECK(!t.contains(hash_of(99)));
}

// ---- FmtJoin -----------------------------------------------------------------

TEST_CASE(fmt_join_forms) {
    const std::vector<int> none, one = {7}, three = {1, 2, 3};
    CHECK_EQ(fjoin(none, ", ").to_string(), "");
    CHECK_EQ(fjoin(three, ", ").to_string(), "1, 2, 3");
    CHECK_EQ(fjoin_opt_braces(none, ", ", "(", ")").to_string(), "");
    CHECK_EQ(fjoin_opt_braces(one, ", ", "(", ")").to_string(), "(7)");
    CHECK_EQ(fjoin_opt_braces(three, "; ", "[", "]").to_string(), "[1; 2; 3]");
    CHECK_EQ(fjoin_full(none, ", ", "(", ")", "nothing").to_string(), "nothing");
    CHECK_EQ(fjoin_full(one, ", ", "(", ")", "nothing").to_string(), "(7)");
    // Bytes print as numbers; strings and values with a text form as text.
    const std::vector<std::uint8_t> bytes = {0, 255};
    CHECK_EQ(fjoin(bytes, " ").to_string(), "0 255");
    const std::vector<std::string> words = {"pi/3", "x"};
    CHECK_EQ(fjoin_opt_braces(words, ", ", "(", ")").to_string(), "(pi/3, x)");
    const std::vector<Instr32> instrs = {Instr32(gates::H, 0), Instr32(gates::CX, 0, 1)};
    CHECK_EQ(fjoin(instrs, " ").to_string(), "h(0) cx(0, 1)");
    CHECK_EQ(fjoin(instrs | std::views::reverse, " ").to_string(), "cx(0, 1) h(0)");
    CHECK_EQ(fjoin(Permut32::from_iter({2, 0, 1}), "-").to_string(), "2-0-1");
    // A custom item formatter; the joiner appends to what is there.
    std::string out = "x=";
    fjoin_full(three, "+", "", "", "", [](std::string& s, int v) { s += std::to_string(v * 10); })
        .write_to(out);
    CHECK_EQ(out, "x=10+20+30");
}

TEST_CASE(fmt_join_is_one_shot) {
    const std::vector<int> three = {1, 2, 3};
    auto j = fjoin_full(three, ", ", "<", ">", "empty");
    CHECK_EQ(j.to_string(), "<1, 2, 3>");
    CHECK_EQ(j.to_string(), "empty");
    auto k = fjoin(three, ", ");
    CHECK_EQ(k.to_string(), "1, 2, 3");
    CHECK_EQ(k.to_string(), "");

    // Printing a joiner from inside its own printing.
    using Fmt = std::function<void(std::string&, int)>;
    const FmtJoin<std::views::all_t<const std::vector<int>&>, Fmt>* self = nullptr;
    auto r = fjoin_full(three, ", ", "", "", "", Fmt([&](std::string& s, int) { self->write_to(s); }));
    self = &r;
    CHECK_PANICS(r.to_string(), "RefCell already borrowed");
    // The borrow is released after the panic; the items were consumed.
    CHECK_EQ(r.to_string(), "");
}

CHECK_MAIN()
