#include "search/evaluator.hpp"

#include <array>
#include <compare>

#include "base/panic.hpp"
#include "state/order_info.hpp"
#include "state/scratch_states.hpp"

namespace tsl {

namespace {

static_assert(Evaluator::kMaxQubits == 5, "the limit's panic text names 5 qubits");
[[noreturn]] void panic_too_many_qubits() { panic("Evaluator supports at most 5 qubits"); }

// The fixed buffers below hold amplitude indices in bytes and the tie mask of
// neighbouring qubits in one byte.
static_assert(Evaluator::kMaxStateLen <= 256, "amplitude indices must fit a byte");
static_assert(Evaluator::kMaxQubits <= 9, "the equality mask of neighbours must fit a byte");

// Gives `s` the length of `like`, keeping its arrays when it already has it.
void ensure_len(StateVec& s, const StateVec& like) {
    if (s.len() != like.len()) s.copy_from(like);
}

// The canonical order of a state of at most five qubits and its equality
// mask, as get_orderinfo(state).as_bits() gives them, on fixed buffers: the
// qubits sorted stably by QubitKey, bit i of the mask set when ordered
// positions i and i + 1 have equal keys.
std::pair<Permut32, std::uint8_t> order_bits(const StateVec& state, std::size_t n) {
    if (n <= 1) return {Permut32::identity(static_cast<std::uint8_t>(n)), 0};
    std::array<std::uint64_t, 4> keys[Evaluator::kMaxQubits];
    const Qreal* re = state.re().data();
    const Qreal* im = state.im().data();
    const std::size_t last = state.len() - 1;
    for (std::size_t q = 0; q < n; ++q) {
        const std::size_t lo = std::size_t{1} << q, hi = last - lo;
        keys[q] = {re[lo].key(), im[lo].key(), re[hi].key(), im[hi].key()};
    }
    std::uint8_t order[Evaluator::kMaxQubits];
    for (std::size_t i = 0; i < n; ++i) {
        const auto q = static_cast<std::uint8_t>(i);
        std::size_t j = i;
        while (j > 0 && keys[q] < keys[order[j - 1]]) {
            order[j] = order[j - 1];
            --j;
        }
        order[j] = q;
    }
    std::uint8_t mask = 0;
    for (std::size_t i = 0; i + 1 < n; ++i)
        if (keys[order[i]] == keys[order[i + 1]]) mask = static_cast<std::uint8_t>(mask | (1u << i));
    return {Permut32::from_iter_unchecked(std::span<const std::uint8_t>(order, n)), mask};
}

}  // namespace

void PermPairs::push_back(PermPair p) {
    if (count_ == kCapacity) panic("Too many permutation pairs");
    items_[count_++] = p;
}

bool operator==(const PermPairs& a, const PermPairs& b) {
    if (a.count_ != b.count_) return false;
    for (std::size_t i = 0; i < a.count_; ++i)
        if (!(a.items_[i] == b.items_[i])) return false;
    return true;
}

Evaluation::Evaluation() : forward_(StateVec::zeros(0)), best_(StateVec::zeros(0)), cand_(StateVec::zeros(0)) {
    backward_.reserve(32);
}

StateVec Evaluation::take_true_back_state() {
    StateVec out = StateVec::zeros(0);
    out.swap(best_);
    return out;
}

StateVec Evaluation::take_forward_state() {
    StateVec out = StateVec::zeros(0);
    out.swap(forward_);
    return out;
}

Evaluator Evaluator::from_random(ChaCha12Rng& rng, std::uint64_t nqubits) {
    if (nqubits > kMaxQubits) panic_too_many_qubits();
    const auto n = static_cast<std::uint32_t>(nqubits);
    StateVec initial = StateVec::from_random_symmetric(rng, n);
    StateVec backtrack = StateVec::from_random(rng, n);
    backtrack.normalize_arg();
    const Permut32 p = get_permutation(backtrack);
    apply_permutation(backtrack, p.inv());
    return Evaluator(std::move(initial), std::move(backtrack));
}

Evaluator Evaluator::from_states(StateVec initial_state, StateVec backtrack_state) {
    if (initial_state.len() != backtrack_state.len()) panic("Evaluator states must have the same length");
    if (initial_state.nqubits() > kMaxQubits) panic_too_many_qubits();
    return Evaluator(std::move(initial_state), std::move(backtrack_state));
}

void Evaluator::run_forward(std::span<const Instr32> instrs, StateVec& out) const {
    out.copy_from(initial_state_);
    for (const Instr32& in : instrs) {
        const QArgs16 q = in.qargs();
        out.apply(q.data(), q.len(), in.gate());
    }
}

std::uint64_t Evaluator::evaluate_multiple(std::span<const Instr32> instrs, Evaluation& out) const {
    run_forward(instrs, out.forward_);
    out.forward_.normalize_arg();
    return evaluate_from_forward(instrs, out);
}

std::uint64_t Evaluator::evaluate_multiple_extending(const StateVec& prefix_forward, std::span<const Instr32> instrs,
                                                     Evaluation& out) const {
    StateVec& fwd = out.forward_;
    fwd.copy_from(prefix_forward);
    if (!instrs.empty()) {
        const QArgs16 q = instrs.back().qargs();
        fwd.apply(q.data(), q.len(), instrs.back().gate());
    }
    fwd.normalize_arg();
    return evaluate_from_forward(instrs, out);
}

std::uint64_t Evaluator::evaluate_from_forward(std::span<const Instr32> instrs, Evaluation& out) const {
    const std::size_t n = nqubits();
    const std::size_t len = initial_state_.len();
    StateVec& fwd = out.forward_;

    // The adjoints, looked up from the last instruction to the first (the
    // order in which the backward run first needs them, which fixes the
    // table indices of adjoints created on the way).
    out.backward_.clear();
    for (std::size_t i = instrs.size(); i-- > 0;) {
        const QArgs16 q = instrs[i].qargs();
        const Gate16 adj = instrs[i].gate().adjoint();
        Evaluation::Step st{};
        st.kernel = gate_kernel(adj);
        st.matrix = st.kernel ? nullptr : &adj.matrix();
        st.qubits[0] = q.raw[0];
        st.qubits[1] = q.raw[1];
        st.nargs = static_cast<std::uint8_t>(q.len());
        out.backward_.push_back(st);
    }

    const auto [base, fwd_mask] = order_bits(fwd, n);
    const CandidateOrders cands(base, static_cast<std::uint8_t>(n), eqmask_to_perms(fwd_mask));

    StateVec& cand = out.cand_;
    StateVec& best = out.best_;
    ensure_len(best, initial_state_);
    std::uint64_t* best_keys = out.best_keys_.data();
    out.pairs_.clear();
    bool have_best = false;

    for (std::size_t c = 0; c < cands.size(); ++c) {
        const Permut32 r = cands[c];
        const Permut32 back_perm = r.inv();

        permute_into(backtrack_state_, r, cand);
        for (const Evaluation::Step& st : out.backward_) {
            if (st.kernel)
                st.kernel(cand, st.qubits, st.nargs);
            else
                cand.multiply(st.qubits, st.nargs, *st.matrix);
        }
        cand.normalize_arg();

        const auto [front_perm, eqmask] = order_bits(cand, n);
        if (eqmask != 0) panic("Non-deterministic front permutation detected during evaluation");

        // The back state in canonical qubit order, relabelled by
        // front_perm^-1, has amplitude cand[permut_bv(j)] at index j: it is
        // compared with the minimum in place and written out only when it
        // is smaller.
        std::uint8_t from[Evaluator::kMaxStateLen];
        permut_index_table(front_perm, n, from);
        const Qreal* cr = cand.re().data();
        const Qreal* ci = cand.im().data();

        std::strong_ordering ord = std::strong_ordering::less;
        if (have_best) {
            ord = std::strong_ordering::equal;
            for (std::size_t j = 0; j < len && ord == 0; ++j) {
                const std::uint64_t k = cr[from[j]].key();
                if (k != best_keys[j]) ord = k <=> best_keys[j];
            }
            for (std::size_t j = 0; j < len && ord == 0; ++j) {
                const std::uint64_t k = ci[from[j]].key();
                if (k != best_keys[len + j]) ord = k <=> best_keys[len + j];
            }
        }

        if (ord < 0) {
            Qreal* br = best.re_mut().data();
            Qreal* bi = best.im_mut().data();
            for (std::size_t j = 0; j < len; ++j) {
                br[j] = cr[from[j]];
                bi[j] = ci[from[j]];
                best_keys[j] = br[j].key();
                best_keys[len + j] = bi[j].key();
            }
            have_best = true;
            out.pairs_.clear();
            out.pairs_.push_back({front_perm, back_perm});
        } else if (ord == 0) {
            out.pairs_.push_back({front_perm, back_perm});
        }
    }

    // The content hash of the minimal back state, fed from its keys.
    ContentHasher h;
    h.len(len);
    for (std::size_t j = 0; j < len; ++j) h.u64(best_keys[j]);
    h.len(len);
    for (std::size_t j = 0; j < len; ++j) h.u64(best_keys[len + j]);
    out.key_ = h.finish();
    return out.key_;
}

Evaluator::MultipleResult Evaluator::evaluate_multiple(std::span<const Instr32> instrs) const {
    Evaluation ev;
    evaluate_multiple(instrs, ev);
    return MultipleResult{ev.take_true_back_state(), ev.pairs(), ev.take_forward_state()};
}

Evaluator::Result Evaluator::evaluate(std::span<const Instr32> instrs) const {
    Evaluation ev;
    evaluate_multiple(instrs, ev);
    return Result{ev.take_true_back_state(), ev.pairs().front(), ev.take_forward_state()};
}

std::uint64_t Evaluator::initial_key() const {
    Evaluation ev;
    return evaluate_multiple({}, ev);
}

}  // namespace tsl
