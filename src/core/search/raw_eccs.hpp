// The raw class map: the direct output of the breadth-first search.
//
// Classes are kept in creation order in chunked storage (stable addresses,
// no reallocation copies) and found through an open-addressing map keyed by
// the 64-bit search key itself.  Member circuits are shared-tail lists in a
// cell arena owned through a shared pointer, so a map re-keyed from another
// keeps the cells alive whichever map goes first.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/alias_list.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"
#include "base/small_vec.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/key_index_map.hpp"

namespace tsl {

using InstrList = AliasList<Instr32>;
using InstrArena = AliasArena<Instr32>;

// One class member: its instructions (newest first) and the permutations
// that carry it into the class's qubit frame.
struct CircTriple {
    Permut32 front_perm;
    InstrList circ;
    Permut32 back_perm;
};

struct CircuitECC {
    std::uint64_t size = 0;              // instructions of the representative
    SmallVec<Instr32, 4> front_gates;    // first-layer gates, class frame
    SmallVec<Instr32, 4> back_gates;     // last-layer gates, class frame
    SmallVec<CircTriple, 1> circuits;    // element 0 is the representative
};

using SearchCounters = std::array<std::uint64_t, 3>;

class RawECCs {
public:
    // The map holding only the empty circuit's class.
    explicit RawECCs(const Evaluator& evaluator);

    static std::pair<RawECCs, SearchCounters> search(const Evaluator& evaluator, std::span<const Instr32> instrs,
                                                     std::uint64_t max_size);
    static std::pair<RawECCs, SearchCounters> search_naive(const Evaluator& evaluator,
                                                           std::span<const Instr32> instrs, std::uint64_t max_size);

    // Files the circuit `instr_vec` (oldest first; its last instruction
    // extends `circ`) under `key`.  Returns the new list when the key opened
    // a new class.
    std::optional<InstrList> add_entry(std::uint64_t key, Permut32 front_perm, Permut32 back_perm, InstrList circ,
                                       std::span<const Instr32> instr_vec);

    std::uint64_t nqubits() const { return nqubits_; }
    std::size_t num_classes() const { return count_; }
    const CircuitECC* find(std::uint64_t key) const;

    // Classes in creation order.
    std::uint64_t key_at(std::size_t i) const { return entry(i).key; }
    const CircuitECC& class_at(std::size_t i) const { return entry(i).cls; }

    // A member's instructions in circuit order (oldest first), appended to `out`.
    void instructions(InstrList list, std::vector<Instr32>& out) const;
    std::vector<Instr32> instructions(InstrList list) const {
        std::vector<Instr32> v;
        instructions(list, v);
        return v;
    }

    // Resident bytes of the map's own storage (classes, index, cells).
    std::size_t bytes() const;

    // The map re-keyed under another evaluator; shares this map's cells.
    RawECCs switch_evaluator(const Evaluator& evaluator) const;

    // A member brought into the class frame: instructions oldest first with
    // every qubit relabelled by front_perm^-1, and the permutation
    // back_perm * front_perm.
    EccCircuit simplify_member(const CircTriple& m) const;

    // A class as a finished ECC: members converted, stably sorted by
    // (length, instructions, permutation), then renumbered so that the
    // representative uses the lowest qubits in their relative order.
    ECC simplify_class(const CircuitECC& c) const;
    // Every class converted, stably sorted by the class order.
    ECCs simplify() const;

    // Text forms used in messages.
    std::string member_display(const CircTriple& m) const;
    std::string member_debug(const CircTriple& m) const;
    std::string class_display(const CircuitECC& c) const;
    std::string class_debug(const CircuitECC& c) const;

    const std::shared_ptr<InstrArena>& arena() const { return arena_; }

private:
    struct Entry {
        std::uint64_t key = 0;
        CircuitECC cls;
    };
    static constexpr std::size_t kChunkBits = 12;
    static constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;

    RawECCs(std::uint64_t nqubits, std::shared_ptr<InstrArena> arena);

    Entry& entry(std::size_t i) { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
    const Entry& entry(std::size_t i) const { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
    std::uint32_t index_of(std::uint64_t key) const;
    // Appends a class under a key that is not present; returns its index.
    std::uint32_t append_class(std::uint64_t key, CircuitECC cls);

    std::uint64_t nqubits_ = 0;
    std::shared_ptr<InstrArena> arena_;
    std::vector<std::unique_ptr<Entry[]>> chunks_;
    std::size_t count_ = 0;
    KeyIndexMap index_;
};

// Instructions of a gate set for the search: missing adjoints added, every
// gate placed on every qubit (or ordered pair) of `nqubits`, stably sorted by
// largest qubit.
std::vector<Instr32> expand_gate_set(std::vector<Gate16> gates, std::uint64_t nqubits);

}  // namespace tsl
