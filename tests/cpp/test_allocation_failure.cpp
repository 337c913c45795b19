// Containers of the search stay whole when an allocation fails: each case
// makes the k-th allocation of an operation fail, for k = 0, 1, ... until the
// operation completes, and checks the container after every failed attempt.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "failing_allocation.hpp"
#include "search/evaluator.hpp"
#include "search/key_index_map.hpp"
#include "search/raw_eccs.hpp"

using namespace tsl;

using check::with_each_allocation_failing;

TEST_CASE(key_index_map_keeps_its_entries_when_growing_fails) {
    std::vector<std::uint64_t> keys;
    for (std::uint64_t i = 0; i < 200; ++i) keys.push_back((i + 1) * 0x9E3779B97F4A7C15ull);
    const auto key_of = [&](std::uint32_t i) { return keys[i]; };
    KeyIndexMap map;
    int failures = 0;
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
        failures += with_each_allocation_failing([&] { map.insert_new(keys[i], i, key_of); },
                                                 [&] {
                                                     CHECK_EQ(map.size(), std::size_t{i});
                                                     for (std::uint32_t j = 0; j < i; ++j)
                                                         CHECK_EQ(map.find(keys[j], key_of), j);
                                                     CHECK_EQ(map.find(keys[i], key_of), KeyIndexMap::kEmpty);
                                                 });
        CHECK_EQ(map.find(keys[i], key_of), i);
    }
    CHECK_EQ(map.size(), keys.size());
    CHECK(failures >= 5);  // every growth up to 256 slots failed once
}

TEST_CASE(raw_eccs_counts_a_class_only_once_it_is_stored) {
    ChaCha12Rng::Seed seed{};
    seed[0] = 0x3C;
    ChaCha12Rng rng(seed);
    const Evaluator e = Evaluator::from_random(rng, 2);
    const Permut32 id = Permut32::identity(2);
    const std::vector<Instr32> one{Instr32(gates::H, 0)};
    RawECCs map(e);
    int failures = 0;
    for (std::uint64_t n = 0; n < 100; ++n) {
        const std::uint64_t key = (n + 7) * 0xD1B54A32D192ED03ull;
        const std::size_t before = map.num_classes();
        failures += with_each_allocation_failing(
            [&] { map.add_entry(key, id, id, InstrList::nil(), one); },
            [&] {
                CHECK_EQ(map.num_classes(), before);
                CHECK(map.find(key) == nullptr);
                for (std::size_t i = 0; i < map.num_classes(); ++i) CHECK(map.find(map.key_at(i)) == &map.class_at(i));
            });
        CHECK_EQ(map.num_classes(), before + 1);
        CHECK(map.find(key) != nullptr && map.find(key)->circuits.size() == 1);
    }
    CHECK(failures >= 4);  // at least each of the four growths of the index failed once
}

CHECK_MAIN()
