"""Queries on a finished raw class map: next keys, equivalents, re-keying."""

import gc

import pytest

import tessellan as ts
from circuits import G, I, key


@pytest.fixture(scope="module")
def built():
    e = ts.Evaluator(2)
    m, _ = ts.RawECCs.generate(e, [G["h"], G["s"], G["cx"]], 3)
    return e, m


def test_compute_next_key(built):
    e, m = built
    root = e.initial_key()
    assert m.compute_next_key(e, root, I("h", 0)) == key(e, [I("h", 0)])
    assert m.compute_next_key(e, root, I("h", 1)) == key(e, [I("h", 0)])
    hk = key(e, [I("h", 0)])
    assert m.compute_next_key(e, hk, I("h", 0)) == root
    assert m.compute_next_key(e, 12345, I("h", 0)) is None
    with pytest.raises(OverflowError):
        m.compute_next_key(e, -1, I("h", 0))


def test_compute_next_key_beyond_map_is_none():
    e = ts.Evaluator(1)
    m, _ = ts.RawECCs.search(e, [I("t", 0)], 1)
    tk = key(e, [I("t", 0)])
    assert m.compute_next_key(e, tk, I("t", 0)) is None


def test_find_equivalents_of_empty_circuit(built):
    e, m = built
    ecc = m.find_equivalents(e, [])
    circuits = ecc.circuits()
    assert circuits[0] == []
    for c in circuits:
        assert key(e, c) == e.initial_key()


def test_find_equivalents_in_circuit_frame(built):
    e, m = built
    # h on qubit 1 is found in h's class, expressed on qubit 1
    ecc = m.find_equivalents(e, [I("h", 1)])
    first = ecc.circuits()[0]
    assert [str(i) for i in first] == ["h(1)"]
    q = [I("cx", 1, 0), I("h", 1)]
    found = m.find_equivalents(e, q)
    assert found is not None
    for c in found.circuits():
        assert key(e, c) == key(e, q)


def test_find_equivalents_missing_class_is_none():
    e = ts.Evaluator(2)
    m = ts.RawECCs(e)
    assert m.find_equivalents(e, [I("h", 0)]) is None


def shapes(eccs):
    """Class sizes: member counts, and the shortest member (a representative has no swaps)."""
    return sorted((len(cls.circuits()), len(cls.circuits()[0])) for cls in eccs.to_list())


def test_switch_evaluator_keeps_every_class():
    e1, e2 = ts.Evaluator(1), ts.Evaluator(1)
    m, _ = ts.RawECCs.generate(e1, [G["t"], G["h"]], 4)
    assert m.switch_evaluator(e2).simplify() == m.simplify()
    f1, f2 = ts.Evaluator(3), ts.Evaluator(3)
    m3, _ = ts.RawECCs.generate(f1, [G["h"], G["cx"], G["cy"]], 3)
    switched = m3.switch_evaluator(f2)
    assert shapes(switched.simplify()) == shapes(m3.simplify())
    assert switched.simplify().check() == []
    assert shapes(m3.switch_evaluator(f1).simplify()) == shapes(m3.simplify())


def test_switched_map_outlives_its_source():
    e1, e2 = ts.Evaluator(2), ts.Evaluator(2)
    m, _ = ts.RawECCs.generate(e1, [G["h"], G["cx"]], 3)
    want = shapes(m.simplify())
    switched = m.switch_evaluator(e2)
    del m
    gc.collect()
    ts.RawECCs.generate(e1, [G["t"], G["cx"]], 3)  # reuse the freed memory
    assert shapes(switched.simplify()) == want
    assert switched.find_equivalents(e2, [I("h", 0)]).circuits()[0][0].gate == G["h"]


def test_switch_collision_with_a_source_class_panics(PanicException):
    # The naive map files swap(0, 1) apart from the empty circuit; under a real
    # evaluator both get the empty circuit's key.
    e = ts.Evaluator(2)
    m, _ = ts.RawECCs.search_naive(e, [I("swap", 0, 1)], 1)
    with pytest.raises(PanicException) as exc:
        m.switch_evaluator(ts.Evaluator(2))
    assert exc.value.args[0].startswith("Hash collision detected during evaluator switch: CircuitECC { size: 0, ")
    assert " vs CircuitECC { size: 1, " in exc.value.args[0]


def test_switch_collision_between_classes_panics(raises_panic):
    e = ts.Evaluator(2)
    m, _ = ts.RawECCs.search_naive(e, [I("h", 0), I("h", 1)], 1)
    with raises_panic():
        m.switch_evaluator(e)
