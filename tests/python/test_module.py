"""Module creation, binding rules and panics, shown through the classes that exist."""

import ctypes
import importlib
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tessellan as ts
from child_python import python_output

CLASS_ORDER = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
               "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_all_lists_classes_in_registration_order_and_no_functions():
    assert ts.__all__ == CLASS_ORDER
    assert {n for n in dir(ts) if not n.startswith("_")} == set(CLASS_ORDER)
    for n in CLASS_ORDER:
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
    out = python_output(code)
    assert out.startswith("ImportError PyO3 modules do not yet support subinterpreters, see ")


def test_classes_report_builtins_and_cannot_be_subclassed():
    assert ts.Gate.__module__ == "builtins"
    assert repr(ts.Gate) == "<class 'builtins.Gate'>"
    assert repr(ts.Gate.from_name("h")).startswith("<builtins.Gate object at 0x")
    with pytest.raises(TypeError):
        type("Sub", (ts.Gate,), {})


@pytest.mark.parametrize("name", CLASS_ORDER)
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


REPO = pathlib.Path(__file__).resolve().parents[2]
# thread '{name}' panicked at {file}:{line}:\n{message}\n
REPORT = re.compile(r"thread '([^'\n]*)' panicked at ((?:src|tests)/[^:\n]+):(\d+):\n([^\n]*)\n")


def os_thread_name():
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
        return f.read().rstrip("\n")


def source_line(path, line):
    return (REPO / path).read_text().splitlines()[int(line) - 1]


def test_panic_report_names_thread_and_raising_line(capfd, PanicException):
    text = "Matrix must have a number of rows that is a power of two"
    with pytest.raises(PanicException) as e:
        ts.Gate("g", [], np.zeros((3, 3), dtype=complex))
    assert e.value.args == (text,)  # the exception carries the message alone
    [(thread, path, line, message)] = REPORT.findall(capfd.readouterr().err)
    assert thread == os_thread_name() and message == text
    assert path == "src/core/model/gate.cpp" and "panic(" in source_line(path, line)


def test_panic_report_names_a_python_thread_by_its_os_name(capfd, PanicException):
    outcome = {}

    def body():
        # PR_SET_NAME: the name the operating system shows for this thread.
        ctypes.CDLL(None, use_errno=True).prctl(15, b"tsl-py-thread", 0, 0, 0)
        try:
            ts.Gate("g", [], np.zeros((2, 4), dtype=complex))
        except PanicException as exc:
            outcome["args"] = exc.args

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    assert outcome["args"] == ("Matrix must be squared",)
    [(thread, path, line, message)] = REPORT.findall(capfd.readouterr().err)
    assert (thread, message) == ("tsl-py-thread", "Matrix must be squared")
    assert "Matrix must be squared" in source_line(path, line)


def test_panic_on_a_pool_worker_reports_the_worker():
    # Run with two workers: every class is checked on a worker, and the panic
    # carried back to the caller still reports the worker that raised it.
    child = textwrap.dedent(
        """
        import tessellan as ts
        e = ts.Evaluator(2)
        gen = lambda names, k: ts.RawECCs.generate(e, [ts.Gate.from_name(n) for n in names], k)[0]
        small, large = gen(["h"], 2), gen(["h", "cx"], 1)
        try:
            large.check_identity_subset(small, e)
        except BaseException as exc:
            print(type(exc).__name__, exc)
        """
    )
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = "2"
    run = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True, timeout=120,
                         check=True)
    missing = "assertion failed: ecc1.contains_key(&bv.hash_value())"
    assert run.stdout.strip().splitlines()[-1] == "PanicException " + missing
    reports = REPORT.findall(run.stderr)
    assert reports
    for thread, path, line, message in reports:
        assert re.fullmatch(r"tsl-worker-[01]", thread) and message == missing
        assert path == "src/core/search/equivalence_check.cpp" and "panic(" in source_line(path, line)
