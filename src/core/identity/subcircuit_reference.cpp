#include "identity/subcircuit_reference.hpp"

#include <algorithm>
#include <bit>

#include "base/panic.hpp"
#include "base/worker_pool.hpp"

namespace tsl {

namespace {

// Appends every k-subset of {0 .. n-1} in lexicographic order.
void append_subsets(std::vector<std::uint32_t>& out, unsigned n, unsigned k) {
    std::array<unsigned, 32> idx{};
    for (unsigned i = 0; i < k; ++i) idx[i] = i;
    for (;;) {
        std::uint32_t mask = 0;
        for (unsigned i = 0; i < k; ++i) mask |= std::uint32_t{1} << idx[i];
        out.push_back(mask);
        // Advance the rightmost index that can still move.
        int i = static_cast<int>(k) - 1;
        while (i >= 0 && idx[static_cast<unsigned>(i)] == n - k + static_cast<unsigned>(i)) --i;
        if (i < 0) return;
        ++idx[static_cast<unsigned>(i)];
        for (unsigned j = static_cast<unsigned>(i) + 1; j < k; ++j) idx[j] = idx[j - 1] + 1;
    }
}

}  // namespace

// ---- COMBINATIONS -----------------------------------------------------------

Combinations::Combinations() {
    for (unsigned n = 0; n < kEntries; ++n) {
        offsets_[n] = masks_.size();
        const unsigned kmax = static_cast<unsigned>(max_subset(n));
        for (unsigned k = 0; k <= kmax; ++k) {
            size_begin_[n][k] = masks_.size() - offsets_[n];
            append_subsets(masks_, n, k);
        }
        size_begin_[n][kmax + 1] = masks_.size() - offsets_[n];
    }
    offsets_[kEntries] = masks_.size();
    masks_.shrink_to_fit();
}

const Combinations& Combinations::get() {
    static const Combinations table;
    return table;
}

std::span<const std::uint32_t> Combinations::entry(std::size_t n) const {
    if (n >= kEntries) panic_index_oob(kEntries, n);
    return {masks_.data() + offsets_[n], offsets_[n + 1] - offsets_[n]};
}

std::vector<std::uint8_t> Combinations::indices(std::uint32_t mask) {
    std::vector<std::uint8_t> out;
    for (; mask; mask &= mask - 1) out.push_back(static_cast<std::uint8_t>(std::countr_zero(mask)));
    return out;
}

// ---- wire table queries -----------------------------------------------------

std::vector<std::uint64_t> connected_subsets(const WireTable& table, std::size_t max_size) {
    if (max_size > table.size()) max_size = table.size();
    const std::vector<std::uint64_t> no_weight(table.size(), 0);
    std::vector<std::uint64_t> out;
    for (const WireTable::SearchPart& part : table.search_parts(max_size))
        table.search(part, max_size, no_weight.data(),
               [&](std::uint64_t set, std::uint64_t, const WireTable::PortCounts&) { out.push_back(set); });
    std::sort(out.begin(), out.end(), WireTable::order_before);
    return out;
}

std::optional<Split> split(const WireTable& table, std::uint64_t mask) {
    SplitParts parts;
    if (!table.split_into(mask, parts)) return std::nullopt;
    const std::span<const Instr32> g = parts.gathered(), r = parts.rest();
    const Permut32 perm = table.identity().circ.perm;
    Circ gathered = Circ::create({g.begin(), g.end()}, Permut32::identity(perm.len()));
    Circ rest = Circ::create({r.begin(), r.end()}, perm);
    return Split{std::move(gathered), std::move(rest)};
}

// ---- selections -------------------------------------------------------------

namespace {
std::uint64_t mask_of(const std::vector<bool>& gates) {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < gates.size() && i < 64; ++i)
        if (gates[i]) m |= std::uint64_t{1} << i;
    return m;
}
}  // namespace

IdentitySubcircuit::IdentitySubcircuit(const IdentityCirc& c, std::vector<bool> g)
    : circuit(c), gates(std::move(g)), table_(c), mask_(mask_of(gates)) {}

std::vector<Split> IdentitySubcircuit::par_subcircuit_splits(const IdentityCirc& circuit) {
    const std::span<const std::uint32_t> subsets = Combinations::get().entry(circuit.len());
    const WireTable table(circuit);
    return parallel_filter_map<Split>(subsets.size(), [&](std::size_t i) -> std::optional<Split> {
        const std::uint64_t mask = subsets[i];
        if (!table.is_connected(mask) || !table.is_convex(mask)) return std::nullopt;
        return tsl::split(table, mask);
    });
}

}  // namespace tsl
