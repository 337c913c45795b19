import os
import random

import pytest

import tessellan as ts
from circuits import G, identity
from postcard_bytes import encode, varint


@pytest.fixture(scope="module")
def small():
    """Classes of h, t, cx up to 3 gates on 2 qubits, and the prover built from them."""
    e = ts.Evaluator(2)
    eccs = ts.RawECCs.generate(e, [G["h"], G["t"], G["cx"]], 3)[0].simplify()
    return eccs, ts.IdentityProver.build_from_eccs(eccs)


HH = [[], [("h", 0), ("h", 0)]]  # h(0) h(0) equals the empty circuit


def test_no_constructor():
    with pytest.raises(TypeError):
        ts.IdentityProver()


def test_build_writes_two_lines_to_stderr(make_eccs, capfd):
    eccs = make_eccs([[([("h", 0), ("h", 0)], (0,)), ([], (0,))], [([("x", 0)], (0,))]], 1)
    capfd.readouterr()
    ts.IdentityProver.build_from_eccs(eccs)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == "Building identity prover from 2 ECCs\nProving Identities\n"


def test_single_member_classes_give_rules_only(make_eccs, tmp_path):
    eccs = make_eccs([[([("h", 0)], (0,))], [([], (0, 1))]], 2)
    p = ts.IdentityProver.build_from_eccs(eccs)
    assert p.get_assumed() == []
    path = tmp_path / "p.pc"
    p.dump_postcard(str(path))
    # No identities; two rule keys with empty lists.
    data = path.read_bytes()
    h_entry = bytes.fromhex("010168 00ff 80808008 00".replace(" ", ""))
    empty_entry = b"\x00\x00\x00"
    assert data in (b"\x00\x00\x02" + h_entry + empty_entry, b"\x00\x00\x02" + empty_entry + h_entry)
    q = ts.IdentityProver.from_postcard(str(path))
    assert q.par_apply_rules(identity([("h", 0), ("h", 0)], [0]), 3) == []


def test_prover_of_one_class_and_the_empty_identity(make_eccs, tmp_path):
    eccs = make_eccs([[([], (0,)), ([("h", 0), ("h", 0)], (0,))]], 1)
    p = ts.IdentityProver.build_from_eccs(eccs)
    hh = identity([("h", 0), ("h", 0)], [0])
    empty = ts.IdentityCirc(ts.Circ([], [0]))
    assert p.get_assumed() == [hh]
    assert p.par_apply_rules(hh, 3) == [empty]
    # A rewrite to the empty identity proves the query; the start identity
    # itself is never looked up, so the empty identity alone is not proved.
    assert p.prove_identity(hh, 3, 1000) is None
    assert p.prove_identity(empty, 3, 1000) == empty
    result, visited = p.prove_identity_with_visited(hh, 3, 1000)
    assert result is None and visited == {hh, empty}
    # Already proved, or empty: nothing changes.
    assert p.add_identity(hh, 3, 1000) is False
    assert p.add_identity(empty, 3, 1000) is False
    assert p.get_assumed() == [hh]
    path = tmp_path / "p.pc"
    p.dump_postcard(str(path))
    ident = bytes.fromhex("020168 00ff 0168 00ff 80808008".replace(" ", ""))
    data = path.read_bytes()
    assert data[: 2 + 2 * len(ident)] == b"\x01" + ident + b"\x01" + ident
    entries = data[2 + 2 * len(ident) :]
    assert entries[0] == 2
    a, b = b"\x00\x00\x01" + ident, ident + b"\x01\x00\x80\x80\x80\x08"
    assert entries[1:] in (a + b, b + a)


def test_unrewritable_identity_is_assumed(make_eccs):
    eccs = make_eccs([[([], (0,)), ([("h", 0), ("h", 0)], (0,))]], 1)
    p = ts.IdentityProver.build_from_eccs(eccs)
    xx = identity([("x", 0), ("x", 0)], [0])
    assert p.add_identity(xx, 3, 1000) is True
    assert p.get_assumed()[-1] == xx
    assert p.add_identity(xx, 3, 1000) is False  # now proved
    # The search alone appends the assumption again and reports what it saw.
    visited, assumed = p.add_identity_search(xx, 3, 1000)
    assert (visited, assumed) == ({xx}, True)
    assert p.get_assumed()[-2:] == [xx, xx]


def circ_bytes(instrs, perm):
    b = varint(len(instrs))
    for name, *qs in instrs:
        b += varint(len(name)) + name.encode() + bytes(list(qs) + [255] * (2 - len(qs)))
    raw = len(perm) << 24
    for i, v in enumerate(perm):
        raw |= v << (3 * i)
    return b + varint(raw)


def test_shorter_identity_is_added_first(make_eccs, tmp_path):
    # Rules h h -> (empty) and x x -> h h: h h x x reaches x x, which no
    # proved rule rewrites, so x x is assumed in its place.
    hh_c, xx_c = [("h", 0), ("h", 0)], [("x", 0), ("x", 0)]
    data = (
        b"\x01" + circ_bytes(hh_c, (0,))
        + b"\x01" + circ_bytes(hh_c, (0,))
        + b"\x02"
        + circ_bytes(hh_c, (0,)) + b"\x01" + circ_bytes([], (0,))
        + circ_bytes(xx_c, (0,)) + b"\x01" + circ_bytes(hh_c, (0,))
    )
    path = tmp_path / "p.pc"
    path.write_bytes(data)
    p = ts.IdentityProver.from_postcard(str(path))
    hh, xx = identity(hh_c, [0]), identity(xx_c, [0])
    hhxx = identity(hh_c + xx_c, [0])
    assert p.get_assumed() == [hh]
    # The query gives up at the shorter identity it reached.
    assert p.prove_identity(hhxx, 3, 1000) == xx
    assert p.add_identity(hhxx, 3, 1000) is True
    assert p.get_assumed() == [hh, xx]
    # Now that shorter identity is proved, and so is the query.
    assert p.prove_identity(hhxx, 3, 1000) is None
    assert p.add_identity(hhxx, 3, 1000) is False
    assert p.add_identity(xx, 3, 1000) is False

    # The build meets the same case: the classes' own order decides which
    # list a shared key keeps (the later one replaces the earlier).
    eccs = make_eccs([[(xx_c, (0,)), (hh_c, (0,))], [([], (0,)), (hh_c, (0,))]], 1)
    assert ts.IdentityProver.build_from_eccs(eccs).get_assumed() == [hh, xx]
    eccs = make_eccs([[([], (0,)), (hh_c, (0,))], [(xx_c, (0,)), (hh_c, (0,))]], 1)
    assert ts.IdentityProver.build_from_eccs(eccs).get_assumed() == [hh, hhxx]


def test_limits_of_query(small):
    _, p = small
    i = identity([("cx", 0, 1), ("cx", 1, 0), ("cx", 0, 1)], [1, 0])
    assert p.prove_identity(i, 3, 1000) is None
    assert p.prove_identity(i, 3, 0) == i
    assert p.prove_identity(i, 3, 1) == i
    result, visited = p.prove_identity_with_visited(i, 3, 0)
    assert result == i and len(visited) == 2 and i in visited


def test_query_results_are_deterministic(small):
    eccs, p = small
    q = ts.IdentityProver.build_from_eccs(eccs)
    assert q.get_assumed() == p.get_assumed()
    ids = sorted({x for x, _, _ in eccs.to_identity_circuits()})
    assert [q.prove_identity(x, 3, 1000) for x in ids] == [p.prove_identity(x, 3, 1000) for x in ids]
    for x in ids:
        assert p.par_apply_rules(x, 2) == q.par_apply_rules(x, 2)
    # A derived identity of the collection is proved, and its rewrites never
    # grow past the allowance.
    derived = [x for x in ids if x not in p.get_assumed()]
    assert derived and all(p.prove_identity(x, 3, 1000) is None for x in derived)
    for x in ids:
        assert all(len(y) <= len(x) + 1 for y in p.par_apply_rules(x, 1))


_THREAD_CHILD = """
import sys, tessellan as ts
eccs = ts.ECCs.from_postcard(sys.argv[1])
ts.IdentityProver.build_from_eccs(eccs).dump_postcard(sys.argv[2])
p = ts.IdentityProver.from_postcard(sys.argv[2])
ids = sorted({x for x, _, _ in eccs.to_identity_circuits()})
print([str(x) for x in p.get_assumed()])
for x in ids:
    r, v = p.prove_identity_with_visited(x, 2, 300)
    print(r, sorted(str(y) for y in v), [str(y) for y in p.par_apply_rules(x, 1)])
"""


def test_results_do_not_depend_on_thread_count(small, tmp_path):
    import subprocess
    import sys

    eccs, _ = small
    eccs.dump_postcard(str(tmp_path / "classes.pc"))
    outs = []
    for threads in ("1", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        args = [sys.executable, "-c", _THREAD_CHILD, str(tmp_path / "classes.pc"), str(tmp_path / f"p{threads}.pc")]
        outs.append(subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout)
    assert outs[0] == outs[1] and outs[0].count("\n") > 5


def test_get_assumed_returns_copies(small):
    _, p = small
    a = p.get_assumed()
    a.clear()
    assert len(p.get_assumed()) > 0


def test_argument_errors_and_length_limit(small, raises_panic):
    _, p = small
    with pytest.raises(TypeError, match="argument 'identity': 'int' object cannot be converted to 'IdentityCirc'"):
        p.prove_identity(3, 3, 10)
    with pytest.raises(OverflowError):
        p.prove_identity(identity([], [0]), -1, 10)
    with pytest.raises(TypeError):
        ts.IdentityProver.build_from_eccs([])
    long = ts.IdentityCirc.from_python({"instrs": [("h", (0, 255))] * 20, "perm": {"raw": 1 << 24}})
    with raises_panic("index out of bounds: the len is 20 but the index is 20"):
        p.par_apply_rules(long, 0)
    # A huge allowance saturates.
    assert p.prove_identity(identity([("cx", 0, 1), ("cx", 1, 0), ("cx", 0, 1)], [1, 0]), 2**64 - 1, 1000) is None


def test_bad_classes_panic(make_eccs, raises_panic):
    with raises_panic("index out of bounds: the len is 0 but the index is 0"):
        ts.IdentityProver.build_from_eccs(make_eccs([[]], 1))
    with raises_panic():
        ts.IdentityProver.build_from_eccs(make_eccs([[([], (0,)), ([("h", 0)], (0,))]], 1))


HH = [([], (0,)), ([("h", 0), ("h", 0)], (0,))]
NOT_EQUIVALENT = [([], (0,)), ([("h", 0)], (0,))]


@pytest.mark.parametrize(
    "classes, message",
    [
        ([HH] * 40 + [NOT_EQUIVALENT] + [HH] * 40 + [[]], "IdentityCirc: circuit is not identity "),
        ([HH] * 40 + [[]] + [HH] * 40 + [NOT_EQUIVALENT], "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_first_bad_class_panics_on_the_calling_thread(make_eccs, capfd, PanicException, classes, message):
    # The classes are worked on the pool, but the panic is that of the first
    # bad class, reported once, by the thread that called.
    from test_module import REPORT, os_thread_name

    with pytest.raises(PanicException) as e:
        ts.IdentityProver.build_from_eccs(make_eccs(classes, 1))
    assert e.value.args[0].startswith(message)
    [(thread, _, _, text)] = REPORT.findall(capfd.readouterr().err)
    assert thread == os_thread_name() and text.startswith(message)


# ---- prover file ------------------------------------------------------------


def test_file_round_trip(small, tmp_path):
    eccs, p = small
    path = tmp_path / "prover.pc"
    p.dump_postcard(str(path))
    q = ts.IdentityProver.from_postcard(filepath=str(path))
    assert q.get_assumed() == p.get_assumed()
    ids = sorted({x for x, _, _ in eccs.to_identity_circuits()})
    for x in ids:
        assert q.par_apply_rules(x, 3) == p.par_apply_rules(x, 3)
        assert q.prove_identity_with_visited(x, 3, 1000) == p.prove_identity_with_visited(x, 3, 1000)
    again = tmp_path / "again.pc"
    q.dump_postcard(str(again))
    assert again.read_bytes() == path.read_bytes()
    # Bytes after the rule map are ignored.
    with open(path, "ab") as f:
        f.write(b"\xff\xff garbage")
    assert ts.IdentityProver.from_postcard(str(path)).get_assumed() == p.get_assumed()


def test_file_of_empty_collection(make_eccs, tmp_path):
    p = ts.IdentityProver.build_from_eccs(make_eccs([], 2))
    path = tmp_path / "p.pc"
    p.dump_postcard(str(path))
    assert path.read_bytes() == b"\x00\x00\x00"
    p = ts.IdentityProver.build_from_eccs(make_eccs([[([], (0, 1))]], 2))
    p.dump_postcard(str(path))
    assert path.read_bytes() == bytes.fromhex("000001000000")


def test_file_errors(make_eccs, tmp_path, raises_panic):
    empty = tmp_path / "empty.pc"
    empty.write_bytes(b"")
    with pytest.raises(ValueError) as e:
        ts.IdentityProver.from_postcard(str(empty))
    assert e.value.args == ("Failed to read postcard data: Hit the end of buffer, expected more data",)
    with pytest.raises(OSError) as e:
        ts.IdentityProver.from_postcard(str(tmp_path / "missing.pc"))
    assert e.value.args == ("Failed to open file: No such file or directory (os error 2)",)
    p = ts.IdentityProver.build_from_eccs(make_eccs([], 1))
    target = tmp_path / "nodir" / "p.pc"
    with pytest.raises(OSError) as e:
        p.dump_postcard(str(target))
    assert e.value.args[0].startswith("Failed to create file: ")
    assert not (tmp_path / "nodir").exists()
    with pytest.raises(TypeError):
        p.dump_postcard(3)
    # A gate the table does not hold.
    bad = tmp_path / "bad.pc"
    bad.write_bytes(b"\x01\x01\x04nope\x00\xff\x80\x80\x80\x08")
    with raises_panic("Failed to deserialize Gate16 from nope"):
        ts.IdentityProver.from_postcard(str(bad))
    # A stored identity is taken as it is; checking it later fails.
    notid = tmp_path / "notid.pc"
    notid.write_bytes(b"\x01\x01\x01h\x00\xff\x80\x80\x80\x08\x00\x00")
    (x,) = ts.IdentityProver.from_postcard(str(notid)).get_assumed()
    with raises_panic():
        x.check()


def test_save_keeps_good_file_on_failure(small, tmp_path):
    _, p = small
    path = tmp_path / "p.pc"
    p.dump_postcard(str(path))
    good = path.read_bytes()
    # A directory in place of the temporary file's directory entry cannot be
    # replaced: saving over a directory fails and leaves it alone.
    d = tmp_path / "dir.pc"
    d.mkdir()
    with pytest.raises(OSError):
        p.dump_postcard(str(d))
    assert d.is_dir()
    assert path.read_bytes() == good
    assert sorted(os.listdir(tmp_path)) == ["dir.pc", "p.pc"]


def test_from_postcard_fuzz(small, tmp_path, PanicException):
    _, p = small
    path = tmp_path / "p.pc"
    p.dump_postcard(str(path))
    good = path.read_bytes()
    rnd = random.Random(1234)
    f = tmp_path / "fuzz.pc"
    for i in range(300):
        data = bytearray(good)
        if i % 3 == 0:
            data = data[: rnd.randrange(len(data))]
        else:
            for _ in range(rnd.randrange(1, 4)):
                data[rnd.randrange(len(data))] = rnd.randrange(256)
        f.write_bytes(bytes(data))
        try:
            q = ts.IdentityProver.from_postcard(str(f))
        except ValueError as e:
            assert e.args[0].startswith("Failed to read postcard data: ")
        except PanicException:
            pass
        else:
            q.get_assumed()


def _build_on_terminal(tmp_path, env_extra):
    """Builds a prover in a child whose standard error is a terminal; returns what it wrote there."""
    import pty
    import subprocess
    import sys

    path = tmp_path / "classes.pc"
    path.write_bytes(encode([[([], (0,)), ([("h", 0), ("h", 0)], (0,))]], 1))
    code = f"import tessellan as ts; ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard({str(path)!r}))"
    master, slave = pty.openpty()
    env = dict(os.environ, **env_extra)
    proc = subprocess.Popen([sys.executable, "-c", code], stderr=slave, stdout=subprocess.DEVNULL, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    assert proc.wait() == 0
    return b"".join(chunks).decode()


def test_progress_bars_only_on_a_terminal(tmp_path):
    text = _build_on_terminal(tmp_path, {"TERM": "xterm"})
    assert "Building identity prover from 1 ECCs" in text
    assert "Proving Identities" in text
    assert "\u2588" in text and " 1/1" in text
    assert "\x1b[2K" in text
    # No colours whatever the colour settings; a dumb terminal gets no erase codes.
    forced = _build_on_terminal(tmp_path, {"TERM": "dumb", "CLICOLOR_FORCE": "1"})
    assert " 1/1" in forced and "\x1b" not in forced
