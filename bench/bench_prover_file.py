"""Prover files: load times, and what a prover loaded in another gate order answers.

A prover over cx and the user gates rv and rz4 (their adjoints created right
after them) is built on 3 qubits from the classes of up to K gates, in a
process that creates rv first, and saved.  Every load runs in a fresh
interpreter that creates the gates first, either in the saving order
(rv, rz4) or in the other one (rz4, rv).

    --sizes 5,6      the K of each prover (6 gives a file of about 37 MB)
    --dir DIR        keep the class and prover files in DIR (reused when present)
    --old PATH       also time the module found on PATH (a PYTHONPATH entry),
                     alternating with this one, on the same files
    --repeat 5       loads per interpreter (the fastest one counts)
    --rounds 3       interpreters per module, file and order
    --compare        count the queries that the prover loaded in the other
                     order answers otherwise than the one loaded in the
                     saving order (which is the saved prover), on the first
                     size: the identities of 8 to 10 gates among its classes,
                     and every rotation and renaming of a sample of them,
                     spelled out as circuits and put in canonical form by
                     each process; at each --limits count, additional size 1.
                     Proofs are compared by their shape: the size of each
                     step and the steps it follows from.

Figures of one run on a 2-core virtual machine, "old" being the build
before files recorded their gate order, which forms nothing again on loading
(the files written by this build; the old build reads them up to the rule
map):

    file                  MB   order      this (min-max)       old (min-max)
    rv,rz4,cx q3 k5       4.9  saving      0.031-0.051         0.035-0.051
    rv,rz4,cx q3 k5       4.9   other      0.084-0.085         0.035-0.036
    rv,rz4,cx q3 k6      37.5  saving      0.245-0.262         0.275-0.358
    rv,rz4,cx q3 k6      37.5   other      0.717-0.864         0.267-0.353

With --compare on the k5 prover (the prover loaded in the saving order is
the saved one; "other" is the one loaded rz4 first):

    identities of 8 to 10 gates among the k5 classes: 1459 queries
      limit 10:      proved 1380 saving, 1377 other; 4 only saving, 1 only other;
                     proofs of other shape 0 of 1376 proved in both
      limit 100:     all 1459 proved in both; proofs of other shape 38
      limit 1000000: all 1459 proved in both; proofs of other shape 1143
    rotations and renamings of every 20th of them: 2826 queries
      limit 10:      proved 2586 saving, 2526 other; 60 only saving, 0 only other;
                     proofs of other shape 0 of 2526
      limit 100:     all 2826 proved in both; proofs of other shape 60
      limit 1000000: all 2826 proved in both; proofs of other shape 1998
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import itertools, json, os, sys, time
import numpy as np
import tessellan as ts
order, mode, *args = sys.argv[1:]
c = s = np.cos(np.pi / 4)
make = {"rv": lambda: ts.Gate("rv", [], np.array([[c, -s], [s, c]], dtype=complex)),
        "rz4": lambda: ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)]))}
g = {name: make[name]() for name in order.split(",")}
for name in order.split(","):
    g[name].adjoint()
rv, rz4, cx = g["rv"], g["rz4"], ts.Gate.from_name("cx")

def quiet(work):  # the search's and the build's progress lines
    sys.stdout.flush()
    saved = [os.dup(1), os.dup(2)]
    for fd in (1, 2):
        os.dup2(os.open(os.devnull, os.O_WRONLY), fd)
    try:
        return work()
    finally:
        for fd, old in zip((1, 2), saved):
            os.dup2(old, fd)

if mode == "save":
    k, classes, prover, queries = int(args[0]), args[1], args[2], args[3]
    if not os.path.exists(classes):
        eccs = quiet(lambda: ts.RawECCs.generate(ts.Evaluator(3), [rv, rz4, cx], k))[0].simplify()
        eccs.dump_postcard(classes)
    eccs = ts.ECCs.from_postcard(classes)
    if not os.path.exists(prover):
        quiet(lambda: ts.IdentityProver.build_from_eccs(eccs)).dump_postcard(prover)
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits() if 8 <= len(i.inner.instrs) <= 10})
    with open(queries, "w") as f:
        json.dump([i.pythonize() for i in ids], f)
elif mode == "load":
    path, repeat = args[0], int(args[1])
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        ts.IdentityProver.from_postcard(path)
        times.append(time.perf_counter() - t)
    print(json.dumps(min(times)))
else:
    path, queries, limits, sample = args[0], args[1], [int(n) for n in args[2].split(",")], int(args[3])
    prover = ts.IdentityProver.from_postcard(path)
    with open(queries) as f:
        circs = [ts.IdentityCirc.from_python(d).inner for d in json.load(f)]
    if sample:  # every rotation and renaming of every sample-th query
        circs = [c.rotate(r).permut(list(p)) for c in circs[::sample] for r in range(len(c.instrs))
                 for p in itertools.permutations(range(len(c.perm)))]
    qs = [c.rotate_representative() for c in circs]
    out = {"answers": {n: [str(prover.prove_identity(q, 1, n)) for q in qs] for n in limits},
           "proofs": {n: [] for n in limits}}
    for n in limits:
        for q, a in zip(qs, out["answers"][n]):
            if a != "None":
                out["proofs"][n].append(None)
                continue
            try:
                proof = prover.export_proof(q, 1, n)
                out["proofs"][n].append([(len(i.inner.instrs), d) for i, d in proof.raw])
            except BaseException as e:
                out["proofs"][n].append(type(e).__name__)
    print(json.dumps(out))
"""

SAVING, OTHER = "rv,rz4", "rz4,rv"


def run(order, mode, *args, pythonpath=None):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    done = subprocess.run([sys.executable, "-c", CHILD, order, mode, *map(str, args)], capture_output=True,
                          text=True, env=env)
    if done.returncode != 0:
        sys.exit(done.stderr[-3000:])
    return json.loads(done.stdout.strip().splitlines()[-1]) if done.stdout.strip() else None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="5,6")
    ap.add_argument("--dir")
    ap.add_argument("--old")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--compare", action="store_true")
    ap.add_argument("--limits", default="10,100,1000000")
    ap.add_argument("--sample", type=int, default=20)
    args = ap.parse_args()
    sizes = [int(k) for k in args.sizes.split(",")]

    with tempfile.TemporaryDirectory() as tmp:
        d = args.dir or tmp
        os.makedirs(d, exist_ok=True)
        files = {}
        for k in sizes:
            files[k] = [os.path.join(d, f"rv_rz4_cx_q3_k{k}.{x}") for x in ("classes.pc", "prover.pc", "queries.json")]
            run(SAVING, "save", k, *files[k])

        modules = [("this", None)] + ([("old", args.old)] if args.old else [])
        print(f"load seconds, the fastest of {args.repeat} loads in each of {args.rounds} interpreters")
        print(f"{'file':<18}{'MB':>6}{'order':>8}" + "".join(f"{name + ' (min-max)':>20}" for name, _ in modules))
        for k in sizes:
            prover = files[k][1]
            for order in (SAVING, OTHER):
                seen = {name: [] for name, _ in modules}
                for _ in range(args.rounds):
                    for name, path in modules:
                        seen[name].append(run(order, "load", prover, args.repeat, pythonpath=path))
                cols = "".join(f"{min(v):>11.3f}-{max(v):<8.3f}" for v in seen.values())
                size = os.path.getsize(prover) / 1e6
                print(f"rv,rz4,cx q3 k{k:<5}{size:>6.1f}{'saving' if order == SAVING else 'other':>8}{cols}",
                      flush=True)

        if args.compare:
            k = sizes[0]
            for label, sample in ((f"identities of 8 to 10 gates among the k{k} classes", 0),
                                  (f"rotations and renamings of every {args.sample}th of them", args.sample)):
                same = run(SAVING, "answers", files[k][1], files[k][2], args.limits, sample)
                other = run(OTHER, "answers", files[k][1], files[k][2], args.limits, sample)
                print(f"{label}: {len(same['answers'][args.limits.split(',')[0]])} queries")
                for n in same["answers"]:
                    a, b = same["answers"][n], other["answers"][n]
                    proved_a = sum(x == "None" for x in a)
                    proved_b = sum(x == "None" for x in b)
                    only_a = sum(x == "None" and y != "None" for x, y in zip(a, b))
                    only_b = sum(y == "None" and x != "None" for x, y in zip(a, b))
                    both = [(x, y) for x, y in zip(same["proofs"][n], other["proofs"][n])
                            if x is not None and y is not None]
                    differ = sum(x != y for x, y in both)
                    print(f"  limit {n:>8}: proved {proved_a} in the saving order, {proved_b} in the other;"
                          f" {only_a} proved only in the saving order, {only_b} only in the other;"
                          f" of the {len(both)} proved in both, {differ} exported proofs of other shape")


if __name__ == "__main__":
    main()
