"""Compact instructions: the Instr class."""

import pytest

import tessellan as ts
from child_python import siphash13
from circuits import cx, h, s, x


def test_text_and_qargs():
    assert str(ts.Instr(h, [0])) == repr(ts.Instr(h, [0])) == "h(0)"
    assert ts.Instr(h, [0]).qargs == b"\x00"
    assert ts.Instr(cx, [0, 1]).qargs == b"\x00\x01"
    assert str(ts.Instr(ts.Gate.from_name("rz(pi/3)"), [2])) == "rz(pi/3)(2)"
    assert ts.Instr(cx, [3, 1]).gate == cx


@pytest.mark.parametrize(
    "gate, qargs, text",
    [
        (cx, [0], "Number of qubit arguments does not match gate arity"),
        (cx, [1, 1], "Qubit arguments must be unique"),
        (h, [], "Number of qubit arguments does not match gate arity"),
        (h, [255], "Qubit index 255 is reserved for an empty slot"),
        (cx, [0, 255], "Qubit index 255 is reserved for an empty slot"),
        (cx, [255, 255], "Qubit arguments must be unique"),
    ],
)
def test_constructor_panics(gate, qargs, text, raises_panic):
    with raises_panic(text):
        ts.Instr(gate, qargs)


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match=r"^argument 'qargs': Can't extract `str` to `Vec`$"):
        ts.Instr(cx, "01")
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        ts.Instr(h, [256])
    with pytest.raises(OverflowError):
        ts.Instr(h, [-1])
    with pytest.raises(TypeError, match=r"^argument 'gate': 'str' object cannot be converted to 'Gate'$"):
        ts.Instr("h", [0])
    with pytest.raises(TypeError, match=r"^argument 'qargs': 'float' object cannot be interpreted as an integer$"):
        ts.Instr(h, [0.5])


def test_high_qubits_accepted_masks_wrap():
    i = ts.Instr(h, [9])
    assert i.arg_mask() == 2 and i.largest_qubit() == 9


def test_identity_equality_and_value_hash():
    a, b = ts.Instr(h, [0]), ts.Instr(h, [0])
    assert (a == b) is False and (a != b) is True and a == a
    assert hash(a) == hash(b)
    assert len({a, b}) == 2
    d = {a: 1}
    assert d[a] == 1 and b not in d
    with pytest.raises(TypeError):
        a < ts.Instr(h, [1])  # noqa: B015


def test_hash_is_content_hash():
    # gate u16, then the qubit array as a length-prefixed sequence.
    feed = bytes([9, 0]) + (2).to_bytes(8, "little") + bytes([0, 1])
    assert [hash(ts.Instr(cx, [0, 1]))] == siphash13(feed)


@pytest.mark.parametrize(
    "instr, perm, text",
    [
        (ts.Instr(cx, [0, 1]), [1, 2, 0], "cx(1, 2)"),
        (ts.Instr(h, [2]), [2, 0, 1], "h(1)"),
        (ts.Instr(cx, [0, 1]), (1, 0), "cx(1, 0)"),
        (ts.Instr(h, [0]), [3, 5], "h(3)"),
        (ts.Instr(h, [1]), range(2), "h(1)"),
        (ts.Instr(h, [7]), [7, 6, 5, 4, 3, 2, 1, 0], "h(0)"),
        (ts.Instr(cx, [1, 0]), b"\x01\x00", "cx(0, 1)"),
    ],
)
def test_apply_permutation(instr, perm, text):
    assert str(instr.apply_permutation(perm)) == text
    assert str(instr.permut(perm)) == text


@pytest.mark.parametrize(
    "instr, perm, text",
    [
        (ts.Instr(h, [8]), [0], "assertion failed: idx < 8"),
        (ts.Instr(h, [9]), [1, 0], "assertion failed: idx < 8"),
        (ts.Instr(cx, [0, 1]), [0, 0], "Permutation values must be unique"),
        (ts.Instr(cx, [0, 1]), [8], "Permutation values must be less than 8"),
        (ts.Instr(cx, [9, 9 - 8]), [9, 9], "Permutation values must be less than 8"),
        # a qubit beyond the permutation's length would map onto an existing one
        (ts.Instr(cx, [0, 2]), [0, 1], "Qubit arguments must be unique"),
    ],
)
def test_apply_permutation_panics(instr, perm, text, raises_panic):
    with raises_panic(text):
        instr.apply_permutation(perm)


def test_apply_permutation_refuses_str():
    with pytest.raises(TypeError, match=r"^argument 'perm': Can't extract `str` to `Vec`$"):
        ts.Instr(h, [0]).apply_permutation("012")


@pytest.mark.parametrize(
    "instr, mask, want",
    [
        (ts.Instr(cx, [0, 1]), 0, 3),
        (ts.Instr(cx, [1, 0]), 0, None),
        (ts.Instr(h, [2]), 3, 7),
        (ts.Instr(h, [0]), 1, 1),
        (ts.Instr(cx, [0, 2]), 1, None),
        (ts.Instr(h, [1]), 5, 7),
        (ts.Instr(h, [0]), 255, 255),
    ],
)
def test_pass_mask(instr, mask, want):
    assert instr.pass_mask(mask) == want


def test_masks_and_queries():
    assert ts.Instr(cx, [0, 2]).arg_mask() == 5
    assert ts.Instr(cx, [3, 1]).largest_qubit() == 3
    assert ts.Instr(h, [0]).disjoint(ts.Instr(h, [1])) is True
    assert ts.Instr(cx, [0, 1]).disjoint(ts.Instr(h, [1])) is False
    i = ts.Instr(cx, [2, 5])
    assert (i.position_of_qubit(5), i.position_of_qubit(2), i.position_of_qubit(3), i.position_of_qubit(255)) == (
        1, 0, None, None)
    with pytest.raises(OverflowError):
        i.position_of_qubit(256)
    with pytest.raises(OverflowError):
        i.pass_mask(-1)
    with pytest.raises(TypeError, match=r"^argument 'other': 'Gate' object cannot be converted to 'Instr'$"):
        i.disjoint(h)


def test_adjoint_leaves_receiver():
    i = ts.Instr(s, [0])
    assert str(i.adjoint()) == "sdg(0)" and str(i) == "s(0)"


def test_attributes_are_read_only():
    i = ts.Instr(h, [0])
    with pytest.raises(AttributeError):
        i.gate = x
