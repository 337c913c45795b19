"""Saving files: what each kind of target becomes, for every writer, and failed saves that keep the old file.

Every path saved to lies inside the test's own temporary directory; device nodes are private copies made
with mknod.  Rows that need root (chown, mknod, mount, dropping capabilities) skip without it.
"""

import ast
import os
import shutil
import stat
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from typing import Callable, Optional

import pytest

import tessellan as ts

H_CLASSES = bytes.fromhex(
    "02 02 00 80 80 80 08 02 01 68 00 ff 01 68 00 ff 80 80 80 08 01 01 01 68 00 ff 80 80 80 08 01")
OLD = b"old content"
UMASK = 0o027
ME, MY_GROUP = os.geteuid(), os.getegid()
OTHER = 4321  # an unused user and group id
DROP_DAC = ["setpriv", "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search"]

IS_DIR = ("OSError", "Failed to create file: Is a directory (os error 21)")
NO_DIR = ("OSError", "Failed to create file: No such file or directory (os error 2)")
DENIED = ("OSError", "Failed to create file: Permission denied (os error 13)")
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
            out = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)],
                                 capture_output=True, text=True, check=True).stdout
            return ast.literal_eval(out.strip())
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


@pytest.fixture
def umask():
    old = os.umask(UMASK)
    yield UMASK
    os.umask(old)


def need_root():
    if os.geteuid() != 0:
        pytest.skip("needs root")


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


def other_owner(d, w):
    need_root()
    os.chown(make(d / "f", mode=0o640), OTHER, OTHER)
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
    need_root()
    make(d / "src", mode=0o640)
    make(d / "f", b"under")
    mounted = subprocess.run(["mount", "--bind", str(d / "src"), str(d / "f")], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot bind-mount a file: " + mounted.stderr.strip())

    def unmount():
        subprocess.run(["umount", str(d / "f")], check=True)
        assert (d / "f").read_bytes() == b"under"

    return Case(d / "f", {"f": file(w.data, 0o640), "src": file(w.data, 0o640)}, cleanup=unmount)


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


ROWS = [missing, private_file, other_owner, hard_linked, symlink, symlink_chain_to_subdir, dangling_symlink,
        fifo_with_reader, null_device, full_device, bind_mounted_file, directory, missing_directory, file_in_read_only_directory,
        read_only_file]


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
# Failed saves keep the old file and leave nothing behind


def test_full_file_system_keeps_the_old_file(writer, tmp_path):
    need_root()
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", str(mnt)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + mounted.stderr.strip())
    try:
        make(mnt / "f", mode=0o600)
        with open(mnt / "filler", "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError:
                pass
        before = listing(mnt)
        assert writer.outcome(mnt / "f") == write_failed(writer, NO_SPACE)
        assert writer.outcome(mnt / "new") == write_failed(writer, NO_SPACE)
        assert listing(mnt) == before
    finally:
        subprocess.run(["umount", str(mnt)], check=True)


def test_file_size_limit_keeps_the_old_file(writer, tmp_path):
    make(tmp_path / "f", mode=0o600)
    before = listing(tmp_path)
    code = f"""
        import resource, signal, tessellan as ts
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        obj = ts.{writer.cls}.from_postcard({str(writer.source)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (1, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        for name in ("f", "new"):
            try:
                obj.{writer.method}({str(tmp_path)!r} + "/" + name)
                print(None)
            except Exception as e:
                print((type(e).__name__, *e.args))
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    expect = repr(write_failed(writer, "File too large (os error 27)"))
    assert out.stdout.splitlines() == [expect, expect]
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
