#include "identity/subcircuit_split.hpp"

#include <algorithm>
#include <bit>

#include "base/panic.hpp"

namespace tsl {

namespace {

// A set of 256 qubit values.
struct QubitSet {
    std::array<std::uint64_t, 4> w{};
    // False when q was already present.
    bool add(std::uint8_t q) {
        const std::uint64_t bit = std::uint64_t{1} << (q & 63u);
        std::uint64_t& word = w[q >> 6];
        if (word & bit) return false;
        word |= bit;
        return true;
    }
};

}  // namespace

// ---- wire table -------------------------------------------------------------

WireTable::WireTable(const IdentityCirc& id) : id_(id), m_(id.len()) {
    if (m_ > 64) panic_index_oob(64, m_);
    fwd_.reserve(m_);
    bwd_.reserve(m_);
    // Instruction by instruction, forward before backward: the order in which
    // the single-instruction selections would meet them.
    for (std::size_t i = 0; i < m_; ++i) {
        fwd_.push_back(id.qargs_forward(i));
        bwd_.push_back(id.qargs_backward(i));
        std::uint64_t linked = 0;
        for (std::uint64_t v : fwd_.back()) linked |= std::uint64_t{1} << v;
        for (std::uint64_t v : bwd_.back()) linked |= std::uint64_t{1} << v;
        linked_.push_back(linked);
        if (id.circ.instrs[i].gate() == gates::SWAP) swaps_ |= std::uint64_t{1} << i;
    }
    // Port tests as bits, when every qubit fits a 64-bit set.
    bool small = true;
    for (std::size_t i = 0; i < m_ && small; ++i)
        for (std::uint8_t q : id.circ.instrs[i].qargs()) small = small && q < 64;
    if (small) {
        port_bits_.resize(m_);
        for (std::size_t i = 0; i < m_; ++i) {
            PortBits& p = port_bits_[i];
            p.count = bwd_[i].count;
            for (std::size_t s = 0; s < p.count; ++s) {
                // A wire that comes back to the instruction itself is always a port.
                auto bit = [&](std::uint64_t v) { return v == i ? 0 : std::uint64_t{1} << v; };
                p.neighbour[0][s] = bit(bwd_[i][s]);
                p.neighbour[1][s] = bit(fwd_[i][s]);
                p.qubit[s] = std::uint64_t{1} << id.circ.instrs[i].qargs().raw[s];
            }
        }
    }
    // Port counting: every qubit below 8, and no instruction met by more
    // than four foreign slots per direction (two-qubit instructions meet at
    // most two).
    counted_ = !port_bits_.empty();
    for (std::size_t i = 0; i < m_ && counted_; ++i)
        for (std::uint8_t q : id.circ.instrs[i].qargs()) counted_ = counted_ && q < 8;
    if (counted_) {
        joins_.resize(m_);
        for (std::size_t i = 0; i < m_; ++i)
            for (std::size_t s = 0; s < port_bits_[i].count; ++s)
                joins_[i].lane[s] = std::uint64_t{1} << (8 * id.circ.instrs[i].qargs().raw[s]);
        for (std::size_t i = 0; i < m_ && counted_; ++i) {
            const std::vector<WireNeighbours>* nb[2] = {&bwd_, &fwd_};
            for (int dir = 0; dir < 2 && counted_; ++dir) {
                const WireNeighbours& w = (*nb[dir])[i];
                for (std::size_t s = 0; s < w.size(); ++s) {
                    const std::uint64_t v = w[s];
                    if (v == i) continue;
                    PortJoin& j = joins_[v];
                    if (j.closing[dir] == 4) {
                        counted_ = false;
                        break;
                    }
                    j.closer[dir][j.closing[dir]] = std::uint64_t{1} << i;
                    j.closer_lane[dir][j.closing[dir]] = joins_[i].lane[s];
                    ++j.closing[dir];
                }
            }
        }
    }
    adjacent_ = linked_;
    for (std::size_t i = 0; i < m_; ++i)
        for (std::uint64_t rest = linked_[i]; rest; rest &= rest - 1)
            adjacent_[static_cast<std::size_t>(std::countr_zero(rest))] |= std::uint64_t{1} << i;
    for (std::size_t i = 0; i < m_; ++i) {
        adjacent_[i] &= ~(std::uint64_t{1} << i);
        if (adjacent_[i] != (linked_[i] & ~(std::uint64_t{1} << i))) symmetric_ = false;
    }
}

std::vector<WireTable::SearchPart> WireTable::search_parts(std::size_t max_size) const {
    // The search is unrolled to selections of three instructions (or fewer
    // when they cannot grow): each becomes a part that is visited and grows
    // on its own, so no part holds much of the work.
    constexpr std::size_t kUnrolled = 3;
    if (max_size > m_) max_size = m_;
    std::vector<SearchPart> parts;
    auto unroll = [&](auto& self, const SearchPart& p) -> void {
        if (p.size == kUnrolled || p.size == max_size || !p.ext) {
            parts.push_back(p);
            return;
        }
        parts.push_back({p.set, 0, p.near, p.allowed, max_size, p.ports});  // the selection alone
        for (std::uint64_t ext = p.ext; ext;) {
            const unsigned w = static_cast<unsigned>(std::countr_zero(ext));
            ext &= ext - 1;
            self(self, SearchPart{p.set | std::uint64_t{1} << w, ext | (adjacent_[w] & p.allowed & ~p.near),
                                  p.near | adjacent_[w], p.allowed, p.size + 1, joined(p.ports, p.set, w)});
        }
    };
    for (std::size_t v = 0; v < m_ && max_size >= 1; ++v) {
        // Selections whose lowest instruction is v.
        const std::uint64_t bit = std::uint64_t{1} << v;
        const std::uint64_t allowed = ~((bit << 1) - 1);
        unroll(unroll, SearchPart{bit, adjacent_[v] & allowed, bit | adjacent_[v], allowed, 1, joined({}, 0, v)});
    }
    return parts;
}

bool WireTable::is_connected(std::uint64_t mask) const {
    if (!mask) return true;
    const std::uint64_t first = mask & (~mask + 1);
    // The walk along wires through selected instructions; the order of the
    // walk does not change what it reaches.
    std::uint64_t visited = first, pending = first;
    while (pending) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(pending));
        pending &= pending - 1;
        const std::uint64_t fresh = linked_[i] & mask & ~visited;
        visited |= fresh;
        pending |= fresh;
    }
    return visited == mask;
}

template <class F>
void WireTable::ports(std::uint64_t mask, const std::vector<WireNeighbours>& nb, F&& port) const {
    for (std::uint64_t rest = mask; rest; rest &= rest - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(rest));
        const WireNeighbours& w = nb[i];
        for (std::size_t s = 0; s < w.size(); ++s) {
            const std::uint64_t v = w[s];
            if (v == i || !(mask >> v & 1u)) {
                if (!port(Port{id_.circ.instrs[i].qargs().raw[s], i, s})) return;
            }
        }
    }
}

std::vector<Port> WireTable::inputs(std::uint64_t mask) const {
    std::vector<Port> out;
    ports(mask, bwd_, [&](const Port& p) {
        out.push_back(p);
        return true;
    });
    return out;
}

std::vector<Port> WireTable::outputs(std::uint64_t mask) const {
    std::vector<Port> out;
    ports(mask, fwd_, [&](const Port& p) {
        out.push_back(p);
        return true;
    });
    return out;
}

bool WireTable::is_convex(std::uint64_t mask) const {
    if (port_bits_.size() == m_) {
        // Each input (output) slot is a port when its neighbour bit is not
        // selected; the ports' qubits, as bits, must not repeat.
        for (int dir = 0; dir < 2; ++dir) {
            std::uint64_t seen = 0;
            for (std::uint64_t rest = mask; rest; rest &= rest - 1) {
                const PortBits& p = port_bits_[static_cast<std::size_t>(std::countr_zero(rest))];
                for (std::size_t s = 0; s < p.count; ++s) {
                    if (mask & p.neighbour[dir][s]) continue;
                    if (seen & p.qubit[s]) return false;
                    seen |= p.qubit[s];
                }
            }
        }
        return true;
    }
    bool distinct = true;
    QubitSet in;
    ports(mask, bwd_, [&](const Port& p) { return distinct = in.add(p.qubit); });
    if (!distinct) return false;
    QubitSet out;
    ports(mask, fwd_, [&](const Port& p) { return distinct = out.add(p.qubit); });
    return distinct;
}

bool WireTable::split_into(std::uint64_t mask, SplitParts& out) const {
    if (!mask) return false;
    const Circ& c = id_.circ;
    const Permut32 perm = c.perm;
    const Permut32 perm_inv = perm.inv();
    const std::size_t a = static_cast<std::size_t>(std::countr_zero(mask));

    // Working circuit: the identity rotated by a; flags rotated alike.
    InstrBuffer<64>& w = out.rest_;
    InstrBuffer<64> tmp;
    std::size_t len = m_;
    for (std::size_t i = a; i < m_; ++i) w[i - a] = c.instrs[i];
    for (std::size_t i = 0; i < a; ++i) w[m_ - a + i] = c.instrs[i].apply_permutation(perm_inv);
    std::uint64_t flags = mask >> a;

    // The gathered part grows from the middle of its buffer: phase 1 appends,
    // phase 2 prepends.
    out.front_ = out.back_ = 64;
    std::uint8_t gathered_mask = 0;
    std::size_t removed = 0;  // instructions taken from the front of w
    Instr32* const base = w.data();
    Instr32* front = base;    // w without the instructions taken so far

    // Phase 1: from the front.
    bool blocked = false;
    while (flags && !blocked) {
        const std::size_t p = static_cast<std::size_t>(std::countr_zero(flags));
        if (p == 0) {
            out.gathered_[out.back_++] = front[0];
            gathered_mask |= front[0].arg_mask();
            ++front;
            ++removed;
            --len;
            flags >>= 1;
        } else if (front[p - 1].disjoint(front[p])) {
            std::swap(front[p - 1], front[p]);
            flags ^= (std::uint64_t{1} << p) | (std::uint64_t{1} << (p - 1));
        } else {
            std::uint8_t before = 0;
            for (std::size_t i = 0; i < p; ++i) before |= front[i].arg_mask();
            if (before & gathered_mask) {
                blocked = true;
            } else {
                // Rotate by p: the first p instructions go behind the end.
                for (std::size_t i = 0; i < p; ++i) tmp[i] = front[i].apply_permutation(perm_inv);
                for (std::size_t i = p; i < len; ++i) front[i - p] = front[i];
                for (std::size_t i = 0; i < p; ++i) front[len - p + i] = tmp[i];
                flags >>= p;
            }
        }
    }
    // Move what is left to the start of the buffer.
    if (removed) std::copy(front, front + len, base);

    // Phase 2: from the back.
    while (flags) {
        const std::size_t p = 63 - static_cast<std::size_t>(std::countl_zero(flags));
        if (p == len - 1) {
            const Instr32 in = w[len - 1].apply_permutation(perm);
            out.gathered_[--out.front_] = in;
            gathered_mask |= in.arg_mask();
            --len;
            flags &= ~(std::uint64_t{1} << p);
        } else if (w[p].disjoint(w[p + 1])) {
            std::swap(w[p], w[p + 1]);
            flags ^= (std::uint64_t{1} << p) | (std::uint64_t{1} << (p + 1));
        } else {
            std::uint8_t after = 0;
            for (std::size_t i = p + 1; i < len; ++i) after |= w[i].apply_permutation(perm).arg_mask();
            if (after & gathered_mask) return false;
            // Rotate by -(len - 1 - p): the instructions after p go to the front.
            const std::size_t k = len - 1 - p;
            for (std::size_t i = 0; i < k; ++i) tmp[i] = w[p + 1 + i].apply_permutation(perm);
            for (std::size_t i = p + 1; i-- > 0;) w[i + k] = w[i];
            for (std::size_t i = 0; i < k; ++i) w[i] = tmp[i];
            flags <<= k;
        }
    }
    out.rest_len_ = len;
    return true;
}

}  // namespace tsl
