"""loads: argument handling, document rules, values, strings, numbers, errors."""

import json
import math
import struct
import threading

import pytest

import plav_core
from conftest import not_under_asan
from plav_core import loads

SUFFIX = " (approximate position: \u00b132 bytes from {})"


def parse_error(message, position):
    """The ValueError text of a syntax error at a byte position."""
    return message + SUFFIX.format(position)


def error_of(data, **kw):
    with pytest.raises(ValueError) as info:
        loads(data, **kw)
    assert len(info.value.args) == 1
    return info.value.args[0]


# ---- entry and argument binding ----


@pytest.mark.parametrize("data", [bytearray(b"1"), memoryview(b"1"), 1, None, "\ud800"])
def test_data_must_be_bytes_or_str(data):
    with pytest.raises(TypeError, match="^data must be bytes or str$"):
        loads(data)


def test_bytes_and_str_subclasses_are_read():
    class B(bytes):
        pass

    class S(str):
        pass

    assert loads(B(b"[1]")) == [1]
    assert loads(S("[2]")) == [2]


@pytest.mark.parametrize(
    "call",
    [
        lambda: loads(b"[1]", ["a"]),
        lambda: loads(b"[1]", schema=["a"]),
        lambda: loads(data=b"[1]"),
        lambda: loads(b"[1]", None),
    ],
)
def test_argument_forms(call):
    assert call() == [1]


@pytest.mark.parametrize(
    "call",
    [
        lambda: loads(),
        lambda: loads(b"1", None, None),
        lambda: loads(b"1", other=1),
        lambda: loads(b"1", data=b"1"),
        lambda: loads(b"[1]", schema=5),
        lambda: loads(b"[1]", schema=[1]),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_schema_iterator_exception_passes_through():
    def names():
        yield "a"
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        loads(b"{}", schema=names())


@pytest.mark.parametrize(
    "data, message, position",
    [
        (b"", "Unexpected end of input", 0),
        (" \n ", "Unexpected end of input", 3),
        ("/* only */ // comment", "Unexpected end of input", 21),
        ("1 2", "Trailing content after document", 2),
        ('"\u00e9" x', "Trailing content after document", 5),  # bytes, not characters
        ("[1] ]", "Trailing content after document", 4),
        (" \ufeff1", "Invalid character '\u00ef' at position 1", 1),  # a mark only at offset 0
    ],
)
def test_document_errors(data, message, position):
    assert error_of(data) == parse_error(message, position)


@pytest.mark.parametrize(
    "data, expected",
    [
        ("{} // note", {}),
        ("[1] /* note */", [1]),
        (b"\xef\xbb\xbf[1]", [1]),
        ("1 /* open", 1),
        ("\t\r\n 7 \n", 7),
        ("[ /* none */ ]", []),
        ("[1, // c\n 2]", [1, 2]),
    ],
)
def test_document_whitespace_and_comments(data, expected):
    assert loads(data) == expected


# ---- error messages and positions ----


@pytest.mark.parametrize(
    "data, message",
    [
        ("x", parse_error("Invalid character 'x' at position 0", 0)),
        ("[1,", parse_error("Unexpected end of input", 3)),
        (b"\xc3", parse_error("Invalid character '\u00c3' at position 0", 0)),
        ("01", "Invalid number: leading zeros not allowed"),
        ("[,1]", parse_error("Invalid character ',' at position 1", 1)),
        ("[1,,2]", parse_error("Invalid character ',' at position 3", 3)),
        ("[1 2]", parse_error("Invalid character '2' at position 3", 3)),
        ("[nul]", parse_error("Invalid character 'n' at position 1", 1)),
        ("[nan]", parse_error("Invalid character 'n' at position 1", 1)),
        ("[nullx]", parse_error("Invalid character 'x' at position 5", 5)),
        ("[tru]", parse_error("Invalid character 't' at position 1", 1)),
        ("{", parse_error("Unexpected end of input", 1)),
        ('{"a":1', parse_error("Unexpected end of input", 6)),
        ('{"a":1 "b":2}', parse_error("Invalid character '\"' at position 7", 7)),
        ("{,}", parse_error("Invalid character ',' at position 1", 1)),
        ('{"a', parse_error("Unexpected end of input", 1)),
        ('{"a" 1}', parse_error("Unexpected end of input", 4)),
        ('[{"a" 1}, {"b": 2}]', parse_error("Expected ':' at position 5", 5)),
        ('{"a" ,"b": 1}', parse_error("Expected ':' at position 4", 4)),
        ('{"a" } :', parse_error("Expected ':' at position 4", 4)),
        ("{'a': 1}", parse_error("Invalid character ''' at position 1", 1)),
        ("{-a: 1}", parse_error("Invalid character '-' at position 1", 1)),
        (b'{"\xff": 1}', parse_error("Invalid UTF-8 in key", 2)),
        ("'x'", parse_error("Invalid character ''' at position 0", 0)),
        ("+1", parse_error("Invalid character '+' at position 0", 0)),
        (".5", parse_error("Invalid character '.' at position 0", 0)),
        ("[\x01]", parse_error("Invalid character '\x01' at position 1", 1)),
    ],
)
def test_syntax_errors(data, message):
    assert error_of(data) == message


# ---- values ----


@pytest.mark.parametrize(
    "data, expected",
    [
        ("[1,]", [1]),
        ('{"a":1,}', {"a": 1}),
        ("[]", []),
        ("{}", {}),
        ("{ /* none */ }", {}),
        ("{a: 1, _b2: 2, 3c: 3}", {"a": 1, "_b2": 2, "3c": 3}),
        ("{a-b: 1}", {"a-b": 1}),
        ("{$ref: 1, $: 2}", {"$ref": 1, "$": 2}),
        ("{null: 1, true: 2}", {"null": 1, "true": 2}),
        ('{"a":1,"a":2}', {"a": 2}),
        ('{"a" x: 1}', {"a": 1}),
        ('{"a"\n:\n1}', {"a": 1}),
        ('{"k\\n": 1}', {"k\n": 1}),
        ("[null]", [None]),
        ("[true, false]", [True, False]),
        ('{"a": [1, 2], "b": {"c": null}}', {"a": [1, 2], "b": {"c": None}}),
        ("[[[]], [{}]]", [[[]], [{}]]),
    ],
)
def test_values(data, expected):
    assert loads(data) == expected


def test_keys_are_str_and_last_duplicate_keeps_first_position():
    result = loads('{"b": 1, "a": 2, "b": 3, 7: 4}')
    assert list(result.items()) == [("b", 3), ("a", 2), ("7", 4)]


def _flat(elements, pad=""):
    return "[" + ", ".join(elements) + pad + "]"


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
    assert loads(_flat(elements, pad)) == expected
    assert loads(_flat(elements[:2], pad)) == expected[:2]


# ---- nesting depth ----

DEPTH_MESSAGE = "Maximum nesting depth exceeded"


@pytest.mark.parametrize(
    "opener, inner, closer", [("[", "", "]"), ('{"k":', "1", "}"), ("[:a;", "", "]")]
)
def test_nesting_limit(opener, inner, closer):
    deep = opener * 1024 + inner + closer * 1024
    assert loads(deep) is not None
    too_deep = opener * 1025 + inner + closer * 1025
    assert error_of(too_deep) == parse_error(DEPTH_MESSAGE, len(opener) * 1024)


def test_nesting_counts_grids_and_mixed_containers():
    text = '[{"a":' * 512 + "1" + "}]" * 512
    assert loads(text) is not None
    text = '[{"a":' * 512 + "[1]" + "}]" * 512
    assert error_of(text) == parse_error(DEPTH_MESSAGE, 6 * 512)


def test_nesting_ignores_brackets_in_strings_and_reports_earlier_errors():
    inside = '"' + "[" * 5000 + '"'
    assert loads("[" * 1023 + inside + "]" * 1023) is not None
    assert error_of("[" * 10 + "x" + "[" * 2000) == parse_error(
        "Invalid character 'x' at position 10", 10
    )


@not_under_asan("instrumented frames need several times the stack of a release build")
def test_no_input_overflows_a_small_thread_stack():
    results = []

    def work():
        for text in ("[" * 100_000, "[" * 1024 + "]" * 1024, '{"a":' * 1024 + "1" + "}" * 1024):
            try:
                results.append(type(loads(text)).__name__)
            except ValueError as e:
                results.append(str(e).split(" (")[0])

    old = threading.stack_size(1 << 20)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert results == [DEPTH_MESSAGE, "list", "dict"]


# ---- strings ----


@pytest.mark.parametrize(
    "content, expected",
    [
        ("", ""),
        ('a\\"b', 'a"b'),
        ("\\ud83d\\ude00", "\U0001f600"),
        ("\\u00e9", "\u00e9"),
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


@pytest.mark.parametrize(
    "data, message",
    [
        ('"\\ud83d"', parse_error("Invalid Unicode escape at position 1", 1)),
        ('"\\ud83dx"', parse_error("Invalid Unicode escape at position 1", 1)),
        ('"\\ud83d\\u0041"', parse_error("Invalid Unicode escape at position 1", 1)),
        ('"\\ude00"', parse_error("Invalid Unicode escape at position 1", 1)),
        ('"\\u12"', parse_error("Invalid Unicode escape at position 5", 5)),
        ('"\\u12', parse_error("Unexpected end of input", 0)),  # no closing quote at all
        ('"\\"\\u12', parse_error("Unexpected end of input", 7)),  # input ends in the digits
        ('"\\x41"', parse_error("Invalid escape sequence '\\x' at position 2", 2)),
        ('"a\\n\tb"', parse_error("Unescaped control character at position 4", 4)),
        ('"abc', parse_error("Unexpected end of input", 0)),
        ('"ab\\"', parse_error("Unexpected end of input", 5)),
        ('"ab\\', parse_error("Unexpected end of input", 0)),
        (b'"\xff"', parse_error("Invalid UTF-8 in string", 0)),
        (b'["\xed\xa0\x80"]', parse_error("Invalid UTF-8 in string", 1)),
        (b'"\xff\\n"', "Invalid UTF-8 in string"),
    ],
)
def test_string_errors(data, message):
    assert error_of(data) == message


# ---- numbers ----


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", 0),
        ("-0", 0),
        ("7", 7),
        ("-7", -7),
        ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63),
        ("9999999999999999999", 9999999999999999999),
        ("-9223372036854775808", -(2**63)),
        ("-9223372036854775809", -(2**63) - 1),
        ("10000000000000000000", 10**19),
        ("123456789012345678901234567890", 123456789012345678901234567890),
        ("0.5", 0.5),
        ("0e1", 0.0),
        ("1E+2", 100.0),
        ("1e-7", 1e-7),
        ("2.5E10", 2.5e10),
        ("0.1", 0.1),
        ("1e400", math.inf),
        ("-1e400", -math.inf),
        ("1e-400", 0.0),
        ("123456789e-400", 0.0),
        ("0.000000001e-320", 0.0),
        ("1" + "0" * 400 + ".0", math.inf),
        ("Infinity", math.inf),
        ("-Infinity", -math.inf),
        ("Inf", math.inf),
        ("-inf", -math.inf),
        ("-infinity", -math.inf),
    ],
)
def test_numbers(text, expected):
    got = loads(text)
    assert got == expected and type(got) is type(expected)
    assert loads("[" + text + "]") == [expected]


def test_negative_zero_and_nan_bits():
    assert math.copysign(1.0, loads("-0.0")) == -1.0
    assert math.copysign(1.0, loads("-1e-400")) == -1.0
    for text, bits in [
        ("NaN", 0x7FF8000000000000),
        ("-NaN", 0xFFF8000000000000),
        ("-nan", 0xFFF8000000000000),
    ]:
        assert struct.unpack("<Q", struct.pack("<d", loads(text)))[0] == bits


@pytest.mark.parametrize(
    "text, message",
    [
        ("-", "Invalid number"),
        ("-x", "Invalid number"),
        ("01", "Invalid number: leading zeros not allowed"),
        ("-01", "Invalid number: leading zeros not allowed"),
        ("00", "Invalid number: leading zeros not allowed"),
        ("1.", "Invalid number: decimal point must be followed by digits"),
        ("1.e5", "Invalid number: decimal point must be followed by digits"),
        ("1e", "Invalid float"),
        ("1e+", "Invalid float"),
        ("1E+-2", "Invalid float"),
        ("1e--5", "Invalid float"),
        ("1e5-3", "Invalid float"),
        ("1.5.3", "Invalid number"),
        ("12a", "Invalid number"),
        ("NAN", "Invalid number"),
        ("INF", "Invalid number"),
        ("INFINITY", "Invalid number"),
        ("Infinit", "Invalid number"),
        ("1" * 4301, "Failed to create large integer"),
    ],
)
def test_number_errors(text, message):
    assert error_of(text) == message
    assert error_of("[" + text + "]") == message


def test_integers_up_to_the_interpreter_digit_limit():
    digits = "9" * 4300
    assert loads(digits) == int(digits)
    assert loads("-" + digits) == -int(digits)


def test_numbers_end_at_structural_bytes():
    assert loads("[1,2]") == [1, 2]
    assert loads('{"a":1}') == {"a": 1}
    assert loads("[-1.5e3]") == [-1500.0]
