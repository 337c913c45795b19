// Permut32: a relabelling of at most eight qubits packed into one 32-bit word.
//
//   bits 3i .. 3i+2 (i = 0..7)   entry i, the image of position i (0..7)
//   bits 24 .. 31                the length n
//
// Entry i of a length-n value is p[i]; entries at n and above carry no meaning
// (the constructors, composition and coordinate_permute leave them 0).  The
// entries need not be a rearrangement of 0..n-1: a partial relabelling such as
// (3 5) is a valid value, and every operation is defined bit by bit on it.
//
// A word read from a file may carry a length field of 9..255.  Every loop over
// entries runs to min(len, 8) and no shift reaches 32 bits, so such a word is
// handled without leaving the word; the length field itself is kept.
//
// Applied to qubits, qubit j's content moves to qubit p[j]; composition is
// (a * b)[i] = a[b[i]] (b first, then a).
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <ranges>
#include <source_location>
#include <span>
#include <string>
#include <utility>

#include "base/content_hash.hpp"

namespace tsl {

class SwapSequence;  // swap_network.hpp

namespace permut_detail {
// "assertion failed: idx < 8"
[[noreturn]] void panic_idx(std::source_location where = std::source_location::current());
// "assertion failed: self.len() == other.len()"
[[noreturn]] void panic_len_mismatch(std::source_location where = std::source_location::current());
// "Permutation length must be less than or equal to 8"
[[noreturn]] void panic_too_long(std::source_location where = std::source_location::current());
// "Permutation values must be less than 8"
[[noreturn]] void panic_value_range(std::source_location where = std::source_location::current());
// "Permutation values must be unique"
[[noreturn]] void panic_value_unique(std::source_location where = std::source_location::current());

// Entries 0..7 of the identity of length 8.
inline constexpr std::uint32_t kIdentityEntries = 0x00FAC688u;

// Mask of the entry bits of the first n positions (n <= 8).
constexpr std::uint32_t entry_mask(unsigned n) { return (std::uint32_t{1} << (3 * n)) - 1; }

// Integral value as an unsigned quantity; negative values become huge.
template <class V>
constexpr std::uint64_t as_u64(V v) {
    return static_cast<std::uint64_t>(v);
}
}  // namespace permut_detail

class Permut32;

// Iterates over the entries p[0] .. p[n-1] (n clamped to 8).
class Permut32Iter {
public:
    using value_type = std::uint8_t;
    using difference_type = std::ptrdiff_t;

    constexpr Permut32Iter() = default;
    constexpr Permut32Iter(std::uint32_t raw, std::uint8_t idx) : raw_(raw), idx_(idx) {}

    constexpr std::uint8_t operator*() const {
        return static_cast<std::uint8_t>((raw_ >> (3 * idx_)) & 7u);
    }
    constexpr Permut32Iter& operator++() {
        ++idx_;
        return *this;
    }
    constexpr Permut32Iter operator++(int) {
        Permut32Iter t = *this;
        ++idx_;
        return t;
    }
    constexpr bool operator==(std::default_sentinel_t) const { return idx_ >= end_idx(); }
    constexpr bool operator==(const Permut32Iter& o) const { return idx_ == o.idx_ && raw_ == o.raw_; }

    // The next entry, or nothing once the length is reached.
    constexpr std::optional<std::uint8_t> next() {
        if (idx_ >= end_idx()) return std::nullopt;
        std::uint8_t v = **this;
        ++idx_;
        return v;
    }

    constexpr std::uint8_t idx() const { return idx_; }

private:
    constexpr std::uint8_t end_idx() const {
        std::uint8_t n = static_cast<std::uint8_t>(raw_ >> 24);
        return n < 8 ? n : 8;
    }

    std::uint32_t raw_ = 0;
    std::uint8_t idx_ = 0;
};

class Permut32 {
public:
    // The packed word; stored and compared as a whole.
    std::uint32_t raw = 0;

    constexpr Permut32() = default;
    constexpr explicit Permut32(std::uint32_t r) : raw(r) {}
    static constexpr Permut32 from_raw(std::uint32_t r) { return Permut32(r); }

    // ---- construction ------------------------------------------------------

    // Entries i = i for i < n.
    static constexpr Permut32 identity(std::uint8_t n) {
        if (n > 8) permut_detail::panic_too_long();
        return Permut32((permut_detail::kIdentityEntries & permut_detail::entry_mask(n)) |
                        (std::uint32_t{n} << 24));
    }

    // Checked packing: entry k = the k-th value, length = number of values.
    // Each value is checked in turn: first its range, then its uniqueness.
    template <std::ranges::input_range R>
        requires std::integral<std::ranges::range_value_t<R>>
    static constexpr Permut32 from_iter(R&& values) {
        std::uint32_t raw = 0;
        unsigned seen = 0;
        unsigned k = 0;
        for (auto v : values) {
            const std::uint64_t u = permut_detail::as_u64(v);
            if (u >= 8) permut_detail::panic_value_range();
            if (seen & (1u << u)) permut_detail::panic_value_unique();
            seen |= 1u << u;
            // Eight distinct values below 8 use every value, so k < 8 here.
            raw |= static_cast<std::uint32_t>(u) << (3 * k);
            ++k;
        }
        return Permut32(raw | (std::uint32_t(k) << 24));
    }
    static constexpr Permut32 from_iter(std::initializer_list<std::uint8_t> values) {
        return from_iter(std::span<const std::uint8_t>(values.begin(), values.size()));
    }

    // Packing without checks, for values known to be fine.  Values are taken
    // modulo 8 and anything past the eighth value is ignored.
    template <std::ranges::input_range R>
        requires std::integral<std::ranges::range_value_t<R>>
    static constexpr Permut32 from_iter_unchecked(R&& values) {
        std::uint32_t raw = 0;
        unsigned k = 0;
        const auto end = std::ranges::end(values);
        for (auto it = std::ranges::begin(values); k < 8 && it != end; ++it, ++k)
            raw |= (static_cast<std::uint32_t>(*it) & 7u) << (3 * k);
        return Permut32(raw | (std::uint32_t(k) << 24));
    }
    static constexpr Permut32 from_iter_unchecked(std::initializer_list<std::uint8_t> values) {
        return from_iter_unchecked(std::span<const std::uint8_t>(values.begin(), values.size()));
    }

    // The given values (ascending, distinct qubits) at positions 0, 1, ...,
    // then every further position i < len takes i if it is still free, else
    // the smallest free value.  Values past len are ignored.  Panics when a
    // value repeats, is 8 or more, or len exceeds 8.
    template <std::ranges::input_range R>
        requires std::integral<std::ranges::range_value_t<R>>
    static constexpr Permut32 from_iter_with_ext(std::uint8_t len, R&& values) {
        if (len > 8) permut_detail::panic_too_long();
        std::uint32_t raw = std::uint32_t{len} << 24;
        unsigned used = 0;
        auto it = std::ranges::begin(values);
        auto end = std::ranges::end(values);
        for (unsigned i = 0; i < len; ++i) {
            unsigned v;
            if (it != end) {
                const std::uint64_t u = permut_detail::as_u64(*it);
                ++it;
                if (u >= 8) permut_detail::panic_value_range();
                v = static_cast<unsigned>(u);
            } else if (!(used & (1u << i))) {
                v = i;
            } else {
                v = static_cast<unsigned>(std::countr_one(used));  // < 8: fewer than 8 used
            }
            if (used & (1u << v)) permut_detail::panic_value_unique();
            used |= 1u << v;
            raw |= std::uint32_t(v) << (3 * i);
        }
        return Permut32(raw);
    }
    static constexpr Permut32 from_iter_with_ext(std::uint8_t len,
                                                 std::initializer_list<std::uint8_t> values) {
        return from_iter_with_ext(len, std::span<const std::uint8_t>(values.begin(), values.size()));
    }

    // The process-wide table of all n! permutations of length n in Heap's
    // order; built on first use.  Panics for n > 8.
    static std::span<const Permut32> all(std::size_t n);

    // ---- fields ------------------------------------------------------------

    constexpr std::uint8_t len() const { return static_cast<std::uint8_t>(raw >> 24); }
    // Replaces the length field; entries untouched.
    constexpr void set_len(std::uint8_t n) { raw = (raw & 0x00FFFFFFu) | (std::uint32_t{n} << 24); }

    // Entry idx whatever the length.
    constexpr std::uint8_t at(std::uint8_t idx) const {
        if (idx >= 8) permut_detail::panic_idx();
        return get(idx);
    }
    // Replaces entry idx (value taken modulo 8).
    constexpr void set(std::uint8_t idx, std::uint8_t value) {
        if (idx >= 8) permut_detail::panic_idx();
        put(idx, value);
    }

    // ---- operations --------------------------------------------------------

    // result[p[i]] = i for i < n, same length field.
    constexpr Permut32 inv() const {
        const unsigned n = clamped_len();
        if (len() == 0) return Permut32(0);
        Permut32 r(raw & 0xFF000000u);
        for (unsigned i = 0; i < n; ++i) r.put(get(i), i);
        return r;
    }
    constexpr Permut32 inverse() const { return inv(); }

    // p with its length field replaced by n; entries kept.
    static constexpr Permut32 shrink(Permut32 p, std::uint8_t n) {
        p.set_len(n);
        return p;
    }

    // p with entries a and b exchanged.
    static constexpr Permut32 swap_inputs(Permut32 p, std::uint8_t a, std::uint8_t b) {
        if (a >= 8 || b >= 8) permut_detail::panic_idx();
        const unsigned u = p.get(a), v = p.get(b);
        p.put(a, v);
        p.put(b, u);
        return p;
    }

    // (a * b)[i] = a[b[i]]: b applied first, then a.  Lengths must agree.
    friend constexpr Permut32 operator*(Permut32 a, Permut32 b) {
        if (a.len() != b.len()) permut_detail::panic_len_mismatch();
        const unsigned n = a.clamped_len();
        Permut32 r(a.raw & 0xFF000000u);
        for (unsigned i = 0; i < n; ++i) r.put(i, a.get(b.get(i)));
        return r;
    }
    constexpr Permut32& operator*=(Permut32 b) { return *this = *this * b; }

    // Both extended to the larger length, the shorter one with fixed points.
    constexpr std::pair<Permut32, Permut32> coordinate_permute(Permut32 other) const {
        const unsigned m = len(), o = other.len();
        if (m == o) return {*this, other};
        if (m < o) return {extend(*this, o), other};
        return {*this, extend(other, m)};
    }

    // Basis index with bit j moved to bit p[j] for j < n; higher bits dropped.
    constexpr std::uint8_t permut_bv(std::uint8_t bv) const {
        const unsigned n = clamped_len();
        unsigned out = 0;
        for (unsigned j = 0; j < n; ++j)
            out |= ((unsigned{bv} >> j) & 1u) << get(j);
        return static_cast<std::uint8_t>(out);
    }

    // p[i] = i for every i < n (true for the empty permutation).
    constexpr bool is_identity() const {
        const std::uint32_t mask = permut_detail::entry_mask(clamped_len());
        return (raw & mask) == (permut_detail::kIdentityEntries & mask);
    }

    constexpr Permut32Iter iter() const { return Permut32Iter(raw, 0); }
    constexpr Permut32Iter begin() const { return iter(); }
    constexpr std::default_sentinel_t end() const { return {}; }

    // The comparator swaps that realise this permutation (swap_network.hpp).
    inline SwapSequence generate_swaps() const;

    // ---- forms -------------------------------------------------------------

    // "(1 2 0)", "()" for the empty permutation.
    void write_to(std::string& out) const;
    std::string to_string() const;

    void hash(ContentHasher& h) const { h.u32(raw); }

    friend constexpr bool operator==(Permut32, Permut32) = default;

private:
    constexpr unsigned clamped_len() const {
        const unsigned n = len();
        return n < 8 ? n : 8;
    }
    constexpr unsigned get(unsigned idx) const { return (raw >> (3 * idx)) & 7u; }
    constexpr void put(unsigned idx, unsigned value) {
        const unsigned sh = 3 * idx;
        raw = (raw & ~(std::uint32_t{7} << sh)) | ((std::uint32_t(value) & 7u) << sh);
    }
    // Entries of p (length m < n) followed by fixed points m .. n-1, length n.
    static constexpr Permut32 extend(Permut32 p, unsigned n) {
        const unsigned m = p.len();
        const unsigned n8 = n < 8 ? n : 8;
        const std::uint32_t keep = permut_detail::entry_mask(m < 8 ? m : 8);
        std::uint32_t r = (p.raw & keep) |
                          (permut_detail::kIdentityEntries & permut_detail::entry_mask(n8) & ~keep);
        return Permut32(r | (std::uint32_t(n) << 24));
    }
};

static_assert(sizeof(Permut32) == 4);

}  // namespace tsl
