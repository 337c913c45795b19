"""A loaded prover is the prover that formed its stored values where the loading process orders its gates as
those values do, and holds this process's forms of them where it orders them otherwise.

Gate indices follow creation order and order the instructions of canonical forms, while a prover file names
gates and records the order in which the saving process created them, where all its values follow that order.
The first prover here is built over two user gates, rv and rz4, from data/thread_counts/rv_rz4_cx_q2_k4.classes.pc.gz
(see test_thread_counts.py) in a process that creates rv first; it is then loaded in fresh processes that create
rv first and rz4 first.  Queries are the identities of 8 to 10 gates among the classes of up to 5 gates, which
reach the rule map and the proved identities at many entries that hold both gates.  On two qubits every stored
form is formed again into itself, so both orders answer alike; the three-qubit cases below hold forms that are
not, and there a trip through another order need not bring back the saved file."""

import gzip
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import tessellan as ts
from postcard_bytes import circuit, decode_prover, gate_order_record, varint

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "thread_counts")

# argv: the gate order ("rv,rz4" or "rz4,rv"), a mode and its files.  Both
# orders also create the adjoints, in the same order as the gates.
CHILD = r"""
import json, os, sys
import numpy as np
import tessellan as ts
order, mode, *files = sys.argv[1:]
c = s = np.cos(np.pi / 4)
make = {"rv": lambda: ts.Gate("rv", [], np.array([[c, -s], [s, c]], dtype=complex)),
        "rz4": lambda: ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)]))}
g = {name: make[name]() for name in order.split(",")}
for name in order.split(","):
    g[name].adjoint()
rv, rz4, cx = g["rv"], g["rz4"], ts.Gate.from_name("cx")

# Per query, whether it is proved; per proved query, whether its exported
# proof rests on the prover's own assumptions (or the empty identity) alone,
# or the exception of an export whose search gave up.
def answers(prover, queries):
    proved = [prover.prove_identity(q, 2, 100000) is None for q in queries]
    assumed = set(prover.get_assumed())
    proofs = []
    for q in (q for q, p in zip(queries, proved) if p):
        try:
            proof = prover.export_proof(q, 2, 100000)
        except BaseException as e:
            proofs.append(type(e).__name__)
            continue
        proofs.append(proof is not None and all(d is not None or i in assumed or not i.inner.instrs
                                                for i, d in proof.raw))
    return {"proved": proved, "assumed": len(assumed), "proofs": proofs}

if mode == "save":
    classes, prover_file, queries_file = files
    stderr = os.dup(2)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the build's progress lines
    prover = ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard(classes))
    os.dup2(stderr, 2)
    prover.dump_postcard(prover_file)
    raw, _ = ts.RawECCs.search(ts.Evaluator(2), [rv(0), rv(1), rz4(0), rz4(1), cx(0, 1), cx(1, 0)], 5)
    queries = [i for i, _, _ in raw.simplify().to_identity_circuits() if 8 <= len(i.inner.instrs) <= 10]
    with open(queries_file, "w") as f:
        json.dump([q.pythonize() for q in queries], f)
else:
    prover_file, queries_file, out = files
    prover = ts.IdentityProver.from_postcard(prover_file)
    with open(queries_file) as f:
        queries = [ts.IdentityCirc.from_python(d).inner.rotate_representative() for d in json.load(f)]
    prover.dump_postcard(out)
print(json.dumps(answers(prover, queries)))
"""

SAVING_ORDER, OTHER_ORDER = "rv,rz4", "rz4,rv"


def child(order, mode, *files, code=CHILD):
    """The last line of output of the script `code` run with these arguments, as JSON."""
    done = subprocess.run([sys.executable, "-c", code, order, mode, *map(str, files)], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """(folder, the saving process's answers) of a prover built and saved with rv created first."""
    d = tmp_path_factory.mktemp("gate_order")
    with gzip.open(os.path.join(DATA, "rv_rz4_cx_q2_k4.classes.pc.gz"), "rb") as f:
        (d / "classes.pc").write_bytes(f.read())
    answers = child(SAVING_ORDER, "save", d / "classes.pc", d / "prover.pc", d / "queries.json")
    return d, answers


@pytest.mark.parametrize("order", [SAVING_ORDER, OTHER_ORDER])
def test_loaded_prover_answers_as_saved(saved, order):
    d, answers = saved
    loaded = child(order, "load", d / "prover.pc", d / "queries.json", d / f"back-{order}.pc")
    assert loaded == answers
    # The queries prove something, and not everything: they tell provers apart.
    assert 0 < sum(answers["proved"]) < len(answers["proved"])
    assert True in answers["proofs"] and False not in answers["proofs"]


def test_loaded_prover_saves_its_forms(saved):
    """Loaded in the saving order, a prover writes the file back byte for byte; loaded in the other order,
    it holds that order's forms, which on two qubits (every form a fixed point) bring back the saved file when
    loaded in the saving order again."""
    d, answers = saved
    original = (d / "prover.pc").read_bytes()
    assert original.endswith(gate_order_record("rv", "rz4", "rv†", "rz4†"))
    child(SAVING_ORDER, "load", d / "prover.pc", d / "queries.json", d / "same.pc")
    assert (d / "same.pc").read_bytes() == original
    assert child(OTHER_ORDER, "load", d / "prover.pc", d / "queries.json", d / "other.pc") == answers
    assert (d / "other.pc").read_bytes() != original
    assert child(SAVING_ORDER, "load", d / "other.pc", d / "queries.json", d / "back.pc") == answers
    assert (d / "back.pc").read_bytes() == original



@pytest.mark.parametrize("record", [False, True], ids=["no record", "saving order recorded"])
def test_stored_values_the_forms_refuse_are_kept(tmp_path, record):
    """Values that are not canonical forms of anything (a qubit beyond the permutation) hold two user gates
    whose saving order no key shows: loading keeps them as stored without failing.  Without a record nothing
    tells their order, so the prover writes none back."""
    ts.Gate("ga", [], np.diag([1, np.exp(1j * np.pi / 9)]))
    ts.Gate("gb", [], np.diag([1, np.exp(1j * np.pi / 11)]))
    refused = circuit([("ga", 3), ("gb", 0)], (0,))
    data = varint(1) + refused + varint(1) + refused + varint(1) + refused + varint(1) + refused
    path = tmp_path / "crafted.pc"
    path.write_bytes(data + (gate_order_record("ga", "gb") if record else b""))
    prover = ts.IdentityProver.from_postcard(str(path))
    [assumed] = prover.get_assumed()
    assert assumed.pythonize() == {"instrs": [("ga", (3, 255)), ("gb", (0, 255))], "perm": {"raw": 1 << 24}}
    prover.dump_postcard(str(tmp_path / "back.pc"))
    assert (tmp_path / "back.pc").read_bytes() == path.read_bytes()


# The start of the three-qubit child scripts: argv is the order in which rx4 and rx4† are created ("rx4,rx4†" or
# "rx4†,rx4"), a mode and its files.
GATES3 = r"""
import json, sys
import numpy as np
import tessellan as ts
order, mode, *files = sys.argv[1:]
m = np.array([[np.cos(np.pi / 8), -1j * np.sin(np.pi / 8)], [-1j * np.sin(np.pi / 8), np.cos(np.pi / 8)]])
make = {"rx4": lambda: ts.Gate("rx4", [], m), "rx4†": lambda: ts.Gate("rx4†", [], m.conj().T)}
g = {name: make[name]() for name in order.split(",")}
rx4, rx4d, h, cx = g["rx4"], g["rx4†"], ts.Gate.from_name("h"), ts.Gate.from_name("cx")
"""

# Three qubits, where canonical forms need not be fixed points: forming a stored form again can give another
# circuit.  X is an identity over cx and the user gates rx4 and rx4† whose stored form is not a fixed point.
# Two provers hold it as an assumption: one built from classes over h and cx, whose keys hold no user gate and
# so never show how the saving process ordered rx4 and rx4†, and one built from classes over h, rx4, rx4† and
# cx, whose keys show it.  Each is loaded in the saving order (rx4 first) and in the other one (rx4† created
# first, under its own name), from the file as saved, from the file cut after the rule map, as an older
# build writes it, and from the cut file followed by bytes that are not a record of its gates' order.
CHILD3 = GATES3 + r"""
X = [cx(1, 2), rx4d(0), cx(0, 1), cx(1, 0), cx(0, 2), rx4(1), cx(0, 1)]
queries = [ts.Circ(pre + X, [1, 0, 2]).rotate_representative()
           for pre in ([], [h(2), h(2)], [h(0), h(0)], [cx(0, 2), cx(0, 2)], [h(1), cx(1, 2), cx(1, 2), h(1)])]
LIMITS = (10, 1000, 10**6)

def answers(prover):
    out = {"answers": [str(prover.prove_identity(q, 1, n)) for q in queries for n in LIMITS],
           "assumed": [a.pythonize() for a in prover.get_assumed()], "proofs": []}
    for q in queries:
        try:
            out["proofs"].append(str(prover.export_proof(q, 1, 10**6)))
        except BaseException as e:
            out["proofs"].append(type(e).__name__)
    out["added"] = [prover.add_identity(q, 1, 1000) for q in queries]
    out["assumed after adding"] = [a.pythonize() for a in prover.get_assumed()]
    return out

def silent(build):
    import os
    stderr = os.dup(2)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the build's progress lines
    try:
        return build()
    finally:
        os.dup2(stderr, 2)

if mode == "save":
    result = {}
    for keys, gates in (("hide", [h, cx]), ("show", [h, rx4, rx4d, cx])):
        eccs = silent(lambda: ts.RawECCs.generate(ts.Evaluator(3), gates, 2)[0].simplify())
        prover = silent(lambda: ts.IdentityProver.build_from_eccs(eccs))
        prover.add_identity(queries[0], 0, 0)
        prover.dump_postcard(files[0] + "-" + keys)
        result[keys] = answers(prover)
    print(json.dumps(result))
else:
    # The file, the stored assumptions and where to write the loaded prover back.
    prover = ts.IdentityProver.from_postcard(files[0])
    with open(files[1]) as f:
        stored = [ts.IdentityCirc.from_python(d) for d in json.load(f)]
    # What this process's forms make of the stored ones: formed again where they hold both user gates.
    ours = [s.inner.rotate_representative() if {"rx4", "rx4†"} <= {i.gate.name for i in s.inner.instrs} else s
            for s in stored]
    prover.dump_postcard(files[2])
    out = answers(prover)
    out["stored kept"] = [a.pythonize() for a in stored]
    out["ours"] = [a.pythonize() for a in ours]
    print(json.dumps(out))
"""

OTHER_ORDER3 = "rx4†,rx4"


@pytest.fixture(scope="module")
def saved3(tmp_path_factory):
    """(folder, the saving process's results per prover): files prover-hide and prover-show, saved rx4 first,
    with prover-KEYS-none (cut after the rule map) and prover-KEYS-other (cut, then other bytes) beside each,
    and the stored assumptions of each in assumed-KEYS.json."""
    d = tmp_path_factory.mktemp("gate_order_3q")
    saved = child("rx4,rx4†", "save", d / "prover", code=CHILD3)
    record = gate_order_record("rx4", "rx4†")
    for keys, results in saved.items():
        data = (d / f"prover-{keys}").read_bytes()
        assert data.endswith(record)
        (d / f"prover-{keys}-none").write_bytes(data[:-len(record)])
        # A name the file does not hold (and the gate table does not know) is no record.
        (d / f"prover-{keys}-other").write_bytes(data[:-len(record)] + gate_order_record("rx4†", "zz"))
        (d / f"assumed-{keys}.json").write_text(json.dumps(results["assumed"]))
    return d, saved


@pytest.mark.parametrize("keys", ["hide", "show"])
@pytest.mark.parametrize("tail", ["record", "none", "other"], ids=["as saved", "cut after the rule map",
                                                                 "other bytes after the rule map"])
@pytest.mark.parametrize("order", ["rx4,rx4†", OTHER_ORDER3], ids=["saving order", "other order"])
def test_loaded_prover_on_three_qubits(saved3, keys, tail, order):
    d, saved = saved3
    path = d / (f"prover-{keys}" + ("" if tail == "record" else f"-{tail}"))
    back = d / f"back-{keys}-{tail}-{order}"
    loaded = child(order, "load", path, d / f"assumed-{keys}.json", back, code=CHILD3)
    if order != OTHER_ORDER3:
        # The saved prover: the same answers at every limit, assumptions, proofs and add_identity outcomes,
        # and the file it writes back is the one saved, with the record of the gate order where the file
        # told that order.
        assert {k: loaded[k] for k in saved[keys]} == saved[keys]
        told = tail == "record" or keys == "show"
        assert back.read_bytes() == (d / (f"prover-{keys}" + ("" if told else "-none"))).read_bytes()
        # The data tell formed forms from stored ones, and prove something.
        assert loaded["ours"] != loaded["stored kept"]
        assert "None" in saved[keys]["answers"]
    elif tail != "record" and keys == "hide":
        # Nothing shows how the saving process ordered rx4 and rx4†: the forms are kept as stored.
        assert loaded["assumed"] == loaded["stored kept"]
    else:
        # Recorded, or shown by the keys: the stored forms are translated into this process's forms.
        assert loaded["assumed"] == loaded["ours"]


THREE_FIELDS = ("answers", "assumed", "proofs", "added", "assumed after adding")


@pytest.fixture(scope="module")
def load3(saved3):
    """load3(order, path) -> (results, bytes written back) of the prover at `path` loaded in `order`, the
    file written back at path-back-ORDER; each load runs once."""
    d, _ = saved3
    done = {}

    def load(order, path):
        if (order, path) not in done:
            keys = "show" if "show" in path.name else "hide"
            back = path.with_name(f"{path.name}-back-{order}")
            results = child(order, "load", path, d / f"assumed-{keys}.json", back, code=CHILD3)
            done[order, path] = results, back
        return done[order, path]

    return load


def fields(data):
    """A prover file as (assumptions in order, proved as a set, rule map as a dict) and the bytes after it."""
    assume, proved, rules, rest = decode_prover(data, rest=True)
    as_tuple = lambda c: (tuple(map(tuple, c[0])), c[1])
    return ([as_tuple(a) for a in assume], {as_tuple(p) for p in proved},
            {as_tuple(k): [as_tuple(c) for c in v] for k, v in rules}), rest


@pytest.mark.parametrize("keys", ["hide", "show"], ids=["keys hide the pair", "keys show it"])
@pytest.mark.parametrize("tail", ["record", "none"], ids=["file with a record", "file cut after the rule map"])
@pytest.mark.parametrize("chain", ["A", "ABA", "ABB"], ids=["A", "A-B-A", "A-B-B"])
def test_chains_of_loads_and_saves(saved3, load3, keys, tail, chain):
    """A file saved in order A (rx4 first) goes through loads and saves in A and B (rx4† first).  Loaded in
    the order that its stored values follow, a file is the prover that formed them: the same answers at every
    limit, assumptions, proofs, add_identity outcomes and three fields, and it records that order where its
    values follow it.  Where B cannot tell how the values order the pair (a cut file whose keys hide it), it
    keeps them as stored, in A's forms, and records no order, so that A finds its own prover again."""
    d, saved = saved3
    A, B = "rx4,rx4†", OTHER_ORDER3
    first = d / (f"prover-{keys}" + ("" if tail == "record" else "-none"))
    told = tail == "record" or keys == "show"
    original = ({k: saved[keys][k] for k in THREE_FIELDS}, (d / f"prover-{keys}").read_bytes())
    if chain == "A":
        former, (final, back), order = original, load3(A, first), A
    else:
        _, b_file = load3(B, first)
        if chain == "ABB":
            former, (final, back), order = load3(B, first), load3(B, b_file), B
        elif not told:
            former, (final, back), order = original, load3(A, b_file), A
        else:
            _, a_file = load3(A, b_file)
            former, (final, back), order = load3(A, b_file), load3(A, a_file), A
    results, written = former
    if not isinstance(written, bytes):
        written = written.read_bytes()
    assert {k: final[k] for k in THREE_FIELDS} == {k: results[k] for k in THREE_FIELDS}
    (values, record), (values_before, _) = fields(back.read_bytes()), fields(written)
    assert values == values_before
    assert record == (gate_order_record(*order.split(",")) if told else b"")


@pytest.mark.parametrize("keys,trailer", [
    ("hide", b"\x02\x05rx4"),                                     # cut inside the record
    ("hide", gate_order_record("rx4†", "rx4†")),                   # a gate twice
    ("hide", varint(2**64 - 1) + gate_order_record("rx4†", "rx4")[1:]),  # a count beyond the file's gates
    ("hide", gate_order_record("rx4†", "h")),                      # a built-in gate
    ("hide", gate_order_record("rx4†", "zz")),                     # a gate the file does not name
    ("hide", b"\xff" * 12),                                        # no varint
    ("show", gate_order_record("rx4†", "rx4")),                    # an order the keys contradict
], ids=["cut", "duplicate", "huge count", "built-in", "unknown name", "junk", "contradicted by the keys"])
@pytest.mark.parametrize("order", ["rx4,rx4†", OTHER_ORDER3], ids=["saving order", "other order"])
def test_trailers_that_are_no_record(saved3, load3, keys, trailer, order):
    """Bytes after the rule map that are not a record of the file's gates in an order its keys allow load as
    a file without a record would.  Each trailer names the other order first, which a record would make the
    saving order's load form again."""
    d, _ = saved3
    cut = d / f"prover-{keys}-none"
    path = d / f"prover-{keys}-trailer-{trailer.hex()}"
    path.write_bytes(cut.read_bytes() + trailer)
    (results, back), (expected, expected_back) = load3(order, path), load3(order, cut)
    assert results == expected
    assert back.read_bytes() == expected_back.read_bytes()


# Identities C C^-1 over h, cx and the user gates rx4 and rx4†: 40 of 20 to 40 instructions, then 20 of 42,
# beyond the longest value loading forms again.  "forms" prints their forms; "load" spells out the forms in a file,
# takes this process's forms of them as queries and looks each up with add_identity(query, 0, 0), which
# returns False at once for an identity in `proved` and searches from it (and panics) otherwise.
CHILD_LONG = GATES3 + r"""
if mode == "forms":
    rng = np.random.default_rng(7)
    forms = []
    for n in [*rng.integers(10, 21, size=40), *[21] * 20]:
        instrs = []
        for k, q, t in zip(rng.integers(4, size=n), rng.integers(3, size=n), rng.integers(1, 3, size=n)):
            instrs.append([rx4(q), rx4d(q), h(q), cx(q, (q + t) % 3)][k])
        c = ts.Circ(instrs, [0, 1, 2])
        forms.append((c + c.inverse()).rotate_representative().pythonize())
    print(json.dumps(forms))
else:
    path, forms = files
    with open(forms) as f:
        queries = [ts.IdentityCirc.from_python(d).inner.rotate_representative() for d in json.load(f)]
    prover = ts.IdentityProver.from_postcard(path)
    found = []
    for q in queries:
        try:
            found.append(prover.add_identity(q, 0, 0))
        except BaseException as e:
            found.append(str(e))
    prover.dump_postcard(path + "-back")
    print(json.dumps({"found": found, "queries": [q.pythonize() for q in queries]}))
"""


def test_long_proved_identities_are_translated(tmp_path):
    """Proved identities longer than the rewrite step takes (a search stores those it visits, up to the
    start's length plus the allowance) are formed again in another order, up to 40 instructions, so that
    add_identity finds them instead of searching from them; a longer one is kept as stored, and the prover
    then records no order."""
    A, B = "rx4,rx4†", OTHER_ORDER3
    forms = child(A, "forms", code=CHILD_LONG)
    (tmp_path / "forms.json").write_text(json.dumps(forms))
    assert [20 <= len(f["instrs"]) <= 40 for f in forms] == [True] * 40 + [False] * 20
    proved = b"".join(circuit([(n, *(q for q in qs if q != 255)) for n, qs in f["instrs"]], f["perm"]["raw"])
                      for f in forms)
    record = gate_order_record("rx4", "rx4†")
    path = tmp_path / "long.pc"
    path.write_bytes(varint(0) + varint(len(forms)) + proved + varint(0) + record)
    in_a = child(A, "load", path, tmp_path / "forms.json", code=CHILD_LONG)
    assert (tmp_path / "long.pc-back").read_bytes() == path.read_bytes()
    in_b = child(B, "load", path, tmp_path / "forms.json", code=CHILD_LONG)
    assert fields((tmp_path / "long.pc-back").read_bytes())[1] == b""
    # Forming a form again can give another circuit, in the saving order too: most spelled-out forms are found
    # in A, and B finds every one of up to 40 instructions that A finds, though its forms of some are other
    # circuits.  Longer ones B finds only where its form is the stored one.
    found = {o: [x is False for x in r["found"]] for o, r in ((A, in_a), (B, in_b))}
    other = [q != f for q, f in zip(in_b["queries"], forms)]
    assert sum(found[A][:40]) >= 30 and sum(o for o, a in zip(other[:40], found[A]) if a) >= 3
    assert all(b for a, b in zip(found[A][:40], found[B]) if a)
    assert found[A][40:] == [True] * 20 and found[B][40:] == [not o for o in other[40:]] and any(other[40:])


@pytest.mark.parametrize("record", [None, ("la", "lb"), ("lb", "la")],
                         ids=["no record", "saving order recorded", "other order recorded"])
def test_long_stored_values_load_at_once(tmp_path, record):
    """Values longer than loading forms again are kept as stored: forming one of 4,000 instructions on 8 qubits
    again would try every renaming of its qubits with a quadratic pass, and stall the load for minutes.  The
    prover writes a record back only where the file's record says its values follow this process's order."""
    ts.Gate("la", [], np.diag([1, np.exp(1j * np.pi / 13)]))
    ts.Gate("lb", [], np.diag([1, np.exp(1j * np.pi / 17)]))
    rng = np.random.default_rng(5)
    instrs = [("la", q) if k == 0 else ("lb", q) if k == 1 else ("cx", q, (q + 1 + rng.integers(7)) % 8)
              for k, q in zip(rng.integers(3, size=4000), rng.integers(8, size=4000))]
    long = circuit(instrs, tuple(range(8)))
    data = varint(1) + long + varint(1) + long + varint(1) + long + varint(1) + long
    path = tmp_path / "long.pc"
    path.write_bytes(data + (gate_order_record(*record) if record else b""))
    start = time.monotonic()
    prover = ts.IdentityProver.from_postcard(str(path))
    assert time.monotonic() - start < 1.0
    prover.dump_postcard(str(tmp_path / "back.pc"))
    assert (tmp_path / "back.pc").read_bytes() == data + (gate_order_record("la", "lb") if record == ("la", "lb")
                                                          else b"")
