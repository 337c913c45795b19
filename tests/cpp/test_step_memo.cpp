#include <cstdint>
#include <initializer_list>
#include <vector>

#include "check.hpp"
#include "base/worker_pool.hpp"
#include "identity/step_memo.hpp"
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
    StepMemo memo;
    StepMemo::LookupTable* shard = &memo.shard()->lookups;
    CHECK(shard != nullptr);
    const Permut32 swap = Permut32::from_iter(std::initializer_list<std::uint8_t>{1, 0});
    // Enough circuits to grow the shard several times; misses kept too.
    for (std::size_t k = 0; k < 5000; ++k) {
        const std::vector<Instr32> v = circuit(k, 9);
        CHECK(!shard->find(view(v), CircFastHash{}(view(v))));
        const StepMemo::Lookup look{k % 3 ? std::optional<std::size_t>(k) : std::nullopt, swap};
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
    StepMemo memo;
    StepMemo::LookupTable* shard = &memo.shard()->lookups;
    const std::vector<Instr32> v = circuit(7, StepMemo::LookupTable::kMaxLen + 1);
    shard->insert(view(v), CircFastHash{}(view(v)), {std::size_t{1}, Permut32::identity(2)});
    CHECK(!shard->find(view(v), CircFastHash{}(view(v))));
}

TEST_CASE(full_shard_starts_over) {
    StepMemo memo;
    StepMemo::LookupTable* shard = &memo.shard()->lookups;
    const std::size_t capacity = StepMemo::LookupTable::kMaxSlots / 2;
    for (std::size_t k = 0; k <= capacity; ++k) {
        const std::vector<Instr32> v = circuit(k, 11);
        shard->insert(view(v), CircFastHash{}(view(v)), {k, Permut32::identity(2)});
    }
    const std::vector<Instr32> first = circuit(0, 11), last = circuit(capacity, 11);
    CHECK(!shard->find(view(first), CircFastHash{}(view(first))));
    CHECK(shard->find(view(last), CircFastHash{}(view(last))).has_value());
}

// An identity is checked until it passes once; one that fails keeps
// failing.
TEST_CASE(checked_identities) {
    StepMemo memo;
    StepMemo::CheckedSet& set = memo.shard()->checked;
    const IdentityCirc hh =
        IdentityCirc::from_stored(Circ::create({Instr32(gates::H, 0), Instr32(gates::H, 0)}, Permut32::identity(1)));
    const IdentityCirc h = IdentityCirc::from_stored(Circ::create({Instr32(gates::H, 0)}, Permut32::identity(1)));
    for (int i = 0; i < 2; ++i) CHECK(&set.checked(hh) == &hh);
    for (int i = 0; i < 2; ++i) {
        bool panicked = false;
        try {
            set.checked(h);
        } catch (const Panic& p) {
            panicked = p.message().rfind("IdentityCirc: circuit is not identity ", 0) == 0;
        }
        CHECK(panicked);
    }
}

// Every worker of the process-wide pool has a shard of its own.
TEST_CASE(one_shard_per_thread) {
    StepMemo memo;
    const std::size_t n = WorkerPool::global().num_threads();
    std::vector<StepMemo::Shard*> seen(4 * n);
    parallel_for(seen.size(), [&](std::size_t i) { seen[i] = memo.shard(); });
    for (StepMemo::Shard* s : seen) CHECK(s != nullptr && s != memo.shard());
}

CHECK_MAIN()
