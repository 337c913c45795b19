// Verification of one raw class map against another.
//
// Every member of every class of a map must have its key in the other map,
// and canonicalising it there must be deterministic.  Canonicalisation walks a
// circuit instruction by instruction; whenever the prefix read so far belongs
// to a class, the prefix is proved equivalent to a member of that class by
// stripping the gates both share at their edges, the two remainders are
// canonicalised recursively and must agree, and the prefix is replaced by the
// class's first member.  Every failure is a panic.
//
// Presence masks say which instructions of a list are still present, bit i
// for instruction i; they grow with the list, so lists of any length work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "model/instr32.hpp"
#include "model/permut32.hpp"
#include "base/small_vec.hpp"
#include "base/worker_pool.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace tsl {

// A set of positions 0 .. k-1 of an instruction list.
class PresenceMask {
public:
    PresenceMask() = default;
    // Positions 0 .. k-1 present.
    explicit PresenceMask(std::size_t k);

    bool test(std::size_t i) const {
        const std::size_t w = i >> 6;
        return w < words_.size() && ((words_[static_cast<std::uint32_t>(w)] >> (i & 63)) & 1u);
    }
    void reset(std::size_t i) {
        const std::size_t w = i >> 6;
        if (w < words_.size()) words_[static_cast<std::uint32_t>(w)] &= ~(std::uint64_t{1} << (i & 63));
    }

    // Bits 64w .. 64w+63 as an integer, 0 past the end.
    std::uint64_t word(std::size_t w) const {
        return w < words_.size() ? words_[static_cast<std::uint32_t>(w)] : 0;
    }

    // The mask as a binary numeral, no prefix or padding ("0" when empty).
    std::string to_binary() const;

    friend bool operator==(const PresenceMask& a, const PresenceMask& b);

private:
    SmallVec<std::uint64_t, 1> words_;
};

// An insertion-ordered map from instruction to list position; inserting an
// instruction already present replaces its position.
class SurfaceMap {
public:
    struct Entry {
        Instr32 instr;
        std::uint32_t pos;
    };

    void insert(Instr32 instr, std::uint32_t pos);
    const Entry* find(Instr32 instr) const;

    std::uint32_t size() const { return entries_.size(); }
    const Entry* begin() const { return entries_.begin(); }
    const Entry* end() const { return entries_.end(); }

private:
    SmallVec<Entry, 8> entries_;
};

// The front surface of `circ` restricted to the positions of
// `filtering_mask`: every present instruction none of whose qubits is used
// by an earlier present instruction (qubits counted modulo 32).
SurfaceMap circuit_get_surface_gates_hashmap(std::span<const Instr32> circ, const PresenceMask& filtering_mask);

// Strips the front gates the two lists share, round after round; returns the
// positions left in each.
std::pair<PresenceMask, PresenceMask> reduce_equivalence_front(std::span<const Instr32> circ1,
                                                               std::span<const Instr32> circ2);

// Keeps instruction i of `list` when bit i of `front` and bit len-1-i of
// `back` are set; returns the number removed.
std::size_t retain_by_masks(std::vector<Instr32>& list, const PresenceMask& front, const PresenceMask& back);

// Removes the gates the two circuits share at their fronts and at their ends
// (the ends compared after each circuit's permutation); returns the number
// removed from each.  Panics with the four masks when the numbers differ.
// The permutations are unchanged.
std::size_t reduce_equivalence(EccCircuit& circ1, EccCircuit& circ2);

// Proves the circuit `instr_vec` with evaluation pair (front_perm, back_perm)
// equivalent to a member of `cls` (a class of `map`): the first member that
// equals the query in the class frame gives two empty lists; else the first
// from which a reduction removes gates gives the two reduced circuits (the
// member's, the query's).  Panics when no member does.
std::pair<EccCircuit, EccCircuit> export_equivalence(const RawECCs& map, const CircuitECC& cls, Permut32 front_perm,
                                                     std::span<const Instr32> instr_vec, Permut32 back_perm);

// The canonical form of the circuit (instrs, perm) in `map`, after checking
// that every prefix that belongs to a class canonicalises alike by both of
// its routes.
EccCircuit checked_equivalent(const RawECCs& map, std::span<const Instr32> instrs, Permut32 perm,
                              const Evaluator& evaluator);

// Checks that every class member of `self` is known to `ecc1` and
// canonicalises deterministically there.  Classes go in creation order, in
// chunks of 4096, each chunk on the worker pool, once the adjoints of both
// maps' gates are created on the calling thread.  Panics on the first
// failure (the one of the lowest class, member by member).
void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator);
void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator, WorkerPool& pool);

}  // namespace tsl
