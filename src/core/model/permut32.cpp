#include "model/permut32.hpp"

#include <array>
#include <memory>
#include <vector>

#include "base/panic.hpp"

namespace tsl {

namespace permut_detail {
void panic_idx(std::source_location where) { panic("assertion failed: idx < 8", where); }
void panic_len_mismatch(std::source_location where) { panic("assertion failed: self.len() == other.len()", where); }
void panic_too_long(std::source_location where) { panic("Permutation length must be less than or equal to 8", where); }
void panic_value_range(std::source_location where) { panic("Permutation values must be less than 8", where); }
void panic_value_unique(std::source_location where) { panic("Permutation values must be unique", where); }
}  // namespace permut_detail

namespace {

constexpr std::size_t kFactorials[9] = {1, 1, 2, 6, 24, 120, 720, 5040, 40320};

// All permutations of every length 0..8, one list after the other, each list
// in the order of the iterative form of Heap's algorithm below.  Later users
// (qubit symmetry tables, canonical forms) rely on exactly this order.
struct PermutationTable {
    std::vector<Permut32> flat;
    std::array<std::size_t, 10> offset{};

    PermutationTable() {
        std::size_t total = 0;
        for (std::size_t f : kFactorials) total += f;
        flat.reserve(total);
        for (unsigned n = 0; n <= 8; ++n) {
            offset[n] = flat.size();
            append_heap_order(n);
        }
        offset[9] = flat.size();
    }

    void append_heap_order(unsigned n) {
        std::uint8_t d[8];
        unsigned c[8] = {};
        for (unsigned i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i);
        const std::size_t len = std::min<std::size_t>(n, 8);
        auto emit = [&] { flat.push_back(Permut32::from_iter_unchecked(std::span<const std::uint8_t>(d, len))); };
        emit();
        unsigned k = 0;
        while (k + 1 < n) {
            if (c[k] <= k) {
                const unsigned j = (k % 2 == 0) ? c[k] : 0;
                std::swap(d[j], d[k + 1]);
                ++c[k];
                k = 0;
                emit();
            } else {
                c[k] = 0;
                ++k;
            }
        }
    }
};

const PermutationTable& all_permutations() {
    static const PermutationTable table;  // ALL_PERMUTATIONS
    return table;
}

}  // namespace

std::span<const Permut32> Permut32::all(std::size_t n) {
    if (n > 8) panic_index_oob(9, n);
    const PermutationTable& t = all_permutations();
    return std::span<const Permut32>(t.flat.data() + t.offset[n], t.offset[n + 1] - t.offset[n]);
}

void Permut32::write_to(std::string& out) const {
    out.push_back('(');
    bool first = true;
    for (std::uint8_t v : *this) {
        if (!first) out.push_back(' ');
        first = false;
        out.push_back(static_cast<char>('0' + v));
    }
    out.push_back(')');
}

std::string Permut32::to_string() const {
    std::string s;
    s.reserve(2 + 2 * 8);
    write_to(s);
    return s;
}

}  // namespace tsl
