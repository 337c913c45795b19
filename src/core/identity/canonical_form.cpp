// Canonical forms.  Every candidate is built in a fixed buffer and compared
// with the running best in place; a call allocates only for its result (and
// once for the buffers of circuits longer than the inline capacity).  The
// compaction of each candidate reads the used qubits as bits, carried
// through the renaming, instead of rescanning the instructions.
//
// Circuits of at most 64 instructions whose permutation rearranges exactly
// their qubits, with every used qubit below its length and the two qubits of
// an instruction distinct (the circuits the prover builds), are searched on packed
// instructions and skip the candidates that cannot win: no renaming,
// rotation or compaction of such a circuit can panic, so a skipped candidate
// changes nothing.  Any other stored value goes through every candidate, as
// the forms define.
#include "identity/canonical_form.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>

#include "base/panic.hpp"
#include "identity/identity_circ.hpp"
#include "state/scratch_states.hpp"

namespace tsl {

namespace {

// Elements held inline per buffer; the rewrite step's identities have at
// most 19 instructions.
constexpr std::size_t kInline = 64;

// Count buffers of one length, left uninitialised (filled before they are
// read).
template <class T, std::size_t Count>
class Buffers {
public:
    explicit Buffers(std::size_t n) : n_(n) {
        if (n > kInline) {
            heap_.resize(Count * n);
            base_ = heap_.data();
        } else {
            base_ = inline_;
        }
    }
    T* get(std::size_t k) { return base_ + k * n_; }

private:
    std::size_t n_;
    union {
        T inline_[Count * kInline];
    };
    std::vector<T> heap_;
    T* base_;
};

// The searches run on instructions, or, for well-formed circuits, on packed
// instructions: the order key (instr_order_key) above the qubit bits, so
// that packed values compare as the instructions do (the bits follow from
// the key) and give their qubits without looking at them.
using Packed = std::uint64_t;

std::uint32_t order_key(Instr32 in) { return instr_order_key(in); }
std::uint32_t order_key(Packed x) { return static_cast<std::uint32_t>(x >> 8); }

// Instr32::arg_mask without the loop.
unsigned qubit_bits(Instr32 in) {
    const auto [a, b] = in.qargs().raw;
    if (a == NO_QUBIT) return 0;
    const unsigned m = 1u << (a & 7u);
    return b == NO_QUBIT ? m : m | 1u << (b & 7u);
}
unsigned qubit_bits(Packed x) { return static_cast<unsigned>(x & 0xFFu); }

Instr32 to_instr(Instr32 in) { return in; }
Instr32 to_instr(Packed x) {
    return Instr32(Gate16(static_cast<std::uint16_t>(x >> 8)), static_cast<std::uint8_t>(x >> 32),
                   static_cast<std::uint8_t>(x >> 24));
}

template <class T>
void reorder(T* v, std::size_t len) {
    for (std::size_t i = 1; i < len; ++i) {
        const T cur = v[i];
        const unsigned cur_bits = qubit_bits(cur);
        const std::uint32_t cur_key = order_key(cur);
        std::size_t j = i;
        // Past every greater neighbour on disjoint qubits (an instruction
        // without qubits shares none).
        for (; j >= 1; --j) {
            const T prev = v[j - 1];
            if ((qubit_bits(prev) & cur_bits) != 0) break;
            if (cur_key >= order_key(prev)) break;
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
template <class T>
class Best {
public:
    Best(T* best, T* cand, std::size_t len) : best_(best), cand_(cand), len_(len) {}
    T* candidate() { return cand_; }
    // Keeps the candidate when it is strictly less than the best so far;
    // `tie` breaks equal circuits (true: the candidate wins).
    bool offer(Permut32 perm, auto&& tie) {
        bool take = !found_;
        if (!take) {
            auto c = std::strong_ordering::equal;
            for (std::size_t i = 0; i < len_ && c == 0; ++i) c = order_key(cand_[i]) <=> order_key(best_[i]);
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
    // offer for a candidate whose instructions equal the best's.
    bool offer_equal(Permut32 perm, auto&& tie) {
        const bool take = perm.raw < perm_.raw || (perm == perm_ && tie());
        if (take) perm_ = perm;
        return take;
    }
    bool found() const { return found_; }
    const T* instrs() const { return best_; }
    std::uint32_t first_key() const { return order_key(best_[0]); }
    Permut32 perm() const { return perm_; }
    void copy_to(Instr32* out) const { std::transform(best_, best_ + len_, out, [](T x) { return to_instr(x); }); }
    Circ result() const {
        std::vector<Instr32> v(len_);
        copy_to(v.data());
        return Circ::from_parts(std::move(v), perm_);
    }

private:
    T* best_;
    T* cand_;
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

[[noreturn]] void panic_no_rotation() { panic("called `Option::unwrap()` on a `None` value"); }

// ---- every candidate, for any stored value ----------------------------------

CanonicalForm representative_any(const Instr32* prepared, std::size_t len, Permut32 cperm, Instr32* out) {
    const std::uint8_t n = cperm.len();
    Buffers<Instr32, 2> buf(len);
    // Qubits below 8 (n <= 8 after the swap removal) are tracked as bits.
    const unsigned used = n <= 8 ? used_mask(prepared, len) : 0;
    Best<Instr32> best(buf.get(0), buf.get(1), len);
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
    best.copy_to(out);
    return {len, best.perm(), best_p};
}

Circ rotate_representative_any(const Instr32* prepared, std::size_t len, Permut32 cperm) {
    const std::uint8_t n = cperm.len();
    Buffers<Instr32, 4> buf(len);
    Best<Instr32> best(buf.get(0), buf.get(1), len);
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
            if (best.found() && first_key_bound(renamed[i]) > best.first_key()) continue;
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
    if (!best.found()) panic_no_rotation();
    return best.result();
}

// ---- well-formed circuits, packed -------------------------------------------

// A prepared circuit of at most 64 instructions whose permutation rearranges
// exactly its n <= 8 qubits, every used qubit below n and the two qubits of
// each instruction distinct.
bool well_formed(const Instr32* v, std::size_t len, Permut32 perm) {
    const std::uint8_t n = perm.len();
    if (len > 64 || !permutes_exactly(perm, n)) return false;
    for (std::size_t i = 0; i < len; ++i) {
        const auto [a, b] = v[i].qargs().raw;
        if (a == NO_QUBIT) continue;
        if (a >= n || (b != NO_QUBIT && (b >= n || b == a))) return false;
    }
    return true;
}

// Bit q of a qubit byte below 8; none for the unused marker 255.
constexpr unsigned qubit_bit(unsigned q) { return (1u << (q & 31u)) & 0xFFu; }

// An instruction of a well-formed circuit packed, its unused second byte set
// to 255 when the first one is (as every relabelling leaves it).
Packed pack(Instr32 in) {
    auto [a, b] = in.qargs().raw;
    if (a == NO_QUBIT) b = NO_QUBIT;
    const std::uint32_t key = std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | in.gate().index();
    return Packed{key} << 8 | qubit_bit(a) | qubit_bit(b);
}

// Packed instructions relabelled through a permutation: each qubit byte
// (below 8, or the unused marker) and its bit looked up by its low four bits.
class Relabel {
public:
    explicit Relabel(Permut32 p) {
        to_.fill(NO_QUBIT);
        bit_.fill(0);
        for (std::uint8_t i = 0; i < p.len() && i < 8; ++i) {
            to_[i] = p.at(i);
            bit_[i] = static_cast<std::uint8_t>(qubit_bit(to_[i]));
        }
    }
    Packed operator()(Packed x) const {
        const unsigned a = (x >> 32) & 15u, b = (x >> 24) & 15u;
        return Packed{to_[a]} << 32 | Packed{to_[b]} << 24 | (x & 0xFFFF00u) | bit_[a] | bit_[b];
    }

private:
    std::array<std::uint8_t, 16> to_;
    std::array<std::uint8_t, 16> bit_;
};

// How reorder(run) compares with `other`, found without reordering: the
// pass puts first the last instruction that is less than, and on other
// qubits than, every one before it (exactly those are carried to the front),
// and orders the rest as it orders the run without that one.  So the
// reordered run is read off position by position, up to the first
// difference.  The scan for a position stops once the instructions seen
// cover `used`, the qubits of the whole run: every later one shares a qubit
// with them.  Runs of at most 64.
std::strong_ordering compare_reordered(const Packed* run, std::size_t len, unsigned used, const Packed* other) {
    std::uint64_t left = len == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1;
    for (std::size_t t = 0; t < len; ++t) {
        Packed least = ~Packed{0}, first = 0;
        std::size_t first_at = 0;
        unsigned before = 0;
        for (std::uint64_t rest = left; rest != 0; rest &= rest - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(rest));
            const Packed x = run[i];
            if (x < least) {
                least = x;
                if ((qubit_bits(x) & before) == 0) {
                    first = x;
                    first_at = i;
                }
            }
            before |= qubit_bits(x);
            if (before == used && used != 0) break;
        }
        if (auto c = first <=> other[t]; c != 0) return c;
        left &= ~(std::uint64_t{1} << first_at);
    }
    return std::strong_ordering::equal;
}

// Offers the candidate (its run not yet reordered, its qubits `used`, its
// permutation `perm`) to the best so far.  Reorders it only when it wins on
// its instructions; on equal instructions only the permutations (and `tie`)
// decide.
bool offer_packed(Best<Packed>& best, std::size_t len, unsigned used, auto&& perm, auto&& tie) {
    Packed* cand = best.candidate();
    if (best.found()) {
        const auto c = compare_reordered(cand, len, used, best.instrs());
        if (c > 0) return false;
        if (c == 0) return best.offer_equal(perm(), tie);
    }
    reorder(cand, len);
    return best.offer(perm(), tie);
}

// representative_any for a well-formed circuit.
CanonicalForm representative_packed(const Instr32* prepared, std::size_t len, Permut32 cperm, Instr32* out) {
    Buffers<Packed, 3> buf(len);
    Packed* packed = buf.get(2);
    unsigned used = 0;
    for (std::size_t i = 0; i < len; ++i) used |= qubit_bits(packed[i] = pack(prepared[i]));
    Best<Packed> best(buf.get(0), buf.get(1), len);
    Permut32 best_p{};
    for (Permut32 p : Permut32::all(cperm.len())) {
        const Relabel to(p);
        Packed* cand = best.candidate();
        for (std::size_t i = 0; i < len; ++i) cand[i] = to(packed[i]);
        const unsigned renamed_used = p.permut_bv(static_cast<std::uint8_t>(used));
        const auto compacted = [&] { return compact_perm_of_mask(renamed_used, p * cperm * p.inv()); };
        if (offer_packed(best, len, renamed_used, compacted, [&] { return p.raw < best_p.raw; })) best_p = p;
    }
    best.copy_to(out);
    return {len, best.perm(), best_p};
}

// rotate_representative_any for a well-formed circuit.  Every start is an
// instruction on qubit 0, and one whose first qubit is 0 stays first (every
// smaller instruction starts on qubit 0 as well), so the least candidate
// starts with the least instruction a start can be renamed to: (0, 1) with
// the least gate of the two-qubit instructions if there is one, else (0)
// with the least gate of the one-qubit ones.  Only the rotations that start
// with an instruction of that arity and gate, under the renamings that bring
// it there, are built.
Circ rotate_representative_packed(const Instr32* prepared, std::size_t len, Permut32 cperm) {
    Buffers<Packed, 3> buf(len);
    Packed* packed = buf.get(2);
    std::size_t arity = 0;
    std::uint16_t gate = 0;
    for (std::size_t i = 0; i < len; ++i) {
        packed[i] = pack(prepared[i]);
        const std::size_t k = prepared[i].qargs().len();
        const std::uint16_t g = prepared[i].gate().index();
        if (k > arity || (k == arity && g < gate)) {
            arity = k;
            gate = g;
        }
    }
    if (arity == 0) panic_no_rotation();
    // The starts as bits, by their qubits (first * 8 + second, the unused
    // marker as 0), and the qubit bits of packed[i..] and of packed[..i).
    std::array<std::uint64_t, 64> starts{};
    std::array<unsigned, 65> suffix{}, prefix{};
    for (std::size_t i = 0; i < len; ++i) {
        if (prepared[i].qargs().len() == arity && prepared[i].gate().index() == gate) {
            const auto [a, b] = prepared[i].qargs().raw;
            starts[a * 8u + (arity == 2 ? b : 0u)] |= std::uint64_t{1} << i;
        }
        prefix[i + 1] = prefix[i] | qubit_bits(packed[i]);
    }
    for (std::size_t i = len; i-- > 0;) suffix[i] = suffix[i + 1] | qubit_bits(packed[i]);

    Best<Packed> best(buf.get(0), buf.get(1), len);
    const Permut32 cinv = cperm.inv();
    for (Permut32 p : Permut32::all(cperm.len())) {
        // The starts that p renames to qubits 0 (and 1).
        const Permut32 pinv = p.inv();
        std::uint64_t mine = starts[pinv.at(0) * 8u + (arity == 2 ? pinv.at(1) : 0u)];
        if (mine == 0) continue;
        const Permut32 back = p * cinv;
        const Permut32 rperm = p * cperm * pinv;
        const Relabel to(p), carry(back);
        for (; mine != 0; mine &= mine - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(mine));
            // Rotation by i: instructions i.. renamed, then 0..i-1 renamed
            // and carried through the trailing permutation.
            Packed* cand = best.candidate();
            for (std::size_t k = i; k < len; ++k) cand[k - i] = to(packed[k]);
            for (std::size_t k = 0; k < i; ++k) cand[len - i + k] = carry(packed[k]);
            const unsigned used = p.permut_bv(static_cast<std::uint8_t>(suffix[i])) |
                                  back.permut_bv(static_cast<std::uint8_t>(prefix[i]));
            offer_packed(best, len, used, [&] { return compact_perm_of_mask(used, rperm); }, [] { return false; });
        }
    }
    return best.result();
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
    Buffers<Instr32, 1> buf(instrs.size());
    Instr32* prepared = buf.get(0);
    const auto [len, cperm] = prepare_into(instrs, perm, prepared);
    if (len == 0) return {0, cperm, Permut32(0)};
    return well_formed(prepared, len, cperm) ? representative_packed(prepared, len, cperm, out)
                                             : representative_any(prepared, len, cperm, out);
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

Circ rotated_form(const Circ& c) {
    Buffers<Instr32, 1> buf(c.instrs.size());
    Instr32* prepared = buf.get(0);
    const auto [len, cperm] = prepare_into(c.instrs, c.perm, prepared);
    if (len == 0) return Circ::from_parts({}, cperm);
    return well_formed(prepared, len, cperm) ? rotate_representative_packed(prepared, len, cperm)
                                             : rotate_representative_any(prepared, len, cperm);
}

IdentityCirc Circ::rotate_representative() const { return IdentityCirc::unchecked(rotated_form(*this)); }

}  // namespace tsl
