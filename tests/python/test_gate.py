"""The gate table, the built-in gates and the Gate class."""

import numpy as np
import pytest

import tessellan as ts
from child_python import python_output, siphash13

S = 0.7071067811865476
BUILTINS = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
            "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)"]


def g(name):
    gate = ts.Gate.from_name(name)
    assert gate is not None, name
    return gate


def phase(a):
    import math
    return complex(math.cos(a), math.sin(a))


def test_builtins_at_their_indices():
    # Distinct matrices at 23 distinct positions; looking up each name gives a distinct gate.
    gates = [g(n) for n in BUILTINS]
    assert len(set(gates)) == 23
    assert [str(x) for x in gates] == BUILTINS
    assert g("rz(pi/3)").name == "rz" and g("rz(pi/3)").params == ["pi/3"]
    assert g("h").params == []


@pytest.mark.parametrize(
    "name, rows",
    [
        ("i", [[1, 0], [0, 1]]),
        ("h", [[S, S], [S, -S]]),
        ("x", [[0, 1], [1, 0]]),
        ("z", [[1, 0], [0, -1]]),
        ("y", [[0, -1j], [1j, 0]]),
        ("s", [[1, 0], [0, 1j]]),
        ("sdg", [[1, 0], [0, -1j]]),
        ("t", [[1, 0], [0, complex(0.7071067811865476, 0.7071067811865475)]]),
        ("tdg", [[1, 0], [0, complex(0.7071067811865476, -0.7071067811865475)]]),
        ("cx", [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]),
        ("cz", np.diag([1, 1, 1, -1])),
        ("cy", [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1j], [0, 0, 1j, 0]]),
        ("cs", np.diag([1, 1, 1, 1j])),
        ("csdg", np.diag([1, 1, 1, -1j])),
        ("swap", [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]),
        ("t1/2", np.diag([1, phase(np.pi / 8)])),
        ("tdg1/2", np.diag([1, phase(-np.pi / 8)])),
        ("rz(pi/3)", np.diag([1, phase(np.pi / 3)])),
        ("rz(-pi/3)", np.diag([1, phase(-np.pi / 3)])),
        ("rz(pi/5)", np.diag([1, phase(np.pi / 5)])),
        ("rz(-pi/5)", np.diag([1, phase(-np.pi / 5)])),
        ("rz(pi/16)", np.diag([1, phase(np.pi / 16)])),
        ("rz(-pi/16)", np.diag([1, phase(-np.pi / 16)])),
    ],
)
def test_builtin_matrices_exact(name, rows):
    m = g(name).matrix
    want = np.asarray(rows, dtype=complex)
    assert m.dtype == np.complex128 and m.shape == want.shape
    assert m.flags.f_contiguous
    assert [x.hex() for x in m.real.ravel()] == [(x + 0.0).hex() for x in want.real.ravel()]
    # Every stored zero is +0.0 and imaginary parts match bit for bit.
    assert [x.hex() for x in m.imag.ravel()] == [(x + 0.0).hex() for x in want.imag.ravel()]


def test_t_phase_bits_differ():
    m = g("t").matrix
    assert m[1, 1].real == 0.7071067811865476 and m[1, 1].imag == 0.7071067811865475


@pytest.mark.parametrize(
    "name, adj",
    [("s", "sdg"), ("sdg", "s"), ("h", "h"), ("t", "tdg"), ("rz(-pi/16)", "rz(pi/16)"), ("cs", "csdg"),
     ("t1/2", "tdg1/2"), ("cx", "cx"), ("swap", "swap"), ("y", "y")],
)
def test_builtin_adjoints(name, adj):
    assert g(name).adjoint() == g(adj)
    assert str(g(name).adjoint()) == adj


def test_fresh_process_table_and_adjoints_do_not_grow_builtins():
    out = python_output(
        "import tessellan as ts, numpy as np\n"
        "gs=[ts.Gate.from_name(n) for n in ['t','rz(-pi/16)','cs','i']]\n"
        "[x.adjoint() for x in gs]\n"
        "u=ts.Gate('u',['a'],np.array([[1,0],[0,np.exp(0.3j)]]))\n"
        "print(ts.Gate.from_name('u(a)') == u)\n"
        "ud=u.adjoint(); print(ud, ud.name, ud.params, ud.adjoint() == u)\n"
        "print(ts.Gate.from_name('u†(a)') == ud)\n"
        "print(ts.Gate('v',[],np.array([[1,0],[0,np.exp(0.4j)]])).adjoint().adjoint().adjoint() is not None)\n"
    )
    assert out.split("\n")[:3] == ["True", "u†(a) u† ['a'] True", "True"]


def test_numpy_is_imported_on_first_use_and_its_absence_panics():
    out = python_output(
        "import sys, tessellan as ts\n"
        "h = ts.Gate.from_name('h'); str(h); h.params_f; h.adjoint()\n"
        "print('numpy' in sys.modules)\n"
        "sys.modules['numpy'] = None\n"
        "try:\n"
        "    h.matrix\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e.args[0].startswith('Failed to access NumPy array API capsule'))\n"
        "print(h.nqargs)\n"
    )
    assert out.split("\n")[:3] == ["False", "PanicException True", "1"]


def test_dedup_returns_existing_gate_whatever_the_name():
    myh = ts.Gate("myh", [], g("h").matrix)
    assert myh == g("h") and myh.name == "h" and str(myh) == "h"
    s = ts.Gate("mys", ["q"], [[1, 0], [0, 1j]])
    assert s == g("s") and s.params == []
    near = g("cx").matrix + 1e-12 * (1 + 1j)
    assert ts.Gate("near", [], near) == g("cx")


def test_user_gate_adjoint_has_negated_imaginary_bits():
    m = np.array([[1, 0.5j], [0.5j, 1]], dtype=complex) / np.sqrt(1.25)
    u = ts.Gate("adjbits", [], m)
    ad = u.adjoint().matrix
    # conjugate transpose negates: +0.0 imaginary parts become -0.0
    assert np.signbit(ad.imag[0, 0]) and ad[0, 1] == np.conj(m[1, 0])


@pytest.mark.parametrize("shape, text", [((2, 4), "Matrix must be squared"),
                                         ((3, 3), "Matrix must have a number of rows that is a power of two"),
                                         ((0, 0), "Matrix must have a number of rows that is a power of two"),
                                         ((3, 4), "Matrix must have a number of rows that is a power of two")])
def test_matrix_shape_panics(shape, text, raises_panic):
    with raises_panic(text):
        ts.Gate("bad", [], np.zeros(shape, dtype=complex))


def test_one_by_one_gate_has_no_qubits():
    assert ts.Gate("scalar", [], np.array([[1j]])).nqargs == 0


@pytest.mark.parametrize("bad", [[[1, 0], [0, 1]], np.eye(2), np.eye(2, dtype=np.complex64),
                                 np.ones(2, dtype=complex), np.ones((2, 2, 2), dtype=complex),
                                 # One tuple item: asarray makes it three-dimensional.
                                 ([[1, 0], [0, 1j]],)])
def test_matrix_conversion_refusals(bad):
    with pytest.raises(TypeError) as e:
        ts.Gate("bad", [], bad)
    assert str(e.value).startswith("argument 'matrix': '") and str(e.value).endswith(
        "' object cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("rows", [((1, 0), (0, 1j)), ([1, 0], [0, 1j]), ((1, 0), [0, 1j]), [(1, 0), (0, 1j)]])
def test_tuple_matrix_is_one_argument_to_asarray(rows):
    # A tuple is the matrix itself, never spread into asarray's parameters.
    assert ts.Gate("tup", [], rows) == g("s")


def test_matrix_conversion_from_asarray_error_is_prefixed():
    class Weird:
        def __array__(self, *a, **k):
            raise TypeError("no array here")

    with pytest.raises(TypeError) as e:
        ts.Gate("bad", [], Weird())
    assert str(e.value) == "argument 'matrix': no array here"


def test_strided_views_are_read_through_strides():
    m = np.array([[1, 0], [0, 1j]], dtype=complex)
    assert ts.Gate("rev", [], m[::-1, ::-1]) == ts.Gate("d", [], np.array([[1j, 0], [0, 1]]))
    assert ts.Gate("flip", [], np.array([[0, 1], [1, 0]], dtype=complex)[::-1]) == g("i")
    big = np.zeros((4, 4), dtype=complex)
    big[::2, ::2] = [[0, 1], [1, 0]]
    assert ts.Gate("view", [], big[::2, ::2]) == g("x")
    assert ts.Gate("t", [], np.array([[0, -1j], [1j, 0]]).T) == ts.Gate("yt", [], [[0, 1j], [-1j, 0]])


def test_matrix_getter_returns_copies():
    m = g("h").matrix
    assert m[1, 1] == -S
    m[1, 1] = 5
    assert g("h").matrix[1, 1] == -S


def test_comparison_and_hash():
    a, b = g("h"), g("h")
    assert a == b and not (a != b) and hash(a) == hash(b) and a is not b
    assert (a == 1) is False and a != "h"
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    assert {a: 1}[b] == 1


def test_hash_is_siphash13_of_index_against_cpython_oracle():
    z_hash, cx_hash, pair_hash = siphash13(b"\x03\x00", b"\x09\x00", bytes([2, 0, 0, 0, 0, 0, 0, 0, 1, 255]))
    assert z_hash == hash(g("z")) == 7293462908534724562
    assert cx_hash == hash(g("cx"))
    assert pair_hash == -1236937620121108636


def test_from_name_is_exact():
    assert g("rz(pi/3)") is not None
    for name in ["rz", "RZ(pi/3)", "rz(pi / 3)", " h", "nope"]:
        assert ts.Gate.from_name(name) is None


def test_attributes_are_read_only():
    h = g("h")
    with pytest.raises(AttributeError):
        h.name = "x"
    with pytest.raises(AttributeError):
        h.extra = 1


def test_nqargs():
    assert g("swap").nqargs == 2 and g("t").nqargs == 1


def test_gate_with_shared_display_name_still_gets_its_own_entry():
    m = np.array([[0, 1, 0, 0], [1, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], dtype=complex)
    fake = ts.Gate("cx", [], m)
    assert fake != g("cx") and ts.Gate.from_name("cx") == g("cx")


def test_full_table_panics_and_leaves_table_unchanged():
    out = python_output(
        "import tessellan as ts, numpy as np\n"
        "n = 65536 - 23\n"
        "for k in range(n):\n"
        "    ts.Gate('g', [], np.array([[1, 0], [0, complex(k + 2, 0)]]))\n"
        "try:\n"
        "    ts.Gate('g', [], np.array([[1, 0], [0, -1.5j]]))\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
        "print(ts.Gate('again', [], np.array([[1, 0], [0, complex(2, 0)]])).name)\n"
    )
    assert out.split("\n")[:2] == ["PanicException Gate table is full", "g"]
