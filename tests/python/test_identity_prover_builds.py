"""Provers built from saved class collections match the files committed in
data/prover_builds (made by make_expected.py there): the same assumptions in
the same order, the same prover file to the byte, and the same rewrite-step
answers in the same order.  The prover file keeps the insertion order of its
sets, so its bytes do not depend on the run or on the number of threads."""

import gzip
import json
import os
import subprocess
import sys

import pytest

import tessellan as ts

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "prover_builds")
CASES = sorted(f.removesuffix(".classes.pc.gz") for f in os.listdir(DATA) if f.endswith(".classes.pc.gz"))


def unpacked(tmp_path, name):
    """The gzip-compressed data file `name`, written out uncompressed; its path."""
    with gzip.open(os.path.join(DATA, name), "rb") as f:
        data = f.read()
    path = tmp_path / name.removesuffix(".gz")
    path.write_bytes(data)
    return path


@pytest.fixture(scope="module", params=CASES)
def built(request, tmp_path_factory):
    """(case name, class file, the prover built from it, the prover file it writes, the expected prover file)."""
    tmp = tmp_path_factory.mktemp(request.param)
    classes = unpacked(tmp, request.param + ".classes.pc.gz")
    expected = unpacked(tmp, request.param + ".prover.pc.gz")
    prover = ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard(str(classes)))
    dumped = tmp / "built.pc"
    prover.dump_postcard(str(dumped))
    return request.param, classes, prover, dumped, expected


def test_cases_present():
    assert len(CASES) >= 4


def test_build_gives_expected_prover(built):
    name, _, prover, dumped, expected = built
    loaded = ts.IdentityProver.from_postcard(str(expected))
    assert [str(i) for i in prover.get_assumed()] == [str(i) for i in loaded.get_assumed()]
    assert dumped.read_bytes() == expected.read_bytes(), name


def test_rewrite_answers(built):
    name, _, prover, _, _ = built
    with gzip.open(os.path.join(DATA, name + ".rewrites.json.gz"), "rb") as f:
        queries = json.load(f)
    assert queries
    for q in queries:
        identity = ts.IdentityCirc.from_python(q["identity"])
        got = [str(r) for r in prover.par_apply_rules(identity, q["additional_size"])]
        assert got == q["rewrites"], (name, str(identity), q["additional_size"])


CHILD = r"""
import sys
import tessellan as ts
ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard(sys.argv[1])).dump_postcard(sys.argv[2])
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_build_bytes_do_not_depend_on_threads(tmp_path, threads):
    name = "htcx_q3_k4"
    classes = unpacked(tmp_path, name + ".classes.pc.gz")
    expected = unpacked(tmp_path, name + ".prover.pc.gz")
    out = tmp_path / "child.pc"
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    subprocess.run([sys.executable, "-c", CHILD, str(classes), str(out)], env=env, check=True,
                   stderr=subprocess.DEVNULL)
    assert out.read_bytes() == expected.read_bytes()
