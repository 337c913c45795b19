"""Identity prover: build time and size for class collections of growing size.

Each configuration runs in a fresh interpreter (the worker pool is sized once
per process; RAYON_NUM_THREADS is passed through).

    .venv/bin/python bench/bench_prover.py
"""

import json
import os
import subprocess
import sys

CHILD = r"""
import json, os, sys, time
import tessellan as ts

n, names, k = json.loads(sys.argv[1])
e = ts.Evaluator(n)
raw, _ = ts.RawECCs.generate(e, [ts.Gate.from_name(g) for g in names], k)
eccs = raw.simplify()
identities = eccs.to_identity_circuits()
devnull = os.open(os.devnull, os.O_WRONLY)
saved = os.dup(2)
os.dup2(devnull, 2)  # the build's progress lines
t = time.perf_counter()
prover = ts.IdentityProver.build_from_eccs(eccs)
dt = time.perf_counter() - t
os.dup2(saved, 2)
print(json.dumps({"classes": len(eccs), "identities": len(identities), "assumed": len(prover.get_assumed()),
                  "seconds": dt}))
"""

CASES = [
    (2, ["h", "t", "cx"], 4),
    (2, ["h", "t", "cx"], 5),
    (2, ["h", "t", "cx"], 6),
    (3, ["h", "t", "cx"], 4),
]


def main():
    print(f"{'qubits':>6} {'gates':<10} {'max':>3} {'classes':>8} {'identities':>10} {'assumed':>8} {'build s':>8}")
    for n, names, k in CASES:
        out = subprocess.run([sys.executable, "-c", CHILD, json.dumps([n, names, k])], capture_output=True,
                             text=True, check=True, env=dict(os.environ)).stdout
        r = json.loads(out.strip().splitlines()[-1])
        print(f"{n:>6} {','.join(names):<10} {k:>3} {r['classes']:>8} {r['identities']:>10} {r['assumed']:>8} "
              f"{r['seconds']:>8.2f}")


if __name__ == "__main__":
    main()
