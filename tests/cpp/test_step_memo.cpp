#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "base/worker_pool.hpp"
#include "check.hpp"
#include "model/gate.hpp"
#include "prover/step_memo.hpp"

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

std::optional<StepMemo::Lookup> find(const StepMemo::LookupTable& t, const std::vector<Instr32>& v) {
    return t.find(view(v), CircFastHash{}(view(v)));
}

void insert(StepMemo::LookupTable& t, const std::vector<Instr32>& v, std::size_t k) {
    const Permut32 swap = Permut32::from_iter(std::initializer_list<std::uint8_t>{1, 0});
    t.insert(view(v), CircFastHash{}(view(v)),
             {k % 3 ? std::optional<std::size_t>(k) : std::nullopt, k % 2 ? swap : Permut32::identity(2)});
}

bool holds(const StepMemo::LookupTable& t, const std::vector<Instr32>& v, std::size_t k) {
    const Permut32 swap = Permut32::from_iter(std::initializer_list<std::uint8_t>{1, 0});
    const auto found = find(t, v);
    return found && found->entry == (k % 3 ? std::optional<std::size_t>(k) : std::nullopt) &&
           found->renaming == (k % 2 ? swap : Permut32::identity(2));
}

TEST_CASE(lookups_come_back_as_stored) {
    StepMemo memo;
    // Nothing is kept before the first settle.
    insert(memo.lookups, circuit(0, 9), 0);
    CHECK(!find(memo.lookups, circuit(0, 9)));
    // Settled every 500 circuits, as a search does between jobs; misses are
    // kept too.
    for (std::size_t k = 0; k < 20000; ++k) {
        if (k % 500 == 0) memo.settle();
        const std::vector<Instr32> v = circuit(k, 10);
        CHECK(!find(memo.lookups, v));
        insert(memo.lookups, v, k);
        CHECK(holds(memo.lookups, v, k));
    }
    memo.settle();
    bool all = true;
    for (std::size_t k = 0; k < 20000; ++k) all = all && holds(memo.lookups, circuit(k, 10), k);
    CHECK(all);
    // The permutation is part of the key.
    const std::vector<Instr32> v = circuit(1, 9);
    const CircView three{v, Permut32::identity(3)};
    CHECK(!memo.lookups.find(three, CircFastHash{}(three)));
}

TEST_CASE(long_circuits_are_not_kept) {
    StepMemo memo;
    memo.settle();
    const std::vector<Instr32> v = circuit(7, StepMemo::LookupTable::kMaxLen + 1);
    insert(memo.lookups, v, 1);
    CHECK(!find(memo.lookups, v));
}

// Between settles a table holds at most half its slots: inserts past that
// are dropped, and the next settle grows the table for them.
TEST_CASE(inserts_past_half_wait_for_the_next_settle) {
    StepMemo memo;
    memo.settle();
    const std::size_t half = StepMemo::LookupTable::kMinSlots / 2;
    for (std::size_t k = 0; k < half + 100; ++k) insert(memo.lookups, circuit(k, 10), k);
    CHECK(holds(memo.lookups, circuit(half - 1, 10), half - 1));
    CHECK(!find(memo.lookups, circuit(half, 10)));
    memo.settle();
    bool all = true;
    for (std::size_t k = 0; k < half; ++k) all = all && holds(memo.lookups, circuit(k, 10), k);
    CHECK(all);
    for (std::size_t k = half; k < half + 100; ++k) insert(memo.lookups, circuit(k, 10), k);
    CHECK(holds(memo.lookups, circuit(half + 99, 10), half + 99));
}

// A table full at its largest size starts over at the next settle.
TEST_CASE(full_table_starts_over) {
    StepMemo memo;
    // Settled often enough that the table grows before it drops anything,
    // until it holds all it can at its largest size.
    const std::size_t capacity = StepMemo::LookupTable::kMaxSlots / 2;
    for (std::size_t k = 0; k <= capacity; ++k) {
        if (k % 1024 == 0) memo.settle();
        insert(memo.lookups, circuit(k, 11), k);
    }
    CHECK(holds(memo.lookups, circuit(0, 11), 0));
    CHECK(holds(memo.lookups, circuit(capacity - 1, 11), capacity - 1));
    CHECK(!find(memo.lookups, circuit(capacity, 11)));  // dropped: the table is full
    memo.settle();
    CHECK(!find(memo.lookups, circuit(0, 11)));
    insert(memo.lookups, circuit(capacity, 11), capacity);
    CHECK(holds(memo.lookups, circuit(capacity, 11), capacity));
}

// Threads fill one table at once, many of them with the same circuits; what
// any of them finds is what was stored, and after a settle everything is
// there once or, rarely, twice.
TEST_CASE(threads_share_one_table) {
    StepMemo memo;
    constexpr std::size_t kDistinct = 1500;
    for (int round = 0; round < 3; ++round) {
        memo.settle();
        std::vector<char> bad(8 * kDistinct, 0);
        parallel_for(bad.size(), [&](std::size_t i) {
            const std::size_t k = (i * 7919) % kDistinct;
            const std::vector<Instr32> v = circuit(k, 8);
            if (find(memo.lookups, v) && !holds(memo.lookups, v, k)) bad[i] = 1;
            insert(memo.lookups, v, k);
            if (find(memo.lookups, v) && !holds(memo.lookups, v, k)) bad[i] = 1;
        });
        CHECK(std::count(bad.begin(), bad.end(), 1) == 0);
    }
    memo.settle();
    bool all = true;
    for (std::size_t k = 0; k < kDistinct; ++k) all = all && holds(memo.lookups, circuit(k, 8), k);
    CHECK(all);
}

// An identity is checked until it passes once; one that fails keeps
// failing.
TEST_CASE(checked_identities) {
    StepMemo memo;
    memo.settle();
    StepMemo::CheckedSet& set = memo.checked;
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

CHECK_MAIN()
