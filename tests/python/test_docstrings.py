"""Every docstring and text signature the module shows, against a committed table."""
import inspect
import json
import pathlib
import types

import pytest

import tessellan as ts

TABLE = pathlib.Path(__file__).with_name("docstrings.json")


def surface():
    """Class docstrings and text signatures, then those of every method and attribute."""
    out = {}
    for cname in ts.__all__:
        cls = getattr(ts, cname)
        out[cname] = [cls.__text_signature__, cls.__doc__]
        for name, raw in sorted(vars(cls).items()):
            if name.startswith("__"):
                continue  # the interpreter's own slot wrappers
            if isinstance(raw, staticmethod):
                raw = raw.__func__
            if isinstance(raw, (types.MethodDescriptorType, types.BuiltinFunctionType, types.ClassMethodDescriptorType)):
                out[f"{cname}.{name}"] = [raw.__text_signature__, raw.__doc__]
            elif isinstance(raw, types.GetSetDescriptorType) and name != "__dict__":
                out[f"{cname}.{name}"] = [None, raw.__doc__]
    return out


def test_docstrings_and_signatures_match_the_table():
    expected = json.loads(TABLE.read_text())
    actual = surface()
    assert sorted(actual) == sorted(expected)
    for key in expected:
        assert actual[key] == expected[key], key


@pytest.mark.parametrize("cname", ts.__all__)
def test_public_members_are_exactly_those_of_the_table(cname):
    cls = getattr(ts, cname)
    listed = {key.split(".", 1)[1] for key in json.loads(TABLE.read_text()) if key.startswith(cname + ".")}
    assert {n for n in dir(cls) if not n.startswith("_")} == {n for n in listed if not n.startswith("_")}


def test_text_signatures_are_what_the_interpreter_reads():
    """Every text signature parses, with the parameter names it shows; a bound method drops `self`."""
    for key, (signature, _) in surface().items():
        if signature is None:
            continue
        obj = ts
        for part in key.split("."):
            obj = getattr(obj, part)
        names = [p.split("=")[0].strip().lstrip("$") for p in signature[1:-1].split(",") if p.strip()]
        assert list(inspect.signature(obj).parameters) == names, key
    assert str(inspect.signature(ts.Gate.from_name)) == "(name)"
    assert str(inspect.signature(ts.Gate.from_name("h").adjoint)) == "()"


if __name__ == "__main__":
    TABLE.write_text(json.dumps(surface(), indent=1, sort_keys=True) + "\n")
