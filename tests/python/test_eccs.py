"""Finished classes from Python: materialised swaps, text forms, filtering, equality and the randomised check.

Collections are made by writing their file bytes and loading them.
"""

import pytest

import tessellan as ts
from circuits import swap


def texts(circuits):
    return [[str(i) for i in c] for c in circuits]


def test_classes_without_constructor():
    for cls in (ts.ECC, ts.ECCs):
        with pytest.raises(TypeError):
            cls()


def test_materialised_swaps_and_text(make_eccs):
    eccs = make_eccs([[([("h", 0)], (0, 1)), ([("cx", 0, 1)], (1, 0))],
                 [([("x", 1)], (1, 0)), ([("h", 0), ("x", 0)], (1, 0))]], 2)
    swapped, same = eccs.to_list()
    circs = swapped.circuits()
    assert texts(circs) == [["h(0)"], ["cx(0, 1)", "swap(0, 1)"]]
    assert all(isinstance(i, ts.Instr) for c in circs for i in c)
    assert circs[1][1].gate == swap and circs[1][1].qargs == bytes([0, 1])
    assert str(swapped) == "ECC {\n\th(0),\n\tcx(0, 1) swap(0, 1),\n}"
    # Equal permutations: no swaps at all.
    assert texts(same.circuits()) == [["x(1)"], ["h(0)", "x(0)"]]
    assert str(eccs) == str(swapped) + " & " + str(same)
    assert str(eccs).count(" & ") == 1


def test_collection_text_len_and_filter(make_eccs):
    single = [([("h", 0)], (0,))]
    pair = [([], (0,)), ([("h", 0), ("h", 0)], (0,))]
    eccs = make_eccs([single, pair, [], single], 1)
    assert len(eccs) == 4 and eccs.nqubits == 1
    assert str(eccs) == "ECC {\n\t,\n\th(0) h(0),\n}"
    assert str(make_eccs([single, single], 1)) == "" and str(make_eccs([], 5)) == ""
    kept = eccs.filter_single()
    assert len(kept) == 1 and kept.nqubits == 1 and kept == make_eccs([pair], 1)
    assert len(eccs) == 4  # unchanged
    with pytest.raises(AttributeError):
        eccs.nqubits = 2


def test_equality_and_hashing(make_eccs):
    a = make_eccs([[([("h", 0)], (0, 1)), ([("x", 1)], (0, 1))]], 2)
    b = make_eccs([[([("h", 0)], (0, 1)), ([("x", 1)], (0, 1))]], 2)
    assert a == b and not (a != b)
    assert a != make_eccs([[([("h", 0)], (0, 1)), ([("x", 1)], (0, 1))]], 3)  # nqubits counts
    assert a != make_eccs([[([("h", 0)], (0, 1)), ([("x", 1)], (1, 0))]], 2)
    first, second = a.to_list(), a.to_list()
    assert first[0] is not second[0] and first == second
    assert (a == 1) is False and (first[0] == "x") is False
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    with pytest.raises(TypeError):
        first[0] < second[0]  # noqa: B015
    for obj in (a, first[0]):
        with pytest.raises(TypeError):
            hash(obj)
    # Qubit byte after an empty slot is kept and compared.
    assert make_eccs([[([("h", 255, 3)], (0,))]], 1) != make_eccs([[([("h", 255, 4)], (0,))]], 1)


def test_check_finds_broken_classes(make_eccs):
    good = [([("h", 0), ("h", 0)], (0, 1)), ([], (0, 1))]
    relabelled = [([("cx", 0, 1)], (1, 0)), ([("swap", 0, 1), ("cx", 1, 0), ("swap", 0, 1)], (1, 0))]
    bad = [([("h", 0)], (0, 1)), ([("x", 0)], (0, 1)), ([("h", 0)], (0, 1))]
    single = [([("x", 1)], (1, 0))]
    eccs = make_eccs([good, bad, relabelled, single], 2)
    failed = eccs.check()
    assert len(failed) == 1 and isinstance(failed[0], ts.ECC)
    assert failed[0] == eccs.to_list()[1]
    assert make_eccs([good, relabelled, single], 2).check() == []
    assert make_eccs([single], 2).check() == []


@pytest.mark.parametrize(
    "classes, nqubits, text",
    [
        ([[]], 1, "index out of bounds: the len is 0 but the index is 0"),
        ([[([("h", 2)], (0, 1)), ([], (0, 1))]], 2, "index out of bounds: the len is 4 but the index is 4"),
        ([[([("h", 0)], (0, 1))]], 2 + 7, "ECCs.check supports at most 8 qubits, got 9"),
        ([[([("h", 0)], (0, 1))]], 1 << 63, f"ECCs.check supports at most 8 qubits, got {1 << 63}"),
        ([[([], (0, 1)), ([], (0,))]], 2, "assertion failed: self.len() == other.len()"),
    ],
)
def test_check_panics(make_eccs, raises_panic, classes, nqubits, text):
    eccs = make_eccs(classes, nqubits)
    with raises_panic(text):
        eccs.check()


def test_broken_classes_in_other_methods(make_eccs, raises_panic):
    eccs = make_eccs([[], [([], (0, 1)), ([], (0,))]], 2)
    empty, mixed = eccs.to_list()
    for call, text in [
        (empty.circuits, "index out of bounds: the len is 0 but the index is 0"),
        (lambda: str(empty), "index out of bounds: the len is 0 but the index is 0"),
        (mixed.circuits, "assertion failed: self.len() == other.len()"),
        (lambda: str(eccs), "assertion failed: self.len() == other.len()"),
    ]:
        with raises_panic(text):
            call()
    # These cope with both.
    assert len(eccs) == 2 and empty == empty and mixed != empty
    assert eccs.filter_single().to_list() == [mixed]
