// Files opened for one call: buffered reads from a file descriptor, and
// saves that replace a regular file only once everything was written and
// synced.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
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
//    into a new file in its directory, which takes the existing file's
//    owner, permission bits and extended attributes, its ACL included (a new
//    file gets 0o666 under the umask, as `open` would give it).  `finish`
//    syncs its data; `commit` renames it over the target and syncs the
//    directory.  A save that fails or is killed before the rename leaves the
//    target as it was.  The new file is an unnamed one, named only just
//    before the rename, so a failed or killed save leaves nothing behind (a
//    kill in the instant between the naming and the rename can leave it).
//    Where the file system refuses unnamed files, it is a named temporary
//    file, `.<name>.tmp-XXXXXXXX`, from the start: a failed save removes it,
//    but a save killed before the rename leaves it behind, up to the full
//    size.  No save removes such files: another save may be writing them;
//  - in place: anything that is not a regular file (a FIFO, a device) is
//    written as `open(path, O_WRONLY | O_CREAT)` opens it; a regular file that
//    cannot be replaced (more hard links, mounted over another, not writable,
//    an owner, mode or attribute that the replacement cannot take, or a
//    directory that refuses the replacement) has its new content held in
//    memory until `finish`, which reserves the blocks of the final length
//    without changing the file's size, then writes the content over the old
//    one, cuts the file to its length where it is longer, and syncs it.  A
//    failure to reserve (a full disk, a size limit) leaves the old content
//    as it was, and so does a kill up to the first write (the blocks
//    reserved past the old end then stay with the file); a failure or a
//    kill during the final write leaves the file torn: new content up to
//    that point, old after it.  Where the file system cannot reserve blocks
//    past a file's end, the reservation extends the file to the final
//    length at once, with zeros after the old end, which a kill before the
//    write then leaves there.
// Directory entries are reached through a descriptor of the directory, so a
// directory renamed or removed during the save leaves no temporary file
// behind.  Only the file that the path names at the call is written: the
// entry written in place is opened without following links and without
// waiting, and must be the file checked (on an overlay, that file as the
// overlay copied it up to its upper layer for this writing or for another
// process's, since the check, with new inode numbers), else the path is
// resolved again, a few times at most, and the save goes on only once it
// names that file again, or, when that file was removed, once the path
// itself (through no link) names a free entry, where a new file is made
// (else OsError EAGAIN); a directory that went away fails as `open` reports
// it.  Only the checked file is waited for (a FIFO, for its reader), so a
// FIFO put in the entry's place after the check never holds the save.
// Destroying a save before `commit` leaves the target as it was,
// unless it is written in place: a regular file then has what `finish`
// wrote, a FIFO or device what was written to it.
class AtomicWriteFile {
public:
    explicit AtomicWriteFile(const std::string& path);  // throws OsError
    ~AtomicWriteFile();
    AtomicWriteFile(const AtomicWriteFile&) = delete;
    AtomicWriteFile& operator=(const AtomicWriteFile&) = delete;
    // Writes everything (a regular file written in place only holds it until
    // `finish`); false on failure (errno kept in last_errno()).
    bool write_all(const void* data, std::size_t n);
    int last_errno() const { return errno_; }
    bool wrote_zero() const { return wrote_zero_; }
    // Ends the writes: puts a held content in place, syncs the data to the
    // disk and closes a file written in place.  False when any of it fails
    // (errno kept in last_errno()), which callers treat as a failed write.
    bool finish();
    // Gives the finished replacement its name, renames it over the target and
    // syncs the directory (nothing to do in place).  Throws OsError when the
    // replacement cannot be put in place (the target is then as it was);
    // false, errno kept in last_errno(), when the directory cannot be synced
    // or the file not closed afterwards: the target then has the new content,
    // which a crash may still lose.
    bool commit();

private:
    using Attributes = std::vector<std::pair<std::string, std::string>>;
    enum class Way { Unnamed, Named, Held, Direct };

    void open_target(const std::string& path);
    // Creates the replacement in `dir_`: an unnamed file, else a named one;
    // false when the directory refuses it (permission, read-only file system).
    bool create_temp(mode_t mode);
    std::string temp_name(int attempt) const;
    // Reads the extended attributes of the target `name_` in `dir_`.
    bool read_target_attributes();
    // Gives the replacement the owner, permission bits and extended
    // attributes of `target_`; false when they cannot all be set.
    bool carry_attributes();
    // Opens the checked entry `name_` in `dir_` for writing in place: the
    // file of `checked` (st_mode 0: created, as it was missing), checked
    // through the descriptor `pin`, or that file as an overlay copied it up.
    // False when the entry is no longer what was checked.
    bool open_checked(const struct stat& checked, int pin);
    void open_by_path(const char* path);
    void started_in_place();
    bool write_held();
    bool fail(int err);
    // Closes and removes the temporary file.
    void drop_temp();
    // Closes everything, removing an uncommitted temporary file.
    void release();

    int dir_ = -1;       // the target's directory; -1 when opened by its path
    std::string name_;   // the target's name in dir_
    std::string temp_;   // the named temporary file in dir_; empty otherwise
    int fd_ = -1;
    Way way_ = Way::Direct;
    std::string held_;             // the content of a regular file written in place
    struct stat target_ {};        // the file replaced (st_mode 0 for a new one)
    Attributes attributes_;        // its extended attributes
    bool created_ = false;         // a file created in place
    off_t written_ = 0;            // bytes written to the replacement
    off_t started_ = 0;            // of which those whose writing to the disk was started
    int errno_ = 0;
    bool wrote_zero_ = false;
    bool committed_ = false;
};

// For the unit test of this layer only: a function called between the check
// of an entry to be written in place (its directory and name; an existing
// entry is checked through a descriptor that pins it) and its opening, where
// a concurrent change must be caught.  Null by default.
using CheckToOpenHook = void (*)(int dir, const char* name);
void set_check_to_open_hook(CheckToOpenHook hook);

}  // namespace tsl
