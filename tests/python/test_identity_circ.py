import collections.abc
import gc

import numpy as np
import pytest

import tessellan as ts
from circuits import I, cx, h, swap, x


HH = ts.Circ([I(h, 0), I(h, 0)])


def test_basics(raises_panic):
    e = ts.IdentityCirc(ts.Circ([]))
    assert str(e) == "Identity { () }" and e.nqubits() == 0 and len(e) == 0 and not e
    with raises_panic("attempt to calculate the remainder with a divisor of zero"):
        e[0]
    i = ts.IdentityCirc(HH)
    assert i.check() is True and i.check() is True
    assert str(i) == "Identity { h(0) h(0) (0) }"
    assert repr(i) == "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })"
    assert i.inner == HH and isinstance(i.inner, ts.Circ)
    assert len(i) == 2 and i[-1].gate.name == "h"
    with pytest.raises(TypeError, match="argument 'circuit'"):
        ts.IdentityCirc(1)
    assert [str(instr) for instr in i] == ["h(0)", "h(0)"]


def test_refuses_non_identity(PanicException):
    with pytest.raises(PanicException) as info:
        ts.IdentityCirc(ts.Circ([I(h, 0)]))
    assert info.value.args[0].startswith("IdentityCirc: circuit is not identity ")
    assert info.value.args[0].endswith(" Identity { h(0) (0) }")


def test_does_not_canonicalise():
    c = ts.Circ([I(x, 1), I(x, 1), I(h, 0), I(h, 0)])
    i = ts.IdentityCirc(c)
    assert i.inner == c
    assert c.rotate_representative() != i
    assert str(c.rotate_representative()) == "Identity { h(0) h(0) x(1) x(1) (0 1) }"


def test_attribute_dict():
    i = ts.IdentityCirc(HH)
    i.note = 1
    assert i.note == 1 and i.__dict__ == {"note": 1}
    j = ts.IdentityCirc(HH)
    assert i == j and hash(i) == hash(j) and str(i) == str(j)
    # A cycle through the dictionary is reclaimed by the collector, also one
    # through an iterator of the identity.
    assert gc.is_tracked(i)
    i.me = i
    del i
    assert gc.collect() >= 2
    j.it = iter(j)
    del j
    assert gc.collect() >= 3
    with pytest.raises(TypeError):
        type("Sub", (ts.IdentityCirc,), {})
    with pytest.raises(AttributeError):
        ts.Circ([]).note = 1


def test_compare_and_hash():
    a = ts.IdentityCirc(HH)
    b = ts.IdentityCirc(ts.Circ([I(x, 0), I(x, 0)]))
    assert a < b and a <= b and b > a and b >= a and a != b
    assert (a == HH) is False
    with pytest.raises(TypeError):
        a < HH
    for v in (a, b):
        hv = v.hash_value()
        assert 0 <= hv < 2**64
        assert hash(v) == (hv if hv < 2**63 else hv - 2**64)
        assert hash(v) == hash(v.inner)


def test_wire_queries(raises_panic):
    i = ts.IdentityCirc(ts.Circ([I(h, 0), I(x, 1), I(h, 0), I(x, 1)], [0, 1]))
    assert i.qargs_forward(0) == [2] and i.qargs_backward(0) == [2]
    assert i.qargs_forward(1) == [3] and i.qargs_backward(1) == [3]
    s = ts.IdentityCirc(ts.Circ([I(swap, 0, 1)], [1, 0]))
    assert s.qargs_forward(0) == [0, 0]
    with raises_panic("index out of bounds: the len is 4 but the index is 4"):
        i.qargs_forward(len(i))
    with pytest.raises(OverflowError):
        i.qargs_forward(-1)


def test_dictionary_form(raises_panic):
    i = ts.IdentityCirc(ts.Circ([I(h, 0), I(cx, 0, 1), I(cx, 0, 1), I(h, 0)], [0, 1]))
    d = i.pythonize()
    assert d == {
        "instrs": [("h", (0, 255)), ("cx", (0, 1)), ("cx", (0, 1)), ("h", (0, 255))],
        "perm": {"raw": 33554440},
    }
    assert list(d) == ["instrs", "perm"]
    assert ts.IdentityCirc.from_python(d) == i
    assert i.from_python(d) == i
    # Other sequence and mapping types, extra keys ignored.
    assert ts.IdentityCirc.from_python(
        {"x": object(), "perm": {"raw": 33554440}, "instrs": tuple([list(e) for e in d["instrs"]])}
    ) == i

    class M(collections.abc.Mapping):
        def __init__(self, d):
            self.d = d

        def __getitem__(self, k):
            return self.d[k]

        def __iter__(self):
            return iter(self.d)

        def __len__(self):
            return len(self.d)

    assert ts.IdentityCirc.from_python(M(d)) == i
    # Read as stored: neither the qubits nor the identity property is checked.
    bad = ts.IdentityCirc.from_python({"instrs": [("h", (5, 255))], "perm": {"raw": 16777216}})
    assert str(bad) == "Identity { h(5) (0) }"
    not_id = ts.IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": 16777216}})
    with raises_panic() as _:
        not_id.check()
    with raises_panic("Permutation length must be less than or equal to 8"):
        ts.IdentityCirc.from_python({"instrs": [], "perm": {"raw": 40 << 24}}).check()


@pytest.mark.parametrize(
    "obj, exc, text",
    [
        ({"perm": {"raw": 0}}, Exception, "missing field `instrs`"),
        ({"instrs": []}, Exception, "missing field `perm`"),
        ({}, Exception, "missing field `instrs`"),
        ({"instrs": [], "perm": {}}, Exception, "missing field `raw`"),
        ([1], TypeError, None),
        ({1: 2, "instrs": [], "perm": {"raw": 0}}, TypeError, "dict keys must have type str"),
        ({"instrs": 5, "perm": {"raw": 0}}, TypeError, None),
        ({"instrs": [("h",)], "perm": {"raw": 0}}, ValueError, None),
        ({"instrs": [("h", (0, 1, 2))], "perm": {"raw": 0}}, ValueError, None),
        ({"instrs": [(1, (0, 1))], "perm": {"raw": 0}}, TypeError, None),
        ({"instrs": [("h", (256, 255))], "perm": {"raw": 0}}, OverflowError, None),
        ({"instrs": [], "perm": {"raw": 2**32}}, OverflowError, None),
    ],
)
def test_dictionary_errors(obj, exc, text):
    with pytest.raises(exc) as info:
        ts.IdentityCirc.from_python(obj)
    if text is not None:
        assert type(info.value) is exc and info.value.args == (text,)


def reflection(theta):
    c, s = np.cos(theta), np.sin(theta)
    return np.array([[c, s], [s, -c]], dtype=complex)  # its own inverse


def test_dictionary_form_refuses_a_name_that_reads_back_as_another_gate():
    # A gate of the user's named h: its display name would read back as the
    # built-in h, so the form is refused instead of changing the circuit.
    own_h = ts.Gate("h", [], reflection(0.3173))
    assert own_h != h and str(own_h) == "h"
    shadowed = ts.IdentityCirc(ts.Circ([I(h, 0), I(h, 0), I(own_h, 0), I(own_h, 0)]))
    with pytest.raises(ValueError) as info:
        shadowed.pythonize()
    assert type(info.value) is ValueError
    assert info.value.args == ("gate display name h is shared with another gate",)
    # A gate whose name is its own round-trips.
    mine = ts.Gate("refl_round_trip", [], reflection(0.4219))
    own = ts.IdentityCirc(ts.Circ([I(mine, 1), I(mine, 1)]))
    d = own.pythonize()
    assert d["instrs"] == [("refl_round_trip", (1, 255))] * 2
    assert ts.IdentityCirc.from_python(d) == own


def test_dictionary_unknown_gate(raises_panic):
    with raises_panic("Failed to deserialize Gate16 from nope"):
        ts.IdentityCirc.from_python({"instrs": [("nope", (0, 255))], "perm": {"raw": 0}})


def test_dictionary_duplicate_field():
    class Twice(collections.abc.Mapping):
        def __getitem__(self, k):
            return []

        def __iter__(self):
            return iter(["instrs", "instrs"])

        def __len__(self):
            return 2

    with pytest.raises(Exception) as info:
        ts.IdentityCirc.from_python(Twice())
    assert type(info.value) is Exception and info.value.args == ("duplicate field `instrs`",)


# ---- ECCs.to_identity_circuits ---------------------------------------------


def canon(second, third):
    return (second + third).rotate_representative()


def test_to_identity_circuits_shapes(make_eccs):
    assert make_eccs([], 2).to_identity_circuits() == []
    assert make_eccs([[([("h", 0)], (0, 1))], [([], (0,))]], 2).to_identity_circuits() == []
    cls = [([("x", 0)], (0, 1)), ([("h", 0), ("z", 0), ("h", 0)], (0, 1)), ([("swap", 0, 1), ("x", 1)], (1, 0))]
    out = make_eccs([cls], 2).to_identity_circuits()
    assert isinstance(out, list) and len(out) == 2
    for ident, inv0, member in out:
        assert type(ident) is ts.IdentityCirc and type(inv0) is ts.Circ and type(member) is ts.Circ
        assert inv0 == ts.Circ([I(x, 0)], [0, 1]).inverse()
        assert canon(inv0, member) == ident
    assert out == sorted(out)
    assert {str(m) for _, _, m in out} == {"Circuit { h(0) z(0) h(0) (0 1) }", "Circuit { swap(0, 1) x(1) (1 0) }"}


def test_to_identity_circuits_sorting_keeps_duplicates(make_eccs):
    classes = [
        [([("x", 0)], (0,)), ([("x", 0)], (0,))],
        [([("z", 0)], (0,)), ([("z", 0)], (0,)), ([("h", 0), ("x", 0), ("h", 0)], (0,))],
        [([], (0,)), ([("h", 0), ("h", 0)], (0,))],
        [([("z", 0)], (0,)), ([("z", 0)], (0,))],
    ]
    out = make_eccs(classes, 1).to_identity_circuits()
    assert out == sorted(out)
    assert [str(i) for i, _, _ in out] == [
        "Identity { h(0) h(0) (0) }",
        "Identity { x(0) x(0) (0) }",
        "Identity { z(0) z(0) (0) }",
        "Identity { z(0) z(0) (0) }",
        "Identity { h(0) x(0) h(0) z(0) (0) }",
    ]
    assert out[2] == out[3]


def test_generated_classes_give_identities():
    e = ts.Evaluator(2)
    gates = [I(h, 0), I(h, 1), I(cx, 0, 1), I(x, 0)]
    eccs, _ = ts.RawECCs.search(e, gates, 3)
    out = eccs.simplify().to_identity_circuits()
    assert out
    for ident, inv0, member in out:
        assert ident.check()
        assert canon(inv0, member) == ident


@pytest.mark.parametrize(
    "classes, text",
    [
        ([[]], "index out of bounds: the len is 0 but the index is 0"),
        ([[([("cx", 0, 1)], (0,))]], "Permutation length must be greater than the max qubit index."),
        ([[([], (0,)), ([("x", 1)], (0,))]], "Permutation length must be greater than the max qubit index."),
    ],
)
def test_to_identity_circuits_panics(make_eccs, raises_panic, classes, text):
    with raises_panic(text):
        make_eccs(classes, 2).to_identity_circuits()


def test_to_identity_circuits_refuses_inequivalent(make_eccs, PanicException):
    with pytest.raises(PanicException) as info:
        make_eccs([[([], (0,)), ([("h", 0)], (0,))]], 2).to_identity_circuits()
    assert info.value.args[0].startswith("IdentityCirc: circuit is not identity ")
