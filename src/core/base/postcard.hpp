// The postcard binary encoding: unsigned LEB128 varints, raw bytes, and
// length-prefixed UTF-8 strings, streamed through 8192-byte buffers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/file_io.hpp"

namespace tsl {

class PostcardError : public std::runtime_error {
public:
    enum Kind { UnexpectedEnd, BadVarint, BadUtf8, WriteFull };
    explicit PostcardError(Kind k) : std::runtime_error(text(k)), kind(k) {}
    static const char* text(Kind k);
    Kind kind;
};

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

inline constexpr std::size_t kPostcardBuffer = 8192;

class PostcardWriter {
public:
    explicit PostcardWriter(AtomicWriteFile& file) : file_(file) {}
    void u8(std::uint8_t b) {
        if (len_ == kPostcardBuffer) flush();
        buf_[len_++] = b;
    }
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            u8(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        u8(static_cast<std::uint8_t>(v));
    }
    void bytes(const void* p, std::size_t n);
    void str(std::string_view s) {
        varint(s.size());
        bytes(s.data(), s.size());
    }
    // Throws PostcardError(WriteFull) on any write failure.
    void flush();

private:
    AtomicWriteFile& file_;
    std::size_t len_ = 0;
    unsigned char buf_[kPostcardBuffer];
};

class PostcardReader {
public:
    explicit PostcardReader(ReadFile& file) : file_(file) {}
    std::uint8_t u8() {
        if (pos_ == len_) refill();
        return buf_[pos_++];
    }
    std::uint64_t varint_u64() { return varint(10, 0x01); }
    std::uint32_t varint_u32() { return static_cast<std::uint32_t>(varint(5, 0x0F)); }
    // A string of at most one scratch buffer, UTF-8 checked.
    std::string str();
    // Whether every byte of the file has been read (a read error counts as
    // the end).
    bool at_end();

private:
    std::uint64_t varint(int max_bytes, std::uint8_t max_last);
    void refill();

    ReadFile& file_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    unsigned char buf_[kPostcardBuffer];
};

}  // namespace tsl
