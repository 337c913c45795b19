// Decomposition of a qubit permutation into swaps.
//
// For every length 0..8 a fixed sorting network of the smallest known size is
// run on a working copy of the permutation; each comparator that has to
// exchange its two entries yields the pair (a, b), a < b.  Applying `swap` on
// the yielded pairs in order moves qubit j's content to qubit p[j], so a
// circuit followed by p acts like the circuit followed by these swaps.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "model/permut32.hpp"

namespace tsl {

struct SwapPair {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    friend constexpr bool operator==(SwapPair, SwapPair) = default;
};

namespace swap_detail {
inline constexpr SwapPair kNet2[] = {{0, 1}};
inline constexpr SwapPair kNet3[] = {{0, 2}, {0, 1}, {1, 2}};
inline constexpr SwapPair kNet4[] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}, {1, 2}};
inline constexpr SwapPair kNet5[] = {{0, 3}, {1, 4}, {0, 2}, {1, 3}, {0, 1},
                                     {2, 4}, {1, 2}, {3, 4}, {2, 3}};
inline constexpr SwapPair kNet6[] = {{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                                     {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}};
inline constexpr SwapPair kNet7[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6},
                                     {0, 1}, {2, 5}, {3, 4}, {1, 2}, {4, 6}, {2, 3},
                                     {4, 5}, {1, 2}, {3, 4}, {5, 6}};
inline constexpr SwapPair kNet8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6},
                                     {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}, {2, 4}, {3, 5},
                                     {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};
}  // namespace swap_detail

// Comparator sequences indexed by permutation length.
inline constexpr std::array<std::span<const SwapPair>, 9> SWAP_NETWORKS = {
    std::span<const SwapPair>(),     std::span<const SwapPair>(),
    std::span(swap_detail::kNet2), std::span(swap_detail::kNet3),
    std::span(swap_detail::kNet4), std::span(swap_detail::kNet5),
    std::span(swap_detail::kNet6), std::span(swap_detail::kNet7),
    std::span(swap_detail::kNet8),
};

// The most comparators of any network.
inline constexpr std::size_t kMaxSwaps = 19;

// Fixed-capacity list of swap pairs (no allocation).
struct SwapList {
    std::array<SwapPair, kMaxSwaps> pairs{};
    std::uint8_t count = 0;

    constexpr const SwapPair* begin() const { return pairs.data(); }
    constexpr const SwapPair* end() const { return pairs.data() + count; }
    constexpr std::size_t size() const { return count; }
    constexpr bool empty() const { return count == 0; }
    constexpr const SwapPair& operator[](std::size_t i) const { return pairs[i]; }
};

// The lazy sequence of swap pairs of one permutation; consumed once.  Each
// request runs the network on to the next comparator whose two entries of the
// working copy are out of order, exchanges them and yields that pair.
class SwapSequence {
public:
    constexpr SwapSequence() = default;
    constexpr explicit SwapSequence(Permut32 p)
        : net_(SWAP_NETWORKS[p.len() < 8 ? p.len() : 8]), step_(p) {}

    // The next pair, or nothing once the network is exhausted.
    constexpr std::optional<SwapPair> next() {
        while (pos_ < net_.size()) {
            const SwapPair s = net_[pos_++];
            if (step_.at(s.a) > step_.at(s.b)) {
                step_ = Permut32::swap_inputs(step_, s.a, s.b);
                return s;
            }
        }
        return std::nullopt;
    }

    // The working copy: entries sorted ascending once the sequence is exhausted.
    constexpr Permut32 step() const { return step_; }

    // All remaining pairs at once.
    constexpr SwapList collect() {
        SwapList out;
        while (auto s = next()) out.pairs[out.count++] = *s;
        return out;
    }

    // Single-pass iteration for range-for; it pulls from the sequence.
    class iterator {
    public:
        using value_type = SwapPair;
        using difference_type = std::ptrdiff_t;

        constexpr iterator() = default;
        constexpr explicit iterator(SwapSequence* seq) : seq_(seq), cur_(seq->next()) {}
        constexpr SwapPair operator*() const { return *cur_; }
        constexpr iterator& operator++() {
            cur_ = seq_->next();
            return *this;
        }
        constexpr void operator++(int) { ++*this; }
        constexpr bool operator==(std::default_sentinel_t) const { return !cur_.has_value(); }

    private:
        SwapSequence* seq_ = nullptr;
        std::optional<SwapPair> cur_;
    };

    constexpr iterator begin() { return iterator(this); }
    constexpr std::default_sentinel_t end() const { return {}; }

private:
    std::span<const SwapPair> net_{};
    std::size_t pos_ = 0;
    Permut32 step_{};
};

inline SwapSequence Permut32::generate_swaps() const { return SwapSequence(*this); }

class Instr32;

// Appends one `swap` instruction per pair of p.generate_swaps(), in order.
void append_swap_instrs(Permut32 p, std::vector<Instr32>& out);

}  // namespace tsl
