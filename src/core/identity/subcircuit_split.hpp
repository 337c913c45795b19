// Subcircuit splits of an identity circuit: which selections of its
// instructions form a connected, convex subcircuit, and the rearrangement
// that brings such a selection to the front.
//
// The rewrite step uses WireTable: search_parts and search find every
// connected selection of at most max_selection(n) instructions of an
// identity of n instructions (n below kSplitLimit), is_convex tests each one
// with the port counts the search keeps, split_into gathers it into a
// SplitParts, and order_before puts what was found in the order of the
// subsets of COMBINATIONS.  The plain reference that the tests compare it
// with is in subcircuit_reference.hpp.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "identity/circ.hpp"
#include "identity/identity_circ.hpp"

namespace tsl {

// Identities of kSplitLimit or more instructions are not split: the rewrite
// step panics with the index text (kSplitLimit, n) for them.
inline constexpr std::size_t kSplitLimit = 20;

// The most instructions a selection of an identity of n instructions holds:
// floor(n/2)+1, or n when that is fewer.
constexpr std::size_t max_selection(std::size_t n) { return n < n / 2 + 1 ? n : n / 2 + 1; }

// A boundary wire of a selection.
struct Port {
    std::uint8_t qubit;
    std::uint64_t instr_id;
    std::uint64_t qargs_idx;
    friend bool operator==(const Port&, const Port&) = default;
};

// Lexicographic order of the ascending index lists of two different masks:
// the one holding the lowest index where they differ comes first.
inline bool lex_before(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t diff = a ^ b;
    return (a & diff & (~diff + 1)) != 0;
}

// A split held in fixed buffers, for identities of at most 64 instructions:
// the gathered instructions and the rest (the identity's permutation).
class SplitParts {
public:
    std::span<const Instr32> gathered() const { return {gathered_.data() + front_, back_ - front_}; }
    std::span<const Instr32> rest() const { return {rest_.data(), rest_len_}; }

private:
    friend class WireTable;
    InstrBuffer<128> gathered_;  // filled from the middle both ways
    std::size_t front_ = 64, back_ = 64;
    InstrBuffer<64> rest_;
    std::size_t rest_len_ = 0;
};

// The wire neighbours of every instruction of one identity, computed once;
// selections are then tested and split as bit masks.  Identities of at most
// 64 instructions.
class WireTable {
public:
    explicit WireTable(const IdentityCirc& id);

    std::size_t size() const { return m_; }
    const IdentityCirc& identity() const { return id_; }
    bool is_connected(std::uint64_t mask) const;
    bool is_convex(std::uint64_t mask) const;
    std::vector<Port> inputs(std::uint64_t mask) const;
    std::vector<Port> outputs(std::uint64_t mask) const;
    // The split of the selection into `out`; false when there is none.
    bool split_into(std::uint64_t mask, SplitParts& out) const;
    // Bit i set when instruction i is a swap gate.
    std::uint64_t swap_mask() const { return swaps_; }

    // The input and output ports of a selection counted per qubit (a byte
    // each for qubits 0 to 7), kept up to date as the search grows its
    // selections; valid when the table tracks them (every qubit below 8, and
    // no instruction met by more than four foreign slots per direction).
    struct PortCounts {
        std::uint64_t in = 0, out = 0;
    };
    // Where one part of the search starts.
    struct SearchPart {
        std::uint64_t set;   // the selection the part starts from
        std::uint64_t ext;   // instructions that may still join (none: the start alone)
        std::uint64_t near;  // the selection with its neighbours
        std::uint64_t allowed;
        std::size_t size;
        PortCounts ports;  // of `set`
    };
    // Every connected selection of 1 to `max_size` instructions (the masks
    // that pass is_connected) as independent parts of one search, for
    // running the parts on many threads: every selection is met in exactly
    // one part, in no particular order (order_before restores the order).
    std::vector<SearchPart> search_parts(std::size_t max_size) const;
    // visit(mask, weight sum, port counts) for every connected selection of
    // the part, weight[i] being instruction i's weight.
    template <class Visit>
    void search(const SearchPart& part, std::size_t max_size, const std::uint64_t* weight, Visit&& visit) const {
        std::uint64_t sum = 0;
        for (std::uint64_t rest = part.set; rest; rest &= rest - 1) sum += weight[std::countr_zero(rest)];
        grow(part.set, part.ext, part.near, part.allowed, part.size, max_size, weight, sum, part.ports, visit);
    }
    // is_convex of a selection met by search, with its port counts.
    bool is_convex(std::uint64_t mask, const PortCounts& counts) const {
        if (!counted_) return is_convex(mask);
        constexpr std::uint64_t kAboveOne = 0xFEFEFEFEFEFEFEFEULL;
        return ((counts.in | counts.out) & kAboveOne) == 0;
    }
    // The order of COMBINATIONS: fewer instructions first, then lexicographic.
    static bool order_before(std::uint64_t a, std::uint64_t b) {
        const int na = std::popcount(a), nb = std::popcount(b);
        return na != nb ? na < nb : lex_before(a, b);
    }

private:
    template <class F>
    void ports(std::uint64_t mask, const std::vector<WireNeighbours>& nb, F&& port) const;

    // The subgraph enumeration of Wernicke's ESU: every connected set that
    // holds `set`, stays within `allowed` and adds instructions of `ext` or
    // their later neighbours, each met once.  An instruction taken from
    // `ext` leaves it for good, and only neighbours of the taken one that
    // are not next to the set already (`near`) join the extension.
    template <class Visit>
    void grow(std::uint64_t set, std::uint64_t ext, std::uint64_t near, std::uint64_t allowed, std::size_t size,
              std::size_t max_size, const std::uint64_t* weight, std::uint64_t sum, const PortCounts& counts,
              Visit& visit) const {
        if (symmetric_ || is_connected(set)) visit(set, sum, counts);
        if (size == max_size) return;
        while (ext) {
            const unsigned w = static_cast<unsigned>(std::countr_zero(ext));
            ext &= ext - 1;
            grow(set | std::uint64_t{1} << w, ext | (adjacent_[w] & allowed & ~near), near | adjacent_[w], allowed,
                 size + 1, max_size, weight, sum + weight[w], joined(counts, set, w), visit);
        }
    }

    // The port counts of set + {w} (w not in set) from those of set: w's own
    // ports, less the ports of set whose wire leads to w.
    PortCounts joined(const PortCounts& counts, std::uint64_t set, unsigned w) const {
        if (!counted_) return counts;
        const PortBits& p = port_bits_[w];
        const PortJoin& j = joins_[w];
        const std::uint64_t with = set | std::uint64_t{1} << w;
        PortCounts c = counts;
        std::uint64_t* dir_counts[2] = {&c.in, &c.out};
        for (int dir = 0; dir < 2; ++dir) {
            std::uint64_t& n = *dir_counts[dir];
            for (std::size_t s = 0; s < p.count; ++s)
                if (!(with & p.neighbour[dir][s])) n += j.lane[s];
            for (std::size_t k = 0; k < j.closing[dir]; ++k)
                if (set & j.closer[dir][k]) n -= j.closer_lane[dir][k];
        }
        return c;
    }

    const IdentityCirc& id_;
    std::size_t m_;
    std::vector<WireNeighbours> fwd_, bwd_;
    std::vector<std::uint64_t> linked_;    // per instruction: its neighbours as a mask
    std::vector<std::uint64_t> adjacent_;  // the same made symmetric, without the instruction itself
    std::uint64_t swaps_ = 0;
    bool symmetric_ = true;
    // Per instruction and slot: the backward (0) and forward (1) neighbour as
    // a bit (none when the wire comes back to the instruction), and the
    // qubit as a bit.  Empty when a qubit is 64 or more.
    struct PortBits {
        std::uint64_t neighbour[2][2];
        std::uint64_t qubit[2];
        std::size_t count;
    };
    std::vector<PortBits> port_bits_;
    // Per instruction w, for counting ports as the search grows (its own
    // slots' neighbours are in port_bits_): its slots' qubits as bytes, and
    // the slots of other instructions whose wire in each direction leads to
    // w (their bit and their qubit's byte).
    struct PortJoin {
        std::uint64_t lane[2] = {};
        std::size_t closing[2] = {};
        std::uint64_t closer[2][4] = {};
        std::uint64_t closer_lane[2][4] = {};
    };
    std::vector<PortJoin> joins_;
    bool counted_ = false;  // port counts kept (see PortCounts): joins_ filled
};

}  // namespace tsl
