"""Register arguments, register-style instructions and calling a gate."""

import struct
import unicodedata

import numpy as np
import pytest

import tessellan as ts
from child_python import siphash13
from circuits import G, cx, h, x
from tessellan import Argument, Instruction

rz = G["rz(pi/3)"]

ARGS_TEXT = ("argument 'args': expected either qubit indices (int from 0 to 255) or register arguments "
             "(Argument), ")
ITEM_TEXT = ("expected each item to be an Argument or a (name, index) tuple of a str and an int from 0 to "
             "18446744073709551615")


def toffoli():
    m = np.eye(8, dtype=complex)
    m[[6, 7]] = m[[7, 6]]
    return ts.Gate("toffoli3", [], m)


# ---------------------------------------------------------------------------
# Argument


def test_argument_text_and_attributes():
    a = Argument("q", 0)
    assert str(a) == "q[0]" and repr(a) == 'Argument { regid: "q", index: 0 }'
    big = Argument("c", 2**64 - 1)
    assert big.index == 2**64 - 1 and str(big) == "c[18446744073709551615]"
    assert a.regid == "q" and a.index == 0


@pytest.mark.parametrize(
    "regid, shown",
    [
        ("", '""'),
        ("it's a b", "\"it's a b\""),                    # single quote and blank stay
        ('"\\', r'"\"\\"'),
        ("\t\r\n\0", r'"\t\r\n\0"'),
        ("\x1b\x7f\x85", r'"\u{1b}\u{7f}\u{85}"'),       # control characters
        ("\xa0\u3000\u2028\u2029", r'"\u{a0}\u{3000}\u{2028}\u{2029}"'),  # separators
        ("\u200b\ufeff\U000e0001", r'"\u{200b}\u{feff}\u{e0001}"'),     # format characters
        ("\ue000\U0010ffff\U0001fbff", r'"\u{e000}\u{10ffff}\u{1fbff}"'),  # private use, unassigned
        ("e\u0301", r'"e\u{301}"'),                      # a combining mark after a letter
        ("\u20dd\U000e0100", r'"\u{20dd}\u{e0100}"'),    # enclosing mark, variation selector
        ("\u09be\u200c\uff9e\U0001d165", r'"\u{9be}\u{200c}\u{ff9e}\u{1d165}"'),  # other extenders
        ("é中😀ǅ\u0903", '"é中😀ǅ\u0903"'),               # printable, spacing mark included
    ],
)
def test_argument_repr_escapes_like_a_debug_string(regid, shown):
    assert repr(Argument(regid, 5)) == f"Argument {{ regid: {shown}, index: 5 }}"
    assert str(Argument(regid, 5)) == f"{regid}[5]"


# Other_Grapheme_Extend of Unicode 15: the extenders that are neither Mn nor Me.
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF), (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F),
    (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0), (0x114BD, 0x114BD),
    (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165), (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]
SIMPLE_ESCAPES = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}


@pytest.mark.skipif(not unicodedata.unidata_version.startswith("15."),
                    reason="the extender table and this interpreter's character data differ in version")
def test_argument_repr_matches_the_escape_rule_for_every_code_point():
    other = {c for lo, hi in OTHER_GRAPHEME_EXTEND for c in range(lo, hi + 1)}
    text = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)
    parts = []
    for ch in text:
        c = ord(ch)
        if ch in SIMPLE_ESCAPES:
            parts.append(SIMPLE_ESCAPES[ch])
        elif c in other or unicodedata.category(ch) in ("Mn", "Me") or not ch.isprintable():
            parts.append("\\u{%x}" % c)
        else:
            parts.append(ch)
    want = 'Argument { regid: "' + "".join(parts) + '", index: 0 }'
    got = repr(Argument(text, 0))
    if got != want:
        at = next(i for i, (p, q) in enumerate(zip(got, want)) if p != q)
        pytest.fail(f"first difference at {at}: {got[at - 10:at + 20]!r} vs {want[at - 10:at + 20]!r}")


def test_argument_equality_and_ordering():
    a = Argument("q", 0)
    assert a == Argument("q", 0) and not (a != Argument("q", 0))
    assert a != Argument("q", 1) and a != Argument("r", 0) and a != Argument("q\0", 0)
    assert a != ("q", 0) and not (a == 1)
    with pytest.raises(TypeError):
        a < Argument("q", 1)  # noqa: B015
    assert len({Argument("q", 0), Argument("q", 0), Argument("q", 1)}) == 2


def test_argument_setters():
    a = Argument("q", 0)
    a.regid = "anc"
    a.index = 2**64 - 1
    assert (a.regid, a.index) == ("anc", 2**64 - 1)
    with pytest.raises(TypeError) as e:
        a.regid = 5
    assert str(e.value) == "argument 'regid': 'int' object cannot be converted to 'PyString'"
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            a.index = bad
    with pytest.raises(TypeError):
        a.index = 1.0
    for attr in ("regid", "index"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(a, attr)
    assert (a.regid, a.index) == ("anc", 2**64 - 1)  # failed setters changed nothing
    with pytest.raises(AttributeError):
        a.other = 1


def test_argument_constructor_errors():
    with pytest.raises(OverflowError):
        Argument("q", -1)
    with pytest.raises(OverflowError):
        Argument("q", 2**64)
    with pytest.raises(TypeError, match="^argument 'regid': 'int' object cannot be converted to 'PyString'$"):
        Argument(1, 0)
    with pytest.raises(TypeError, match="^argument 'index': "):
        Argument("q", "0")
    with pytest.raises(TypeError, match=r"^Argument.__new__\(\) missing 1 required positional argument: 'index'$"):
        Argument("q")
    assert Argument(index=3, regid="c") == Argument("c", 3)


# ---------------------------------------------------------------------------
# Instruction


def test_instruction_text_forms():
    i = Instruction(cx, [("q", 0), Argument("q", 1)])
    assert str(i) == "cx q[0], q[1];"
    assert repr(i) == ('Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }, '
                       'Argument { regid: "q", index: 1 }], cargs: [] }')
    assert str(Instruction(cx, [("q", 0), ("q", 1)], [("c", 0)])) == "cx q[0], q[1], c[0];"
    assert str(Instruction(h, [], [])) == "h ;"
    assert str(Instruction(h, [], [("c", 3)])) == "h c[3];"
    both = Instruction(rz, [("q\n", 2)], [("c", 0)])
    assert repr(both) == ('Instruction { gate: Gate(17 -> rz(pi/3)), qargs: [Argument { regid: "q\\n", index: 2 }], '
                          'cargs: [Argument { regid: "c", index: 0 }] }')


def test_instruction_constructor_accepts_arguments_and_pairs_without_arity_check():
    i = Instruction(cx, [("q", 0), Argument("q", 1)])
    assert i.cargs == [] and i.gate == cx
    assert i == Instruction(cx, [Argument("q", 0), Argument("q", 1)], [])
    wide = Instruction(h, (("q", 0), ("q", 1)), [("c", 0)])
    assert str(wide) == "h q[0], q[1], c[0];"
    assert wide.qargs == [Argument("q", 0), Argument("q", 1)] and wide.cargs == [Argument("c", 0)]
    assert Instruction(qargs=[], gate=x, cargs=[("c", 2**64 - 1)]).cargs == [Argument("c", 2**64 - 1)]


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: Instruction(cx, [("q", 0)], None), TypeError,
         "argument 'cargs': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: Instruction(cx, "q"), TypeError, "argument 'qargs': Can't extract `str` to `Vec`"),
        (lambda: Instruction(cx, {("q", 0)}), TypeError, "argument 'qargs': 'set' object cannot be converted to 'Sequence'"),
        (lambda: Instruction(cx, [("q", -1)]), TypeError, "argument 'qargs': " + ITEM_TEXT),
        (lambda: Instruction(cx, [["q", 0]]), TypeError, "argument 'qargs': " + ITEM_TEXT),
        (lambda: Instruction(cx, [("q", 0, 1)]), TypeError, "argument 'qargs': " + ITEM_TEXT),
        (lambda: Instruction(cx, [(0, "q")]), TypeError, "argument 'qargs': " + ITEM_TEXT),
        (lambda: Instruction(cx, [], ["c"]), TypeError, "argument 'cargs': " + ITEM_TEXT),
        (lambda: Instruction("cx", []), TypeError, "argument 'gate': 'str' object cannot be converted to 'Gate'"),
        (lambda: Instruction(cx), TypeError,
         "Instruction.__new__() missing 1 required positional argument: 'qargs'"),
        (lambda: Instruction(cx, [], [], []), TypeError,
         "Instruction.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    ],
)
def test_instruction_constructor_errors(call, exc, text):
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc and str(e.value) == text


def test_instruction_holds_copies():
    a = Argument("q", 0)
    i = Instruction(cx, [a, ("q", 1)])
    a.regid = "changed"
    taken = i.qargs[0]
    taken.regid = "also changed"
    taken.index = 9
    assert str(i) == "cx q[0], q[1];"
    assert i.qargs[0] is not i.qargs[0]


def test_instruction_setters():
    i = Instruction(cx, [("q", 0), ("q", 1)])
    i.gate = h
    i.qargs = (Argument("r", 4),)
    i.cargs = [Argument("c", 0), Argument("c", 1)]
    assert str(i) == "h r[4], c[0], c[1];"
    for attr, value, text in [
        ("qargs", [("q", 0)], "argument 'qargs': 'tuple' object cannot be converted to 'Argument'"),
        ("qargs", "q", "argument 'qargs': Can't extract `str` to `Vec`"),
        ("cargs", None, "argument 'cargs': 'NoneType' object cannot be converted to 'Sequence'"),
        ("gate", 1, "argument 'gate': 'int' object cannot be converted to 'Gate'"),
    ]:
        with pytest.raises(TypeError) as e:
            setattr(i, attr, value)
        assert str(e.value) == text
    for attr in ("gate", "qargs", "cargs"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(i, attr)
    assert str(i) == "h r[4], c[0], c[1];"


def test_instruction_equality():
    a, b = Argument("q", 0), Argument("q", 1)
    base = Instruction(h, [a, b], [])
    assert base == Instruction(h, [("q", 0), ("q", 1)])
    for other in [Instruction(x, [a, b]), Instruction(h, [b, a]), Instruction(h, [a], [b]), Instruction(h, [a, b], [a])]:
        assert base != other and not (base == other)
    assert base != "h q[0], q[1];"
    with pytest.raises(TypeError):
        base < Instruction(h, [a])  # noqa: B015
    assert len({base, Instruction(h, [a, b]), Instruction(h, [a], [b])}) == 2


def u64(v):
    return struct.pack("<Q", v)


def arg_feed(regid, index):
    return regid.encode() + b"\xff" + u64(index)


def test_hashes_are_content_hashes_against_cpython_oracle():
    cases = [
        (Argument("q", 0), arg_feed("q", 0)),
        (Argument("", 2**64 - 1), arg_feed("", 2**64 - 1)),
        (Argument("régistre", 7), arg_feed("régistre", 7)),
        (Instruction(cx, [("q", 0), ("q", 1)], [("c", 0)]),
         struct.pack("<H", 9) + u64(2) + arg_feed("q", 0) + arg_feed("q", 1) + u64(1) + arg_feed("c", 0)),
        (Instruction(h, []), struct.pack("<H", 1) + u64(0) + u64(0)),
        (Instruction(h, [("q", 0)], [("q", 1)]),
         struct.pack("<H", 1) + u64(1) + arg_feed("q", 0) + u64(1) + arg_feed("q", 1)),
    ]
    assert [hash(obj) for obj, _ in cases] == siphash13(*(feed for _, feed in cases))


# ---------------------------------------------------------------------------
# Calling a gate


def test_call_with_integers_makes_an_instr():
    i = cx(0, 1)
    assert type(i) is ts.Instr and str(i) == "cx(0, 1)" and i.qargs == b"\x00\x01"
    assert str(cx(1, 0)) == "cx(1, 0)" and str(h(7)) == "h(7)" and str(rz(2)) == "rz(pi/3)(2)"
    assert hash(cx(2, 5)) == hash(ts.Instr(cx, [2, 5]))
    assert str(cx(np.int64(3), True)) == "cx(3, 1)"  # anything with an integer conversion
    assert str(cx(0, 1, **{})) == "cx(0, 1)"


def test_call_on_a_gate_without_qubits():
    g = ts.Gate("phase0", [], np.array([[1j]]))
    assert g.nqargs == 0
    assert str(g()) == f"{g}()"
    only_classical = g(Argument("c", 0))
    assert type(only_classical) is Instruction and only_classical.qargs == [] and len(only_classical.cargs) == 1


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: cx(0), "Number of arguments not match for gate cx"),
        (lambda: cx(0, 1, 2), "Number of arguments not match for gate cx"),
        (lambda: h(), "Number of arguments not match for gate h"),
        (lambda: rz(), "Number of arguments not match for gate rz(pi/3)"),
        (lambda: cx(0, 0), "Qubit arguments must be unique"),
        (lambda: cx(255, 255), "Qubit arguments must be unique"),
        (lambda: h(255), "Qubit index 255 is reserved for an empty slot"),
        (lambda: cx(0, 255), "Qubit index 255 is reserved for an empty slot"),
        (lambda: toffoli()(0, 1), "Number of arguments not match for gate toffoli3"),
        (lambda: toffoli()(0, 1, 1), "Qubit arguments must be unique"),
        (lambda: toffoli()(0, 1, 2), "index out of bounds: the len is 2 but the index is 2"),
        (lambda: cx(Argument("q", 0)), "range end index 2 out of range for slice of length 1"),
        (lambda: toffoli()(Argument("q", 0), Argument("q", 1)),
         "range end index 3 out of range for slice of length 2"),
    ],
)
def test_call_panics(raises_panic, call, text):
    with raises_panic(text):
        call()
    assert str(cx(0, 1)) == "cx(0, 1)"  # the module stays usable


def test_call_with_arguments_makes_an_instruction():
    a, b, c = Argument("q", 0), Argument("q", 1), Argument("c", 0)
    i = cx(a, b, c)
    assert type(i) is Instruction and str(i) == "cx q[0], q[1], c[0];"
    assert i.qargs == [a, b] and i.cargs == [c] and i.gate == cx
    assert i == Instruction(cx, [a, b], [c])
    a.index = 5  # the instruction holds copies
    assert str(i) == "cx q[0], q[1], c[0];"
    assert str(h(b, b, c)) == "h q[1], q[1], c[0];"  # repeats and extra arguments are not checked
    assert toffoli()(a, b, c).cargs == []


@pytest.mark.parametrize(
    "args, suffix",
    [
        ((0, Argument("q", 1)), "not a mix"),
        ((Argument("q", 0), 1), "not a mix"),
        (([0, 1],), "not 'list'"),
        ((0, 1.0), "not 'float'"),
        ((Argument("q", 0), "q"), "not 'str'"),
        ((Argument("q", 0), ("q", 1)), "not 'tuple'"),
        ((256, 0), "not 256"),
        ((0, -1), "not -1"),
        ((2**70, Argument("q", 0)), "not 1180591620717411303424"),
    ],
)
def test_call_type_errors(args, suffix):
    with pytest.raises(TypeError) as e:
        cx(*args)
    assert type(e.value) is TypeError and str(e.value) == ARGS_TEXT + suffix


def test_call_takes_no_keywords():
    for kwargs in [{"q": 2}, {"args": (0, 1)}]:
        with pytest.raises(TypeError) as e:
            cx(0, 1, **kwargs)
        assert str(e.value) == f"Gate.__call__() got an unexpected keyword argument '{next(iter(kwargs))}'"
    with pytest.raises(TypeError, match=r"^Gate.__call__\(\) got an unexpected keyword argument 'q'$"):
        cx([0], q=1)  # keywords are refused before any conversion
