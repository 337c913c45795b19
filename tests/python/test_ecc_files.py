"""Class-collection files and the Quartz export: exact bytes, round trips, error mapping, safe saves, fuzzing."""

import itertools
import json
import os
import pathlib
import random
import time

import numpy as np
import pytest

import tessellan as ts
from child_python import python_output
from circuits import gates
from postcard_bytes import H_CLASSES, encode

EOF = "Failed to read postcard data: Hit the end of buffer, expected more data"
BAD_VARINT = "Failed to read postcard data: Found a varint that didn't terminate. Is the usize too big for this platform?"
BAD_UTF8 = "Failed to read postcard data: Tried to parse invalid utf-8"


def dumped(eccs, path):
    eccs.dump_postcard(str(path))
    return path.read_bytes()


def quartz(eccs, path):
    eccs.dump_quartz(str(path))
    return path.read_text(encoding="utf-8")


def phase_gate(name, params, angle):
    return ts.Gate(name, params, np.array([[1, 0], [0, np.exp(1j * angle)]], dtype=complex))


# ---------------------------------------------------------------------------
# Postcard file


@pytest.mark.parametrize(
    "data, nqubits, circuits",
    [
        (bytes.fromhex("01 01 00 88 80 80 10 02"), 2, [[[]]]),
        (bytes.fromhex("01 01 01 01 68 00 ff 80 80 80 08 01"), 1, [[["h(0)"]]]),
        (bytes.fromhex("00 03"), 3, []),
        (H_CLASSES, 1, [[[], ["h(0)", "h(0)"]], [["h(0)"]]]),
    ],
)
def test_example_bytes(load_eccs, tmp_path, data, nqubits, circuits):
    eccs = load_eccs(data)
    assert eccs.nqubits == nqubits and len(eccs) == len(circuits)
    assert [[[str(i) for i in c] for c in e.circuits()] for e in eccs.to_list()] == circuits
    assert dumped(eccs, tmp_path / "out.bin") == data
    assert load_eccs(data + b"\x07trailing") == eccs
    assert encode([[([], (0, 1))]], 2) == bytes.fromhex("01 01 00 88 80 80 10 02")  # the test encoder agrees


def test_h_classes_text_and_quartz(load_eccs, tmp_path):
    eccs = load_eccs(H_CLASSES)
    assert str(eccs) == "ECC {\n\t,\n\th(0) h(0),\n}"
    assert quartz(eccs, tmp_path / "h.json") == (
        '[[[0],[0]],{"0_0":[[[1,0],[]],[[1,2],[["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]]]}]')


def test_round_trip_keeps_everything(load_eccs, tmp_path):
    # Nothing is validated: odd permutation words, an empty class, qubits past
    # nqubits and a huge nqubits are stored and written back as they are.
    data = encode([[([("cx", 7, 200), ("h", 255, 9), ("t", 0)], 0xFFFFFFFF), ([], 0x09000000)], [],
                   [([("swap", 1, 0)], (1, 0))]], (1 << 64) - 1)
    eccs = load_eccs(data)
    assert eccs.nqubits == (1 << 64) - 1 and len(eccs) == 3
    assert dumped(eccs, tmp_path / "a.bin") == data
    assert load_eccs(data) == eccs
    # A non-minimal varint reads the same value; the save writes it minimally.
    assert dumped(load_eccs(b"\x80\x00\x83\x00"), tmp_path / "b.bin") == b"\x00\x03"


def test_generated_classes_round_trip(tmp_path):
    e = ts.Evaluator(2)
    raw, _ = ts.RawECCs.generate(e, gates("h", "t", "cx"), 3)
    eccs = raw.simplify()
    data = dumped(eccs, tmp_path / "g.bin")
    again = ts.ECCs.from_postcard(str(tmp_path / "g.bin"))
    assert again == eccs and len(again) == len(eccs) > 100
    assert dumped(again, tmp_path / "g2.bin") == data
    assert quartz(again, tmp_path / "g2.json") == quartz(eccs, tmp_path / "g.json")


def test_decode_errors(load_eccs, raises_panic):
    h = bytes.fromhex("01 01 01 01 68 00 ff 80 80 80 08 01")
    for cut in range(len(h)):
        with pytest.raises(ValueError) as e:
            load_eccs(h[:cut])
        assert e.value.args == (EOF,)
    cases = [
        (b"\x80" * 10 + b"\x00", BAD_VARINT),
        (b"\xff" * 9 + b"\x02", BAD_VARINT),
        (b"\xff" * 9 + b"\x01\x00", EOF),  # 2^64 - 1 classes, then the data ends
        (bytes.fromhex("01 01 00 ff ff ff ff 10 01"), BAD_VARINT),  # permutation word past 32 bits
        (bytes.fromhex("01 01 01 01 c3 00 ff 80 80 80 08 01"), BAD_UTF8),
        (bytes.fromhex("01 01 01 02 ed a0 00 ff 80 80 80 08 01"), BAD_UTF8),  # surrogate
        (bytes.fromhex("01 01 01 81 40") + b"a" * 8193, EOF),  # longer than the scratch area
    ]
    for data, text in cases:
        with pytest.raises(ValueError) as e:
            load_eccs(data)
        assert e.value.args == (text,)
    # An unknown gate panics at once, ahead of the truncation after it.
    with raises_panic("Failed to deserialize Gate16 from zzz"):
        load_eccs(bytes.fromhex("01 01 01 03") + b"zzz")
    assert load_eccs(bytes.fromhex("01 01 00 ff ff ff ff 0f 01")).nqubits == 1


def test_matrix_gate_must_be_defined_first(load_eccs, tmp_path, raises_panic):
    name = "ecc_file_phase"
    data = encode([[([(f"{name}(a/7)", 0)], (0,)), ([], (0,))]], 1)
    with raises_panic(f"Failed to deserialize Gate16 from {name}(a/7)"):
        load_eccs(data)
    g = phase_gate(name, ["a/7"], 0.3141)
    eccs = load_eccs(data)
    assert eccs.to_list()[0].circuits()[0][0].gate == g
    assert dumped(eccs, tmp_path / "g.bin") == data


def test_open_and_create_errors(load_eccs, tmp_path):
    eccs = load_eccs(b"\x00\x03")
    missing = tmp_path / "missing.bin"
    with pytest.raises(OSError) as e:
        ts.ECCs.from_postcard(str(missing))
    assert e.value.args == ("Failed to open file: No such file or directory (os error 2)",) and e.value.errno is None
    with pytest.raises(ValueError) as e:
        ts.ECCs.from_postcard(str(tmp_path))  # a directory opens, but cannot be read
    assert e.value.args == (EOF,)
    for call, prefix in [(ts.ECCs.from_postcard, "Failed to open file: "),
                         (eccs.dump_postcard, "Failed to create file: "),
                         (eccs.dump_quartz, "Failed to create file: ")]:
        with pytest.raises(OSError) as e:
            call(str(tmp_path / "a\0b"))
        assert e.value.args == (prefix + "file name contained an unexpected NUL byte",)
        with pytest.raises(TypeError, match=r"^argument 'filepath': 'PosixPath' object cannot be converted to 'PyString'$"):
            call(tmp_path / "x.bin")
    for call in (eccs.dump_postcard, eccs.dump_quartz):
        with pytest.raises(OSError) as e:
            call(str(tmp_path / "nope" / "x"))
        assert e.value.args == ("Failed to create file: No such file or directory (os error 2)",)
    assert eccs.dump_postcard(filepath=str(tmp_path / "kw.bin")) is None
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in0.bin", "kw.bin"]


def test_failed_saves_keep_the_old_file(load_eccs, tmp_path, raises_panic):
    eccs = load_eccs(H_CLASSES)
    (tmp_path / "sub").mkdir()
    good_bin, good_json = tmp_path / "good.bin", tmp_path / "good.json"
    good_bin.write_bytes(b"old bin")
    good_json.write_bytes(b"old json")
    # A directory as the target.
    for call in (eccs.dump_postcard, eccs.dump_quartz):
        with pytest.raises(OSError) as e:
            call(str(tmp_path / "sub"))
        assert e.value.args == ("Failed to create file: Is a directory (os error 21)",)
    # A permutation length mismatch panics before the Quartz file is touched.
    mixed = load_eccs(encode([[([], (0, 1)), ([], (0,))]], 2))
    with raises_panic("assertion failed: self.len() == other.len()"):
        mixed.dump_quartz(str(good_json))
    assert good_bin.read_bytes() == b"old bin" and good_json.read_bytes() == b"old json"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["good.bin", "good.json", "in0.bin", "in1.bin", "sub"]
    assert list((tmp_path / "sub").iterdir()) == []


def test_write_failure_mid_file_keeps_the_old_file(tmp_path):
    # The file size limit makes the writes fail after the first buffers: the
    # save fails, the old file stays and no temporary file is left behind.
    data = encode([[([("h", 0)], (0,)), ([("x", 0), ("x", 0), ("h", 0)], (0,))]] * 3000, 1)
    src = tmp_path / "big.bin"
    src.write_bytes(data)
    script = f"""
import resource, signal, tessellan as ts
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
eccs = ts.ECCs.from_postcard({str(src)!r})
resource.setrlimit(resource.RLIMIT_FSIZE, (12000, 12000))
for call in (eccs.dump_postcard, eccs.dump_quartz):
    try:
        call({str(tmp_path / "target")!r})
    except ValueError as e:
        print(e.args)
"""
    (tmp_path / "target").write_bytes(b"precious")
    out = python_output(script)
    assert out.splitlines() == ["('Failed to write postcard data: The serialize buffer is full',)",
                                "('Failed to write JSON: File too large (os error 27)',)"]
    assert (tmp_path / "target").read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.bin", "target"]


def test_ambiguous_gate_refused(tmp_path):
    if not hasattr(ts.RawECCs, "simplify"):
        pytest.skip("needs classes from the search")
    shadow = ts.Gate("h", [], np.array([[0.6, 0.8], [0.8, -0.6]], dtype=complex))
    assert shadow != ts.Gate.from_name("h")
    raw, _ = ts.RawECCs.generate(ts.Evaluator(1), [shadow], 2)
    eccs = raw.simplify()
    target, json_target = tmp_path / "t.bin", tmp_path / "t.json"
    target.write_bytes(b"old")
    json_target.write_bytes(b"old")
    with pytest.raises(ValueError) as e:
        eccs.dump_postcard(str(target))
    assert e.value.args == ("Failed to write postcard data: gate display name h is shared with another gate",)
    if len(eccs.filter_single()):
        with pytest.raises(ValueError) as e:
            eccs.dump_quartz(str(json_target))
        assert e.value.args == ("Failed to write JSON: gate display name h is shared with another gate",)
    assert target.read_bytes() == b"old" and json_target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.bin", "t.json"]


# ---------------------------------------------------------------------------
# Quartz export


def parse_pairs(text):
    """The document with every object as its list of (key, value) pairs, in file order."""
    return json.loads(text, object_pairs_hook=list)


def test_quartz_examples(load_eccs, tmp_path):
    single = [([("h", 0)], (0, 1))]
    assert quartz(load_eccs(encode([single, [], single], 2)), tmp_path / "e.json") == "[[[0],[0]],{}]"
    sw = '["swap",["Q0","Q1"],["Q0","Q1"]]'
    swap_class = [([("swap", 0, 1)], (0, 1)), ([], (1, 0))]
    assert quartz(load_eccs(encode([swap_class], 2)), tmp_path / "s.json") == (
        '[[[0],[0]],{"0_0":[[[2,1],[' + sw + ']],[[2,1],[' + sw + ']]],'
        '"0_1":[[[2,2],[' + sw + ',' + sw + ']],[[1,0],[]]]}]')
    # Equal permutations: one variant, no swaps; position 3 left out, 4 kept.
    h2 = [([("h", 2)], (0, 1, 2)), ([("cx", 0, 1), ("h", 2)], (0, 1, 2))]
    text = quartz(load_eccs(encode([single, single, single, single, h2], 3)), tmp_path / "h.json")
    assert text == ('[[[0],[0]],{"4_0":[[[3,1],[["h",["Q2"],["Q2"]]]],'
                    '[[3,2],[["cx",["Q0","Q1"],["Q0","Q1"]],["h",["Q2"],["Q2"]]]]]}]')
    assert not text.endswith("\n")
    again = tmp_path / "h2.json"
    load_eccs(encode([single, single, single, single, h2], 3)).dump_quartz(str(again))
    assert again.read_text() == text


def test_quartz_structure_and_key_order(load_eccs, tmp_path):
    single = [([("h", 0)], (0, 1, 2))]
    rng = random.Random(7)
    perms = list(itertools.permutations(range(3)))
    bodies = [[("cx", 0, 2)], [("x", 1)], [("cx", 0, 2), ("x", 1)], []]
    classes = [single] * 27
    for pos in (1, 10, 16, 26):
        classes[pos] = [(rng.choice(bodies), rng.choice(perms)) for _ in range(4)]
    # Eleven distinct permutations in one class: variant keys 0_1 < 0_10 < 0_2.
    classes[0] = [([], p) for p in list(itertools.permutations(range(4)))[:11]]
    eccs = load_eccs(encode(classes, 4))
    header, members = parse_pairs(quartz(eccs, tmp_path / "q.json"))
    assert header == [[0], [0]]
    keys = [k for k, _ in members]
    assert keys == sorted(keys, key=lambda k: k.encode())
    assert [k for k in keys if not k.startswith("0_")][:1] == ["10_0"]
    assert keys.index("10_0") < keys.index("1_0") < keys.index("1a_0") < keys.index("a_0")
    assert [k for k in keys if k.startswith("0_")] == ["0_0", "0_1", "0_10"] + [f"0_{j}" for j in range(2, 10)]
    by_class = {}
    for k, v in members:
        i, j = k.split("_")
        by_class.setdefault(int(i, 16), []).append(int(j))
    ecc_list = eccs.to_list()
    for i, js in by_class.items():
        distinct = len({p for _, p in classes[i]})
        assert sorted(js) == list(range(distinct))
    for k, value in members:
        i = int(k.split("_")[0], 16)
        assert len(value) == len(classes[i])
        for (q, g), gates in value:
            assert g == len(gates)
            used = [int(s[1:]) for _, qs, qs2 in gates for s in qs]
            assert all(qs == qs2 for _, qs, qs2 in gates)
            assert q == max(used, default=0) + 1
    # Variant 0 is the materialisation relative to circuit 0.
    for i in by_class:
        variant0 = dict(members)[f"{i:x}_0"]
        assert [[f"{n}({', '.join(s[1:] for s in qs)})" for n, qs, _ in gates] for _, gates in variant0] == [
            [str(x) for x in c] for c in ecc_list[i].circuits()]


def test_quartz_escapes_gate_names(load_eccs, tmp_path):
    name = 'q"\\\n\t\x01\x1f\x7f/é†'
    g = phase_gate(name, ["p\\1"], 0.2718)
    display = name + "(p\\1)"
    eccs = load_eccs(encode([[([(display, 0)], (0,)), ([], (0,))]], 1))
    text = quartz(eccs, tmp_path / "odd.json")
    assert '"q\\"\\\\\\n\\t\\u0001\\u001f\x7f/é†(p\\\\1)"' in text
    header, members = parse_pairs(text)
    assert members[0][1][0] == [[1, 1], [[display, ["Q0"], ["Q0"]]]]
    assert eccs.to_list()[0].circuits()[0][0].gate == g


# ---------------------------------------------------------------------------
# Fuzzing: no input may crash the process; only values, ValueError or panics.


NAMES = ["h", "x", "t", "tdg", "cx", "swap", "cz", "i"]


def random_valid(rng):
    nq = rng.choice([0, 1, 2, 3, 3, 9, 1 << 40])
    classes = []
    for _ in range(rng.randrange(4)):
        cls = []
        for _ in range(rng.randrange(4)):
            instrs = [(rng.choice(NAMES), *[rng.choice([0, 1, 2, 7, 255]) for _ in range(rng.randrange(3))])
                      for _ in range(rng.randrange(4))]
            n = rng.choice([2, 3, 3, 3])
            perm = rng.choice([tuple(rng.sample(range(n), n)), rng.getrandbits(32)])
            cls.append((instrs, perm))
        classes.append(cls)
    return encode(classes, nq)


def mutate(rng, data):
    b = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        op = rng.randrange(4)
        pos = rng.randrange(len(b) + 1)
        if op == 0 and b:
            b[min(pos, len(b) - 1)] = rng.randrange(256)
        elif op == 1:
            b[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4)))
        elif op == 2 and b:
            del b[pos:pos + rng.randrange(1, 4)]
        else:
            b = b[:pos]
    return bytes(b)


def test_fuzz_loading(tmp_path, PanicException):
    rng = random.Random(20240601)
    src, out_bin, out_json = tmp_path / "f.bin", tmp_path / "o.bin", tmp_path / "o.json"
    expected = (ValueError, PanicException)
    outcomes = {"loaded": 0, "error": 0}
    deadline = time.monotonic() + 3.0
    n = 0
    while n < 20000 and (n < 2000 or time.monotonic() < deadline):
        n += 1
        kind = rng.randrange(3)
        if kind == 0:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(24)))
        elif kind == 1:
            data = random_valid(rng)
        else:
            data = mutate(rng, random_valid(rng))
        src.write_bytes(data)
        try:
            eccs = ts.ECCs.from_postcard(str(src))
        except expected:
            outcomes["error"] += 1
            continue
        outcomes["loaded"] += 1
        for call in (lambda: str(eccs), eccs.check, eccs.filter_single, lambda: len(eccs),
                     lambda: [(e.circuits(), str(e)) for e in eccs.to_list()],
                     lambda: eccs.dump_quartz(str(out_json))):
            try:
                call()
            except expected:
                pass
        eccs.dump_postcard(str(out_bin))
        again = ts.ECCs.from_postcard(str(out_bin))
        assert again == eccs
        assert out_bin.read_bytes() == dumped(again, out_bin)
    assert outcomes["loaded"] > 100 and outcomes["error"] > 100
    assert {p.name for p in tmp_path.iterdir()} <= {"f.bin", "o.bin", "o.json"}
