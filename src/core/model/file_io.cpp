#include "file_io.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    std::string templ = dir + "." + base + ".tmp-XXXXXX";
    fd_ = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd_ < 0) throw OsError::from_errno(errno);
    temp_ = templ;
    // Files are created with mode 0o666 less the umask, as an ordinary create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
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
