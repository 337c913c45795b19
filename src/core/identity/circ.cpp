#include "identity/circ.hpp"

#include <algorithm>
#include <array>

#include "base/panic.hpp"
#include "model/swap_network.hpp"

namespace tsl {

namespace circ_detail {

int max_used_qubit(const Instr32* instrs, std::size_t n) {
    int m = -1;
    for (std::size_t i = 0; i < n; ++i) {
        // The used slots are those before the first unused one.
        const auto [a, b] = instrs[i].qargs().raw;
        if (a == NO_QUBIT) continue;
        m = std::max(m, int{a});
        if (b != NO_QUBIT) m = std::max(m, int{b});
    }
    return m;
}

void check_qubits(const Instr32* instrs, std::size_t n, std::uint8_t len) {
    if (max_used_qubit(instrs, n) >= int{len})
        panic("Permutation length must be greater than the max qubit index.");
}

}  // namespace circ_detail

Circ Circ::create(std::vector<Instr32> instrs, Permut32 perm) {
    circ_detail::check_qubits(instrs.data(), instrs.size(), perm.len());
    return from_parts(std::move(instrs), perm);
}

Circ Circ::new_no_perm(std::vector<Instr32> instrs) {
    const int m = circ_detail::max_used_qubit(instrs.data(), instrs.size());
    if (m < 0) return from_parts(std::move(instrs), Permut32(0));
    if (m >= 8) panic("Permutation length must be less than or equal to 8");
    return from_parts(std::move(instrs), Permut32::identity(static_cast<std::uint8_t>(m + 1)));
}

Circ operator+(const Circ& a, const Circ& b) {
    const auto [pa, pb] = a.perm.coordinate_permute(b.perm);
    const Permut32 perm_inv = pa.inv();
    std::vector<Instr32> out;
    out.reserve(a.instrs.size() + b.instrs.size());
    out.insert(out.end(), a.instrs.begin(), a.instrs.end());
    for (const Instr32& in : b.instrs) out.push_back(in.apply_permutation(perm_inv));
    return Circ::create(std::move(out), pb * pa);
}

Circ Circ::inverse() const {
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (auto it = instrs.rbegin(); it != instrs.rend(); ++it)
        out.push_back(Instr32(it->gate().adjoint(), it->qargs()).apply_permutation(perm));
    return create(std::move(out), perm.inv());
}

Circ Circ::permut(Permut32 p) const {
    const auto [sp, op] = perm.coordinate_permute(p);
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (const Instr32& in : instrs) out.push_back(in.apply_permutation(op));
    return create(std::move(out), op * sp * op.inv());
}

Circ Circ::rotate(std::int64_t n) const {
    const std::size_t len = instrs.size();
    if (n == 0) return *this;
    std::vector<Instr32> out;
    out.reserve(len);
    if (n > 0) {
        const auto k = static_cast<std::uint64_t>(n);
        if (k > len)
            panic("range start index " + std::to_string(k) + " out of range for slice of length " +
                  std::to_string(len));
        const Permut32 perm_inv = perm.inv();
        out.insert(out.end(), instrs.begin() + static_cast<std::ptrdiff_t>(k), instrs.end());
        for (std::size_t i = 0; i < k; ++i) out.push_back(instrs[i].apply_permutation(perm_inv));
    } else {
        // L + n in wrapping 64-bit arithmetic, as the message shows it.
        const std::uint64_t k = static_cast<std::uint64_t>(len) + static_cast<std::uint64_t>(n);
        if (static_cast<std::int64_t>(len) + n < 0)
            panic("range start index " + std::to_string(k) + " out of range for slice of length " +
                  std::to_string(len));
        for (std::size_t i = k; i < len; ++i) out.push_back(instrs[i].apply_permutation(perm));
        out.insert(out.end(), instrs.begin(), instrs.begin() + static_cast<std::ptrdiff_t>(k));
    }
    return create(std::move(out), perm);
}

Circ Circ::remove_swaps() const {
    std::vector<Instr32> out(instrs.size());
    const auto [n, p] = circ_detail::remove_swaps_into(instrs.data(), instrs.size(), perm, out.data());
    out.resize(n);
    return create(std::move(out), p);
}

std::pair<std::size_t, Permut32> circ_detail::remove_swaps_into(const Instr32* instrs, std::size_t len,
                                                                Permut32 perm, Instr32* out) {
    const std::size_t n = perm.len();
    std::array<std::uint8_t, 256> map;  // entries below n only are used
    for (std::size_t i = 0; i < n; ++i) map[i] = static_cast<std::uint8_t>(i);
    auto at = [&](std::uint8_t q) -> std::uint8_t& {
        if (q >= n) panic_index_oob(n, q);
        return map[q];
    };
    std::size_t kept = 0;
    bool swapped = false;
    for (std::size_t i = 0; i < len; ++i) {
        const Instr32& in = instrs[i];
        const QArgs16& qa = in.qargs();
        if (in.gate() == gates::SWAP) {
            const std::uint8_t a = qa[0], b = qa[1];  // "Index out of bounds" when unused
            // First qubit checked first: argument order is unspecified.
            std::uint8_t& ra = at(a);
            std::uint8_t& rb = at(b);
            std::swap(ra, rb);
            swapped = true;
            continue;
        }
        QArgs16 args = qa;
        const std::size_t used = qa.len();
        for (std::size_t s = 0; s < used; ++s) args.raw[s] = at(qa.raw[s]);
        out[kept++] = Instr32(in.gate(), args);
    }
    // Without swaps w is the identity and perm * w^-1 keeps perm's first n
    // entries (the packing below refuses more than 8).
    if (!swapped && n <= 8)
        return {kept, Permut32(perm.raw & (0xFF000000u | permut_detail::entry_mask(static_cast<unsigned>(n))))};
    const Permut32 w = Permut32::from_iter(std::span<const std::uint8_t>(map.data(), n));
    // Every kept qubit went through `at`, so all are below the length.
    return {kept, perm * w.inv()};
}

std::vector<Instr32> Circ::instrs_with_swaps() const {
    std::vector<Instr32> out;
    out.reserve(instrs.size() + kMaxSwaps);
    out.insert(out.end(), instrs.begin(), instrs.end());
    append_swap_instrs(perm, out);
    return out;
}

void Circ::write_to(std::string& out) const {
    out += "Circuit { ";
    for (const Instr32& in : instrs) {
        in.write_to(out);
        out += ' ';
    }
    perm.write_to(out);
    out += " }";
}

std::string Circ::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

void Circ::write_debug(std::string& out) const {
    out += "Circ { instrs: [";
    for (std::size_t i = 0; i < instrs.size(); ++i) {
        if (i) out += ", ";
        instrs[i].write_to(out);
    }
    out += "], perm: ";
    perm.write_to(out);
    out += " }";
}

std::string Circ::debug_string() const {
    std::string s;
    write_debug(s);
    return s;
}

}  // namespace tsl
