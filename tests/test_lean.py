"""The lean way of writing: cells="any", bare_text and plav.LEAN. Whatever dumps writes
under any mix of options reads back equal; a string written bare reads back as itself
wherever it stands in a grid."""

import dataclasses
import math
import re

import pytest
from conftest import same_or_null_filled
from hypothesis import given, settings
from hypothesis import strategies as st

import plav

# Strings that look like what the reader treats specially: numbers, literals, comments,
# delimiters, brackets, escapes and whitespace.
LOOKALIKES = [
    "",
    " ",
    "12",
    "-12",
    "007",
    "1.5.3",
    "1e5",
    "-1.5e3",
    "1e5x",
    "12 apples",
    "12/05/2020",
    "2018-05-09T12:03:18Z",
    "-",
    "+1",
    ".5",
    "0x1F",
    "NaN",
    "nan",
    "Nan",
    "-NaN",
    "Infinity",
    "-Infinity",
    "inf",
    "INF",
    "Inf-x",
    "NaN-",
    "true",
    "false",
    "null",
    "truex",
    "null-ish",
    "true x",
    "t",
    "n",
    "Nancy",
    "//c",
    "/*c*/",
    "a // b",
    "a /* b",
    "/",
    "a/",
    "#x",
    "a,b",
    "a\tb",
    "a|b",
    "a;b",
    "a]b",
    "[a",
    "{a",
    "a}",
    '"q',
    'a"b',
    "a\\b",
    "\\",
    " lead",
    "trail ",
    "a\nb",
    "\r",
    "\f",
    "\x7f",
    "caf\u00e9",
    "\u00e9",
    "\u2028",
    "\ufeffx",
    "Ana Mensah",
    "ana.mensah@example.com",
    "http://x.y/z",
    "a:b",
    ":",
    "12:30",
    "1 2",
    "12 /x",
    "12  ",
    "1" * 30,
    "9" * 5000,
]
TEXT = (
    st.sampled_from(LOOKALIKES)
    | st.text(st.characters(blacklist_categories=("Cs",)), max_size=10)
    | st.text(
        st.sampled_from('0123456789-+.eEIiNnaAfFtTyYlsu /*,;|\t\n"\\[]{}:#x\u00e9'), max_size=10
    )
)
SCALARS = (
    st.none() | st.booleans() | st.integers() | st.integers(-(2**80), 2**80) | st.floats() | TEXT
)


@dataclasses.dataclass
class Point:
    x: object
    y: object


class Model:
    def __init__(self, data):
        self.data = data

    def model_dump(self):
        return dict(self.data)


def rows_of(values, keys):
    """Lists of dicts over `keys` whose cells come from `values`; rows may lack the last
    key."""
    return st.lists(st.fixed_dictionaries({k: values for k in keys}), min_size=2, max_size=8)


@st.composite
def documents(draw):
    """Nested data in which lists of like dicts are common, cells of any kind."""
    keys = draw(st.lists(TEXT, min_size=1, max_size=3, unique=True))
    values = st.recursive(
        SCALARS,
        lambda inner: (
            st.lists(inner, max_size=3)
            | st.tuples(inner, inner)
            | st.dictionaries(TEXT, inner, max_size=3)
            | rows_of(inner, keys[:2])
            | st.builds(Point, inner, inner)
            | st.builds(Model, st.fixed_dictionaries({"m": inner}))
        ),
        max_leaves=8,
    )
    table = draw(rows_of(values, keys))
    for row in table[draw(st.integers(1, len(table))) :]:
        if len(keys) > 1 and draw(st.booleans()):
            row.pop(keys[-1])
    return draw(st.sampled_from([table, {"t": table, "n": 1}, [table, [1, "x"]], table[:1]]))


def plain(value):
    """What dumps writes for `value`: tuples as lists, objects through their conversion."""
    if isinstance(value, Point):
        return {"x": plain(value.x), "y": plain(value.y)}
    if isinstance(value, Model):
        return plain(value.model_dump())
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    return value


OPTIONS = st.fixed_dictionaries(
    {
        "cells": st.sampled_from(["safe", "any"]),
        "bare_text": st.booleans(),
        "bare_strings": st.booleans(),
        "implicit_null": st.booleans(),
        "unquoted_keys": st.booleans(),
        "row_count": st.booleans(),
        "delimiter": st.sampled_from(["comma", "tab", "pipe"]),
    }
)


@settings(max_examples=250)
@given(doc=documents(), options=OPTIONS, indent=st.sampled_from([None, 0, 2]))
def test_every_option_mix_reads_back(doc, options, indent):
    # Grids are read back in the compact layout; the indented layouts with plain arrays.
    if indent is not None:
        options = {**options, "indent": indent, "mox_grid": False}
    text = plav.dumps(doc, **options)
    assert same_or_null_filled(plav.loads(text), plain(doc)), text


def cell_of(text):
    """The first cell of the first row of a compact grid over keys a and b."""
    return re.match(r"\[2: a(?:, |\t| \| )b; (.*?)(?:, |\t| \| )1;", text, re.DOTALL).group(1)


@settings(max_examples=1500)
@given(s=TEXT)
def test_a_string_written_bare_reads_back_as_itself_anywhere(s):
    rows = [{"a": s, "b": 1}, {"a": s, "b": 2}]
    written = {
        d: cell_of(plav.dumps(rows, bare_text=True, cells="any", delimiter=d))
        for d in ("comma", "tab", "pipe")
    }
    assert len(set(written.values())) == 1  # the decision does not depend on the delimiter
    if written["comma"] != s:
        assert written["comma"][0] == '"'  # otherwise it is quoted
        return
    for sep in (", ", ",", "\t", " | ", "|"):
        for grid in (
            f"[: a{sep}b; {s}{sep}1; 2{sep}{s} ]",
            f"[2: a; {s}; {s}]",
            f"[: a{sep}b{sep}c; {s}{sep}{sep}{s};{s}{sep}1{sep}{s}  ]",
            f'{{"k": [: a{sep}b; {s}{sep}[: c; {s} ] ]}}',
        ):
            read = plav.loads(grid)
            cells = [
                v
                for row in (read["k"] if isinstance(read, dict) else read)
                for v in row.values()
                if isinstance(v, str)
            ]
            if isinstance(read, dict):
                cells.append(read["k"][0]["b"][0]["c"])
            assert cells and all(c == s for c in cells), grid
    # A header key is bare under the same or a looser rule, and reads back too.
    keyed = plav.dumps([{s: 1}, {s: 2}], bare_text=True)
    assert keyed.startswith(f"[2: {s}; ") and plav.loads(keyed) == [{s: 1}, {s: 2}]
    # Every layout writes the cell the same way.
    for layout in ({"indent": 2}, {"multiline_mox": True}):
        assert f"{s}, 1" in plav.dumps(rows, bare_text=True, cells="any", **layout)


@pytest.mark.parametrize(
    "s, bare",
    [
        ("Ana Mensah", True),
        ("ana.mensah@example.com", True),
        ("http://x.y/z", True),
        ("2018-05-09T12:03:18Z", True),
        ("1.5.3", True),
        ("007", True),
        ("12 apples", True),
        ("-", True),
        ("caf\u00e9", True),
        ("truex", True),
        ("Inf-x", True),
        ("a // b", True),
        ("12/05/2020", False),
        ("12", False),
        ("-1.5e3", False),
        ("NaN", False),
        ("Nan", False),
        ("-Infinity", False),
        ("true", False),
        ("null", False),
        ("", False),
        (" x", False),
        ("x ", False),
        ("a,b", False),
        ("a\tb", False),
        ("a|b", False),
        ("a;b", False),
        ("a]b", False),
        ("[a", False),
        ("{a", False),
        ('"q', False),
        ("a\\b", False),
        ("//c", False),
        ("/*c", False),
        ("a\nb", False),
        ("1" * 5000, False),
    ],
)
def test_which_strings_lean_writes_bare(s, bare):
    text = plav.dumps([{"a": s}, {"a": s}], **plav.LEAN)
    assert (text == f"[2: a; {s}; {s} ]") is bare, text
    assert plav.loads(text) == [{"a": s}, {"a": s}]


def test_bare_strings_alone_stays_with_identifiers():
    rows = [{"a": "Ana Mensah", "b": "x-1"}, {"a": "Nancy", "b": "Infinity"}]
    assert plav.dumps(rows, bare_strings=True) == (
        '[2: a, b; "Ana Mensah", x-1; Nancy, "Infinity" ]'
    )
    assert plav.dumps(rows, bare_text=True) == '[2: a, b; Ana Mensah, x-1; Nancy, "Infinity" ]'


NESTED_ROWS = [
    {
        "id": 1,
        "at": "2018-05-09T12:03:18Z",
        "tags": ["a", "b"],
        "meta": {"k": [{"q": 1}, {"q": 2}]},
    },
    {"id": 2, "at": "a, b", "tags": (), "meta": Point(1, "y z")},
]


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            {},
            (
                '[{"id":1,"at":"2018-05-09T12:03:18Z","tags":["a","b"],"meta":{"k":[2: q; 1; 2 ]}},'
                '{"id":2,"at":"a, b","tags":[],"meta":{"x":1,"y":"y z"}}]'
            ),
        ),
        (
            {"cells": "any"},
            (
                '[2: id, at, tags, meta; 1, "2018-05-09T12:03:18Z", ["a","b"], {"k":[2: q; 1; 2 ]}; '
                '2, "a, b", [], {"x":1,"y":"y z"} ]'
            ),
        ),
        (
            plav.LEAN,
            (
                '[2: id\tat\ttags\tmeta; 1\t2018-05-09T12:03:18Z\t["a","b"]\t{k:[2: q; 1; 2 ]}; '
                '2\t"a, b"\t[]\t{x:1,y:"y z"} ]'
            ),
        ),
        (
            {"cells": "any", "indent": 2},
            (
                '[2:\n  id, at, tags, meta\n  1, "2018-05-09T12:03:18Z", ["a","b"], {"k":[2: q; 1; 2 ]}'
                '\n  2, "a, b", [], {"x":1,"y":"y z"}\n]'
            ),
        ),
        (
            {"cells": "any", "multiline_mox": True, "row_count": False},
            (
                '[2]{id,at,tags,meta}:\n  1, "2018-05-09T12:03:18Z", ["a","b"], {"k":[: q; 1; 2 ]}'
                '\n  2, "a, b", [], {"x":1,"y":"y z"}'
            ),
        ),
    ],
    ids=["safe", "any", "lean", "indented", "multiline"],
)
def test_any_value_is_a_cell_written_compact(options, expected):
    assert plav.dumps(NESTED_ROWS, **options) == expected


@pytest.mark.parametrize("layout", [{"indent": 2}, {"indent": 2, "multiline_mox": True}])
def test_cell_keys_take_the_compact_form_after_the_same_keys_outside(layout):
    # The writer remembers how it wrote each key; a cell must not reuse the form
    # with the indented layout's separator, nor the layout its form afterwards.
    rows = [{"a": {"k": i, "m": [i]}} for i in range(2)]
    text = plav.dumps({"k": 0, "m": rows, "z": {"k": 1}}, cells="any", **layout)
    assert '{"k":0,"m":[0]}' in text and '{"k":1,"m":[1]}' in text
    assert text.startswith('{\n  "k": 0,') and text.endswith('"z": {\n    "k": 1\n  }\n}')


@pytest.mark.parametrize(
    "rows, options, expected",
    [
        # a later row with a key outside the header: the plain array, as always
        ([{"a": [1]}, {"a": 2, "b": 3}], {}, '[{"a":[1]},{"a":2,"b":3}]'),
        ([{"a": [1]}, {"a": None}], {"implicit_null": True}, "[2: a; [1]; null ]"),
        ([{"a": None}, {"a": None}, {"a": {}}], {"implicit_null": True}, "[3: a; ; ; {} ]"),
        (
            [{"a": {}, "b": None}, {"a": [], "b": None}],
            {"implicit_null": True},
            "[2: a, b; {}, ; [],  ]",
        ),
        ([Model({"a": [1]}), Model({"a": "x;y"})], {}, '[2: a; [1]; "x;y" ]'),
    ],
)
def test_any_cells_keep_the_grid_rules(rows, options, expected):
    assert plav.dumps(rows, cells="any", **options) == expected


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"cells": 1}, TypeError, "argument 'cells' must be str, not 'int'"),
        ({"cells": None}, TypeError, "argument 'cells' must be str, not 'NoneType'"),
        ({"cells": b"any"}, TypeError, "argument 'cells' must be str, not 'bytes'"),
        ({"cells": "Any"}, ValueError, 'argument \'cells\' must be "safe" or "any"'),
        ({"cells": ""}, ValueError, 'argument \'cells\' must be "safe" or "any"'),
        (
            {"bare_text": type("B", (), {"__bool__": lambda s: 1 / 0})()},
            ZeroDivisionError,
            "division by zero",
        ),
    ],
)
def test_option_errors(kwargs, error, message):
    with pytest.raises(error) as info:
        plav.dumps([{"a": 1}, {"a": 2}], **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("truth", [1, "yes", [0], 2.5])
def test_bare_text_takes_any_truth_value(truth):
    rows = [{"a": "x y"}, {"a": "z"}]
    assert plav.dumps(rows, bare_text=truth) == "[2: a; x y; z ]"
    assert (
        plav.dumps(rows, bare_text=0) == plav.dumps(rows, bare_text=None) == ('[2: a; "x y"; "z" ]')
    )
    # bare_text implies bare_strings even when bare_strings is passed as False
    assert plav.dumps(rows, bare_text=truth, bare_strings=False) == "[2: a; x y; z ]"


def test_lean_preset_and_cells_in_cells_survive_conversions_that_drop_the_row():
    rows = []

    class Dropper:
        def model_dump(self):
            rows[0].clear()  # the row's cells lose their only other owner
            return {"gone": [1, 2]}

    rows.extend([{"a": Dropper(), "b": "x" * 40, "c": [math.pi]}, {"a": 1, "b": "y", "c": []}])
    text = plav.dumps(rows, **plav.LEAN)
    assert plav.loads(text) == [
        {"a": {"gone": [1, 2]}, "b": "x" * 40, "c": [math.pi]},
        {"a": 1, "b": "y", "c": []},
    ]

    class ListDropper:
        def model_dump(self):
            rows.clear()
            return {}

    rows[:] = [{"a": ListDropper()}, {"a": [1]}, {"a": [2]}]
    with pytest.raises(IndexError):  # a list shortened under dumps ends the call
        plav.dumps(rows, **plav.LEAN)
