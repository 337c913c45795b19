// A loaded prover's stored forms brought into this process's canonical forms.
//
// Canonical forms order instructions by gate index, and gate indices follow
// the order in which a process created its gates: the built-in gates come
// first, always in the same order, every other gate after them in the order
// the process made it.  A prover file names gates, not indices, so a stored
// form that holds two or more distinct gates beyond the built-ins is
// canonical for the order of the process that saved it, which need not be
// this one's.  Lookups canonicalise under this process's indices, so such
// forms are formed again on loading (rule map keys with their replacements
// renamed alike, proved identities and assumptions), unless the file shows
// that the saving process ordered those gates as this one does.
//
// What the file shows: a rule map key holding exactly two gates beyond the
// built-ins, a and b, is canonical for the saving process's order of a and
// b.  When its form with a and b ordered as here differs from its form with
// them ordered the other way, the key equals one of the two, and that one
// tells how the saving process ordered them.
//
// Stored values are not validated: a value whose form cannot be taken (its
// qubits do not fit its permutation, for one) is kept as stored.
#pragma once

#include <vector>

#include "model/gate.hpp"
#include "prover/identity_prover.hpp"

namespace tsl {

// `named`: every gate the file names.  Changes nothing when the file names
// fewer than two gates beyond the built-ins, or when its keys show that the
// saving process ordered every two of them as this one does.
void form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named);

}  // namespace tsl
