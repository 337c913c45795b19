"""Results that do not depend on the number of worker threads, and a pool that
starts safely whatever the count asked for.

Each run is a fresh interpreter, since the pool is sized once per process.
The sharp input is a class collection over two user gates whose adjoints are
not in the gate table yet: a build creates them, and the table index of a
gate orders instructions, so it decides canonical forms, the order of the
identities and which of them become assumptions.  The saved collection,
data/thread_counts/rv_rz4_cx_q2_k4.classes.pc.gz, came from

    RawECCs.search(Evaluator(2), [rv(0), rv(1), rz4(0), rz4(1), cx(0, 1), cx(1, 0)], 4)

with the gates of GATES below; it was kept because its class order let
adjoints created on the workers come out in either order (a build whose
workers created them gave another prover file at 2 and at 8 threads in about
one run of four)."""

import gzip
import json
import os
import subprocess
import sys
from collections import defaultdict

import pytest

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "thread_counts")

GATES = r"""
import numpy as np
import tessellan as ts
c = s = np.cos(np.pi / 4)
rv = ts.Gate("rv", [], np.array([[c, -s], [s, c]], dtype=complex))
rz4 = ts.Gate("rz4", [], np.diag([np.exp(-1j * np.pi / 4), np.exp(1j * np.pi / 4)]))
cx = ts.Gate.from_name("cx")
"""

BUILD = GATES + r"""
import json, sys
prover = ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard(sys.argv[1]))
prover.dump_postcard(sys.argv[2])
print(json.dumps([str(i) for i in prover.get_assumed()]))
"""

# Each child draws its own evaluator, whose states decide the qubit frame a
# class is shown in: qubit numbers are left out of the texts.
CHECK = GATES + r"""
import json, re
def outcome(f):
    try:
        return ["ok", f()]
    except BaseException as e:
        return [type(e).__name__, *(re.sub(r"\d", "#", a) for a in e.args)]
e = ts.Evaluator(2)
instrs = [rv(0), rv(1), rz4(0), rz4(1), cx(0, 1), cx(1, 0)]
m4, _ = ts.RawECCs.search(e, instrs, 4)
m3, _ = ts.RawECCs.search(e, instrs, 3)
print(json.dumps([outcome(lambda: m4.check_identity_subset(m4, e)),
                  outcome(lambda: m3.check_identity_subset(m4, e)),
                  outcome(lambda: m4.check_identity_subset(m3, e))]))
"""

# An impossible thread count must neither fail a call nor leave the signals
# blocked on the interpreter's main thread (the pool blocks them while it
# starts its workers, which inherit the mask).
SIGNALS = GATES + r"""
import os, signal, sys, time
# Started with SIGINT ignored (from a background job, say), the interpreter leaves it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
before = signal.pthread_sigmask(signal.SIG_BLOCK, [])
eccs = ts.ECCs.from_postcard(sys.argv[1])
for _ in range(2):
    prover = ts.IdentityProver.build_from_eccs(eccs)
    assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == before
prover.dump_postcard(sys.argv[2])
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
except KeyboardInterrupt:
    print("interrupted")
else:
    print("SIGINT did not arrive")
"""

# The same count under an address-space limit a given room above what the
# child has mapped once it has started: the workers' stacks fill the room
# until the system refuses one, and the pool must leave enough of it for the
# build's own allocations and for every worker's thread-local storage and
# exceptions.
LIMITED = GATES + r"""
import os, resource, sys
def mapped():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
limit = mapped() + int(sys.argv[3]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
ts.IdentityProver.build_from_eccs(ts.ECCs.from_postcard(sys.argv[1])).dump_postcard(sys.argv[2])
names = [open(f"/proc/self/task/{t}/comm").read() for t in os.listdir("/proc/self/task")]
print(sum(n.startswith("tsl-worker") for n in names))
"""

# A loaded prover queried with a gate new to it: the query creates that
# gate's adjoint, whose index orders the forms it visits.
QUERY_LOADED = GATES + r"""
import json, sys
rv.adjoint(), rz4.adjoint()  # named by the file
prover = ts.IdentityProver.from_postcard(sys.argv[1])
c = s = np.cos(np.pi / 4)
rxh = ts.Gate("rxh", [], np.array([[c, -1j * s], [-1j * s, c]]))  # rxh^4 = -1
q = ts.Circ([rxh(0), cx(0, 1), cx(0, 1), rxh(0), rv(1), rv.adjoint()(1), rxh(0), rxh(0)]).rotate_representative()
unproved, visited = prover.prove_identity_with_visited(q, 2, 5000)
print(json.dumps([str(unproved), sorted(map(str, visited))]))
"""

THREADS = ("1", "2", "3", "8")
RUNS = 4


def run(script, threads, *args):
    """The last line a fresh interpreter prints running `script` with `threads` workers."""
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = threads
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.strip().splitlines()[-1]


@pytest.fixture(scope="module")
def classes(tmp_path_factory):
    path = tmp_path_factory.mktemp("thread_counts") / "classes.pc"
    with gzip.open(os.path.join(DATA, "rv_rz4_cx_q2_k4.classes.pc.gz"), "rb") as f:
        path.write_bytes(f.read())
    return path


@pytest.fixture(scope="module")
def one_thread_build(classes, tmp_path_factory):
    """(prover file bytes, assumptions) of a build with one worker."""
    out = tmp_path_factory.mktemp("one_thread") / "prover.pc"
    assumed = json.loads(run(BUILD, "1", classes, out))
    return out.read_bytes(), assumed


def test_prover_build_does_not_depend_on_threads(classes, one_thread_build, tmp_path):
    builds = defaultdict(list)  # (file, assumptions) -> the thread counts that gave it
    for threads in THREADS:
        for i in range(RUNS):
            out = tmp_path / f"{threads}-{i}.pc"
            assumed = run(BUILD, threads, classes, out)
            builds[out.read_bytes(), assumed].append(threads)
    assert len(builds) == 1, [sorted(v) for v in builds.values()]
    [(data, assumed)] = builds
    assert (data, json.loads(assumed)) == one_thread_build
    assert json.loads(assumed)


def test_check_identity_subset_does_not_depend_on_threads():
    outcomes = defaultdict(list)
    for threads in THREADS:
        for _ in range(RUNS):
            outcomes[run(CHECK, threads)].append(threads)
    assert len(outcomes) == 1, outcomes
    [result] = outcomes
    unrelated = "No equivalence found during export_equivalence:  (# #), cx(#, #) cx(#, #) (# #), " \
        "cx(#, #) cx(#, #) (# #) = rv(#), rv(#), rv(#), rv(#) (# #)"
    assert json.loads(result) == [["ok", None], ["ok", None], ["PanicException", unrelated]]


@pytest.mark.parametrize("threads", ["99999999999", "18446744073709551615"])
def test_impossible_thread_count(classes, one_thread_build, tmp_path, threads):
    out = tmp_path / "prover.pc"
    assert run(SIGNALS, threads, classes, out) == "interrupted"
    assert out.read_bytes() == one_thread_build[0]


# Rooms, in MiB, at which the system refuses a thread at different points
# (with the usual 8 MiB stacks): at once, before the pool has the room it
# holds while it starts; after about two workers, twenty, fifty, a hundred.
# The pool keeps half of those, and no more than the usable processors.  When
# the workers' stacks took all the room, a build ended the process at the
# first throw on a worker at each of the first four rooms, and at the next two
# now and then.
@pytest.mark.skipif(bool(os.environ.get("TESSELLAN_SANITIZED")),
                    reason="the sanitizer runtime maps memory for each new thread and ends the process when it cannot")
@pytest.mark.parametrize("room", [20, 60, 100, 250, 500, 1000])
def test_impossible_thread_count_under_an_address_space_limit(classes, one_thread_build, tmp_path, room):
    out = tmp_path / "prover.pc"
    workers = int(run(LIMITED, "99999999999", classes, out, room))
    assert workers <= os.process_cpu_count()
    assert workers >= 1 or room < 250
    assert out.read_bytes() == one_thread_build[0]


def test_query_of_a_loaded_prover_does_not_depend_on_threads(one_thread_build, tmp_path):
    path = tmp_path / "prover.pc"
    path.write_bytes(one_thread_build[0])
    answers = defaultdict(list)
    for threads in ("1", "8"):
        for _ in range(2):
            answers[run(QUERY_LOADED, threads, path)].append(threads)
    assert len(answers) == 1, answers
    [answer] = answers
    unproved, visited = json.loads(answer)
    assert "rxh" in unproved and len(visited) > 1
