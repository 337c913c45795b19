"""Breadth-first search throughput and memory.

Each configuration runs in a fresh interpreter so that its peak resident
memory can be attributed to the search: bytes per class is the growth of
the peak resident set during the search divided by the number of classes.

    .venv/bin/python bench/bench_search.py
"""

import json
import subprocess
import sys

CHILD = r"""
import json, os, sys, time
import tessellan as ts

def hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

n, names, k = json.loads(sys.argv[1])
e = ts.Evaluator(n)
gates = [ts.Gate.from_name(g) for g in names]
before = hwm()
t = time.perf_counter()
m, counters = ts.RawECCs.generate(e, gates, k)
dt = time.perf_counter() - t
peak = hwm()
classes = len(m.simplify())
print(json.dumps({"counters": counters, "classes": classes, "seconds": dt, "peak": peak, "grown": peak - before}))
"""

CASES = [
    (3, ["h", "x", "t", "cx"], 4),
    (3, ["h", "x", "t", "cx"], 5),
    (3, ["h", "x", "t", "cx"], 6),
    (3, ["h", "x", "t", "cx"], 7),
    (2, ["h", "x", "t", "cx"], 9),
    (4, ["h", "t", "cx"], 5),
]


def main():
    print(f"{'qubits':>6} {'gates':<12} {'max':>3} {'counters':<30} {'classes':>9} {'seconds':>8} "
          f"{'circ/s':>10} {'peak MiB':>9} {'B/class':>8}")
    for n, names, k in CASES:
        out = subprocess.run([sys.executable, "-c", CHILD, json.dumps([n, names, k])], capture_output=True,
                             text=True, check=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        rate = r["counters"][1] / r["seconds"] if r["seconds"] else float("inf")
        per_class = r["grown"] / r["classes"]
        print(f"{n:>6} {','.join(names):<12} {k:>3} {str(r['counters']):<30} {r['classes']:>9} "
              f"{r['seconds']:>8.3f} {rate:>10.0f} {r['peak'] / 2**20:>9.1f} {per_class:>8.0f}")


if __name__ == "__main__":
    main()
