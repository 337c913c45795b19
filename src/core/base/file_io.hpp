// Files opened for one call: buffered reads from a file descriptor, and
// saves that replace the target only once everything was written.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

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

// Writes into a temporary file beside the target; `commit` renames it over
// the target.  Destroying an uncommitted file removes the temporary file and
// leaves the target as it was.
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
    // Closes the temporary file; false when the system reports a failure
    // (errno kept in last_errno()), which callers treat as a failed write.
    bool close();
    // Renames the closed file over the target; throws OsError.
    void commit();

private:
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    int errno_ = 0;
    bool wrote_zero_ = false;
    bool committed_ = false;
};

}  // namespace tsl
