// Qreal: a 64-bit real that computes like a double but compares, orders and
// hashes through its quantisation key (the value in units of 2^-24, rounded
// half away from zero and saturated to int64; NaN gives 0).  The order
// compares keys as unsigned integers, so negative values sort after positive
// ones.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>

#include "base/content_hash.hpp"

namespace tsl {

// Saturating float -> int64 conversion toward zero, NaN giving 0.
inline std::int64_t saturate_i64(double r) {
    if (!(r >= -9223372036854775808.0)) return std::isnan(r) ? 0 : INT64_MIN;
    if (r >= 9223372036854775808.0) return INT64_MAX;
    return static_cast<std::int64_t>(r);
}

// round(x) (halves away from zero) with saturation to int64, NaN giving 0.
// Done in integers: below 2^52 the fraction x - trunc(x) is exact, and from
// 2^52 on every double is integral.
inline std::int64_t round_saturate_i64(double x) {
    if (!(x >= -9223372036854775808.0)) return std::isnan(x) ? 0 : INT64_MIN;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    const auto i = static_cast<std::int64_t>(x);
    const double frac = x - static_cast<double>(i);
    return i + (frac >= 0.5) - (frac <= -0.5);
}

struct Qreal {
    double v = 0.0;

    constexpr Qreal() = default;
    constexpr Qreal(double x) : v(x) {}  // NOLINT: implicit on purpose

    // Spelled `percision_repr` in older notes.
    std::uint64_t key() const {
        return static_cast<std::uint64_t>(round_saturate_i64(v * 16777216.0));
    }
    bool near_zero() const { return std::fabs(v) < 0x1p-24; }
    bool loose_eq(Qreal o) const {
        return saturate_i64(v * 256.0) == saturate_i64(o.v * 256.0);  // the cast truncates
    }

    friend bool operator==(Qreal a, Qreal b) { return a.key() == b.key(); }
    friend std::strong_ordering operator<=>(Qreal a, Qreal b) { return a.key() <=> b.key(); }

    Qreal operator-() const { return Qreal(-v); }
    friend Qreal operator+(Qreal a, Qreal b) { return Qreal(a.v + b.v); }
    friend Qreal operator-(Qreal a, Qreal b) { return Qreal(a.v - b.v); }
    friend Qreal operator*(Qreal a, Qreal b) { return Qreal(a.v * b.v); }
    friend Qreal operator/(Qreal a, Qreal b) { return Qreal(a.v / b.v); }
    Qreal& operator+=(Qreal o) { v = v + o.v; return *this; }
    Qreal& operator-=(Qreal o) { v = v - o.v; return *this; }
    Qreal& operator*=(Qreal o) { v = v * o.v; return *this; }
    Qreal& operator/=(Qreal o) { v = v / o.v; return *this; }

    void hash(ContentHasher& h) const { h.u64(key()); }
};

static_assert(sizeof(Qreal) == sizeof(double));

// A complex number with Qreal parts; arithmetic is written out by callers in
// the order their algorithms fix.
struct Complex {
    Qreal re;
    Qreal im;
    friend bool operator==(Complex a, Complex b) { return a.re == b.re && a.im == b.im; }
};

}  // namespace tsl
