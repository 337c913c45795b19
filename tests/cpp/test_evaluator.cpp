#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "search/evaluator.hpp"
#include "state/order_info.hpp"
#include "state/scratch_states.hpp"

// Every allocation of this program is counted, to check that the hot paths
// allocate nothing.  (GCC takes the malloc/free pair below for a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> g_allocations{0};
}
void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace tsl;

namespace {

ChaCha12Rng seeded(std::uint8_t b) {
    ChaCha12Rng::Seed seed{};
    seed[0] = b;
    seed[31] = 0x5A;
    return ChaCha12Rng(seed);
}

// Kernel gates and dense ones (y, cy, cs, t1/2, rz(pi/3) have no kernel).
const Gate16 kGates1[] = {gates::H, gates::X, gates::Z, gates::S, gates::SDG, gates::T, gates::TDG, gates::Y,
                          Gate16(15), Gate16(17)};
const Gate16 kGates2[] = {gates::CX, gates::SWAP, gates::CZ, gates::CY, gates::CS};

std::vector<Instr32> random_circuit(std::mt19937& g, std::size_t n, std::size_t size) {
    std::vector<Instr32> c;
    for (std::size_t k = 0; k < size; ++k) {
        const auto a = static_cast<std::uint8_t>(g() % n);
        if (n >= 2 && g() % 2) {
            auto b = static_cast<std::uint8_t>(g() % (n - 1));
            if (b >= a) ++b;
            c.push_back(Instr32(kGates2[g() % std::size(kGates2)], a, b));
        } else {
            c.push_back(Instr32(kGates1[g() % std::size(kGates1)], a));
        }
    }
    return c;
}

std::vector<Instr32> relabelled(const std::vector<Instr32>& c, Permut32 pi) {
    std::vector<Instr32> out;
    for (Instr32 in : c) out.push_back(in.apply_permutation(pi));
    return out;
}

bool same_bits(const StateVec& a, const StateVec& b) {
    return a.len() == b.len() && std::memcmp(a.re().data(), b.re().data(), a.len() * 8) == 0 &&
           std::memcmp(a.im().data(), b.im().data(), a.len() * 8) == 0;
}

// The evaluation written out step by step, with a fresh copy, two
// relabellings and a full comparison per candidate.
Evaluator::MultipleResult reference(const Evaluator& ev, std::span<const Instr32> instrs) {
    StateVec state = ev.initial_state().clone();
    for (Instr32 in : instrs) state.apply(in.qargs().data(), in.qargs().len(), in.gate());
    state.normalize_arg();
    const OrderInfo oi = get_orderinfo(state);
    std::optional<StateVec> best;
    PermPairs pairs;
    for (Permut32 r : oi.as_perms()) {
        const Permut32 back_perm = r.inv();
        StateVec b = ev.backtrack_state().clone();
        apply_permutation(b, r);
        for (std::size_t i = instrs.size(); i-- > 0;)
            b.apply(instrs[i].qargs().data(), instrs[i].qargs().len(), instrs[i].gate().adjoint());
        b.normalize_arg();
        const auto [front_perm, mask] = get_orderinfo(b).as_bits();
        if (mask != 0) panic("Non-deterministic front permutation detected during evaluation");
        apply_permutation(b, front_perm.inv());
        if (!best || b < *best) {
            best = std::move(b);
            pairs.clear();
            pairs.push_back({front_perm, back_perm});
        } else if (b == *best) {
            pairs.push_back({front_perm, back_perm});
        }
    }
    return {std::move(*best), pairs, std::move(state)};
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> pair_set(const PermPairs& pairs) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const PermPair& p : pairs) out.emplace_back(p.front_perm.raw, p.back_perm.raw);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST_CASE(construction_draws_a_symmetric_and_a_canonical_state) {
    for (std::uint8_t n = 0; n <= 5; ++n) {
        ChaCha12Rng rng = seeded(n);
        const Evaluator ev = Evaluator::from_random(rng, n);
        CHECK_EQ(ev.nqubits(), n);
        CHECK(ev.initial_state().check());
        CHECK(ev.backtrack_state().check());
        CHECK(get_permutation(ev.backtrack_state()) == Permut32::identity(n));
        for (Permut32 pi : Permut32::all(n)) {
            StateVec s = ev.initial_state().clone();
            apply_permutation(s, pi);
            CHECK(same_bits(s, ev.initial_state()));
        }
        // The same seed gives the same evaluator, another seed another one.
        ChaCha12Rng again = seeded(n), other = seeded(100 + n);
        CHECK(Evaluator::from_random(again, n) == ev);
        if (n > 0) CHECK(!(Evaluator::from_random(other, n) == ev));
        const Evaluator copy = ev;
        CHECK(copy == ev);
    }
}

TEST_CASE(more_than_five_qubits_are_refused) {
    ChaCha12Rng rng = seeded(9);
    CHECK_PANICS(Evaluator::from_random(rng, 6), "Evaluator supports at most 5 qubits");
    CHECK_PANICS(Evaluator::from_random(rng, 64), "Evaluator supports at most 5 qubits");
    CHECK_PANICS(Evaluator::from_random(rng, std::uint64_t{1} << 32), "Evaluator supports at most 5 qubits");
    CHECK_PANICS(Evaluator::from_states(StateVec::zeros(6), StateVec::zeros(6)),
                 "Evaluator supports at most 5 qubits");
    CHECK_PANICS(Evaluator::from_states(StateVec::zeros(2), StateVec::zeros(3)),
                 "Evaluator states must have the same length");
}

TEST_CASE(empty_circuit_reaches_one_state_by_every_order) {
    for (std::uint8_t n = 0; n <= 5; ++n) {
        ChaCha12Rng rng = seeded(20 + n);
        const Evaluator ev = Evaluator::from_random(rng, n);
        Evaluation out;
        const std::uint64_t key = ev.evaluate_multiple({}, out);
        const auto orders = eqmask_to_perms(n <= 1 ? 0 : (1u << (n - 1)) - 1);
        CHECK_EQ(out.pairs().size(), orders.size());
        CHECK_EQ(out.pairs().size(), std::size_t(std::tgamma(n + 1) + 0.5));
        for (std::size_t i = 0; i < out.pairs().size(); ++i) {
            // The candidates are the forward order (the identity: every
            // qubit ties) composed with the symmetry list.
            const Permut32 r = Permut32::identity(n) * Permut32::shrink(orders[i], n);
            CHECK(out.pairs()[i] == (PermPair{r, r.inv()}));
        }
        CHECK(out.true_back_state() == ev.backtrack_state());
        CHECK_EQ(key, out.true_back_state().hash_value());
        CHECK_EQ(ev.initial_key(), key);

        const Evaluator::Result first = ev.evaluate({});
        CHECK(first.perms == (PermPair{Permut32::identity(n), Permut32::identity(n)}));
        CHECK_EQ(first.true_back_state.hash_value(), key);
        CHECK(same_bits(first.state, out.forward_state()));
    }
    ChaCha12Rng a = seeded(1), b = seeded(2);
    CHECK(Evaluator::from_random(a, 3).initial_key() != Evaluator::from_random(b, 3).initial_key());
}

TEST_CASE(results_are_bit_identical_to_the_step_by_step_evaluation) {
    std::mt19937 g(42);
    Evaluation out;  // shared across qubit counts on purpose
    for (int round = 0; round < 2; ++round) {
        for (std::size_t n = 1; n <= 5; ++n) {
            ChaCha12Rng rng = seeded(static_cast<std::uint8_t>(40 + n + 10 * round));
            const Evaluator ev = Evaluator::from_random(rng, n);
            for (int rep = 0; rep < 60; ++rep) {
                const std::vector<Instr32> c = random_circuit(g, n, g() % 7);
                const Evaluator::MultipleResult want = reference(ev, c);
                const std::uint64_t key = ev.evaluate_multiple(c, out);
                CHECK(same_bits(out.true_back_state(), want.true_back_state));
                CHECK(same_bits(out.forward_state(), want.state));
                CHECK(out.pairs() == want.pairs);
                CHECK_EQ(key, want.true_back_state.hash_value());

                const Evaluator::MultipleResult owned = ev.evaluate_multiple(c);
                CHECK(same_bits(owned.true_back_state, want.true_back_state));
                CHECK(same_bits(owned.state, want.state));
                CHECK(owned.pairs == want.pairs);
                const Evaluator::Result one = ev.evaluate(c);
                CHECK(one.perms == want.pairs[0]);
            }
        }
    }
}

TEST_CASE(keys_do_not_depend_on_qubit_labels) {
    std::mt19937 g(7);
    for (std::size_t n = 1; n <= 5; ++n) {
        ChaCha12Rng rng = seeded(static_cast<std::uint8_t>(60 + n));
        const Evaluator ev = Evaluator::from_random(rng, n);
        const auto perms = Permut32::all(n);
        Evaluation a, b;
        for (int rep = 0; rep < 80; ++rep) {
            const std::vector<Instr32> c = random_circuit(g, n, 1 + g() % 6);
            const Permut32 pi = perms[g() % perms.size()];
            const std::uint64_t key = ev.evaluate_multiple(c, a);
            CHECK_EQ(ev.evaluate_multiple(relabelled(c, pi), b), key);
            // The same candidates reach the minimum, carried by pi.
            PermPairs carried;
            for (const PermPair& p : a.pairs()) carried.push_back({pi * p.front_perm, p.back_perm * pi.inv()});
            CHECK(pair_set(carried) == pair_set(b.pairs()));
            // Equal keys; the bits may differ when tied candidates are met in
            // another order.
            CHECK(a.true_back_state() == b.true_back_state());

            if (n >= 2) {
                // A swap before or after the circuit relabels one end only.
                const auto x = static_cast<std::uint8_t>(g() % n);
                const auto y = static_cast<std::uint8_t>((x + 1 + g() % (n - 1)) % n);
                std::vector<Instr32> before{Instr32(gates::SWAP, x, y)};
                before.insert(before.end(), c.begin(), c.end());
                std::vector<Instr32> after = c;
                after.push_back(Instr32(gates::SWAP, y, x));
                CHECK_EQ(ev.evaluate_multiple(before, b), key);
                CHECK_EQ(ev.evaluate_multiple(after, b), key);
            }
        }
    }
}

TEST_CASE(one_qubit_pairs_are_identities) {
    ChaCha12Rng rng = seeded(3);
    const Evaluator ev = Evaluator::from_random(rng, 1);
    const std::vector<Instr32> c{Instr32(gates::H, 0), Instr32(gates::T, 0)};
    const Evaluator::Result r = ev.evaluate(c);
    CHECK(r.perms == (PermPair{Permut32::identity(1), Permut32::identity(1)}));
    CHECK(r.true_back_state.check());
}

TEST_CASE(failures_inside_an_evaluation) {
    // A back state with two tied qubits has no deterministic front order.
    ChaCha12Rng rng = seeded(4);
    const Evaluator tied = Evaluator::from_states(StateVec::from_random_symmetric(rng, 2),
                                                  StateVec::from_random_symmetric(rng, 2));
    Evaluation out;
    CHECK_PANICS(tied.evaluate_multiple({}, out), "Non-deterministic front permutation detected during evaluation");
    CHECK_PANICS(tied.initial_key(), "Non-deterministic front permutation detected during evaluation");

    const Evaluator ev = Evaluator::from_random(rng, 3);
    const std::vector<Instr32> outside{Instr32(gates::H, 0), Instr32(gates::H, 3)};
    CHECK_PANICS(ev.evaluate_multiple(outside, out), "index out of bounds: the len is 8 but the index is 8");
    // The workspace serves again after a failure.
    const std::vector<Instr32> fine{Instr32(gates::CX, 2, 0)};
    CHECK_EQ(ev.evaluate_multiple(fine, out), reference(ev, fine).true_back_state.hash_value());
}

TEST_CASE(new_adjoints_are_created_from_the_last_instruction_back) {
    auto phase_gate = [](const char* name, double theta) {
        GateMatrix m(2, 2);
        m.at(0, 0) = Complex{1.0, 0.0};
        m.at(1, 1) = Complex{std::cos(theta), std::sin(theta)};
        return Gate16::create(name, {}, m);
    };
    const Gate16 a = phase_gate("pa", 0.123456789), b = phase_gate("pb", 0.987654321);
    ChaCha12Rng rng = seeded(5);
    const Evaluator ev = Evaluator::from_random(rng, 2);
    const std::size_t before = Gate16::table_size();
    const std::vector<Instr32> c{Instr32(a, 0), Instr32(b, 1)};
    ev.evaluate(c);
    CHECK_EQ(Gate16::table_size(), before + 2);
    CHECK_EQ(b.adjoint().index(), before);
    CHECK_EQ(a.adjoint().index(), before + 1);
}

TEST_CASE(hot_paths_allocate_nothing_after_warm_up) {
    std::mt19937 g(99);
    for (std::size_t n : {3u, 5u}) {
        ChaCha12Rng rng = seeded(static_cast<std::uint8_t>(80 + n));
        const Evaluator ev = Evaluator::from_random(rng, n);
        Evaluation out;
        std::vector<std::vector<Instr32>> circuits;
        for (int i = 0; i < 200; ++i) circuits.push_back(random_circuit(g, n, g() % 8));
        // Warm-up: sizes the workspace and creates every adjoint.
        for (const auto& c : circuits) ev.evaluate_multiple(c, out);
        StateVec s = ev.backtrack_state().clone();
        apply_permutation(s, Permut32::identity(static_cast<std::uint8_t>(n)));

        const long start = g_allocations.load();
        std::uint64_t sink = 0;
        for (const auto& c : circuits) sink ^= ev.evaluate_multiple(c, out);
        for (Permut32 p : Permut32::all(n)) apply_permutation(s, p);
        CHECK_EQ(g_allocations.load() - start, 0);
        CHECK(sink != 1);
    }
}

CHECK_MAIN()
