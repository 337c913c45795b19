// Finished equivalence classes.
//
// An ECC is a list of circuits that act alike up to a relabelling of the
// qubits at their outputs; each circuit is its instructions in execution
// order followed by a trailing qubit permutation.  Circuit 0 is the
// representative.  An ECCs is a collection of classes for one qubit count.
//
// Nothing is checked on construction: a class read from a file may have no
// circuits, and its permutations may differ in length.  The operations that
// need circuit 0 or equal lengths check them and panic.
//
// Materialised form: circuit j taken relative to a reference circuit r is
// its instructions followed by one `swap` per pair that the swap network
// yields for P_r^-1 * P_j.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/instr32.hpp"
#include "model/permut32.hpp"

namespace tsl {

// One class circuit: instructions in execution order, trailing permutation.
struct EccCircuit {
    std::vector<Instr32> instrs;
    Permut32 perm;
    friend bool operator==(const EccCircuit&, const EccCircuit&) = default;
};

// Appends the instructions of `c` and the swaps of `ref_inv * c.perm` to
// `out` (ref_inv being the inverse of the reference circuit's permutation).
// Panics with the length-mismatch text when the permutation lengths differ.
void append_materialized(const EccCircuit& c, Permut32 ref_inv, std::vector<Instr32>& out);

// Order of circuits: instructions position by position (a proper prefix
// first), then the raw permutation word.
std::strong_ordering compare_circuits(const EccCircuit& a, const EccCircuit& b);

class ECC {
public:
    std::vector<EccCircuit> circs;

    ECC() = default;
    explicit ECC(std::vector<EccCircuit> c) : circs(std::move(c)) {}

    std::size_t size() const { return circs.size(); }
    bool empty() const { return circs.empty(); }

    // The representative; panics with the index text for a class without
    // circuits.
    const EccCircuit& first() const;

    // Every circuit materialised relative to circuit 0, in circuit order.
    std::vector<std::vector<Instr32>> circuits() const;

    // The same circuits with every P_j replaced by P_0^-1 * P_j (circuit 0's
    // permutation becomes the identity of its length).
    ECC simplify_permute() &&;
    ECC simplify_permute() const& { return ECC(*this).simplify_permute(); }

    // "ECC {\n" + per circuit "\t<materialised instructions>,\n" + "}".
    void write_to(std::string& out) const;
    std::string to_string() const;

    friend bool operator==(const ECC& a, const ECC& b) { return a.circs == b.circs; }
    // Circuit by circuit (compare_circuits); a proper prefix orders first.
    friend std::strong_ordering operator<=>(const ECC& a, const ECC& b);
};

class ECCs {
public:
    std::vector<ECC> eccs;
    std::uint64_t nqubits = 0;

    ECCs() = default;
    ECCs(std::vector<ECC> e, std::uint64_t n) : eccs(std::move(e)), nqubits(n) {}

    std::size_t size() const { return eccs.size(); }

    // The classes that fail the randomised check: every circuit, materialised
    // relative to circuit 0, is run on one shared random state of `nqubits`
    // qubits and fingerprinted after phase normalisation; a class passes when
    // all fingerprints agree.  Panics for more than 8 qubits before anything
    // is allocated.
    std::vector<ECC> check() const;

    // Copies of the classes with more than one circuit, same `nqubits`.
    ECCs filter_single() const;

    // The text forms of the classes with two or more circuits joined by " & ".
    void write_to(std::string& out) const;
    std::string to_string() const;

    friend bool operator==(const ECCs& a, const ECCs& b) = default;
};

// The most qubits a randomised class check accepts.
inline constexpr std::uint64_t kMaxCheckQubits = 8;

}  // namespace tsl
