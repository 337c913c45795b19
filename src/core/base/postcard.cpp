#include "base/postcard.hpp"

#include <cstring>

namespace tsl {

const char* PostcardError::text(Kind k) {
    switch (k) {
        case UnexpectedEnd: return "Hit the end of buffer, expected more data";
        case BadVarint: return "Found a varint that didn't terminate. Is the usize too big for this platform?";
        case BadUtf8: return "Tried to parse invalid utf-8";
        case WriteFull: return "The serialize buffer is full";
    }
    return "";
}

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

void PostcardWriter::bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    while (n) {
        if (len_ == kPostcardBuffer) flush();
        const std::size_t k = std::min(n, kPostcardBuffer - len_);
        std::memcpy(buf_ + len_, b, k);
        len_ += k;
        b += k;
        n -= k;
    }
}

void PostcardWriter::flush() {
    if (len_ && !file_.write_all(buf_, len_)) throw PostcardError(PostcardError::WriteFull);
    len_ = 0;
}

void PostcardReader::refill() {
    const long r = file_.read(buf_, kPostcardBuffer);
    if (r <= 0) throw PostcardError(PostcardError::UnexpectedEnd);
    pos_ = 0;
    len_ = static_cast<std::size_t>(r);
}

bool PostcardReader::at_end() {
    if (pos_ < len_) return false;
    try {
        refill();
    } catch (const PostcardError&) {
        return true;
    }
    return false;
}

std::uint64_t PostcardReader::varint(int max_bytes, std::uint8_t max_last) {
    std::uint64_t out = 0;
    for (int i = 0; i < max_bytes; ++i) {
        const std::uint8_t b = u8();
        out |= std::uint64_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            if (i == max_bytes - 1 && b > max_last) throw PostcardError(PostcardError::BadVarint);
            return out;
        }
    }
    throw PostcardError(PostcardError::BadVarint);
}

std::string PostcardReader::str() {
    const std::uint64_t n = varint_u64();
    if (n > kPostcardBuffer) throw PostcardError(PostcardError::UnexpectedEnd);
    std::string s(static_cast<std::size_t>(n), '\0');
    for (std::size_t i = 0; i < s.size();) {
        if (pos_ == len_) refill();
        const std::size_t k = std::min(s.size() - i, len_ - pos_);
        std::memcpy(s.data() + i, buf_ + pos_, k);
        pos_ += k;
        i += k;
    }
    if (!valid_utf8(s)) throw PostcardError(PostcardError::BadUtf8);
    return s;
}

}  // namespace tsl
