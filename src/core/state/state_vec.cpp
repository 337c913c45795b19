#include "state/state_vec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/float_text.hpp"
#include "base/panic.hpp"

namespace tsl {

StateVec::StateVec(std::vector<Qreal> re, std::vector<Qreal> im) {
    if (re.size() != im.size())
        panic("assertion `left == right` failed: Real and imaginary parts must have the same length\n  left: " +
              std::to_string(re.size()) + "\n right: " + std::to_string(im.size()));
    if (!std::has_single_bit(re.size())) panic("Length must be a power of 2");
    re_ = std::move(re);
    im_ = std::move(im);
}

std::size_t StateVec::len_for_qubits(std::uint32_t num_qubits) {
    if (num_qubits >= 64) panic("Number of qubits too large, resulting in overflow for state vector size.");
    // 8 * 2^n bytes per array must stay below 2^63.
    if (num_qubits >= 60) panic("capacity overflow");
    return std::size_t{1} << num_qubits;
}

StateVec StateVec::zeros(std::uint32_t num_qubits) { return StateVec(WithLen{}, len_for_qubits(num_qubits)); }

StateVec StateVec::from_random(ChaCha12Rng& rng, std::uint32_t num_qubits) {
    StateVec s(WithLen{}, len_for_qubits(num_qubits));
    for (Qreal& x : s.re_) x = rng.next_f64();
    for (Qreal& x : s.im_) x = rng.next_f64();
    s.normalize();
    return s;
}

StateVec StateVec::from_random_symmetric(ChaCha12Rng& rng, std::uint32_t num_qubits) {
    StateVec s(WithLen{}, len_for_qubits(num_qubits));  // num_qubits < 60 from here on
    double r[64], m[64];
    for (std::uint32_t w = 0; w <= num_qubits; ++w) r[w] = rng.next_f64();
    for (std::uint32_t w = 0; w <= num_qubits; ++w) m[w] = rng.next_f64();
    for (std::size_t k = 0; k < s.len(); ++k) {
        const int w = std::popcount(k);
        s.re_[k] = r[w];
        s.im_[k] = m[w];
    }
    s.normalize();
    return s;
}

Complex StateVec::at(std::size_t k) const {
    if (k >= len()) panic_index_oob(len(), k);
    return Complex{re_[k], im_[k]};
}

void StateVec::set(std::size_t k, Complex value) {
    if (k >= len()) panic_index_oob(len(), k);
    re_[k] = value.re;
    im_[k] = value.im;
}

void StateVec::normalize() {
    const std::size_t n = len();
    if (n == 0) return;
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double a = re_[k].v, b = im_[k].v;
        s = s + (a * a + b * b);
    }
    if (s == 0.0) {
        // Nothing to scale (all zero, or every square underflows): the
        // all-zero basis state stands in, instead of dividing by zero.
        std::fill(re_.begin(), re_.end(), Qreal(0.0));
        std::fill(im_.begin(), im_.end(), Qreal(0.0));
        re_[0] = 1.0;
        return;
    }
    const double m = std::sqrt(s);
    for (std::size_t k = 0; k < n; ++k) {
        re_[k] = re_[k].v / m;
        im_[k] = im_[k].v / m;
    }
    normalize_arg();
}

void StateVec::normalize_arg() {
    const std::size_t n = len();
    if (n == 0) panic_index_oob(0, 0);
    auto negligible = [this](std::size_t k) { return re_[k].near_zero() && im_[k].near_zero(); };

    double zr = re_[0].v, zi = im_[0].v;
    if (negligible(0)) {
        zr = re_[n - 1].v;
        zi = im_[n - 1].v;
        if (negligible(n - 1)) {
            double sr = 0.0, si = 0.0;
            for (std::size_t k = 0; k < n; ++k) sr = sr + re_[k].v;
            for (std::size_t k = 0; k < n; ++k) si = si + im_[k].v;
            const double nz = std::sqrt(sr * sr + si * si);
            if (nz == 0.0) {
                // The amplitudes cancel: take the first one that is not
                // negligible, and leave the state alone when there is none.
                std::size_t j = 1;
                while (j < n && negligible(j)) ++j;
                if (j >= n) return;
                zr = re_[j].v;
                zi = im_[j].v;
            } else {
                zr = sr / nz;
                zi = si / nz;
            }
        }
    }
    apply_phase(zr, zi);
}

// Multiplies every amplitude by conj(z) / |z| and clears im[0].
void StateVec::apply_phase(double zr, double zi) {
    const double d = zr * zr + zi * zi;
    const double r = std::sqrt(d);
    const double wr = (zr / d) * r;
    const double wi = ((-zi) / d) * r;
    const std::size_t n = len();
    Qreal* re = re_.data();
    Qreal* im = im_.data();
    for (std::size_t k = 0; k < n; ++k) {
        const double a = re[k].v, b = im[k].v;
        re[k] = wr * a - wi * b;
        im[k] = wi * a + wr * b;
    }
    im[0] = 0.0;
}

bool StateVec::check() const {
    const std::size_t n = len();
    if (n == 0) return false;
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double a = re_[k].v, b = im_[k].v;
        s = s + (a * a + b * b);
    }
    return std::fabs(s - 1.0) < 0x1p-24;
}

void StateVec::hash(ContentHasher& h) const {
    h.len(re_.size());
    for (const Qreal& x : re_) h.u64(x.key());
    h.len(im_.size());
    for (const Qreal& x : im_) h.u64(x.key());
}

std::uint64_t StateVec::hash_value() const {
    ContentHasher h;
    hash(h);
    return h.finish();
}

void StateVec::copy_from(const StateVec& other) {
    re_ = other.re_;
    im_ = other.im_;
}

namespace {

bool keys_equal(std::span<const Qreal> a, std::span<const Qreal> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (a[k].key() != b[k].key()) return false;
    return true;
}

std::strong_ordering keys_compare(std::span<const Qreal> a, std::span<const Qreal> b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t x = a[k].key(), y = b[k].key();
        if (x != y) return x <=> y;
    }
    return a.size() <=> b.size();
}

bool loose_equal(std::span<const Qreal> a, std::span<const Qreal> b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k)
        if (!a[k].loose_eq(b[k])) return false;
    return true;
}

}  // namespace

bool operator==(const StateVec& a, const StateVec& b) {
    return keys_equal(a.re_, b.re_) && keys_equal(a.im_, b.im_);
}

std::strong_ordering operator<=>(const StateVec& a, const StateVec& b) {
    const std::strong_ordering c = keys_compare(a.re_, b.re_);
    if (c != 0) return c;
    return keys_compare(a.im_, b.im_);
}

bool StateVec::loose_eq(const StateVec& other) const {
    return loose_equal(re_, other.re_) && loose_equal(im_, other.im_);
}

std::string StateVec::to_string() const {
    std::string out = "[";
    for (std::size_t k = 0; k < len(); ++k) {
        if (k) out += ", ";
        const Qreal a = re_[k], b = im_[k];
        if (b.near_zero()) {
            out += float_fixed(a.v, 4);
        } else if (a.near_zero()) {
            out += float_fixed(b.v, 4);
            out += 'j';
        } else {
            out += float_fixed(a.v, 4);
            out += float_fixed(b.v, 4, true);
            out += 'j';
        }
    }
    out += ']';
    return out;
}

}  // namespace tsl
