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

namespace {

int open_at(int at, const char* name, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(at, name, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

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
    fd_ = open_at(AT_FDCWD, path.c_str(), O_RDONLY);
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

namespace {

// Opens the directory of `path` (relative to `at`) into `dir` and leaves the
// last name in `name`.  False when the path ends in a slash or its directory
// cannot be opened: the path is then left to `open`, which reports why.
bool split_open(int at, const std::string& path, int& dir, std::string& name) {
    const auto slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string dirpath = slash == std::string::npos ? std::string(".")
                                : slash == 0                ? std::string("/")
                                                            : path.substr(0, slash);
    dir = name.empty() ? -1 : open_at(at, dirpath.c_str(), O_PATH | O_DIRECTORY);
    return dir >= 0;
}

// Follows `name` in `dir` through symbolic links, leaving the final entry's
// directory in `dir`, its name in `name` and its status in `st` (st_mode 0
// when it does not exist).  False when the walk must be left to `open`: a
// loop, an error, or an end other than the one the kernel reaches for `path`
// (a link the kernel refuses to follow, /proc's descriptor links, which name
// no path, or entries changed meanwhile).
bool follow_links(const std::string& path, int& dir, std::string& name, struct stat& st) {
    bool linked = false;
    for (int hops = 0;; ++hops) {
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return false;
            st.st_mode = 0;
            break;
        }
        if (!S_ISLNK(st.st_mode)) break;
        if (hops == 40) return false;
        linked = true;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(n));
        const int from = dir;
        const bool ok = split_open(from, target, dir, name);
        ::close(from);
        if (!ok) return false;
    }
    if (!linked) return true;
    struct stat kernel;
    if (::stat(path.c_str(), &kernel) != 0) return errno == ENOENT && st.st_mode == 0;
    return st.st_mode != 0 && kernel.st_dev == st.st_dev && kernel.st_ino == st.st_ino;
}

// Whether `name` in `dir` is mounted over (a file bind-mounted in place),
// which a rename cannot replace.
bool mount_point(int dir, const std::string& name, const struct stat& st) {
    struct stat ds;
    if (::fstat(dir, &ds) != 0 || ds.st_dev != st.st_dev) return true;
    struct statx sx;
    return ::statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, 0, &sx) == 0 &&
           (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

}  // namespace

AtomicWriteFile::AtomicWriteFile(const std::string& path) {
    check_path(path);
    try {
        open_target(path);
    } catch (...) {
        release();
        throw;
    }
}

AtomicWriteFile::~AtomicWriteFile() { release(); }

void AtomicWriteFile::open_target(const std::string& path) {
    struct stat st{};
    if (!split_open(AT_FDCWD, path, dir_, name_) || !follow_links(path, dir_, name_, st)) {
        if (dir_ >= 0) ::close(dir_);
        dir_ = -1;
        open_in_place(AT_FDCWD, path.c_str());
        return;
    }
    if (st.st_mode == 0) {
        // A new file: created with mode 0o666 so that the system applies the
        // umask (or the directory's default ACL) as for an ordinary create;
        // reading the umask would mean setting it, which races with other
        // threads creating files.
        if (!create_temp(0666)) open_in_place(dir_, name_.c_str());
        return;
    }
    // An existing file is replaced only when the result is what an in-place
    // write would leave: a regular file with the same owner and mode, whose
    // only name shows the new content, and one the caller may write.  All
    // else goes through `open`, which also reports why a file cannot be
    // written.
    const bool replace = S_ISREG(st.st_mode) && st.st_nlink == 1 && !mount_point(dir_, name_, st) &&
                         ::faccessat(dir_, name_.c_str(), W_OK, AT_EACCESS) == 0;
    if (replace && create_temp(0600)) {
        if (take_attributes(st)) return;
        drop_temp();
    }
    open_in_place(dir_, name_.c_str());
}

bool AtomicWriteFile::create_temp(mode_t mode) {
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
        std::string name(".");
        if (name_.size() <= 200) name += name_;
        name += ".tmp-";
        for (int k = 0; k < 8; ++k, r /= 62) name += kChars[r % 62];
        fd_ = open_at(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
        if (fd_ >= 0) {
            temp_ = std::move(name);
            return true;
        }
        if (errno == EACCES || errno == EPERM || errno == EROFS) return false;
        if (errno != EEXIST || attempt == 100) throw OsError::from_errno(errno);
    }
}

bool AtomicWriteFile::take_attributes(const struct stat& target) {
    struct stat now;
    if (::fstat(fd_, &now) != 0) return false;
    // The owner first: changing it clears the set-user-ID and set-group-ID bits.
    if ((now.st_uid != target.st_uid || now.st_gid != target.st_gid) &&
        ::fchown(fd_, now.st_uid == target.st_uid ? static_cast<uid_t>(-1) : target.st_uid,
                 now.st_gid == target.st_gid ? static_cast<gid_t>(-1) : target.st_gid) != 0)
        return false;
    return ::fchmod(fd_, target.st_mode & 07777) == 0;
}

void AtomicWriteFile::open_in_place(int at, const char* name) {
    fd_ = open_at(at, name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd_ < 0) throw OsError::from_errno(errno);
}

void AtomicWriteFile::drop_temp() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlinkat(dir_, temp_.c_str(), 0);
    temp_.clear();
}

void AtomicWriteFile::release() {
    if (committed_) temp_.clear();
    drop_temp();
    if (dir_ >= 0) ::close(dir_);
    dir_ = -1;
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
    if (!temp_.empty() && ::renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0) throw OsError::from_errno(errno);
    committed_ = true;
}

}  // namespace tsl
