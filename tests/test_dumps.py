"""dumps: options, scalars, floats, strings, containers, keys, model objects and
dataclasses, objects without a JSON form, and output read back (type-exact, float
bits included) by the stdlib json module and by plav.loads."""

import dataclasses
import datetime
import decimal
import enum
import json
import math
import random
import struct

import pydantic
import pytest
from conftest import DATA, JSON_VALUES, same
from hypothesis import given
from hypothesis import strategies as st

import plav

ROWS = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]


# ---- options ----


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"mox_grid": 1}, "mox_grid"),
        ({"row_count": None}, "row_count"),
        ({"unquoted_keys": 0}, "unquoted_keys"),
        ({"implicit_null": 1.0}, "implicit_null"),
        ({"indent": 2.0}, "indent"),
        ({"indent": "2"}, "indent"),
        ({"delimiter": b"tab"}, "delimiter"),
        # options are converted in signature order: the first failure wins
        ({"delimiter": 5, "indent": 2.0, "mox_grid": None}, "mox_grid"),
        ({"delimiter": 5, "indent": 2.0}, "indent"),
        ({"nonsense": True}, "nonsense"),
    ],
)
def test_wrong_option_names_the_keyword(kwargs, name):
    with pytest.raises(TypeError, match=name):
        plav.dumps(1, **kwargs)


def test_binding():
    with pytest.raises(TypeError):
        plav.dumps()
    with pytest.raises(TypeError):
        plav.dumps(1, 2)
    with pytest.raises(OverflowError):
        plav.dumps(1, indent=-1, row_count=None)
    with pytest.raises(UnicodeEncodeError):
        plav.dumps(1, delimiter="\ud800")

    class Two:
        def __index__(self):
            return 2

    class Bad:
        def __index__(self):
            raise KeyError("k")

    assert plav.dumps(data=[1], indent=Two()) == "[\n  1\n]"
    assert plav.dumps([1], indent=True) == "[\n 1\n]"
    assert plav.dumps([1], indent=0) == "[\n1\n]"
    assert plav.dumps([1], indent=None) == "[1]"
    with pytest.raises(KeyError):
        plav.dumps(1, indent=Bad())


@pytest.mark.parametrize(
    "delimiter, sep",
    [
        ("comma", ", "),
        (",", ", "),
        ("", ", "),
        ("Tab", ", "),
        ("anything", ", "),
        ("tab", "\t"),
        ("\t", "\t"),
        ("pipe", " | "),
        ("|", " | "),
    ],
)
def test_delimiter_words(delimiter, sep):
    assert plav.dumps(ROWS, delimiter=delimiter) == f"[2: a{sep}b; 1{sep}2; 3{sep}4 ]"


# ---- scalars and strings ----


class MyInt(int):
    def __str__(self):
        return "mine"


class BigStr(int):
    def __str__(self):
        return "\u00e9" + int.__repr__(self)


class MyFloat(float):
    def __repr__(self):
        return "nope"


class MyStr(str):
    def __str__(self):
        return "other"


@pytest.mark.parametrize(
    "value, text",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (-(2**63) - 1, "-9223372036854775809"),
        (2**64, "18446744073709551616"),
        (10**4299, "1" + "0" * 4299),
        (MyInt(3), "3"),
        (MyInt(2**70), str(2**70)),
        (BigStr(2**70), str(2**70)),
        (enum.IntEnum("Color", {"RED": 7}).RED, "7"),
        (MyFloat(2.5), "2.5"),
        (MyStr("x"), '"x"'),
        (b"\x00\xff", '"00ff"'),
        ([b"", b"ab"], '["","6162"]'),
        ("a" * 100 + "\t", '"' + "a" * 100 + '\\t"'),
        ('"\\', '"\\"\\\\"'),
        ("\n\r\t\b\f", '"\\n\\r\\t\\b\\f"'),
        ("\x00\x1b\x1f", '"\\u0000\\u001b\\u001f"'),
        ("\x7f/\u2028\u2029", '"\x7f/\u2028\u2029"'),
        ("caf\u00e9 \U0001f600", '"caf\u00e9 \U0001f600"'),
    ],
)
def test_scalars(value, text):
    assert plav.dumps(value) == text


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1.0, "1.0"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e16"),
        (3.14, "3.14"),
        (-12.5, "-12.5"),
        (0.1, "0.1"),
        (0.001234, "0.001234"),
        (1e-5, "0.00001"),
        (1e-6, "1e-6"),
        (1.5e-7, "1.5e-7"),
        (1.5e300, "1.5e300"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (-1.7976931348623157e308, "-1.7976931348623157e308"),
        (123456789012345.6, "123456789012345.6"),
        (1234567890123456.7, "1234567890123456.8"),
        (12345678901234567.0, "1.2345678901234568e16"),
        (float("nan"), "NaN"),
        (-float("nan"), "NaN"),
        (float("inf"), "Infinity"),
        (-float("inf"), "-Infinity"),
    ],
)
def test_floats(value, text):
    assert plav.dumps(value) == text


def float_text(x):
    """The writer's layout of repr's shortest digits: plain for decimal exponents
    in [-5, 16), else d.ddde<x>."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "-Infinity" if x < 0 else "Infinity"
    sign = "-" if math.copysign(1, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    t = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, t.digits))
    e = len(digits) - 1 + t.exponent
    if -5 <= e < 16:
        if e >= len(digits) - 1:
            return sign + digits + "0" * (e - len(digits) + 1) + ".0"
        if e >= 0:
            return sign + digits[: e + 1] + "." + digits[e + 1 :]
        return sign + "0." + "0" * (-e - 1) + digits
    return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + f"e{e}"


def random_doubles(kind, count=20_000):
    rng = random.Random(kind)
    for _ in range(count):
        bits = rng.getrandbits(64)
        if kind == "fraction range":  # [2^-12, 2^54), where the digits are computed in full
            bits = (bits & ~(0x7FF << 52)) | ((1011 + rng.randrange(67)) << 52)
        elif kind == "decimals":
            digits = rng.randrange(1, 18)
            yield float(f"{rng.randrange(10**digits)}e{rng.randrange(-30, 30) - digits}")
            continue
        elif kind == "subnormal":
            bits &= (1 << 52) - 1
        yield struct.unpack("<d", struct.pack("<Q", bits))[0]


# A sample of what `./dev.sh floats` checks in the hundreds of millions.
@pytest.mark.parametrize("kind", ["all bits", "fraction range", "decimals", "subnormal"])
def test_float_text_matches_shortest_repr_digits(kind):
    values = list(random_doubles(kind))
    texts = plav.dumps(values, mox_grid=False)[1:-1].split(",")
    assert texts == [float_text(x) for x in values]


# ---- containers and keys ----


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ({"a": [1, 2], "b": {}}, {}, '{"a":[1,2],"b":{}}'),
        ({"a": [1, 2], "b": {}}, {"indent": 2}, '{\n  "a": [\n    1,\n    2\n  ],\n  "b": {}\n}'),
        ({"a": [1, 2], "b": {}}, {"indent": 0}, '{\n"a": [\n1,\n2\n],\n"b": {}\n}'),
        ([[], (), {}], {"indent": 4}, "[\n    [],\n    [],\n    {}\n]"),
        ((1, "x"), {}, '[1,"x"]'),
        (({"a": 1}, {"a": 2}), {}, '[{"a":1},{"a":2}]'),
        ({"id": 1, "full name": 2}, {"unquoted_keys": True}, '{id:1,"full name":2}'),
        ([1, [2, [3]]], {"mox_grid": False}, "[1,[2,[3]]]"),
        (type("D", (dict,), {"items": None})(a=1), {}, '{"a":1}'),
        (type("L", (list,), {})([1, 2]), {}, "[1,2]"),
        (type("T", (tuple,), {})((1,)), {}, "[1]"),
    ],
)
def test_containers(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


@pytest.mark.parametrize(
    "key, unquoted, quoted",
    [
        *[(k, k, f'"{k}"') for k in ["name", "_x", "$ref", "a-b", "null"]],
        *[(k, f'"{k}"', f'"{k}"') for k in ["1a", "-a", "a.b", "a+", "caf\u00e9", ""]],
        ('q"', '"q\\""', '"q\\""'),
        (1, '"1"', '"1"'),
        (1.5, '"1.5"', '"1.5"'),
        (None, "None", '"None"'),
        (True, "True", '"True"'),
        ((1, 2), '"(1, 2)"', '"(1, 2)"'),
    ],
)
def test_keys(key, unquoted, quoted):
    assert plav.dumps({key: 0}, unquoted_keys=True) == "{" + unquoted + ":0}"
    assert plav.dumps({key: 0}) == "{" + quoted + ":0}"


def test_key_whose_str_raises():
    class K:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        plav.dumps({K(): 1})


def test_the_thread_buffer_returns_only_the_last_text():
    assert len(plav.dumps("x" * 1_000_000)) == 1_000_002
    assert plav.dumps([1, 2]) == "[1,2]"
    assert plav.dumps("\u00e9" * 10_000) == '"' + "\u00e9" * 10_000 + '"'
    assert plav.dumps("ascii again") == '"ascii again"'
    with pytest.raises(TypeError):
        plav.dumps(["\u00e9" * 100, object()])
    out = plav.dumps(["plain"])
    assert out == '["plain"]' and out.isascii()


# ---- model objects and dataclasses ----


class Address(pydantic.BaseModel):
    city: str
    zip: int


class Person(pydantic.BaseModel):
    name: str
    age: int
    address: Address
    tags: list[str] = []


@dataclasses.dataclass
class Point:
    x: int
    y: str


@dataclasses.dataclass
class Segment:
    start: Point
    end: Point


class M:
    def __init__(self, payload):
        self.payload = payload

    def model_dump(self):
        return self.payload


class Legacy:
    __fields__ = {"v": None}

    def dict(self):
        return {"v": 1}


ANN = Person(name="Ann", age=30, address=Address(city="Oslo", zip=150), tags=["a"])


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        (ANN, {}, '{"name":"Ann","age":30,"address":{"city":"Oslo","zip":150},"tags":["a"]}'),
        ({"p": ANN.address}, {}, '{"p":{"city":"Oslo","zip":150}}'),
        (
            Segment(Point(1, "a"), Point(2, "b")),
            {},
            '{"start":{"x":1,"y":"a"},"end":{"x":2,"y":"b"}}',
        ),
        (
            {"k": [Segment(Point(0, ""), Point(1, "z")), 5]},
            {},
            '{"k":[{"start":{"x":0,"y":""},"end":{"x":1,"y":"z"}},5]}',
        ),
        (
            [Address(city="Oslo", zip=1), Address(city="Rome", zip=2)],
            {},
            '[2: city, zip; "Oslo", 1; "Rome", 2 ]',
        ),
        ([Point(1, "a"), Point(2, "b")], {"bare_strings": True}, "[2: x, y; 1, a; 2, b ]"),
        ([Point(1, "a"), Point(2, "b")], {"mox_grid": False}, '[{"x":1,"y":"a"},{"x":2,"y":"b"}]'),
        ([M({"a": 1}), 1], {"indent": 2}, '[\n  {\n    "a": 1\n  },\n  1\n]'),
        (
            M({"inner": [Point(1, "a")], "addr": Address(city="X", zip=0)}),
            {},
            '{"inner":[{"x":1,"y":"a"}],"addr":{"city":"X","zip":0}}',
        ),
        (Legacy(), {}, '{"v":1}'),
    ],
)
def test_models_and_dataclasses(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


class DictWithoutFields:
    model_dump = 3  # not callable

    def dict(self):
        return {"never": True}


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, name",
    [
        ({1, 2}, "set"),
        (object(), "object"),
        (datetime.timedelta(1), "timedelta"),
        (Outer.Inner(), "Outer.Inner"),
        (DictWithoutFields(), "DictWithoutFields"),
        (bytearray(b"x"), "bytearray"),
    ],
)
def test_not_serializable(value, name):
    with pytest.raises(TypeError) as info:
        plav.dumps(value)
    assert str(info.value) == f"Object of type '{name}' is not JSON serializable"


def test_attribute_test_exception_passes_through():
    class Odd:
        def __getattr__(self, name):
            if name == "__dataclass_fields__":
                raise KeyError("probe")
            raise AttributeError(name)

    with pytest.raises(KeyError, match="probe"):
        plav.dumps(Odd())


def test_conversion_chain_within_limit_is_written():
    class Step:
        def __init__(self, n):
            self.n = n

        def model_dump(self):
            return Step(self.n - 1) if self.n else "done"

    assert plav.dumps(Step(200)) == '"done"'


def test_keys_of_converted_data_are_never_confused():
    # Each conversion returns a dict with new key objects, freed after writing;
    # their addresses are reused by the next conversion's keys.
    class Fresh:
        def __init__(self, i):
            self.i = i

        def model_dump(self):
            return {"".join(["k", str(self.i)]): self.i, "".join(["x", str(-self.i)]): 0}

    items = [Fresh(i) for i in range(300)]
    expected = "[" + ",".join(f'{{"k{i}":{i},"x{-i}":0}}' for i in range(300)) + "]"
    assert plav.dumps(items) == expected
    assert plav.dumps({"a": items, "b": [{"k0": 1}]}) == '{"a":' + expected + ',"b":[{"k0":1}]}'


def test_key_forms_do_not_carry_between_calls_with_other_options():
    # The same key objects, written in turn with options that give them other forms.
    data = {"id": 1, "user name": {"id": 2}}
    forms = [
        ({}, '{"id":1,"user name":{"id":2}}'),
        ({"unquoted_keys": True}, '{id:1,"user name":{id:2}}'),
        ({"indent": 1}, '{\n "id": 1,\n "user name": {\n  "id": 2\n }\n}'),
        ({"indent": 0, "unquoted_keys": True}, '{\nid: 1,\n"user name": {\nid: 2\n}\n}'),
    ]
    for kwargs, text in forms * 2:
        assert plav.dumps(data, **kwargs) == text


# ---- read back ----


def has_float(value):
    if isinstance(value, (list, dict)):
        return any(map(has_float, value.values() if isinstance(value, dict) else value))
    return isinstance(value, float)


@given(JSON_VALUES)
def test_json_and_loads_read_dumps_back(value):
    for options in ({}, {"indent": 2}, {"unquoted_keys": True}):
        text = plav.dumps(value, mox_grid=False, **options)
        assert same(plav.loads(text), value), options
        assert "unquoted_keys" in options or same(json.loads(text), value), options
    if not has_float(value):
        assert plav.dumps(value, mox_grid=False, indent=2) == json.dumps(
            value, indent=2, ensure_ascii=False
        )


# Text in 16-byte ASCII runs, one- to four-byte characters and escapes, in many
# pieces: the result str is made from UTF-16, from joined pieces or from UTF-8.
MIXED_TEXT = st.text(
    st.sampled_from('abc xyz0123"\\\n\x01\u00e9\u00ff\u0416\u20ac\uffff\U0001f600')
    | st.characters(exclude_categories=["Cs"]),
    max_size=70,
)


@given(st.lists(MIXED_TEXT, max_size=40))
def test_text_matches_json(texts):
    for value in (texts, dict.fromkeys(texts, 1)):
        assert plav.dumps(value) == json.dumps(value, ensure_ascii=False, separators=(",", ":"))


# Output whose widest character is Latin-1 is narrowed; a wider one met late
# (after long Latin-1 and ASCII runs) must fall back with nothing lost.
LATIN1_EDGES = ["\u0080", "\u00ff", "caf\u00e9", "\u00e9" * 40, "a" * 33 + "\u00ff" + "b" * 15]
WIDER = ["\u0100", "\u20ac", "\uffff", "\U0001f600"]


@pytest.mark.parametrize("tail", ["", *WIDER])
@pytest.mark.parametrize("as_key", [False, True])
def test_latin1_output_and_its_fallbacks(tail, as_key):
    texts = [*LATIN1_EDGES, "x" * 300, "\u00c3\u00a9" + tail]
    value = dict.fromkeys(texts, "v") if as_key else [*texts, 1.5]
    want = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    assert plav.dumps(value, mox_grid=False) == want


@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada", "github_events"])
def test_corpus_files_round_trip_through_stdlib(name):
    value = json.loads((DATA / "json" / f"{name}.json").read_bytes())
    assert same(json.loads(plav.dumps(value, mox_grid=False)), value)
    assert same(json.loads(plav.dumps(value, mox_grid=False, indent=1)), value)
