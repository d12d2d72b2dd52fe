"""loads: argument handling, document rules, values, strings, numbers, schema
objects, nesting depth, and the exact message and position of every failure."""

import array
import json
import math
import struct
import threading

import pytest
from conftest import parse_error as pe

from plav_core import loads

AB = ["a", "b"]


def error_of(data, schema=None):
    with pytest.raises(ValueError) as info:
        loads(data, schema)
    assert len(info.value.args) == 1
    return info.value.args[0]


# ---- arguments ----


@pytest.mark.parametrize("data", [1, None, "\ud800", array.array("B", b"1"), [b"1"]])
def test_data_must_be_bytes_or_str(data):
    with pytest.raises(TypeError, match="^data must be bytes or str$"):
        loads(data)


class ByteArray(bytearray):
    pass


DOC = b'{"k": [1, "\xc3\xa9", [: a; 2 ]]}'


@pytest.mark.parametrize(
    "data",
    [
        bytearray(DOC),
        ByteArray(DOC),
        memoryview(DOC),
        memoryview(b"xx" + DOC + b"yy")[2:-2],
        memoryview(bytearray(DOC)).cast("b"),
        memoryview(DOC).cast("c"),
        memoryview(DOC + b" " * (4 - len(DOC) % 4)).cast("B", (4, (len(DOC) + 3) // 4)),
    ],
    ids=["bytearray", "subclass", "memoryview", "slice", "signed", "char", "2-d"],
)
def test_bytes_like_input_reads_as_bytes(data):
    assert loads(data) == loads(DOC) == {"k": [1, "é", [{"a": 2}]]}


@pytest.mark.parametrize(
    "data",
    [memoryview(b"[1, 2]")[::2], memoryview(b"[1, 2]")[::-1], memoryview(array.array("i", [1]))],
    ids=["strided", "reversed", "int items"],
)
def test_other_memoryviews_are_type_errors(data):
    with pytest.raises(TypeError, match="^memoryview data must be C-contiguous bytes$"):
        loads(data)


def test_a_released_memoryview_raises_its_own_error():
    view = memoryview(b"[1]")
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        loads(view)


@pytest.mark.parametrize("as_view", [False, True], ids=["bytearray", "memoryview"])
def test_a_buffer_changed_during_the_read_gives_a_version_or_an_error(as_view):
    # Another thread rewrites the buffer while loads runs: each result is a mix of the
    # two versions written (ones and twos), or an error; the process never crashes.
    n = 200_000
    buf = bytearray(b"[" + b"1," * (n - 1) + b"1]")
    versions = [bytes(buf), bytes(buf).replace(b"1", b"2")]
    stop = threading.Event()

    def rewrite():
        i = 0
        while not stop.is_set():
            source = versions[i % 2]
            for at in range(0, len(buf), 65536):
                buf[at : at + 65536] = source[at : at + 65536]
            i += 1

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for _ in range(30):
            try:
                value = loads(memoryview(buf) if as_view else buf)
            except ValueError:
                continue
            assert len(value) == n and set(value) <= {1, 2}
    finally:
        stop.set()
        writer.join()


def test_argument_forms():
    class B(bytes):
        pass

    class S(str):
        pass

    assert loads(B(b"[1]")) == loads(S("[1]")) == loads(data=b"[1]") == [1]
    assert loads(b"[1]", ["a"]) == loads(b"[1]", schema=["a"]) == loads(b"[1]", None) == [1]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((b"1", None, None), {}),
        ((b"1",), {"other": 1}),
        ((b"1",), {"data": b"1"}),
        ((b"[1]",), {"schema": 5}),
        ((b"[1]",), {"schema": [1]}),
    ],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        loads(*args, **kwargs)


def test_schema_iterator_exception_passes_through():
    def names():
        yield "a"
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        loads(b"{}", schema=names())


# ---- values ----


@pytest.mark.parametrize(
    "data, expected",
    [
        ("{} // note", {}),
        ("[1] /* note */", [1]),
        (b"\xef\xbb\xbf[1]", [1]),
        ("1 /* open", 1),
        ("\t\r\n 7 \n", 7),
        ("[1, // c\n 2, /* c */]", [1, 2]),
        ('{"a":1,}', {"a": 1}),
        ("{ /* none */ }", {}),
        (
            "{a: 1, _b2: 2, 3c: 3, a-b: 4, $ref: 5, $: 6}",
            {"a": 1, "_b2": 2, "3c": 3, "a-b": 4, "$ref": 5, "$": 6},
        ),
        ("{null: 1, true: 2}", {"null": 1, "true": 2}),
        ('{"a" x: 1}', {"a": 1}),
        ('{"a"\n:\n1}', {"a": 1}),
        ('{"a": [1, 2], "b": {"c": null}}', {"a": [1, 2], "b": {"c": None}}),
    ],
)
def test_values(data, expected):
    assert loads(data) == expected


def test_keys_are_str_and_last_duplicate_keeps_first_position():
    result = loads('{"b": 1, "a": 2, "b": 3, 7: 4}')
    assert list(result.items()) == [("b", 3), ("a", 2), ("7", 4)]


@pytest.mark.parametrize(
    "elements",
    [
        [json.dumps(f"s,{i},") for i in range(60)],  # commas inside strings over-count
        [json.dumps(f"s]{i}") for i in range(60)],  # a bracket inside strings under-counts
        [str(i) for i in range(100)],
        [json.dumps("x" * 300)],
    ],
)
@pytest.mark.parametrize("pad", ["", ",", " , \n", ", /* c */"])
def test_long_flat_arrays_read_like_short_ones(elements, pad):
    expected = [json.loads(e) for e in elements]
    for n in (len(elements), 2):
        assert loads("[" + ", ".join(elements[:n]) + pad + "]") == expected[:n]


@pytest.mark.parametrize(
    "content, expected",
    [
        ('a\\"b', 'a"b'),
        ("\\ud83d\\ude00", "\U0001f600"),
        ("\\u0000", "\x00"),
        ('\\"\\\\\\/\\b\\f\\n\\r\\t', '"\\/\b\f\n\r\t'),
        ("tab\there", "tab\there"),  # raw control bytes pass when there is no backslash
        ("del\x7f\\n", "del\x7f\n"),
        ("caf\u00e9 \\u4e2d", "caf\u00e9 \u4e2d"),
        ("x" * 40 + "\\n" + "\u00e9" * 40, "x" * 40 + "\n" + "\u00e9" * 40),
    ],
)
def test_string_contents(content, expected):
    assert loads('"' + content + '"') == expected
    assert loads('{"' + content + '": 1}') == {expected: 1}


BIG = "9" * 4300


@pytest.mark.parametrize(
    "text, expected",
    [
        ("-0", 0),
        ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63),
        ("-9223372036854775808", -(2**63)),
        ("-9223372036854775809", -(2**63) - 1),
        ("18446744073709551616", 2**64),
        ("1234567890" * 3, 123456789012345678901234567890),
        (BIG, int(BIG)),
        ("-" + BIG, -int(BIG)),
        ("0e1", 0.0),
        ("1E+2", 100.0),
        ("1e-7", 1e-7),
        ("1e400", math.inf),
        ("-1e400", -math.inf),
        ("123456789e-400", 0.0),
        ("1" + "0" * 400 + ".0", math.inf),
        ("Infinity", math.inf),
        ("-Infinity", -math.inf),
        ("Inf", math.inf),
        ("-infinity", -math.inf),
    ],
)
def test_numbers(text, expected):
    got = loads(text)
    assert got == expected and type(got) is type(expected)
    assert loads("[" + text + "]") == [expected]


def test_negative_zero_and_nan_bits():
    assert math.copysign(1.0, loads("-0.0")) == math.copysign(1.0, loads("-1e-400")) == -1.0
    for text, bits in [
        ("NaN", 0x7FF8000000000000),
        ("-NaN", 0xFFF8000000000000),
        ("-nan", 0xFFF8000000000000),
    ]:
        assert struct.unpack("<Q", struct.pack("<d", loads(text)))[0] == bits


# ---- schema objects: members matched by position ----


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"x": 1, "y": 2}', {"a": 1, "b": 2}),
        ('[{"a": 1, "b": 2}, {"b": 3, "a": 4}]', [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        ('{"a": 1,}', {"a": 1}),
        ("{}", {}),
        ('{"a": [{"x": 1}]}', {"a": [{"x": 1}]}),
        ('[: k; {"p": 1} ]', [{"k": {"a": 1}}]),
        ('{"\\x": 1}', {"a": 1}),  # the key is skipped, not decoded
        ('{"k:,}": 1, "b": 2}', {"a": 1, "b": 2}),  # nothing inside a quoted key counts
        ('{"k\\":": 1}', {"a": 1}),
        ("{k x y: 1, 7: 2}", {"a": 1, "b": 2}),
        ('{"a": 1 /* c */, // c\n "b": 2}', {"a": 1, "b": 2}),
    ],
)
def test_schema_objects(text, expected):
    assert loads(text, schema=AB) == expected


def test_schema_forms_and_shared_keys():
    assert loads('{"x": 1, "y": 2}', schema="ab") == {"a": 1, "b": 2}
    assert loads('{"x": 1}', schema={"k": 0}) == {"k": 1}
    assert loads('{"x": 1}', schema=iter(["\u00e9"])) == {"\u00e9": 1}
    assert loads("{}", schema=[]) == {}
    rows = loads('[{"x": 1}, {"y": 2}]', schema=["id"])
    assert next(iter(rows[0])) is next(iter(rows[1]))


# ---- nesting depth ----


@pytest.mark.parametrize(
    "opener, inner, closer, limit, schema",
    [
        ("[", "", "]", 1024, None),
        ('{"k":', "1", "}", 1024, None),
        ("[:a;", "", "]", 1024, None),
        ('[{"a":', "1", "}]", 512, None),
        ('{"a":', "1", "}", 1024, AB),
    ],
)
def test_nesting_limit(opener, inner, closer, limit, schema):
    assert loads(opener * limit + inner + closer * limit, schema) is not None
    deeper = opener * (limit + 1) + inner + closer * (limit + 1)
    error = pe("Maximum nesting depth exceeded", len(opener) * limit)
    assert error_of(deeper, schema) == error


def test_nesting_ignores_brackets_in_strings_and_reports_earlier_errors():
    inside = '"' + "[" * 5000 + '"'
    assert loads("[" * 1023 + inside + "]" * 1023) is not None
    assert error_of("[" * 10 + "x" + "[" * 2000) == pe("Invalid character 'x' at position 10", 10)


# ---- errors ----


def bad(c, at):
    return pe(f"Invalid character '{c}' at position {at}", at)


END = "Unexpected end of input"


NUMBER_ERRORS = {
    "Invalid number": ["-", "1.5.3", "12a", "NAN", "Infinit"],
    "Invalid number: leading zeros not allowed": ["01", "-01"],
    "Invalid number: decimal point must be followed by digits": ["1.", "1.e5"],
    "Invalid float": ["1e", "1E+-2", "1e5-3"],
    "Failed to create large integer": ["1" * 4301, "-" + "1" * 4301],
}


@pytest.mark.parametrize(
    "data, message",
    [
        # documents
        (b"", pe(END, 0)),
        (" \n ", pe(END, 3)),
        ("/* only */ // comment", pe(END, 21)),
        ("1 2", pe("Trailing content after document", 2)),
        ('"\u00e9" x', pe("Trailing content after document", 5)),  # bytes, not characters
        ("[1] ]", pe("Trailing content after document", 4)),
        (" \ufeff1", bad("\u00ef", 1)),  # a byte-order mark only at offset 0
        # structure
        ("x", bad("x", 0)),
        ("[1,", pe(END, 3)),
        (b"\xc3", bad("\u00c3", 0)),
        ("[,1]", bad(",", 1)),
        ("[1,,2]", bad(",", 3)),
        ("[1 2]", bad("2", 3)),
        ("[nul]", bad("n", 1)),
        ("[nullx]", bad("x", 5)),
        ("{", pe(END, 1)),
        ('{"a":1 "b":2}', bad('"', 7)),
        ("{,}", bad(",", 1)),
        ('{"a', pe(END, 1)),
        ('{"a" 1}', pe(END, 4)),
        ('[{"a" 1}, {"b": 2}]', pe("Expected ':' at position 5", 5)),
        ('{"a" ,"b": 1}', pe("Expected ':' at position 4", 4)),
        ("{'a': 1}", bad("'", 1)),
        ("{-a: 1}", bad("-", 1)),
        (b'{"\xff": 1}', pe("Invalid UTF-8 in key", 2)),
        ("+1", bad("+", 0)),
        (".5", bad(".", 0)),
        ("[\x01]", bad("\x01", 1)),
        # strings
        ('"\\ud83d"', pe("Invalid Unicode escape at position 1", 1)),
        ('"\\u12"', pe("Invalid Unicode escape at position 5", 5)),
        ('"\\u12', pe(END, 0)),  # no closing quote at all
        ('"\\"\\u12', pe(END, 7)),  # input ends in the digits
        ('"\\x41"', pe("Invalid escape sequence '\\x' at position 2", 2)),
        ('"a\\n\tb"', pe("Unescaped control character at position 4", 4)),
        ('"abc', pe(END, 0)),
        ('"ab\\"', pe(END, 5)),
        ('"ab\\', pe(END, 0)),
        (b'"\xff"', pe("Invalid UTF-8 in string", 0)),
        (b'["\xed\xa0\x80"]', pe("Invalid UTF-8 in string", 1)),
        (b'"\xff\\n"', "Invalid UTF-8 in string"),
        # numbers, each also inside an array
        *[(text, message) for message, texts in NUMBER_ERRORS.items() for text in texts],
    ],
)
def test_errors(data, message):
    assert error_of(data) == message
    if message.startswith(("Invalid number", "Invalid float", "Failed")):
        assert error_of("[" + data + "]") == message


@pytest.mark.parametrize(
    "text, schema, message",
    [
        ('{"a": 1, "b": 2, "c": 3}', AB, pe("Expected '}' at position 17", 17)),
        ('{"a": 1, "b": 2,', AB, pe("Expected '}' at position 16", 16)),
        ('{"a": 1}', [], pe("Expected '}' at position 1", 1)),
        ('{"a" 1}', AB, pe(END, 1)),
        ('{"a', AB, pe(END, 1)),  # an unterminated key leaves no colon
        ('[{"a" 1}, {"b": 2}]', AB, pe("Expected ':' at position 2", 2)),
        ('{"a": 1, 2}', AB, pe(END, 9)),
        ('[{"a": 1, 2}, {"b": 3}]', AB, pe("Expected ':' at position 10", 10)),
        ('{"a": 1, "b" }:', AB, pe("Expected ':' at position 9", 9)),
        ('{"a": 1 "b": 2}', AB, bad('"', 8)),
        ("{ ", AB, pe(END, 2)),
    ],
)
def test_schema_errors(text, schema, message):
    assert error_of(text, schema) == message
