"""Mox Grids: reading, which lists dumps writes as grids and how, and read-back."""

import decimal
import json
import math

import pytest
from conftest import Model, same_or_null_filled, words

import plav
from plav import dumps, loads


def rows(keys, *values):
    return [dict(zip(keys, v)) for v in values]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[3: id, n; 1, Ann; 2, Bo; 3, 7 ]", rows(["id", "n"], (1, "Ann"), (2, "Bo"), (3, 7))),
        ('[: id\tn; 1\t"Ann"; 2\tBo b ]', rows(["id", "n"], (1, "Ann"), (2, "Bo b"))),
        ("[2: a | b; 1|2; 3 | 4 ]", rows("ab", (1, 2), (3, 4))),
        ("[2: a, b; 1, ; 2 ]", rows("ab", (1, None), (2, None))),
        ("[: a, b; , 2; ;; ]", rows("ab", (None, 2), (None, None), (None, None))),
        ('[: a, b; x\\;y, "q;r" ]', rows("ab", ("x;y", "q;r"))),
        ('[: a; [1, 2]; {"k": [: x; 1 ]} ]', rows("a", ([1, 2],), ({"k": [{"x": 1}]},))),
        ('[: "a b", "k\\u00e9", c d; 1, 2, 3 ]', rows(["a b", "k\u00e9", "c d"], (1, 2, 3))),
        ("[0: a, b;]", []),
        ("[: a /* c */; /* c */ 1 ]", [{"a /* c */": 1}]),
        ("[: a; caf\\\u00e9; x\\ ; a\\,b ]", rows("a", ("caf\u00e9",), ("x",), ("a,b",))),
        ("[: a, a, ; 1, 2 ]", [{"a": 2}]),
        ("[[: a; [: b; 1 ] ], [2: c; 2 ]]", [[{"a": [{"b": 1}]}], [{"c": 2}]]),
        # a delimiter after the last cell is ignored before the row end
        ("[2: a, b; 1, 2, ; 3, 4 |  ]", rows("ab", (1, 2), (3, 4))),
        # tab-delimited grids keep empty cells in place
        ("[: a\tb\tc; \t2\t; 1\t\t3 ]", rows("abc", (None, 2, None), (1, None, 3))),
        ("[: a\tb; /* c */\t[1,\t2] ]", rows("ab", (None, [1, 2]))),
        # a tab skipped as whitespace after a comma does not make the grid tab-delimited
        ("[: a,\tb;\t1,\t2 ]", rows("ab", (1, 2))),
        # brackets in strings and bare cells never break a grid
        (
            '[: a, b; "]]]", x; "[[[", {"k": "}}"}; "{", y{ ]',
            [{"a": "]]]", "b": "x"}, {"a": "[[[", "b": {"k": "}}"}}, {"a": "{", "b": "y{"}],
        ),
    ],
)
def test_reading(text, expected):
    assert loads(text) == expected


# A cell that starts like a number or literal is text when its token is no valid one or
# a byte that continues the word follows it (after spaces); else it is the value.
@pytest.mark.parametrize(
    "cell, expected",
    [(w, w) for w in words("2018-05-09T12:03:18Z 1.5.3 007 - -x 12:30 1e5x 3. 0x1F 12a NaN- Inf_x")]
    + [(w, w) for w in words("nice Nancy N/A NaNa Infinity2 null-ish") + ["true x", "12 apples"]]
    + [("12 \\, 3", "12 , 3"), ("12  ", 12), ("-1.5e3", -1500.0), ("18446744073709551616", 2**64)]
    + [("true", True), ("null", None), ("-Infinity", -math.inf)],
)
def test_number_and_literal_like_cells(cell, expected):
    for text in (
        f"[: a; {cell} ]",
        f"[: a, b; {cell}, 1 ]",
        f"[: a\tb; {cell}\t1 ]",
        f"[: a | b; {cell} | 1 ]",
    ):
        assert loads(text)[0]["a"] == expected, text
    assert math.isnan(loads("[: a; NaN ]")[0]["a"])


def test_rows_beyond_the_estimate_are_read():
    cells = ['"}"', '"]"', '"{"', '"["', '";"', "x{", "1"] * 30
    expected = [{"a": c.strip('"') if c != "1" else 1} for c in cells]
    assert loads("[[: a; " + "; ".join(cells) + " ], 5]") == [expected, 5]


def test_row_limit():
    limit = "Mox Grid exceeds 1M rows limit (approximate position: ±32 bytes from 5)"
    got = loads("[: a; " + "1;" * 1_000_000 + " ]")
    assert len(got) == 1_000_000 and got[-1] == {"a": 1}
    del got
    # The estimate refuses 1,000,001 rows before reading any: the bad first row is never seen.
    for text in ("[: a; 1 2;" + "1;" * 1_000_000 + " ]", "[: a;" + "1;" * 1_000_001 + "]"):
        with pytest.raises(ValueError) as info:
            loads(text)
        assert str(info.value) == limit
    # A quoted '}' throws the estimate off; the limit still holds while reading.
    with pytest.raises(ValueError, match="exceeds 1M rows"):
        loads('{"t": [: a; "}";' + "1;" * 1_000_000 + "]}")
    # Semicolons in strings and bare cells do not count.
    got = loads("[: a, b; " + '"x;y;z", q\\;r;' * 600_000 + " ]")
    assert len(got) == 600_000 and got[-1] == {"a": "x;y;z", "b": "q;r"}


# ---- writing ----

NULLS = [{"a": 1, "b": None}, {"a": 2, "b": None}]
ANN_BO = [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}]


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, '[2: id, name; 1, "Ann"; 2, "Bo b" ]'),
        ({"delimiter": "tab"}, '[2: id\tname; 1\t"Ann"; 2\t"Bo b" ]'),
        ({"indent": 2, "row_count": False}, '[:\n  id, name\n  1, "Ann"\n  2, "Bo b"\n]'),
        ({"indent": 0, "delimiter": "|"}, '[2:\nid | name\n1 | "Ann"\n2 | "Bo b"\n]'),
        ({"multiline_mox": True}, '[2]{id,name}:\n  1, "Ann"\n  2, "Bo b"'),
        (
            {"multiline_mox": True, "indent": 4, "row_count": False},
            '[2]{id,name}:\n    1, "Ann"\n    2, "Bo b"',
        ),
        (
            {"multiline_mox": True, "delimiter": "tab", "bare_strings": True},
            '[2]{id,name}:\n  1\tAnn\n  2\t"Bo b"',
        ),
        ({"mox_grid": False}, '[{"id":1,"name":"Ann"},{"id":2,"name":"Bo b"}]'),
    ],
)
def test_layouts(kwargs, text):
    assert dumps(ANN_BO, **kwargs) == text


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ([{"a": 1, "b": None}, {"a": 2}], {}, '[{"a":1,"b":null},{"a":2}]'),
        (NULLS, {}, "[2: a, b; 1, null; 2, null ]"),
        (NULLS, {"implicit_null": True}, "[2: a, b; 1, ; 2,  ]"),
        ([{"a": None}, {"a": 1}, {"a": None}], {"implicit_null": True}, "[3: a; ; 1; null ]"),
        ([{"a": None}] * 2, {"implicit_null": True, "multiline_mox": True}, "[2]{a}:\n  \n  null"),
        ([{"full name": 1}, {"full name": 2}], {}, '[2: "full name"; 1; 2 ]'),
        (
            [{"null": 1, "a b": 2}, {"a b": 4, "null": 3}],
            {"unquoted_keys": True},
            '[2: null, "a b"; 1, 2; 3, 4 ]',
        ),
        ([{"a": 1}, {"a": [1]}], {}, '[{"a":1},{"a":[1]}]'),
        ([{"a": "x,y"}, {"a": "z"}], {}, '[{"a":"x,y"},{"a":"z"}]'),
        ([{1: [1]}, {1: [2]}], {}, '[{"1":[1]},{"1":[2]}]'),
        (
            [{"a": 1.5, "b": True, "c": "x"}, {"a": -0.0, "b": False, "c": ""}],
            {},
            '[2: a, b, c; 1.5, true, "x"; -0.0, false, "" ]',
        ),
        ({"t": [{"a": 1}, {"a": 2}]}, {"indent": 2}, '{\n  "t": [2:\n    a\n    1\n    2\n  ]\n}'),
        ([Model({"a": 1}), Model({"a": 2})], {}, "[2: a; 1; 2 ]"),
        # a model converting to a non-dict, and converted rows that share no keys
        ([Model({"a": 1}), 7], {}, '[{"a":1},7]'),
        ([Model({"a": 1}), Model({"b": 2})], {}, '[{"a":1},{"b":2}]'),
    ],
)
def test_which_lists_are_grids(value, kwargs, text):
    assert dumps(value, **kwargs) == text


def test_str_subclass_keys_sharing_a_text_stay_plain():
    K = type("K", (str,), {"__hash__": lambda s: 1, "__eq__": lambda s, o: s is o})
    assert dumps([{"a": 1, K("a"): 2}, {"a": 3, K("a"): 4}]) == '[{"a":1,"a":2},{"a":3,"a":4}]'


def test_sampled_rows_and_late_rows():
    rows = [{"a": i, "b": i} for i in range(20)]
    rows[14]["b"] = [1, {"x": "a,b"}]  # past the first ten rows: written in its cell
    assert '; 13, 13; 14, [1,{"x":"a,b"}]; 15, 15;' in dumps(rows)
    del rows[3]["b"]  # a row lacks a key: the first fifty are sampled, all scalar
    assert dumps(rows[:10]).startswith("[10: a, b; 0, 0; 1, 1; 2, 2; 3, null; 4, 4;")
    assert dumps(rows[:4], implicit_null=True) == "[4: a, b; 0, 0; 1, 1; 2, 2; 3,  ]"
    assert dumps(rows).startswith('[{"a":0,"b":0},')


@pytest.mark.parametrize("bad", [5, None, "row", [1], {"a": 0, "z": 9}])
@pytest.mark.parametrize("where", [1, 30, 60])
def test_a_row_unlike_the_first_anywhere_gives_a_plain_array(bad, where):
    rows = [{"a": i} for i in range(70)]
    rows[where] = bad
    for layout in [{}, {"indent": 2}, {"multiline_mox": True}]:
        assert dumps(rows, **layout) == dumps(rows, mox_grid=False, **layout)
    assert dumps([rows, ANN_BO]).endswith(',[2: id, name; 1, "Ann"; 2, "Bo b" ]]')
    models = [Model({"a": i}) for i in range(70)]
    models[where] = Model({"a": 0, "extra": 1}) if isinstance(bad, dict) else bad
    assert dumps(models) == dumps(models, mox_grid=False)


# Short lists are written from the cells that detection read when every row holds
# the first row's key objects in its order; rows whose keys are equal but other
# objects are matched afresh. Both must give the same text, whatever one row does.
@pytest.mark.parametrize(
    "change",
    [
        lambda r: r,
        lambda r: dict(reversed(r.items())),
        lambda r: {**r, "extra": 1},
        lambda r: {k: v for k, v in r.items() if k != "b"},
        lambda r: {**r, "b": decimal.Decimal("1.5")},
        lambda r: {**r, "b": [1, {"x": 2}]},
        lambda r: {**r, "b": type("S", (str,), {})("sub")},
        lambda r: {**r, "b": None},
    ],
)
@pytest.mark.parametrize("n", [2, 10, 11])
def test_cells_read_by_detection_match_a_fresh_walk(change, n):
    def fresh(key):  # an equal str that is another object
        return "".join(list(key))

    for at in range(n):
        shared = [{"a": i, "b": f"t{i}", "c": i / 4} for i in range(n)]
        shared[at] = change(shared[at])
        other = [{fresh(k): v for k, v in row.items()} for row in shared]
        plain = json.loads(json.dumps(shared, default=float))
        for options in [{}, {"sort_keys": True}, {"implicit_null": True, "bare_strings": True}]:
            text = dumps(shared, **options)
            assert text == dumps(other, **options), (at, options)
            assert same_or_null_filled(loads(text), plain), (at, options)


# ---- read back (the fuzzers' dumps target reads back generated tables too) ----


@pytest.mark.parametrize(
    "options",
    [{}, {"bare_strings": True, "implicit_null": True, "delimiter": "tab"}, plav.LEAN]
    + [{"unquoted_keys": True, "row_count": False, "delimiter": "pipe", "bare_strings": True}],
)
def test_a_long_table_with_late_differences_reads_back(options):
    rows = [{"id": i, "name": f"n{i}", "v": i * 0.25} for i in range(120)]
    for i, v in enumerate([-0.0, 1e16, 5e-324, math.inf, math.nan, "true", "Nancy", ""]):
        rows[i]["v"] = v
    rows[60]["v"] = "a;b"
    rows[55] = {"name": None, "id": 55}  # past the sampled rows: out of order, a key short
    rows[90]["v"] = {"nested": [1, 2, {"x": "a;b"}]}
    rows[100]["name"] = [{"k": 1}, {"k": 2}]
    text = dumps(rows, **options)
    assert text.startswith(("[120: ", "[: ")) and same_or_null_filled(loads(text), rows)
    assert all(list(r) == ["id", "name", "v"] for r in loads(text))  # every row in header order
