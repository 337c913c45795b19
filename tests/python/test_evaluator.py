"""The evaluator: keys invariant under relabelling qubits before and after a circuit."""

import itertools
import random

import pytest

import tessellan as ts
from circuits import G, key

ONE = ["h", "x", "t", "tdg", "s", "y"]
TWO = ["cx", "cz"]


def random_circuit(rng, n, length):
    out = []
    for _ in range(length):
        if n >= 2 and rng.random() < 0.4:
            a, b = rng.sample(range(n), 2)
            out.append(ts.Instr(G[rng.choice(TWO)], [a, b]))
        else:
            out.append(ts.Instr(G[rng.choice(ONE)], [rng.randrange(n)]))
    return out


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
def test_key_invariant_under_relabelling(n):
    rng = random.Random(1000 + n)
    e = ts.Evaluator(n)
    for _ in range(12):
        circ = random_circuit(rng, n, rng.randrange(1, 7))
        perm = list(range(n))
        rng.shuffle(perm)
        relabelled = [i.apply_permutation(perm) for i in circ]
        assert key(e, circ) == key(e, relabelled)
        if n >= 2:
            # independent relabellings of the inputs and of the outputs
            swaps = [ts.Instr(G["swap"], rng.sample(range(n), 2)) for _ in range(rng.randrange(1, 4) + 3)]
            assert key(e, swaps[:3] + circ + swaps[3:]) == key(e, circ)


@pytest.mark.parametrize("n", [2, 3])
def test_swap_before_or_after_leaves_key(n):
    e = ts.Evaluator(n)
    circ = [ts.Instr(G["h"], [0]), ts.Instr(G["cx"], [0, 1]), ts.Instr(G["t"], [1])]
    sw = ts.Instr(G["swap"], [0, 1])
    assert key(e, circ) == key(e, [sw] + circ) == key(e, circ + [sw])


def test_different_circuits_differ():
    e = ts.Evaluator(2)
    assert key(e, [ts.Instr(G["h"], [0])]) != key(e, [ts.Instr(G["t"], [0])])
    assert key(e, [ts.Instr(G["x"], [0]), ts.Instr(G["x"], [0])]) == e.initial_key()


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
def test_evaluate_result_shape(n):
    e = ts.Evaluator(n)
    back, front_perm, back_perm, fwd = e.evaluate([])
    assert isinstance(back, ts.StateVec) and isinstance(fwd, ts.StateVec)
    assert back.hash_value() == e.initial_key()
    assert sorted(front_perm) == list(range(n)) and sorted(back_perm) == list(range(n))
    assert back.len() == 2**n and fwd.len() == 2**n and back.check()
    assert e.nqubits() == n


def test_one_qubit_pairs_are_identities():
    e = ts.Evaluator(1)
    _, f, b, _ = e.evaluate([ts.Instr(G["h"], [0])])
    assert f == (0,) and b == (0,)


def test_equality_and_hash():
    a, b = ts.Evaluator(2), ts.Evaluator(2)
    assert a == a and a != b and (a == 3) is False
    assert a.initial_key() != b.initial_key()
    with pytest.raises(TypeError):
        hash(a)


@pytest.mark.parametrize("n", [6, 9, 40])
def test_more_than_five_qubits_refused(n, raises_panic):
    with raises_panic("Evaluator supports at most 5 qubits"):
        ts.Evaluator(n)


def test_argument_errors():
    with pytest.raises(OverflowError):
        ts.Evaluator(-1)
    with pytest.raises(TypeError, match=r"^argument 'instrs': Can't extract `str` to `Vec`$"):
        ts.Evaluator(2).evaluate("h")
    with pytest.raises(TypeError, match=r"^argument 'instrs': 'Gate' object cannot be converted to 'Instr'$"):
        ts.Evaluator(2).evaluate([G["h"]])


def test_out_of_range_qubit_panics(raises_panic):
    with raises_panic("index out of bounds: the len is 4 but the index is 4"):
        ts.Evaluator(2).evaluate([ts.Instr(G["h"], [2])])
