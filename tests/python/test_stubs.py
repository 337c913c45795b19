"""The type stub: generated from the module, current, complete, and accepted by mypy."""

import copy
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tessellan as ts

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "scripts" / "gen_stubs.py"
STUB = ROOT / "stubs" / "tessellan-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "typical_use.py"


@pytest.fixture(scope="module")
def gen():
    spec = importlib.util.spec_from_file_location("gen_stubs", GENERATOR)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod  # its dataclasses look their module up
    try:
        spec.loader.exec_module(mod)
        yield mod
    finally:
        del sys.modules[spec.name]


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    """A mypy search path holding the committed stub as the module `tessellan`."""
    d = tmp_path_factory.mktemp("stubpath")
    shutil.copy(STUB, d / "tessellan.pyi")
    return d


def run_generator(*args):
    return subprocess.run([sys.executable, str(GENERATOR), *args], capture_output=True, text=True, cwd=ROOT)


def test_committed_stub_is_what_the_generator_writes():
    r = run_generator("--check")
    assert r.returncode == 0, f"stub out of date (run scripts/gen_stubs.py):\n{r.stdout}{r.stderr}"


def test_check_reports_a_method_missing_from_the_stub(tmp_path):
    edited = tmp_path / "edited.pyi"
    text = STUB.read_text()
    cut = re.sub(r"    def rotate_representative\(self\)[^\n]*\n(        [^\n]*\n)*", "", text, count=1)
    assert cut != text
    edited.write_text(cut)
    r = run_generator("--check", "--output", str(edited))
    assert r.returncode == 1
    assert "+    def rotate_representative(self) -> IdentityCirc:" in r.stdout
    assert "out of date" in r.stderr


def test_stub_covers_every_class_and_member():
    """Every public member of every class appears in the stub, with its docstring where it has one."""
    text = STUB.read_text()
    for name in ts.__all__:
        cls = getattr(ts, name)
        body = text.split(f"\nclass {name}:\n", 1)[1].split("\n@final\n", 1)[0]
        for member, obj in vars(cls).items():
            if member.startswith("_"):
                continue
            assert f"def {member}(" in body, f"{name}.{member} missing from the stub"
            doc = getattr(obj, "__doc__", None) if not isinstance(obj, staticmethod) else obj.__func__.__doc__
            if doc:
                assert doc.split("\n")[0] in body, f"docstring of {name}.{member} missing"


@pytest.mark.parametrize(
    "cls, member, text",
    [
        ("Circ", "permut", "Circ.permut: the module defines it but the type table has no entry for it"),
        ("RawECCs", "generate", "RawECCs.generate: the module defines it but the type table has no entry"),
        ("Gate", "matrix", "Gate.matrix: the module defines it but the type table has no entry"),
        ("Circ", "__getitem__", "Circ.__getitem__: the module defines it but the type table has no entry"),
        ("Instr", "__new__", "Instr.__new__: the module defines it but the type table has no entry"),
        ("Proof", "compare", "Proof: the class defines comparisons; the type table must say"),
    ],
)
def test_generator_refuses_an_untyped_member(gen, cls, member, text):
    table = copy.deepcopy(gen.TYPES)
    del table[cls][member]
    with pytest.raises(gen.StubError, match=re.escape(text)):
        gen.render(ts, table)


@pytest.mark.parametrize(
    "edit, text",
    [
        (lambda t: t["Circ"].update(rotate="(count: int) -> Circ"),
         "Circ.rotate: the module's parameters are (n) but the type table has (count)"),
        (lambda t: t["Circ"].update(rotate="(n) -> Circ"), "Circ.rotate: parameter 'n' has no type"),
        (lambda t: t["Circ"].update(rotate="(n: int)"), "Circ.rotate: the type table gives no return type"),
        (lambda t: t["Instr"].update(flip="() -> Instr"),
         "Instr.flip: the type table has an entry but the module has no such member"),
        (lambda t: t["Instr"].update(compare="eq"), "Instr: the type table says \"compare\" but the class defines"),
        (lambda t: t.update(Extra={}), "Extra: the type table has a class that the module does not export"),
        (lambda t: t.pop("Proof"), "Proof: the module exports the class but the type table has no entry"),
        (lambda t: t["StateVec"].update(__getitem__="(index: int, extra: int) -> complex"),
         "StateVec.__getitem__: the module's slot takes 1 operands, the type table 2"),
    ],
)
def test_generator_refuses_a_table_that_does_not_match_the_module(gen, edit, text):
    table = copy.deepcopy(gen.TYPES)
    edit(table)
    with pytest.raises(gen.StubError, match=re.escape(text)):
        gen.render(ts, table)


def test_generator_refuses_to_leave_out_half_an_operator_pair(gen):
    table = copy.deepcopy(gen.TYPES)
    table["Circ"]["__radd__"] = gen.Omitted("only Circ + Circ")
    with pytest.raises(gen.StubError, match=re.escape("Circ.__radd__: the stub has __add__, so stub checkers expect")):
        gen.render(ts, table)


def test_members_typed_ahead_are_written_only_when_defined(gen):
    table = copy.deepcopy(gen.TYPES)
    table["Instr"]["__iter__"] = gen.IfDefined("() -> Iterator[int]")
    assert gen.render(ts, table) == gen.render(ts)


def test_attribute_setters_follow_the_module(gen):
    text = gen.render(ts)
    assert "@regid.setter" in text and "def qargs(self, value: Sequence[Argument]) -> None" in text
    assert "@name.setter" not in text and "@inner.setter" not in text


def mypy(*args, cwd, env_extra):
    env = dict(os.environ, **env_extra)
    return subprocess.run([sys.executable, "-m", "mypy", *args], capture_output=True, text=True, cwd=cwd, env=env)


# Each line that mypy must reject, with the error code it must give.
MISUSE = textwrap.dedent("""\
    import tessellan as ts

    h = ts.Gate.from_name("h")
    h.adjoint()  # union-attr
    ts.Circ([1])  # list-item
    ts.Evaluator(2).evaluate([]).nqubits()  # attr-defined
    ts.ECCs.from_postcard(3)  # arg-type
    ts.StateVec([1.0], [0.0])[0].real + "x"  # operator
    ts.Circ([]) < ts.IdentityCirc(ts.Circ([]))  # operator
    ts.Instr(ts.Gate.from_name("x"), [0]).pass_mask("1")  # arg-type, arg-type
""")


def test_mypy_accepts_the_example_and_rejects_misuse(stub_dir, tmp_path):
    pytest.importorskip("mypy")
    bad = tmp_path / "misuse.py"
    bad.write_text(MISUSE)
    r = mypy("--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "--show-error-codes",
             str(EXAMPLE), str(bad), str(stub_dir / "tessellan.pyi"),
             cwd=tmp_path, env_extra={"MYPYPATH": str(stub_dir)})
    found: dict[int, list[str]] = {}
    for line in r.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line)
        assert m, line
        assert Path(m[1]).name == "misuse.py", f"unexpected error outside the misuse file: {line}"
        found.setdefault(int(m[2]), []).append(m[3])
    expected = {}
    for no, line in enumerate(MISUSE.splitlines(), 1):
        if "  # " in line:
            expected[no] = sorted(c.strip() for c in line.split("  # ")[1].split(","))
    assert {k: sorted(v) for k, v in found.items()} == expected, r.stdout


def stubtest(stub_path, tmp_path):
    """mypy.stubtest of the built module (the one this interpreter imports) against the stub in `stub_path`."""
    cfg = tmp_path / "mypy.ini"
    cfg.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", "tessellan", "--mypy-config-file", str(cfg)],
                          capture_output=True, text=True, cwd=tmp_path, env=dict(os.environ, MYPYPATH=str(stub_path)))


def test_stubtest_finds_the_stub_consistent_with_the_module(stub_dir, tmp_path):
    """No allowlist: every member stubtest expects is in the stub, with the module's parameters."""
    pytest.importorskip("mypy.stubtest")
    r = stubtest(stub_dir, tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


# Edits of the committed stub, each with the member stubtest must then report (its wording is mypy's own).
STUB_FAULTS = [
    (r"    def __radd__\(self, other: Circ, /\) -> Circ: \.\.\.\n", "", "Circ.__radd__"),  # missing operator
    (r"    def rotate_representative\(self\)[^\n]*\n(        [^\n]*\n)*", "", "Circ.rotate_representative"),  # missing
    (r"def rotate\(self, n: int\)", "def rotate(self, count: int)", "Circ.rotate"),  # parameter name
    (r"    @property\n    def perm\(self\)", "    def perm(self)", "Circ.perm"),  # attribute as a method
    (r"def from_postcard\(filepath: str\) -> ECCs", "def from_postcard(filepath: str = ...) -> ECCs",
     "ECCs.from_postcard"),  # a default the module lacks
]


def test_stubtest_reports_a_stub_that_lacks_or_mistypes_a_member(tmp_path):
    pytest.importorskip("mypy.stubtest")
    text = STUB.read_text()
    for pattern, replacement, _ in STUB_FAULTS:
        text, n = re.subn(pattern, replacement, text, count=1)
        assert n == 1, pattern
    (tmp_path / "stub").mkdir()
    (tmp_path / "stub" / "tessellan.pyi").write_text(text)
    r = stubtest(tmp_path / "stub", tmp_path)
    assert r.returncode == 1
    reported = set(re.findall(r"^error: tessellan\.(\S+) ", r.stdout, re.M))
    assert reported == {member for _, _, member in STUB_FAULTS}, r.stdout
