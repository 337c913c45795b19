"""The module's threaded calls, for a ThreadSanitizer run (./scripts/sanitize.sh --thread).

Builds provers from two small class collections, one over built-in gates and
one over user gates whose adjoints the build creates, queries them, and runs
the parallel verification; every call that fans out to the worker pool is
made at least once.  Prints one line per step; any report of the sanitizer
ends the process with its exit code."""

import gzip
import os
import tempfile

import numpy as np

import tessellan as ts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER_GATES = os.path.join(ROOT, "tests", "python", "data", "thread_counts", "rv_rz4_cx_q2_k4.classes.pc.gz")


def user_gate_classes(tmp):
    c = s = np.cos(np.pi / 4)
    ts.Gate("rv", [], np.array([[c, -s], [s, c]], dtype=complex))
    ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)]))
    path = os.path.join(tmp, "classes.pc")
    with gzip.open(USER_GATES, "rb") as f, open(path, "wb") as out:
        out.write(f.read())
    return ts.ECCs.from_postcard(path)


def exercise(name, eccs):
    prover = ts.IdentityProver.build_from_eccs(eccs)
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits()})
    # The proof search's progress lines go to file descriptor 1; the
    # sanitizer's reports go to 2, which stays as it is.
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        for identity in ids[:: max(1, len(ids) // 10)]:
            prover.par_apply_rules(identity, 2)
            prover.prove_identity(identity, 2, 2000)
            prover.export_proof(identity, 1, 200)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    print(f"{name}: {len(eccs)} classes, {len(prover.get_assumed())} assumed", flush=True)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        exercise("rv, rz4, cx", user_gate_classes(tmp))
    gates = [ts.Gate.from_name(g) for g in ("h", "t", "cx")]
    evaluator = ts.Evaluator(2)
    raw, _ = ts.RawECCs.generate(evaluator, gates, 4)
    exercise("h, t, cx", raw.simplify())
    raw.check_identity_subset(raw, evaluator)
    print("check_identity_subset: done")


if __name__ == "__main__":
    main()
