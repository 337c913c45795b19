// The evaluator: a 64-bit key for every circuit that does not change when the
// circuit's qubits are relabelled before it, after it, or both.
//
// A circuit is run forward on a start state that every relabelling leaves
// unchanged, and backward (adjoint gates in reverse order) on a second random
// state, once for every qubit order that ties for canonical in the forward
// result.  Each back state is brought into its own canonical qubit order; the
// smallest of them is hashed into the key, and the (front, back) relabellings
// that reach it are returned with it.
//
// Meaning of a pair: with P(p) the relabelling of apply_permutation and C the
// circuit, the minimal back state equals
//     P(front_perm^-1) C^dagger P(back_perm^-1) backtrack_state.
//
// An evaluator never changes after construction and may be shared between
// threads; each thread evaluates into its own Evaluation workspace.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/instr32.hpp"
#include "model/permut32.hpp"
#include "state/gate_apply.hpp"
#include "state/random.hpp"
#include "state/state_vec.hpp"

namespace tsl {

// The evaluator's qubit limit, and the sizes of the fixed buffers of an
// evaluation that follow from it.
namespace evaluator_limits {
inline constexpr std::size_t kMaxQubits = 5;
// Amplitudes of a state of kMaxQubits qubits.
inline constexpr std::size_t kMaxStateLen = std::size_t{1} << kMaxQubits;
constexpr std::size_t factorial(std::size_t n) { return n <= 1 ? 1 : n * factorial(n - 1); }
// Qubit orders that can tie for canonical: every order of kMaxQubits qubits.
inline constexpr std::size_t kMaxOrders = factorial(kMaxQubits);
}  // namespace evaluator_limits

struct PermPair {
    Permut32 front_perm;
    Permut32 back_perm;
    friend constexpr bool operator==(PermPair, PermPair) = default;
};

// The permutation pairs of one evaluation, in the order they were found,
// held inline: an evaluation has at most 5! = 120 candidates.
class PermPairs {
public:
    static constexpr std::size_t kCapacity = evaluator_limits::kMaxOrders;

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const PermPair& operator[](std::size_t i) const { return items_[i]; }
    const PermPair& front() const { return items_[0]; }
    const PermPair* begin() const { return items_.data(); }
    const PermPair* end() const { return items_.data() + count_; }
    std::span<const PermPair> as_span() const { return {items_.data(), count_}; }

    void clear() { count_ = 0; }
    void push_back(PermPair p);

    friend bool operator==(const PermPairs& a, const PermPairs& b);

private:
    std::array<PermPair, kCapacity> items_;
    std::size_t count_ = 0;
};

// Workspace and result of one evaluation.  Its buffers are sized on first use
// and reused by every later evaluation with an evaluator of the same qubit
// count, so evaluating into it allocates nothing (the list of resolved
// adjoint gates grows only when a longer circuit than any before arrives).
// One workspace per thread.
class Evaluation {
public:
    Evaluation();

    // Content hash of the minimal back state.
    std::uint64_t key() const { return key_; }
    // The minimal back state, in canonical qubit order.
    const StateVec& true_back_state() const { return best_; }
    // The start state after the circuit, phase-normalised.
    const StateVec& forward_state() const { return forward_; }
    const PermPairs& pairs() const { return pairs_; }

    // Hands a state over to the caller; the workspace allocates a new one on
    // its next use.
    StateVec take_true_back_state();
    StateVec take_forward_state();

private:
    friend class Evaluator;

    // An adjoint gate of the circuit, looked up once per evaluation.
    struct Step {
        GateKernel kernel;           // nullptr: dense product with `matrix`
        const GateMatrix* matrix;
        std::uint8_t qubits[2];
        std::uint8_t nargs;
    };

    StateVec forward_;
    StateVec best_;
    StateVec cand_;
    // Quantisation keys of best_: re[0..L-1] then im[0..L-1] (L <= 32).
    std::array<std::uint64_t, 2 * evaluator_limits::kMaxStateLen> best_keys_;
    PermPairs pairs_;
    std::uint64_t key_ = 0;
    std::vector<Step> backward_;  // last instruction first
};

class Evaluator {
public:
    static constexpr std::size_t kMaxQubits = evaluator_limits::kMaxQubits;
    static constexpr std::size_t kMaxStateLen = evaluator_limits::kMaxStateLen;

    // Draws the symmetric start state and then the back-tracking state from
    // `rng`.  More than 5 qubits panics with "Evaluator supports at most 5
    // qubits" before anything is drawn.
    static Evaluator from_random(ChaCha12Rng& rng, std::uint64_t nqubits);
    // An evaluator on the given states, used as they are: the caller vouches
    // that `initial_state` is unchanged by every relabelling of its qubits and
    // that `backtrack_state` is phase-normalised and in canonical qubit order.
    // Panics when the lengths differ or the count exceeds 5 qubits.
    static Evaluator from_states(StateVec initial_state, StateVec backtrack_state);

    std::size_t nqubits() const { return initial_state_.nqubits(); }
    const StateVec& initial_state() const { return initial_state_; }
    const StateVec& backtrack_state() const { return backtrack_state_; }

    // Evaluates the circuit `instrs` (in circuit order) into `out` and returns
    // its key.  Allocates nothing once `out` has served this qubit count.
    // Panics with "Non-deterministic front permutation detected during
    // evaluation" when a back state ties two qubits; an instruction on a
    // qubit outside the state fails in gate application.
    std::uint64_t evaluate_multiple(std::span<const Instr32> instrs, Evaluation& out) const;

    // The same for the circuit `instrs` whose forward run up to its last
    // instruction is already known: `prefix_forward` is the start state after
    // every instruction but the last, not yet phase-normalised.  The search
    // keeps that state once per expanded circuit.
    std::uint64_t evaluate_multiple_extending(const StateVec& prefix_forward, std::span<const Instr32> instrs,
                                              Evaluation& out) const;
    // The forward run without normalisation, into `out`.
    void run_forward(std::span<const Instr32> instrs, StateVec& out) const;

    struct MultipleResult {
        StateVec true_back_state;
        PermPairs pairs;
        StateVec state;
    };
    // The same as owned values (allocates the two states).
    MultipleResult evaluate_multiple(std::span<const Instr32> instrs) const;

    struct Result {
        StateVec true_back_state;
        PermPair perms;  // the first pair
        StateVec state;
    };
    Result evaluate(std::span<const Instr32> instrs) const;

    // Key of the empty circuit.
    std::uint64_t initial_key() const;

    // Both states compared through their quantised amplitudes.
    friend bool operator==(const Evaluator& a, const Evaluator& b) {
        return a.initial_state_ == b.initial_state_ && a.backtrack_state_ == b.backtrack_state_;
    }

private:
    // Everything after the forward run, which is in out.forward_.
    std::uint64_t evaluate_from_forward(std::span<const Instr32> instrs, Evaluation& out) const;

    Evaluator(StateVec initial_state, StateVec backtrack_state)
        : initial_state_(std::move(initial_state)), backtrack_state_(std::move(backtrack_state)) {}

    StateVec initial_state_;
    StateVec backtrack_state_;
};

}  // namespace tsl
