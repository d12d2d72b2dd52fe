"""DecodeError: where loads failed (pos, lineno, colno), as code written for the
standard library's json.JSONDecodeError expects it, for str and bytes-like input."""

import json
import pickle

import pytest

import plav
import plav_core


def error_of(data, schema=None):
    with pytest.raises(plav.DecodeError) as info:
        plav.loads(data, schema)
    return info.value


def stdlib_place(text, pos):
    """(lineno, colno) as json counts them for an error at character `pos` of `text`."""
    e = json.JSONDecodeError("", text, pos)
    return e.lineno, e.colno


# (text, schema, character position of the error). The bytes form of each text is
# read too: its position is in bytes, its line and column the same as the str's.
PLACES = [
    ("[1, x]", None, 4),  # first line
    ("", None, 0),  # nothing to read
    ("[1,\n  2,\n  x]", None, 11),  # after LF breaks
    ("[1,\r\n  x]", None, 7),  # after a CRLF break
    ("[\r\n1,\r\n\r\n  ?]", None, 11),
    ('["é€😀", x]', None, 8),  # after multi-byte characters
    ('{"ключ":\n "значение€", "k": ?}', None, 28),
    ("[1,\n 2", None, 6),  # end of input
    ("[1,\n 2, 01]", None, 8),  # number errors: the token's start
    ("[\n -]", None, 3),
    ("[é, 1]", None, 1),
    ("[1, " + "9" * 5000 + "]", None, 4),  # beyond the int digit limit
    ('[2: id, name;\n 1, "Ann";\n 2, "Bo" x ]', None, 34),  # grid cells
    ("[: a, b;\r\n 1, [1 2] ]", None, 17),
    ('[: a; "é", éx ]', None, 9),
    ('{"a": 1,\n "b": ?}', ["a", "b"], 15),  # schema reads
    ('[{"é": 1},\n {"b": 1 2}]', ["a", "b"], 20),
    ("[" * 1025 + "]" * 1025, None, 1024),  # too deep
]


@pytest.mark.parametrize("text, schema, pos", PLACES, ids=lambda v: repr(v)[:30])
def test_position_line_and_column(text, schema, pos):
    e = error_of(text, schema)
    assert (e.pos, e.doc) == (pos, text)
    assert (e.lineno, e.colno) == stdlib_place(text, pos)

    data = text.encode()
    b = error_of(data, schema)
    assert b.pos == len(text[:pos].encode()) and b.doc is data
    assert (b.lineno, b.colno) == (e.lineno, e.colno)
    assert b.msg == str(b) == b.args[0] and b.args == (b.msg,)


@pytest.mark.parametrize(
    "data, pos, lineno, colno",
    [
        # Columns of bytes input count the line's characters decoded with replacement:
        # a cut-off sequence is one U+FFFD, and so is each stray byte.
        (b"[1, /*\xe2\x82*/ x]", 11, 1, 11),
        (b"[1,\n /*\xff\xfe*/ x]", 12, 2, 9),
        (b'["ok",\n "\\n\xff"]', 8, 2, 2),  # a string with escapes: its opening quote
        (b'[: a, b;\n x\\;y, "\xff" ]', 16, 2, 8),  # a grid cell
    ],
)
def test_bytes_columns_count_replaced_characters(data, pos, lineno, colno):
    e = error_of(data)
    assert (e.pos, e.lineno, e.colno) == (pos, lineno, colno)


@pytest.mark.parametrize(
    "text, message",
    [
        ("[1, x]", "Invalid character 'x' at position 4 (approximate position: ±32 bytes from 4)"),
        ("[1,\n 2, 01]", "Invalid number: leading zeros not allowed"),
        ("[1, 1.]", "Invalid number: decimal point must be followed by digits"),
        (b'["\\n\xff"]', "Invalid UTF-8 in string"),
        ("[1, " + "9" * 5000 + "]", "Failed to create large integer"),
    ],
)
def test_message_is_str_args_and_msg(text, message):
    e = error_of(text)
    assert str(e) == e.msg == message and e.args == (message,)
    assert isinstance(e, json.JSONDecodeError) and isinstance(e, ValueError)


@pytest.mark.parametrize(
    "data",
    [
        "[1,\n  é x]",
        "[1,\n  é x]".encode(),
        bytearray("[1,\n  é x]".encode()),
        memoryview(b"--[1,\n  \xc3\xa9 x]")[2:],
    ],
    ids=["str", "bytes", "bytearray", "memoryview"],
)
def test_pickles_to_the_same_error(data):
    e = error_of(data)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        copy = pickle.loads(pickle.dumps(e, protocol))
        assert type(copy) is plav.DecodeError
        assert str(copy) == str(e) and copy.args == e.args
        assert (copy.msg, copy.pos, copy.lineno, copy.colno) == (e.msg, e.pos, e.lineno, e.colno)
        assert copy.doc == (bytes(data) if isinstance(data, memoryview) else data)


def test_the_class_is_the_extensions_own():
    assert plav.DecodeError is plav_core.DecodeError
    assert plav.DecodeError.__module__ == "plav_core"
    assert issubclass(plav.DecodeError, json.JSONDecodeError)
    made = plav.DecodeError("boom", b"ab\n\xc3\xa9cd", 5)
    assert (str(made), made.lineno, made.colno) == ("boom", 2, 2)
    with pytest.raises(TypeError):
        plav.DecodeError("boom", 5, 0)


def describe_failure(text, parse=json.loads):
    """Error handling as written for the standard library, untouched."""
    try:
        parse(text)
    except json.JSONDecodeError as e:
        return e.lineno, e.colno, e.pos, e.doc is text
    return None


@pytest.mark.parametrize(
    "text", ['{"a": 1,\n "b": x}', "[1, 2,\r\n\r\n  ?]", '{"é€": [\n\n  1,\n  @]}', "[1, 2"]
)
def test_stdlib_error_handling_works_unchanged(text):
    assert describe_failure(text, plav.loads) == describe_failure(text, json.loads)


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((None,), {}), (("[1]",), {"schema": 5}), (("\ud800",), {})],
)
def test_type_errors_stay_type_errors(args, kwargs):
    with pytest.raises(TypeError) as info:
        plav.loads(*args, **kwargs)
    assert not isinstance(info.value, ValueError)
