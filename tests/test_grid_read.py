"""Reading Mox Grids: header, rows, cells, delimiters, errors and the row limit."""

import json
import math

import pytest
from conftest import parse_error as pe

from plav_core import loads

ROW_LIMIT = "Mox Grid exceeds 1M rows limit"


def error_of(data):
    with pytest.raises(ValueError) as info:
        loads(data)
    return info.value.args[0]


def rows(keys, *values):
    return [dict(zip(keys, v)) for v in values]


@pytest.mark.parametrize(
    "text, expected",
    [
        (
            "[3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
            rows(["id", "name", "score"], (1, "Alice", 95), (2, "Bob", 87), (3, "Carol", 92)),
        ),
        ("[: id\tname; 1\tAlice; 2\tBob ]", rows(["id", "name"], (1, "Alice"), (2, "Bob"))),
        ('[2: id | name; 1 | "Ann"; 2 | "Bo b" ]', rows(["id", "name"], (1, "Ann"), (2, "Bo b"))),
        ("[: a|b; 1|2 ]", rows("ab", (1, 2))),
        ("[: a,b; 1,2;3,4 ]", rows("ab", (1, 2), (3, 4))),
        ("[2: a, b; 1, ; 2,  ]", rows("ab", (1, None), (2, None))),
        ("[2: a, b; 1; 2 ]", rows("ab", (1, None), (2, None))),
        ("[: a, b; , 2 ]", rows("ab", (None, 2))),
        ("[: a, b; ;; 1, 2 ]", rows("ab", (None, None), (None, None), (1, 2))),
        ('[: a, b; x\\;y, "q;r" ]', rows("ab", ("x;y", "q;r"))),
        ('[: a; [1, 2]; {"k": [: x; 1 ]} ]', rows("a", ([1, 2],), ({"k": [{"x": 1}]},))),
        ('[: "full name", "k\\u00e9"; 1, 2 ]', rows(["full name", "k\u00e9"], (1, 2))),
        ("[: a b, c; 1, 2 ]", rows(["a b", "c"], (1, 2))),
        ("[007 : a; 1 ]", rows("a", (1,))),
        ("[:]", []),
        ("[ 5 : ]", []),
        ("[: a; ]", []),
        ("[0: a, b;]", []),
        ("[: a, b;\n1,\n2;\n]", rows("ab", (1, 2))),
        ("[: a, b; 1, x\n]", rows("ab", (1, "x"))),
        ("[: a; /* c */ 1 ]", rows("a", (1,))),
        ("[: a /* c */; 1 ]", [{"a /* c */": 1}]),
        ("[: a; 1; 2; ]", rows("a", (1,), (2,))),
        (
            "[: a; caf\u00e9; caf\\\u00e9; x\\ ; a\\,b ]",
            rows("a", ("caf\u00e9",), ("caf\u00e9",), ("x",), ("a,b",)),
        ),
        ("[: a, a; 1, 2 ]", [{"a": 2}]),
        ("[: a, b, ; 1, 2 ]", rows("ab", (1, 2))),
        ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),
        ("[: a\f; x\f ]", [{"a": "x"}]),
        ('[: a; "" ]', [{"a": ""}]),
        ("[: a; [: b; [: c; 1 ] ] ]", [{"a": [{"b": [{"c": 1}]}]}]),
        ('{"rows": [: a; 1 ], "n": 2}', {"rows": [{"a": 1}], "n": 2}),
        ("[[: a; 1 ], [2: b; 2 ]]", [[{"a": 1}], [{"b": 2}]]),
        # a delimiter after the last cell is ignored before the row end
        ("[2: a, b; 1, 2, ; 3, 4,]", rows("ab", (1, 2), (3, 4))),
        ("[: a, b; 1, 2 |   ]", rows("ab", (1, 2))),
        ("[: a\tb; 1\t2\t; 3\t4\t ]", rows("ab", (1, 2), (3, 4))),
        # tab-delimited grids keep empty cells in place
        (
            "[: a\tb\tc; \t2\t; 1\t\t3; \t\t ]",
            rows("abc", (None, 2, None), (1, None, 3), (None, None, None)),
        ),
        ("[2: a\tb\t; \t1; 2\t ]", rows("ab", (None, 1), (2, None))),
        ("[: a\tb; /* c */\t1 ]", rows("ab", (None, 1))),
        ('[: a\tb; [1,\t2]\t{"k":\t3} ]', rows("ab", ([1, 2], {"k": 3}))),
        # a tab skipped as whitespace before a key does not make the grid tab-delimited
        ("[: a,\tb; 1,\t2 ]", rows("ab", (1, 2))),
        ("[: a, b;\t1, 2 ]", rows("ab", (1, 2))),
        # brackets in strings and bare cells never break a grid
        (
            '[: a, b; "]]]", x; "[[[", {"k": "}}"}; "{", y{; ";;", [";", "]"] ]',
            rows("ab", ("]]]", "x"), ("[[[", {"k": "}}"}), ("{", "y{"), (";;", [";", "]"])),
        ),
    ],
)
def test_grids(text, expected):
    assert loads(text) == expected


def test_words_that_start_like_literals():
    words = [
        "nice",
        "nullable",
        "Nancy",
        "fred",
        "true story",
        "N/A",
        "trueish",
        "Info",
        "NaNa",
        "Infinity2",
        "null-ish",
        "falsey",
    ]
    assert loads("[: a; " + "; ".join(words) + " ]") == [{"a": w} for w in words]
    got = [r["a"] for r in loads("[: a; true; false; null; NaN; Infinity; -Infinity; null| ]")]
    assert got[:3] == [True, False, None] and math.isnan(got[3])
    assert got[4:] == [math.inf, -math.inf, None]


# A cell that starts like a number is text when its token is no valid number or a
# byte that continues the word follows it (after spaces); else it is the number.
@pytest.mark.parametrize(
    "cell, expected",
    [
        ("2018-05-09T12:03:18Z", "2018-05-09T12:03:18Z"),
        ("1.5.3", "1.5.3"),
        ("007", "007"),
        ("12 apples", "12 apples"),
        ("-", "-"),
        ("-x", "-x"),
        ("12:30", "12:30"),
        ("1e5x", "1e5x"),
        ("3.", "3."),
        ("0x1F", "0x1F"),
        ("90210-1234", "90210-1234"),
        ("12a", "12a"),
        ("1 2", "1 2"),
        ("Infinity_x", "Infinity_x"),
        ("NaN-", "NaN-"),
        ("-Infinity x", "-Infinity x"),
        ("12 \\, 3", "12 , 3"),
        ("12", 12),
        ("-1.5e3", -1500.0),
        ("-Infinity", -math.inf),
        ("0", 0),
        ("12  ", 12),
        ("18446744073709551616", 2**64),
        ("1e400", math.inf),
    ],
)
def test_number_like_cells(cell, expected):
    for text in (
        f"[: a; {cell} ]",
        f"[: a, b; {cell}, 1 ]",
        f"[: a\tb; {cell}\t1 ]",
        f"[: a | b; {cell} | 1 ]",
        f"[: a; {cell}; 2 ]",
    ):
        assert loads(text)[0]["a"] == expected, text
    assert loads("[: a; NaN ]")[0]["a"] != loads("[: a; NaN ]")[0]["a"]


def test_number_like_text_stays_a_number_error_outside_grids_and_past_the_digit_limit():
    for text in ("[1.5.3]", '{"a": 007}', "12 apples", "[-]"):
        with pytest.raises(ValueError):
            loads(text)
    with pytest.raises(ValueError, match="large integer"):
        loads("[: a; " + "1" * 5000 + " ]")


def test_rows_beyond_the_estimate_are_read():
    cells = ['"}"', '"]"', '"{"', '"["', '";"', "x{", "1"] * 30
    text = "[: a; " + "; ".join(cells) + " ]"
    expected = [{"a": json.loads(c) if c != "x{" else c} for c in cells]
    assert loads(text) == expected
    assert loads("[" + text + ", 5]") == [expected, 5]


def bad(c, at):
    return pe(f"Invalid character '{c}' at position {at}", at)


END = "Unexpected end of input"


@pytest.mark.parametrize(
    "text, message",
    [
        # more cells than keys fail at the extra delimiter
        ("[: a; 1, 2, 3 ]", bad(",", 7)),
        ("[: a; 1, \n]", bad(",", 7)),
        ("[: a; 1, // c\n]", bad(",", 7)),
        ("[: a, b; 1, 2 | 3 ]", bad("|", 14)),
        ("[: a, b ]", bad("]", 8)),
        ("[: a; 12 /x ]", bad("/", 9)),
        ("[: a, b; 1, 2\n]", bad("\n", 13)),
        ("[: a; true\n]", bad("\n", 10)),
        ('[: "a"\n; 1 ]', bad("\n", 6)),
        # '/' ends a word: the literal stands and the after-cell rule judges the '/'
        ("[: a, b; true, x; null/* c */, 1 ]", bad("/", 22)),
        ("[: a; 1; 2", pe(END, 10)),
        ("[: a; 1; 2 x", pe(END, 12)),
        ('[: "a', pe(END, 3)),
        ("[: a", pe(END, 4)),
        ("[:", pe(END, 2)),
        ("[: a;", pe(END, 5)),
        ("[: a; x\\", pe(END, 8)),
        (b"[: a\xff; 1 ]", pe("Invalid UTF-8 in header", 3)),
        (b'[: "\xff"; 1 ]', pe("Invalid UTF-8 in header", 4)),
        (b"[: a; x\xff ]", pe("Invalid UTF-8 in cell", 6)),
        (b"[: a; x\\,\xff ]", "Invalid UTF-8 in string"),
        ("[:;0", bad("0", 3)),
        ("[:;;]", bad(";", 3)),
        ("[: ; x]", bad("x", 5)),
        ("[5\n: a; 1 ]", bad(":", 3)),
        ("[-1: a; 1 ]", bad(":", 3)),
        ("[2]{id,name}:\n  1, 2", pe("Trailing content after document", 3)),
    ],
)
def test_grid_errors(text, message):
    assert error_of(text) == message


def test_row_limit():
    got = loads("[: a; " + "1;" * 1_000_000 + " ]")
    assert len(got) == 1_000_000 and got[-1] == {"a": 1}
    del got
    # The estimate refuses 1,000,001 rows before reading any: the bad first row is never seen.
    assert error_of("[: a; 1 2;" + "1;" * 1_000_000 + " ]") == pe(ROW_LIMIT, 5)
    assert error_of("[: a;" + "1;" * 1_000_001 + "]") == pe(ROW_LIMIT, 5)
    assert error_of(b'{"t": [5: a, b; ' + b"1, 2; " * 1_000_001 + b"]}").startswith(ROW_LIMIT)
    # A quoted '}' throws the estimate off; the limit still holds while reading.
    assert error_of('[: a; "}";' + "1;" * 1_000_000 + "]") == pe(ROW_LIMIT, 5)
    # Semicolons in strings and bare cells do not count.
    got = loads("[: a, b; " + '"x;y;z", q\\;r;' * 600_000 + " ]")
    assert len(got) == 600_000 and got[-1] == {"a": "x;y;z", "b": "q;r"}
