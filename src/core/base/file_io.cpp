#include "base/file_io.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsl {

OsError OsError::from_errno(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant
    return OsError(std::string(text) + " (os error " + std::to_string(err) + ")");
}

void check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw OsError("file name contained an unexpected NUL byte");
}

ReadFile::ReadFile(const std::string& path) {
    check_path(path);
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw OsError::from_errno(errno);
}

ReadFile::~ReadFile() {
    if (fd_ >= 0) ::close(fd_);
}

long ReadFile::read(void* buf, std::size_t n) {
    for (;;) {
        ssize_t r = ::read(fd_, buf, n);
        if (r >= 0) return static_cast<long>(r);
        if (errno != EINTR) return -1;
    }
}

AtomicWriteFile::AtomicWriteFile(const std::string& path) : target_(path) {
    check_path(path);
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // The temporary file is created exclusively with mode 0o666, so the
    // system applies the umask as for an ordinary create (reading the umask
    // would mean setting it, which races with other threads creating files).
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0;; ++attempt) {
        std::uint64_t r = 0;
        if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
            timespec ts{};
            ::clock_gettime(CLOCK_REALTIME, &ts);
            r = (static_cast<std::uint64_t>(ts.tv_nsec) << 20) ^ static_cast<std::uint64_t>(ts.tv_sec) ^
                (static_cast<std::uint64_t>(::getpid()) << 40);
        }
        r ^= static_cast<std::uint64_t>(attempt) * 0x9E3779B97F4A7C15u ^ reinterpret_cast<std::uintptr_t>(this);
        // A long target name leaves the temporary name short enough.
        std::string name = dir + "." + (base.size() > 200 ? std::string() : base) + ".tmp-";
        for (int k = 0; k < 8; ++k, r /= 62) name += kChars[r % 62];
        do {
            fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ >= 0) {
            temp_ = std::move(name);
            return;
        }
        if (errno != EEXIST || attempt == 100) throw OsError::from_errno(errno);
    }
}

AtomicWriteFile::~AtomicWriteFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

bool AtomicWriteFile::write_all(const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
            return false;
        }
        if (w == 0) {
            wrote_zero_ = true;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool AtomicWriteFile::close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) {
        errno_ = errno;
        return false;
    }
    return true;
}

void AtomicWriteFile::commit() {
    if (!close()) throw OsError::from_errno(errno_);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) throw OsError::from_errno(errno);
    committed_ = true;
}

}  // namespace tsl
