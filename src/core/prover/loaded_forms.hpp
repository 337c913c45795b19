// A loaded prover's stored forms brought into this process's canonical forms.
//
// Canonical forms order instructions by gate index, and gate indices follow
// the order in which a process created its gates: the built-in gates come
// first, always in the same order, every other gate after them in the order
// the process made it.  A prover file names gates, not indices, so a stored
// form that holds two or more distinct gates beyond the built-ins is
// canonical for the order of the process that saved it.  The forms are one
// insertion pass over the instructions, not a normal form: forming a stored
// form again, even in the saving order, can give another circuit.  So a
// stored value is kept exactly as it is wherever this process orders its
// gates as the saving process did, and only a value holding two gates that
// the two processes order differently is formed again (rule map keys with
// their replacements renamed alike, proved identities and assumptions).
//
// How the saving process ordered its gates: the file records the order in
// which it created the gates beyond the built-ins that it names.  Files
// without that record (written before it existed, or cut after the rule
// map) show it only through rule map keys: a key holding exactly two such
// gates, a and b, is canonical for the saving process's order of a and b;
// when its form with a and b ordered as here differs from its form with them
// ordered the other way, the key equals one of the two, and that one tells
// how the saving process ordered them.  A pair that no key shows, or that
// keys show both ways, is taken to be ordered as here: values holding it
// are kept as stored.
//
// Values longer than the rewrite step takes are never used by the prover
// and are kept as stored, and so is a value whose form cannot be taken (its
// qubits do not fit its permutation, for one): stored values are not
// validated.
#pragma once

#include <optional>
#include <vector>

#include "model/gate.hpp"
#include "prover/identity_prover.hpp"

namespace tsl {

// The record a file keeps of its gate order: the gates beyond the built-ins
// among `named`, in the order this process created them (empty when there
// are none).
std::vector<Gate16> creation_order(const std::vector<Gate16>& named);

// `named`: every gate the file names; `recorded`: the file's record, as this
// process's gates, none without one.  A record that is not an order of the
// file's gates beyond the built-ins is ignored.  Changes nothing when the
// saving process ordered every two of those gates as this one does, as far
// as the file tells.
void form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named,
                           const std::optional<std::vector<Gate16>>& recorded);

}  // namespace tsl
