import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tessellan as ts
from circuits import gates

MISSING_KEY = "assertion failed: ecc1.contains_key(&bv.hash_value())"


def generate(e, names, max_size):
    m, _ = ts.RawECCs.generate(e, gates(*names), max_size)
    return m


@pytest.mark.parametrize(
    "nqubits, names, max_size",
    [
        (1, ["h", "t"], 6),
        (2, ["h", "cx"], 4),
        (2, ["h", "s", "cx"], 3),
        (3, ["h", "cx"], 3),
        (3, ["x", "t", "cz"], 3),
        (3, ["h", "t", "cx"], 4),
    ],
)
def test_map_checked_against_itself(nqubits, names, max_size):
    e = ts.Evaluator(nqubits)
    m = generate(e, names, max_size)
    assert m.check_identity_subset(m, e) is None
    assert m.check_identity_subset(ecc1=m, evaluator=e) is None


def test_fresh_maps_and_smaller_maps_pass():
    for n in (1, 2, 3):
        e = ts.Evaluator(n)
        assert ts.RawECCs(e).check_identity_subset(ts.RawECCs(e), e) is None
    e = ts.Evaluator(2)
    # Everything a smaller gate set or size finds is known to the larger map.
    small = generate(e, ["h"], 3)
    large = generate(e, ["h", "cx"], 3)
    assert small.check_identity_subset(large, e) is None
    assert generate(e, ["h", "cx"], 2).check_identity_subset(large, e) is None


def test_class_missing_from_the_reference(raises_panic):
    e = ts.Evaluator(2)
    small = generate(e, ["h"], 2)
    large = generate(e, ["h", "cx"], 1)
    with raises_panic(MISSING_KEY):
        large.check_identity_subset(small, e)


def test_identity_the_reference_cannot_explain(raises_panic):
    # Up to two instructions the root class holds cx cx: its key is the
    # reference's initial key, but no root member there shares a gate with it.
    e = ts.Evaluator(2)
    small = generate(e, ["h"], 2)
    large = generate(e, ["h", "cx"], 2)
    with raises_panic(
        "No equivalence found during export_equivalence:  (0 1), h(0) h(0) (0 1), h(1) h(1) (0 1) = "
        "cx(0, 1), cx(0, 1) (0 1)"
    ):
        large.check_identity_subset(small, e)


def test_arguments(raises_panic):
    e = ts.Evaluator(1)
    m = ts.RawECCs(e)
    with pytest.raises(TypeError):
        m.check_identity_subset(e, e)
    with pytest.raises(TypeError):
        m.check_identity_subset(m)
    with pytest.raises(TypeError):
        m.check_identity_subset(m, m)
    # A map of another evaluator does not know this one's keys.
    other = ts.Evaluator(1)
    with raises_panic(MISSING_KEY):
        m.check_identity_subset(ts.RawECCs(other), e)


# Runs in a fresh interpreter with a given pool size: prints the outcome of
# each check and the number of pool threads that exist afterwards.
CHILD = textwrap.dedent(
    """
    import json, os, sys
    import tessellan as ts

    def gen(e, names, k):
        return ts.RawECCs.generate(e, [ts.Gate.from_name(n) for n in names], k)[0]

    def outcome(f):
        try:
            return ["ok", f()]
        except BaseException as exc:
            return [type(exc).__name__, str(exc)]

    e = ts.Evaluator(3)
    m4 = gen(e, ["h", "t", "cx"], 4)
    m5 = gen(e, ["h", "t", "cx"], 5)      # more than two chunks of classes
    hcx = gen(e, ["h", "cx"], 3)
    e2 = ts.Evaluator(2)
    results = [
        outcome(lambda: m5.check_identity_subset(m5, e)),
        outcome(lambda: m4.check_identity_subset(m5, e)),
        # Class 0 fails; so do later classes, concurrently.
        outcome(lambda: m5.check_identity_subset(hcx, e)),
        # A class in the middle fails; the classes of length 5 after it too.
        outcome(lambda: m5.check_identity_subset(m4, e)),
        outcome(lambda: gen(e2, ["h", "cx"], 1).check_identity_subset(gen(e2, ["h"], 2), e2)),
    ]
    workers = 0
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            workers += f.read().startswith("tsl-worker-")
    sys.stderr.flush()
    print(json.dumps({"results": results, "workers": workers}))
    """
)


def run_child(env_update):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_update)
    out = subprocess.run(
        [sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, check=True, timeout=300
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def without_qubits(results):
    # Each child draws its own evaluator, and the qubit frame a class is shown
    # in (qubit numbers, permutations) depends on the evaluator's states; which
    # class fails and its gates do not.
    return [[kind, re.sub(r"\d", "#", text) if isinstance(text, str) else text] for kind, text in results]


def test_same_outcome_with_one_and_many_threads():
    one = run_child({"RAYON_NUM_THREADS": "1"})
    four = run_child({"RAYON_NUM_THREADS": "4"})
    assert one["workers"] == 1
    assert four["workers"] == 4
    assert without_qubits(one["results"]) == without_qubits(four["results"])
    assert one["results"][:3] == [
        ["ok", None],
        ["ok", None],
        [
            "PanicException",
            "No equivalence found during export_equivalence:  (0 1 2), h(0) h(0) (0 1 2), h(1) h(1) (0 1 2), "
            "h(2) h(2) (0 1 2), cx(0, 1) cx(0, 1) (0 1 2), cx(1, 0) cx(1, 0) (0 1 2), cx(1, 2) cx(1, 2) (0 1 2), "
            "cx(0, 2) cx(0, 2) (0 1 2), cx(2, 0) cx(2, 0) (0 1 2), cx(2, 1) cx(2, 1) (0 1 2) = t(0), tdg(0) (0 1 2)",
        ],
    ]
    assert one["results"][4] == ["PanicException", MISSING_KEY]
    # The lowest failing class is that of tdg tdg tdg, which m4 cannot relate
    # to t^5; the classes of length 5 after it fail too.
    q, p = r"(\d)", r"\(\d \d \d\)"
    tdg3 = rf"tdg\({q}\) tdg\(\1\) tdg\(\1\) ({p})"
    t5 = ", ".join([r"t\(\1\)"] * 5)
    for run in (one, four):
        kind, text = run["results"][3]
        assert kind == "PanicException"
        assert re.fullmatch(rf"No equivalence found during export_equivalence: {tdg3} = {t5} \2", text), text


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, len(os.sched_getaffinity(0))),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "0"}, len(os.sched_getaffinity(0))),
        ({}, len(os.sched_getaffinity(0))),
    ],
)
def test_pool_size_from_environment(env, expected):
    assert run_child(env)["workers"] == expected


def test_check_in_a_forked_child():
    # The pool's threads do not survive fork; a child runs the check itself.
    script = textwrap.dedent(
        """
        import os
        import tessellan as ts
        e = ts.Evaluator(2)
        m = ts.RawECCs.generate(e, [ts.Gate.from_name("h"), ts.Gate.from_name("cx")], 3)[0]
        m.check_identity_subset(m, e)
        pid = os.fork()
        if pid == 0:
            m.check_identity_subset(m, e)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        """
    )
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    subprocess.run([sys.executable, "-c", script], env=env, check=True, timeout=120, capture_output=True)
