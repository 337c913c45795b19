// A loaded prover's stored forms brought into this process's canonical forms.
//
// Canonical forms order instructions by gate index, and gate indices follow
// the order in which a process created its gates: the built-in gates come
// first, always in the same order, every other gate after them in the order
// the process made it.  A prover file names gates, not indices, so a stored
// form that holds two or more distinct gates beyond the built-ins is
// canonical for the order of the process that formed it.  The forms are one
// insertion pass over the instructions, not a normal form: forming a stored
// form again, even in the order it follows, can give another circuit.  So a
// stored value is kept exactly as it is wherever this process orders its
// gates as the file's forms do, and only a value holding two gates that the
// two orders differ on is formed again (rule map keys with their
// replacements renamed alike, proved identities and assumptions).
//
// How the file's forms order their gates: a file records the order in which
// the saving process created the gates beyond the built-ins that it names,
// and writes that record only where every value it holds follows that order
// (IdentityProver::forms_follow_this_process).  Rule map keys show it too: a
// key holding exactly two such gates, a and b, is canonical for the order of
// a and b; when its form with a and b ordered as here differs from its form
// with them ordered the other way, the key equals one of the two, and that
// one tells how they were ordered.  A pair that keys show one way only is
// taken as they show it, and a record that says otherwise is not used (the
// file then loads as one without a record).  Without a usable record, a pair
// that no key shows, or that keys show both ways, is unknown: values holding
// it are kept as stored, which is exact where this process orders it as the
// forms do.
//
// Values of more than kLongestFormed instructions are kept as stored, so
// that loading costs at most a bounded amount per value.  A search expands
// identities of at most 19 instructions, each rewrite replacing at least
// one instruction by one rule's replacement, so a prover built from classes
// of up to k gates holds none longer than 18 + k (nor longer than a start
// plus its allowance) unless a file gave it one.  A value whose form cannot
// be taken (its qubits do not fit its permutation, for one) is kept as
// stored too: stored values are not validated.
//
// A prover that keeps a value as stored where it holds a pair of unknown
// order, or a pair ordered otherwise (too long, or refused), holds forms
// that follow no one order it knows: it writes no record.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "model/gate.hpp"
#include "prover/identity_prover.hpp"

namespace tsl {

// The longest stored value that loading forms again.
inline constexpr std::size_t kLongestFormed = 40;

// The record a file keeps of its gate order: the gates beyond the built-ins
// among `named`, in the order this process created them (empty when there
// are none).
std::vector<Gate16> creation_order(const std::vector<Gate16>& named);

// `named`: every gate the file names; `recorded`: the file's record, as this
// process's gates, none without one.  A record that is not an order of the
// file's gates beyond the built-ins, or that the keys contradict, is not
// used.  Changes nothing when every two of those gates are ordered as here,
// as far as the file tells.  Returns whether every value the prover now
// holds follows this process's order.
bool form_for_this_process(IdentityProver& prover, const std::vector<Gate16>& named,
                           const std::optional<std::vector<Gate16>>& recorded);

}  // namespace tsl
