"""Reading text that ends early: loads(..., partial=True) on every prefix of a document."""

import json

import pytest
from conftest import DATA, JSON_VALUES, same
from hypothesis import given
from hypothesis import strategies as st

import plav

END = "Unexpected end of input"
JSON_FILES = sorted((DATA / "json").glob("*.json"))


def grows(old, new):
    """`new` keeps all of `old`: dict keys in order, list items, string prefixes, scalars."""
    if isinstance(old, dict):
        return (
            type(new) is dict
            and list(new)[: len(old)] == list(old)
            and all(grows(v, new[k]) for k, v in old.items())
        )
    if isinstance(old, list):
        return (
            type(new) is list
            and len(new) >= len(old)
            and all(grows(a, b) for a, b in zip(old, new))
        )
    if isinstance(old, str):
        return type(new) is str and new.startswith(old)
    return same(old, new)


def nothing_complete(prefix):
    """Blank text, or a top-level number or literal that may still grow."""
    body = prefix.strip(b" \t\r\n\xef\xbb\xbf")
    return not body or body[:1] not in b'[{"'


def check_prefixes(data, cuts):
    """loads(prefix, partial=True) at each cut: no error unless nothing is complete yet,
    and every result keeps all of the one before; the whole text reads as loads does."""
    whole = plav.loads(data)
    before = None
    for cut in cuts:
        prefix = data[:cut]
        try:
            got = plav.loads(prefix, partial=True)
        except ValueError as e:
            assert str(e).startswith(END), (prefix, e)
            assert nothing_complete(prefix), prefix
            continue
        if before is not None:
            assert grows(before, got), (prefix, before, got)
        before = got
    if before is None:  # a top-level number or literal: partial reading cannot know it ended
        assert nothing_complete(data)
    else:
        assert same(before, whole)


def every_cut(data):
    return range(len(data) + 1)  # the whole text last


GRIDS = [
    b'[3: id, name, score; 1, Ann, 9.5; 2, "Bo, Jr", -1; 3, Cy, 1e3 ]',
    b'[: id\tname; 1\tAnn Lee; 2\t"x\\"y" ]',
    b"[2: a | b | c; true | false | null; , , ]",
    b'{"rows": [2: k, v; x, [1, [2, {"d": [3: q; 1; 2; 3 ]}]]; y, {"e": "f"} ], "n": 2}',
    b"[ 2 : a, b ; 1 , 2 ;\n  3 , 4 , ; ]",
    b"[2: a, b; 1; ; ] // note",
    b'[2: "k\\u00e9", b; truex, nully; Infinity, NaN ]',
    b"[1: a; caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 ]",
    b"/* lead */ [2: a, b; /* mid */ 1, 2; 3, 4 ]",
    b"[[2: a; 1; 2 ], [], [:], [0:], [: a;], 7 ]",
]
EDGE = [
    b'{"s": "a\\n\\u00e9\\ud83d\\ude00\\"z", "t": [true, false, null, -0.5e-3, 12345678901234567890123]}',
    b'"caf\xc3\xa9 \xf0\x9f\x98\x80 done"',
    b'\xef\xbb\xbf[1, {unquoted: 2, trailing: [3,],}, "x"]',
    b"[NaN, -Infinity, Infinity, 0, 1.0, 2e5]",
    b"  12  ",
    b"true",
]


@pytest.mark.parametrize("data", GRIDS + EDGE, ids=range(len(GRIDS + EDGE)))
def test_every_prefix_of_small_documents(data):
    check_prefixes(data, every_cut(data))


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"delimiter": "tab"},
        {"delimiter": "pipe"},
        {"row_count": False},
        {"bare_strings": True, "implicit_null": True},
        {"unquoted_keys": True},
        {"delimiter": "tab", "row_count": False, "bare_strings": True},
    ],
)
def test_every_prefix_of_written_grids(options):
    rows = [
        {
            "id": i,
            "name": ["Ann", "Bo Lee", "", None, "x;y", "é"][i % 6],
            "score": [1.5, -2, True, None, [1, 2], {"k": "v"}][i % 6],
        }
        for i in range(8)
    ]
    data = plav.dumps({"items": rows, "total": 8}, **options).encode()
    check_prefixes(data, every_cut(data))


@pytest.mark.parametrize("path", JSON_FILES, ids=lambda p: p.name)
def test_sampled_prefixes_of_the_data_files(path):
    data = path.read_bytes()
    n = len(data)
    step = max(1, n // 6)
    cuts = sorted({*range(0, n, step), *range(max(0, n - 4), n + 1), *range(min(n, 100)), n})
    check_prefixes(data, cuts)


@given(
    JSON_VALUES,
    st.sampled_from(
        [
            {},
            {"bare_strings": True},
            {"unquoted_keys": True},
            {"delimiter": "pipe", "implicit_null": True},
        ]
    ),
)
def test_every_prefix_of_generated_documents(value, options):
    for text in (json.dumps(value), plav.dumps(value, **options)):
        data = text.encode()
        check_prefixes(data, every_cut(data))


@pytest.mark.parametrize(
    "data, expected",
    [
        (b'{"items": [2: id, name; 1, Ann; 2, Bo', {"items": [{"id": 1, "name": "Ann"}]}),
        (b"[2 ", []),
        (b"[2 :", []),
        (b"[2 ,", [2]),
        (b"[2: id, na", []),
        (b"[2: id, name;", []),
        (b"[2: a; 1; [1, 2", [{"a": 1}]),
        (b'{"a": 1', {}),
        (b'{"a": 1 ', {"a": 1}),
        (b'{"a": tru', {}),
        (b'{"a": true', {}),
        (b'{"a": true}', {"a": True}),
        (b'{"a"', {}),
        (b'{"a": ', {}),
        (b'{"ab', {}),
        (b"{key", {}),
        (b'{"a": "x', {"a": "x"}),
        (b'["a\\', ["a"]),
        (b'["a\\u00', ["a"]),
        (b'["a\\ud83d', ["a"]),
        (b'["a\\ud83d\\', ["a"]),
        (b'["a\\ud83d\\ude0', ["a"]),
        (b'["a\\ud83d\\ude00', ["a\U0001f600"]),
        (b'["caf\xc3', ["caf"]),
        (b'["\xf0\x9f\x98', [""]),
        (b"[1, 2.", [1]),
        (b"[1, 2.5e", [1]),
        (b"[1, -", [1]),
        (b"[1, Infin", [1]),
        (b"[1, 2] /", [1, 2]),
        (b"[1, 2] /* open", [1, 2]),
        (b"[1, /* open", [1]),
        (b'"open', "open"),
        (b"[", []),
    ],
)
def test_what_a_cut_keeps(data, expected):
    assert same(plav.loads(data, partial=True), expected)
    assert same(plav.loads(data.decode("utf-8", "ignore"), partial=True), expected)


@pytest.mark.parametrize(
    "data",
    [b"", b"  \n", b"// c\n", b"/* c", b"12", b"-", b"tr", b"1.5e", b"\xef\xbb", b"NaN", b" null"],
)
def test_nothing_complete_yet(data):
    with pytest.raises(ValueError, match=END):
        plav.loads(data, partial=True)


# Invalid text and the index of its first bad byte: every prefix that holds it raises,
# as loads raises on the whole text.
INVALID = [
    (b'{"a": 1 x, "b": 2}', 8),
    (b"[1 2, 3]", 3),
    (b"[1,, 2]", 3),
    (b'{"a": [1, }', 10),
    (b"[1, 2] x [3]", 7),
    (b"[2: a, b; 1, 2, 3; 4 ]", 16),
    (b'["a\\q bc"]', 4),
    (b'["a\\u12g4"]', 7),
    (b'{"a" x, "b": 1}', 6),  # a colon would still have made `x` a skipped word
    (b"[1.2.3, 4]", 4),
    (b"[tx, 1]", 2),
    (b'["\xff\xfe rest"]', 2),
]


@pytest.mark.parametrize("data, bad", INVALID)
def test_prefixes_of_invalid_text_raise_once_the_bad_byte_is_in(data, bad):
    with pytest.raises(ValueError):
        plav.loads(data)
    for cut in range(bad + 1, len(data) + 1):
        with pytest.raises(ValueError):  # a cut that is merely incomplete would read
            plav.loads(data[:cut], partial=True)


@pytest.mark.parametrize("text", [b'{"a": [1, 2}', b"[1, 2] 3", b"{1}", b"[: a; 1, 2 ]", b"[]]"])
def test_partial_changes_nothing_for_complete_text(text):
    with pytest.raises(ValueError) as full:
        plav.loads(text)
    with pytest.raises(ValueError) as cut:
        plav.loads(text, partial=True)
    assert str(full.value) == str(cut.value)


def test_partial_false_and_flags_by_truth_value():
    assert plav.loads(b"[1", partial=1) == []
    assert plav.loads(b"[1", partial=[0]) == []
    with pytest.raises(ValueError, match=END):
        plav.loads(b"[1", partial=0)
    with pytest.raises(ValueError, match=END):
        plav.loads(b"[1", partial=None)

    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        plav.loads(b"[1]", partial=Bad())
    with pytest.raises(TypeError):
        plav.loads(b"[1]", None, True)  # keyword-only


def test_partial_with_a_schema():
    assert plav.loads(b'[{"x": 1, "y": 2}, {"x": 3, "y"', schema=["a", "b"], partial=True) == [
        {"a": 1, "b": 2},
        {"a": 3},
    ]
    assert plav.loads(b'[{"x": 1, "y": 2}, {"x": "op', schema=["a", "b"], partial=True) == [
        {"a": 1, "b": 2},
        {"a": "op"},
    ]
