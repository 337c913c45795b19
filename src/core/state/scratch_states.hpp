// Per-thread scratch states and the relabelling of a state's qubits.
//
// Relabelling cannot be done in place, so every thread keeps one scratch
// state per qubit count (`STATE_VEC_CACHE`): the relabelled amplitudes are
// written into the scratch state of the right size, and the two states then
// exchange their arrays.  After a thread's first relabelling of a given size,
// relabelling allocates nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/permut32.hpp"
#include "state/state_vec.hpp"

namespace tsl {

// Exclusive access to this thread's scratch states for the lifetime of the
// object.  Entry k of `entries()` is a scratch state of k qubits; entries are
// only ever appended, in order, and never removed.  Taking a second borrow
// on the same thread while one is alive panics with "RefCell already
// borrowed".
class StateVecCacheBorrow {
public:
    StateVecCacheBorrow();
    ~StateVecCacheBorrow();
    StateVecCacheBorrow(const StateVecCacheBorrow&) = delete;
    StateVecCacheBorrow& operator=(const StateVecCacheBorrow&) = delete;

    std::vector<StateVec>& entries() { return *entries_; }

private:
    std::vector<StateVec>* entries_;
    bool* borrowed_;
};

// Makes sure this thread's cache holds scratch states for 0 to `size`
// qubits.  A cache that is long enough is left alone; it is never shortened.
void reserve_state_vec_cache(std::size_t size);

// True when `p` relabels exactly `nqubits` qubits: its length is `nqubits`
// (at most 8) and its entries are a rearrangement of 0 .. nqubits - 1.
constexpr bool permutes_exactly(Permut32 p, std::size_t nqubits) {
    if (nqubits > 8 || p.len() != nqubits) return false;
    unsigned seen = 0;
    for (std::uint8_t v : p) seen |= 1u << v;
    return seen == (1u << nqubits) - 1u;
}

// The basis-index map of `p` on `nqubits` <= 8 qubits:
// out[i] = p.permut_bv(i) for every i < 2^nqubits.
inline void permut_index_table(Permut32 p, std::size_t nqubits, std::uint8_t* out) {
    // permut_bv is linear over XOR: build each index from the one without its
    // lowest set bit.
    std::uint8_t image[8];
    for (std::size_t b = 0; b < nqubits; ++b)
        image[b] = static_cast<std::uint8_t>(1u << p.at(static_cast<std::uint8_t>(b)));
    out[0] = 0;
    const std::size_t len = std::size_t{1} << nqubits;
    for (std::size_t i = 1; i < len; ++i)
        out[i] = static_cast<std::uint8_t>(out[i & (i - 1)] | image[std::countr_zero(i)]);
}

// Relabels the qubits of `state` in place through this thread's scratch
// state of its size: the content of qubit b moves to qubit permut[b], that is
// the amplitude at index i moves to index permut.permut_bv(i).  Relabelling
// with p and then with q equals relabelling with q * p.
//
// `permut` must be a permutation of exactly the state's qubits
// (permutes_exactly); anything else panics with "Permutation does not match
// the state's qubits" and leaves the state unchanged.
void apply_permutation(StateVec& state, Permut32 permut);

// `dst` becomes `src` relabelled by `permut`, as if `src` were copied and then
// relabelled with apply_permutation, without touching the scratch states.
// `dst`'s arrays are reused when it already has the length of `src` (no
// allocation then).  Same panic as apply_permutation for a `permut` that does
// not fit; `dst` is then unchanged.
void permute_into(const StateVec& src, Permut32 permut, StateVec& dst);

}  // namespace tsl
