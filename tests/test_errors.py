"""Read failures: messages, positions, and DecodeError as json.JSONDecodeError."""

import json
import pickle

import pytest
from conftest import error_of
from conftest import parse_error as pe

import plav

END, TRAILING = "Unexpected end of input", "Trailing content after document"


def bad(c, at):
    return pe(f"Invalid character '{c}' at position {at}", at)


NUMBER_ERRORS = {
    "Invalid number": ["-", "1.5.3"],
    "Invalid number: leading zeros not allowed": ["-01"],
    "Invalid number: decimal point must be followed by digits": ["1.e5"],
    "Invalid float": ["1E+-2"],
    "Failed to create large integer": ["-" + "1" * 4301],
}


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", pe(END, 0)),
        ('"\u00e9" x', pe(TRAILING, 5)),  # bytes, not characters
        (" \ufeff1", bad("\u00ef", 1)),  # a byte-order mark only at offset 0
        ("[1,,2]", bad(",", 3)),
        ('{"a":1 "b":2}', bad('"', 7)),
        ('{"a" 1}', pe(END, 4)),
        ('[{"a" 1}, {"b": 2}]', pe("Expected ':' at position 5", 5)),
        (b'{"\xff": 1}', pe("Invalid UTF-8 in key", 2)),
        ('"\\ud83d"', pe("Invalid Unicode escape at position 1", 1)),
        ('"\\u12', pe(END, 0)),  # no closing quote at all
        ('"\\"\\u12', pe(END, 7)),  # input ends in the digits
        ('"\\x41"', pe("Invalid escape sequence '\\x' at position 2", 2)),
        (b'"\xff\\n"', "Invalid UTF-8 in string"),
        # grids: more cells than keys fail at the extra delimiter
        ("[: a; 1, 2, 3 ]", bad(",", 7)),
        ("[: a, b; 1, 2 | 3 ]", bad("|", 14)),
        ("[: a, b; 1, 2\n]", bad("\n", 13)),
        # '/' ends a word: the literal stands and the after-cell rule judges the '/'
        ("[: a, b; true, x; null/* c */, 1 ]", bad("/", 22)),
        ("[: a; 1; 2 x", pe(END, 12)),
        (b"[: a\xff; 1 ]", pe("Invalid UTF-8 in header", 3)),
        (b"[: a; x\xff ]", pe("Invalid UTF-8 in cell", 6)),
        (b"[: a; x\\,\xff ]", "Invalid UTF-8 in string"),
        ("[5\n: a; 1 ]", bad(":", 3)),
        ("[2]{id,name}:\n  1, 2", pe(TRAILING, 3)),  # the layout dumps writes, not reads
        ("[: a; " + "1" * 5000 + " ]", "Failed to create large integer"),
        # numbers, each also inside an array
        *[(text, message) for message, texts in NUMBER_ERRORS.items() for text in texts],
    ],
)
def test_messages_and_positions(data, message):
    assert str(error_of(data)) == message
    if message in NUMBER_ERRORS:
        assert str(error_of("[" + data + "]")) == message


# A non-ASCII escape, then what the UTF-16 reading refuses: the byte reading's error
# stands (runs of 9 escapes cross the vector blocks).
RUN = "\\u20ac" * 9


@pytest.mark.parametrize("run", ["\\u00e9", RUN])
@pytest.mark.parametrize(
    "tail, message, at",
    [
        ("\\ud83d", "Invalid Unicode escape", 0),  # a high surrogate alone
        ("\\ud83dx", "Invalid Unicode escape", 0),
        ("\\ud83d\\u0041", "Invalid Unicode escape", 0),
        ("\\ude00", "Invalid Unicode escape", 0),  # a low surrogate alone
        ("\\u12g4", "Invalid Unicode escape", 4),
        ("\\x\\u12g4", "Invalid escape sequence '\\x'", 1),
        ("\x01", "Unescaped control character", 0),
        ("\xff", "Invalid UTF-8 in string", None),
    ],
)
def test_escape_errors_after_a_non_ascii_escape(run, tail, message, at):
    at = None if at is None else 7 + len(run) + at
    want = message if at is None else pe(f"{message} at position {at}", at)
    assert str(error_of(('{"k": "' + run + tail + '"}').encode("latin-1"))) == want


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a": 1, "b": 2, "c": 3}', pe("Expected '}' at position 17", 17)),
        ('{"a', pe(END, 1)),  # an unterminated key leaves no colon
        ('[{"a" 1}, {"b": 2}]', pe("Expected ':' at position 2", 2)),
        ('{"a": 1 "b": 2}', bad('"', 8)),
    ],
)
def test_schema_messages(text, message):
    assert str(error_of(text, ["a", "b"])) == message


# The bytes form of each text too: its position in bytes, line and column as the str's.
@pytest.mark.parametrize(
    "text, schema, pos",
    [
        ("", None, 0),
        ("[1,\r\n  2,\n  x]", None, 12),
        ('["é€😀", x]', None, 8),
        ('{"ключ":\n "значение€", "k": ?}', None, 28),
        ("[1,\n 2, 01]", None, 8),  # number errors: the token's start
        ("[1, " + "9" * 5000 + "]", None, 4),  # beyond the int digit limit
        ('[2: id, name;\n 1, "Ann";\n 2, "Bo" x ]', None, 34),  # grid cells
        ('[{"é": 1},\n {"b": 1 2}]', ["a", "b"], 20),  # schema reads
        ("[" * 1025 + "]" * 1025, None, 1024),  # too deep
    ],
    ids=lambda v: repr(v)[:30],
)
def test_position_line_and_column(text, schema, pos):
    e = error_of(text, schema)
    place = json.JSONDecodeError("", text, pos)  # as the stdlib counts lines and columns
    assert type(e) is plav.DecodeError and isinstance(e, json.JSONDecodeError)
    assert (e.pos, e.doc, e.lineno, e.colno) == (pos, text, place.lineno, place.colno)
    data = text.encode()
    b = error_of(data, schema)
    assert (b.pos, b.lineno, b.colno) == (len(text[:pos].encode()), e.lineno, e.colno)
    assert b.doc is data and b.msg == str(b) == str(e)


@pytest.mark.parametrize(
    "data",
    [
        "[1,\n  é x]",
        bytearray("[1,\n  é x]".encode()),
        memoryview(b"--[1,\n  \xc3\xa9 x]")[2:],
    ],
    ids=["str", "bytearray", "memoryview"],
)
def test_pickles_to_the_same_error(data):
    e = error_of(data)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        copy = pickle.loads(pickle.dumps(e, protocol))
        assert type(copy) is plav.DecodeError and copy.args == e.args
        assert (copy.msg, copy.pos, copy.lineno, copy.colno) == (e.msg, e.pos, e.lineno, e.colno)
        assert copy.doc == (bytes(data) if isinstance(data, memoryview) else data)
    assert plav.DecodeError.__module__ == "plav_core"
    made = plav.DecodeError("boom", b"ab\n\xc3\xa9cd", 5)
    assert (str(made), made.lineno, made.colno) == ("boom", 2, 2)
    with pytest.raises(TypeError):
        plav.DecodeError("boom", 5, 0)
