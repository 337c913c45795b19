// Normalising steps of the canonical forms of Circ.  The forms themselves
// are Circ::representative, Circ::representative_with_perm and
// Circ::rotate_representative (circ.hpp); they minimise over all renamings
// of the qubits (and, for identities, over rotations) by the order of Circ.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "identity/circ.hpp"

namespace tsl {

// The used qubits of every instruction, in order, then every index i below
// the permutation length with perm[i] != i, ascending.
std::vector<std::uint8_t> affected_qubits(const Circ& c);

// The permutation shortened to the first (largest affected qubit + 1)
// entries (checked packing); unchanged when nothing is affected or nothing
// would be shortened.  The instructions are never touched.
Circ compact_qubits(Circ c);

// One insertion pass: an instruction moves towards the front past greater
// instructions on disjoint qubits and stops at the first neighbour that is
// not greater or that shares a qubit with it.
Circ reorder_instrs(Circ c);

// Circ::representative_with_perm of the circuit (instrs, perm) without
// building it: the form's instructions are written to `out` (room for
// instrs.size()); the form's length and permutation and the renaming that
// gave it are returned.
struct CanonicalForm {
    std::size_t len;
    Permut32 perm;
    Permut32 renaming;
};
CanonicalForm representative_with_perm_into(std::span<const Instr32> instrs, Permut32 perm, Instr32* out);

// Circ::rotate_representative without the identity check that ends it.
Circ rotated_form(const Circ& c);

}  // namespace tsl
