#include "state/random.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/panic.hpp"

namespace tsl {

namespace {

// "{description} (os error {code})", the usual form of an OS error's text.
[[noreturn]] void panic_os_error(int code) {
    char buf[256];
    // GNU strerror_r: returns a pointer to the text (maybe not into buf).
    const char* text = strerror_r(code, buf, sizeof buf);
    panic("from_os_rng failed: " + std::string(text) + " (os error " + std::to_string(code) + ")");
}

// getrandom(2) through syscall(2): older C libraries have no wrapper.
// Returns 0 on success, else the errno that stopped it.
int fill_getrandom(std::uint8_t* p, std::size_t n) {
    while (n) {
        const long got = syscall(SYS_getrandom, p, n, 0u);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return 0;
}

void fill_urandom(std::uint8_t* p, std::size_t n) {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) panic_os_error(errno);
    while (n) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            panic_os_error(err);
        }
        if (got == 0) {  // cannot happen for a character device; do not spin
            ::close(fd);
            panic_os_error(EIO);
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    ::close(fd);
}

// One row of the 4 x 4 state: the four quarter rounds of a half round run
// side by side, one per lane.
using Row = std::uint32_t __attribute__((vector_size(16)));

inline Row rotl(Row x, int b) { return (x << b) | (x >> (32 - b)); }

inline void quarter(Row& a, Row& b, Row& c, Row& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

void fill_os_random(void* buf, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(buf);
    const int err = fill_getrandom(p, n);
    if (err == 0) return;
    // No system call (old kernel) or filtered out by a sandbox: read the device.
    if (err == ENOSYS || err == EPERM) return fill_urandom(p, n);
    panic_os_error(err);
}

template <unsigned Rounds>
ChaChaRng<Rounds>::ChaChaRng(const Seed& seed) {
    for (std::size_t i = 0; i < 8; ++i)
        key_[i] = std::uint32_t(seed[4 * i]) | std::uint32_t(seed[4 * i + 1]) << 8 |
                  std::uint32_t(seed[4 * i + 2]) << 16 | std::uint32_t(seed[4 * i + 3]) << 24;
}

template <unsigned Rounds>
ChaChaRng<Rounds> ChaChaRng<Rounds>::from_os_rng() {
    Seed seed;
    fill_os_random(seed.data(), seed.size());
    return ChaChaRng(seed);
}

template <unsigned Rounds>
void ChaChaRng<Rounds>::refill() {
    const Row in[4] = {
        {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u},  // "expand 32-byte k"
        {key_[0], key_[1], key_[2], key_[3]},
        {key_[4], key_[5], key_[6], key_[7]},
        {static_cast<std::uint32_t>(counter_), static_cast<std::uint32_t>(counter_ >> 32), 0u, 0u},
    };
    Row a = in[0], b = in[1], c = in[2], d = in[3];
    for (unsigned r = 0; r < Rounds; r += 2) {
        // Columns (0 4 8 12) ... (3 7 11 15).
        quarter(a, b, c, d);
        // Diagonals (0 5 10 15) ... (3 4 9 14): rows turned left by 1, 2, 3.
        b = __builtin_shuffle(b, Row{1, 2, 3, 0});
        c = __builtin_shuffle(c, Row{2, 3, 0, 1});
        d = __builtin_shuffle(d, Row{3, 0, 1, 2});
        quarter(a, b, c, d);
        b = __builtin_shuffle(b, Row{3, 0, 1, 2});
        c = __builtin_shuffle(c, Row{2, 3, 0, 1});
        d = __builtin_shuffle(d, Row{1, 2, 3, 0});
    }
    const Row out[4] = {a + in[0], b + in[1], c + in[2], d + in[3]};
    std::memcpy(buf_.data(), out, sizeof out);
    ++counter_;
    idx_ = 0;
}

template class ChaChaRng<12>;
template class ChaChaRng<20>;

}  // namespace tsl
