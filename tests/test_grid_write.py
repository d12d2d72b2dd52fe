"""Mox Grid writing: which lists become grids, the three layouts under every
option, bare strings that read back, and lists that fall back to plain arrays."""

import dataclasses

import pytest

import plav

ANN_BO = [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}]


@dataclasses.dataclass
class P:
    x: int
    y: str


class M:
    def __init__(self, **kw):
        self.kw = kw

    def model_dump(self):
        return self.kw


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, '[2: id, name; 1, "Ann"; 2, "Bo b" ]'),
        ({"row_count": False}, '[: id, name; 1, "Ann"; 2, "Bo b" ]'),
        ({"bare_strings": True}, '[2: id, name; 1, Ann; 2, "Bo b" ]'),
        ({"delimiter": "pipe"}, '[2: id | name; 1 | "Ann"; 2 | "Bo b" ]'),
        ({"delimiter": "tab"}, '[2: id\tname; 1\t"Ann"; 2\t"Bo b" ]'),
        ({"indent": 2}, '[2:\n  id, name\n  1, "Ann"\n  2, "Bo b"\n]'),
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
    assert plav.dumps(ANN_BO, **kwargs) == text


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ([{"a": 1, "b": None}, {"a": 2}], {}, '[{"a":1,"b":null},{"a":2}]'),
        ([{"a": 1, "b": None}, {"a": 2, "b": None}], {}, "[2: a, b; 1, null; 2, null ]"),
        (
            [{"a": 1, "b": None}, {"a": 2, "b": None}],
            {"implicit_null": True},
            "[2: a, b; 1, ; 2,  ]",
        ),
        ([{"full name": 1}, {"full name": 2}], {}, '[2: "full name"; 1; 2 ]'),
        ([{"a": 1, "b": 2}, {"b": 3, "a": 4}], {}, "[2: a, b; 1, 2; 4, 3 ]"),
        ([{"a": 1}, {"a": 2}], {"unquoted_keys": True}, "[2: a; 1; 2 ]"),
        ([{"a": 1}], {}, '[{"a":1}]'),
        ([{}, {}], {}, "[{},{}]"),
        ([{"a": 1}, {"a": [1]}], {}, '[{"a":1},{"a":[1]}]'),
        ([{"a": "x,y"}, {"a": "z"}], {}, '[{"a":"x,y"},{"a":"z"}]'),
        ([{"a": "p|q"}, {"a": 1}], {}, '[{"a":"p|q"},{"a":1}]'),
        ([{"a": 1, "b": 2}, {"a": 3}], {}, '[{"a":1,"b":2},{"a":3}]'),
        ([{1: [1]}, {1: [2]}], {}, '[{"1":[1]},{"1":[2]}]'),
        (
            [{"a": 1.5, "b": True, "c": "x y"}, {"a": -0.0, "b": False, "c": ""}],
            {},
            '[2: a, b, c; 1.5, true, "x y"; -0.0, false, "" ]',
        ),
        ({"t": [{"a": 1}, {"a": 2}]}, {"indent": 2}, '{\n  "t": [2:\n    a\n    1\n    2\n  ]\n}'),
        ({"t": [{"a": 1}, {"a": 2}]}, {"multiline_mox": True}, '{"t":[2]{a}:\n    1\n    2}'),
        ([[{"a": 1}, {"a": 2}], [{"a": 1}, {"a": 2}]], {}, "[[2: a; 1; 2 ],[2: a; 1; 2 ]]"),
        (
            [{"id": 1, "x": 10}, {"id": 2, "x": 20}],
            {"row_count": False},
            "[: id, x; 1, 10; 2, 20 ]",
        ),
        (
            [{"name": "Alice", "dept": "Eng"}, {"name": "Bob", "dept": "Mkt"}],
            {"bare_strings": True},
            "[2: name, dept; Alice, Eng; Bob, Mkt ]",
        ),
        ([M(a=1, b="x"), M(a=2, b="y")], {}, '[2: a, b; 1, "x"; 2, "y" ]'),
        ([P(1, "a"), P(2, "b")], {"indent": 1}, '[2:\n x, y\n 1, "a"\n 2, "b"\n]'),
        ([M(a=1), 7], {}, '[{"a":1},7]'),  # a model converting to a non-dict: a plain array
        ([M(a=1), M(b=2)], {}, '[{"a":1},{"b":2}]'),  # converted rows that share no keys
    ],
)
def test_grid_decisions(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


def test_sampled_check_tolerates_missing_keys():
    rows = [{"a": i, "b": i} for i in range(10)]
    del rows[3]["b"]
    assert plav.dumps(rows) == (
        "[10: a, b; 0, 0; 1, 1; 2, 2; 3, null; 4, 4; 5, 5; 6, 6; 7, 7; 8, 8; 9, 9 ]"
    )
    assert plav.dumps(rows[:4], implicit_null=True) == "[4: a, b; 0, 0; 1, 1; 2, 2; 3,  ]"


def test_later_rows_with_nested_values_are_written_in_their_cell():
    rows = [{"k": i, "v": i} for i in range(20)]
    rows[14]["v"] = [1, {"x": "a,b"}]
    text = plav.dumps(rows)
    assert text.startswith("[20: k, v; 0, 0;")
    assert '; 14, [1,{"x":"a,b"}]; 15, 15;' in text


@pytest.mark.parametrize("bad", [5, None, "row", [1], ("a",), {"a": 0, "z": 9}])
@pytest.mark.parametrize("where", [1, 10, 30, 60])
def test_a_row_unlike_the_first_anywhere_gives_a_plain_array(bad, where):
    rows = [{"a": i} for i in range(70)]
    rows[where] = bad
    for layout in [{}, {"indent": 2}, {"multiline_mox": True}]:
        assert plav.dumps({"k": rows}, **layout) == plav.dumps(
            {"k": rows}, mox_grid=False, **layout
        )
    models = [M(a=i) for i in range(70)]
    models[where] = M(a=0, extra=1) if isinstance(bad, dict) else bad
    assert plav.dumps(models) == plav.dumps(models, mox_grid=False)


def test_abandoned_grid_inside_other_output():
    rows = [{"a": i} for i in range(12)] + [{"a": 1, "b": "\u00e9"}]
    value = {"before": "x", "rows": rows, "after": [{"b": 1}, {"b": 2}]}
    assert plav.dumps(value) == (
        '{"before":"x","rows":' + plav.dumps(rows, mox_grid=False) + ',"after":[2: b; 1; 2 ]}'
    )


def test_non_string_key_in_first_dict_is_a_type_error():
    with pytest.raises(TypeError, match="int"):
        plav.dumps([{1: "x"}, {1: "y"}])
    assert plav.dumps({1: "x"}) == '{"1":"x"}'


BARE = [
    *[
        (w, w)
        for w in [
            "Alice",
            "nice",
            "nullable",
            "Nancy",
            "NAN",
            "INF",
            "NAn",
            "InF",
            "x-1",
            "trueish",
            "Infinite",
            "nan",
        ]
    ],
    *[
        (w, f'"{w}"')
        for w in [
            "true",
            "false",
            "null",
            "NaN",
            "Nan",
            "Inf",
            "Infinity",
            "INfinity",
            "1x",
            "a b",
            "",
            "caf\u00e9",
        ]
    ],
]
LAYOUTS = [
    ({}, "[2: s; {cell}; k ]"),
    ({"indent": 2}, "[2:\n  s\n  {cell}\n  k\n]"),
    ({"multiline_mox": True}, "[2]{{s}}:\n  {cell}\n  k"),
]


@pytest.mark.parametrize("layout, shape", LAYOUTS)
@pytest.mark.parametrize("word, cell", BARE)
def test_bare_strings_only_where_they_read_back(word, cell, layout, shape):
    text = plav.dumps([{"s": word}, {"s": "k"}], bare_strings=True, **layout)
    assert text == shape.format(cell=cell)


def test_header_keys_bare_whatever_the_option():
    rows = [{"null": 1, "a b": 2}, {"null": 3, "a b": 4}]
    assert plav.dumps(rows) == '[2: null, "a b"; 1, 2; 3, 4 ]'
    assert plav.dumps(rows, unquoted_keys=True) == '[2: null, "a b"; 1, 2; 3, 4 ]'


def test_str_subclass_keys_sharing_a_text_stay_plain():
    class K(str):
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return self is other

    rows = [{"a": 1, K("a"): 2}, {"a": 3, K("a"): 4}]
    assert plav.dumps(rows) == '[{"a":1,"a":2},{"a":3,"a":4}]'


def test_empty_last_row_of_one_key_grid_keeps_its_null():
    rows = [{"a": None}, {"a": 1}, {"a": None}]
    assert plav.dumps(rows, implicit_null=True) == "[3: a; ; 1; null ]"
    assert plav.dumps(rows, implicit_null=True, multiline_mox=True) == "[3]{a}:\n  \n  1\n  null"
    assert plav.loads(plav.dumps(rows, implicit_null=True)) == rows
