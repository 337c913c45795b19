"""Identity prover: build time with 1 and 2 worker threads.

For each configuration the classes are generated once and saved; every build
then runs in a fresh interpreter (the worker pool is sized once per process)
that loads the saved classes, builds the prover and reports wall and CPU
seconds (all threads of the process).  The module is whatever `tessellan`
the interpreter imports, so a side-by-side run of two builds is

    PYTHONPATH=/path/to/old/module python bench/bench_prover.py --classes DIR
    PYTHONPATH=/path/to/new/module python bench/bench_prover.py --classes DIR

with one class folder, written by the first run and read by the second.

    --all          also the two long configurations (about a minute of CPU
                   each with the slow builds); TESSELLAN_BENCH_ALL=1 does the same
    --threads 1,2  the worker counts to run (RAYON_NUM_THREADS of each build)
    --classes DIR  keep the class files in DIR (reused when present)
    --provers DIR  save each built prover as DIR/<config>-<threads>t.pc

Figures of one side-by-side run on a 2-core virtual machine, the same saved
class files for both, "before" being the build before the rewrite step
visited only connected subsets (the host lent the machine less than its two
cores during the slow build, so its wall seconds say little; the CPU seconds
are the comparison):

    gates    qubits max classes | CPU s 1t before -> after | CPU s 2t before -> after
    h,t,cx        2   6    5953 |     16.61 ->  2.32 (7.2x) |     16.79 ->  2.44 (6.9x)
    h,t,cx        2   7   19465 |     20.95 ->  3.01 (7.0x) |     21.34 ->  3.18 (6.7x)
    h,t,cx        3   6   49033 |     56.80 ->  8.08 (7.0x) |     57.28 ->  8.06 (7.1x)
    h,x,t,cx      3   5   17309 |      9.55 ->  1.46 (6.5x) |      9.70 ->  1.49 (6.5x)

Both builds gave byte-identical prover files on every row and thread count.

Later, with the workers of a pool of two looking for the next job before
they sleep and the rewrite step's memo shared by its threads: wall seconds
with 1 thread over wall seconds with 2, eight alternating pairs per row, the
median and then the range (the host lent the machine more or less from run
to run):

    h,t,cx 2 6: 2.00 (1.83-2.26)     h,t,cx 3 6:   1.82 (1.28-2.05)
    h,t,cx 2 7: 1.86 (1.76-2.10)     h,x,t,cx 3 5: 2.06 (1.86-2.33)
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

GENERATE = r"""
import sys
import tessellan as ts
n, names, k, path = int(sys.argv[1]), sys.argv[2].split(","), int(sys.argv[3]), sys.argv[4]
raw, _ = ts.RawECCs.generate(ts.Evaluator(n), [ts.Gate.from_name(g) for g in names], k)
raw.simplify().dump_postcard(path)
"""

BUILD = r"""
import json, os, sys, time
import tessellan as ts
classes, out = sys.argv[1], sys.argv[2]
eccs = ts.ECCs.from_postcard(classes)
identities = len({i for i, _, _ in eccs.to_identity_circuits()})
devnull = os.open(os.devnull, os.O_WRONLY)
saved = os.dup(2)
os.dup2(devnull, 2)  # the build's progress lines
wall, cpu = time.perf_counter(), time.process_time()
prover = ts.IdentityProver.build_from_eccs(eccs)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
os.dup2(saved, 2)
if out:
    prover.dump_postcard(out)
print(json.dumps({"classes": len(eccs), "identities": identities, "assumed": len(prover.get_assumed()),
                  "wall": wall, "cpu": cpu, "module": ts.__file__}))
"""

# (qubits, gate names, max gates, long)
CONFIGS = [
    (2, ["h", "t", "cx"], 6, False),
    (2, ["h", "t", "cx"], 7, True),
    (3, ["h", "t", "cx"], 6, True),
    (3, ["h", "x", "t", "cx"], 5, False),
]


def config_name(n, names, k):
    return f"{''.join(names)}-q{n}-k{k}"


def run(code, *args, env=None):
    out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                         env=env or dict(os.environ))
    if out.returncode != 0:
        sys.exit(out.stderr)
    return out.stdout


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--all", action="store_true", default=os.environ.get("TESSELLAN_BENCH_ALL") == "1")
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--classes")
    ap.add_argument("--provers")
    args = ap.parse_args()
    threads = [t.strip() for t in args.threads.split(",") if t.strip()]

    with tempfile.TemporaryDirectory() as tmp:
        classes_dir = args.classes or tmp
        os.makedirs(classes_dir, exist_ok=True)
        if args.provers:
            os.makedirs(args.provers, exist_ok=True)
        cols = "".join(f"{'wall ' + t + 't':>9}{'cpu ' + t + 't':>9}" for t in threads)
        header = f"{'gates':<9}{'qubits':>7}{'max':>4}{'classes':>9}{'identities':>11}{'assumed':>8}{cols}"
        if len(threads) >= 2:
            header += f"{'speed-up':>9}"
        module = None
        lines = []
        for n, names, k, long in CONFIGS:
            if long and not args.all:
                continue
            name = config_name(n, names, k)
            classes = os.path.join(classes_dir, name + ".classes.pc")
            if not os.path.exists(classes):
                run(GENERATE, str(n), ",".join(names), str(k), classes)
            results = []
            for t in threads:
                out = os.path.join(args.provers, f"{name}-{t}t.pc") if args.provers else ""
                r = json.loads(run(BUILD, classes, out, env=dict(os.environ, RAYON_NUM_THREADS=t))
                               .strip().splitlines()[-1])
                results.append(r)
                module = r["module"]
            r0 = results[0]
            line = (f"{','.join(names):<9}{n:>7}{k:>4}{r0['classes']:>9}{r0['identities']:>11}"
                    f"{r0['assumed']:>8}")
            line += "".join(f"{r['wall']:>9.2f}{r['cpu']:>9.2f}" for r in results)
            if len(results) >= 2:
                line += f"{results[0]['wall'] / results[1]['wall']:>8.2f}x"
            if len({r["assumed"] for r in results}) != 1:
                line += "  (assumption counts differ between thread counts!)"
            lines.append(line)
            if len(lines) == 1:
                print(f"module: {module}")
                print(header)
            print(line, flush=True)
        if len(threads) >= 2:
            print(f"speed-up: wall seconds with {threads[0]} thread(s) over wall seconds with {threads[1]}")


if __name__ == "__main__":
    main()
