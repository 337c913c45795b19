"""Speed-up of RawECCs.check_identity_subset from one pool thread to all of them.

Each measurement runs in a fresh interpreter with RAYON_NUM_THREADS set, since
the worker pool is sized once per process.  The child builds the class map,
then times the check of the map against itself (best of several runs).

    .venv/bin/python bench/bench_check.py [--repeat N]
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap

WORKLOADS = [
    (3, ["h", "t", "cx"], 6),
    (4, ["h", "t", "cx"], 5),
    (2, ["h", "s", "t", "cx"], 7),
]

CHILD = textwrap.dedent(
    """
    import json, sys, time
    import tessellan as ts

    nqubits, names, max_size, repeat = json.loads(sys.argv[1])
    e = ts.Evaluator(nqubits)
    m, counters = ts.RawECCs.generate(e, [ts.Gate.from_name(n) for n in names], max_size)
    classes = len(m.simplify())
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        m.check_identity_subset(m, e)
        best = min(best, time.perf_counter() - t)
    print(json.dumps({"classes": classes, "members": counters[2], "seconds": best}))
    """
)


def measure(workload, threads, repeat):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps([*workload, repeat])],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    all_threads = len(os.sched_getaffinity(0))
    print(f"usable processors: {all_threads}")
    print(f"{'workload':<34} {'classes':>8} {'1 thread':>10} {f'{all_threads} threads':>11} {'speed-up':>9}")
    for workload in WORKLOADS:
        one = measure(workload, 1, args.repeat)
        many = measure(workload, all_threads, args.repeat)
        nq, names, k = workload
        label = f"{nq} qubits, {'/'.join(names)}, size {k}"
        print(
            f"{label:<34} {one['classes']:>8} {one['seconds']:>9.3f}s {many['seconds']:>10.3f}s "
            f"{one['seconds'] / many['seconds']:>8.2f}x"
        )


if __name__ == "__main__":
    main()
