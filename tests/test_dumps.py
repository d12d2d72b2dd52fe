"""dumps: options, scalars, strings, containers, layout, limits and failures."""

import enum
import gc
import threading

import pytest

import plav


def internal_failure(excinfo):
    exc = excinfo.value
    return type(exc).__name__ == "InternalFailure" and not isinstance(exc, Exception)


# --- options ---------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"mox_grid": 1}, "mox_grid"),
        ({"row_count": None}, "row_count"),
        ({"unquoted_keys": 0}, "unquoted_keys"),
        ({"bare_strings": "yes"}, "bare_strings"),
        ({"implicit_null": 1.0}, "implicit_null"),
        ({"multiline_mox": []}, "multiline_mox"),
        ({"indent": 2.0}, "indent"),
        ({"indent": "2"}, "indent"),
        ({"delimiter": 5}, "delimiter"),
        ({"delimiter": b"tab"}, "delimiter"),
    ],
)
def test_wrong_option_type_names_the_keyword(kwargs, name):
    with pytest.raises(TypeError, match=name):
        plav.dumps(1, **kwargs)


def test_options_are_converted_in_signature_order():
    # mox_grid comes before indent, indent before delimiter: the first failure wins.
    with pytest.raises(TypeError, match="mox_grid"):
        plav.dumps(1, delimiter=5, indent=2.0, mox_grid=None)
    with pytest.raises(TypeError, match="indent"):
        plav.dumps(1, delimiter=5, indent=2.0)
    with pytest.raises(OverflowError):
        plav.dumps(1, indent=-1, row_count=None)


@pytest.mark.parametrize("indent", [-1, 2**64])
def test_indent_out_of_range_is_overflow(indent):
    with pytest.raises(OverflowError):
        plav.dumps(1, indent=indent)


def test_binding_errors():
    with pytest.raises(TypeError):
        plav.dumps()
    with pytest.raises(TypeError):
        plav.dumps(1, 2)
    with pytest.raises(TypeError):
        plav.dumps(1, nonsense=True)
    assert plav.dumps(data=[1]) == "[1]"


def test_indent_accepts_index_objects():
    class Two:
        def __index__(self):
            return 2

    assert plav.dumps([1], indent=Two()) == "[\n  1\n]"
    assert plav.dumps([1], indent=True) == "[\n 1\n]"
    assert plav.dumps([1], indent=0) == "[\n1\n]"
    assert plav.dumps([1], indent=None) == "[1]"


def test_index_raising_other_errors_passes_unchanged():
    class Bad:
        def __index__(self):
            raise KeyError("k")

    with pytest.raises(KeyError):
        plav.dumps(1, indent=Bad())


ROWS = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]


@pytest.mark.parametrize(
    "delimiter, sep",
    [
        ("comma", ", "),
        (",", ", "),
        ("", ", "),
        ("Tab", ", "),
        ("PIPE", ", "),
        ("anything", ", "),
        ("tab", "\t"),
        ("\t", "\t"),
        ("pipe", " | "),
        ("|", " | "),
    ],
)
def test_delimiter_words(delimiter, sep):
    assert plav.dumps(ROWS, delimiter=delimiter) == f"[2: a{sep}b; 1{sep}2; 3{sep}4 ]"


def test_delimiter_that_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError):
        plav.dumps(1, delimiter="\ud800")


# --- scalars ---------------------------------------------------------------


class MyInt(int):
    def __str__(self):
        return "mine"


class Color(enum.IntEnum):
    RED = 7


class BigStr(int):
    def __str__(self):
        return "\u00e9" + int.__repr__(self)


@pytest.mark.parametrize(
    "value, text",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (-5, "-5"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        (2**63, "9223372036854775808"),
        (2**64 - 1, "18446744073709551615"),
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**100, "1" + "0" * 100),
        (MyInt(3), "3"),
        (MyInt(2**70), "mine"),
        (BigStr(2**70), "\u00e9" + str(2**70)),
        (Color.RED, "7"),
        ("Alice", '"Alice"'),
        ("", '""'),
    ],
)
def test_scalars(value, text):
    assert plav.dumps(value) == text


def test_huge_int_digit_limit_passes_through():
    with pytest.raises(ValueError, match="digits"):
        plav.dumps(10**5000)


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1.0, "1.0"),
        (100.0, "100.0"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e16"),
        (3.14, "3.14"),
        (12.5, "12.5"),
        (-12.5, "-12.5"),
        (0.1, "0.1"),
        (0.5, "0.5"),
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


def test_float_subclass_written_by_value():
    class F(float):
        def __repr__(self):
            return "nope"

    assert plav.dumps(F(2.5)) == "2.5"


@pytest.mark.parametrize(
    "text, written",
    [
        ("a" * 100 + "\t", '"' + "a" * 100 + '\\t"'),
        ('"\\', '"\\"\\\\"'),
        ("\n\r\t\b\f", '"\\n\\r\\t\\b\\f"'),
        ("\x00\x1b\x1f", '"\\u0000\\u001b\\u001f"'),
        ("\x7f/\u2028\u2029", '"\x7f/\u2028\u2029"'),
        ("caf\u00e9 \U0001f600", '"caf\u00e9 \U0001f600"'),
    ],
)
def test_string_escapes(text, written):
    assert plav.dumps(text) == written


def test_str_subclass_written_as_content():
    class S(str):
        def __str__(self):
            return "other"

    assert plav.dumps(S("x")) == '"x"'


def test_lone_surrogate_value_and_key():
    with pytest.raises(ValueError, match="^Failed to encode string as UTF-8$"):
        plav.dumps("a\ud800")
    with pytest.raises(ValueError, match="^Failed to encode string as UTF-8$"):
        plav.dumps({"\udc00": 1})


def test_bytes_as_hex():
    assert plav.dumps(b"\x00\xff") == '"00ff"'
    assert plav.dumps(b"") == '""'
    assert plav.dumps([b"ab"]) == '["6162"]'
    with pytest.raises(TypeError, match="^Object of type 'bytearray' is not JSON serializable$"):
        plav.dumps(bytearray(b"a"))


# --- containers and layout -------------------------------------------------


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ({"a": [1, 2], "b": {}}, {}, '{"a":[1,2],"b":{}}'),
        ({"a": [1, 2], "b": {}}, {"indent": 2},
         '{\n  "a": [\n    1,\n    2\n  ],\n  "b": {}\n}'),
        ({"a": [1, 2], "b": {}}, {"indent": 0}, '{\n"a": [\n1,\n2\n],\n"b": {}\n}'),
        ([[], (), {}], {"indent": 4}, "[\n    [],\n    [],\n    {}\n]"),
        ((1, "x"), {}, '[1,"x"]'),
        (({"a": 1}, {"a": 2}), {}, '[{"a":1},{"a":2}]'),
        ([{"a": 1}], {}, '[{"a":1}]'),
        ({"name": "Alice", "age": 30}, {}, '{"name":"Alice","age":30}'),
        ({"id": 1, "full name": 2}, {"unquoted_keys": True}, '{id:1,"full name":2}'),
        ([1, [2, [3]]], {"mox_grid": False}, "[1,[2,[3]]]"),
    ],
)
def test_containers(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


@pytest.mark.parametrize(
    "key, unquoted, quoted",
    [
        ("name", "name", '"name"'),
        ("_x", "_x", '"_x"'),
        ("$ref", "$ref", '"$ref"'),
        ("a-b", "a-b", '"a-b"'),
        ("a1", "a1", '"a1"'),
        ("true", "true", '"true"'),
        ("null", "null", '"null"'),
        ("1a", '"1a"', '"1a"'),
        ("-a", '"-a"', '"-a"'),
        ("a b", '"a b"', '"a b"'),
        ("a.b", '"a.b"', '"a.b"'),
        ("caf\u00e9", '"caf\u00e9"', '"caf\u00e9"'),
        ("", '""', '""'),
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


def test_subclasses_of_containers():
    class D(dict):
        def items(self):
            raise AssertionError("not called")

    class L(list):
        pass

    class T(tuple):
        pass

    assert plav.dumps(D(a=1)) == '{"a":1}'
    assert plav.dumps(L([1, 2])) == "[1,2]"
    assert plav.dumps(T((1,))) == "[1]"


def nested_lists(depth, inner):
    value = inner
    for _ in range(depth):
        value = [value]
    return value


def test_depth_limit():
    # 257 lists: the innermost is at depth 256.
    assert plav.dumps(nested_lists(256, [])) == "[" * 257 + "]" * 257
    with pytest.raises(ValueError, match=r"^Object too deeply nested \(max 256 levels\)$"):
        plav.dumps(nested_lists(257, []))
    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps(nested_lists(257, 1))
    d = {}
    for _ in range(300):
        d = {"k": d}
    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps(d)


def test_cyclic_list_ends_with_depth_error():
    a = []
    a.append(a)
    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps(a)


def test_huge_indent_is_memory_error_and_buffer_survives():
    assert plav.dumps(1, indent=2**63) == "1"
    assert plav.dumps([], indent=2**63) == "[]"
    with pytest.raises(MemoryError):
        plav.dumps([1], indent=2**32)
    with pytest.raises(MemoryError):
        plav.dumps([[1]], indent=2**31)
    with pytest.raises(MemoryError):
        plav.dumps([1], indent=2**63)
    assert plav.dumps({"a": [1]}) == '{"a":[1]}'


def test_buffer_reuse_returns_only_the_last_text():
    assert len(plav.dumps("x" * 1_000_000)) == 1_000_002
    assert plav.dumps([1, 2]) == "[1,2]"
    assert plav.dumps("\u00e9" * 10_000) == '"' + "\u00e9" * 10_000 + '"'
    assert plav.dumps("ascii again") == '"ascii again"'


def test_failed_call_leaves_next_call_clean():
    with pytest.raises(TypeError):
        plav.dumps(["\u00e9" * 100, object()])
    out = plav.dumps(["plain"])
    assert out == '["plain"]' and out.isascii()


# --- re-entry and mutation -------------------------------------------------


class DumpsInside:
    def model_dump(self):
        return {"inner": plav.dumps([1])}


def test_nested_dumps_is_refused_and_thread_recovers():
    with pytest.raises(BaseException) as ei:
        plav.dumps({"m": DumpsInside()})
    assert internal_failure(ei)
    assert plav.dumps({"ok": [1, 2]}) == '{"ok":[1,2]}'


def test_nested_dumps_can_be_caught_by_the_model():
    class Careful:
        def model_dump(self):
            try:
                return plav.dumps(1)
            except BaseException as exc:  # noqa: BLE001 - the refusal is a BaseException
                return type(exc).__name__

    assert plav.dumps([Careful()]) == '["InternalFailure"]'


class Mutator:
    def __init__(self, action):
        self.action = action

    def model_dump(self):
        self.action()
        return 0


def test_dict_grown_while_written():
    d = {"a": 1}
    d["m"] = Mutator(lambda: d.__setitem__("new", 1))
    d["z"] = 2
    with pytest.raises(BaseException, match="dictionary changed size during iteration") as ei:
        plav.dumps(d)
    assert internal_failure(ei)


def test_dict_keys_replaced_while_written():
    d = {"a": 1}

    def swap():
        del d["a"]
        d["c"] = 3

    d["m"] = Mutator(swap)
    with pytest.raises(BaseException, match="dictionary keys changed during iteration") as ei:
        plav.dumps(d)
    assert internal_failure(ei)


def test_list_shrunk_while_written_stays_well_formed():
    items = [1, None, 3, 4]
    items[1] = Mutator(lambda: (items.pop(), items.pop()))
    assert plav.dumps(items, mox_grid=False) == "[1,0]"


def test_container_dropped_by_its_parent_while_written():
    outer = {"inner": None}
    inner = [Mutator(lambda: outer.__setitem__("inner", None)), "after"]
    outer["inner"] = inner
    del inner
    gc.collect()
    assert plav.dumps(outer) == '{"inner":[0,"after"]}'


@pytest.mark.parametrize("make", [list, tuple], ids=["list", "tuple"])
def test_container_dropped_after_its_scalar_members(make):
    # Scalars before the converted member are written while the parent still owns it.
    outer = {"inner": None}
    inner = make([1, "s" * 40, 2.5, Mutator(lambda: outer.__setitem__("inner", None)), "e" * 40])
    outer["inner"] = inner
    del inner
    gc.collect()
    expected = '{"inner":[1,"' + "s" * 40 + '",2.5,0,"' + "e" * 40 + '"]}'
    assert plav.dumps(outer, mox_grid=False) == expected


# --- threads ---------------------------------------------------------------


def test_threads_write_concurrently():
    docs = [
        {"id": t, "rows": [{"k": i, "v": f"t{t}-{i}"} for i in range(50)], "s": "\u00e9" * t}
        for t in range(8)
    ]
    expected = [plav.dumps(d) for d in docs]
    errors = []

    def work(t):
        for _ in range(200):
            if plav.dumps(docs[t]) != expected[t]:
                errors.append(t)
                return

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
