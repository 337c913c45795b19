"""Prover files: load times, and what a prover loaded in another gate order answers.

A prover over cx and the user gates rv and rz4 (their adjoints created right
after them) is built on 3 qubits from the classes of up to K gates, in a
process that creates rv first, and saved.  Every load runs in a fresh
interpreter that creates the gates first, either in the saving order
(rv, rz4), in the other one (rz4, rv), or in the saving order after a gate w
that no file names (w, rv, rz4: the same order, other places in the table).

    --sizes 5,6      the K of each prover (6 gives a file of about 37 MB)
    --dir DIR        keep the class and prover files in DIR (reused when present)
    --old PATH       also time the module found on PATH (a PYTHONPATH entry),
                     alternating with this one, on the same files
    --repeat 5       loads per interpreter (the fastest one counts)
    --rounds 3       interpreters per module, file and order
    --compare        count the queries that the prover loaded in the other
                     order, and in the saving order after w, answers
                     otherwise than the one loaded in the saving order
                     (which is the saved prover), on the first size: the
                     identities of 8 to 10 gates among its classes, and every
                     rotation and renaming of a sample of them, spelled out
                     as circuits and put in canonical form by each process;
                     at each --limits count, additional size 1.  Proofs are
                     compared by their shape (the size of each step and the
                     steps it follows from) and by their text.
    --one-identity   for every identity over rv, rz4 and cx among the first
                     size's classes: a prover over h and cx (classes of up to
                     2 gates) with that identity assumed, saved, and loaded in
                     the other order; the query is h(2) h(2) followed by the
                     identity, whose search runs out of identities early.

Load figures of one run (--rounds 5) on a 2-core virtual machine, "old" being the build
before a save recorded the gate order only where every value follows it and
before values of 20 to 40 instructions were formed again (the files written
by this build):

    file                  MB   order      this (min-max)       old (min-max)
    rv,rz4,cx q3 k5       5.0  saving      0.027-0.031         0.028-0.037
    rv,rz4,cx q3 k5       5.0   other      0.070-0.081         0.066-0.073
    rv,rz4,cx q3 k6      37.4  saving      0.207-0.231         0.207-0.251
    rv,rz4,cx q3 k6      37.4   other      0.561-0.580         0.567-0.632

With --compare on the k5 prover (57,741 proved identities, 56,796 once
translated into the other order; the same in the saving order after w):

    identities of 8 to 10 gates among the k5 classes: 1437 queries
      other order:
        limit 10:      proved 1365 saving, 1364 other; 2 only saving, 1 only
                       other; proofs of other text 13 of 1363
        limit 100:     all proved in both; proofs of other text 71
        limit 1000000: all proved in both; proofs of other text 1245
      saving order after w:
        every answer the same at 10, 100 and 1000000; proofs of other text
        2, 57 and 1200; at 100 the export gave up for 1337 where the saved
        prover's gave up for 1330
    rotations and renamings of every 20th of them: 2574 queries
      other order:     every answer the same; proofs of other text 18, 34
                       and 2192 at 10, 100 and 1000000
      saving order after w:
                       every answer the same; proofs of other text 0, 94 and
                       2120; at 100 the export gave up 2404 times where the
                       saved prover's gave up 2462 times

With --one-identity on the k5 classes: 1041 provers (60,737 proved
identities, as many once translated); the query was answered otherwise in
2 at limit 10 and in 1 at 1000 and at 10000000 (in each case proved only
by the loaded prover).
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
        "rz4": lambda: ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)])),
        "w": lambda: ts.Gate("w", [], np.diag([1, np.exp(1j * np.pi / 7)]))}  # named by no file
g = {name: make[name]() for name in order.split(",")}
for name in order.split(","):
    g[name].adjoint()
rv, rz4, h, cx = g["rv"], g["rz4"], ts.Gate.from_name("h"), ts.Gate.from_name("cx")

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
elif mode == "oneid-save":
    # One prover per identity: the classes over h and cx, with the identity assumed; the query puts h(2) h(2)
    # before it.  Each search runs out of identities long before the largest limit.
    folder, limits = args[0], [int(n) for n in args[1].split(",")]
    eccs = ts.ECCs.from_postcard(args[2])
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits()
                  if len({x.gate.name.rstrip("†") for x in i.inner.instrs} & {"rv", "rz4"}) == 2})
    base = quiet(lambda: ts.RawECCs.generate(ts.Evaluator(3), [h, cx], 2))[0].simplify()
    quiet(lambda: ts.IdentityProver.build_from_eccs(base)).dump_postcard(os.path.join(folder, "base.pc"))
    out = []
    for n, i in enumerate(ids):
        prover = ts.IdentityProver.from_postcard(os.path.join(folder, "base.pc"))
        prover.add_identity(i, 0, 0)
        prover.dump_postcard(os.path.join(folder, f"one-{n}.pc"))
        q = ts.Circ([h(2), h(2)] + list(i.inner.instrs), list(i.inner.perm) + list(range(len(i.inner.perm), 3)))
        out.append({"identity": i.pythonize(),
                    "answers": [prover.prove_identity(q.rotate_representative(), 1, k) is None for k in limits]})
    print(json.dumps(out))
elif mode == "oneid-load":
    folder, limits, saved = args[0], [int(n) for n in args[1].split(",")], json.loads(sys.stdin.read())
    out = []
    for n, entry in enumerate(saved):
        prover = ts.IdentityProver.from_postcard(os.path.join(folder, f"one-{n}.pc"))
        i = ts.IdentityCirc.from_python(entry["identity"]).inner
        q = ts.Circ([h(2), h(2)] + list(i.instrs), list(i.perm) + list(range(len(i.perm), 3)))
        prover.dump_postcard(os.path.join(folder, f"one-{n}-back.pc"))
        out.append({"answers": [prover.prove_identity(q.rotate_representative(), 1, k) is None for k in limits]})
    print(json.dumps(out))
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
    prover.dump_postcard(args[4])  # what this process holds, to count
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
                out["proofs"][n].append([[(len(i.inner.instrs), d) for i, d in proof.raw], str(proof)])
            except BaseException as e:
                out["proofs"][n].append(type(e).__name__)
    print(json.dumps(out))
"""

# The saving order, the other one, and the saving order after a gate that no file names.
SAVING, OTHER, SHIFTED = "rv,rz4", "rz4,rv", "w,rv,rz4"


def proved_count(path):
    """The number of proved identities a prover file holds (its second field)."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 0

    def varint():
        nonlocal pos
        n = shift = 0
        while True:
            b = data[pos]
            pos += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return n

    for _ in range(varint()):  # the assumptions: instructions (name, two qubit bytes), then a permutation
        for _ in range(varint()):
            name = varint()
            pos += name + 2
        varint()
    return varint()


def run(order, mode, *args, pythonpath=None, stdin=None):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    done = subprocess.run([sys.executable, "-c", CHILD, order, mode, *map(str, args)], capture_output=True,
                          text=True, env=env, input=stdin)
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
    ap.add_argument("--one-identity", action="store_true")
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
                back = os.path.join(d, "held.pc")
                same = run(SAVING, "answers", files[k][1], files[k][2], args.limits, sample, back)
                print(f"{label}: {len(same['answers'][args.limits.split(',')[0]])} queries")
                for order, name in ((OTHER, "other order"), (SHIFTED, "saving order after one more gate")):
                    other = run(order, "answers", files[k][1], files[k][2], args.limits, sample, back)
                    print(f"  loaded in the {name} (proved identities: {proved_count(files[k][1])} saved,"
                          f" {proved_count(back)} held):")
                    for n in same["answers"]:
                        a, b = same["answers"][n], other["answers"][n]
                        proved_a = sum(x == "None" for x in a)
                        proved_b = sum(x == "None" for x in b)
                        only_a = sum(x == "None" and y != "None" for x, y in zip(a, b))
                        only_b = sum(y == "None" and x != "None" for x, y in zip(a, b))
                        both = [(x, y) for x, y in zip(same["proofs"][n], other["proofs"][n])
                                if x is not None and y is not None]
                        # An export that gave up is the exception's name.
                        shape = sum(x != y if isinstance(x, str) or isinstance(y, str) else x[0] != y[0]
                                    for x, y in both)
                        text = sum(x != y for x, y in both)
                        gave_up = [sum(isinstance(x, str) for x, _ in both), sum(isinstance(y, str) for _, y in both)]
                        print(f"    limit {n:>8}: proved {proved_a} in the saving order, {proved_b} here;"
                              f" {only_a} proved only in the saving order, {only_b} only here;"
                              f" of the {len(both)} proved in both, exported proofs of other shape {shape},"
                              f" of other text {text}; export gave up {gave_up[0]} times in the saving order,"
                              f" {gave_up[1]} here", flush=True)

        if args.one_identity:
            folder = os.path.join(d, "one-identity")
            os.makedirs(folder, exist_ok=True)
            saved = run(SAVING, "oneid-save", folder, args.limits, files[sizes[0]][0])
            loaded = run(OTHER, "oneid-load", folder, args.limits, stdin=json.dumps(saved))
            print(f"{len(saved)} provers over h and cx on 3 qubits, each with one identity over rv, rz4 and cx"
                  " assumed; query h(2) h(2) + that identity, additional size 1; loaded in the other order:")
            for j, n in enumerate(args.limits.split(",")):
                a = [x["answers"][j] for x in saved]
                b = [x["answers"][j] for x in loaded]
                print(f"  limit {n:>8}: proved {sum(a)} by the saver, {sum(b)} loaded; answered otherwise"
                      f" {sum(x != y for x, y in zip(a, b))} ({sum(x and not y for x, y in zip(a, b))} proved"
                      f" only by the saver, {sum(y and not x for x, y in zip(a, b))} only loaded)")
            count = lambda name: proved_count(os.path.join(folder, name))
            before = sum(count(f"one-{n}.pc") for n in range(len(saved)))
            after = sum(count(f"one-{n}-back.pc") for n in range(len(saved)))
            print(f"  proved identities: {before} as saved, {after} once translated")


if __name__ == "__main__":
    main()
