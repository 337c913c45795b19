// Random numbers for random states: a ChaCha stream generator (12 rounds in
// use) seeded from the operating system.  Every use seeds a fresh generator;
// nothing here is shared between calls or threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tsl {

// Fills `buf` with `n` bytes from the kernel's random source: getrandom(2),
// or /dev/urandom where the system call is unavailable.  Panics with
// "from_os_rng failed: {}" when neither works.
void fill_os_random(void* buf, std::size_t n);

// The ChaCha block function with a 256-bit key, a 64-bit block counter in
// words 12 and 13 and a zero stream id, read as one continuous stream of
// 32-bit words, each block's words in order.
template <unsigned Rounds>
class ChaChaRng {
    static_assert(Rounds % 2 == 0 && Rounds > 0);

public:
    using Seed = std::array<std::uint8_t, 32>;

    explicit ChaChaRng(const Seed& seed);
    // A generator with a fresh 32-byte seed from the operating system.
    static ChaChaRng from_os_rng();

    std::uint32_t next_u32() {
        if (idx_ == 16) refill();
        return buf_[idx_++];
    }
    // The next two words, the first one as the low half.
    std::uint64_t next_u64() {
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }
    // Uniform on [0, 1): the top 53 bits of next_u64 in units of 2^-53.
    double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }

private:
    void refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 16> buf_{};
    unsigned idx_ = 16;
};

extern template class ChaChaRng<12>;
extern template class ChaChaRng<20>;

using ChaCha12Rng = ChaChaRng<12>;

}  // namespace tsl
