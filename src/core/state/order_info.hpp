// Canonical qubit order of a state and its classes of interchangeable qubits.
//
// Every qubit q gets a key made of two of the state's amplitudes (the basis
// state with only q set, and the one with every qubit but q set).  Sorting the
// qubits by key gives an order that relabels along with the state; qubits
// with equal keys form an equality class, and every order of a class is
// equally canonical.  `EQMASK_TO_PERMS` lists, for each way of splitting five
// ordered positions into runs, the permutations that keep every run in place.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

#include "model/permut32.hpp"
#include "state/state_vec.hpp"

namespace tsl {

// The quantisation keys of re[2^q], im[2^q], re[(L-1) - 2^q] and
// im[(L-1) - 2^q], compared lexicographically as unsigned integers (the
// Qreal order: a negative part orders after every non-negative one).
struct QubitKey {
    std::array<std::uint64_t, 4> keys;

    // Panics with the index text when q is not a qubit of the state.
    static QubitKey of(const StateVec& state, std::size_t q);

    friend constexpr bool operator==(const QubitKey&, const QubitKey&) = default;
    friend constexpr std::strong_ordering operator<=>(const QubitKey&, const QubitKey&) = default;
};

// The permutations of five positions that map every run of positions joined
// by `eqmask` onto itself (bit i joins positions i and i + 1), in the order of
// Permut32::all(5).  Each list starts with the identity.  Built on first use;
// an eqmask of 16 or more panics with the index text (16, eqmask).
std::span<const Permut32> eqmask_to_perms(std::size_t eqmask);

// The candidate orders of an OrderInfo: for every p of the symmetry list of
// its eqmask, in list order, base * p with p's length set to the number of
// qubits.  Computed on access; holds no storage of its own.
class CandidateOrders {
public:
    CandidateOrders(Permut32 base, std::uint8_t n, std::span<const Permut32> list)
        : base_(base), n_(n), list_(list) {}

    std::size_t size() const { return list_.size(); }
    Permut32 operator[](std::size_t i) const { return base_ * Permut32::shrink(list_[i], n_); }

    class iterator {
    public:
        using value_type = Permut32;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        iterator(const CandidateOrders* c, std::size_t i) : c_(c), i_(i) {}
        Permut32 operator*() const { return (*c_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        iterator operator++(int) {
            iterator t = *this;
            ++i_;
            return t;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.i_ == b.i_; }

    private:
        const CandidateOrders* c_ = nullptr;
        std::size_t i_ = 0;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, list_.size()); }

private:
    Permut32 base_;
    std::uint8_t n_;
    std::span<const Permut32> list_;
};

class OrderInfo {
public:
    static constexpr std::size_t kMaxQubits = 64;

    // Qubits 0 .. size-1 in one class.
    explicit OrderInfo(std::size_t size);

    // permut()[i] is the qubit at ordered position i.
    std::span<const std::uint8_t> permut() const { return {permut_.data(), size_}; }
    // Exclusive end positions of the classes, ascending; the last is the
    // number of qubits.
    std::span<const std::uint8_t> eq_classes() const { return {eq_classes_.data(), nclasses_}; }

    // (start, end) positions of class idx; panics with the index text when
    // there is no such class.
    std::pair<std::size_t, std::size_t> get_eqclass_range(std::size_t idx) const;

    // Sorts class idx stably by keyf(qubit) (equal keys keep their relative
    // order) and splits it into the runs of equal keys, which take its place
    // among the classes.
    template <class KeyF>
    void sort_eqclass_by_key(std::size_t idx, KeyF&& keyf) {
        const auto [start, end] = get_eqclass_range(idx);
        for (std::size_t i = start + 1; i < end; ++i) {
            const std::uint8_t q = permut_[i];
            const auto kq = keyf(q);
            std::size_t j = i;
            while (j > start && kq < keyf(permut_[j - 1])) {
                permut_[j] = permut_[j - 1];
                --j;
            }
            permut_[j] = q;
        }
        for (std::size_t j = start; j + 1 < end; ++j) {
            if (keyf(permut_[j]) != keyf(permut_[j + 1])) {
                insert_class_end(idx, static_cast<std::uint8_t>(j + 1));
                ++idx;
            }
        }
    }

    // (permut packed as a Permut32, eqmask), where bit i of eqmask is set when
    // ordered positions i and i + 1 share a class.
    std::pair<Permut32, std::uint8_t> as_bits() const;

    // The candidate orders (see CandidateOrders).  Panics with the index text
    // (16, eqmask) for an eqmask of 16 or more, before anything is yielded.
    CandidateOrders as_perms() const;

private:
    void insert_class_end(std::size_t pos, std::uint8_t end);

    std::array<std::uint8_t, kMaxQubits> permut_;
    std::array<std::uint8_t, kMaxQubits> eq_classes_;
    std::uint8_t size_;
    std::uint8_t nclasses_;
};

// The state's qubits ordered by QubitKey and split into classes of equal keys.
OrderInfo get_orderinfo(const StateVec& state);
// The canonical qubit order of the state: the first part of as_bits.
Permut32 get_permutation(const StateVec& state);

}  // namespace tsl
