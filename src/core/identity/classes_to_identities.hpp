// Identity circuits of a class collection: for every member beyond the
// first, the inverse of the class's first circuit followed by the member, in
// canonical rotated form, with the two circuits it was made from.
#pragma once

#include <tuple>
#include <vector>

#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "search/ecc.hpp"

namespace tsl {

// Entries (identity, inverse of circuit 0, member), sorted ascending
// (stably, element by element); nothing is de-duplicated.  Panics for a
// class without circuits, a member whose qubits exceed its permutation and a
// member the randomised check finds not equivalent to circuit 0.
std::vector<std::tuple<IdentityCirc, Circ, Circ>> to_identity_circuits(const ECCs& eccs);

}  // namespace tsl
