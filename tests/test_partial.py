"""Text that ends early (partial=True), raw_decode, strict grids and extract."""

import json

import pytest
from conftest import DATA, JSON_VALUES, error_of, parse_error, same
from conftest import fuzz_loads as fl
from hypothesis import given
from hypothesis import strategies as st

import plav

END = "Unexpected end of input"
LONG = '["' + "x" * 3000 + '\\q"]'  # an error beyond the first windows raw_decode reads


def grows(old, new):  # new keeps all of old: keys in order, items, string prefixes, scalars
    if isinstance(old, dict):
        return (
            type(new) is dict
            and list(new)[: len(old)] == list(old)
            and all(grows(v, new[k]) for k, v in old.items())
        )
    if isinstance(old, list):
        return type(new) is list and len(new) >= len(old) and all(map(grows, old, new))
    if isinstance(old, str):
        return type(new) is str and new.startswith(old)
    return same(old, new)


def check_prefixes(data):
    # at each cut partial reading raises only while nothing is complete; each result grows
    whole, before, n = plav.loads(data), None, len(data)
    cuts = range(n + 1) if n < 500 else {*range(0, n, n // 6), *range(n - 4, n + 1), *range(100)}
    for cut in sorted(cuts):
        try:
            got = plav.loads(data[:cut], partial=True)
        except ValueError as e:
            assert str(e).startswith(END) and fl.nothing_complete(data[:cut]), (data[:cut], e)
            continue
        assert before is None or grows(before, got), (data[:cut], before, got)
        before = got
    assert same(before, whole) if before is not None else fl.nothing_complete(data)


ROWS = [
    {"id": i, "n": ["Ann", "", None, "x;y"][i % 4], "v": [1.5, [1], {"k": 2}][i % 3]}
    for i in range(8)
]
DOCUMENTS = [
    b'[3: id, name, score; 1, Ann, 9.5; 2, "Bo, Jr", -1; 3, Cy, 1e3 ]',
    b'{"rows": [2: k, v; x, [1, [2, {"d": [3: q; 1; 2; 3 ]}]]; y, {"e": "f"} ], "n": 2}',
    b"[ 2 : a | b ; 1 | 2 ;\n  3 | 4 | ; ] // note",
    b'/* lead */ [2: "k\\u00e9"\tb; truex\tnully; caf\xc3\xa9 \xf0\x9f\x98\x80\t ]',
    b"[[2: a; 1; 2 ], [], [:], [0:], [: a;], 7 ]",
    b'{"s": "a\\n\\u00e9\\ud83d\\ude00\\"z", "t": [true, null, -0.5e-3, 12345678901234567890123]}',
    b'\xef\xbb\xbf[1, {unquoted: 2, trailing: [3,],}, "x", NaN, -Infinity]',
    b"  12  ",
    plav.dumps({"items": ROWS, "total": 8}).encode(),
    plav.dumps(ROWS, delimiter="tab", row_count=False, bare_strings=True).encode(),
    plav.dumps(ROWS, delimiter="pipe", implicit_null=True, unquoted_keys=True).encode(),
]


@pytest.mark.parametrize(
    "data",
    [pytest.param(d, id=str(i)) for i, d in enumerate(DOCUMENTS)]
    + [pytest.param(p, id=p.name) for p in sorted((DATA / "json").glob("*.json"))],
)
def test_every_prefix_of_documents_written_grids_and_the_data_files(data):
    check_prefixes(data.read_bytes() if hasattr(data, "read_bytes") else data)


@given(
    JSON_VALUES,
    st.sampled_from([{}, {"bare_strings": True}, {"delimiter": "pipe", "implicit_null": True}]),
)
def test_every_prefix_of_generated_documents(value, options):
    for text in (json.dumps(value), plav.dumps(value, **options)):
        check_prefixes(text.encode())


@pytest.mark.parametrize(
    "data, expected",  # expected None: nothing is complete yet, an end-of-input error
    [(b'{"items": [2: id, name; 1, Ann; 2, Bo', {"items": [{"id": 1, "name": "Ann"}]})]
    + [(b"[2 ,", [2]), (b"[2: id, na", []), (b"[2: a; 1; [1, 2", [{"a": 1}]), (b'{"a": 1', {})]
    + [(b'{"a": 1 ', {"a": 1}), (b"{key", {}), (b'{"a": "x', {"a": "x"}), (b"[1, 2.5e", [1])]
    + [(b'["a\\ud83d\\ude0', ["a"]), (b'["caf\xc3', ["caf"]), (b"[1, 2] /* open", [1, 2])]
    + [(b'"open', "open")]
    + [(data, None) for data in [b"", b"// c\n", b"/* c", b"12", b"tr", b"1.5e", b"\xef\xbb"]],
)
def test_what_a_cut_keeps(data, expected):
    for text in (data, data.decode("utf-8", "ignore")):
        if expected is None:
            assert str(error_of(text, partial=True)).startswith(END)
        else:
            assert same(plav.loads(text, partial=True), expected)


@pytest.mark.parametrize(  # invalid text, the index of its first bad byte
    "data, bad",
    [(b'{"a": 1 x, "b": 2}', 8), (b"[1,, 2]", 3), (b'{"a": [1, }', 10), (b"[1, 2] x [3]", 7)]
    + [(b"[2: a, b; 1, 2, 3; 4 ]", 16), (b'["a\\u12g4"]', 7), (b"[1.2.3, 4]", 4)]
    + [(b'{"a" x, "b": 1}', 6), (b'["\xff\xfe rest"]', 2)],  # a colon would make x a skipped word
)
def test_prefixes_of_invalid_text_raise_once_the_bad_byte_is_in(data, bad):
    assert str(error_of(data, partial=True)) == str(error_of(data))
    for cut in range(bad + 1, len(data)):
        error_of(data[:cut], partial=True)  # a cut that is merely incomplete would read


def test_partial_flag_and_schema():
    assert plav.loads(b"[1", partial=1) == plav.loads(b"[1", partial=[0]) == []
    for off in (0, None):
        with pytest.raises(ValueError, match=END):
            plav.loads(b"[1", partial=off)
    doc = b'[{"x": 1, "y": 2}, {"x": "op'
    assert plav.loads(doc, schema=["a", "b"], partial=True) == [{"a": 1, "b": 2}, {"a": "op"}]


def agree(text, start):
    # raw_decode matches json's from the first non-space at start, on text and bytes
    i = len(text) - len(text[start:].lstrip(" \t\r\n"))
    try:
        expected = json.JSONDecoder().raw_decode(text, i)
    except ValueError:
        error_of(text, start, decode=plav.raw_decode)
        return
    value, end = plav.raw_decode(text, start)
    assert same(value, expected[0]) and end == expected[1]
    data = text.encode()
    value, end = plav.raw_decode(data, len(text[:start].encode()))
    assert same(value, expected[0]) and len(data[:end].decode()) == expected[1]


def value_starts(text):
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


@given(JSON_VALUES, st.sampled_from([None, 0, 2]), st.booleans())
def test_raw_decode_agrees_with_json(value, indent, ensure_ascii):
    text = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii) + ' \n {"next": [1]} 7'
    for start in value_starts(text):
        agree(text, start)


def test_raw_decode_positions_in_non_ascii_text_whatever_the_order_of_calls():
    # starts after the previous call's end on the same str, on another str, or further back
    one = " ".join(json.dumps({"é": "ü" * i, "n": i}, ensure_ascii=False) for i in range(40))
    two = '"\\u20ac€" ["ü"] {"ß": 1}'
    starts, other = value_starts(one), value_starts(two)
    for k, start in enumerate(starts + starts[::-1] + starts[::7] + starts[3::5]):
        agree(one, start)
        if k % 3 == 0:
            agree(two, other[k % len(other)])


def test_raw_decode_reads_a_sequence_of_values_and_grids():
    text = '[2: id, name; 1, Ann; 2, Bo ] /* c */ {"k": [: a; x ]} "é"'
    values, i = [], 0
    while i < len(text.rstrip()):
        value, i = plav.raw_decode(text, i)
        values.append(value)
    assert values == [[{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo"}], {"k": [{"a": "x"}]}, "é"]
    rows = [{"id": i, "s": "x" * (i % 90), "t": [i, {"u": "é"}]} for i in range(3000)]
    for text in (json.dumps(rows), plav.dumps(rows)):  # larger than the first windows
        whole = "é " * 5 + text + " [1]"
        value, end = plav.raw_decode(whole, 10)
        assert value == rows and end == 10 + len(text)
        assert plav.raw_decode(whole, end) == ([1], len(whole))
        assert plav.raw_decode(whole.encode(), 15)[0] == rows
    assert plav.raw_decode('x {"p": 1, "q": 2} y', 1, ["a", "b"]) == ({"a": 1, "b": 2}, 18)


@pytest.mark.parametrize(
    "args, error, message",
    [(("[1]", -1), ValueError, "idx cannot be negative"), ((b"[1]", 10**30), ValueError, END)]
    + [(("[1]   ", 3), ValueError, parse_error(END, 6)), ((123,), TypeError, None)]
    + [(("[1]", "1"), TypeError, None)]
    # errors stand at their place in the whole text, also beyond the first windows
    + [((b'x {"a": 1 x}', 1), ValueError, parse_error("Invalid character 'x' at position 10", 10))]
    + [((b"x" * 2000 + b"[1, 2", 2000), ValueError, parse_error(END, 2005))]
    + [((LONG,), ValueError, parse_error("Invalid escape sequence '\\q' at position 3003", 3003))],
)
def test_raw_decode_errors(args, error, message):
    with pytest.raises(error) as info:
        plav.raw_decode(*args)
    assert message is None or str(info.value).startswith(message)


def grid(delim, count, header, *rows):
    d = f"{delim} " if delim != "\t" else "\t"
    head = f"[{'' if count is None else count}: " + d.join(header) + "; "
    return head + "; ".join(d.join(r) for r in rows) + " ]"


@pytest.mark.parametrize("delim", [",", "\t", "|"])
@pytest.mark.parametrize("count", [None, 2])
@pytest.mark.parametrize(
    "rows, cells, at_row",
    [([["1", "Ann"], ["2"]], 1, 1), ([["1", "Ann", "x"], ["2", "Bo"]], 3, 0)]
    + [([["1", "Ann", ""], ["2", "Bo"]], 3, 0), ([["1", "Ann"], [""], ["2", "Bo"]], 1, 1)],
)
def test_strict_cell_counts(delim, count, rows, cells, at_row):
    text = grid(delim, count, ["id", "name"], *rows)
    row_at = [i + 1 for i, c in enumerate(text) if c == ";"][at_row]
    row_at += len(text[row_at:]) - len(text[row_at:].lstrip(" "))
    message = parse_error(f"Mox Grid row has {cells} cells, expected 2", row_at)
    assert str(error_of(text, strict=True)) == message


@pytest.mark.parametrize("delim", [",", "\t", "|"])
@pytest.mark.parametrize("count, rows", [(1, 2), (3, 2), (0, 1), (5, 0)])
def test_strict_row_counts(delim, count, rows):
    text = '{"g": ' + grid(delim, count, ["a", "b"], *[["1", '"q"']] * rows) + "}"
    message = parse_error(f"Mox Grid has {rows} rows, expected {count}", 6)
    assert str(error_of(text, strict=True)) == message
    plav.loads(text)  # read as it always was without strict


ROW = st.fixed_dictionaries({"id": st.integers(), "name": st.text(), "v": JSON_VALUES})
FLAGS = {k: st.booleans() for k in ("row_count", "bare_strings", "implicit_null")}


@given(
    st.lists(ROW, min_size=1, max_size=6),
    st.fixed_dictionaries({"delimiter": st.sampled_from(["comma", "tab", "pipe"])} | FLAGS),
)
def test_every_grid_dumps_writes_passes_strict(rows, options):
    text = plav.dumps({"rows": rows}, **options)
    assert same(plav.loads(text, strict=True), plav.loads(text))


def test_strict_accepts_exact_grids_and_under_partial_exempts_only_a_grid_cut_by_the_end():
    for delim in (",", "\t", "|"):
        text = grid(delim, 3, ["a", "b"], ["1", ""], ["", ""], ['"x, y"', "[1, 2]"])
        rows = [{"a": 1, "b": None}, {"a": None, "b": None}, {"a": "x, y", "b": [1, 2]}]
        assert plav.loads(text, strict=True) == rows
    assert plav.loads("[5: a; 1; 2", partial=True, strict=True) == [{"a": 1}]
    with pytest.raises(ValueError, match="Mox Grid row has 2 cells, expected 1"):
        plav.loads("[5: a; 1; 2, 3; 4", partial=True, strict=True)
    with pytest.raises(ValueError, match="Mox Grid has 2 rows, expected 5"):
        plav.loads("[[5: a; 1; 2 ], [1", partial=True, strict=True)
    example = plav.format_hint("reply").rsplit("Example: ", 1)[1]  # the hint's own example
    rows = [
        {"id": 1, "name": "Lee, Ann", "note": None},
        {"id": 2, "name": "Bo", "note": "late; again"},
    ]
    assert plav.loads(example, strict=True) == rows
    assert plav.extract(f"Here:\n```plav\n{example}\n```") == plav.loads(example)


@pytest.mark.parametrize(
    "reply, expected",
    [
        ('Sure! Here it is: {"a": [1, 2]} Hope that helps.', {"a": [1, 2]}),
        ("Here is the table:\n```plav\n[2: id; 1; 1 ]\n```\nAnything else?", [{"id": 1}] * 2),
        ("```json\n[1]\n```\nand\n```json\n[2]\n```", [1]),  # the first of two fences
        ("```json\n[1, \n```\nthen\n```json\n[2]\n```", [2]),  # the first fence fails
        ("~~~~ JSON5 {.x}\n{a: 1,}\n~~~~", {"a": 1}),
        ('```JsonC title="x"\n// c\n{"a": 1}\n```', {"a": 1}),
        ('```python\nx = [1, 2]\n```\n```json\n{"b": 2}\n```', {"b": 2}),
        ("```python\nprint(1)\n```\nresult: [4, 5].", [4, 5]),
        ("```js\n```json\n{x}\n```\n[6]", [6]),  # a json line inside another fence
        ("Use {braces} or [brackets]; the data: [7, 8]", [7, 8]),
        ('I think {"a": 1 is wrong} but {"b": 2}', {"b": 2}),
        ("{ x } [y " * 20000 + '{"a": 1}', {"a": 1}),  # each candidate reads only a little
    ],
)
def test_extract_replies(reply, expected):
    assert plav.extract(reply) == plav.extract(reply.encode()) == expected


@pytest.mark.parametrize(
    "reply, message, pos",
    [("no data here", "No JSON or PLAV value found", 0), ("", "No JSON or PLAV value found", 0)]
    + [('é {"a": 1 x}', "Invalid character 'x' at position 11", 10)]
    + [('ab\n```json\n{"a" 1, }\n```', END, 15), ("```json\n[1, 2, 3", END, 16)],
)
def test_extract_errors_stand_in_the_whole_reply(reply, message, pos):
    for doc in (reply, reply.encode()):
        e = error_of(doc, decode=plav.extract)
        assert str(e).startswith(message) and e.doc is doc
        assert e.pos == (pos if isinstance(doc, str) else len(reply[:pos].encode()))
    # unclosed, the unfenced search reads [1, 2, 3 too; with partial it is cut off in the fence
    assert plav.extract('ok {"x": 1, "y": 2}', ["a", "b"]) == {"a": 1, "b": 2}
    assert plav.extract("```json\n[1, 2, 3", partial=True) == [1, 2]
    cut = 'Here: {"rows": [2: id, name; 1, Ann; 2, B'
    assert plav.extract(cut.encode(), partial=True) == {"rows": [{"id": 1, "name": "Ann"}]}
    with pytest.raises(TypeError):
        plav.extract(None)
