// Containers of the search stay whole when an allocation fails: each case
// makes the k-th allocation of an operation fail, for k = 0, 1, ... until the
// operation completes, and checks the container after every failed attempt.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "check.hpp"
#include "search/evaluator.hpp"
#include "search/key_index_map.hpp"
#include "search/raw_eccs.hpp"

using namespace tsl;

namespace {

// Allocations left before one fails; negative: none fails.
thread_local long t_allocations_left = -1;

void* allocate(std::size_t n) {
    if (t_allocations_left == 0) {
        t_allocations_left = -1;
        throw std::bad_alloc();
    }
    if (t_allocations_left > 0) --t_allocations_left;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

// Runs `op` with its k-th allocation failing, k = 0, 1, ..., calling
// `after_failure` after each attempt that failed, until `op` completes.
// Returns the number of failed attempts.
template <class Op, class Check>
int with_each_allocation_failing(Op&& op, Check&& after_failure) {
    for (long k = 0;; ++k) {
        t_allocations_left = k;
        try {
            op();
        } catch (const std::bad_alloc&) {
            t_allocations_left = -1;
            after_failure();
            continue;
        }
        t_allocations_left = -1;
        return static_cast<int>(k);
    }
}

}  // namespace

// Every form of the replaceable allocation functions goes through malloc and
// free, so the sanitizers' own allocator never sees half of a pair.
void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

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
