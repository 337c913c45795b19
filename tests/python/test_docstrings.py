"""Every docstring and text signature the module shows, against a committed table."""
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


if __name__ == "__main__":
    TABLE.write_text(json.dumps(surface(), indent=1, sort_keys=True) + "\n")
