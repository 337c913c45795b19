// Canonical forms.  Every candidate is built in a fixed buffer and compared
// with the running best in place; a call allocates only for its result (and
// once for the buffers of circuits longer than the inline capacity).  The
// compaction of each candidate reads the used qubits as bits, carried
// through the renaming, instead of rescanning the instructions.
#include "identity/canonical_form.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>

#include "identity/identity_circ.hpp"
#include "base/panic.hpp"

namespace tsl {

namespace {

// Instructions held inline per buffer; the rewrite step's identities have at
// most 19 instructions.
constexpr std::size_t kInline = 64;

// Five instruction buffers of one length.
class Buffers {
public:
    static constexpr std::size_t kCount = 5;
    explicit Buffers(std::size_t n) : n_(n) {
        if (n > kInline) {
            heap_.resize(kCount * n);
            base_ = heap_.data();
        } else {
            base_ = inline_.data();
        }
    }
    Instr32* get(int k) { return base_ + static_cast<std::size_t>(k) * n_; }

private:
    std::size_t n_;
    InstrBuffer<kCount * kInline> inline_;
    std::vector<Instr32> heap_;
    Instr32* base_;
};

// Instr32::arg_mask without the loop.
std::uint8_t qubit_bits(Instr32 in) {
    const auto [a, b] = in.qargs().raw;
    if (a == NO_QUBIT) return 0;
    const unsigned m = 1u << (a & 7u);
    return static_cast<std::uint8_t>(b == NO_QUBIT ? m : m | 1u << (b & 7u));
}

void reorder(Instr32* v, std::size_t len) {
    for (std::size_t i = 1; i < len; ++i) {
        const Instr32 cur = v[i];
        const std::uint8_t cur_bits = qubit_bits(cur);
        const std::uint32_t cur_key = instr_order_key(cur);
        std::size_t j = i;
        // Past every greater neighbour on disjoint qubits (an instruction
        // without qubits shares none).
        for (; j >= 1; --j) {
            const Instr32 prev = v[j - 1];
            if ((qubit_bits(prev) & cur_bits) != 0) break;
            if (cur_key >= instr_order_key(prev)) break;
            v[j] = prev;
        }
        v[j] = cur;
    }
}

// The permutation of compact_qubits for these instructions.
Permut32 compact_perm(const Instr32* v, std::size_t len, Permut32 perm) {
    int max_q = circ_detail::max_used_qubit(v, len);
    for (Permut32Iter it = perm.iter(); auto e = it.next();) {
        const int i = it.idx() - 1;
        if (*e != i) max_q = std::max(max_q, i);
    }
    if (max_q < 0 || max_q + 1 >= int{perm.len()}) return perm;
    std::array<std::uint8_t, 8> entries{};
    const auto k = static_cast<std::uint8_t>(max_q + 1);
    for (std::uint8_t i = 0; i < k; ++i) entries[i] = perm.at(i);
    return Permut32::from_iter(std::span<const std::uint8_t>(entries.data(), k));
}

// Bit i set for every entry i with perm[i] != i.
unsigned moved_mask(Permut32 perm) {
    const unsigned n = perm.len() < 8 ? perm.len() : 8;
    const std::uint32_t diff = (perm.raw ^ permut_detail::kIdentityEntries) & permut_detail::entry_mask(n);
    unsigned m = 0;
    for (unsigned i = 0; i < n; ++i)
        if ((diff >> (3 * i)) & 7u) m |= 1u << i;
    return m;
}

// compact_perm for instructions whose used qubits, all below 8, are the bits
// of `used`.
Permut32 compact_perm_of_mask(unsigned used, Permut32 perm) {
    const unsigned bits = used | moved_mask(perm);
    if (!bits) return perm;
    const int max_q = std::bit_width(bits) - 1;
    if (max_q + 1 >= int{perm.len()}) return perm;
    std::array<std::uint8_t, 8> entries{};
    const auto k = static_cast<std::uint8_t>(max_q + 1);
    for (std::uint8_t i = 0; i < k; ++i) entries[i] = perm.at(i);
    return Permut32::from_iter(std::span<const std::uint8_t>(entries.data(), k));
}

// The qubits used by the instructions as bits (every qubit below 8).
unsigned used_mask(const Instr32* v, std::size_t len) {
    unsigned m = 0;
    for (std::size_t i = 0; i < len; ++i) m |= v[i].arg_mask();
    return m;
}

// The circuit every form starts from: compaction, then swap removal, into
// `out` (room for the instruction count).  Every used qubit of the result is
// below its permutation's length.
std::pair<std::size_t, Permut32> prepare_into(std::span<const Instr32> instrs, Permut32 perm, Instr32* out) {
    const Permut32 compacted = compact_perm(instrs.data(), instrs.size(), perm);
    return circ_detail::remove_swaps_into(instrs.data(), instrs.size(), compacted, out);
}

// The renaming of a prepared circuit by p (same length): instructions into
// `out`, the permutation returned.
Permut32 rename_into(const Instr32* v, std::size_t len, Permut32 perm, Permut32 p, Instr32* out) {
    // Every qubit of a prepared circuit is below p's length (at most 8).
    std::array<std::uint8_t, 8> to{};
    for (std::uint8_t i = 0; i < p.len() && i < 8; ++i) to[i] = p.at(i);
    for (std::size_t i = 0; i < len; ++i) {
        const auto [a, b] = v[i].qargs().raw;
        if (a == NO_QUBIT) {
            out[i] = Instr32(v[i].gate(), QArgs16());
        } else if (b == NO_QUBIT) {
            out[i] = Instr32(v[i].gate(), to[a & 7u]);
        } else {
            out[i] = v[i].apply_permutation(p);  // checks the two qubits differ
        }
    }
    return p * perm * p.inv();
}

// Running minimum of (instructions, permutation) candidates of one length.
class Best {
public:
    Best(Instr32* best, Instr32* cand, std::size_t len) : best_(best), cand_(cand), len_(len) {}
    Instr32* candidate() { return cand_; }
    // Keeps the candidate when it is strictly less than the best so far;
    // `tie` breaks equal circuits (true: the candidate wins).
    bool offer(Permut32 perm, auto&& tie) {
        bool take = !found_;
        if (!take) {
            auto c = compare_instrs(cand_, best_, len_);
            if (c == 0) c = perm.raw <=> perm_.raw;
            take = c < 0 || (c == 0 && tie());
        }
        if (take) {
            std::swap(best_, cand_);
            perm_ = perm;
            found_ = true;
        }
        return take;
    }
    bool found() const { return found_; }
    const Instr32* instrs() const { return best_; }
    Permut32 perm() const { return perm_; }
    Circ result() const {
        return Circ::from_parts(std::vector<Instr32>(best_, best_ + len_), perm_);
    }

private:
    Instr32* best_;
    Instr32* cand_;
    std::size_t len_;
    Permut32 perm_{};
    bool found_ = false;
};

bool uses_qubit0(Instr32 in) { return in.qargs().contains(0); }

// A lower bound of the order key of the first instruction of the reordered
// rotation that starts with `start` (an instruction on qubit 0).  An
// instruction moves in front of it only when smaller and on other qubits:
// when its first qubit is 0 none is (every smaller one starts on qubit 0
// too), so it stays first; otherwise whatever ends first starts on a qubit
// other than 0.
std::uint32_t first_key_bound(Instr32 start) {
    return start.qargs().raw[0] == 0 ? instr_order_key(start) : std::uint32_t{1} << 24;
}

}  // namespace

std::vector<std::uint8_t> affected_qubits(const Circ& c) {
    std::vector<std::uint8_t> out;
    for (const Instr32& in : c.instrs)
        for (std::uint8_t q : in.qargs()) out.push_back(q);
    for (Permut32Iter it = c.perm.iter(); auto e = it.next();) {
        const std::uint8_t i = static_cast<std::uint8_t>(it.idx() - 1);
        if (*e != i) out.push_back(i);
    }
    return out;
}

Circ compact_qubits(Circ c) {
    c.perm = compact_perm(c.instrs.data(), c.instrs.size(), c.perm);
    return c;
}

Circ reorder_instrs(Circ c) {
    reorder(c.instrs.data(), c.instrs.size());
    return c;
}

CanonicalForm representative_with_perm_into(std::span<const Instr32> instrs, Permut32 perm, Instr32* out) {
    Buffers buf(instrs.size());
    Instr32* prepared = buf.get(2);
    const auto [len, cperm] = prepare_into(instrs, perm, prepared);
    if (len == 0) return {0, cperm, Permut32(0)};
    const std::uint8_t n = cperm.len();
    // Qubits below 8 (n <= 8 after the swap removal) are tracked as bits.
    const unsigned used = n <= 8 ? used_mask(prepared, len) : 0;
    Best best(buf.get(0), buf.get(1), len);
    Permut32 best_p{};
    for (Permut32 p : Permut32::all(n)) {
        Instr32* cand = best.candidate();
        const Permut32 renamed = rename_into(prepared, len, cperm, p, cand);
        reorder(cand, len);
        const Permut32 compacted =
            n <= 8 ? compact_perm_of_mask(p.permut_bv(static_cast<std::uint8_t>(used)), renamed)
                   : compact_perm(cand, len, renamed);
        if (best.offer(compacted, [&] { return p.raw < best_p.raw; })) best_p = p;
    }
    std::copy(best.instrs(), best.instrs() + len, out);
    return {len, best.perm(), best_p};
}

namespace {
std::pair<Circ, Permut32> form_of(const Circ& c) {
    std::vector<Instr32> out(c.instrs.size());
    const CanonicalForm f = representative_with_perm_into(c.instrs, c.perm, out.data());
    out.resize(f.len);
    return {Circ::from_parts(std::move(out), f.perm), f.renaming};
}
}  // namespace

// The least circuit over the renamings is the same whichever renaming among
// the tied ones is reported.
Circ Circ::representative() const { return form_of(*this).first; }

std::pair<Circ, Permut32> Circ::representative_with_perm() const { return form_of(*this); }

IdentityCirc Circ::rotate_representative() const {
    Buffers buf(instrs.size());
    Instr32* prepared = buf.get(4);
    const auto [len, cperm] = prepare_into(instrs, perm, prepared);
    if (len == 0) return IdentityCirc::unchecked(Circ::from_parts({}, cperm));
    const std::uint8_t n = cperm.len();
    Best best(buf.get(0), buf.get(1), len);
    Instr32* renamed = buf.get(2);  // the circuit renamed by p
    Instr32* carried = buf.get(3);  // the same, relabelled through its permutation's inverse
    // Qubit bits of renamed[i..] and of carried[..i), for the compaction of
    // each rotation (qubits below 8; n <= 8 after the swap removal).
    std::array<unsigned, 65> suffix{}, prefix{};
    const bool bits = n <= 8 && len <= 64;
    for (Permut32 p : Permut32::all(n)) {
        const Permut32 rperm = rename_into(prepared, len, cperm, p, renamed);
        const Permut32 perm_inv = rperm.inv();
        if (bits) {
            suffix[len] = 0;
            for (std::size_t i = len; i-- > 0;) suffix[i] = suffix[i + 1] | renamed[i].arg_mask();
        }
        std::size_t ncarried = 0;
        for (std::size_t i = 0; i < len; ++i) {
            if (!uses_qubit0(renamed[i])) continue;
            if (best.found() && first_key_bound(renamed[i]) > instr_order_key(best.instrs()[0])) continue;
            for (; ncarried < i; ++ncarried) {
                carried[ncarried] = renamed[ncarried].apply_permutation(perm_inv);
                if (bits) prefix[ncarried + 1] = prefix[ncarried] | carried[ncarried].arg_mask();
            }
            // Rotation by i: instructions i.. unchanged, then 0..i-1 carried
            // through the trailing permutation.
            Instr32* cand = best.candidate();
            std::copy(renamed + i, renamed + len, cand);
            std::copy(carried, carried + i, cand + (len - i));
            reorder(cand, len);
            best.offer(bits ? compact_perm_of_mask(suffix[i] | prefix[i], rperm) : compact_perm(cand, len, rperm),
                       [] { return false; });
        }
    }
    if (!best.found()) panic("called `Option::unwrap()` on a `None` value");
    return IdentityCirc::unchecked(best.result());
}

}  // namespace tsl
