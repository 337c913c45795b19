"""State vectors from Python: construction, gates, normalisation, item access, text."""

import math
import os
import struct

import numpy as np
import pytest

import tessellan as ts
from child_python import siphash13
from circuits import G

C = 0.7071067811865476


def amps(state):
    return [state[k] for k in range(state.len())]


def hexes(values):
    return [(v.real.hex(), v.imag.hex()) for v in values]


def test_basic_state():
    s = ts.StateVec([1.0, 0.0], [0.0, 0.0])
    assert (s.len(), s.nqubits(), s.check(), str(s)) == (2, 1, True, "[1.0000, 0.0000]")
    assert s.hash_value() == 762542468315872361
    s *= ts.Instr(G["h"], [0])
    assert amps(s) == [complex(C, 0), complex(C, 0)]
    assert s.hash_value() == 342504036482978512


@pytest.mark.parametrize(
    "re, im, text",
    [
        ([1, 2, 3], [0, 0, 0], "Length must be a power of 2"),
        ([], [], "Length must be a power of 2"),
        ([1, 0], [0], "assertion `left == right` failed: Real and imaginary parts must have the same length\n"
                      "  left: 2\n right: 1"),
    ],
)
def test_constructor_panics(re, im, text, raises_panic):
    with raises_panic(text):
        ts.StateVec(re, im)


def test_constructor_conversions():
    with pytest.raises(TypeError, match=r"^argument 're': Can't extract `str` to `Vec`$"):
        ts.StateVec("ab", [0, 0])
    with pytest.raises(TypeError, match=r"^argument 'im': 'int' object cannot be converted to 'Sequence'$"):
        ts.StateVec([1, 0], 5)
    with pytest.raises(TypeError, match=r"^argument 're': must be real number, not str$"):
        ts.StateVec([1, "x"], [0, 0])
    s = ts.StateVec((1, True), np.array([0.5, 0.0]))
    assert amps(s) == [1 + 0.5j, 1 + 0j]


def test_random_states():
    a, b = ts.StateVec.random(3), ts.StateVec.random(3)
    assert a.len() == 8 and a.check() and a[0].imag == 0.0 and a != b
    sym = ts.StateVec.random_symmetric(3)
    assert sym[1] == sym[2] == sym[4] and sym[3] == sym[5] == sym[6]
    assert ts.StateVec.random(0).len() == 1


@pytest.mark.parametrize("n, text", [(64, "Number of qubits too large, resulting in overflow for state vector size."),
                                     (1000, "Number of qubits too large, resulting in overflow for state vector size."),
                                     (60, "capacity overflow"), (63, "capacity overflow")])
def test_random_size_panics(n, text, raises_panic):
    with raises_panic(text):
        ts.StateVec.random(n)
    with raises_panic(text):
        ts.StateVec.random_symmetric(n)


@pytest.mark.skipif(bool(os.environ.get("TESSELLAN_SANITIZED")), reason="the sanitizer allocator aborts instead")
def test_random_unallocatable_is_memory_error():
    with pytest.raises(MemoryError):
        ts.StateVec.random(50)


def test_random_count_conversion():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        ts.StateVec.random(-1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        ts.StateVec.random(2**32)


def test_item_access_and_iteration(raises_panic):
    s = ts.StateVec([0.5, 0.5, 0.5, 0.5], [0, 0, 0, 0])
    with pytest.raises(IndexError, match="^index out of bounds: the len is 4 but the index is 4$"):
        s[4]
    with pytest.raises(OverflowError):
        s[-1]
    assert list(s) == [0.5 + 0j] * 4
    assert (0.5 + 0j) in s and 3 not in s
    s[1] = 2
    assert s[1] == 2 + 0j and isinstance(s[1], complex)
    s[2] = 1 - 1j
    assert s[2] == 1 - 1j
    with raises_panic("index out of bounds: the len is 4 but the index is 9"):
        s[9] = 1
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del s[1]
    with pytest.raises(TypeError, match="^argument 'value': "):
        s[0] = "x"


def test_imul_and_comparisons():
    s = ts.StateVec([1, 0], [0, 0])
    same = s
    s *= ts.Instr(G["h"], [0])
    assert s is same
    with pytest.raises(TypeError):
        s *= 3
    with pytest.raises(TypeError):
        s *= s  # a state is not an instruction: no borrow is taken twice
    assert s == s.clone() and not (s != s.clone())
    assert (s == 3) is False and (s != 3) is True
    with pytest.raises(TypeError):
        s < s.clone()  # noqa: B015
    with pytest.raises(TypeError):
        hash(s)
    with pytest.raises(TypeError):
        len(s)
    c = s.clone()
    c[0] = 0
    assert s[0] != 0


def test_imul_errors_leave_state_unchanged(raises_panic):
    s = ts.StateVec.random(3)
    before = amps(s)
    with raises_panic("index out of bounds: the len is 8 but the index is 8"):
        s *= ts.Instr(G["h"], [3])
    # a qubit whose bit does not fit a machine word reports the largest index
    with raises_panic("index out of bounds: the len is 8 but the index is 18446744073709551615"):
        s *= ts.Instr(G["cx"], [0, 200])
    with raises_panic("index out of bounds: the len is 8 but the index is 32"):
        s *= ts.Instr(G["cz"], [5, 1])
    scalar = ts.Gate("scalar", [], np.array([[1j]]))
    with raises_panic("Unsupported number of qubits: 0"):
        s *= ts.Instr(scalar, [])
    assert amps(s) == before


@pytest.mark.parametrize(
    "gate, qubits, mapping",
    [("x", [1], {0: 2, 1: 3, 2: 0, 3: 1}), ("cx", [0, 1], {1: 3, 3: 1}), ("cx", [1, 0], {2: 3, 3: 2}),
     ("swap", [0, 1], {1: 2, 2: 1})],
)
def test_permuting_kernels(gate, qubits, mapping):
    s = ts.StateVec.random(2)
    before = amps(s)
    s *= ts.Instr(G[gate], qubits)
    after = amps(s)
    for k in range(4):
        assert after[mapping.get(k, k)] == before[k]


def test_first_argument_is_high_bit():
    d = ts.Gate("d1234", [], np.diag([1, 2, 3, 4]).astype(complex))
    s = ts.StateVec([1, 1, 1, 1], [0, 0, 0, 0])
    s *= ts.Instr(d, [0, 1])
    assert amps(s) == [1, 3, 2, 4]


def test_gates_of_three_or_more_qubits_cannot_be_packed(raises_panic):
    # an instruction holds at most two qubits: wider gates stop while packing
    g3 = ts.Gate("d8", [], np.diag(np.arange(1, 9)).astype(complex))
    with raises_panic("index out of bounds: the len is 2 but the index is 2"):
        ts.Instr(g3, [2, 0, 1])


# ---------------------------------------------------------------------------
# Bit-exact reference: plain Python floats are IEEE binary64 with no FMA, so
# recomputing each formula in the same order must give the same bits.

def key(x):
    if math.isnan(x):
        return 0
    r = x * 16777216.0
    r = math.floor(r + 0.5) if r >= 0 else -math.floor(-r + 0.5)  # halves away from zero
    return int(max(min(r, 2**63 - 1), -2**63))


def near_zero(x):
    return abs(x) < 2.0**-24


def ref_normalize_arg(re, im):
    n = len(re)
    zr, zi = re[0], im[0]
    if near_zero(zr) and near_zero(zi):
        zr, zi = re[n - 1], im[n - 1]
        if near_zero(zr) and near_zero(zi):
            sr = 0.0
            for v in re:
                sr = sr + v
            si = 0.0
            for v in im:
                si = si + v
            if sr == 0.0 and si == 0.0:
                first = [k for k in range(n) if not (near_zero(re[k]) and near_zero(im[k]))]
                if not first:
                    return re, im
                zr, zi = re[first[0]], im[first[0]]
            else:
                nz = math.sqrt(sr * sr + si * si)
                zr, zi = sr / nz, si / nz
    d = zr * zr + zi * zi
    r = math.sqrt(d)
    wr = (zr / d) * r
    wi = ((-zi) / d) * r
    out_re = [wr * a - wi * b for a, b in zip(re, im)]
    out_im = [wi * a + wr * b for a, b in zip(re, im)]
    out_im[0] = 0.0
    return out_re, out_im


def ref_normalize(re, im):
    s = 0.0
    for a, b in zip(re, im):
        s = s + (a * a + b * b)
    if s == 0.0:
        return [1.0] + [0.0] * (len(re) - 1), [0.0] * len(re)
    m = math.sqrt(s)
    return ref_normalize_arg([a / m for a in re], [b / m for b in im])


def ref_dense(re, im, qubits, m):
    re, im = list(re), list(im)
    k = len(qubits)
    dim = 1 << k
    n = len(re).bit_length() - 1
    others = [b for b in range(n) if b not in qubits]
    for g in range(1 << (n - k)):
        base = 0
        for i, b in enumerate(others):
            if (g >> i) & 1:
                base |= 1 << b
        idx = []
        for c in range(dim):
            o = base
            for j, q in enumerate(qubits):
                if (c >> (k - 1 - j)) & 1:
                    o |= 1 << q
            idx.append(o)
        ar = [re[i] for i in idx]
        ai = [im[i] for i in idx]
        for r in range(dim):
            vr = m[r, 0].real * ar[0] - m[r, 0].imag * ai[0]
            vi = m[r, 0].imag * ar[0] + m[r, 0].real * ai[0]
            for c in range(1, dim):
                vr = vr + (m[r, c].real * ar[c] - m[r, c].imag * ai[c])
                vi = vi + (m[r, c].imag * ar[c] + m[r, c].real * ai[c])
            re[idx[r]], im[idx[r]] = vr, vi
    return re, im


def ref_kernel(name, re, im, q):
    re, im = list(re), list(im)
    for i0 in range(len(re)):
        if (i0 >> q) & 1:
            continue
        i1 = i0 | (1 << q)
        r0, m0, r, m = re[i0], im[i0], re[i1], im[i1]
        if name == "h":
            re[i0], im[i0], re[i1], im[i1] = (r0 + r) * C, (m0 + m) * C, (r0 - r) * C, (m0 - m) * C
        elif name == "s":
            re[i1], im[i1] = r * 0.0 - m, r + m * 0.0
        elif name == "sdg":
            re[i1], im[i1] = m + r * 0.0, m * 0.0 - r
        elif name == "t":
            re[i1], im[i1] = (r * C) - (m * C), (r * C) + (m * C)
        elif name == "tdg":
            re[i1], im[i1] = (r * C) + (m * C), (m * C) - (r * C)
    return re, im


FIXED_RE = [0.3, -0.1, 0.25, 0.7, -0.45, 0.05, 0.2, -0.33]
FIXED_IM = [0.11, 0.4, -0.2, 0.01, 0.3, -0.6, 0.07, 0.15]


def state(re, im):
    return ts.StateVec(list(re), list(im))


def parts(s):
    a = amps(s)
    return [x.real for x in a], [x.imag for x in a]


def same_bits(s, re, im):
    got_re, got_im = parts(s)
    assert [x.hex() for x in got_re] == [x.hex() for x in re]
    assert [x.hex() for x in got_im] == [x.hex() for x in im]


@pytest.mark.parametrize("name", ["h", "s", "sdg", "t", "tdg"])
@pytest.mark.parametrize("q", [0, 1, 2])
def test_kernels_bit_exact(name, q):
    s = state(FIXED_RE, FIXED_IM)
    s *= ts.Instr(G[name], [q])
    same_bits(s, *ref_kernel(name, FIXED_RE, FIXED_IM, q))


@pytest.mark.parametrize("gate, qubits", [("y", [1]), ("cz", [2, 0]), ("rz(pi/3)", [0]),
                                          ("user2", [1, 2]), ("user2", [2, 0])])
def test_dense_bit_exact(gate, qubits):
    rng = np.random.default_rng(7)
    if gate == "user2":
        m = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
        g = ts.Gate("u2ref", [], m)
    elif gate == "user3":
        m = rng.normal(size=(8, 8)) + 1j * rng.normal(size=(8, 8))
        g = ts.Gate("u3ref", [], m)
    else:
        g = G[gate]
        m = g.matrix
    s = state(FIXED_RE, FIXED_IM)
    s *= ts.Instr(g, qubits)
    same_bits(s, *ref_dense(FIXED_RE, FIXED_IM, qubits, m))


@pytest.mark.parametrize(
    "re, im",
    [
        (FIXED_RE, FIXED_IM),
        ([0.0, 0.3, -0.2, 0.0], [0.0, 0.1, 0.4, 1e-9]),        # both ends negligible: the summed reference
        ([1e-9, 0.3, -0.2, 0.5], [0.0, 0.1, 0.4, -0.7]),       # last amplitude is the reference
        ([0.0, 0.5, -0.5, 0.0], [0.0, 0.0, 0.0, 0.0]),         # summed reference exactly zero
        ([0.0, 0.0], [0.0, 0.0]),                              # all zero
        ([1e-30, 0.0], [0.0, 1e-30]),                          # tiny but non-zero
    ],
)
def test_normalize_bit_exact(re, im):
    s = state(re, im)
    s.normalize()
    same_bits(s, *ref_normalize(re, im))
    t = state(re, im)
    t.normalize_arg()
    same_bits(t, *ref_normalize_arg(re, im))


def test_all_zero_normalizes_to_ground_state():
    s = ts.StateVec([0.0] * 4, [0.0] * 4)
    s.normalize()
    assert amps(s) == [1, 0, 0, 0] and s.check()
    t = ts.StateVec([0.0] * 4, [0.0] * 4)
    t.normalize_arg()
    assert amps(t) == [0, 0, 0, 0]


def test_kernel_matches_dense_product_keys():
    for name, q in [("x", [1]), ("z", [0]), ("cx", [2, 1]), ("swap", [0, 2]), ("s", [1]), ("h", [2])]:
        m = G[name].matrix
        s1 = state(FIXED_RE, FIXED_IM)
        s1 *= ts.Instr(G[name], q)
        want = ref_dense(FIXED_RE, FIXED_IM, q, m)
        got = parts(s1)
        assert [key(x) for x in got[0]] == [key(x) for x in want[0]]
        assert [key(x) for x in got[1]] == [key(x) for x in want[1]]


def test_hash_value_feed():
    # length of re, keys of re, length of im, keys of im
    s = state([0.6, 0.8], [0.0, -0.0])
    feed = struct.pack("<Q", 2) + b"".join(struct.pack("<Q", key(x) & (2**64 - 1)) for x in [0.6, 0.8])
    feed += struct.pack("<Q", 2) + struct.pack("<QQ", 0, 0)
    (signed,) = siphash13(feed)
    want = signed % 2**64
    assert s.hash_value() in (want, (want - 1) % 2**64 if signed == -2 else want)


@pytest.mark.parametrize(
    "re, im, text",
    [
        ([0.5, 0.0, 0.5, 0.25], [0.0, -0.5, 0.25, 0.0], "[0.5000, -0.5000j, 0.5000+0.2500j, 0.2500]"),
        ([-1e-9], [0.0], "[-0.0000]"),
        ([0.5, float("nan")], [float("nan"), 0.0], "[0.5000NaNj, NaN]"),
        ([float("inf"), 0.03125], [1.0, -0.0], "[inf+1.0000j, 0.0312]"),
    ],
)
def test_text_form(re, im, text):
    assert str(state(re, im)) == text


def test_borrow_conflicts_during_a_call():
    # Converting the value runs Python code while the state is borrowed for writing.
    s = ts.StateVec([1, 0], [0, 0])

    class ReadsState:
        def __complex__(self):
            return complex(s[0])

    class WritesState:
        def __complex__(self):
            s.normalize()
            return 0j

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s[1] = ReadsState()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s[1] = WritesState()
    s[1] = 0.5  # the borrow was given back
    assert s[1] == 0.5
