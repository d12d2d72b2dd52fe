"""loads: arguments, values, schemas, nesting, agreement with json, the key cache."""

import array
import itertools
import json
import math
import struct
import threading

import pytest
from conftest import DATA, error_of, harness, in_thread, not_under_asan, same, words
from conftest import parse_error as pe
from hypothesis import given, settings
from hypothesis import strategies as st

from plav_core import dumps, loads

DOC = b'{"k": [1, "\xc3\xa9", [: a; 2 ]]}'


@pytest.mark.parametrize(
    "data",
    [bytearray(DOC), type("S", (str,), {})(DOC.decode()), memoryview(DOC)]
    + [memoryview(b"xx" + DOC + b"yy")[2:-2], memoryview(DOC).cast("c")]
    + [memoryview(DOC + b" " * (4 - len(DOC) % 4)).cast("B", (4, (len(DOC) + 3) // 4))],
)
def test_bytes_like_and_str_input(data):
    assert loads(data) == loads(data=DOC, schema=None) == {"k": [1, "é", [{"a": 2}]]}


CONTIGUOUS, NOT_DATA = "^memoryview data must be C-contiguous bytes$", "^data must be bytes or str$"
RELEASED = memoryview(b"[1]")
RELEASED.release()
BAD_BOOL = type("T", (), {"__bool__": lambda s: 1 / 0})()


@pytest.mark.parametrize(
    "call, error, match",
    [(lambda d=d: loads(d), TypeError, NOT_DATA) for d in (1, "\ud800", [b"1"], array.array("B"))]
    + [(lambda: loads(memoryview(b"[1, 2]")[::2]), TypeError, CONTIGUOUS)]
    + [(lambda: loads(memoryview(array.array("i", [1]))), TypeError, CONTIGUOUS)]
    + [(lambda: loads(b"[1]", [1]), TypeError, None)]
    + [(lambda: loads(b"[1]", None, True), TypeError, None)]  # partial is keyword-only
    # errors of the arguments themselves pass through
    + [(lambda: loads(RELEASED), ValueError, "released memoryview")]
    + [(lambda: loads(b"{}", (k or {}["boom"] for k in ["a", ""])), KeyError, "boom")]
    + [(lambda: loads(b"[1]", partial=BAD_BOOL), ZeroDivisionError, None)],
)
def test_argument_errors(call, error, match):
    with pytest.raises(error, match=match) as info:
        call()
    assert error is not TypeError or not isinstance(info.value, ValueError)


@pytest.mark.parametrize("as_view", [False, True], ids=["bytearray", "memoryview"])
def test_a_buffer_changed_during_the_read_gives_a_version_or_an_error(as_view):
    # another thread rewrites it while loads runs: a mix of ones and twos, or an error
    n, stop = 200_000, threading.Event()
    buf = bytearray(b"[" + b"1," * (n - 1) + b"1]")
    versions = [bytes(buf), bytes(buf).replace(b"1", b"2")]

    def rewrite():
        for i in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
            for at in range(0, len(buf), 65536):
                buf[at : at + 65536] = versions[i % 2][at : at + 65536]

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for _ in range(30):
            try:
                value = loads(memoryview(buf) if as_view else buf)
            except ValueError:
                continue
            assert len(value) == n and set(value) <= {1, 2}
    finally:
        stop.set()
        writer.join()


BIG = "9" * 4300
KEYS = {"3c": 3, "a-b": 4, "$r": 5, "null": 6}
# the smallest subnormal, half of it (rounds to even: zero) and just above, rounding down to
# the largest finite, 2**53 + 1 (a tie), long digit strings
FLOATS = ["4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324"]
FLOATS += ["1.7976931348623158e308", "9007199254740993e0", "0." + "0" * 330 + "1"]
FLOATS += ["3.14159265358979323846264338327950288419716939937510582097494459"]


@pytest.mark.parametrize(
    "text, expected",
    [
        (b"\xef\xbb\xbf[1] /* open", [1]),
        ("[1, // c\n 2, /* c */]", [1, 2]),
        ("{a: 1, _b2: 2, 3c: 3, a-b: 4, $r: 5, null: 6,}", dict(a=1, _b2=2, **KEYS)),
        ('{"a" x: 1, "b"\n:\n2}', {"a": 1, "b": 2}),
        ('{"b": 1, "a": 2, "b": 3, 7: 4}', {"b": 3, "a": 2, "7": 4}),  # the first place is kept
        # strings, also as keys
        ('"\\ud83d\\ude00\\u0000"', "\U0001f600\x00"),
        ('"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        ('"' + "x" * 40 + "\\n" + "\u00e9" * 40 + '"', "x" * 40 + "\n" + "\u00e9" * 40),
    ]
    # numbers, also in an array
    + [("\t\r\n -0 \n", 0), ("-9223372036854775809", -(2**63) - 1), ("-" + BIG, -int(BIG))]
    + [("-0.0", -0.0), ("123456789e-400", 0.0), ("1" + "0" * 400 + ".0", math.inf)]
    + [("-infinity", -math.inf)]
    + [(s, float(s)) for s in FLOATS],
)
def test_values(text, expected):
    assert same(loads(text), expected)
    if isinstance(expected, str):
        assert loads("{" + text + ": 1}") == {expected: 1}
    elif isinstance(expected, (int, float)):
        assert same(loads(b"[" + text.encode() + b"]"), [expected])


@pytest.mark.parametrize("text, bits", [("NaN", 0x7FF8), ("-NaN", 0xFFF8), ("-nan", 0xFFF8)])
def test_nan_keeps_its_sign(text, bits):
    assert struct.unpack("<Q", struct.pack("<d", loads(text)))[0] == bits << 48


@pytest.mark.parametrize(
    "elements",
    [
        [json.dumps(f"s,{i},") for i in range(60)],  # commas inside strings over-count
        [json.dumps(f"s]{i}") for i in range(60)],  # a bracket inside strings under-counts
        [json.dumps("x" * 300)],
    ],
)
@pytest.mark.parametrize("pad", ["", ",", " , \n", ", /* c */"])
def test_long_flat_arrays_read_like_short_ones(elements, pad):
    expected = [json.loads(e) for e in elements]
    for n in (len(elements), 2):
        assert loads("[" + ", ".join(elements[:n]) + pad + "]") == expected[:n]


@pytest.mark.parametrize(
    "text, schema, expected",
    [
        ('[{"a": 1, "b": 2}, {"b": 3, "a": 4}]', "ab", [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        ('[: k; {"p": 1} ]', ["a"], [{"k": {"a": 1}}]),
        ('{"\\x": 1}', ("a",), {"a": 1}),  # the key is skipped, not decoded
        ('{"k:,}": 1, "b": 2}', {"a": 0, "b": 0}, {"a": 1, "b": 2}),  # nothing inside a key counts
        ("{k x y: 1, 7: 2}", iter(["\u00e9", "b"]), {"\u00e9": 1, "b": 2}),
        ('{"a": 1 /* c */, // c\n "b": 2}', ["a", "b"], {"a": 1, "b": 2}),
    ],
)
def test_schema_objects_match_members_by_position(text, schema, expected):
    assert loads(text, schema=schema) == expected


SMALL_STACK = pytest.param(
    1 << 20, id="1 MiB stack", marks=not_under_asan("instrumented frames need more stack")
)


@pytest.mark.parametrize("stack", [0, SMALL_STACK])
@pytest.mark.parametrize(
    "opener, inner, closer, limit, at, schema",
    [("[", "", "]", 1024, 1024, None), ('{"k":', "1", "}", 1024, 5120, None)]
    + [("[: a; ", "1", " ]", 1024, 6144, None), ('[{"a":', "1", "}]", 512, 3072, None)]
    + [('[{"k": [: a; ', "1", " ]}]", 341, 4434, None), ('{"a":', "1", "}", 1024, 5120, "ab")],
)
def test_nesting_limit(opener, inner, closer, limit, at, schema, stack):
    def run():
        assert loads(opener * limit + inner + closer * limit, schema) is not None
        deeper = error_of(opener * (limit + 1) + inner + closer * (limit + 1), schema)
        return str(deeper), str(error_of(opener * 10**6, schema))

    out = in_thread(run, stack) if stack else {"result": run()}
    error = pe("Maximum nesting depth exceeded", at)
    assert out["result"] == (error, error)

    # brackets in strings do not count; an error before the limit is the one reported
    assert loads("[" * 1023 + '"' + "[" * 5000 + '"' + "]" * 1023) is not None
    bad = pe("Invalid character 'x' at position 10", 10)
    assert str(error_of("[" * 10 + "x" + "[" * 2000)) == bad


SUITE = DATA / "jsontestsuite" / "test_parsing"


def read(raw):
    # under the fuzzers' checks: a known message, or a well-formed value that reads back
    try:
        value = loads(raw)
    except ValueError as exc:
        assert harness.LOADS_MESSAGES.fullmatch(str(exc)), str(exc)
        raise
    harness.walk(value)
    if harness.depth_of(value) <= 256:  # no deeper than dumps writes
        assert same(loads(dumps(value, mox_grid=False)), value)
    return value


# Valid PLAV: trailing commas, NaN and Infinity, unquoted keys, comments, raw control bytes.
ACCEPTED_ON_PURPOSE = words(
    "array_extra_comma array_number_and_comma object_trailing_comma number_-NaN number_NaN"
    " number_Inf number_infinity number_minus_infinity object_non_string_key"
    " object_non_string_key_but_huge_number_instead object_repeated_null_null"
    " object_unquoted_key object_trailing_comment object_trailing_comment_slash_open"
    " structure_object_with_comment string_unescaped_ctrl_char string_unescaped_newline"
    " string_unescaped_tab"
)


@pytest.mark.parametrize("path", sorted(SUITE.iterdir()), ids=lambda p: p.name)
def test_json_test_suite(path):
    # y_: valid, read as json reads it; n_: invalid, refused; i_: either, never a crash
    raw, kind = path.read_bytes(), path.name[0]
    if kind == "n" and path.name[2:-5] not in ACCEPTED_ON_PURPOSE:
        with pytest.raises(ValueError):
            read(raw)
        return
    try:
        result = read(raw)
        expected = json.loads(raw)
    except (ValueError, RecursionError):
        assert kind != "y"
        return
    assert same(result, expected)


@pytest.mark.parametrize("path", sorted((DATA / "json").glob("*.json")), ids=lambda p: p.name)
def test_corpus_agrees_with_json(path):
    raw = path.read_bytes()
    assert same(loads(raw), json.loads(raw)) and same(loads(raw.decode()), json.loads(raw))


def written(text, ways):
    # each character raw, as \\u escapes or as a short escape where one exists, as drawn
    short = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "/": "\\/", "\t": "\\t"}
    out = []
    for c, way in zip(text, ways):
        if c in short and (way == 2 or c in '"\\\n\t'):
            out.append(short[c])
        elif way == 1 or c < " ":
            units = c.encode("utf-16-le")
            out += [f"\\u{int.from_bytes(units[i : i + 2], 'little'):04x}" for i in (0, 2)][
                : len(units) // 2
            ]
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


@given(
    st.lists(
        st.sampled_from('\u00e9\u20ac\U0001f600a"\\/\n\x01') | st.characters(codec="utf-8"),
        max_size=60,
    ).map("".join),
    st.lists(st.integers(0, 2), min_size=60, max_size=60),
)
@settings(max_examples=500)
def test_strings_written_any_way_read_back(text, ways):
    doc = written(text, ways)
    assert loads(doc) == text and loads(doc.encode()) == text
    assert loads("{" + doc + ": [" + doc + "]}") == {text: [text]}


ENDINGS = [("", "]"), ("", ",1]"), ("", " ]"), ("", "\n]"), ("e0", "]"), ("E-1", ",2]")]


@given(
    st.sampled_from(["", "-"]),
    st.from_regex(r"[1-9][0-9]{0,40}", fullmatch=True),
    st.integers(0, 40),
    st.integers(-360, 330),
    st.sampled_from(ENDINGS),
)
@settings(max_examples=1000)
def test_floats_are_correctly_rounded(sign, digits, point, exp, ending):
    mantissa = f"{digits[:point]}.{digits[point:] or '0'}" if point else digits
    s = f"{sign}{mantissa}e{exp}"
    assert struct.pack("<d", loads(s)) == struct.pack("<d", float(s))
    # fractions are read eight digits at a time: every count of digits, any ending
    fraction = f"{sign}{digits[:point] or '0'}.{digits[point:] or '0'}{ending[0]}"
    got = loads(f"[{fraction}{ending[1]}")[0]
    assert struct.pack("<d", got) == struct.pack("<d", float(fraction))


def first_key(doc):
    return next(iter(loads(doc)))


def test_repeated_keys_share_one_object_and_the_cache_evicts_first_in_first_out():
    rows = loads('[{"id": 1, "name": "a"}, {"id": 2, "name": "b"}, {id: 3, name: "c"}]')
    assert len({id(k) for row in rows for k in row if k == "id"}) == 1
    k64, k65 = "k" * 64, "k" * 65  # only keys up to 64 bytes are cached
    assert first_key(f'{{"{k64}": 1}}') is first_key(f'{{"{k64}": 2}}')
    assert first_key(f'{{"{k65}": 1}}') is not first_key(f'{{"{k65}": 2}}')
    assert first_key(b'{"\xc3\xa9": 1}') is first_key(b'{"\xc3\xa9": 2}') == "\u00e9"
    rows = loads('[{"x": 1}, {"y": 2}]', schema=["id"])  # schema names are shared too
    assert next(iter(rows[0])) is next(iter(rows[1]))

    def work():
        held = first_key('{"first": 0}')
        loads("{" + ", ".join(f'"k{i}": {i}' for i in range(2047)) + "}")  # now full
        still = first_key('{"first": 1}') is held  # a hit does not renew the entry
        loads('{"one_more": 1}')  # one more distinct key evicts the oldest, "first"
        evicted = first_key('{"first": 2}') is not held
        survivor = first_key('{"k0": 0}')
        return still, evicted, first_key('{"k0": 1}') is survivor

    assert in_thread(work)["result"] == (True, True, True)


@pytest.mark.parametrize("raw", ["a\\bc", "x\\n", "\\u0041" + "z" * 20])
def test_cached_names_never_stand_for_escaped_or_invalid_keys(raw):
    # a schema name is cached as its bytes, which between quotes are still unescaped;
    # a key that failed to decode fails again
    def work():
        got = [(loads("[]", [raw]), first_key('{"' + raw + '": 1}'))[1] for _ in range(2)]
        return got, {str(error_of(b'{"ok": 1, "\xff\xfe": 2}')) for _ in range(3)}

    keys, errors = in_thread(work)["result"]
    assert keys == [json.loads(f'"{raw}"')] * 2
    assert len(errors) == 1 and errors.pop().startswith("Invalid UTF-8 in key")
