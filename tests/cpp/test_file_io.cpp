// Saves through the file layer: the replacement has no name while it is
// written, the named replacement where unnamed files are refused, failed
// syncs, and an entry written in place that is swapped for a link or for
// another file (also on an overlay, whose copy-up changes a file's inode),
// or removed, between its check and its opening.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "base/file_io.hpp"
#include "check.hpp"
#include "search/ecc_file.hpp"
#include "search/quartz.hpp"

using namespace tsl;
namespace fs = std::filesystem;

namespace {

bool refuse_unnamed = false;
enum class FailSync { None, Data, Directory } fail_sync = FailSync::None;
// What a file system may refuse: reserving space past a file's end, any
// reservation, cutting a file to the length it has (a FUSE vfat).
enum class Refuse { None, KeepSize, Allocate, SameLengthCut } refuse = Refuse::None;

}  // namespace

// Stands in for the C library's openat, so that a case can refuse unnamed
// files as file systems without them do.
extern "C" int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (refuse_unnamed && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}

// Stand in for the C library's syncs, so that a case can make those of the
// data (fdatasync) or those of files and directories (fsync) fail as a
// failing disk does.
extern "C" int fdatasync(int fd) {
    if (fail_sync == FailSync::Data) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

extern "C" int fsync(int fd) {
    if (fail_sync == FailSync::Directory) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

// Stand in for the C library's fallocate and ftruncate, so that a case can
// refuse them as some file systems do.
extern "C" int fallocate(int fd, int mode, off_t offset, off_t len) {
    if ((refuse == Refuse::KeepSize && (mode & FALLOC_FL_KEEP_SIZE)) || refuse == Refuse::Allocate) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fallocate, fd, mode, offset, len));
}

extern "C" int ftruncate(int fd, off_t length) {
    struct stat st;
    if (refuse == Refuse::SameLengthCut && ::fstat(fd, &st) == 0 && st.st_size == length) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_ftruncate, fd, length));
}

namespace {

// A directory of the case's own, removed with everything in it.
struct TempDir {
    check::ScratchDir dir;
    fs::path path{dir.path()};
    ~TempDir() { fs::remove_all(path); }
};

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// One save of `text` that is committed or, with `keep` false, dropped after
// its writes; `during` sees the directory while the save is open.
template <class During>
void save(const fs::path& p, const std::string& text, bool keep, During during) {
    AtomicWriteFile f(p.string());
    CHECK(f.write_all(text.data(), text.size()));
    CHECK(f.finish());
    during();
    if (keep) CHECK(f.commit());
}

}  // namespace

TEST_CASE(replacement_has_no_name_until_committed) {
    TempDir d;
    put(d.path / "f", "old");
    const std::set<std::string> only{"f"};
    save(d.path / "f", "new", true, [&] { CHECK_EQ(entries(d.path), only); });
    CHECK_EQ(read(d.path / "f"), std::string("new"));
    save(d.path / "f", "dropped", false, [&] { CHECK_EQ(entries(d.path), only); });
    CHECK_EQ(read(d.path / "f"), std::string("new"));
    save(d.path / "g", "created", true, [&] { CHECK_EQ(entries(d.path), only); });
    CHECK_EQ(read(d.path / "g"), std::string("created"));
    CHECK_EQ(entries(d.path), (std::set<std::string>{"f", "g"}));
}

TEST_CASE(named_replacement_where_unnamed_files_are_refused) {
    TempDir d;
    // 199 bytes, then a two-byte character across the cut at 200.
    const std::string name = std::string(199, 'n') + "\xc3\xa9" + "tail";
    put(d.path / name, "old");
    refuse_unnamed = true;
    std::set<std::string> seen;
    save(d.path / name, "new", true, [&] { seen = entries(d.path); });
    save(d.path / name, "dropped", false, [&] {});
    refuse_unnamed = false;
    CHECK_EQ(seen.size(), 2u);
    seen.erase(name);
    const std::string temp = seen.empty() ? std::string() : *seen.begin();
    const std::string prefix = "." + std::string(199, 'n') + ".tmp-";
    CHECK_EQ(temp.substr(0, prefix.size()), prefix);
    CHECK_EQ(temp.size(), prefix.size() + 8);
    CHECK_EQ(read(d.path / name), std::string("new"));
    CHECK_EQ(entries(d.path), std::set<std::string>{name});
}

TEST_CASE(failed_sync_fails_the_save) {
    TempDir d;
    const ECCs none({}, 3);
    const auto failures = [&](const fs::path& p) {
        std::vector<std::string> out;
        for (auto save : {save_eccs_postcard, dump_quartz}) {
            try {
                save(none, p.string());
                out.push_back("saved");
            } catch (const FileError& e) {
                out.push_back(e.what());
            }
        }
        return out;
    };
    const std::vector<std::string> texts{"Failed to write postcard data: The serialize buffer is full",
                                         "Failed to write JSON: Input/output error (os error 5)"};
    // The data's, before the rename: the old file stays, nothing is left.
    put(d.path / "f", "old");
    fail_sync = FailSync::Data;
    CHECK_EQ(failures(d.path / "f"), texts);
    CHECK_EQ(failures(d.path / "new"), texts);
    CHECK_EQ(read(d.path / "f"), std::string("old"));
    CHECK_EQ(entries(d.path), std::set<std::string>{"f"});
    // The directory's, after the rename: the new content is there, unsynced.
    fail_sync = FailSync::Directory;
    CHECK_EQ(failures(d.path / "f"), texts);
    CHECK_EQ(read(d.path / "f"), std::string("[[[0],[0]],{}]"));
    CHECK_EQ(entries(d.path), std::set<std::string>{"f"});
    // In place, the file's after the writes.
    fs::create_hard_link(d.path / "f", d.path / "f2");
    CHECK_EQ(failures(d.path / "f"), texts);
    fail_sync = FailSync::None;
    CHECK_EQ(entries(d.path), (std::set<std::string>{"f", "f2"}));
}

TEST_CASE(in_place_save_where_the_file_system_refuses_a_call) {
    TempDir d;
    for (const Refuse r : {Refuse::KeepSize, Refuse::Allocate, Refuse::SameLengthCut}) {
        for (const std::string old : {"ol", "old", "longer old"}) {
            put(d.path / "f", old);
            fs::create_hard_link(d.path / "f", d.path / "f2");
            refuse = r;
            {
                AtomicWriteFile f((d.path / "f").string());
                CHECK(f.write_all("new", 3));
                CHECK(f.finish());
                CHECK(f.commit());
            }
            refuse = Refuse::None;
            CHECK_EQ(read(d.path / "f2"), std::string("new"));
            CHECK_EQ(fs::hard_link_count(d.path / "f"), std::uintmax_t{2});
            fs::remove(d.path / "f2");
        }
    }
}

namespace {

int hook_calls = 0;

// Plants a link to "victim" where the checked entry was, once.
void plant_link(int dir, const char* name) {
    if (hook_calls++) return;
    if (::symlinkat("victim", dir, ".planted") != 0 || ::renameat(dir, ".planted", dir, name) != 0) std::abort();
}

// The error of a save of "new" to `path` with `hook` run once between the
// check and the open (counted in hook_calls); empty when the save succeeded.
std::string save_error_with_hook(const fs::path& path, CheckToOpenHook hook) {
    hook_calls = 0;
    set_check_to_open_hook(hook);
    std::string error;
    try {
        AtomicWriteFile f(path.string());
        f.write_all("new", 3);
        f.finish();
        f.commit();
    } catch (const OsError& e) {
        error = e.what();
    }
    set_check_to_open_hook(nullptr);
    return error;
}

}  // namespace

TEST_CASE(entry_swapped_for_a_link_after_its_check_is_not_written_through) {
    TempDir d;
    // Hard-linked files are written in place.
    put(d.path / "f", "old");
    fs::create_hard_link(d.path / "f", d.path / "f2");
    put(d.path / "victim", "victim");
    fs::create_hard_link(d.path / "victim", d.path / "victim2");
    const std::string error = save_error_with_hook(d.path / "f", plant_link);
    CHECK_EQ(error, std::string("Resource temporarily unavailable (os error 11)"));
    CHECK_EQ(hook_calls, 1);
    CHECK_EQ(read(d.path / "victim"), std::string("victim"));
    CHECK_EQ(read(d.path / "f2"), std::string("old"));
    CHECK(fs::is_symlink(d.path / "f"));
    CHECK_EQ(entries(d.path), (std::set<std::string>{"f", "f2", "victim", "victim2"}));
}

namespace {

// Removes the checked entry, once.
void remove_entry(int dir, const char* name) {
    if (hook_calls++) return;
    if (::unlinkat(dir, name, 0) != 0) std::abort();
}

}  // namespace

TEST_CASE(entry_removed_after_its_check_is_created_anew) {
    TempDir d;
    put(d.path / "f", "old");
    fs::create_hard_link(d.path / "f", d.path / "f2");
    hook_calls = 0;
    set_check_to_open_hook(remove_entry);
    {
        AtomicWriteFile f((d.path / "f").string());
        CHECK(f.write_all("new", 3));
        CHECK(f.finish());
        CHECK(f.commit());
    }
    set_check_to_open_hook(nullptr);
    CHECK_EQ(hook_calls, 1);
    CHECK_EQ(read(d.path / "f"), std::string("new"));
    CHECK_EQ(read(d.path / "f2"), std::string("old"));
    CHECK_EQ(entries(d.path), (std::set<std::string>{"f", "f2"}));
}

namespace {

// Renames "victim2" over the checked entry, once: a file like the checked
// one in every attribute (size, mode, owner, two links), but another file.
void swap_in_lookalike(int dir, const char* name) {
    if (hook_calls++) return;
    if (::renameat(dir, "victim2", dir, name) != 0) std::abort();
}

// Hard-linked files f (f2) and victim (victim2), written in place.
void make_lookalikes(const fs::path& d) {
    put(d / "f", "old");
    fs::create_hard_link(d / "f", d / "f2");
    put(d / "victim", "vic");
    fs::create_hard_link(d / "victim", d / "victim2");
}

// A save of d/f while the lookalike is swapped in: the victim is not written.
void check_lookalike_not_written(const fs::path& d) {
    const std::string error = save_error_with_hook(d / "f", swap_in_lookalike);
    CHECK_EQ(error, std::string("Resource temporarily unavailable (os error 11)"));
    CHECK_EQ(hook_calls, 1);
    CHECK_EQ(read(d / "f"), std::string("vic"));
    CHECK_EQ(read(d / "victim"), std::string("vic"));
    CHECK_EQ(read(d / "f2"), std::string("old"));
    CHECK_EQ(entries(d), (std::set<std::string>{"f", "f2", "victim"}));
}

}  // namespace

TEST_CASE(entry_swapped_for_a_lookalike_file_after_its_check_is_not_written) {
    TempDir d;
    make_lookalikes(d.path);
    check_lookalike_not_written(d.path);
}

// On an overlay, opening a file hard-linked in the lower layer for writing
// gives its copy in the upper layer, a new inode, which the save accepts as
// the checked file; a lookalike renamed over the entry is still refused.
TEST_CASE(lookalike_swapped_in_on_an_overlay_is_not_written) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "lookalike_swapped_in_on_an_overlay_is_not_written: skipped, needs root\n");
        return;
    }
    TempDir d;
    for (const char* layer : {"lower", "upper", "work", "merged"}) fs::create_directory(d.path / layer);
    make_lookalikes(d.path / "lower");
    const std::string options = "lowerdir=" + (d.path / "lower").string() + ",upperdir=" +
                                (d.path / "upper").string() + ",workdir=" + (d.path / "work").string() +
                                ",index=off";
    const fs::path merged = d.path / "merged";
    if (::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) {
        std::perror("lookalike_swapped_in_on_an_overlay_is_not_written: skipped, cannot mount an overlay");
        return;
    }
    check_lookalike_not_written(merged);
    // Without a swap, the first save writes the copy in place.
    {
        AtomicWriteFile f((merged / "f2").string());
        CHECK(f.write_all("two", 3));
        CHECK(f.finish());
        CHECK(f.commit());
    }
    CHECK_EQ(read(merged / "f2"), std::string("two"));
    CHECK_EQ(read(merged / "victim"), std::string("vic"));
    CHECK_EQ(::umount2(merged.c_str(), 0), 0);
    CHECK_EQ(read(d.path / "lower" / "f"), std::string("old"));
    CHECK_EQ(read(d.path / "lower" / "victim"), std::string("vic"));
}

CHECK_MAIN()
