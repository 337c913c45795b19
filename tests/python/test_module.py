"""Module creation, binding rules and panics, shown through the classes that exist."""

import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessellan as ts

CLASS_ORDER = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
               "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_all_lists_classes_in_registration_order_and_no_functions():
    names = ts.__all__
    assert names == [n for n in CLASS_ORDER if n in names]
    assert "Gate" in names
    public = {n for n in dir(ts) if not n.startswith("_")}
    assert public == set(names)
    for n in names:
        assert isinstance(getattr(ts, n), type)


def test_reimport_gives_same_module_object():
    first = sys.modules["tessellan"]
    del sys.modules["tessellan"]
    try:
        again = importlib.import_module("tessellan")
        assert again is first
    finally:
        sys.modules["tessellan"] = first


def test_second_interpreter_refused():
    code = textwrap.dedent("""
        import tessellan, _interpreters as I
        r = I.run_string(I.create(I.new_config('legacy')), 'import tessellan')
        print(r.type.__name__, r.msg)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("ImportError PyO3 modules do not yet support subinterpreters, see ")


def test_classes_report_builtins_and_cannot_be_subclassed():
    assert ts.Gate.__module__ == "builtins"
    assert repr(ts.Gate) == "<class 'builtins.Gate'>"
    assert repr(ts.Gate.from_name("h")).startswith("<builtins.Gate object at 0x")
    with pytest.raises(TypeError):
        type("Sub", (ts.Gate,), {})


@pytest.mark.parametrize("name", [n for n in CLASS_ORDER if hasattr(ts, n)])
def test_every_class_is_final_without_weakrefs_or_instance_dict(name):
    cls = getattr(ts, name)
    assert cls.__module__ == "builtins" and cls.__qualname__ == name
    assert not cls.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE
    assert cls.__weakrefoffset__ == 0
    assert (cls.__dictoffset__ != 0) == (name == "IdentityCirc")


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: ts.Gate("g", []), "Gate.__new__() missing 1 required positional argument: 'matrix'"),
        (lambda: ts.Gate(), "Gate.__new__() missing 3 required positional arguments: 'name', 'params', and 'matrix'"),
        (lambda: ts.Gate(params=[]), "Gate.__new__() missing 2 required positional arguments: 'name' and 'matrix'"),
        (lambda: ts.Gate.from_name("h", "x"), "Gate.from_name() takes 1 positional arguments but 2 were given"),
        (lambda: ts.Gate.from_name(nam="h"), "Gate.from_name() got an unexpected keyword argument 'nam'"),
        (lambda: ts.Gate.from_name("h", name="h"), "Gate.from_name() got multiple values for argument 'name'"),
        (lambda: ts.Gate.from_name(3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: ts.Gate("g", "abc", np.eye(2, dtype=complex)), "argument 'params': Can't extract `str` to `Vec`"),
        (lambda: ts.Gate("g", [1], np.eye(2, dtype=complex)),
         "argument 'params': 'int' object cannot be converted to 'PyString'"),
        (lambda: ts.Gate("g", {"a"}, np.eye(2, dtype=complex)),
         "argument 'params': 'set' object cannot be converted to 'Sequence'"),
        (lambda: ts.Gate(1, 2, 3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_errors(call, text):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == text


def test_methods_have_text_signatures():
    import inspect

    assert str(inspect.signature(ts.Gate.from_name)) == "(name)"
    assert str(inspect.signature(ts.Gate.from_name("h").adjoint)) == "()"
    assert ts.Gate.__text_signature__ == "(name, params, matrix)"
    assert ts.Gate.__doc__ == "Parameterized quantum gate definition used by both search and Python APIs."


def test_no_argument_method_rejects_arguments():
    with pytest.raises(TypeError):
        ts.Gate.from_name("h").adjoint(1)


def test_panic_is_base_exception_and_module_stays_usable(PanicException):
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(PanicException) as e:
        try:
            ts.Gate("g", [], np.zeros((2, 4), dtype=complex))
        except Exception:  # must not catch a panic
            pytest.fail("a panic was caught as Exception")
    assert e.value.args == ("Matrix must be squared",)
    assert ts.Gate.from_name("h").nqargs == 1


def test_panic_report_goes_to_stderr(capfd, PanicException):
    with pytest.raises(PanicException):
        ts.Gate("g", [], np.zeros((3, 3), dtype=complex))
    assert "Matrix must have a number of rows that is a power of two" in capfd.readouterr().err
