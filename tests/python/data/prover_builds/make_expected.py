"""Writes the expected files of test_identity_prover_builds.py.

Run once with a known-good build of the module, from this folder:

    python make_expected.py

For each case it saves the class collection (kept as the test's input), the
prover file built from it, and the rewrite-step answers on a fixed list of
identities; every file is gzip-compressed.  A class file already present is
reused, so rerunning only refreshes what is derived from it.
"""

import gzip
import json
import os
import tempfile

import tessellan as ts

HERE = os.path.dirname(os.path.abspath(__file__))

# name: (qubits, gate names, max gates)
CASES = {
    "htcx_q2_k4": (2, ["h", "t", "cx"], 4),
    "htcx_q2_k5": (2, ["h", "t", "cx"], 5),
    "htcx_q3_k4": (3, ["h", "t", "cx"], 4),
    "hxtcx_q2_k4": (2, ["h", "x", "t", "cx"], 4),
}

ALLOWANCES = (0, 1, 3)


def query_identities(prover, eccs):
    """Assumptions, a sample of the class identities, and joined pairs of them
    up to 19 instructions (the longest identity the rewrite step takes)."""
    assumed = prover.get_assumed()
    ids = sorted({str(i): i for i, _, _ in eccs.to_identity_circuits()}.items())
    ids = [i for _, i in ids]
    sample = ids[:: max(1, len(ids) // 12)]
    longest = sorted(ids, key=lambda i: -len(i.inner.instrs))
    joined = []
    for start in range(4):
        # Longest first, as many as fit in 19 instructions.
        acc = longest[start].inner
        for i in longest[start + 1:]:
            if len(acc.instrs) + len(i.inner.instrs) <= 19:
                acc = acc + i.inner
        joined.append(acc.rotate_representative())
    out = []
    for i in assumed + sample + joined:
        if len(i.inner.instrs) < 20 and i not in out:
            out.append(i)
    return out


def load_classes(name):
    with gzip.open(os.path.join(HERE, name + ".classes.pc.gz"), "rb") as f:
        data = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "classes.pc")
        with open(path, "wb") as f:
            f.write(data)
        return ts.ECCs.from_postcard(path)


def main():
    for name, (n, gates, k) in CASES.items():
        classes = os.path.join(HERE, name + ".classes.pc.gz")
        with tempfile.TemporaryDirectory() as tmp:
            if not os.path.exists(classes):
                raw, _ = ts.RawECCs.generate(ts.Evaluator(n), [ts.Gate.from_name(g) for g in gates], k)
                path = os.path.join(tmp, "classes.pc")
                raw.simplify().dump_postcard(path)
                with open(path, "rb") as f, gzip.GzipFile(classes, "wb", mtime=0) as g:
                    g.write(f.read())
            eccs = load_classes(name)
            prover = ts.IdentityProver.build_from_eccs(eccs)
            path = os.path.join(tmp, "prover.pc")
            prover.dump_postcard(path)
            with open(path, "rb") as f, gzip.GzipFile(os.path.join(HERE, name + ".prover.pc.gz"), "wb", mtime=0) as g:
                g.write(f.read())
        queries = []
        for i in query_identities(prover, eccs):
            for a in ALLOWANCES:
                queries.append({"identity": i.pythonize(), "additional_size": a,
                                "rewrites": [str(r) for r in prover.par_apply_rules(i, a)]})
        with gzip.GzipFile(os.path.join(HERE, name + ".rewrites.json.gz"), "wb", mtime=0) as g:
            g.write(json.dumps(queries, separators=(",", ":")).encode())


if __name__ == "__main__":
    main()
