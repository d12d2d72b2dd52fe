"""Reading what a model writes: raw_decode, extract, strict grids, the reply hint and the CLI."""

import json

import pytest
from conftest import JSON_VALUES, parse_error, same
from hypothesis import given
from hypothesis import strategies as st

import plav
from plav import cli

END = "Unexpected end of input"
NOT_FOUND = "No JSON or PLAV value found"


# --- raw_decode -------------------------------------------------------------------------------


def json_raw(text, start):
    """json's raw_decode from the first non-space position at or after start."""
    i = start
    while i < len(text) and text[i] in " \t\r\n":
        i += 1
    return json.JSONDecoder().raw_decode(text, i)


def agree(text, start):
    try:
        expected = json_raw(text, start)
    except ValueError:
        with pytest.raises(ValueError):
            plav.raw_decode(text, start)
        return
    value, end = plav.raw_decode(text, start)
    assert same(value, expected[0]) and end == expected[1]
    data = text.encode()
    value, end = plav.raw_decode(data, len(text[:start].encode()))
    assert same(value, expected[0]) and len(data[:end].decode()) == expected[1]


def value_starts(text):
    """Positions where a JSON value starts and positions just after a value, outside
    strings (json reads no further than a value either way)."""
    starts, in_string, escaped = set(), False, False
    for i, c in enumerate(text):
        if in_string:
            in_string = escaped or c != '"'
            escaped = not escaped and c == "\\"
            if not in_string:
                starts.add(i + 1)
            continue
        if c in '[{"-0123456789tfnNI' and (i == 0 or text[i - 1] in "[{,: \n"):
            starts.add(i)
        if c in "]},":
            starts.add(i + 1)
        in_string = c == '"'
    return sorted(starts)


@given(JSON_VALUES, st.sampled_from([None, 2]))
def test_raw_decode_agrees_with_json(value, indent):
    text = json.dumps(value, indent=indent, ensure_ascii=False) + ' \n {"next": [1]} 7'
    for start in value_starts(text):
        agree(text, start)


@pytest.mark.parametrize(
    "text",
    [
        '[1, 2] {"a": 3}',
        '  {"a": [1, {"b": null}]}x',
        '"str" 12',
        "12 13",
        "-1.5e3]",
        "true false",
        '{"é": "ü"} [1]',
        "[]",
        "{} {}",
    ],
)
def test_raw_decode_every_position(text):
    for start in range(len(text) + 1):
        agree(text, start)


def test_raw_decode_reads_a_sequence_and_grids():
    text = '[2: id, name; 1, Ann; 2, Bo ] /* c */ {"k": [: a; x ]} "é"'
    values, i = [], 0
    while i < len(text.rstrip()):
        value, i = plav.raw_decode(text, i)
        values.append(value)
    assert values == [[{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo"}], {"k": [{"a": "x"}]}, "é"]


def test_raw_decode_positions_in_non_ascii_text_whatever_the_order_of_calls():
    # Each start is found from where the previous call on the same str ended, when
    # it lies beyond; calls on another str, or further back, count from the start.
    one = " ".join(json.dumps({"é": "ü" * i, "n": i}, ensure_ascii=False) for i in range(40))
    two = '"\u20ac€" ["ü"] {"ß": 1}'
    starts = value_starts(one)
    order = starts + starts[::-1] + starts[::7] + starts[3::5]
    for k, start in enumerate(order):
        agree(one, start)
        if k % 3 == 0:
            agree(two, value_starts(two)[k % len(value_starts(two))])


def test_raw_decode_on_values_larger_than_its_first_windows():
    rows = [{"id": i, "s": "x" * (i % 90), "t": [i, {"u": "é"}]} for i in range(3000)]
    for text in (json.dumps(rows), plav.dumps(rows)):
        head = "é " * 5
        whole = head + text + " [1]"
        value, end = plav.raw_decode(whole, len(head))
        assert value == rows and end == len(head + text)
        assert plav.raw_decode(whole, end) == ([1], len(whole))
        assert plav.raw_decode(whole.encode(), len(head.encode()))[0] == rows


def test_raw_decode_schema_and_errors():
    assert plav.raw_decode('x {"p": 1, "q": 2} y', 1, ["a", "b"]) == ({"a": 1, "b": 2}, 18)
    with pytest.raises(ValueError, match="idx cannot be negative"):
        plav.raw_decode("[1]", -1)
    with pytest.raises(ValueError, match=END):
        plav.raw_decode("[1]", 4)
    with pytest.raises(ValueError, match=END):
        plav.raw_decode("[1]   ", 3)
    with pytest.raises(ValueError, match=END):
        plav.raw_decode(b"[1]", 10**30)
    for start in ("1", 1.0, None):
        with pytest.raises(TypeError):
            plav.raw_decode("[1]", start)
    with pytest.raises(TypeError):
        plav.raw_decode(123)
    # Errors stand at their place in the whole text.
    with pytest.raises(ValueError) as e:
        plav.raw_decode(b'xxxxx {"a": 1 x}', 5)
    assert str(e.value) == parse_error("Invalid character 'x' at position 14", 14)
    with pytest.raises(ValueError) as e:
        plav.raw_decode(b"x" * 2000 + b"[1, 2", 2000)
    assert str(e.value) == parse_error(END, 2005)


# --- strict grids ------------------------------------------------------------------------------

DELIMITERS = [",", "\t", "|"]


def grid(delim, count, header, *rows):
    d = f"{delim} " if delim != "\t" else "\t"
    head = f"[{'' if count is None else count}: " + d.join(header) + "; "
    return head + "; ".join(d.join(r) for r in rows) + " ]"


@pytest.mark.parametrize("delim", DELIMITERS)
@pytest.mark.parametrize("count", [None, 2])
@pytest.mark.parametrize(
    "rows, message, at_row",
    [
        ([["1", "Ann"], ["2"]], "Mox Grid row has 1 cells, expected 2", 1),
        ([["1", "Ann", "x"], ["2", "Bo"]], "Mox Grid row has 3 cells, expected 2", 0),
        ([["1", "Ann", "x", "y"], ["2", "Bo"]], "Mox Grid row has 4 cells, expected 2", 0),
        ([["1", "Ann", ""], ["2", "Bo"]], "Mox Grid row has 3 cells, expected 2", 0),  # trailing
        ([["1", "Ann"], [""], ["2", "Bo"]], "Mox Grid row has 1 cells, expected 2", 1),  # ;;
    ],
)
def test_strict_cell_counts(delim, count, rows, message, at_row):
    text = grid(delim, count, ["id", "name"], *rows)
    row_at = [i + 1 for i, c in enumerate(text) if c == ";"][at_row]
    while text[row_at] == " ":
        row_at += 1
    with pytest.raises(ValueError) as e:
        plav.loads(text, strict=True)
    assert str(e.value) == parse_error(message, row_at)


@pytest.mark.parametrize("delim", DELIMITERS)
@pytest.mark.parametrize("count, rows", [(1, 2), (3, 2), (0, 1), (5, 0)])
def test_strict_row_counts(delim, count, rows):
    text = "x " + grid(delim, count, ["a", "b"], *[["1", '"q"']] * rows)
    text = "{" + '"g": ' + text[2:] + "}"
    with pytest.raises(ValueError) as e:
        plav.loads(text, strict=True)
    assert str(e.value) == parse_error(f"Mox Grid has {rows} rows, expected {count}", 6)
    plav.loads(text)  # read as today without strict


@pytest.mark.parametrize("delim", DELIMITERS)
@pytest.mark.parametrize("count", [None, 3])
def test_strict_accepts_exact_grids(delim, count):
    text = grid(delim, count, ["a", "b"], ["1", ""], ["", ""], ['"x, y"', "[1, 2]"])
    assert (
        plav.loads(text, strict=True)
        == plav.loads(text)
        == [{"a": 1, "b": None}, {"a": None, "b": None}, {"a": "x, y", "b": [1, 2]}]
    )


def test_strict_under_partial_exempts_only_a_grid_cut_by_the_end():
    assert plav.loads("[5: a; 1; 2", partial=True, strict=True) == [{"a": 1}]
    with pytest.raises(ValueError, match="Mox Grid row has 2 cells, expected 1"):
        plav.loads("[5: a; 1; 2, 3; 4", partial=True, strict=True)
    with pytest.raises(ValueError, match="Mox Grid has 2 rows, expected 5"):
        plav.loads("[[5: a; 1; 2 ], [1", partial=True, strict=True)


rows_strategy = st.lists(
    st.fixed_dictionaries({"id": st.integers(), "name": st.text(), "v": JSON_VALUES}),
    min_size=1,
    max_size=6,
)


@given(
    rows_strategy,
    st.sampled_from(["comma", "tab", "pipe"]),
    st.booleans(),
    st.booleans(),
    st.booleans(),
)
def test_every_grid_dumps_writes_passes_strict(rows, delimiter, row_count, bare, implicit):
    text = plav.dumps(
        {"rows": rows},
        delimiter=delimiter,
        row_count=row_count,
        bare_strings=bare,
        implicit_null=implicit,
    )
    assert same(plav.loads(text, strict=True), plav.loads(text))


# --- extract ------------------------------------------------------------------------------------

FENCE = "```"
REPLIES = [
    # (reply, partial, expected)
    ('{"a": 1}', False, {"a": 1}),
    ('Sure! Here it is: {"a": [1, 2]} Hope that helps.', False, {"a": [1, 2]}),
    (
        "Here is the table:\n```plav\n[2: id; 1; 2 ]\n```\nAnything else?",
        False,
        [{"id": 1}, {"id": 2}],
    ),
    ("```json\n[1]\n```\nand\n```json\n[2]\n```", False, [1]),
    ("```json\n[1, \n```\nthen\n```json\n[2]\n```", False, [2]),  # first fence fails
    ("~~~~ JSON5 {.x}\n{a: 1,}\n~~~~", False, {"a": 1}),
    ('```JsonC title="x"\n// c\n{"a": 1}\n```', False, {"a": 1}),
    ("````\n[3]\n````", False, [3]),
    ('```python\nx = [1, 2]\n```\n```json\n{"b": 2}\n```', False, {"b": 2}),
    ("```python\nprint(1)\n```\nresult: [4, 5].", False, [4, 5]),
    ("```js\n```json\n{x}\n```\n[6]", False, [6]),  # a json line inside another fence
    ("Use {braces} or [brackets]; the data: [7, 8]", False, [7, 8]),
    ('I think {"a": 1 is wrong} but {"b": 2}', False, {"b": 2}),
    ("```json\n[1, 2, 3", True, [1, 2]),
    ("```json\n[1, 2, 3", False, [1, 2, 3]),  # unclosed: the unfenced search reads [1, 2, 3
    ('Here: {"rows": [2: id, name; 1, Ann; 2, B', True, {"rows": [{"id": 1, "name": "Ann"}]}),
    ('x {"a": "é"} y', False, {"a": "é"}),
]


@pytest.mark.parametrize("reply, partial, expected", REPLIES)
def test_extract_replies(reply, partial, expected):
    if reply == "```json\n[1, 2, 3" and not partial:
        with pytest.raises(ValueError):
            plav.extract(reply, partial=partial)
        return
    assert plav.extract(reply, partial=partial) == expected
    assert plav.extract(reply.encode(), partial=partial) == expected


@pytest.mark.parametrize(
    "reply, message, pos",
    [
        ("no data here", NOT_FOUND, 0),
        ("", NOT_FOUND, 0),
        ('é {"a": 1 x}', "Invalid character 'x' at position 11", 10),
        ('ab\n```json\n{"a" 1, }\n```', END, 15),
        ("prose [1, 2", END, 11),
    ],
)
def test_extract_errors_stand_in_the_whole_reply(reply, message, pos):
    for doc in (reply, reply.encode()):
        with pytest.raises(ValueError) as e:
            plav.extract(doc)
        assert str(e.value).startswith(message)
        expected_pos = pos if isinstance(doc, str) else len(reply[:pos].encode())
        assert e.value.pos == expected_pos
        assert e.value.doc is doc


def test_extract_schema_and_types():
    assert plav.extract('ok {"x": 1, "y": 2}', ["a", "b"]) == {"a": 1, "b": 2}
    with pytest.raises(TypeError):
        plav.extract(None)


def test_extract_search_scales_with_the_text():
    # Many braces in prose before the value: each candidate reads only a little.
    reply = "{ x } [y " * 20000 + '{"a": 1}'
    assert plav.extract(reply) == {"a": 1}


# --- hint and CLI ------------------------------------------------------------------------------


def test_reply_hint_example_reads_back_strictly():
    text = plav.format_hint("reply")
    assert text != plav.format_hint()
    example = text.rsplit("Example: ", 1)[1]
    assert plav.loads(example, strict=True) == [
        {"id": 1, "name": "Lee, Ann", "note": None},
        {"id": 2, "name": "Bo", "note": "late; again"},
    ]
    assert plav.extract(f"Here:\n```plav\n{example}\n```") == plav.loads(example)


@pytest.mark.parametrize(
    "args, stdin, expected",
    [
        (["decode", "--extract"], b'Sure:\n```json\n{"a": 1}\n```\n', {"a": 1}),
        (["decode", "--partial"], b"[2: a; 1; 2", [{"a": 1}]),
        (["decode", "--extract", "--partial"], b"ok ```json\n[1, [2, 3", [1, [2]]),
        (["decode", "--strict"], b"[2: a; 1; 2 ]", [{"a": 1}, {"a": 2}]),
    ],
)
def test_cli_decode_options(args, stdin, expected, monkeypatch, capsys, tmp_path):
    path = tmp_path / "in.txt"
    path.write_bytes(stdin)
    assert cli.main([*args, str(path)]) == 0
    assert json.loads(capsys.readouterr().out) == expected


def test_cli_strict_failure(tmp_path, capsys):
    path = tmp_path / "in.txt"
    path.write_bytes(b"[3: a; 1; 2 ]")
    assert cli.main(["decode", "--strict", str(path)]) == 1
    assert "Mox Grid has 2 rows, expected 3" in capsys.readouterr().err


@pytest.mark.parametrize(
    "text",
    [
        '{"a" x, ' + " " * 600 + '"b": 1}',
        "[" + "1, " * 400 + "2 3]",
        '["' + "x" * 3000 + '\\q"]',
        "[" + "[" * 200 + "1" + "]" * 199 + ", }",
        "[2: a, b; " + "1, 2; " * 300 + "3, 4, 5 ]",
    ],
)
def test_raw_decode_errors_match_loads_beyond_the_first_window(text):
    with pytest.raises(ValueError) as whole:
        plav.loads(text)
    with pytest.raises(ValueError) as one:
        plav.raw_decode(text)
    assert str(one.value) == str(whole.value)
