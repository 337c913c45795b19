#include "state/scratch_states.hpp"

#include "base/panic.hpp"

namespace tsl {

namespace {

struct StateVecCache {
    std::vector<StateVec> entries;
    bool borrowed = false;
};

StateVecCache& state_vec_cache() {
    thread_local StateVecCache STATE_VEC_CACHE;
    return STATE_VEC_CACHE;
}

[[noreturn]] void panic_mismatch() { panic("Permutation does not match the state's qubits"); }

// Writes dst[permut_bv(i)] = src[i] for every i; both of length 2^n.
void scatter(const StateVec& src, Permut32 permut, std::size_t n, StateVec& dst) {
    std::uint8_t to[256];
    permut_index_table(permut, n, to);
    const Qreal* sr = src.re().data();
    const Qreal* si = src.im().data();
    Qreal* dr = dst.re_mut().data();
    Qreal* di = dst.im_mut().data();
    const std::size_t len = src.len();
    for (std::size_t i = 0; i < len; ++i) {
        dr[to[i]] = sr[i];
        di[to[i]] = si[i];
    }
}

}  // namespace

StateVecCacheBorrow::StateVecCacheBorrow() {
    StateVecCache& c = state_vec_cache();
    if (c.borrowed) panic("RefCell already borrowed");
    c.borrowed = true;
    entries_ = &c.entries;
    borrowed_ = &c.borrowed;
}

StateVecCacheBorrow::~StateVecCacheBorrow() { *borrowed_ = false; }

void reserve_state_vec_cache(std::size_t size) {
    StateVecCacheBorrow cache;
    std::vector<StateVec>& e = cache.entries();
    while (e.size() <= size) e.push_back(StateVec::zeros(static_cast<std::uint32_t>(e.size())));
}

void apply_permutation(StateVec& state, Permut32 permut) {
    const std::size_t n = state.nqubits();
    if (!permutes_exactly(permut, n)) panic_mismatch();
    reserve_state_vec_cache(n);
    StateVecCacheBorrow cache;
    StateVec& scratch = cache.entries()[n];
    scatter(state, permut, n, scratch);
    state.swap(scratch);
}

void permute_into(const StateVec& src, Permut32 permut, StateVec& dst) {
    if (&src == &dst) return apply_permutation(dst, permut);
    const std::size_t n = src.nqubits();
    if (!permutes_exactly(permut, n)) panic_mismatch();
    if (dst.len() != src.len()) dst.copy_from(src);
    scatter(src, permut, n, dst);
}

}  // namespace tsl
