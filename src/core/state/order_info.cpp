#include "state/order_info.hpp"

#include "base/panic.hpp"

namespace tsl {

namespace {

// The sixteen symmetry lists one after the other (231 permutations in all).
struct EqmaskTable {
    std::array<Permut32, 231> flat{};
    std::array<std::uint8_t, 17> offset{};

    EqmaskTable() {
        const std::span<const Permut32> all5 = Permut32::all(5);
        std::size_t k = 0;
        for (unsigned mask = 0; mask < 16; ++mask) {
            offset[mask] = static_cast<std::uint8_t>(k);
            // Class number of each position: a set bit k-1 joins position k
            // to the class of position k-1.
            unsigned cls[5] = {0, 0, 0, 0, 0};
            for (unsigned pos = 1; pos < 5; ++pos)
                cls[pos] = cls[pos - 1] + (((mask >> (pos - 1)) & 1u) ? 0u : 1u);
            for (Permut32 p : all5) {
                bool keeps = true;
                for (std::uint8_t e = 0; e < 5 && keeps; ++e) keeps = cls[p.at(e)] == cls[e];
                if (keeps) flat[k++] = p;
            }
        }
        offset[16] = static_cast<std::uint8_t>(k);
    }
};

const EqmaskTable& eqmask_table() {
    static const EqmaskTable EQMASK_TO_PERMS;
    return EQMASK_TO_PERMS;
}

}  // namespace

QubitKey QubitKey::of(const StateVec& state, std::size_t q) {
    const std::size_t len = state.len();
    if (q >= state.nqubits()) panic_index_oob(len, q < 64 ? std::size_t{1} << q : SIZE_MAX);
    const std::size_t lo = std::size_t{1} << q;
    const std::size_t hi = (len - 1) - lo;
    const std::span<const Qreal> re = state.re(), im = state.im();
    return QubitKey{{re[lo].key(), im[lo].key(), re[hi].key(), im[hi].key()}};
}

std::span<const Permut32> eqmask_to_perms(std::size_t eqmask) {
    if (eqmask >= 16) panic_index_oob(16, eqmask);
    const EqmaskTable& t = eqmask_table();
    return std::span<const Permut32>(t.flat.data() + t.offset[eqmask],
                                     std::size_t{t.offset[eqmask + 1]} - t.offset[eqmask]);
}

OrderInfo::OrderInfo(std::size_t size) {
    if (size > kMaxQubits) panic("Qubit ordering holds at most 64 qubits");
    for (std::size_t i = 0; i < size; ++i) permut_[i] = static_cast<std::uint8_t>(i);
    size_ = static_cast<std::uint8_t>(size);
    eq_classes_[0] = static_cast<std::uint8_t>(size);
    nclasses_ = 1;
}

std::pair<std::size_t, std::size_t> OrderInfo::get_eqclass_range(std::size_t idx) const {
    std::size_t start = 0;
    if (idx > 0) {
        if (idx - 1 >= nclasses_) panic_index_oob(nclasses_, idx - 1);
        start = eq_classes_[idx - 1];
    }
    if (idx >= nclasses_) panic_index_oob(nclasses_, idx);
    return {start, eq_classes_[idx]};
}

void OrderInfo::insert_class_end(std::size_t pos, std::uint8_t end) {
    for (std::size_t i = nclasses_; i > pos; --i) eq_classes_[i] = eq_classes_[i - 1];
    eq_classes_[pos] = end;
    ++nclasses_;
}

std::pair<Permut32, std::uint8_t> OrderInfo::as_bits() const {
    if (size_ <= 1) return {Permut32::identity(size_), 0};
    const Permut32 p = Permut32::from_iter_unchecked(permut());
    // Bits 1 .. len-1 set, in 8-bit arithmetic (len 8 sets all eight).
    unsigned mask = static_cast<std::uint8_t>((1u << (size_ & 7u)) - 2u);
    for (std::uint8_t e : eq_classes()) mask &= ~(1u << (e & 7u));
    return {p, static_cast<std::uint8_t>((mask & 0xFFu) >> 1)};
}

CandidateOrders OrderInfo::as_perms() const {
    const auto [base, eqmask] = as_bits();
    return CandidateOrders(base, size_, eqmask_to_perms(eqmask));
}

OrderInfo get_orderinfo(const StateVec& state) {
    const std::size_t n = static_cast<std::uint8_t>(state.nqubits());
    OrderInfo oi(n);
    if (n <= 1) return oi;
    // The keys are pure functions of the unchanged state, so each is read once.
    QubitKey keys[OrderInfo::kMaxQubits];
    const Qreal* re = state.re().data();
    const Qreal* im = state.im().data();
    const std::size_t last = state.len() - 1;
    for (std::size_t q = 0; q < n; ++q) {
        const std::size_t lo = std::size_t{1} << q, hi = last - lo;
        keys[q] = QubitKey{{re[lo].key(), im[lo].key(), re[hi].key(), im[hi].key()}};
    }
    oi.sort_eqclass_by_key(0, [&keys](std::uint8_t q) -> const QubitKey& { return keys[q]; });
    return oi;
}

Permut32 get_permutation(const StateVec& state) { return get_orderinfo(state).as_bits().first; }

}  // namespace tsl
