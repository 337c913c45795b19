"""Breadth-first search, gate-set expansion and the raw class map."""

import pytest

import tessellan as ts
from circuits import G, I


def progress_lines(out):
    return [line for line in out.splitlines() if line.startswith("#")]


def members(eccs):
    return [len(c.circuits()) for c in eccs.to_list()]


def test_empty_instruction_list(capfd):
    e = ts.Evaluator(2)
    m, counters = ts.RawECCs.search(e, [], 3)
    assert counters == [1, 0, 0] and isinstance(counters, list)
    assert progress_lines(capfd.readouterr().out) == ["#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)"]
    assert len(m.simplify()) == 1
    assert ts.RawECCs.generate(e, [], 3)[1] == [1, 0, 0]


def test_relabelled_copies_are_not_stored():
    e = ts.Evaluator(2)
    m, counters = ts.RawECCs.search(e, [I("h", 0), I("h", 1)], 1)
    assert counters == [1, 2, 2]
    eccs = m.simplify()
    assert members(eccs) == [1, 1]


def test_naive_search_keeps_labels():
    e = ts.Evaluator(2)
    m, counters = ts.RawECCs.search_naive(e, [I("h", 0), I("h", 1)], 1)
    assert counters[1] == counters[2] == 2
    assert len(m.simplify()) == 3


def test_self_inverse_joins_root():
    e = ts.Evaluator(1)
    m, counters = ts.RawECCs.search(e, [I("x", 0)], 2)
    assert counters == [2, 2, 2]
    root = m.simplify().to_list()[0]
    assert [[str(i) for i in c] for c in root.circuits()] == [[], ["x(0)", "x(0)"]]


def test_t_powers_on_one_qubit():
    e = ts.Evaluator(1)
    m, counters = ts.RawECCs.generate(e, [G["t"]], 5)
    assert counters == [8, 16, 16]
    eccs = m.simplify()
    assert len(eccs) == 8 and sum(members(eccs)) == 12
    assert len(eccs.filter_single()) == 3
    assert ts.RawECCs.generate(e, [G["t"]], 4)[1] == [7, 14, 14]
    assert ts.RawECCs.generate(e, [G["t"]], 3)[1] == [5, 10, 10]


def test_max_size_zero_still_expands_root():
    e = ts.Evaluator(1)
    m, counters = ts.RawECCs.search(e, [I("h", 0)], 0)
    assert counters == [1, 1, 1] and len(m.simplify()) == 2


def test_progress_every_400_expansions(capfd):
    e = ts.Evaluator(3)
    _, counters = ts.RawECCs.generate(e, [G["h"], G["t"], G["cx"]], 5)
    assert counters[0] > 800
    lines = progress_lines(capfd.readouterr().out)
    assert [int(line.split()[0][1:]) for line in lines] == list(range(0, counters[0], 400))
    assert lines[1].startswith("#400 Exploring ") and " queued, " in lines[1] and lines[1].endswith(" circs perm)")


@pytest.mark.parametrize(
    "gates, n, expected",
    [
        (["h", "cx"], 2, ["h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)"]),
        (["cx", "h"], 3, ["h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)", "h(2)", "cx(0, 2)", "cx(1, 2)", "cx(2, 0)",
                          "cx(2, 1)"]),
        (["t"], 2, ["t(0)", "tdg(0)", "t(1)", "tdg(1)"]),
        (["s", "sdg"], 1, ["s(0)", "sdg(0)"]),
        (["h", "h"], 1, ["h(0)", "h(0)"]),
    ],
)
def test_expansion_order(gates, n, expected):
    e = ts.Evaluator(n)
    gs = [G[g] for g in gates]
    instrs = [ts.Instr(G[s.split("(")[0]], [int(q) for q in s[s.index("(") + 1:-1].split(", ")]) for s in expected]
    for k in [1, 2, 3]:
        got, counters = ts.RawECCs.generate(e, gs, k)
        want, want_counters = ts.RawECCs.search(e, instrs, k)
        assert counters == want_counters and got.simplify() == want.simplify()
    assert counters[1] == counters[0] * len(expected)


def test_generate_naive_matches_search_naive():
    e = ts.Evaluator(2)
    got, c1 = ts.RawECCs.generate_naive(e, [G["h"], G["cx"]], 2)
    want, c2 = ts.RawECCs.search_naive(e, [I("h", 0), I("h", 1), I("cx", 0, 1), I("cx", 1, 0)], 2)
    assert c1 == c2 and c1[1] == c1[2] and got.simplify() == want.simplify()


def test_unsupported_arity_panics_before_output(capfd, raises_panic):
    import numpy as np
    g3 = ts.Gate("ccz_like", [], np.diag([1, 1, 1, 1, 1, 1, 1, -1j]).astype(complex))
    with raises_panic("Only 1 and 2 qubit instructions are supported"):
        ts.RawECCs.generate(ts.Evaluator(3), [G["h"], g3], 2)
    assert progress_lines(capfd.readouterr().out) == []


def test_every_member_has_its_class_key():
    for n, gates, k in [(1, ["h", "t"], 4), (2, ["h", "t", "cx"], 3), (3, ["h", "cx"], 3), (3, ["x", "t", "cz"], 3)]:
        e = ts.Evaluator(n)
        m, _ = ts.RawECCs.generate(e, [G[g] for g in gates], k)
        eccs = m.simplify()
        for cls in eccs.to_list():
            keys = {e.evaluate(c)[0].hash_value() for c in cls.circuits()}
            assert len(keys) == 1
        assert eccs.check() == []


def test_simplified_root_first_and_shortest_representatives():
    e = ts.Evaluator(2)
    m, _ = ts.RawECCs.generate(e, [G["h"], G["s"], G["cx"]], 3)
    eccs = m.simplify()
    classes = eccs.to_list()
    assert classes[0].circuits()[0] == []
    for cls in classes:
        lengths = [len(c) for c in cls.circuits()]
        assert lengths[0] == min(lengths)
    assert m.simplify() == eccs


def test_argument_errors():
    e = ts.Evaluator(1)
    with pytest.raises(OverflowError):
        ts.RawECCs.search(e, [], -1)
    with pytest.raises(TypeError, match=r"^argument 'gates': 'Instr' object cannot be converted to 'Gate'$"):
        ts.RawECCs.generate(e, [I("h", 0)], 1)
    with pytest.raises(TypeError, match=r"^argument 'evaluator': 'int' object cannot be converted to 'Evaluator'$"):
        ts.RawECCs(3)


def test_qubit_outside_evaluator_panics(raises_panic):
    with raises_panic("index out of bounds: the len is 2 but the index is 2"):
        ts.RawECCs.search(ts.Evaluator(1), [I("h", 1)], 2)


def test_raw_map_has_identity_semantics():
    e = ts.Evaluator(1)
    a = ts.RawECCs(e)
    assert a == a and a != ts.RawECCs(e)
    assert isinstance(hash(a), int)
    assert len(a.simplify()) == 1
