"""A saved prover is the prover that was saved, whatever order the loading
process created its gates in.

Gate indices follow creation order and order the instructions of canonical
forms, while a prover file names gates.  The prover here is built over two
user gates, rv and rz4, from data/thread_counts/rv_rz4_cx_q2_k4.classes.pc.gz
(see test_thread_counts.py) in a process that creates rv first; it is then
loaded in fresh processes that create rv first and rz4 first.  Queries are
the identities of 8 to 10 gates among the classes of up to 5 gates, which
reach the rule map and the proved identities at many entries that hold both
gates."""

import gzip
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tessellan as ts
from postcard_bytes import circuit, varint

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


def child(order, mode, *files):
    done = subprocess.run([sys.executable, "-c", CHILD, order, mode, *map(str, files)], capture_output=True,
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
    it holds that order's forms, which bring back the saved file when loaded in the saving order again."""
    d, answers = saved
    original = (d / "prover.pc").read_bytes()
    child(SAVING_ORDER, "load", d / "prover.pc", d / "queries.json", d / "same.pc")
    assert (d / "same.pc").read_bytes() == original
    assert child(OTHER_ORDER, "load", d / "prover.pc", d / "queries.json", d / "other.pc") == answers
    assert (d / "other.pc").read_bytes() != original
    assert child(SAVING_ORDER, "load", d / "other.pc", d / "queries.json", d / "back.pc") == answers
    assert (d / "back.pc").read_bytes() == original



def test_stored_values_the_forms_refuse_are_kept(tmp_path):
    """Values that are not canonical forms of anything (a qubit beyond the permutation) hold two user gates
    whose saving order the file cannot show: loading forms them again where it can and keeps them as stored
    where it cannot, without failing."""
    ts.Gate("ga", [], np.diag([1, np.exp(1j * np.pi / 9)]))
    ts.Gate("gb", [], np.diag([1, np.exp(1j * np.pi / 11)]))
    refused = circuit([("ga", 3), ("gb", 0)], (0,))
    data = varint(1) + refused + varint(1) + refused + varint(1) + refused + varint(1) + refused
    path = tmp_path / "crafted.pc"
    path.write_bytes(data)
    prover = ts.IdentityProver.from_postcard(str(path))
    [assumed] = prover.get_assumed()
    assert assumed.pythonize() == {"instrs": [("ga", (3, 255)), ("gb", (0, 255))], "perm": {"raw": 1 << 24}}
    prover.dump_postcard(str(tmp_path / "back.pc"))
    assert (tmp_path / "back.pc").read_bytes() == data
