"""The module's threaded calls, for a ThreadSanitizer run (./scripts/sanitize.sh --thread).

Builds provers from two small class collections, one over built-in gates and
one over user gates whose adjoints the build creates, queries them, saves each
and queries the loaded copy, adds longer identities to it, and runs the
parallel verification; every call that fans out to the worker pool is made at
least once.  Prints one line per step; any report of the sanitizer ends the
process with its exit code."""

import contextlib
import gzip
import os
import tempfile

import numpy as np

import tessellan as ts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER_GATES = os.path.join(ROOT, "tests", "python", "data", "thread_counts", "rv_rz4_cx_q2_k4.classes.pc.gz")


@contextlib.contextmanager
def progress_hidden():
    """The proof search's progress lines go to file descriptor 1; the
    sanitizer's reports go to 2, which stays as it is."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def user_gate_classes(tmp):
    """The committed classes over rv, rz4 and cx, and the instructions they were searched with."""
    c = s = np.cos(np.pi / 4)
    rv = ts.Gate("rv", [], np.array([[c, -s], [s, c]], dtype=complex))
    rz4 = ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)]))
    cx = ts.Gate.from_name("cx")
    path = os.path.join(tmp, "classes.pc")
    with gzip.open(USER_GATES, "rb") as f, open(path, "wb") as out:
        out.write(f.read())
    return ts.ECCs.from_postcard(path), [rv(0), rv(1), rz4(0), rz4(1), cx(0, 1), cx(1, 0)]


def longer_identities(evaluator, instrs, size, count):
    """`count` of the longest identities from the classes of circuits of up to `size` instructions."""
    with progress_hidden():
        raw, _ = ts.RawECCs.search(evaluator, instrs, size)
    ids = sorted({i for i, _, _ in raw.simplify().to_identity_circuits()}, key=lambda i: (-len(i), i))
    return ids[:count]


def exercise(name, eccs, longer, tmp):
    prover = ts.IdentityProver.build_from_eccs(eccs)
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits()})
    sample = ids[:: max(1, len(ids) // 10)]
    path = os.path.join(tmp, name.replace(", ", "_") + ".prover.pc")
    with progress_hidden():
        for identity in sample:
            prover.par_apply_rules(identity, 2)
            prover.prove_identity(identity, 2, 2000)
            prover.prove_identity_with_visited(identity, 2, 2000)
            prover.export_proof(identity, 1, 200)
        prover.dump_postcard(path)
        loaded = ts.IdentityProver.from_postcard(path)
        for identity in sample + longer:
            loaded.prove_identity(identity, 2, 2000)
            loaded.export_proof(identity, 1, 200)
        assumed = sum(loaded.add_identity(identity, 2, 2000) for identity in longer)
        for identity in longer:
            loaded.prove_identity_with_visited(identity, 2, 2000)
    print(f"{name}: {len(eccs)} classes, {len(prover.get_assumed())} assumed; loaded copy: "
          f"{len(longer)} longer identities added, {assumed} of them assumed", flush=True)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        eccs, instrs = user_gate_classes(tmp)
        exercise("rv, rz4, cx", eccs, longer_identities(ts.Evaluator(2), instrs, 5, 6), tmp)
        h, t, cx = (ts.Gate.from_name(g) for g in ("h", "t", "cx"))
        evaluator = ts.Evaluator(2)
        raw, _ = ts.RawECCs.generate(evaluator, [h, t, cx], 4)
        instrs = [h(0), h(1), t(0), t(1), cx(0, 1), cx(1, 0)]
        exercise("h, t, cx", raw.simplify(), longer_identities(evaluator, instrs, 5, 6), tmp)
    raw.check_identity_subset(raw, evaluator)
    print("check_identity_subset: done")


if __name__ == "__main__":
    main()
