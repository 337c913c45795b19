// Circ: a circuit of compact instructions followed by a trailing qubit
// permutation.  The qubit count is the permutation's length.
//
// Invariant of every value built by `create` (and so by every operation
// here): each used qubit of an instruction is below the permutation length.
// Values read back from files or dictionaries are taken as stored
// (`from_parts`); the operations bounds-check what they index, so such values
// end in panics, never in undefined behaviour.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/content_hash.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"

namespace tsl {

class IdentityCirc;  // identity/identity_circ.hpp

class Circ {
public:
    std::vector<Instr32> instrs;
    Permut32 perm;

    // The empty circuit with the empty permutation.
    Circ() = default;

    // Checked: panics with "Permutation length must be greater than the max
    // qubit index." when a used qubit is not below the permutation length.
    static Circ create(std::vector<Instr32> instrs, Permut32 perm);
    // The identity permutation on (largest used qubit + 1) qubits, the empty
    // permutation when no instruction uses a qubit.
    static Circ new_no_perm(std::vector<Instr32> instrs);
    // Unchecked: the stored form, as read back from a serial form.
    static Circ from_parts(std::vector<Instr32> instrs, Permut32 perm) {
        Circ c;
        c.instrs = std::move(instrs);
        c.perm = perm;
        return c;
    }

    std::uint8_t nqubits() const { return perm.len(); }
    std::size_t len() const { return instrs.size(); }
    bool is_empty() const { return instrs.empty(); }

    // Joining: a's instructions, then b's carried back through a's trailing
    // permutation; both permutations at the end.
    friend Circ operator+(const Circ& a, const Circ& b);
    Circ inverse() const;
    // Qubit q renamed to p[q] at both ends.
    Circ permut(Permut32 p) const;
    // Cyclic rotation by n instructions; the block moved past the end is
    // relabelled through the trailing permutation.  Panics with the slice
    // range text when |n| exceeds the instruction count.
    Circ rotate(std::int64_t n) const;
    // Swap instructions folded into the trailing permutation.
    Circ remove_swaps() const;
    // The instructions followed by swaps that realise the permutation.
    std::vector<Instr32> instrs_with_swaps() const;

    // Canonical forms (canonical_form.cpp).
    Circ representative() const;
    std::pair<Circ, Permut32> representative_with_perm() const;
    IdentityCirc rotate_representative() const;

    // "Circuit { h(0) cx(0, 1) (0 1) }".
    void write_to(std::string& out) const;
    std::string to_string() const;
    // "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }".
    void write_debug(std::string& out) const;
    std::string debug_string() const;

    // Count, then each instruction (gate index, the pair length 2, both
    // qubit bytes), then the raw permutation word.
    void hash(ContentHasher& h) const {
        h.len(instrs.size());
        for (const Instr32& in : instrs) in.hash(h);
        perm.hash(h);
    }
    std::uint64_t hash_value() const {
        ContentHasher h;
        hash(h);
        return h.finish();
    }

    friend bool operator==(const Circ& a, const Circ& b) { return a.perm == b.perm && a.instrs == b.instrs; }
    // Fewer instructions first, then the instructions pairwise (Instr32
    // order), then the raw permutation word.
    friend std::strong_ordering operator<=>(const Circ& a, const Circ& b);
};

// The order of Instr32 as one number: first qubit byte, second qubit byte,
// gate index.
inline std::uint32_t instr_order_key(Instr32 in) {
    const auto [a, b] = in.qargs().raw;
    return std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | in.gate().index();
}

// Lexicographic order of two instruction runs of equal length.
inline std::strong_ordering compare_instrs(const Instr32* a, const Instr32* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (auto c = instr_order_key(a[i]) <=> instr_order_key(b[i]); c != 0) return c;
    return std::strong_ordering::equal;
}

inline std::strong_ordering operator<=>(const Circ& a, const Circ& b) {
    if (auto c = a.instrs.size() <=> b.instrs.size(); c != 0) return c;
    if (auto c = compare_instrs(a.instrs.data(), b.instrs.data(), a.instrs.size()); c != 0) return c;
    return a.perm.raw <=> b.perm.raw;
}

// Room for N instructions, left uninitialised (scratch space of the hot
// paths, filled before it is read).
template <std::size_t N>
struct InstrBuffer {
    InstrBuffer() {}
    union {
        Instr32 v[N];
    };
    Instr32* data() { return v; }
    const Instr32* data() const { return v; }
    Instr32& operator[](std::size_t i) { return v[i]; }
    const Instr32& operator[](std::size_t i) const { return v[i]; }
};

namespace circ_detail {
// The largest used qubit of the instructions, -1 when none is used.
int max_used_qubit(const Instr32* instrs, std::size_t n);
// Panics unless every used qubit is below `len`.
void check_qubits(const Instr32* instrs, std::size_t n, std::uint8_t len);
// Circ::remove_swaps of (instrs, perm): the kept instructions into `out`
// (room for n), their count and the new permutation returned.
std::pair<std::size_t, Permut32> remove_swaps_into(const Instr32* instrs, std::size_t n, Permut32 perm,
                                                   Instr32* out);
}  // namespace circ_detail

}  // namespace tsl
