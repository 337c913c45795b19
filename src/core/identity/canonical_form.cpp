// Canonical forms.  Every candidate is built in a fixed buffer and compared
// with the running best in place; a call allocates only for the prepared
// circuit and its result (and once for the buffers of circuits longer than
// the inline capacity).
#include "identity/canonical_form.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "identity/identity_circ.hpp"
#include "base/panic.hpp"

namespace tsl {

namespace {

// Instructions held inline per buffer; the rewrite step's identities have at
// most 19 instructions.
constexpr std::size_t kInline = 64;

// Four instruction buffers of one length.
class Buffers {
public:
    explicit Buffers(std::size_t n) : n_(n) {
        if (n > kInline) {
            heap_.resize(4 * n);
            base_ = heap_.data();
        } else {
            base_ = inline_.data();
        }
    }
    Instr32* get(int k) { return base_ + static_cast<std::size_t>(k) * n_; }

private:
    std::size_t n_;
    std::array<Instr32, 4 * kInline> inline_;
    std::vector<Instr32> heap_;
    Instr32* base_;
};

void reorder(Instr32* v, std::size_t len) {
    for (std::size_t i = 1; i < len; ++i) {
        for (std::size_t j = i; j >= 1; --j) {
            const Instr32 cur = v[j], prev = v[j - 1];
            if (!prev.qargs().empty() && (prev.arg_mask() & cur.arg_mask()) != 0) break;
            if (!(cur < prev)) break;
            v[j] = prev;
            v[j - 1] = cur;
        }
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

// Remove swaps after compaction: the circuit every form starts from.
Circ prepare(const Circ& c) { return compact_qubits(c).remove_swaps(); }

// The renaming of a prepared circuit by p (same length): instructions into
// `out`, the permutation returned.
Permut32 rename_into(const Circ& c, Permut32 p, Instr32* out) {
    for (std::size_t i = 0; i < c.instrs.size(); ++i) out[i] = c.instrs[i].apply_permutation(p);
    return p * c.perm * p.inv();
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

Circ Circ::representative() const {
    Circ circ = prepare(*this);
    const std::size_t len = circ.len();
    if (len == 0) return circ;
    Buffers buf(len);
    Best best(buf.get(0), buf.get(1), len);
    for (Permut32 p : Permut32::all(circ.perm.len())) {
        Instr32* cand = best.candidate();
        const Permut32 perm = rename_into(circ, p, cand);
        reorder(cand, len);
        best.offer(compact_perm(cand, len, perm), [] { return false; });
    }
    return best.result();
}

std::pair<Circ, Permut32> Circ::representative_with_perm() const {
    Circ circ = prepare(*this);
    const std::size_t len = circ.len();
    if (len == 0) return {std::move(circ), Permut32(0)};
    Buffers buf(len);
    Best best(buf.get(0), buf.get(1), len);
    Permut32 best_p{};
    for (Permut32 p : Permut32::all(circ.perm.len())) {
        Instr32* cand = best.candidate();
        const Permut32 perm = rename_into(circ, p, cand);
        reorder(cand, len);
        if (best.offer(compact_perm(cand, len, perm), [&] { return p.raw < best_p.raw; })) best_p = p;
    }
    return {best.result(), best_p};
}

IdentityCirc Circ::rotate_representative() const {
    Circ circ = prepare(*this);
    const std::size_t len = circ.len();
    if (len == 0) return IdentityCirc::unchecked(std::move(circ));
    Buffers buf(len);
    Best best(buf.get(0), buf.get(1), len);
    Instr32* renamed = buf.get(2);  // the circuit renamed by p
    Instr32* carried = buf.get(3);  // the same, relabelled through its permutation's inverse
    for (Permut32 p : Permut32::all(circ.perm.len())) {
        const Permut32 perm = rename_into(circ, p, renamed);
        const Permut32 perm_inv = perm.inv();
        std::size_t ncarried = 0;
        for (std::size_t i = 0; i < len; ++i) {
            if (!uses_qubit0(renamed[i])) continue;
            for (; ncarried < i; ++ncarried) carried[ncarried] = renamed[ncarried].apply_permutation(perm_inv);
            // Rotation by i: instructions i.. unchanged, then 0..i-1 carried
            // through the trailing permutation.
            Instr32* cand = best.candidate();
            std::copy(renamed + i, renamed + len, cand);
            std::copy(carried, carried + i, cand + (len - i));
            reorder(cand, len);
            best.offer(compact_perm(cand, len, perm), [] { return false; });
        }
    }
    if (!best.found()) panic("called `Option::unwrap()` on a `None` value");
    return IdentityCirc::unchecked(best.result());
}

}  // namespace tsl
