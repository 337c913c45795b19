// StateVec: 2^n complex amplitudes of n qubits, held as two separate
// contiguous arrays of real and imaginary parts.  Bit q of a basis index is
// the value of qubit q (qubit 0 is the least significant bit).
//
// Every floating-point step below is written out in a fixed order, one
// rounding per operation: the quantised amplitudes of normalised states are
// hashed into search keys, so they must come out bit for bit the same on
// every build.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "model/gate.hpp"
#include "model/qreal.hpp"
#include "state/random.hpp"

namespace tsl {

class StateVec {
public:
    // Takes both arrays as they are (no normalisation; any value accepted).
    // Panics when the lengths differ or are not a power of two (0 included).
    StateVec(std::vector<Qreal> re, std::vector<Qreal> im);

    // 2^n amplitudes of +0.0.
    static StateVec zeros(std::uint32_t num_qubits);
    // Unit-norm, phase-normalised random state: all real parts are drawn in
    // index order, then all imaginary parts.
    static StateVec from_random(ChaCha12Rng& rng, std::uint32_t num_qubits);
    // Random state whose amplitude k depends only on the popcount of k, so it
    // is unchanged by every relabelling of the qubits.
    static StateVec from_random_symmetric(ChaCha12Rng& rng, std::uint32_t num_qubits);

    // 2^n for a qubit count, checked before anything is allocated: 64 and
    // more panic with the overflow text, 60 to 63 with "capacity overflow".
    static std::size_t len_for_qubits(std::uint32_t num_qubits);

    // log2 of the length; a moved-from (empty) state gives the word width.
    std::size_t nqubits() const { return static_cast<std::size_t>(std::countr_zero(len())); }
    std::size_t len() const { return re_.size(); }

    // Bounds-checked amplitude access.
    Complex at(std::size_t k) const;
    void set(std::size_t k, Complex value);

    // Divides by the norm, then normalize_arg.  A state whose sum of squared
    // magnitudes is exactly 0 becomes |0...0>.
    void normalize();
    // Rotates the global phase so that the reference amplitude (amplitude 0,
    // else the last one, else the normalised sum of all) is real and
    // non-negative, then sets im[0] to exactly 0.0.
    void normalize_arg();
    // Unit norm within 2^-24; false for an empty state.
    bool check() const;

    // Content hash: length of re, keys of re, length of im, keys of im.
    std::uint64_t hash_value() const;
    void hash(ContentHasher& h) const;

    StateVec clone() const { return *this; }
    // Copies `other`'s amplitudes into this state, reusing its arrays when the
    // lengths agree.
    void copy_from(const StateVec& other);
    // Exchanges the arrays of two states in O(1), whatever their lengths.
    void swap(StateVec& other) noexcept {
        re_.swap(other.re_);
        im_.swap(other.im_);
    }
    friend void swap(StateVec& a, StateVec& b) noexcept { a.swap(b); }

    // Equality and order through the quantisation keys of Qreal: re first,
    // then im; a shorter array that is a prefix orders first.
    friend bool operator==(const StateVec& a, const StateVec& b);
    friend std::strong_ordering operator<=>(const StateVec& a, const StateVec& b);
    // Coarse equality (values truncated to multiples of 1/256) over the
    // positions both states have.
    bool loose_eq(const StateVec& other) const;

    // "[a0, a1, ...]" with four decimals per part.
    std::string to_string() const;

    // Gate application, in place.  `apply` runs the built-in kernel of the
    // gate when it has one, else the dense product with its matrix; `multiply`
    // is the dense product on 1 to 3 qubits.  The first qubit argument is the
    // most significant bit of the matrix index.  Every argument is checked
    // before any amplitude is written.
    void apply(const std::uint8_t* qubits, std::size_t nargs, Gate16 gate);
    void multiply(const std::uint8_t* qubits, std::size_t nargs, const GateMatrix& matrix);

    // Raw parts for the simulation code.
    std::span<const Qreal> re() const { return re_; }
    std::span<const Qreal> im() const { return im_; }
    std::span<Qreal> re_mut() { return re_; }
    std::span<Qreal> im_mut() { return im_; }

private:
    struct WithLen {};
    StateVec(WithLen, std::size_t len) : re_(len), im_(len) {}

    void apply_phase(double zr, double zi);

    std::vector<Qreal> re_;
    std::vector<Qreal> im_;
};

}  // namespace tsl
