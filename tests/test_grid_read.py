"""Reading Mox Grids: header, rows, cells, delimiters, limits and round trips."""

import json
import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plav_core import loads

SUFFIX = " (approximate position: \u00b132 bytes from {})"


def parse_error(message, position):
    return message + SUFFIX.format(position)


def error_of(data):
    with pytest.raises(ValueError) as info:
        loads(data)
    return info.value.args[0]


@pytest.mark.parametrize(
    "text, expected",
    [
        (
            "[3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
            [
                {"id": 1, "name": "Alice", "score": 95},
                {"id": 2, "name": "Bob", "score": 87},
                {"id": 3, "name": "Carol", "score": 92},
            ],
        ),
        (
            "[: id\tname\tscore; 1\tAlice\t95; 2\tBob\t87 ]",
            [{"id": 1, "name": "Alice", "score": 95}, {"id": 2, "name": "Bob", "score": 87}],
        ),
        (
            '[2: id | name; 1 | "Ann"; 2 | "Bo b" ]',
            [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}],
        ),
        ("[2: a, b; 1, ; 2,  ]", [{"a": 1, "b": None}, {"a": 2, "b": None}]),
        ("[2: a, b; 1; 2 ]", [{"a": 1, "b": None}, {"a": 2, "b": None}]),
        ('[: a, b; x\\;y, "q;r" ]', [{"a": "x;y", "b": "q;r"}]),
        ('[: a; [1, 2]; {"k": [: x; 1 ]} ]', [{"a": [1, 2]}, {"a": {"k": [{"x": 1}]}}]),
        ('[: "full name", b; 1, 2 ]', [{"full name": 1, "b": 2}]),
        ('[: "k\\u00e9", b; 1, 2 ]', [{"k\u00e9": 1, "b": 2}]),
        ("[: a b, c; 1, 2 ]", [{"a b": 1, "c": 2}]),
        ("[5 : a; 1 ]", [{"a": 1}]),
        ("[007: a; 1 ]", [{"a": 1}]),
        ("[:]", []),
        ("[0:]", []),
        ("[ 5 : ]", []),
        ("[: a, b;\n1,\n2;\n]", [{"a": 1, "b": 2}]),
        ("[: a, b; 1, x\n]", [{"a": 1, "b": "x"}]),
        ("[: a; /* c */ 1 ]", [{"a": 1}]),
        ("[: a /* c */; 1 ]", [{"a /* c */": 1}]),
        ("[2: a, b; 1, 2; 3, 4 ]", [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        ('[: a; "x;y"; 2 ]', [{"a": "x;y"}, {"a": 2}]),
        ("[: a, b; 1 ]", [{"a": 1, "b": None}]),
        ("[: a, b; , 2 ]", [{"a": None, "b": 2}]),
        ("[: a, b; ;; 1, 2 ]", [{"a": None, "b": None}, {"a": None, "b": None}, {"a": 1, "b": 2}]),
        ("[: a; ]", []),
        ("[0: a, b;]", []),
        ("[: a; 1; 2; ]", [{"a": 1}, {"a": 2}]),
        ("[: a; caf\u00e9 ]", [{"a": "caf\u00e9"}]),
        ("[: a; caf\\\u00e9 ]", [{"a": "caf\u00e9"}]),
        ("[: a; x\\ ]", [{"a": "x"}]),
        ("[: a; a\\,b ]", [{"a": "a,b"}]),
        ("[: a, a; 1, 2 ]", [{"a": 2}]),
        ("[: a, b, ; 1, 2 ]", [{"a": 1, "b": 2}]),
        ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),
        ("[: a\f; x\f ]", [{"a": "x"}]),
        ('[: a; "" ]', [{"a": ""}]),
        ("[: a; [: b; [: c; 1 ] ] ]", [{"a": [{"b": [{"c": 1}]}]}]),
        ('{"rows": [: a; 1 ], "n": 2}', {"rows": [{"a": 1}], "n": 2}),
        ("[[: a; 1 ], [2: b; 2 ]]", [[{"a": 1}], [{"b": 2}]]),
    ],
)
def test_grids(text, expected):
    assert loads(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[2: a, b; 1, 2, ; 3, 4,]", [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        ("[: a, b; 1, 2 |   ]", [{"a": 1, "b": 2}]),
        ("[: a\tb; 1\t2\t; 3\t4\t ]", [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
    ],
)
def test_a_delimiter_after_the_last_cell_is_ignored_before_the_row_end(text, expected):
    assert loads(text) == expected


@pytest.mark.parametrize(
    "text, char, position",
    [
        ("[: a; 1, 2, 3 ]", ",", 7),
        ("[: a; 1,\t2 ]", ",", 7),
        ("[: a; 1, \n]", ",", 7),
        ("[: a; 1, // c\n]", ",", 7),
        ("[: a; 1,", ",", 7),
        ("[: a, b; 1, 2 | 3 ]", "|", 14),
    ],
)
def test_more_cells_than_keys_fail_at_the_extra_delimiter(text, char, position):
    assert error_of(text) == parse_error(
        f"Invalid character '{char}' at position {position}", position
    )


@pytest.mark.parametrize(
    "text, expected",
    [
        (
            "[: a\tb\tc; \t2\t; 1\t\t3; \t\t ]",
            [
                {"a": None, "b": 2, "c": None},
                {"a": 1, "b": None, "c": 3},
                {"a": None, "b": None, "c": None},
            ],
        ),
        ("[2: a\tb\t; \t1; 2\t ]", [{"a": None, "b": 1}, {"a": 2, "b": None}]),
        ("[: a\tb;\n\t1;\n]", [{"a": None, "b": 1}]),
        ("[: a\tb; /* c */\t1 ]", [{"a": None, "b": 1}]),
        ('[: a\tb; [1,\t2]\t{"k":\t3} ]', [{"a": [1, 2], "b": {"k": 3}}]),
        # A tab skipped as whitespace before a key does not make the grid tab-delimited.
        ("[: a,\tb; 1,\t2 ]", [{"a": 1, "b": 2}]),
        ("[: a, b;\t1, 2 ]", [{"a": 1, "b": 2}]),
    ],
)
def test_tab_delimited_grids_keep_empty_cells_in_place(text, expected):
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
    text = "[: a; " + "; ".join(words) + " ]"
    assert loads(text) == [{"a": w} for w in words]
    got = loads("[: a; true; false; null; NaN; Infinity; -Infinity; true ; null| ]")
    values = [row["a"] for row in got]
    assert values[:3] == [True, False, None]
    assert math.isnan(values[3]) and values[4:6] == [math.inf, -math.inf]
    assert values[6:] == [True, None]
    # '/' ends a word: the literal stands and the after-cell rule judges the '/'.
    assert error_of("[: a, b; true, x; null/* c */, 1 ]") == parse_error(
        "Invalid character '/' at position 22", 22
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ("[: a, b ]", parse_error("Invalid character ']' at position 8", 8)),
        ("[: a; 1 2 ]", parse_error("Invalid character '2' at position 8", 8)),
        ("[: a; 1", parse_error("Unexpected end of input", 7)),
        ("[: a, b; 1, 2\n]", parse_error("Invalid character '\n' at position 13", 13)),
        ("[: a; true\n]", parse_error("Invalid character '\n' at position 10", 10)),
        ("[: a; 1\n]", parse_error("Invalid character '\n' at position 7", 7)),
        ('[: "a"\n; 1 ]', parse_error("Invalid character '\n' at position 6", 6)),
        ('[: "a', parse_error("Unexpected end of input", 3)),
        ("[: a", parse_error("Unexpected end of input", 4)),
        ("[:", parse_error("Unexpected end of input", 2)),
        ("[: a;", parse_error("Unexpected end of input", 5)),
        ("[: a; x\\", parse_error("Unexpected end of input", 8)),
        (b"[: a\xff; 1 ]", parse_error("Invalid UTF-8 in header", 3)),
        (b'[: "\xff"; 1 ]', parse_error("Invalid UTF-8 in header", 4)),
        (b"[: a; x\xff ]", parse_error("Invalid UTF-8 in cell", 6)),
        (b"[: a; x\\,\xff ]", "Invalid UTF-8 in string"),
        ("[: a; 12a ]", "Invalid number"),
        ("[:;0", parse_error("Invalid character '0' at position 3", 3)),
        ('[:"', parse_error("Unexpected end of input", 2)),
        ("[:;;]", parse_error("Invalid character ';' at position 3", 3)),
        ("[: ; x]", parse_error("Invalid character 'x' at position 5", 5)),
        ("[:;", parse_error("Unexpected end of input", 3)),
        ("[5\n: a; 1 ]", parse_error("Invalid character ':' at position 3", 3)),
        ("[-1: a; 1 ]", parse_error("Invalid character ':' at position 3", 3)),
        ("[2]{id,name}:\n  1, 2", parse_error("Trailing content after document", 3)),
    ],
)
def test_grid_errors(text, message):
    assert error_of(text) == message


def test_brackets_in_strings_and_bare_cells_never_break_a_grid():
    text = '[: a, b; "]]]", x; "[[[", {"k": "}}"}; "{", y{; ";;", [";", "]"] ]'
    assert loads(text) == [
        {"a": "]]]", "b": "x"},
        {"a": "[[[", "b": {"k": "}}"}},
        {"a": "{", "b": "y{"},
        {"a": ";;", "b": [";", "]"]},
    ]


def test_rows_beyond_the_estimate_are_read():
    cells = ['"}"', '"]"', '"{"', '"["', '";"', "x{", "1"] * 30
    text = "[: a; " + "; ".join(cells) + " ]"
    assert loads(text) == [{"a": json.loads(c) if c != "x{" else c} for c in cells]
    assert loads("[" + text + ", 5]") == [
        [{"a": json.loads(c) if c != "x{" else c} for c in cells],
        5,
    ]


def test_a_grid_without_its_closing_bracket_reports_the_first_error():
    assert error_of("[: a; 1; 2") == parse_error("Unexpected end of input", 10)
    assert error_of("[: a; 1; 2 x") == parse_error("Invalid character 'x' at position 11", 11)


ROW_LIMIT_MESSAGE = "Mox Grid exceeds 1M rows limit"


def test_row_limit():
    rows = loads("[: a; " + "1;" * 1_000_000 + " ]")
    assert len(rows) == 1_000_000 and rows[-1] == {"a": 1}
    del rows
    # The estimate refuses 1,000,001 rows before reading any: the bad first row is never seen.
    assert error_of("[: a; 1 2;" + "1;" * 1_000_000 + " ]") == parse_error(ROW_LIMIT_MESSAGE, 5)
    assert error_of("[: a;" + "1;" * 1_000_001 + "]") == parse_error(ROW_LIMIT_MESSAGE, 5)


def test_semicolons_in_strings_and_bare_cells_do_not_count_towards_the_limit():
    rows = loads("[: a, b; " + '"x;y;z", q\\;r;' * 600_000 + " ]")
    assert len(rows) == 600_000 and rows[-1] == {"a": "x;y;z", "b": "q;r"}


def test_row_limit_bounds_rows_beyond_the_estimate():
    # A quoted '}' throws the estimate off; the limit still holds while reading.
    text = '[: a; "}";' + "1;" * 1_000_000 + "]"
    assert error_of(text) == parse_error(ROW_LIMIT_MESSAGE, 5)


# ---- round trip through a small writer of the compact layout ----

IDENT = re.compile(r"[A-Za-z_$][A-Za-z0-9_$-]*\Z")
LITERAL_WORDS = {"true", "false", "null"}


def reads_as_literal(word):
    return word in LITERAL_WORDS or (word[0] in "IN" and word.lower() in {"nan", "inf", "infinity"})


def write_cell(value, implicit_null, bare_strings):
    if value is None:
        return "" if implicit_null else "null"
    if (
        isinstance(value, str)
        and bare_strings
        and IDENT.match(value)
        and not reads_as_literal(value)
    ):
        return value
    if (
        isinstance(value, list)
        and value
        and all(isinstance(v, dict) for v in value)
        and value[0]
        and all(list(v) == list(value[0]) for v in value)
    ):
        return write_grid(value, ", ", True, False, False)
    return json.dumps(value, ensure_ascii=False)


def write_key(key):
    return key if IDENT.match(key) else json.dumps(key, ensure_ascii=False)


def write_grid(rows, delimiter, row_count, implicit_null, bare_strings):
    keys = list(rows[0])
    out = ["[", str(len(rows)) if row_count else "", ": ", delimiter.join(map(write_key, keys))]
    for i, row in enumerate(rows):
        # With one key, an empty last row would read as "; ]", a trailing ';'.
        implicit = implicit_null and not (len(keys) == 1 and i == len(rows) - 1)
        out.append("; ")
        out.append(delimiter.join(write_cell(row.get(k), implicit, bare_strings) for k in keys))
    out.append(" ]")
    return "".join(out)


text_values = st.text(st.characters(exclude_categories=["Cs"]), max_size=12) | st.sampled_from(
    [
        "[",
        "]",
        ";",
        "{",
        "}",
        ",",
        "|",
        "\t",
        "a;b",
        "x]",
        "true",
        "null",
        "nice",
        "NaN",
        "Nancy",
        "N/A",
        "-",
        "$ref",
        "a-b",
    ]
)
cell_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | text_values,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(text_values, inner, max_size=3),
    max_leaves=6,
)
key_names = st.lists(text_values, min_size=1, max_size=5, unique=True)


@st.composite
def tables(draw):
    keys = draw(key_names)
    n = draw(st.integers(min_value=1, max_value=6))
    rows = [{k: draw(cell_values) for k in keys} for _ in range(n)]
    if draw(st.booleans()):  # a nested grid in some cell
        inner_keys = draw(key_names)
        rows[0][keys[0]] = [{k: draw(cell_values) for k in inner_keys} for _ in range(2)]
    return rows


@given(
    tables(),
    st.sampled_from([", ", ",", "\t", " | ", "|"]),
    st.booleans(),
    st.booleans(),
    st.booleans(),
)
@settings(max_examples=400)
def test_written_grids_read_back_equal(rows, delimiter, row_count, implicit_null, bare):
    text = write_grid(rows, delimiter, row_count, implicit_null, bare)
    assert loads(text) == rows
    assert loads("[" + text + ", " + text + "]") == [rows, rows]
