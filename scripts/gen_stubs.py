#!/usr/bin/env python3
"""Writes the type stub of the `tessellan` extension module.

The stub is read off the built module itself: every class, constructor,
method, static method, attribute and special method that the module defines,
with the parameter names of their text signatures and their docstrings.  The
module carries no types, so the table `TYPES` below gives them; the generator
fails, naming the member, when the module has a member that the table does not
type, or when the table names a member that the module lacks (unless the entry
is marked `IfDefined`).

Run it with the project's interpreter after building the package:

    .venv/bin/python scripts/gen_stubs.py           # rewrite the committed stub
    .venv/bin/python scripts/gen_stubs.py --check   # compare only; exit 1 on a difference

The stub is shipped as the stub-only package `tessellan-stubs` (PEP 561).
"""

from __future__ import annotations

import argparse
import ast
import ctypes
import difflib
import importlib
import sys
import types
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUB_PATH = ROOT / "stubs" / "tessellan-stubs" / "__init__.pyi"
MODULE = "tessellan"


@dataclass(frozen=True)
class IfDefined:
    """A member typed ahead of its arrival: written only while the module has it."""

    spec: str


@dataclass(frozen=True)
class Omitted:
    """A member the runtime shows but that only refuses its operation: left out of the stub.

    Not for one half of an operator pair (`__add__` and `__radd__`, ...) whose other half the stub
    has: stub checkers expect both, so the generator refuses that.
    """

    reason: str


@dataclass(frozen=True)
class Writable:
    """An attribute with a setter whose accepted type is wider than the type it reads as."""

    get: str
    set: str


# Argument and return types.  Methods, static methods and special methods are
# written as "(name: type, ...) -> type" without `self`; the names must be those
# of the module's text signatures (defaults come from there too).  `__new__` is
# the constructor.  Attributes are a type (or `Writable`).  A list of signatures
# makes overloads.  "compare" is "eq" for a class that answers == and != only,
# "order" for one that answers all six comparisons with another of its kind.
# __str__, __repr__, __hash__, __len__ and __bool__ need no entry.
PERM_IN = "Sequence[int]"
PERM_OUT = "tuple[int, ...]"
REG_ARG = "Argument | tuple[str, int]"
ID_LIMITS = "identity: IdentityCirc, additional_size: int, count_limit: int"
PROOF_ENTRY = "tuple[IdentityCirc, tuple[int, int] | None]"
SEARCH_RESULT = "tuple[RawECCs, list[int]]"

TYPES: dict[str, dict[str, object]] = {
    "Argument": {
        "compare": "eq",
        "__new__": "(regid: str, index: int)",
        "regid": "str",
        "index": "int",
    },
    "Instruction": {
        "compare": "eq",
        "__new__": f"(gate: Gate, qargs: Sequence[{REG_ARG}], cargs: Sequence[{REG_ARG}])",
        "gate": "Gate",
        "qargs": Writable("list[Argument]", "Sequence[Argument]"),
        "cargs": Writable("list[Argument]", "Sequence[Argument]"),
    },
    "Gate": {
        "compare": "eq",
        "__new__": "(name: str, params: Sequence[str], matrix: NDArray[numpy.complex128] | Sequence[Sequence[complex]])",
        "name": "str",
        "params": "list[str]",
        "params_f": "list[float]",
        "matrix": "NDArray[numpy.complex128]",
        "nqargs": "int",
        "from_name": "(name: str) -> Gate | None",
        "adjoint": "() -> Gate",
        "__call__": ["(*args: int) -> Instr", "(*args: Argument) -> Instruction"],
    },
    "Instr": {
        "__new__": "(gate: Gate, qargs: Sequence[int])",
        "gate": "Gate",
        "qargs": "bytes",
        "apply_permutation": f"(perm: {PERM_IN}) -> Instr",
        "permut": f"(perm: {PERM_IN}) -> Instr",
        "arg_mask": "() -> int",
        "pass_mask": "(mask: int) -> int | None",
        "largest_qubit": "() -> int",
        "disjoint": "(other: Instr) -> bool",
        "adjoint": "() -> Instr",
        "position_of_qubit": "(qubit: int) -> int | None",
    },
    "StateVec": {
        "compare": "eq",
        "__new__": "(re: Sequence[float], im: Sequence[float])",
        "hash_value": "() -> int",
        "random": "(num_qubits: int) -> StateVec",
        "random_symmetric": "(num_qubits: int) -> StateVec",
        "nqubits": "() -> int",
        "len": "() -> int",
        "normalize": "() -> None",
        "normalize_arg": "() -> None",
        "clone": "() -> StateVec",
        "check": "() -> bool",
        "__getitem__": "(index: int) -> complex",
        "__setitem__": "(index: int, value: complex) -> None",
        "__delitem__": Omitted("deleting an amplitude raises NotImplementedError"),
        "__imul__": "(other: Instr) -> Self",
    },
    "ECC": {
        "compare": "eq",
        "circuits": "() -> list[list[Instr]]",
    },
    "ECCs": {
        "compare": "eq",
        "nqubits": "int",
        "dump_quartz": "(filepath: str) -> None",
        "from_postcard": "(filepath: str) -> ECCs",
        "dump_postcard": "(filepath: str) -> None",
        "check": "() -> list[ECC]",
        "to_list": "() -> list[ECC]",
        "filter_single": "() -> ECCs",
        "to_identity_circuits": "() -> list[tuple[IdentityCirc, Circ, Circ]]",
    },
    "RawECCs": {
        "__new__": "(evaluator: Evaluator)",
        "search": f"(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> {SEARCH_RESULT}",
        "search_naive": f"(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> {SEARCH_RESULT}",
        "generate": f"(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> {SEARCH_RESULT}",
        "generate_naive": f"(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> {SEARCH_RESULT}",
        "simplify": "() -> ECCs",
        "compute_next_key": "(evaluator: Evaluator, current_key: int, instr: Instr) -> int | None",
        "find_equivalents": "(evaluator: Evaluator, instrs: Sequence[Instr]) -> ECC | None",
        "switch_evaluator": "(new_evaluator: Evaluator) -> RawECCs",
        "check_identity_subset": "(ecc1: RawECCs, evaluator: Evaluator) -> None",
    },
    "Evaluator": {
        "compare": "eq",
        "__new__": "(nqubits: int)",
        "nqubits": "() -> int",
        "evaluate": f"(instrs: Sequence[Instr]) -> tuple[StateVec, {PERM_OUT}, {PERM_OUT}, StateVec]",
        "initial_key": "() -> int",
    },
    "Circ": {
        "compare": "order",
        "__new__": f"(instrs: Sequence[Instr], perm: {PERM_IN} | None)",
        "instrs": "list[Instr]",
        "perm": PERM_OUT,
        "nqubits": "() -> int",
        "rotate_representative": "() -> IdentityCirc",
        "representative": "() -> Circ",
        "representative_with_perm": f"() -> tuple[Circ, {PERM_OUT}]",
        "permut": f"(perm: {PERM_IN}) -> Circ",
        "remove_swaps": "() -> Circ",
        "inverse": "() -> Circ",
        "rotate": "(n: int) -> Circ",
        "len": "() -> int",
        "is_empty": "() -> bool",
        "instrs_with_swaps": "() -> list[Instr]",
        "__getitem__": "(idx: int) -> Instr",
        "__iter__": IfDefined("() -> Iterator[Instr]"),
        "__add__": "(other: Circ) -> Circ",
        # The one number slot serves both operand orders: c.__radd__(d) is d + c.
        "__radd__": "(other: Circ) -> Circ",
    },
    "IdentityCirc": {
        "compare": "order",
        "__new__": "(circuit: Circ)",
        "inner": "Circ",
        "from_python": "(obj: Mapping[str, object]) -> IdentityCirc",
        "nqubits": "() -> int",
        "qargs_forward": "(gate_id: int) -> list[int]",
        "qargs_backward": "(gate_id: int) -> list[int]",
        "check": "() -> bool",
        "hash_value": "() -> int",
        "pythonize": "() -> _CircDict",
        "__getitem__": "(idx: int) -> Instr",
        "__iter__": IfDefined("() -> Iterator[Instr]"),
    },
    "IdentityProver": {
        "build_from_eccs": "(eccs: ECCs) -> IdentityProver",
        "par_apply_rules": "(identity: IdentityCirc, additional_size: int) -> list[IdentityCirc]",
        "add_identity": f"({ID_LIMITS}) -> bool",
        "add_identity_search": f"({ID_LIMITS}) -> tuple[set[IdentityCirc], bool]",
        "prove_identity": f"({ID_LIMITS}) -> IdentityCirc | None",
        "prove_identity_with_visited": f"({ID_LIMITS}) -> tuple[IdentityCirc | None, set[IdentityCirc]]",
        "export_proof": f"({ID_LIMITS}) -> Proof | None",
        "get_assumed": "() -> list[IdentityCirc]",
        "from_postcard": "(filepath: str) -> IdentityProver",
        "dump_postcard": "(filepath: str) -> None",
    },
    "Proof": {
        "compare": "order",
        "__new__": f"(data: Sequence[{PROOF_ENTRY}])",
        "raw": f"list[{PROOF_ENTRY}]",
    },
}

HEADER = '''\
# Type stub of the tessellan extension module, written by scripts/gen_stubs.py
# from the built module and its type table: regenerate it, do not edit it.
'''

IMPORTS = '''\
from collections.abc import Iterator, Mapping, Sequence
from typing import ClassVar, Self, TypedDict, final, overload

import numpy
from numpy.typing import NDArray
'''

# Types that exist only in the stub (private, so stub checkers expect no runtime twin).
PRIVATE_TYPES = '''\
class _PermDict(TypedDict):
    raw: int

class _CircDict(TypedDict):
    """Dictionary form of a circuit: instructions as (gate name, (qubit, qubit)), 255 for an unused slot."""

    instrs: list[tuple[str, tuple[int, int]]]
    perm: _PermDict
'''

# Special methods whose types Python fixes.
FIXED_DUNDERS = {"__str__": "str", "__repr__": "str", "__hash__": "int", "__len__": "int", "__bool__": "bool"}
COMPARISONS = {"eq": ["__eq__", "__ne__"], "order": ["__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"]}
ALL_COMPARISONS = COMPARISONS["order"]
# Operators with a reflected twin: a C number slot defines both, and a stub with one is expected to have both.
REFLECTED = [("__add__", "__radd__"), ("__sub__", "__rsub__"), ("__mul__", "__rmul__"),
             ("__matmul__", "__rmatmul__")]
# Class-dict entries that are not members to type.
NOT_MEMBERS = {"__doc__", "__module__", "__dict__", "__weakref__", "__new__"}
# Order of special methods in the stub.
DUNDER_ORDER = ["__call__", "__len__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "__next__",
                "__reversed__", "__contains__", "__add__", "__radd__", "__iadd__", "__sub__", "__rsub__", "__isub__",
                "__mul__", "__rmul__", "__imul__", "__matmul__", "__rmatmul__", "__imatmul__", "__neg__",
                "__invert__", "__bool__", "__int__", "__index__", "__float__", "__complex__",
                *ALL_COMPARISONS, "__hash__", "__str__", "__repr__"]


class StubError(Exception):
    pass


@dataclass
class Param:
    name: str
    annotation: str | None = None
    default: str | None = None  # "None" or "..."
    star: str = ""  # "", "*" or "**"


def parse_params(text: str, where: str) -> tuple[list[Param], str | None]:
    """Parses "(a: T, b=None) -> R" (types and defaults optional) into parameters and return type."""
    try:
        fn = ast.parse(f"def _{text}: ...").body[0]
    except SyntaxError as e:
        raise StubError(f"{where}: cannot parse signature {text!r}: {e.msg}") from None
    assert isinstance(fn, ast.FunctionDef)
    a = fn.args
    if a.kwonlyargs:
        raise StubError(f"{where}: keyword-only parameters are not supported in {text!r}")
    out = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for arg, d in zip(positional, defaults):
        ann = ast.unparse(arg.annotation) if arg.annotation else None
        default = None
        if d is not None:
            default = "None" if isinstance(d, ast.Constant) and d.value is None else "..."
        out.append(Param(arg.arg, ann, default))
    if a.vararg:
        out.append(Param(a.vararg.arg, ast.unparse(a.vararg.annotation) if a.vararg.annotation else None, star="*"))
    if a.kwarg:
        out.append(Param(a.kwarg.arg, ast.unparse(a.kwarg.annotation) if a.kwarg.annotation else None, star="**"))
    return out, (ast.unparse(fn.returns) if fn.returns else None)


def runtime_params(text_signature: str | None, where: str) -> list[Param]:
    """The parameters of a text signature such as "($self, perm)", without self."""
    if text_signature is None:
        raise StubError(f"{where}: the module gives no text signature")
    params, _ = parse_params(text_signature.replace("$", ""), where)
    if params and params[0].name in ("self", "type", "cls", "module"):
        params = params[1:]
    return params


def combine(runtime: list[Param], typed: list[Param], where: str) -> list[Param]:
    """Types from the table on the names and defaults of the module's text signature."""
    rnames = [p.star + p.name for p in runtime]
    tnames = [p.star + p.name for p in typed]
    if rnames != tnames:
        raise StubError(f"{where}: the module's parameters are ({', '.join(rnames)}) "
                        f"but the type table has ({', '.join(tnames)})")
    out = []
    for r, t in zip(runtime, typed):
        if t.annotation is None:
            raise StubError(f"{where}: parameter {t.name!r} has no type in the type table")
        out.append(Param(r.name, t.annotation, r.default, r.star))
    return out


def format_params(params: list[Param], first: str | None, positional_only: bool = False) -> str:
    parts = [first] if first else []
    for p in params:
        s = f"{p.star}{p.name}: {p.annotation}"
        if p.default is not None:
            s += f" = {p.default}"
        parts.append(s)
    if positional_only and params and not any(p.star for p in params):
        parts.append("/")
    return ", ".join(parts)


def docstring(text: str | None, indent: str) -> list[str]:
    if not text:
        return []
    text = text.strip("\n").replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if text.endswith('"'):
        text = text[:-1] + '\\"'
    lines = text.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{text}"""']
    return [f'{indent}"""{lines[0]}', *[(indent + ln) if ln.strip() else "" for ln in lines[1:]], f'{indent}"""']


def has_setter(descr: types.GetSetDescriptorType) -> bool:
    """Whether a C attribute has a setter: reads the descriptor's PyGetSetDef (name, get, set, ...).

    The descriptor is PyObject_HEAD followed by d_type, d_name, d_qualname and d_getset; the name read
    back through that pointer must be the attribute's own, else the layout is not the assumed one.
    """
    ptr = ctypes.sizeof(ctypes.c_void_p)
    getset = ctypes.c_void_p.from_address(id(descr) + 5 * ptr).value
    name = ctypes.c_char_p.from_address(getset).value if getset else None
    if name != descr.__name__.encode():
        raise StubError(f"{descr.__objclass__.__name__}.{descr.__name__}: unexpected attribute descriptor layout")
    return ctypes.c_void_p.from_address(getset + 2 * ptr).value is not None


def method_lines(name: str, spec: str | list[str], text_signature: str | None, doc: str | None,
                 where: str, static: bool = False, dunder: bool = False) -> list[str]:
    specs = spec if isinstance(spec, list) else [spec]
    out = []
    for s in specs:
        typed, ret = parse_params(s, where)
        if ret is None:
            raise StubError(f"{where}: the type table gives no return type in {s!r}")
        if dunder:
            # Slot wrappers take their operands by position only; the table's names are used.
            rt = runtime_params(text_signature, where)
            if not any(p.star for p in rt + typed) and len(rt) != len(typed):
                raise StubError(f"{where}: the module's slot takes {len(rt)} operands, the type table {len(typed)}")
            params = typed
        else:
            params = combine(runtime_params(text_signature, where), typed, where)
        if len(specs) > 1:
            out.append("    @overload")
        if static:
            out.append("    @staticmethod")
        first = None if static else "self"
        head = f"    def {name}({format_params(params, first, positional_only=dunder)}) -> {ret}:"
        body = docstring(doc, " " * 8) if not dunder and len(specs) == 1 else []
        out += [head, *body] if body else [head + " ..."]
    return out


def class_lines(cls: type, table: dict[str, object]) -> list[str]:
    cname = cls.__name__
    d = cls.__dict__
    used: set[str] = set()
    out = ["@final", f"class {cname}:"]
    out += docstring(cls.__doc__, "    ")

    def spec_of(member: str) -> object:
        if member not in table:
            raise StubError(f"{cname}.{member}: the module defines it but the type table has no entry for it")
        used.add(member)
        spec = table[member]
        return spec.spec if isinstance(spec, IfDefined) else spec

    # Constructor.
    if "__new__" in d:
        spec = spec_of("__new__")
        typed, _ = parse_params(str(spec), f"{cname}.__new__")
        params = combine(runtime_params(cls.__text_signature__, f"{cname}.__new__"), typed, f"{cname}.__new__")
        out.append(f"    def __new__({format_params(params, 'cls')}) -> Self: ...")

    # Attributes, then methods, in the module's order.
    for name, obj in d.items():
        if isinstance(obj, types.GetSetDescriptorType) and name not in NOT_MEMBERS:
            spec = spec_of(name)
            get, set_ = (spec.get, spec.set) if isinstance(spec, Writable) else (str(spec), str(spec))
            out.append("    @property")
            if obj.__doc__:
                out += [f"    def {name}(self) -> {get}:", *docstring(obj.__doc__, " " * 8)]
            else:
                out.append(f"    def {name}(self) -> {get}: ...")
            if has_setter(obj):
                out.append(f"    @{name}.setter")
                out.append(f"    def {name}(self, value: {set_}) -> None: ...")
            elif isinstance(spec, Writable):
                raise StubError(f"{cname}.{name}: the type table gives a setter type but the attribute is read-only")
    for name, obj in d.items():
        if name.startswith("__"):
            continue
        if isinstance(obj, staticmethod):
            fn = obj.__func__
            out += method_lines(name, spec_of(name), fn.__text_signature__, fn.__doc__, f"{cname}.{name}",
                                static=True)
        elif isinstance(obj, types.MethodDescriptorType):
            out += method_lines(name, spec_of(name), obj.__text_signature__, obj.__doc__, f"{cname}.{name}")
        elif not isinstance(obj, types.GetSetDescriptorType):
            raise StubError(f"{cname}.{name}: member of an unknown kind ({type(obj).__name__})")

    # Special methods.
    dunders = [n for n in d if n.startswith("__") and n.endswith("__") and n not in NOT_MEMBERS]
    unknown = [n for n in dunders if n not in DUNDER_ORDER]
    if unknown:
        raise StubError(f"{cname}.{unknown[0]}: special method the generator does not know; add it to DUNDER_ORDER")
    compare = table.get("compare")
    used.add("compare")
    has_compare = any(n in d for n in ALL_COMPARISONS)
    if has_compare and compare not in COMPARISONS:
        raise StubError(f"{cname}: the class defines comparisons; the type table must say \"compare\": \"eq\" or "
                        f"\"order\"")
    if compare is not None and not has_compare:
        raise StubError(f"{cname}: the type table says \"compare\" but the class defines no comparison")
    written: set[str] = set()
    for name in sorted(dunders, key=DUNDER_ORDER.index):
        if d[name] is None:  # __hash__ = None: a class with equality and no hash
            out.append(f"    {name}: ClassVar[None]  # type: ignore[assignment]")
            continue
        if name in ALL_COMPARISONS:
            if name in COMPARISONS[str(compare)]:
                other = "object" if name in ("__eq__", "__ne__") else cname
                out.append(f"    def {name}(self, other: {other}, /) -> bool: ...")
            continue
        if name in FIXED_DUNDERS and name not in table:
            out.append(f"    def {name}(self) -> {FIXED_DUNDERS[name]}: ...")
            continue
        spec = spec_of(name)
        if isinstance(spec, Omitted):
            continue
        out += method_lines(name, spec, getattr(d[name], "__text_signature__", None), None,
                            f"{cname}.{name}", dunder=True)
        written.add(name)
    for pair in REFLECTED:
        for have, lack in (pair, pair[::-1]):
            if have in written and lack in d and lack not in written:
                raise StubError(f"{cname}.{lack}: the stub has {have}, so stub checkers expect {lack} as well; "
                                f"give it a type in the type table")

    stale = [m for m in table if m not in used and not isinstance(table[m], IfDefined)]
    if stale:
        raise StubError(f"{cname}.{stale[0]}: the type table has an entry but the module has no such member")
    return out


def render(module: types.ModuleType, table: dict[str, dict[str, object]] = TYPES) -> str:
    names = list(module.__all__)
    extra = sorted(set(table) - set(names))
    if extra:
        raise StubError(f"{extra[0]}: the type table has a class that the module does not export")
    parts = [HEADER.rstrip("\n")]
    parts += docstring(module.__doc__, "")
    parts += ["", IMPORTS.rstrip("\n"), "", "__all__ = [", *[f'    "{n}",' for n in names], "]", ""]
    parts.append(PRIVATE_TYPES.rstrip("\n"))
    for n in names:
        if n not in table:
            raise StubError(f"{n}: the module exports the class but the type table has no entry for it")
        parts += ["", *class_lines(getattr(module, n), table[n])]
    return "\n".join(parts) + "\n"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--check", action="store_true", help="compare with the file instead of writing it")
    ap.add_argument("--output", type=Path, default=STUB_PATH, help=f"stub file (default {STUB_PATH.relative_to(ROOT)})")
    args = ap.parse_args(argv)
    module = importlib.import_module(MODULE)
    try:
        text = render(module)
    except StubError as e:
        print(f"gen_stubs: {e}", file=sys.stderr)
        return 2
    if args.check:
        old = args.output.read_text() if args.output.exists() else ""
        if old == text:
            return 0
        sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                   str(args.output), "generated"))
        print(f"gen_stubs: {args.output} is out of date; run {Path(sys.argv[0]).name} to rewrite it",
              file=sys.stderr)
        return 1
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
