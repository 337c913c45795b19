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


def start(workload, threads, repeat):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = str(threads)
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, json.dumps([*workload, repeat])],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )


def finish(proc):
    out, _ = proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError(f"benchmark child failed with status {proc.returncode}")
    return json.loads(out.strip().splitlines()[-1])


def measure(workload, threads, repeat):
    return finish(start(workload, threads, repeat))


def machine_ceiling(workload, copies, repeat):
    """Throughput gain of `copies` independent one-thread checks run at once
    over one alone: the most any parallel check can gain on this machine."""
    alone = measure(workload, 1, repeat)["seconds"]
    procs = [start(workload, 1, repeat) for _ in range(copies)]
    together = max(finish(p)["seconds"] for p in procs)
    return copies * alone / together


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
    if all_threads > 1:
        ceiling = machine_ceiling(WORKLOADS[0], all_threads, args.repeat)
        print(f"machine ceiling ({all_threads} independent one-thread checks at once): {ceiling:.2f}x")


if __name__ == "__main__":
    main()
