"""Gate.params_f: numeric values of the parameter texts of a gate."""

import itertools
import math

import numpy as np
import pytest

import tessellan

PI = 3.141592653589793

_fresh = itertools.count()


def gate_with(params):
    """A new gate carrying `params`, with a matrix no other gate has."""
    k = next(_fresh)
    phases = 0.41 + 0.0173 * k + 0.029 * np.arange(8)
    matrix = np.diag(np.exp(1j * phases)).astype(np.complex128)
    gate = tessellan.Gate("paramtest", list(params), matrix)
    # A matrix equal to an older gate's would give that gate and its params.
    assert gate.params == list(params)
    return gate


def value_error_text(params):
    with pytest.raises(ValueError) as info:
        gate_with(params).params_f
    return str(info.value)


def same_float(a, b):
    if math.isnan(b):
        return math.isnan(a)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


@pytest.mark.parametrize(
    "name, expected",
    [
        ("rz(pi/3)", [1.0471975511965976]),
        ("rz(-pi/3)", [-1.0471975511965976]),
        ("rz(pi/5)", [0.6283185307179586]),
        ("rz(-pi/5)", [-0.6283185307179586]),
        ("rz(pi/16)", [0.19634954084936207]),
        ("rz(-pi/16)", [-0.19634954084936207]),
        ("h", []),
        ("cx", []),
    ],
)
def test_builtin_gates(name, expected):
    values = tessellan.Gate.from_name(name).params_f
    assert type(values) is list
    assert all(type(v) is float for v in values)
    assert values == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("pi", PI),
        ("(pi)/16", 0.19634954084936207),
        (" pi / 5 ", 0.6283185307179586),
        ("sqrt(2)/2", 0.7071067811865476),
        ("2*sin(pi/4)^2", 0.9999999999999998),
        ("(1+2)*3", 9.0),
        ("1-2-3", -4.0),
        ("8/2/2", 2.0),
        ("2^3^2", 64.0),
        ("-2^2", 4.0),
        ("2^-1", 0.5),
        ("--1", 1.0),
        ("0.1+0.2", 0.30000000000000004),
        ("3.", 3.0),
        ("-0", -0.0),
        ("sin(0)", 0.0),
        ("sin (1)", math.sin(1.0)),
        ("cos(1)", math.cos(1.0)),
        ("tan(1)", math.tan(1.0)),
        ("exp(1)", math.exp(1.0)),
        ("ln(2)", math.log(2.0)),
        ("ln(0)", -math.inf),
        ("10^400", math.inf),
        ("sqrt(-1)", math.nan),
        ("1/sqrt(-1)", math.nan),
        ("9" * 400, math.inf),
        ("\t(\n1 +\r2 ) ", 3.0),
    ],
)
def test_values(text, expected):
    [value] = gate_with([text]).params_f
    assert same_float(value, expected), (text, value)


def test_several_parameters_in_order():
    gate = gate_with(["pi/3", "2", "-pi/16"])
    assert gate.params_f == [1.0471975511965976, 2.0, -0.19634954084936207]
    # Each read builds a new list.
    first = gate.params_f
    first.append(0.0)
    assert gate.params_f == [1.0471975511965976, 2.0, -0.19634954084936207]


def test_values_come_from_the_table_entry():
    # The matrix of rz(pi/3): the existing entry, with its own parameters.
    matrix = np.array([[1, 0], [0, 0.5000000000000001 + 0.8660254037844386j]], dtype=np.complex128)
    gate = tessellan.Gate("myrz", ["x"], matrix)
    assert gate.params_f == [1.0471975511965976]


@pytest.mark.parametrize(
    "params, text",
    [
        (["1/0"], "DivisionByZero"),
        (["0/0"], "DivisionByZero"),
        (["1/-0"], "DivisionByZero"),
        (["1/(1-1)"], "DivisionByZero"),
        (["x+1"], "x"),
        (["pI"], "pI"),
        (["x/0"], "x"),
        (["1/0+x"], "DivisionByZero"),
        (["sin(theta_1)"], "theta_1"),
        # The first failing parameter decides; none of the values is returned.
        (["1", "x", "1/0"], "x"),
        (["1/0", "y"], "DivisionByZero"),
    ],
)
def test_evaluation_errors(params, text):
    assert value_error_text(params) == text


@pytest.mark.parametrize(
    "text",
    ["", "   ", ")", ".5", "Pi", "_x", "(1", "-", "1+", "2pi", "2 pi", "1e-3", "1.5.2", "007", "sin(1", "a\tb"],
)
def test_parse_errors(text):
    report = value_error_text([text])
    assert report.startswith(" --> 1:")
    assert "\n  = expected " in report


def test_parse_error_report_layout():
    assert value_error_text(["2pi"]) == (
        " --> 1:2\n  |\n1 | 2pi\n  |  ^---\n  |\n  = expected plus, mul, or end of input"
    )
    assert value_error_text(["1 +\n\n  )"]) == " --> 3:3\n  |\n3 |   )\n  |   ^---\n  |\n  = expected power"


def test_nesting_depth():
    assert gate_with(["(" * 256 + "1" + ")" * 256]).params_f == [1.0]
    assert gate_with(["-" * 256 + "1"]).params_f == [1.0]
    report = value_error_text(["(" * 257 + "1" + ")" * 257])
    assert report.startswith(" --> 1:257\n")
    assert report.endswith("\n  = nesting deeper than 256 levels")
    # Far deeper texts are refused without exhausting the stack.
    assert "nesting deeper than 256 levels" in value_error_text(["(" * 1_000_000])


def test_attribute_is_read_only():
    gate = tessellan.Gate.from_name("rz(pi/3)")
    with pytest.raises(AttributeError):
        gate.params_f = [0.0]
    with pytest.raises(TypeError):
        tessellan.Gate.params_f.__get__(object())
