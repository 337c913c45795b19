"""Saving files: what each kind of target becomes, for every writer, failed and killed saves that keep the old
file, saves that survive a power cut, and the attributes a replaced file keeps.

Every path saved to lies inside the test's own temporary directory; device nodes are private copies made
with mknod, file-system images are files there.  Rows that need root (chown, mknod, mount, loop devices,
dropping capabilities) skip without it.
"""

import ast
import contextlib
import fcntl
import os
import select
import shutil
import stat
import struct
import subprocess
import sys
import textwrap
import threading
import time
from dataclasses import dataclass
from typing import Callable, Optional

import pytest

import tessellan as ts
from child_python import python_output
from postcard_bytes import H_CLASSES

OLD = b"old content"
UMASK = 0o027
ME, MY_GROUP = os.geteuid(), os.getegid()
OTHER = 4321  # an unused user and group id
DROP_DAC = ["setpriv", "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search"]

IS_DIR = ("OSError", "Failed to create file: Is a directory (os error 21)")
NO_DIR = ("OSError", "Failed to create file: No such file or directory (os error 2)")
DENIED = ("OSError", "Failed to create file: Permission denied (os error 13)")
AGAIN = ("OSError", "Failed to create file: Resource temporarily unavailable (os error 11)")
# A save in a child process that has not ended by then fails its row (it waits, for a FIFO's reader say) instead of
# holding up the suite.
CHILD_TIMEOUT = 30
NO_SPACE = "No space left on device (os error 28)"


class Writer:
    """One of the three saving methods, with the object it saves and the bytes it writes."""

    def __init__(self, name, obj, source):
        self.name = name
        self.cls, self.method = name.split(".")
        self.kind = "json" if self.method == "dump_quartz" else "postcard"
        self.obj, self.source = obj, source  # `source` is a file the object loads from
        probe = source.parent / (name + ".out")
        self.save(probe)
        self.data = probe.read_bytes()
        probe.unlink()

    def save(self, path):
        getattr(self.obj, self.method)(str(path))

    def outcome(self, path, prefix=()):
        """None for a save that succeeded, else the exception's type name and text; with `prefix`, the save
        runs in a child process started through that command prefix."""
        if prefix:
            code = f"""
                import tessellan as ts
                obj = ts.{self.cls}.from_postcard({str(self.source)!r})
                try:
                    obj.{self.method}({str(path)!r})
                    print(None)
                except Exception as e:
                    print((type(e).__name__, *e.args))
            """
            return ast.literal_eval(python_output(textwrap.dedent(code), prefix, timeout=CHILD_TIMEOUT).strip())
        try:
            self.save(path)
        except Exception as e:  # noqa: BLE001
            return (type(e).__name__, *e.args)
        return None


def write_failed(w, text):
    """A failed write: postcard files report the encoder's text, the JSON file the system's `text`."""
    if w.kind == "postcard":
        return ("ValueError", "Failed to write postcard data: The serialize buffer is full")
    return ("ValueError", "Failed to write JSON: " + text)


@pytest.fixture(scope="module", params=["ECCs.dump_postcard", "ECCs.dump_quartz", "IdentityProver.dump_postcard"])
def writer(request, tmp_path_factory):
    ref = tmp_path_factory.mktemp("ref")
    (ref / "eccs.bin").write_bytes(H_CLASSES)
    eccs = ts.ECCs.from_postcard(str(ref / "eccs.bin"))
    if request.param.startswith("ECCs."):
        return Writer(request.param, eccs, ref / "eccs.bin")
    prover = ts.IdentityProver.build_from_eccs(eccs)
    prover.dump_postcard(str(ref / "prover.bin"))
    return Writer(request.param, prover, ref / "prover.bin")


@pytest.fixture(scope="module", params=["ECCs.dump_postcard", "ECCs.dump_quartz", "IdentityProver.dump_postcard"])
def big(request, tmp_path_factory):
    """A writer of a file of several hundred kilobytes (the prover's: megabytes)."""
    ref = tmp_path_factory.mktemp("big")
    raw, _ = ts.RawECCs.generate(ts.Evaluator(3), [ts.Gate.from_name(g) for g in ("h", "x", "t", "cx")], 5)
    eccs = raw.simplify()
    eccs.dump_postcard(str(ref / "eccs.bin"))
    if request.param.startswith("ECCs."):
        return Writer(request.param, eccs, ref / "eccs.bin")
    prover = ts.IdentityProver.build_from_eccs(eccs)
    prover.dump_postcard(str(ref / "prover.bin"))
    return Writer(request.param, prover, ref / "prover.bin")


@pytest.fixture
def umask():
    old = os.umask(UMASK)
    yield UMASK
    os.umask(old)


def need_root():
    if os.geteuid() != 0:
        pytest.skip("needs root")


def tool(name):
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def need_mount():
    """The mount program; the test skips without it."""
    need_root()
    if tool("mount") is None:
        pytest.skip("needs mount (Debian package mount)")


def can_drop_dac():
    need_root()
    if shutil.which("setpriv") is None:
        pytest.skip("needs setpriv")
    probe = subprocess.run([*DROP_DAC, "grep", "^CapEff:", "/proc/self/status"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("setpriv cannot drop capabilities here: " + probe.stderr.strip())
    if int(probe.stdout.split()[1], 16) & (1 << 1):  # CAP_DAC_OVERRIDE
        pytest.skip("setpriv left the capability to override file permissions")


# ---------------------------------------------------------------------------
# What a directory holds, entry by entry


def describe(p):
    st = os.lstat(p)
    mode = oct(stat.S_IMODE(st.st_mode))
    if stat.S_ISLNK(st.st_mode):
        return ("link", os.readlink(p))
    if stat.S_ISREG(st.st_mode):
        return ("file", mode, st.st_uid, st.st_gid, st.st_nlink, p.read_bytes())
    if stat.S_ISFIFO(st.st_mode):
        return ("fifo", mode, st.st_uid, st.st_nlink)
    if stat.S_ISCHR(st.st_mode):
        return ("chr", mode, st.st_uid, os.major(st.st_rdev), os.minor(st.st_rdev))
    if stat.S_ISDIR(st.st_mode):
        return ("dir", mode, st.st_uid, sorted(os.listdir(p)))
    return ("other", mode)


def listing(d):
    return {name: describe(d / name) for name in os.listdir(d)}


def file(content, mode, uid=ME, gid=MY_GROUP, nlink=1):
    return ("file", oct(mode), uid, gid, nlink, content)


def new_mode():
    return 0o666 & ~UMASK


def make(path, content=OLD, mode=0o644):
    path.write_bytes(content)
    os.chmod(path, mode)
    return path


def make_node(path, minor, mode):
    need_root()
    try:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, minor))
    except PermissionError as e:
        pytest.skip(f"mknod refused: {e}")
    os.chmod(path, mode)
    return path


# ---------------------------------------------------------------------------
# Another process acting on a target right after a save checked it

# Preloaded into a saving child: once the save has read the status of the entry TSL_AFTER_CHECK_NAME of the
# directory TSL_AFTER_CHECK_DIR (by fstatat, or by fstat of a descriptor opened from that entry), a forked process
# opens that file for writing, which on an overlay copies it up, or, with TSL_AFTER_CHECK_SWAP_FROM set, renames
# that file of the directory over the entry; the save goes on once it is done.  A child that never got there
# exits with status 99.
AFTER_CHECK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static int acted, opened = -1;

static int is_entry(int dir, const char *name) {
    const char *want_dir = getenv("TSL_AFTER_CHECK_DIR"), *want = getenv("TSL_AFTER_CHECK_NAME");
    if (acted || !want_dir || !want || dir < 0 || strcmp(name, want) != 0) return 0;
    char link[64], got[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    const ssize_t n = readlink(link, got, sizeof got - 1);
    if (n < 0) return 0;
    got[n] = 0;
    return strcmp(got, want_dir) == 0;
}

static void act(void) {
    acted = 1;
    const char *dir = getenv("TSL_AFTER_CHECK_DIR"), *from = getenv("TSL_AFTER_CHECK_SWAP_FROM");
    char path[4096], source[4096];
    snprintf(path, sizeof path, "%s/%s", dir, getenv("TSL_AFTER_CHECK_NAME"));
    const pid_t child = fork();
    if (child == 0) {
        if (from) {
            snprintf(source, sizeof source, "%s/%s", dir, from);
            _exit(rename(source, path) == 0 ? 0 : 1);
        }
        const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
        _exit(fd >= 0 && close(fd) == 0 ? 0 : 1);
    }
    int status;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) abort();
}

__attribute__((destructor)) static void check_acted(void) {
    if (!acted) {
        fputs("the save never read the status of the entry\n", stderr);
        _exit(99);
    }
}

static int opening(const char *symbol, int dir, const char *name, int flags, va_list ap) {
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
    int (*next)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, symbol);
    const int fd = next(dir, name, flags, mode);
    if (fd >= 0 && opened < 0 && is_entry(dir, name)) opened = fd;
    return fd;
}

int openat(int dir, const char *name, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = opening("openat", dir, name, flags, ap);
    va_end(ap);
    return fd;
}

int openat64(int dir, const char *name, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = opening("openat64", dir, name, flags, ap);
    va_end(ap);
    return fd;
}

#define STATUS_OF_DESCRIPTOR(symbol, type)                                                      \
    int symbol(int fd, type *st) {                                                              \
        const int rc = ((int (*)(int, type *))dlsym(RTLD_NEXT, #symbol))(fd, st);               \
        if (rc == 0 && !acted && fd == opened) act();                                           \
        return rc;                                                                              \
    }
#define STATUS_OF_ENTRY(symbol, type)                                                           \
    int symbol(int dir, const char *name, type *st, int flags) {                                \
        const int rc = ((int (*)(int, const char *, type *, int))dlsym(RTLD_NEXT, #symbol))(dir, name, st, flags); \
        if (rc == 0 && is_entry(dir, name)) act();                                              \
        return rc;                                                                              \
    }
STATUS_OF_DESCRIPTOR(fstat, struct stat)
STATUS_OF_DESCRIPTOR(fstat64, struct stat64)
STATUS_OF_ENTRY(fstatat, struct stat)
STATUS_OF_ENTRY(fstatat64, struct stat64)
"""


def after_check(d, name, swap_from=None):
    """The command prefix of a saving child in which, once the save has checked the entry `name` of `d` (read its
    status), another process opens that file for writing or, with `swap_from`, renames that file of `d` over the
    entry.  The preloaded library is built next to `d`."""
    cc = tool("cc")
    if cc is None:
        pytest.skip("needs a C compiler (Debian package gcc)")
    source, lib = d.parent / "after_check.c", d.parent / "after_check.so"
    source.write_text(AFTER_CHECK_SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(source)], check=True, capture_output=True)
    # After the sanitizers' runtime, which must come first where it is preloaded.
    preload = ":".join(p for p in (os.environ.get("LD_PRELOAD"), str(lib)) if p)
    env = [f"LD_PRELOAD={preload}", f"TSL_AFTER_CHECK_DIR={os.path.realpath(d)}", f"TSL_AFTER_CHECK_NAME={name}"]
    if swap_from:
        env.append(f"TSL_AFTER_CHECK_SWAP_FROM={swap_from}")
    return ("env", *env)


# ---------------------------------------------------------------------------
# The table: one row per kind of target


@dataclass
class Case:
    path: object
    expect: dict  # the directory's entries after the save
    error: Optional[tuple] = None
    child: tuple = ()  # command prefix to save from a child process
    reader: Optional[subprocess.Popen] = None  # a process reading a FIFO; it must receive the data
    cleanup: Optional[Callable[[], None]] = None


def missing(d, w):
    return Case(d / "new", {"new": file(w.data, new_mode())})


def private_file(d, w):
    make(d / "f", mode=0o600)
    return Case(d / "f", {"f": file(w.data, 0o600)})


def private_file_without_capabilities(d, w):
    """Replaced by a caller that may not link a descriptor by itself: the name comes through /proc."""
    can_drop_dac()
    make(d / "f", mode=0o600)
    return Case(d / "f", {"f": file(w.data, 0o600)}, child=tuple(DROP_DAC))


def other_owner(d, w):
    need_root()
    try:
        os.chown(make(d / "f", mode=0o640), OTHER, OTHER)
    except OSError as e:  # a user namespace that maps no such id
        pytest.skip(f"cannot give a file to user {OTHER}: {e}")
    return Case(d / "f", {"f": file(w.data, 0o640, uid=OTHER, gid=OTHER)})


def hard_linked(d, w):
    os.link(make(d / "a"), d / "b")
    return Case(d / "a", {"a": file(w.data, 0o644, nlink=2), "b": file(w.data, 0o644, nlink=2)})


def symlink(d, w):
    make(d / "real", mode=0o600)
    os.symlink("real", d / "link")
    return Case(d / "link", {"link": ("link", "real"), "real": file(w.data, 0o600)})


def symlink_chain_to_subdir(d, w):
    (d / "sub").mkdir()
    make(d / "sub" / "real", mode=0o640)
    os.symlink("sub/hop", d / "link")
    os.symlink("../sub/real", d / "sub" / "hop")
    return Case(d / "link", {"link": ("link", "sub/hop"), "sub": ("dir", oct(0o750), ME, ["hop", "real"])})


def dangling_symlink(d, w):
    os.symlink("made", d / "link")
    return Case(d / "link", {"link": ("link", "made"), "made": file(w.data, new_mode())})


def fifo_with_reader(d, w):
    os.mkfifo(d / "fifo", 0o640)
    os.chmod(d / "fifo", 0o640)
    reader = subprocess.Popen(["cat", str(d / "fifo")], stdout=subprocess.PIPE)
    return Case(d / "fifo", {"fifo": ("fifo", oct(0o640), ME, 1)}, reader=reader)


def null_device(d, w):
    make_node(d / "null", 3, 0o620)
    return Case(d / "null", {"null": ("chr", oct(0o620), ME, 1, 3)})


def full_device(d, w):
    make_node(d / "full", 7, 0o620)
    return Case(d / "full", {"full": ("chr", oct(0o620), ME, 1, 7)}, error=write_failed(w, NO_SPACE))


def bind_mounted_file(d, w):
    need_mount()
    make(d / "src", mode=0o640)
    make(d / "f", b"under")
    mounted = subprocess.run(["mount", "--bind", str(d / "src"), str(d / "f")], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot bind-mount a file: " + mounted.stderr.strip())

    def unmount():
        subprocess.run(["umount", str(d / "f")], check=True)
        assert (d / "f").read_bytes() == b"under"

    return Case(d / "f", {"f": file(w.data, 0o640), "src": file(w.data, 0o640)}, cleanup=unmount)


def overlay_on(d, fill_lower, upper_after):
    """Mounts on `d` an overlay whose lower layer `fill_lower(lower)` fills (index off: copying a file up breaks
    its hard links in the lower layer); the cleanup it returns unmounts it and checks that the lower layer was
    never written and that the upper one holds `upper_after(upper)`."""
    need_mount()
    lower, upper, work = (d.parent / name for name in ("lower", "upper", "work"))
    for layer in (lower, upper, work):
        layer.mkdir()
    fill_lower(lower)
    before = listing(lower)
    mounted = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                              f"lowerdir={lower},upperdir={upper},workdir={work},index=off", str(d)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount an overlay: " + mounted.stderr.strip())

    def unmount():
        subprocess.run(["umount", str(d)], check=True)
        assert listing(lower) == before
        assert listing(upper) == upper_after(upper)

    return unmount


def overlay_lower_hard_link(d, w):
    """Through an overlay mounted on `d`, a file hard-linked in its lower layer: opening it for writing copies it
    up to the upper layer (with a new inode, breaking the lower link, as for any write through the overlay), and
    the save writes that copy in place at once; the lower layer is never written."""
    unmount = overlay_on(d, lambda lower: hard_linked_pair(lower, OLD), lambda upper: {"a": file(w.data, 0o644)})
    return Case(d / "a", {"a": file(w.data, 0o644), "b": file(OLD, 0o644, nlink=2)}, cleanup=unmount)


def overlay_lower_hard_link_copied_up_after_the_check(d, w):
    """The same file, which another process opens for writing, and so copies up, right after the save checked
    it: it is still the file the path named, and the save writes it."""
    unmount = overlay_on(d, lambda lower: hard_linked_pair(lower, OLD), lambda upper: {"a": file(w.data, 0o644)})
    return Case(d / "a", {"a": file(w.data, 0o644), "b": file(OLD, 0o644, nlink=2)}, child=after_check(d, "a"),
                cleanup=unmount)


LOOKALIKE = b"vic content"  # as long as OLD


def overlay_lower_hard_link_swapped_for_a_lookalike_after_the_check(d, w):
    """The same file, over which another process renames, right after the save checked it, a file like it in
    every attribute (size, mode, owner, two links) but another one: the save refuses to write that file."""
    def fill(lower):
        hard_linked_pair(lower, OLD)
        os.link(make(lower / "victim", LOOKALIKE), lower / "victim2")

    def upper_after(upper):
        # The renamed file, copied up; the name it left is hidden by a whiteout.
        return {"a": file(LOOKALIKE, 0o644), "victim2": describe(upper / "victim2")}

    unmount = overlay_on(d, fill, upper_after)
    return Case(d / "a", {"a": file(LOOKALIKE, 0o644), "b": file(OLD, 0o644, nlink=2),
                          "victim": file(LOOKALIKE, 0o644, nlink=2)},
                error=AGAIN, child=after_check(d, "a", swap_from="victim2"), cleanup=unmount)


def unread_fifo(path):
    """A FIFO that no process reads."""
    os.mkfifo(path)
    os.chmod(path, 0o640)
    return path


def hard_link_swapped_for(d, make_swapped):
    """A file with two links, written in place, over which another process renames what `make_swapped(path)` makes
    right after the save checked it: the save refuses at once, and the file's other name keeps its content."""
    hard_linked_pair(d, OLD)
    swapped = describe(make_swapped(d / "swapped"))
    return Case(d / "a", {"a": swapped, "b": file(OLD, 0o644)}, error=AGAIN,
                child=after_check(d, "a", swap_from="swapped"))


def hard_link_swapped_for_a_fifo_after_the_check(d, w):
    """A FIFO without a reader: the save does not wait for one."""
    return hard_link_swapped_for(d, unread_fifo)


def hard_link_swapped_for_a_device_after_the_check(d, w):
    return hard_link_swapped_for(d, lambda path: make_node(path, 3, 0o620))


def overlay_lower_hard_link_swapped_for_a_fifo_after_the_check(d, w):
    """On an overlay, a file hard-linked in its lower layer, and a FIFO of that layer without a reader."""
    fifo = ("fifo", oct(0o640), ME, 1)

    def upper_after(upper):
        # The renamed FIFO, copied up; the name it left is hidden by a whiteout.
        return {"a": fifo, "swapped": describe(upper / "swapped")}

    unmount = overlay_on(d, lambda lower: (hard_linked_pair(lower, OLD), unread_fifo(lower / "swapped")), upper_after)
    return Case(d / "a", {"a": fifo, "b": file(OLD, 0o644, nlink=2)}, error=AGAIN,
                child=after_check(d, "a", swap_from="swapped"), cleanup=unmount)


def directory(d, w):
    (d / "sub").mkdir()
    return Case(d / "sub", {"sub": ("dir", oct(0o750), ME, [])}, error=IS_DIR)


def missing_directory(d, w):
    return Case(d / "nope" / "x", {}, error=NO_DIR)


def file_in_read_only_directory(d, w):
    can_drop_dac()
    make(d / "f")
    os.chmod(d, 0o555)
    return Case(d / "f", {"f": file(w.data, 0o644)}, child=tuple(DROP_DAC))


def read_only_file(d, w):
    can_drop_dac()
    make(d / "f", mode=0o444)
    return Case(d / "f", {"f": file(OLD, 0o444)}, error=DENIED, child=tuple(DROP_DAC))


ROWS = [missing, private_file, private_file_without_capabilities, other_owner, hard_linked, symlink, symlink_chain_to_subdir, dangling_symlink,
        fifo_with_reader, null_device, full_device, bind_mounted_file, overlay_lower_hard_link,
        overlay_lower_hard_link_copied_up_after_the_check, overlay_lower_hard_link_swapped_for_a_lookalike_after_the_check,
        hard_link_swapped_for_a_fifo_after_the_check, hard_link_swapped_for_a_device_after_the_check,
        overlay_lower_hard_link_swapped_for_a_fifo_after_the_check,
        directory, missing_directory, file_in_read_only_directory, read_only_file]


@pytest.mark.parametrize("row", ROWS, ids=[r.__name__ for r in ROWS])
def test_save_to_each_kind_of_target(writer, row, tmp_path, umask):
    d = tmp_path / "d"
    d.mkdir()
    case = row(d, writer)
    try:
        try:
            got = writer.outcome(case.path, case.child)
        finally:
            os.chmod(d, 0o755)
            received = None
            if case.reader:
                try:
                    received = case.reader.communicate(timeout=10)[0]
                finally:
                    case.reader.kill()
        assert got == case.error
        assert listing(d) == case.expect
        if case.reader:
            assert received == writer.data
        if row is symlink_chain_to_subdir:
            assert describe(d / "sub" / "real") == file(writer.data, 0o640)
            assert describe(d / "sub" / "hop") == ("link", "../sub/real")
    finally:
        if case.cleanup:
            case.cleanup()


# ---------------------------------------------------------------------------
# A FIFO target is written as the bytes come

# A child that loads the object and saves it once.
SAVING_CHILD = """
import tessellan as ts
ts.{cls}.from_postcard({source!r}).{method}({path!r})
"""


def waits_for_a_reader(child, deadline=10):
    """Waits until `child` is held opening a FIFO for want of a reader (the kernel's name of that wait), for at most
    `deadline` seconds; false when the child ended first."""
    end = time.monotonic() + deadline
    while time.monotonic() < end and child.poll() is None:
        with contextlib.suppress(OSError), open(f"/proc/{child.pid}/wchan") as f:
            if f.read() == "wait_for_partner":
                return True
        time.sleep(0.01)
    return child.poll() is None


@pytest.mark.parametrize("reader", ["open before the save", "coming after the save began"])
def test_fifo_is_written_as_its_reader_reads(big, reader, tmp_path):
    """A FIFO, which holds far less than the file, is written as its reader takes the bytes: the save waits for a
    reader that comes after it began, and for room while the reader lags behind."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    early = os.open(path, os.O_RDONLY | os.O_NONBLOCK) if reader == "open before the save" else -1
    code = SAVING_CHILD.format(cls=big.cls, method=big.method, source=str(big.source), path=str(path))
    saver = subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE, text=True)
    # A save that stops without ending leaves the reader at the end of what it wrote.
    timer = threading.Timer(CHILD_TIMEOUT, saver.kill)
    timer.start()
    try:
        if early < 0:
            assert waits_for_a_reader(saver), saver.communicate()[1]
            fd = os.open(path, os.O_RDONLY)
        else:
            fd = early
            select.select([fd], [], [], CHILD_TIMEOUT)
            time.sleep(0.2)  # the FIFO fills up: the save must wait for room
            os.set_blocking(fd, True)
        with open(fd, "rb") as f:
            received = f.read()
        assert saver.wait() == 0, saver.stderr.read()
    finally:
        timer.cancel()
        saver.kill()
        saver.wait()
        saver.stderr.close()
    assert received == big.data


# Holds a read lease on the file argv[1] until the lease is broken (SIGIO), then gives it up a little later.
LEASE_HOLDER = """
import fcntl, os, signal, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGIO])
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
print("leased", flush=True)
signal.sigwait([signal.SIGIO])
time.sleep(0.2)  # a save that does not wait for the lease has failed by then
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
"""


def test_save_in_place_waits_for_a_lease_to_be_given_up(writer, tmp_path):
    """A file written in place on which another process holds a read lease: the save waits, as `open` does, for
    that process, told that the file is wanted, to give the lease up, then writes the file."""
    hard_linked_pair(tmp_path, OLD)
    holder = subprocess.Popen([sys.executable, "-c", LEASE_HOLDER, str(tmp_path / "a")], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert holder.stdout.readline() == "leased\n"
        assert writer.outcome(tmp_path / "a") is None
        assert holder.wait(timeout=CHILD_TIMEOUT) == 0
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()
    assert (tmp_path / "b").read_bytes() == writer.data


# ---------------------------------------------------------------------------
# Failed saves keep the old file and leave nothing behind


@contextlib.contextmanager
def full_tmpfs(tmp_path, make_files):
    """A 64 KiB tmpfs in `tmp_path`, holding what `make_files(mnt)` makes and then filled up."""
    need_mount()
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", str(mnt)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + mounted.stderr.strip())
    try:
        make_files(mnt)
        with open(mnt / "filler", "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError:
                pass
        yield mnt
    finally:
        subprocess.run(["umount", str(mnt)], check=True)


def outcomes_under_size_limit(w, limit, paths):
    """What saves to each of `paths` give in a child whose file size limit is `limit` bytes."""
    code = f"""
        import resource, signal, tessellan as ts
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        obj = ts.{w.cls}.from_postcard({str(w.source)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        for path in {[str(p) for p in paths]!r}:
            try:
                obj.{w.method}(path)
                print(None)
            except Exception as e:
                print((type(e).__name__, *e.args))
    """
    return [ast.literal_eval(line) for line in python_output(textwrap.dedent(code)).splitlines()]


TOO_LARGE = "File too large (os error 27)"


def test_full_file_system_keeps_the_old_file(writer, tmp_path):
    with full_tmpfs(tmp_path, lambda mnt: make(mnt / "f", mode=0o600)) as mnt:
        before = listing(mnt)
        assert writer.outcome(mnt / "f") == write_failed(writer, NO_SPACE)
        assert writer.outcome(mnt / "new") == write_failed(writer, NO_SPACE)
        assert listing(mnt) == before


def test_file_size_limit_keeps_the_old_file(writer, tmp_path):
    make(tmp_path / "f", mode=0o600)
    before = listing(tmp_path)
    expect = write_failed(writer, TOO_LARGE)
    assert outcomes_under_size_limit(writer, 1, [tmp_path / "f", tmp_path / "new"]) == [expect, expect]
    assert listing(tmp_path) == before


def hard_linked_pair(d, content):
    os.link(make(d / "a", content), d / "b")


@pytest.mark.parametrize("limit", ["size limit", "size limit below the old size", "full file system"])
def test_failed_save_in_place_keeps_the_old_file(big, limit, tmp_path):
    """A hard-linked file is written in place: what does not fit fails before the old content changes."""
    if limit == "full file system":
        with full_tmpfs(tmp_path, lambda mnt: hard_linked_pair(mnt, OLD * 10)) as mnt:
            before = listing(mnt)
            assert big.outcome(mnt / "a") == write_failed(big, NO_SPACE)
            assert listing(mnt) == before
        return
    # The limit lets the first 4 KiB through: a save that starts to overwrite would tear the file.
    old = os.urandom(2 * len(big.data)) if limit == "size limit below the old size" else OLD * 10
    hard_linked_pair(tmp_path, old)
    before = listing(tmp_path)
    assert outcomes_under_size_limit(big, 4096, [tmp_path / "a"]) == [write_failed(big, TOO_LARGE)]
    assert listing(tmp_path) == before


MOVERS = {
    "renamed": """
        while time.monotonic() < end:
            os.rename(a, b)
            os.rename(b, a)
    """,
    "removed": """
        while time.monotonic() < end:
            shutil.rmtree(a, ignore_errors=True)
            os.makedirs(a, exist_ok=True)
    """,
}


@pytest.mark.parametrize("mover", MOVERS)
def test_directory_moved_during_saves_leaves_no_temporary_file(writer, mover, tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir()
    code = f"import os, shutil, time\na, b = {str(a)!r}, {str(b)!r}\nend = time.monotonic() + 1.5\n"
    child = subprocess.Popen([sys.executable, "-c", code + textwrap.dedent(MOVERS[mover])])
    outcomes = {}
    try:
        while child.poll() is None:
            got = writer.outcome(a / "f")
            outcomes[got] = outcomes.get(got, 0) + 1
    finally:
        child.wait(timeout=30)
    assert child.returncode == 0
    assert outcomes.get(None, 0) > 0, outcomes
    assert set(outcomes) <= {None, NO_DIR}, outcomes
    left = {p.relative_to(tmp_path).as_posix(): p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    assert set(left) <= {"a/f", "b/f"} and all(v == writer.data for v in left.values()), left


# ---------------------------------------------------------------------------
# Killed saves: the old file or the new one, and nothing else

# The saving child runs under strace, which kills it with SIGKILL on entering the given system call.

# (system call, which call of it): before the writes (the replacement takes the target's mode), at the first
# write, during the writes (the third write; the second megabyte), once everything is written (before the
# sync), before the replacement is named, after the rename (before the directory's sync), and no kill.
KILLS = [("fchmod", 1), ("write", 1), ("write", 3), ("sync_file_range", 1), ("fdatasync", 1), ("linkat", 1),
         ("fsync", 1), (None, 0)]
# The calls that every save makes: its replacement takes the mode, is written, synced, named and renamed.  The
# JSON file is written in one call, the postcard files in many.
REACHED = {"fchmod", "write", "fdatasync", "linkat", "fsync"}


def killed_save(w, path, call, nth, trace):
    """Saves `w` to `path` in a child that strace kills on entering the `nth` call of `call` (None: no kill);
    whether it was killed.  `trace` is strace's output file."""
    if tool("strace") is None:
        pytest.skip("needs strace")
    code = SAVING_CHILD.format(cls=w.cls, method=w.method, source=str(w.source), path=str(path))
    inject = ["-e", f"trace={call}", "-e", f"inject={call}:signal=KILL:when={nth}"] if call else []
    ran = subprocess.run([tool("strace"), "-f", "-qq", "-o", str(trace), *inject, sys.executable, "-c", code],
                         capture_output=True, text=True)
    if "PTRACE" in ran.stderr or "ptrace" in ran.stderr:
        pytest.skip("strace cannot trace here: " + ran.stderr.strip())
    killed = ran.returncode in (-9, 128 + 9)
    assert killed or ran.returncode == 0, ran.stderr
    return killed


@pytest.mark.parametrize("call, nth", KILLS, ids=[f"{c}-{n}" if c else "none" for c, n in KILLS])
def test_killed_save_leaves_the_old_or_the_new_file(big, call, nth, tmp_path):
    old = b"A" * 4096
    d = tmp_path / "d"
    d.mkdir()
    make(d / "f", old)
    killed = killed_save(big, d / "f", call, nth, tmp_path / "trace")
    if call in REACHED and (nth == 1 or big.kind == "postcard"):
        assert killed
    # Killed before the rename: the old file; after it, or not killed: the new one.  Nothing else.
    renamed = not killed or call == "fsync"
    assert listing(d) == {"f": file(big.data if renamed else old, 0o644)}


def test_killed_save_in_place_before_its_writes_keeps_the_old_file(big, tmp_path):
    """A hard-linked file is written in place, its new length reserved first: a save killed at its first write
    over the old content finds the old file byte for byte, not lengthened (by zeros) to the new size."""
    old = b"A" * 4096  # shorter than the new content
    d = tmp_path / "d"
    d.mkdir()
    hard_linked_pair(d, old)
    assert killed_save(big, d / "a", "pwrite64", 1, tmp_path / "trace")
    assert listing(d) == {"a": file(old, 0o644, nlink=2), "b": file(old, 0o644, nlink=2)}


# ---------------------------------------------------------------------------
# A power cut after a save: the new file, on file systems that need the syncs

FS_IOC_SHUTDOWN = 0x8004587D  # _IOR('X', 125, __u32)
FSOP_GOING_FLAGS_NOLOGFLUSH = 2


@pytest.fixture(params=[("xfs", "defaults", 320), ("ext4", "noauto_da_alloc", 32)],
                ids=["xfs", "ext4-noauto_da_alloc"])
def loop_fs(request, tmp_path):
    """A file system on a loop-mounted image in `tmp_path`, mounted at the returned directory; its second
    element remounts it."""
    fstype, options, mib = request.param
    need_root()
    mkfs = tool("mkfs." + fstype)
    if mkfs is None:
        pytest.skip(f"needs mkfs.{fstype} (Debian package {'xfsprogs' if fstype == 'xfs' else 'e2fsprogs'})")
    need_mount()
    if tool("losetup") is None:
        pytest.skip("needs losetup")
    image, mnt = tmp_path / "image", tmp_path / "mnt"
    mnt.mkdir()
    with open(image, "wb") as f:
        f.truncate(mib << 20)
    attached = subprocess.run([tool("losetup"), "--find", "--show", str(image)], capture_output=True, text=True)
    if attached.returncode != 0:
        pytest.skip("no loop device: " + attached.stderr.strip())
    dev = attached.stdout.strip()
    mounted = False
    try:
        made = subprocess.run([mkfs, "-q", "-f" if fstype == "xfs" else "-F", dev], capture_output=True, text=True)
        if made.returncode != 0:
            pytest.skip(f"mkfs.{fstype} failed: " + made.stderr.strip())

        def mount():
            nonlocal mounted
            done = subprocess.run(["mount", "-t", fstype, "-o", options, dev, str(mnt)], capture_output=True, text=True)
            if done.returncode != 0:
                pytest.skip(f"cannot mount {fstype}: " + done.stderr.strip())
            mounted = True

        def remount():
            nonlocal mounted
            subprocess.run(["umount", str(mnt)], check=True)
            mounted = False
            mount()

        mount()
        yield mnt, remount
    finally:
        if mounted:
            subprocess.run(["umount", str(mnt)], capture_output=True)
        subprocess.run([tool("losetup"), "--detach", dev], capture_output=True)


def durable(path):
    """Syncs a file and its directory."""
    for p, flags in ((path, os.O_RDONLY), (path.parent, os.O_RDONLY | os.O_DIRECTORY)):
        fd = os.open(p, flags)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def test_save_survives_a_power_cut(writer, loop_fs):
    mnt, remount = loop_fs
    durable(make(mnt / "f", b"A" * 100_000))
    writer.save(mnt / "f")
    writer.save(mnt / "new")
    # Another program syncs a file of its own, which commits the file system's journal, then the power
    # goes: the log is not flushed.
    (mnt / "other").write_bytes(b"other")
    durable(mnt / "other")
    fd = os.open(mnt, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.ioctl(fd, FS_IOC_SHUTDOWN, struct.pack("I", FSOP_GOING_FLAGS_NOLOGFLUSH))
    except OSError as e:
        pytest.skip(f"cannot shut the file system down: {e}")
    finally:
        os.close(fd)
    remount()
    assert (mnt / "f").read_bytes() == writer.data
    assert (mnt / "new").read_bytes() == writer.data


# ---------------------------------------------------------------------------
# Extended attributes and ACLs of a replaced file

ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_MASK, ACL_OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
NO_ID = 0xFFFFFFFF


def acl(*entries):
    """The value of a system.posix_acl_* attribute holding the (tag, permissions, id) entries."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def attributes(p):
    """The extended attributes of `p`, those the security modules set left out."""
    return {n: os.getxattr(p, n) for n in os.listxattr(p) if not n.startswith("security.")}


def set_attributes(p, attrs):
    try:
        for name, value in attrs.items():
            os.setxattr(p, name, value)
    except OSError as e:
        pytest.skip(f"cannot set {name}: {e}")


def noted_file_with_acl(d):
    """A user attribute and an ACL: user 1234 may write, the owning group only read (the mask allows writing)."""
    f = make(d / "f", mode=0o600)
    os.chmod(f, 0o2660)
    set_attributes(f, {"user.note": b"kept", "system.posix_acl_access": acl(
        (ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 6, OTHER), (ACL_GROUP_OBJ, 4, NO_ID), (ACL_MASK, 6, NO_ID),
        (ACL_OTHER, 0, NO_ID))})
    return f


def plain_file_in_directory_with_default_acl(d):
    """No ACL of its own, in a directory whose default ACL would give user 1234 access to new files."""
    f = make(d / "f", mode=0o640)
    set_attributes(d, {"system.posix_acl_default": acl(
        (ACL_USER_OBJ, 7, NO_ID), (ACL_USER, 7, OTHER), (ACL_GROUP_OBJ, 5, NO_ID), (ACL_MASK, 7, NO_ID),
        (ACL_OTHER, 0, NO_ID))})
    return f


@pytest.mark.parametrize("target", [noted_file_with_acl, plain_file_in_directory_with_default_acl],
                         ids=lambda t: t.__name__)
def test_replaced_file_keeps_its_attributes_and_mode(writer, target, tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    f = target(d)
    before, mode = attributes(f), stat.S_IMODE(os.stat(f).st_mode)
    writer.save(f)
    assert f.read_bytes() == writer.data
    assert attributes(f) == before
    assert stat.S_IMODE(os.stat(f).st_mode) == mode
    assert os.listdir(d) == ["f"]
