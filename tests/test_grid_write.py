"""Mox Grid writing: which lists become grids, the three layouts under every
option, bare strings that read back, and lists that fall back to plain arrays."""

import dataclasses

import pytest

import plav

ANN_BO = [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}]


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
        ({"multiline_mox": True, "indent": 4, "row_count": False},
         '[2]{id,name}:\n    1, "Ann"\n    2, "Bo b"'),
        ({"multiline_mox": True, "delimiter": "tab", "bare_strings": True},
         '[2]{id,name}:\n  1\tAnn\n  2\t"Bo b"'),
        ({"mox_grid": False}, '[{"id":1,"name":"Ann"},{"id":2,"name":"Bo b"}]'),
    ],
)
def test_layouts(kwargs, text):
    assert plav.dumps(ANN_BO, **kwargs) == text


def test_docstring_examples():
    assert plav.dumps([{"id": 1, "x": 10}, {"id": 2, "x": 20}]) == "[2: id, x; 1, 10; 2, 20 ]"
    assert plav.dumps([{"id": 1, "x": 10}, {"id": 2, "x": 20}], row_count=False) == (
        "[: id, x; 1, 10; 2, 20 ]"
    )
    rows = [{"name": "Alice", "dept": "Eng"}, {"name": "Bob", "dept": "Mkt"}]
    assert plav.dumps(rows, bare_strings=True) == "[2: name, dept; Alice, Eng; Bob, Mkt ]"


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        ([{"a": 1, "b": None}, {"a": 2}], {}, '[{"a":1,"b":null},{"a":2}]'),
        ([{"a": 1, "b": None}, {"a": 2, "b": None}], {}, "[2: a, b; 1, null; 2, null ]"),
        ([{"a": 1, "b": None}, {"a": 2, "b": None}], {"implicit_null": True},
         "[2: a, b; 1, ; 2,  ]"),
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
        ([{"a": 1.5, "b": True, "c": "x y"}, {"a": -0.0, "b": False, "c": ""}], {},
         '[2: a, b, c; 1.5, true, "x y"; -0.0, false, "" ]'),
        ({"t": [{"a": 1}, {"a": 2}]}, {"indent": 2}, '{\n  "t": [2:\n    a\n    1\n    2\n  ]\n}'),
        ({"t": [{"a": 1}, {"a": 2}]}, {"multiline_mox": True}, '{"t":[2]{a}:\n    1\n    2}'),
        ([[{"a": 1}, {"a": 2}], [{"a": 1}, {"a": 2}]], {}, "[[2: a; 1; 2 ],[2: a; 1; 2 ]]"),
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


@pytest.mark.parametrize("bad", [5, None, "row", [1], ("a",)])
@pytest.mark.parametrize("where", [10, 30, 60])
def test_non_dict_after_the_sample_gives_a_plain_array(bad, where):
    rows = [{"a": i} for i in range(70)]
    rows[where] = bad
    assert plav.dumps(rows) == plav.dumps(rows, mox_grid=False)


@pytest.mark.parametrize("layout", [{}, {"indent": 2}, {"multiline_mox": True}])
@pytest.mark.parametrize("where", [1, 10, 30, 60])
def test_extra_key_anywhere_gives_a_plain_array(where, layout):
    rows = [{"a": i} for i in range(70)]
    rows[where] = {"a": 0, "z": 9}
    assert plav.dumps({"k": rows}, **layout) == plav.dumps({"k": rows}, mox_grid=False, **layout)
    assert plav.dumps([{"a": 1}, {"a": 2, "z": 9}]) == '[{"a":1},{"a":2,"z":9}]'


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


def test_list_shrinking_while_its_grid_is_written():
    rows = [{"a": i, "m": None} for i in range(30)]

    class Shrink:
        def model_dump(self):
            del rows[20:]
            return 0

    rows[15]["m"] = Shrink()
    with pytest.raises(IndexError):
        plav.dumps(rows)


BARE = [
    ("Alice", "Alice"),
    ("nice", "nice"),
    ("nullable", "nullable"),
    ("Nancy", "Nancy"),
    ("NAN", "NAN"),
    ("INF", "INF"),
    ("NAn", "NAn"),
    ("InF", "InF"),
    ("x-1", "x-1"),
    ("trueish", "trueish"),
    ("Infinite", "Infinite"),
    ("true", '"true"'),
    ("false", '"false"'),
    ("null", '"null"'),
    ("NaN", '"NaN"'),
    ("Nan", '"Nan"'),
    ("nan", "nan"),
    ("Inf", '"Inf"'),
    ("Infinity", '"Infinity"'),
    ("INfinity", '"INfinity"'),
    ("1x", '"1x"'),
    ("a b", '"a b"'),
    ("", '""'),
    ("caf\u00e9", '"caf\u00e9"'),
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


@dataclasses.dataclass
class P:
    x: int
    y: str


class M:
    def __init__(self, **kw):
        self.kw = kw

    def model_dump(self):
        return self.kw


def test_lists_of_models_and_dataclasses():
    assert plav.dumps([M(a=1, b="x"), M(a=2, b="y")]) == '[2: a, b; 1, "x"; 2, "y" ]'
    assert plav.dumps([P(1, "a"), P(2, "b")], indent=1) == '[2:\n x, y\n 1, "a"\n 2, "b"\n]'
    # A model converting to something other than a dict: a plain array.
    assert plav.dumps([M(a=1), 7]) == '[{"a":1},7]'
    # Converted rows that do not share keys: plain array of the objects.
    assert plav.dumps([M(a=1), M(b=2)]) == '[{"a":1},{"b":2}]'


def test_grid_of_models_with_extra_key_after_sample():
    rows = [M(a=i) for i in range(60)]
    rows[55] = M(a=0, extra=1)
    assert plav.dumps(rows) == plav.dumps(rows, mox_grid=False)


def test_empty_last_row_of_one_key_grid_keeps_its_null():
    rows = [{"a": None}, {"a": 1}, {"a": None}]
    assert plav.dumps(rows, implicit_null=True) == "[3: a; ; 1; null ]"
    assert plav.dumps(rows, implicit_null=True, multiline_mox=True) == "[3]{a}:\n  \n  1\n  null"
    assert plav.loads(plav.dumps(rows, implicit_null=True)) == rows
