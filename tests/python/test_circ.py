import functools
import itertools
import gc
import random

import pytest

import tessellan as ts
from circuits import I, cx, h, swap, t, tdg, x, z


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
    ident = ts.Circ([I(z, 0), I(h, 0), I(x, 0), I(h, 0)])
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


# The canonical forms written out from their definitions, on plain values:
# an instruction is (first qubit, second qubit, gate rank), 255 marking an
# unused slot, so that these tuples order as the instructions do.
REF_GATES = [h, x, t, tdg, cx, swap]


def _one(g):
    return ts.Circ([ts.Instr(g, [0, 1][: g.nqargs])], [0, 1])


# Gates of one arity order by their table index, which one-instruction
# circuits on the same qubits reveal.
RANK = {g.name: r for r, g in enumerate(sorted(REF_GATES, key=functools.cmp_to_key(
    lambda a, b: -1 if _one(a) < _one(b) else (1 if _one(b) < _one(a) else 0))))}
BY_RANK = {r: ts.Gate.from_name(n) for n, r in RANK.items()}


def ref_tuple(instr):
    q = bytes(instr.qargs) + b"\xff\xff"
    return (q[0], q[1], RANK[instr.gate.name])


def ref_circ(instrs, perm):
    return ts.Circ([ts.Instr(BY_RANK[g], [q for q in (a, b) if q != 255]) for a, b, g in instrs], perm)


def ref_compact(instrs, perm):
    affected = [q for a, b, _ in instrs for q in (a, b) if q != 255] + [i for i, e in enumerate(perm) if e != i]
    if affected and max(affected) + 1 < len(perm):
        return perm[: max(affected) + 1]
    return perm


def ref_reorder(instrs):
    v = list(instrs)
    for i in range(1, len(v)):
        j = i
        while j >= 1:
            cur, prev = v[j], v[j - 1]
            if {cur[0], cur[1]} & {prev[0], prev[1]} - {255}:
                break
            if not cur < prev:
                break
            v[j], v[j - 1] = prev, cur
            j -= 1
    return v


def ref_relabel(instrs, p):
    return [(p[a] if a != 255 else 255, p[b] if b != 255 else 255, g) for a, b, g in instrs]


def ref_prepare(c):
    instrs = [ref_tuple(i) for i in c]
    perm = ref_compact(instrs, list(c.perm))
    wires, kept = list(range(len(perm))), []
    for a, b, g in instrs:
        if g == RANK["swap"]:
            wires[a], wires[b] = wires[b], wires[a]
        else:
            kept.append((wires[a] if a != 255 else 255, wires[b] if b != 255 else 255, g))
    inv = [0] * len(wires)
    for i, w in enumerate(wires):
        inv[w] = i
    return kept, [perm[inv[i]] for i in range(len(perm))]


def ref_candidate(instrs, perm):
    instrs = ref_reorder(instrs)
    return ref_circ(instrs, ref_compact(instrs, perm))


def ref_renamed_perm(perm, p):
    inv = [0] * len(p)
    for i, e in enumerate(p):
        inv[e] = i
    return [p[perm[inv[i]]] for i in range(len(p))]


def ref_forms(c):
    instrs, perm = ref_prepare(c)
    best = best_rot = None
    for p in itertools.permutations(range(len(perm))):
        renamed, rperm = ref_relabel(instrs, p), ref_renamed_perm(perm, p)
        cand = ref_candidate(renamed, rperm)
        if best is None or cand < best:
            best = cand
        inv = [0] * len(rperm)
        for i, e in enumerate(rperm):
            inv[e] = i
        for i, instr in enumerate(renamed):
            if 0 in (instr[0], instr[1]):
                rot = ref_candidate(renamed[i:] + ref_relabel(renamed[:i], inv), rperm)
                if best_rot is None or rot < best_rot:
                    best_rot = rot
    return best, best_rot


def random_identity(rng, nq, half):
    instrs = []
    for _ in range(half):
        if rng.random() < 0.35:
            a, b = rng.sample(range(nq), 2)
            instrs.append(ts.Instr(rng.choice([cx, cx, swap]), [a, b]))
        else:
            instrs.append(ts.Instr(rng.choice([h, x, t, tdg]), [rng.randrange(nq)]))
    perm = list(range(nq))
    rng.shuffle(perm)
    c = ts.Circ(instrs, perm)
    return c, c + c.inverse()


@pytest.mark.parametrize("nq", [2, 3])
def test_canonical_forms_match_their_definition(nq):
    rng = random.Random(nq)
    for _ in range(150):
        c, ident = random_identity(rng, nq, rng.randrange(1, 8))
        ident = ident.rotate(rng.randrange(len(ident) + 1))
        for circ in (c, ident):
            if circ.remove_swaps().is_empty():
                continue
            form, _ = ref_forms(circ)
            got, got_renaming = circ.representative_with_perm()
            assert got == form and circ.representative() == form
            # Among the renamings that give the form, the least packed word:
            # for these lengths the order of the reversed entry tuples.
            instrs, perm = ref_prepare(circ)
            ties = [p for p in itertools.permutations(range(len(perm)))
                    if ref_candidate(ref_relabel(instrs, p), ref_renamed_perm(perm, p)) == form]
            assert got_renaming == min(ties, key=lambda p: p[::-1])
        _, rot = ref_forms(ident)
        if rot is not None:
            assert ident.rotate_representative().inner == rot


# Stored values that bypassed the checks (read back through the dictionary
# form) take every candidate as the forms define, panics included.
@pytest.mark.parametrize("instrs, raw, form, renaming, rotate_panic", [
    # entries of the permutation repeat
    ([("h", (0, 255)), ("cx", (0, 1))], 1 | 1 << 3 | 2 << 24,
     "Circuit { h(0) cx(0, 1) (1 1) }", (0, 1), "IdentityCirc: circuit is not identity "),
    # a used slot after an unused one
    ([("x", (255, 1)), ("x", (0, 255)), ("x", (0, 255))], 0 | 1 << 3 | 2 << 24,
     "Circuit { x(0) x(0) x() (0) }", (0,), "called `Result::unwrap()` on an `Err` value: TryFromSliceError(())"),
    # one qubit twice
    ([("cx", (1, 1)), ("h", (0, 255))], 0 | 1 << 3 | 2 << 24, None, None, "Qubit arguments must be unique"),
])
def test_canonical_forms_of_unchecked_values(PanicException, instrs, raw, form, renaming, rotate_panic):
    c = ts.IdentityCirc.from_python({"instrs": instrs, "perm": {"raw": raw}}).inner
    if form is None:
        for f in (c.representative, c.representative_with_perm):
            with pytest.raises(PanicException, match=rotate_panic):
                f()
    else:
        assert str(c.representative()) == form
        rep, p = c.representative_with_perm()
        assert str(rep) == form and p == renaming
    with pytest.raises(PanicException) as info:
        c.rotate_representative()
    assert info.value.args[0].startswith(rotate_panic)
