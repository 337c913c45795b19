import gc

import pytest

import tessellan as ts

h = ts.Gate.from_name("h")
x = ts.Gate.from_name("x")
t = ts.Gate.from_name("t")
cx = ts.Gate.from_name("cx")
swap = ts.Gate.from_name("swap")


def I(g, *qs):
    return ts.Instr(g, list(qs))


def key(instr):
    return (instr.gate.name, bytes(instr.qargs))


def test_construction():
    c = ts.Circ([])
    assert c.perm == () and c.nqubits() == 0 and len(c) == 0 and c.is_empty() and not c
    assert ts.Circ([I(x, 2)]).perm == (0, 1, 2)
    assert ts.Circ([I(x, 2)], None) == ts.Circ([I(x, 2)])
    c = ts.Circ([I(h, 0), I(cx, 0, 1)], (1, 0))
    assert c.perm == (1, 0) and c.nqubits() == 2 and c.len() == 2 and c
    assert type(c.perm) is tuple
    assert str(c) == "Circuit { h(0) cx(0, 1) (1 0) }"
    assert repr(c) == "Circ { instrs: [h(0), cx(0, 1)], perm: (1 0) }"
    assert ts.Circ.__doc__ == "Circuit with an explicit trailing qubit permutation."
    assert ts.Circ.__text_signature__ == "(instrs, perm=None)"


def test_construction_errors(raises_panic):
    with raises_panic("Permutation length must be greater than the max qubit index."):
        ts.Circ([I(cx, 0, 1)], [0])
    with raises_panic("Permutation length must be less than or equal to 8"):
        ts.Circ([I(x, 8)])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        ts.Circ("hx")
    with pytest.raises(TypeError, match="argument 'instrs'"):
        ts.Circ([1])
    with pytest.raises(TypeError, match="argument 'perm'"):
        ts.Circ([], "ab")


def test_instrs_are_copies():
    c = ts.Circ([I(h, 0), I(x, 1)])
    lst = c.instrs
    assert [key(i) for i in lst] == [("h", b"\x00"), ("x", b"\x01")]
    lst.clear()
    assert len(c.instrs) == 2
    assert c.instrs is not c.instrs


def test_indexing(raises_panic):
    c = ts.Circ([I(h, 0), I(x, 1), I(cx, 0, 1)])
    assert key(c[0]) == key(c[3]) == key(c[-3]) == ("h", b"\x00")
    assert key(c[-1]) == key(c[2]) == ("cx", b"\x00\x01")
    assert key(c[4]) == ("x", b"\x01")
    assert c[0] is not c[0]
    with pytest.raises(OverflowError):
        c[2**63]
    with raises_panic("attempt to calculate the remainder with a divisor of zero"):
        ts.Circ([])[0]


def as_circ(*instrs):
    return ts.Circ(list(instrs))


def as_identity(*instrs):
    return ts.IdentityCirc(ts.Circ(list(instrs)))


@pytest.mark.parametrize("make", [as_circ, as_identity])
def test_iteration_yields_each_instruction_once_in_order(make):
    # Every integer is an index, so iteration must not rest on indexing.
    c = make(I(h, 0), I(cx, 0, 1), I(cx, 0, 1), I(h, 0))
    by_index = [key(c[k]) for k in range(len(c))]
    items = list(c)
    assert [key(i) for i in items] == by_index and all(type(i) is ts.Instr for i in items)
    assert [key(i) for i in c] == by_index  # a fresh iterator each time
    first, *rest = c
    assert key(first) == by_index[0] and len(rest) == 3
    it = iter(c)
    assert iter(it) is it and key(next(it)) == by_index[0]
    other = iter(c)
    assert [key(i) for i in it] == by_index[1:] and [key(i) for i in other] == by_index
    assert list(it) == [] and next(it, None) is None  # stays exhausted
    # Membership ends after one pass (instructions compare by identity).
    assert (c[0] in c) is False and (1 in c) is False
    assert list(make()) == [] and (I(h, 0) in make()) is False


def test_iterator_keeps_its_circuit_alive():
    it = iter(ts.Circ([I(h, 0), I(x, 1)]))
    gc.collect()
    assert [key(i) for i in it] == [("h", b"\x00"), ("x", b"\x01")]


def test_algebra(raises_panic):
    a = ts.Circ([I(h, 0), I(cx, 0, 1)], [0, 1])
    b = ts.Circ([I(x, 2)], [1, 0, 2])
    assert str(a + b) == "Circuit { h(0) cx(0, 1) x(2) (1 0 2) }"
    assert str(b + a) == "Circuit { x(2) h(1) cx(1, 0) (1 0 2) }"
    assert str(a.inverse()) == "Circuit { cx(0, 1) h(0) (0 1) }"
    assert str(ts.Circ([I(t, 0)]).inverse()) == "Circuit { tdg(0) (0) }"
    c = ts.Circ([I(h, 0), I(x, 1)], [1, 0])
    assert c.inverse().inverse() == c
    assert str(c.permut([1, 0])) == "Circuit { h(1) x(0) (1 0) }"
    assert str(c.rotate(1)) == "Circuit { x(1) h(1) (1 0) }"
    assert str(c.rotate(-1)) == "Circuit { x(0) h(0) (1 0) }"
    assert str(c.rotate(len(c))) == "Circuit { h(1) x(0) (1 0) }"
    with raises_panic("range start index 3 out of range for slice of length 2"):
        c.rotate(len(c) + 1)
    with pytest.raises(OverflowError):
        c.rotate(2**63)
    assert str(ts.Circ([I(swap, 0, 1)], [0, 1]).remove_swaps()) == "Circuit { (1 0) }"
    sw = ts.Circ([], [1, 0]).instrs_with_swaps()
    assert [key(i) for i in sw] == [("swap", b"\x00\x01")]


def test_operators():
    c = ts.Circ([I(h, 0)])
    with pytest.raises(TypeError):
        c + 1
    with pytest.raises(TypeError):
        1 + c
    assert (c == 1) is False and (c != 1) is True
    with pytest.raises(TypeError):
        c < 1
    cxc = ts.Circ([I(cx, 0, 1)])
    h0 = ts.Circ([I(h, 0)], [0, 1])
    x0 = ts.Circ([I(x, 0)], [0, 1])
    h1 = ts.Circ([I(h, 1)])
    longer = ts.Circ([I(h, 0), I(h, 0)])
    assert sorted([longer, h1, x0, h0, cxc]) == [cxc, h0, x0, h1, longer]
    assert h0 <= h0 and h0 >= h0 and not h0 < h0 and h1 > x0
    same = ts.Circ([I(h, 0)], [0, 1])
    assert h0 == same and hash(h0) == hash(same) and len({h0, same}) == 1
    assert hash(h0) != hash(ts.Circ([I(h, 0)], [1, 0]))


def test_hash_is_stable():
    # SipHash-1-3, zero key, over: count, gate index, pair length, qubits, raw word.
    assert hash(ts.Circ([])) == hash(ts.Circ([]))
    c = ts.Circ([I(h, 0), I(cx, 0, 1)], [0, 1])
    assert hash(c) == -4225905753811150476


def test_canonical_forms(raises_panic):
    assert str(ts.Circ([I(h, 1)], [0, 1]).representative()) == "Circuit { h(0) (0) }"
    rep, p = ts.Circ([I(h, 1)], [0, 1]).representative_with_perm()
    assert str(rep) == "Circuit { h(0) (0) }" and p == (1, 0)
    rep, p = ts.Circ([I(swap, 0, 1)], [0, 1]).representative_with_perm()
    assert str(rep) == "Circuit { (1 0) }" and p == () and type(p) is tuple
    ident = ts.Circ([ts.Instr(ts.Gate.from_name("z"), [0]), I(h, 0), I(x, 0), I(h, 0)])
    r = ident.rotate_representative()
    assert isinstance(r, ts.IdentityCirc)
    assert str(r) == "Identity { h(0) x(0) h(0) z(0) (0) }"
    with raises_panic() as _:
        ts.Circ([I(swap, 0, 1)], [0, 1]).rotate_representative()
    # Every rotation and renaming of an identity has the same form.
    c = ts.Circ([I(h, 0), I(cx, 0, 1), I(t, 1), I(x, 2)], [2, 0, 1])
    idc = c + c.inverse()
    base = idc.rotate_representative()
    for k in range(-len(idc), len(idc) + 1):
        assert idc.rotate(k).rotate_representative() == base
    for p in [(1, 0, 2), (2, 1, 0), (1, 2, 0)]:
        assert idc.permut(p).rotate_representative() == base
