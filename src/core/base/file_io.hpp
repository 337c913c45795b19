// Files opened for one call: buffered reads from a file descriptor, and
// saves that replace a regular file only once everything was written.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace tsl {

// An operating-system failure, with the text "<strerror> (os error N)".
class OsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    static OsError from_errno(int err);
};

// Checks a path for an embedded NUL byte (OsError "file name contained an
// unexpected NUL byte").
void check_path(const std::string& path);

class ReadFile {
public:
    explicit ReadFile(const std::string& path);  // throws OsError
    ~ReadFile();
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    // Reads up to n bytes; returns the count, 0 at the end; -1 on a read error.
    long read(void* buf, std::size_t n);

private:
    int fd_ = -1;
};

// A file being saved.  The path is followed as `open` follows it (symbolic
// links included, a dangling link names the file to create), and the file it
// names is then written in one of two ways:
//  - atomically: a missing file, or a regular file with one link, is written
//    as a temporary file in its directory, given the existing file's owner and
//    permission bits (a new file gets 0o666 under the umask, as `open` would
//    give it), and `commit` renames it over the target;
//  - in place, as `open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666)` would:
//    anything that is not a regular file (a FIFO, a device), a file with more
//    hard links, a file mounted over another, a file not writable, and a file
//    whose owner, mode or directory does not allow the temporary file.
// Directory entries are reached through a descriptor of the directory, so a
// directory renamed or removed during the save leaves no temporary file
// behind.  Destroying an uncommitted save removes the temporary file and
// leaves the target as it was (a file written in place keeps what was
// written).
class AtomicWriteFile {
public:
    explicit AtomicWriteFile(const std::string& path);  // throws OsError
    ~AtomicWriteFile();
    AtomicWriteFile(const AtomicWriteFile&) = delete;
    AtomicWriteFile& operator=(const AtomicWriteFile&) = delete;
    // Writes everything; false on failure (errno kept in last_errno()).
    bool write_all(const void* data, std::size_t n);
    int last_errno() const { return errno_; }
    bool wrote_zero() const { return wrote_zero_; }
    // Closes the file; false when the system reports a failure (errno kept in
    // last_errno()), which callers treat as a failed write.
    bool close();
    // Renames the closed temporary file over the target (nothing to do for a
    // file written in place); throws OsError.
    void commit();

private:
    void open_target(const std::string& path);
    // Creates the temporary file beside `name_` in `dir_`; false when the
    // directory refuses it (permission, read-only file system).
    bool create_temp(mode_t mode);
    // Gives the temporary file the owner and permission bits of `target`;
    // false when they cannot be set.
    bool take_attributes(const struct stat& target);
    void open_in_place(int at, const char* name);
    // Closes and removes the temporary file.
    void drop_temp();
    // Closes everything, removing an uncommitted temporary file.
    void release();

    int dir_ = -1;       // the target's directory; -1 when opened by its path
    std::string name_;   // the target's name in dir_
    std::string temp_;   // the temporary file's name in dir_; empty in place
    int fd_ = -1;
    int errno_ = 0;
    bool wrote_zero_ = false;
    bool committed_ = false;
};

}  // namespace tsl
