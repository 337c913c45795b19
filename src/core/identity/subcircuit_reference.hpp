// The plain reference for the subcircuit search of the rewrite step, which
// the tests compare that search with; nothing else calls it.  It tries every
// subset of the table COMBINATIONS in turn, where the rewrite step searches
// only the connected ones (WireTable::search_parts, subcircuit_split.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"
#include "identity/subcircuit_split.hpp"

namespace tsl {

// COMBINATIONS, the process-wide table of selections to try,
// holds for each instruction count n = 0 .. 19 every k-element subset of
// {0 .. n-1} for k = 0 .. max_selection(n), sizes ascending, each size in
// lexicographic order.  A subset is stored as a bit mask (bit i: instruction
// i), all entries in one flat array.
class Combinations {
public:
    static constexpr std::size_t kEntries = kSplitLimit;

    // The table, built on first use (thread-safe) and kept for the process.
    static const Combinations& get();

    // The subsets of entry n; panics with the index text (20, n) for n >= 20.
    std::span<const std::uint32_t> entry(std::size_t n) const;

    // Position in entry n of the first subset of k elements (k = 0 ..
    // floor(n/2)+2; the last is the entry's size).  n < 20.
    std::size_t size_begin(std::size_t n, std::size_t k) const { return size_begin_[n][k]; }
    // The largest subset size of entry n (n < 20).
    static std::size_t max_subset(std::size_t n) { return max_selection(n); }

    // The indices of a subset mask, ascending.
    static std::vector<std::uint8_t> indices(std::uint32_t mask);

private:
    Combinations();
    std::vector<std::uint32_t> masks_;
    std::array<std::size_t, kEntries + 1> offsets_{};
    std::array<std::array<std::size_t, kEntries / 2 + 3>, kEntries> size_begin_{};
};

// The split of an identity: the gathered subcircuit (identity
// permutation of the identity's qubit count) and the rest (the identity's
// permutation).
struct Split {
    Circ gathered;
    Circ rest;
    friend bool operator==(const Split&, const Split&) = default;
};

// The split of a selection of the table's identity as two circuits; none
// when there is none.
std::optional<Split> split(const WireTable& table, std::uint64_t mask);

// Every connected selection of 1 to `max_size` instructions of the table's
// identity in one list, by size and within one size in lexicographic order
// of their index lists: the order of COMBINATIONS without the selections
// that are not connected (the parts of the search run one after the other,
// then sorted).
std::vector<std::uint64_t> connected_subsets(const WireTable& table, std::size_t max_size);

// A selection of an identity's instructions.
class IdentitySubcircuit {
public:
    // `circuit` must outlive the selection; `gates` has one flag per
    // instruction.  Identities of at most 64 instructions.
    IdentitySubcircuit(const IdentityCirc& circuit, std::vector<bool> gates);

    const IdentityCirc& circuit;
    std::vector<bool> gates;

    std::vector<Port> inputs() const { return table_.inputs(mask_); }
    std::vector<Port> outputs() const { return table_.outputs(mask_); }
    bool is_connected() const { return table_.is_connected(mask_); }
    bool is_convex() const { return table_.is_convex(mask_); }
    // None when nothing is selected or the selection cannot be gathered.
    std::optional<Split> split() const { return tsl::split(table_, mask_); }

    // The splits of every connected, convex subset of entry n of
    // COMBINATIONS (n the instruction count), in the entry's order, each
    // subset tried by a job of the worker pool.  Panics with the index text
    // for n >= 20.
    static std::vector<Split> par_subcircuit_splits(const IdentityCirc& circuit);

private:
    WireTable table_;
    std::uint64_t mask_ = 0;
};

}  // namespace tsl
