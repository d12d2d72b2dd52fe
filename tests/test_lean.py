"""cells="any", bare_text and plav.LEAN: every option mix reads back; bare strings too."""

import re

import pytest
from conftest import Model, Point, same_or_null_filled, words
from hypothesis import given, settings
from hypothesis import strategies as st

import plav

# Strings like what the reader treats specially: numbers, literals, comments, syntax, spaces.
LOOKALIKES = words(
    "12 -12 007 1.5.3 1e5 -1.5e3 1e5x 12/05/2020 2018-05-09T12:03:18Z - +1 .5 0x1F NaN nan Nan"
    " -NaN Infinity -Infinity inf INF Inf-x NaN- true false null truex null-ish t n Nancy //c"
    ' /*c*/ / a/ #x a,b a|b a;b a]b [a {a a} "q a"b a\\b \\ \x7f caf\u00e9 \u2028 \ufeffx'
    " ana.mensah@example.com http://x.y/z a:b : 12:30",
    " ",
) + ["", " ", "12 apples", "true x", "a // b", "a /* b", "a\tb", " lead", "trail "]
LOOKALIKES += ["a\nb", "\r", "\f", "Ana Mensah", "1 2", "12 /x", "12  ", "1" * 30, "9" * 5000]
SYNTAX = st.sampled_from('0123456789-+.eEIiNnaAfFtTyYlsu /*,;|\t\n"\\[]{}:#x\u00e9')
TEXT = st.sampled_from(LOOKALIKES) | st.text(SYNTAX, max_size=10)
TEXT |= st.text(st.characters(blacklist_categories=("Cs",)), max_size=10)
SCALARS = st.none() | st.booleans() | st.integers(-(2**80), 2**80) | st.floats() | TEXT


def rows_of(values, keys):
    return st.lists(st.fixed_dictionaries({k: values for k in keys}), min_size=2, max_size=8)


@st.composite
def documents(draw):
    # nested data, lists of like dicts common; rows after the first may lack the last key
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
    if isinstance(value, Point | Model):  # what dumps writes: objects through their conversion
        return plain(value.model_dump() if isinstance(value, Model) else vars(value))
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    return value


BOOLEAN_OPTIONS = ("bare_text", "bare_strings", "implicit_null", "unquoted_keys", "row_count")
DELIMITERS = ["comma", "tab", "pipe"]
CHOICES = {"cells": st.sampled_from(["safe", "any"]), "delimiter": st.sampled_from(DELIMITERS)}
OPTIONS = st.fixed_dictionaries({k: st.booleans() for k in BOOLEAN_OPTIONS} | CHOICES)


@settings(max_examples=250)
@given(doc=documents(), options=OPTIONS, indent=st.sampled_from([None, 0, 2]))
def test_every_option_mix_reads_back(doc, options, indent):
    if indent is not None:
        options = {**options, "indent": indent, "mox_grid": False}
    text = plav.dumps(doc, **options)
    assert same_or_null_filled(plav.loads(text), plain(doc)), text


def cell_of(text):
    return re.match(r"\[2: a(?:, |\t| \| )b; (.*?)(?:, |\t| \| )1;", text, re.DOTALL).group(1)


@settings(max_examples=1500)
@given(s=TEXT)
def test_a_string_written_bare_reads_back_as_itself_anywhere(s):
    rows = [{"a": s, "b": 1}, {"a": s, "b": 2}]
    written = {
        cell_of(plav.dumps(rows, bare_text=True, cells="any", delimiter=d)) for d in DELIMITERS
    }
    assert len(written) == 1  # the decision does not depend on the delimiter
    if written != {s}:
        assert written.pop()[0] == '"'  # otherwise it is quoted
        return
    for sep in (", ", ",", "\t", " | ", "|"):
        for grid in (
            f"[: a{sep}b; {s}{sep}1; 2{sep}{s} ]",
            f"[2: a; {s}; {s}]",
            f"[: a{sep}b{sep}c; {s}{sep}{sep}{s};{s}{sep}1{sep}{s}  ]",
            f'{{"k": [: a{sep}b; {s}{sep}[: c; {s} ] ]}}',
        ):
            read = plav.loads(grid)
            table = read["k"] if isinstance(read, dict) else read
            cells = [v for row in table for v in row.values() if isinstance(v, str)]
            if isinstance(read, dict):
                cells.append(read["k"][0]["b"][0]["c"])
            assert cells and all(c == s for c in cells), grid
    # a header key is bare under the same or a looser rule; every layout writes the cell alike
    keyed = plav.dumps([{s: 1}, {s: 2}], bare_text=True)
    assert keyed.startswith(f"[2: {s}; ") and plav.loads(keyed) == [{s: 1}, {s: 2}]
    for layout in ({"indent": 2}, {"multiline_mox": True}):
        assert f"{s}, 1" in plav.dumps(rows, bare_text=True, cells="any", **layout)


BARE = "Ana_Mensah ana.mensah@example.com http://x.y/z 2018-05-09T12:03:18Z 1.5.3 007 - truex Inf-x"
QUOTED = '12/05/2020 12 -1.5e3 NaN Nan -Infinity true null a,b a|b a;b a]b [a {a "q a\\b //c /*c'


@pytest.mark.parametrize(
    "s, bare",
    [(w.replace("_", " "), True) for w in words(BARE)]
    + [(w, False) for w in words(QUOTED)]
    + [("caf\u00e9", True), ("a // b", True), ("12 apples", True)]
    + [(w, False) for w in ["", " x", "x ", "a\tb", "a\nb", "1" * 5000]],
)
def test_which_strings_lean_writes_bare(s, bare):
    text = plav.dumps([{"a": s}, {"a": s}], **plav.LEAN)
    assert (text == f"[2: a; {s}; {s} ]") is bare, text
    assert plav.loads(text) == [{"a": s}, {"a": s}]


NESTED = [
    {"id": 1, "at": "2018-05-09T12:03", "t": ["a"], "m": {"k": [{"q": 1}, {"q": 2}]}},
    {"id": 2, "at": "a, b", "t": (), "m": Point(1, "y z")},
]
SAFE = '[{"id":1,"at":"2018-05-09T12:03","t":["a"],"m":{"k":[2: q; 1; 2 ]}},{"id":2,"at":"a, b",'
ANY = '[2: id, at, t, m; 1, "2018-05-09T12:03", ["a"], {"k":[2: q; 1; 2 ]}; 2, "a, b", [], '
LEAN = '[2: id\tat\tt\tm; 1\t2018-05-09T12:03\t["a"]\t{k:[2: q; 1; 2 ]}; 2\t"a, b"\t[]\t'
MULTI = '[2]{id,at,t,m}:\n  1, "2018-05-09T12:03", ["a"], {"k":[: q; 1; 2 ]}\n  2, "a, b", [], '
MULTI_OPTIONS = {"cells": "any", "multiline_mox": True, "row_count": False}
NAMES = [{"a": "Ana Mensah", "b": "Infinity"}, {"a": "x-1", "b": 1}]
ANY_NULL, FIRST_BARE = (
    {"cells": "any", "implicit_null": True},
    {"bare_text": [0], "bare_strings": False},
)


@pytest.mark.parametrize(
    "rows, options, expected",
    [
        # any value is a cell, written compact
        (NESTED, {}, SAFE + '"t":[],"m":{"x":1,"y":"y z"}}]'),
        (NESTED, {"cells": "any"}, ANY + '{"x":1,"y":"y z"} ]'),
        (NESTED, plav.LEAN, LEAN + '{x:1,y:"y z"} ]'),
        (NESTED, MULTI_OPTIONS, MULTI + '{"x":1,"y":"y z"}'),
        (NAMES, {"bare_strings": True}, '[2: a, b; "Ana Mensah", "Infinity"; x-1, 1 ]'),
        (NAMES, FIRST_BARE, '[2: a, b; Ana Mensah, "Infinity"; x-1, 1 ]'),
        (NAMES, {"bare_text": 0}, '[2: a, b; "Ana Mensah", "Infinity"; "x-1", 1 ]'),
        # any cells keep the grid rules: a later row with a key outside the header
        ([{"a": [1]}, {"a": 2, "b": 3}], {"cells": "any"}, '[{"a":[1]},{"a":2,"b":3}]'),
        ([{"a": {}, "b": None}, {"a": [], "b": None}], ANY_NULL, "[2: a, b; {}, ; [],  ]"),
        ([Model({"a": [1]}), Model({"a": "x;y"})], {"cells": "any"}, '[2: a; [1]; "x;y" ]'),
    ],
)
def test_cells_and_bare_options_write_exactly(rows, options, expected):
    assert plav.dumps(rows, **options) == expected


@pytest.mark.parametrize("layout", [{"indent": 2}, {"indent": 2, "multiline_mox": True}])
def test_cell_keys_take_the_compact_form_after_the_same_keys_outside(layout):
    # a cell must not reuse a remembered key form with the layout's separator, nor vice versa
    rows = [{"a": {"k": i, "m": [i]}} for i in range(2)]
    text = plav.dumps({"k": 0, "m": rows, "z": {"k": 1}}, cells="any", **layout)
    assert '{"k":0,"m":[0]}' in text and '{"k":1,"m":[1]}' in text
    assert text.startswith('{\n  "k": 0,') and text.endswith('"z": {\n    "k": 1\n  }\n}')
