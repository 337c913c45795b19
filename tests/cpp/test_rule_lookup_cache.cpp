#include <cstdint>
#include <initializer_list>
#include <vector>

#include "check.hpp"
#include "base/worker_pool.hpp"
#include "identity/rule_lookup_cache.hpp"
#include "model/gate.hpp"

using namespace tsl;

namespace {

// A distinct gathered circuit for each k: k written in base 3 as h, x, t on
// qubits 0 and 1.
std::vector<Instr32> circuit(std::size_t k, std::size_t len) {
    const Gate16 g[] = {gates::H, gates::X, gates::T};
    std::vector<Instr32> v;
    for (std::size_t i = 0; i < len; ++i, k /= 3) v.push_back(Instr32(g[k % 3], static_cast<std::uint8_t>(i % 2)));
    return v;
}

CircView view(const std::vector<Instr32>& v) { return {v, Permut32::identity(2)}; }

}  // namespace

TEST_CASE(lookups_come_back_as_stored) {
    RuleLookupCache cache;
    RuleLookupCache::Shard* shard = cache.shard();
    CHECK(shard != nullptr);
    const Permut32 swap = Permut32::from_iter(std::initializer_list<std::uint8_t>{1, 0});
    // Enough circuits to grow the shard several times; misses kept too.
    for (std::size_t k = 0; k < 5000; ++k) {
        const std::vector<Instr32> v = circuit(k, 9);
        CHECK(!shard->find(view(v), CircFastHash{}(view(v))));
        const RuleLookupCache::Lookup look{k % 3 ? std::optional<std::size_t>(k) : std::nullopt, swap};
        shard->insert(view(v), CircFastHash{}(view(v)), look);
    }
    for (std::size_t k = 0; k < 5000; ++k) {
        const std::vector<Instr32> v = circuit(k, 9);
        const auto found = shard->find(view(v), CircFastHash{}(view(v)));
        CHECK(found.has_value());
        CHECK(found->entry == (k % 3 ? std::optional<std::size_t>(k) : std::nullopt));
        CHECK(found->renaming == swap);
    }
    // The permutation is part of the key.
    const std::vector<Instr32> v = circuit(1, 9);
    const CircView three{v, Permut32::identity(3)};
    CHECK(!shard->find(three, CircFastHash{}(three)));
}

TEST_CASE(long_circuits_are_not_kept) {
    RuleLookupCache cache;
    RuleLookupCache::Shard* shard = cache.shard();
    const std::vector<Instr32> v = circuit(7, RuleLookupCache::Shard::kMaxLen + 1);
    shard->insert(view(v), CircFastHash{}(view(v)), {std::size_t{1}, Permut32::identity(2)});
    CHECK(!shard->find(view(v), CircFastHash{}(view(v))));
}

TEST_CASE(full_shard_starts_over) {
    RuleLookupCache cache;
    RuleLookupCache::Shard* shard = cache.shard();
    const std::size_t capacity = RuleLookupCache::Shard::kMaxSlots / 2;
    for (std::size_t k = 0; k <= capacity; ++k) {
        const std::vector<Instr32> v = circuit(k, 11);
        shard->insert(view(v), CircFastHash{}(view(v)), {k, Permut32::identity(2)});
    }
    const std::vector<Instr32> first = circuit(0, 11), last = circuit(capacity, 11);
    CHECK(!shard->find(view(first), CircFastHash{}(view(first))));
    CHECK(shard->find(view(last), CircFastHash{}(view(last))).has_value());
}

// Every worker of the process-wide pool has a shard of its own.
TEST_CASE(one_shard_per_thread) {
    RuleLookupCache cache;
    const std::size_t n = WorkerPool::global().num_threads();
    std::vector<RuleLookupCache::Shard*> seen(4 * n);
    parallel_for(seen.size(), [&](std::size_t i) { seen[i] = cache.shard(); });
    for (RuleLookupCache::Shard* s : seen) CHECK(s != nullptr && s != cache.shard());
}

CHECK_MAIN()
