// IdentityCirc: a Circ whose instructions followed by its permutation act as
// the identity up to a global phase.  The type does not enforce the property:
// values read back from serial forms are taken as stored; `unchecked` runs
// the randomised test `check` on what it wraps.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

#include "identity/circ.hpp"

namespace tsl {

// The neighbours of one instruction along its wires: one entry per used
// qubit slot (0, 1 or 2).
struct WireNeighbours {
    std::array<std::uint64_t, 2> slot{};
    std::uint8_t count = 0;

    const std::uint64_t* begin() const { return slot.data(); }
    const std::uint64_t* end() const { return slot.data() + count; }
    std::size_t size() const { return count; }
    std::uint64_t operator[](std::size_t i) const { return slot[i]; }
};

class IdentityCirc {
public:
    Circ circ;

    // The empty placeholder: no instructions, empty permutation.
    IdentityCirc() = default;

    // Wraps `c` unchanged and runs `check` on it (panics for a circuit that
    // is not an identity).
    static IdentityCirc unchecked(Circ c);
    // Wraps a stored value without any test.
    static IdentityCirc from_stored(Circ c) {
        IdentityCirc id;
        id.circ = std::move(c);
        return id;
    }

    const Circ& inner() const { return circ; }
    std::uint8_t nqubits() const { return circ.nqubits(); }
    std::size_t len() const { return circ.len(); }

    // Randomised identity test on a fresh operating-system-seeded random
    // state; panics with "IdentityCirc: circuit is not identity {} {} {}"
    // on failure, so it only ever returns true.  Permutations longer than 8
    // are refused before any state is allocated.
    bool check() const;

    // The content hash of the circuit.
    std::uint64_t hash_value() const { return circ.hash_value(); }
    void hash(ContentHasher& h) const { circ.hash(h); }

    // For each used slot of instruction `gate_id`, the index of the next
    // (forward) or previous (backward) instruction, cyclically, on that wire.
    WireNeighbours qargs_forward(std::uint64_t gate_id) const;
    WireNeighbours qargs_backward(std::uint64_t gate_id) const;

    // "Identity { h(0) h(0) (0 1) }".
    void write_to(std::string& out) const;
    std::string to_string() const;
    // "IdentityCirc(Circ { ... })".
    std::string debug_string() const;

    friend bool operator==(const IdentityCirc& a, const IdentityCirc& b) { return a.circ == b.circ; }
    friend std::strong_ordering operator<=>(const IdentityCirc& a, const IdentityCirc& b) {
        return a.circ <=> b.circ;
    }
};

}  // namespace tsl
