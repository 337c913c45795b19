#include "base/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
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

// A descriptor, closed with its holder.
class Descriptor {
public:
    Descriptor() = default;
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    void swap(Descriptor& other) { std::swap(fd_, other.fd_); }

private:
    int fd_ = -1;
};

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
// directory in `dir`, its name in `name`, its status in `st` (st_mode 0 when
// it does not exist) and, when it exists, a descriptor of it in `pin`.  Each
// entry is checked through such a descriptor (O_PATH, which opens nothing:
// no FIFO waits, no device acts, no file is copied up), taken without
// following links: the file checked stays known as that file whatever
// becomes of the entry afterwards.  False when the walk must be left to
// `open`: a loop, an error, or an end other than the one the kernel reaches
// for `path` (a link the kernel refuses to follow, /proc's descriptor links,
// which name no path, or entries changed meanwhile).
bool follow_links(const std::string& path, int& dir, std::string& name, struct stat& st, Descriptor& pin) {
    bool linked = false;
    for (int hops = 0;; ++hops) {
        pin.reset(open_at(dir, name.c_str(), O_PATH | O_NOFOLLOW));
        if (pin.get() < 0) {
            if (errno != ENOENT) return false;
            st.st_mode = 0;
            break;
        }
        if (::fstat(pin.get(), &st) != 0) return false;
        if (!S_ISLNK(st.st_mode)) break;
        pin.reset();
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

// How often an entry written in place is resolved again when it changed
// between its check and its opening.
constexpr int kResolveRounds = 8;

// How much of a replacement is written before its writing to the disk starts.
constexpr off_t kWriteBehind = off_t(1) << 20;

CheckToOpenHook check_to_open_hook = nullptr;

// Reads every extended attribute through `list` (listxattr-like) and `get`
// (getxattr-like) into `out`.  A file system without attributes has none;
// false on any other failure.
template <class List, class Get>
bool read_attributes(List list, Get get, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    std::string names;
    for (;;) {
        ssize_t n = list(nullptr, 0);
        if (n < 0) return errno == ENOTSUP;
        names.resize(static_cast<std::size_t>(n));
        n = list(names.data(), names.size());
        if (n >= 0) {
            names.resize(static_cast<std::size_t>(n));
            break;
        }
        if (errno != ERANGE) return false;  // else the list grew meanwhile
    }
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        std::string value;
        ssize_t n;
        for (;;) {
            n = get(name.c_str(), nullptr, 0);
            if (n < 0) break;
            value.resize(static_cast<std::size_t>(n));
            n = get(name.c_str(), value.data(), value.size());
            if (n >= 0 || errno != ERANGE) break;  // else the value grew meanwhile
        }
        if (n < 0) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return false;
        }
        value.resize(static_cast<std::size_t>(n));
        out.emplace_back(name, std::move(value));
    }
    return true;
}

// Syncs a file, or the directory entries of a directory; file systems that
// have nothing to sync answer EINVAL.
bool sync_fd(int fd, bool data_only) {
    const int rc = data_only ? ::fdatasync(fd) : ::fsync(fd);
    return rc == 0 || errno == EINVAL;
}

// Makes the entries of `dir` durable: through a descriptor that can be
// synced (an O_PATH one cannot); where the caller may not read the
// directory, by syncing the file system of the open file `fd`.
bool sync_dir(int dir, int fd) {
    const int d = open_at(dir, ".", O_RDONLY | O_DIRECTORY);
    if (d < 0) return (errno == EACCES || errno == EPERM) && ::syncfs(fd) == 0;
    const bool ok = sync_fd(d, false);
    const int err = errno;
    ::close(d);
    errno = err;
    return ok;
}

enum class Put { Done, Zero, Failed };

// Writes all `n` bytes, at offset `at` (-1: at the file offset); Zero when
// the system wrote nothing, Failed with errno set.
Put put_all(int fd, const void* data, std::size_t n, off_t at) {
    const auto* p = static_cast<const char*>(data);
    while (n) {
        const ssize_t w = at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, at);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Put::Failed;
        }
        if (w == 0) return Put::Zero;
        p += w;
        n -= static_cast<std::size_t>(w);
        if (at >= 0) at += w;
    }
    return Put::Done;
}

int allocate(int fd, int mode, off_t len) {
    int rc;
    do {
        rc = ::fallocate(fd, mode, 0, len);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Reserves the first `len` bytes of the file `fd` of size `size` without
// shrinking it; false, errno set, when the space is not there.  The blocks
// are reserved without changing the size, so that the file grows only as
// the new content is written: until then a reader, or a kill, sees the old
// file as it was.  A file system that cannot reserve past the end gets the
// length at once (as zeros after the old end), one without reservations
// gets those zeros written, unless it has no storage (the system's own
// files, which take no zeros).
bool reserve(int fd, off_t len, off_t size) {
    if (allocate(fd, FALLOC_FL_KEEP_SIZE, len) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    if (allocate(fd, 0, len) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    struct statfs sfs;
    if (::fstatfs(fd, &sfs) != 0 || sfs.f_blocks == 0 || len <= size) return true;
    static const char zeros[65536] = {};
    for (off_t at = size; at < len;) {
        const auto n = static_cast<std::size_t>(std::min<off_t>(len - at, sizeof zeros));
        const Put put = put_all(fd, zeros, n, at);
        if (put != Put::Done) {
            if (put == Put::Zero) errno = ENOSPC;
            return false;
        }
        at += static_cast<off_t>(n);
    }
    return true;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the descriptors `a` and `b` hold the same file, by the numbers
// both show now.
bool same_pinned(int a, int b) {
    struct stat sa, sb;
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && same_file(sa, sb);
}

// Whether the entry `name` of `dir`, not followed through a link, names the
// file that the descriptor `fd` holds, by the numbers both show now.
bool names_file(int dir, const char* name, int fd) {
    struct stat entry, held;
    return ::fstatat(dir, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &held) == 0 &&
           same_file(entry, held);
}

// Opens for writing the file that the O_PATH descriptor `pin` holds, waiting
// as `open` waits (for a FIFO's reader, for another process to give up its
// lease).  Where /proc is missing, through the entry `name` of `dir`, which
// named that file just before.
int reopen_pinned(int dir, const char* name, int pin) {
    const std::string proc = "/proc/self/fd/" + std::to_string(pin);
    const int fd = open_at(AT_FDCWD, proc.c_str(), O_WRONLY);
    if (fd >= 0 || errno != ENOENT) return fd;
    return open_at(dir, name, O_WRONLY | O_NOFOLLOW);
}

// Whether the file `fd` (status `opened`), opened for writing through the
// entry `name` of `dir`, is the checked file (status `checked`) as the
// overlay file system copied it up; `pin` is the descriptor of the entry
// through which it was checked, taken without following links.  Opening a
// lower-layer file of an overlay for writing copies it to the upper layer
// first (this opening, or one by another process at any time after the
// check), and where the overlay cannot keep its inode number (a file
// hard-linked in the lower layer, whose links the copy breaks; layers on
// different file systems) the file then shows a new inode number, and maybe
// a new device: the opened file is no longer the checked one by those
// numbers.  It is the same file when:
//  - the overlay holds it (its file system is the overlay), and
//  - the pinned file now shows the opened file's numbers.  An overlay file
//    shows the numbers of the layer that holds it now, also through a
//    descriptor opened before the copy, and distinct files never show the
//    same numbers: a file put in the entry's place after the pin (even one
//    identical in every attribute) keeps numbers of its own, and the pinned
//    file, gone from the entry, never takes them; and
//  - the entry names the opened file now, and the copy kept what a copy
//    keeps: the file type, permission bits and owner.  The link count is
//    not compared (the copy has one link where the lower file had more), nor
//    the size, which a concurrent writer changes on any file system.
// So only the file the path named at the check is written, as on other file
// systems, and the entry was never followed through a link (O_NOFOLLOW).
bool copied_up(int dir, const char* name, int pin, int fd, const struct stat& checked, const struct stat& opened) {
    struct statfs sfs;
    struct stat pinned, entry;
    return ::fstatfs(fd, &sfs) == 0 && sfs.f_type == OVERLAYFS_SUPER_MAGIC && ::fstat(pin, &pinned) == 0 &&
           same_file(pinned, opened) && ::fstatat(dir, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(entry, opened) && opened.st_mode == checked.st_mode && opened.st_uid == checked.st_uid &&
           opened.st_gid == checked.st_gid;
}

}  // namespace

void set_check_to_open_hook(CheckToOpenHook hook) { check_to_open_hook = hook; }

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
    // Only the file the path names at the first check is written: an entry
    // that changes before it is opened in place is resolved again, and the
    // save goes on only when the path names that file again, or when that
    // file went away and the path itself, through no link, names a free
    // entry (a new file then takes it, as `open` would create it).  The
    // checked file is held by the descriptor it was checked through, and the
    // entry is compared with that file as it is then: an overlay may have
    // copied it up meanwhile, for another process that opened it for
    // writing, and it then shows the numbers of its copy.
    struct stat checked{};
    Descriptor checked_pin;
    for (int round = 1;; ++round) {
        struct stat st{};
        Descriptor pin;
        const bool found_dir = split_open(AT_FDCWD, path, dir_, name_);
        const int dir_err = errno;
        struct stat path_dir{};
        const std::string path_name = name_;
        if (found_dir && ::fstat(dir_, &path_dir) != 0) throw OsError::from_errno(errno);
        const bool walked = found_dir && follow_links(path, dir_, name_, st, pin);
        if (!walked && round == 1) {
            if (dir_ >= 0) ::close(dir_);
            dir_ = -1;
            open_by_path(path.c_str());
            return;
        }
        // A directory that went away meanwhile fails the save as `open`
        // would report it.
        if (!found_dir) throw OsError::from_errno(dir_err);
        if (round == 1) {
            checked = st;
            checked_pin.swap(pin);
        } else if (walked && st.st_mode == 0 && name_ == path_name) {
            struct stat end_dir;
            if (::fstat(dir_, &end_dir) != 0) throw OsError::from_errno(errno);
            if (end_dir.st_dev == path_dir.st_dev && end_dir.st_ino == path_dir.st_ino) {
                checked = st;
                checked_pin.reset();
            }
        }
        // The entry's descriptor: in the first round, the checked file's own.
        const int entry_pin = round == 1 ? checked_pin.get() : pin.get();
        const bool same = walked && (st.st_mode == 0 ? checked.st_mode == 0
                                                     : checked.st_mode != 0 &&
                                                           (round == 1 || same_pinned(entry_pin, checked_pin.get())));
        if (same && st.st_mode == 0) {
            // A new file: created with mode 0o666 so that the system applies
            // the umask (or the directory's default ACL) as for an ordinary
            // create; reading the umask would mean setting it, which races
            // with other threads creating files.
            if (create_temp(0666)) return;
        } else if (same) {
            // An existing file is replaced only when the result is what an
            // in-place write would leave: a regular file with the same owner,
            // mode and attributes, whose only name shows the new content, and
            // one the caller may write.  All else is opened in place, which
            // also reports why a file cannot be written.
            const bool replace = S_ISREG(st.st_mode) && st.st_nlink == 1 && !mount_point(dir_, name_, st) &&
                                 ::faccessat(dir_, name_.c_str(), W_OK, AT_EACCESS) == 0;
            if (replace && read_target_attributes() && create_temp(0600)) {
                target_ = st;
                if (carry_attributes()) return;
                drop_temp();
                target_ = {};
            }
        }
        if (same && open_checked(st, entry_pin)) return;
        if (dir_ >= 0) ::close(dir_);
        dir_ = -1;
        if (round == kResolveRounds) throw OsError::from_errno(EAGAIN);
    }
}

std::string AtomicWriteFile::temp_name(int attempt) const {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uint64_t r = 0;
    if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        r = (static_cast<std::uint64_t>(ts.tv_nsec) << 20) ^ static_cast<std::uint64_t>(ts.tv_sec) ^
            (static_cast<std::uint64_t>(::getpid()) << 40);
    }
    r ^= static_cast<std::uint64_t>(attempt) * 0x9E3779B97F4A7C15u ^ reinterpret_cast<std::uintptr_t>(this);
    // A long target name is cut (at a character boundary) to leave room.
    std::size_t keep = std::min<std::size_t>(name_.size(), 200);
    while (keep < name_.size() && keep > 0 && (static_cast<unsigned char>(name_[keep]) & 0xC0) == 0x80) --keep;
    std::string name = ".";
    name.append(name_, 0, keep);
    name += ".tmp-";
    for (int k = 0; k < 8; ++k, r /= 62) name += kChars[r % 62];
    return name;
}

bool AtomicWriteFile::create_temp(mode_t mode) {
    // An unnamed file leaves nothing behind when the process dies.
    fd_ = open_at(dir_, ".", O_WRONLY | O_TMPFILE, mode);
    if (fd_ >= 0) {
        way_ = Way::Unnamed;
        return true;
    }
    // Every refusal is left to the named file, which reports it.
    for (int attempt = 0;; ++attempt) {
        std::string name = temp_name(attempt);
        fd_ = open_at(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
        if (fd_ >= 0) {
            temp_ = std::move(name);
            way_ = Way::Named;
            return true;
        }
        if (errno == EACCES || errno == EPERM || errno == EROFS) return false;
        if (errno != EEXIST || attempt == 100) throw OsError::from_errno(errno);
    }
}

bool AtomicWriteFile::read_target_attributes() {
    // By a path through the directory's descriptor, which needs no access to
    // the file; without /proc through a descriptor of the file.
    const std::string path = "/proc/self/fd/" + std::to_string(dir_) + "/" + name_;
    if (read_attributes([&](char* b, std::size_t n) { return ::llistxattr(path.c_str(), b, n); },
                        [&](const char* a, void* b, std::size_t n) { return ::lgetxattr(path.c_str(), a, b, n); },
                        attributes_))
        return true;
    const int fd = open_at(dir_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    const bool ok = read_attributes([&](char* b, std::size_t n) { return ::flistxattr(fd, b, n); },
                                    [&](const char* a, void* b, std::size_t n) { return ::fgetxattr(fd, a, b, n); },
                                    attributes_);
    ::close(fd);
    return ok;
}

bool AtomicWriteFile::carry_attributes() {
    const struct stat& t = target_;
    struct stat now;
    if (::fstat(fd_, &now) != 0) return false;
    // The owner first: changing it clears the set-user-ID and set-group-ID
    // bits and file capabilities.
    if ((now.st_uid != t.st_uid || now.st_gid != t.st_gid) &&
        ::fchown(fd_, now.st_uid == t.st_uid ? static_cast<uid_t>(-1) : t.st_uid,
                 now.st_gid == t.st_gid ? static_cast<gid_t>(-1) : t.st_gid) != 0)
        return false;
    // Then the attributes, exactly the target's: an ACL inherited from the
    // directory goes, security labels that the system gave stay unless the
    // target has others.
    Attributes have;
    if (!read_attributes([&](char* b, std::size_t n) { return ::flistxattr(fd_, b, n); },
                         [&](const char* a, void* b, std::size_t n) { return ::fgetxattr(fd_, a, b, n); }, have))
        return false;
    const auto find = [](const Attributes& in, const std::string& name) {
        return std::find_if(in.begin(), in.end(), [&](const auto& a) { return a.first == name; });
    };
    for (const auto& [name, value] : have)
        if (find(attributes_, name) == attributes_.end() && name.rfind("security.", 0) != 0 &&
            ::fremovexattr(fd_, name.c_str()) != 0)
            return false;
    for (const auto& [name, value] : attributes_) {
        const auto mine = find(have, name);
        if ((mine == have.end() || mine->second != value) &&
            ::fsetxattr(fd_, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    }
    // The mode last; with an ACL its group bits are the ACL's mask, which
    // the ACL just copied already holds.  Bits the system refused to set
    // (a set-group-ID bit for a group the caller is not in) fail the check.
    if (::fchmod(fd_, t.st_mode & 07777) != 0 || ::fstat(fd_, &now) != 0) return false;
    if (now.st_uid == t.st_uid && now.st_gid == t.st_gid && (now.st_mode & 07777) == (t.st_mode & 07777)) return true;
    errno = EPERM;
    return false;
}

bool AtomicWriteFile::open_checked(const struct stat& checked, int pin) {
    if (checked.st_mode == 0) {
        if (check_to_open_hook) check_to_open_hook(dir_, name_.c_str());
        fd_ = open_at(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        if (fd_ < 0) {
            if (errno == EEXIST) return false;
            throw OsError::from_errno(errno);
        }
        created_ = true;
        started_in_place();
        return true;
    }
    // The entry was checked through `pin`; the opening for writing, which
    // follows no link either, must give that file.  It waits for nothing: a
    // FIFO or device put in the entry's place since the check must not hold
    // the save (a FIFO without a reader would hold it for ever).  Where the
    // opening would wait, the entry is compared with the checked file first,
    // and only that file is then opened again, through its pin, waiting as
    // `open` waits: a FIFO written as the bytes come, for its reader.
    if (check_to_open_hook) check_to_open_hook(dir_, name_.c_str());
    fd_ = open_at(dir_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
    bool reopened = false;
    if (fd_ < 0 && (errno == ENXIO || errno == EWOULDBLOCK)) {
        if (!names_file(dir_, name_.c_str(), pin)) return false;
        fd_ = reopen_pinned(dir_, name_.c_str(), pin);
        reopened = true;
    }
    struct stat st;
    int err = 0;
    bool same = false;
    if (fd_ < 0) {
        err = errno;
        if (err == ELOOP || err == ENOENT) err = 0;
    } else if (::fstat(fd_, &st) != 0) {
        err = errno;
    } else {
        same = same_file(st, checked) || copied_up(dir_, name_.c_str(), pin, fd_, checked, st);
        // Opened through the pin, the file must still be the entry's.
        if (same && reopened) same = names_file(dir_, name_.c_str(), fd_);
    }
    // The writes wait as they would have: for a FIFO's reader to make room.
    if (err == 0 && same) {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ((flags & O_NONBLOCK) && ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)) err = errno;
    }
    if (err != 0 || !same) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (err != 0) throw OsError::from_errno(err);
        return false;
    }
    started_in_place();
    return true;
}

void AtomicWriteFile::open_by_path(const char* path) {
    fd_ = open_at(AT_FDCWD, path, O_WRONLY | O_CREAT, 0666);
    if (fd_ < 0) throw OsError::from_errno(errno);
    started_in_place();
}

void AtomicWriteFile::started_in_place() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw OsError::from_errno(errno);
    way_ = S_ISREG(st.st_mode) ? Way::Held : Way::Direct;
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

bool AtomicWriteFile::fail(int err) {
    errno_ = err;
    return false;
}

bool AtomicWriteFile::write_all(const void* data, std::size_t n) {
    if (way_ == Way::Held) {
        held_.append(static_cast<const char*>(data), n);
        return true;
    }
    const Put put = put_all(fd_, data, n, -1);
    if (put != Put::Done) {
        wrote_zero_ = put == Put::Zero;
        return fail(wrote_zero_ ? 0 : errno);
    }
    // The replacement's data goes to the disk while the rest is encoded, so
    // that the sync in `finish` waits for little more than the last part;
    // failures show there.
    written_ += n;
    if ((way_ == Way::Unnamed || way_ == Way::Named) && written_ - started_ >= kWriteBehind) {
        (void)::sync_file_range(fd_, started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return true;
}

bool AtomicWriteFile::write_held() {
    const auto len = static_cast<off_t>(held_.size());
    // What the size limit refuses fails before the first byte: the kernel
    // would let the writes through up to the limit, and holds no reservation
    // that keeps the size to it.
    struct rlimit lim;
    if (::getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && held_.size() > lim.rlim_cur)
        return fail(EFBIG);
    struct stat old;
    if (::fstat(fd_, &old) != 0) return fail(errno);
    // The final length is reserved first, so that a full disk fails before
    // the old content changes.  What a failed reservation took is given
    // back: blocks past the old end, and the length where the file system
    // could only reserve by extending the file.
    if (len > 0 && !reserve(fd_, len, old.st_size)) {
        const int err = errno;
        struct stat now;
        if (::fstat(fd_, &now) == 0 && (now.st_size > old.st_size || now.st_blocks > old.st_blocks))
            (void)::ftruncate(fd_, old.st_size);
        return fail(err);
    }
    const Put put = put_all(fd_, held_.data(), held_.size(), 0);
    if (put != Put::Done) {
        wrote_zero_ = put == Put::Zero;
        return fail(wrote_zero_ ? 0 : errno);
    }
    // Cut only a file that is longer: some file systems refuse to cut a file
    // to the length it has.
    struct stat now;
    if (::fstat(fd_, &now) != 0) return fail(errno);
    if ((now.st_size != len && ::ftruncate(fd_, len) != 0) || !sync_fd(fd_, false)) return fail(errno);
    // A file created here needs its directory entry synced too.
    if (created_ && dir_ >= 0 && !sync_dir(dir_, fd_)) return fail(errno);
    return true;
}

bool AtomicWriteFile::finish() {
    if (fd_ < 0) return true;
    bool ok = true;
    if (way_ == Way::Held) {
        ok = write_held();
        held_ = std::string();
    } else if (way_ == Way::Unnamed || way_ == Way::Named) {
        // A write by a caller without the capability to keep them clears
        // set-ID bits and file capabilities: they are given back.  A target
        // with neither loses nothing to the writes.
        const bool capable = std::any_of(attributes_.begin(), attributes_.end(),
                                         [](const auto& a) { return a.first == "security.capability"; });
        const bool clearable = target_.st_mode != 0 && ((target_.st_mode & (S_ISUID | S_ISGID)) || capable);
        if (clearable && !carry_attributes()) return fail(errno);
        return sync_fd(fd_, true) || fail(errno);
    }
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR && ok) return fail(errno);
    return ok;
}

bool AtomicWriteFile::commit() {
    if (committed_ || (way_ != Way::Unnamed && way_ != Way::Named)) {
        committed_ = true;
        return true;
    }
    if (way_ == Way::Unnamed) {
        // The name, only now: without the capability to link a descriptor,
        // through the descriptor's entry in /proc.
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0;; ++attempt) {
            std::string name = temp_name(attempt);
            int rc = ::linkat(fd_, "", dir_, name.c_str(), AT_EMPTY_PATH);
            if (rc != 0 && errno != EEXIST) rc = ::linkat(AT_FDCWD, proc.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW);
            if (rc == 0) {
                temp_ = std::move(name);
                break;
            }
            if (errno != EEXIST || attempt == 100) throw OsError::from_errno(errno);
        }
    }
    if (::renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0) throw OsError::from_errno(errno);
    committed_ = true;
    temp_.clear();
    bool ok = sync_dir(dir_, fd_) || fail(errno);
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR && ok) ok = fail(errno);
    return ok;
}

}  // namespace tsl
