import pytest

import tessellan as ts

G = {n: ts.Gate.from_name(n) for n in ["h", "t", "tdg", "cx"]}


def I(instrs, perm):
    return ts.IdentityCirc(ts.Circ([G[n](*q) for n, *q in instrs], perm))


@pytest.fixture(scope="module")
def prover():
    e = ts.Evaluator(2)
    eccs = ts.RawECCs.generate(e, [G["h"], G["t"], G["cx"]], 3)[0].simplify()
    return ts.IdentityProver.build_from_eccs(eccs)


HH = I([("h", 0), ("h", 0)], [0])
CXCX = I([("cx", 0, 1), ("cx", 0, 1)], [0, 1])
# Derived, not an assumption: cx(0, 1) t(0) cx(1, 0) cx(0, 1) tdg(1) (1 0).
DERIVED = I([("cx", 0, 1), ("t", 0), ("cx", 1, 0), ("cx", 0, 1), ("tdg", 1)], [1, 0])


def test_class_surface():
    assert ts.Proof.__doc__ == (
        "Exported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n"
        "- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived."
    )
    assert ts.Proof.__text_signature__ == "(data)"
    assert ts.Proof.raw.__doc__ == "Returns raw proof entries."
    assert ts.Proof.__hash__ is None


def test_values_texts_and_order():
    p = ts.Proof([(CXCX, (1, 2)), (HH, None), (HH, (0, 0))])
    assert p.raw == [(CXCX, (1, 2)), (HH, None), (HH, (0, 0))]
    assert str(p) == (
        "0: Identity { cx(0, 1) cx(0, 1) (0 1) } <- 1, 2\n"
        "1: Identity { h(0) h(0) (0) } <- ASSUME\n"
        "2: Identity { h(0) h(0) (0) } <- 0, 0\n"
    )
    assert repr(p) == "3"
    empty = ts.Proof(data=[])
    assert str(empty) == "" and repr(empty) == "0"
    assert empty < p and empty != p and not (empty == p)
    # None orders before any pair; pairs by first index, then second.
    assert ts.Proof([(HH, None)]) < ts.Proof([(HH, (0, 0))]) < ts.Proof([(HH, (0, 1))]) < ts.Proof([(HH, (1, 0))])
    # Identities decide first: fewer instructions, then qubits (cx(0, 1)
    # before h(0), whose unused slot sorts last).
    assert ts.Proof([(I([], [0]), (5, 5))]) < ts.Proof([(HH, None)])
    assert ts.Proof([(CXCX, (5, 5))]) < ts.Proof([(HH, None)])
    assert ts.Proof([(HH, None)]) == ts.Proof([(HH, None)])
    assert ts.Proof([(HH, None)]) >= ts.Proof([(HH, None)])
    assert (ts.Proof([]) == 3) is False
    with pytest.raises(TypeError):
        ts.Proof([]) < 3
    with pytest.raises(TypeError):
        hash(empty)
    # raw hands out copies.
    raw = p.raw
    raw.clear()
    assert len(p.raw) == 3


def test_constructor_errors():
    with pytest.raises(TypeError, match="argument 'data': Can't extract `str` to `Vec`"):
        ts.Proof("abc")
    with pytest.raises(ValueError, match="expected tuple of length 2, but got tuple of length 3"):
        ts.Proof([(HH, None, None)])
    with pytest.raises(TypeError, match="argument 'data': 'int' object cannot be converted to 'IdentityCirc'"):
        ts.Proof([(1, None)])
    with pytest.raises(OverflowError):
        ts.Proof([(HH, (-1, 0))])
    # Nothing is validated: indices may point anywhere.
    assert ts.Proof([(HH, (7, 9))]).raw == [(HH, (7, 9))]


def test_unproved_gives_none_and_prints_nothing(prover, capfd):
    capfd.readouterr()
    assert prover.export_proof(HH, 3, 1000) is None  # an assumption the query cannot prove
    assert capfd.readouterr() == ("", "")


def test_assumption_gives_one_entry(prover):
    assert prover.prove_identity(CXCX, 3, 1000) is None
    p = prover.export_proof(CXCX, 3, 1000)
    assert p.raw == [(CXCX, None)]
    assert str(p) == "0: Identity { cx(0, 1) cx(0, 1) (0 1) } <- ASSUME\n"


def check_proof(p, root):
    raw = p.raw
    assert raw[0][0] == root
    n = len(raw)
    for _, dep in raw:
        if dep is not None:
            assert all(0 <= i < n for i in dep)

    # Following the indices never returns to an entry.
    state = {}

    def visit(i):
        assert state.get(i) != "open", "cycle"
        if state.get(i) == "done":
            return
        state[i] = "open"
        if raw[i][1] is not None:
            for j in raw[i][1]:
                visit(j)
        state[i] = "done"

    visit(0)
    assert len(state) == n  # every entry is reached from the root


def test_derived_identity_proof_and_progress(prover, capfd):
    capfd.readouterr()
    p = prover.export_proof(DERIVED, 3, 1000)
    out, _ = capfd.readouterr()
    assert p is not None
    check_proof(p, DERIVED)
    raw = p.raw
    assert raw[0][1] is not None
    assumed = prover.get_assumed()
    for x, dep in raw:
        if dep is None:
            assert x in assumed
    lines = out.splitlines()
    assert lines[0] == f"Exploring {DERIVED.hash_value():x} {len(DERIVED)} {DERIVED} (0 queued)"
    assert all(line.startswith("Exploring ") for line in lines)
    # Same prover, same identity: the same proof.
    assert prover.export_proof(DERIVED, 3, 1000) == p


def test_every_proved_identity_exports(prover):
    e = ts.Evaluator(2)
    eccs = ts.RawECCs.generate(e, [G["h"], G["t"], G["cx"]], 3)[0].simplify()
    ids = sorted({x for x, _, _ in eccs.to_identity_circuits()})
    for x in ids:
        p = prover.export_proof(x, 3, 1000)
        assert (p is None) == (prover.prove_identity(x, 3, 1000) is not None)
        if p is not None:
            check_proof(p, x)


def test_tracker_limit(prover, capfd, raises_panic):
    assert prover.prove_identity(DERIVED, 3, 0) is None
    capfd.readouterr()
    with raises_panic("Failed to export proof for proved identity"):
        prover.export_proof(DERIVED, 3, 0)
    out, _ = capfd.readouterr()
    assert out == "Proof search exceeded limit of 0 states.\n"
