"""dumps: options, scalars, containers, keys, conversions, failures, limits, read-back."""

import enum
import json

import pydantic
import pytest
from conftest import JSON_VALUES, Model, Point, harness, same
from hypothesis import given
from hypothesis import strategies as st

import plav

CELLS, DEFAULT = "^argument 'cells' must be ", "^argument 'default' must be callable or None, not"


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"mox_grid": 1}, TypeError, "mox_grid"),
        ({"indent": 2.0}, TypeError, "indent"),
        ({"delimiter": b"tab"}, TypeError, "delimiter"),
        # options are converted in signature order: the first failure wins
        ({"delimiter": 5, "indent": 2.0, "unquoted_keys": None}, TypeError, "unquoted_keys"),
        ({"indent": -1, "row_count": None}, OverflowError, None),
        ({"indent": type("I", (), {"__index__": lambda s: {}["k"]})()}, KeyError, "k"),
        ({"delimiter": "\ud800"}, UnicodeEncodeError, None),
        ({"cells": None}, TypeError, CELLS + "str, not 'NoneType'$"),
        ({"cells": "Any"}, ValueError, CELLS + '"safe" or "any"$'),
        ({"bare_text": type("T", (), {"__bool__": lambda s: 1 / 0})()}, ZeroDivisionError, None),
        ({"default": 3}, TypeError, DEFAULT),
    ],
)
def test_option_errors_come_before_any_conversion(kwargs, error, match):
    called = []
    with pytest.raises(error, match=match):
        plav.dumps([Model(1, lambda: called.append(1))], **kwargs)
    assert called == []


def subclass(base, method, result):
    """A subclass of `base` whose `method` returns `result`."""
    return type(f"My{base.__name__}", (base,), {method: lambda *a: result})


@pytest.mark.parametrize(
    "value, text",
    [
        (-(2**63) - 1, "-9223372036854775809"),
        (10**4299, "1" + "0" * 4299),
        (subclass(int, "__repr__", "\u00e9")(2**70), str(2**70)),
        (enum.IntEnum("Color", {"RED": 7}).RED, "7"),
        (subclass(str, "__str__", "other")("x"), '"x"'),
        (-0.0, "-0.0"),
        (-float("nan"), "NaN"),
        ([b"", b"\x00\xffab"], '["","00ff6162"]'),
        ("a" * 100 + "\t", '"' + "a" * 100 + '\\t"'),
        ('"\\\n\r\t\b\f\x00\x1f', '"\\"\\\\\\n\\r\\t\\b\\f\\u0000\\u001f"'),
        ("\x7f/\u2028 caf\u00e9 \U0001f600", '"\x7f/\u2028 caf\u00e9 \U0001f600"'),
    ],
)
def test_scalars(value, text):
    assert plav.dumps(value) == text


class Address(pydantic.BaseModel):
    city: str
    zip: int


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ({"a": [1, 2], "b": {}}, {"indent": 2}, '{\n  "a": [\n    1,\n    2\n  ],\n  "b": {}\n}'),
        ({"a": [1, {}]}, {"indent": 0}, '{\n"a": [\n1,\n{}\n]\n}'),
        (
            [[], (), {}],
            {"indent": type("Two", (), {"__index__": lambda s: 2})()},
            "[\n  [],\n  [],\n  {}\n]",
        ),
        (({"a": 1}, {"a": 2}), {}, '[{"a":1},{"a":2}]'),  # a tuple is no grid
        (type("D", (dict,), {"items": None})(a=1), {}, '{"a":1}'),
        (type("L", (list,), {})([1, type("T", (tuple,), {})((2,))]), {}, "[1,[2]]"),
        # model objects and dataclasses, nested either way
        (
            [Address(city="O", zip=1), Address(city="R", zip=2)],
            {},
            '[2: city, zip; "O", 1; "R", 2 ]',
        ),
        ({"p": Point(1, "a")}, {"indent": 1}, '{\n "p": {\n  "x": 1,\n  "y": "a"\n }\n}'),
        (
            Model({"i": [Point(1, "a")], "at": harness.OldModel({"v": 1})}),
            {},
            '{"i":[{"x":1,"y":"a"}],"at":{"v":1}}',
        ),
    ],
)
def test_containers_and_conversions(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


@pytest.mark.parametrize(
    "key, unquoted, quoted",
    [
        *[(k, k, f'"{k}"') for k in ["name", "_x", "$ref", "a-b", "null"]],
        *[(k, f'"{k}"', f'"{k}"') for k in ["1a", "a.b", "caf\u00e9", ""]],
        ('q"', '"q\\""', '"q\\""'),
        ((1, 2.5), '"(1, 2.5)"', '"(1, 2.5)"'),
    ],
)
def test_keys(key, unquoted, quoted):
    assert plav.dumps({key: 0}, unquoted_keys=True) == "{" + unquoted + ":0}"
    assert plav.dumps({key: 0}) == "{" + quoted + ":0}"


def test_the_thread_buffer_and_converted_keys_are_never_stale():
    assert len(plav.dumps("x" * 1_000_000)) == 1_000_002
    assert plav.dumps("\u00e9" * 10_000) == '"' + "\u00e9" * 10_000 + '"'
    with pytest.raises(TypeError):
        plav.dumps(["\u00e9" * 100, object()])
    out = plav.dumps(["plain"])
    assert out == '["plain"]' and out.isascii()

    # Each conversion returns a dict with new key objects, freed after writing; their
    # addresses are reused by the next conversion's keys.
    class Fresh:
        def __init__(self, i):
            self.i = i

        def model_dump(self):
            return {"".join(["k", str(self.i)]): self.i}

    items = [Fresh(i) for i in range(300)]
    expected = "[" + ",".join(f'{{"k{i}":{i}}}' for i in range(300)) + "]"
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


# ---- failures ----


def with_qualname(answer):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if isinstance(answer, BaseException):
                    raise answer
                return answer
            return super().__getattribute__(name)

    return Meta("Plain", (), {})()


class Outer:
    class Inner:
        model_dump = 3  # not callable

        def dict(self):  # without __fields__, not a model
            return {"never": True}


class Probe:
    def __getattr__(self, name):
        raise KeyError("probe") if name == "__dataclass_fields__" else AttributeError(name)


def boom():
    raise LookupError("from model_dump")


def unserializable(name):
    return TypeError, f"^Object of type '{name}' is not JSON serializable$"


@pytest.mark.parametrize(
    "value, error, match",
    [
        ({1, 2}, *unserializable("set")),
        (Outer.Inner(), *unserializable("Outer.Inner")),
        (with_qualname(type("S", (str,), {})("sub")), *unserializable("sub")),
        (with_qualname(KeyError("gone")), *unserializable("unknown")),
        (enum.Enum, *unserializable("EnumType")),
        # exceptions from the values' own code pass through
        (Probe(), KeyError, "probe"),
        ({type("NoText", (), {"__str__": lambda s: {}["no text"]})(): 1}, KeyError, "no text"),
        ([{"a": 1}, {"a": Model(1, boom)}] * 6, LookupError, "from model_dump"),
        ([{1: "x"}, {1: "y"}], TypeError, "int"),  # a grid's first row needs str keys
        ({"k": 10**4300}, ValueError, "4300"),  # past the digit limit
    ],
)
def test_failures(value, error, match):
    with pytest.raises(error, match=match):
        plav.dumps([value], default=None)
    assert plav.dumps({"a": [1]}) == '{"a":[1]}'


def nested_lists(depth, inner):
    for _ in range(depth):
        inner = [inner]
    return inner


def test_depth_limit():
    deepest = nested_lists(256, [])  # the innermost list is at depth 256
    assert plav.dumps(deepest) == "[" * 257 + "]" * 257
    assert plav.dumps(deepest, indent=1).count("[") == 257
    assert plav.dumps(nested_lists(256, 1.5)) == "[" * 256 + "1.5" + "]" * 256
    chain = type("Chain", (), {"model_dump": lambda s: s.to})
    done, ping, pong = chain(), chain(), chain()
    done.to, ping.to, pong.to = "done", pong, ping
    assert plav.dumps(nested_lists(255, done)) == "[" * 255 + '"done"' + "]" * 255
    cycle = []
    cycle.append(cycle)
    for too_deep in ([deepest], nested_lists(257, 1), {"k": deepest}, cycle, ping):
        with pytest.raises(ValueError) as info:
            plav.dumps(too_deep)
        assert type(info.value) is ValueError
        assert str(info.value) == "Object too deeply nested (max 256 levels)"


@pytest.mark.parametrize(
    "value, indent",
    [
        ([1], 2**63),
        ([[1]], 2**63),  # 2 x 2**63 spaces wraps to 0 in 64 bits
        ([{"a": 1}, {"a": 2}], 2**40),  # grid rows
    ],
)
@pytest.mark.parametrize("multiline_mox", [False, True])
def test_indentation_beyond_memory_is_a_memory_error(value, indent, multiline_mox):
    with pytest.raises(MemoryError):
        plav.dumps(value, indent=indent, multiline_mox=multiline_mox)
    assert plav.dumps({"a": [1]}) == '{"a":[1]}'  # the thread's buffer still works
    for plain in [1, None, "x", [], {}]:  # nothing to indent
        assert plav.dumps(plain, indent=indent) == plav.dumps(plain)


@pytest.mark.parametrize(
    "value", ["\ud800", ["x\udc00"], {"\ud800": 1}, [{"a": "\ud800"}] * 2, [{"\ud800": 1}] * 2]
)
@pytest.mark.parametrize(
    "options", [{}, {"bare_strings": True}, {"indent": 2}, {"unquoted_keys": True}]
)
def test_lone_surrogates_are_refused_everywhere(value, options):
    with pytest.raises((ValueError, UnicodeEncodeError)) as info:
        plav.dumps(value, **options)
    message = "Failed to encode string as UTF-8"
    assert type(info.value) is UnicodeEncodeError or str(info.value) == message
    assert plav.dumps(["after"]) == '["after"]'


# ---- read back ----


def has_float(value):
    if isinstance(value, (list, dict)):
        return any(map(has_float, value.values() if isinstance(value, dict) else value))
    return isinstance(value, float)


# Text of any characters, in many pieces: the result str is made from UTF-16, from
# joined pieces or from UTF-8, and must equal the stdlib's text.
@given(JSON_VALUES | st.lists(st.text(st.sampled_from('ab "\\\n\x01\u00e9\u20ac\U0001f600'))))
def test_json_and_loads_read_dumps_back(value):
    for options in ({}, {"indent": 2}, {"unquoted_keys": True}):
        text = plav.dumps(value, mox_grid=False, **options)
        assert same(plav.loads(text), value), options
        assert "unquoted_keys" in options or same(json.loads(text), value), options
    if not has_float(value):
        want = json.dumps(value, indent=2, ensure_ascii=False)
        assert plav.dumps(value, mox_grid=False, indent=2) == want


# Long output with a few non-ASCII strings is joined from ASCII runs and the strings'
# text; escaped ones are rebuilt (UTF-16 within U+FFFF, else UTF-8).
@pytest.mark.parametrize("wide", ["\u00e9", "\u4e2d", "\U0001f600"])
def test_joined_output_with_escaped_non_ascii(wide):
    texts = [f'{wide}\n"', f"a\\{wide}" * 30, wide, "\t" + wide * 3, "ascii"]
    value = {"pad": "x" * 4000, "list": texts, **{t: t for t in texts}}
    assert plav.dumps(value, mox_grid=False) == json.dumps(
        value, ensure_ascii=False, separators=(",", ":")
    )


# Short lists of scalars are written in one pass; any other element at any place
# must hand the whole list back to the general writer with nothing left behind.
@pytest.mark.parametrize("n", [1, 15, 16, 17])
@pytest.mark.parametrize("odd", ["x" * 17, "\u00e9", "a\n", 2**70, [1], {"k": 1}, (1,), 0.5])
def test_short_scalar_lists_and_what_interrupts_them(n, odd):
    for at in range(n):
        value = [[i, i / 4, None, True, "ab"][i % 5] for i in range(n)]
        value[at] = odd
        compact = json.dumps([value], ensure_ascii=False, separators=(",", ":"))
        assert plav.dumps([value]) == compact, at
        assert plav.dumps([value], indent=1) == json.dumps([value], ensure_ascii=False, indent=1)


@pytest.mark.parametrize("tail", ["", "\u0100", "\u20ac", "\uffff", "\U0001f600"])
@pytest.mark.parametrize("as_key", [False, True])
def test_latin1_output_and_its_fallbacks(tail, as_key):
    texts = ["\u0080", "\u00ff", "\u00e9" * 40, "a" * 33 + "\u00ff" + "b" * 15, "x" * 300]
    texts += ['\u00e9\t"\u00ff\\', "\u00c3\u00a9" + tail]  # escapes inside a non-ASCII run
    value = dict.fromkeys(texts, "v") if as_key else [*texts, 1.5]
    want = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    assert plav.dumps(value, mox_grid=False) == want
    rows = [{"k\u00e9": t, "n": i} for i, t in enumerate(texts)]
    assert plav.loads(plav.dumps(rows, bare_text=as_key)) == rows
