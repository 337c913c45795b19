// The content hash: SipHash-1-3 with an all-zero 128-bit key, streamed.
// Values are fed little-endian at their width; lengths and counts as 8 bytes;
// strings as their UTF-8 bytes followed by 0xFF.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace tsl {

class ContentHasher {
public:
    void write(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        len_ += n;
        if (ntail_) {
            while (n && ntail_ < 8) {
                tail_ |= std::uint64_t(*p++) << (8 * ntail_++);
                --n;
            }
            if (ntail_ < 8) return;
            block(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
        while (n >= 8) {
            std::uint64_t m;
            std::memcpy(&m, p, 8);  // little-endian host
            block(m);
            p += 8;
            n -= 8;
        }
        while (n) {
            tail_ |= std::uint64_t(*p++) << (8 * ntail_++);
            --n;
        }
    }

    void u8(std::uint8_t v) { write(&v, 1); }
    void u16(std::uint16_t v) { write(&v, 2); }
    void u32(std::uint32_t v) { write(&v, 4); }
    void u64(std::uint64_t v) {
        if (ntail_ == 0) {
            len_ += 8;
            block(v);
        } else {
            write(&v, 8);
        }
    }
    void len(std::size_t n) { u64(static_cast<std::uint64_t>(n)); }
    void str(std::string_view s) {
        write(s.data(), s.size());
        u8(0xFF);
    }

    std::uint64_t finish() const {
        std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
        const std::uint64_t b = ((len_ & 0xFF) << 56) | tail_;
        v3 ^= b;
        round(v0, v1, v2, v3);
        v0 ^= b;
        v2 ^= 0xFF;
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        return v0 ^ v1 ^ v2 ^ v3;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
    static void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void block(std::uint64_t m) {
        v3_ ^= m;
        round(v0_, v1_, v2_, v3_);
        v0_ ^= m;
    }

    std::uint64_t v0_ = 0x736f6d6570736575ULL;
    std::uint64_t v1_ = 0x646f72616e646f6dULL;
    std::uint64_t v2_ = 0x6c7967656e657261ULL;
    std::uint64_t v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;
    std::size_t ntail_ = 0;
    std::uint64_t len_ = 0;
};

// Hash of raw bytes in one go (used by tests and small keys).
inline std::uint64_t content_hash_bytes(const void* data, std::size_t n) {
    ContentHasher h;
    h.write(data, n);
    return h.finish();
}

}  // namespace tsl
