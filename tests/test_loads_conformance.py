"""loads against the stdlib json: the JSON test suite, the corpus, generated
documents, correctly rounded floats, and the per-thread key cache."""

import json
import random
import struct
import sys

import _plav_testing as T
import pytest
from conftest import DATA, JSON_VALUES, ROOT, in_thread, same
from hypothesis import given, settings
from hypothesis import strategies as st

from plav_core import dumps, loads

sys.path.insert(0, str(ROOT / "fuzz"))
import harness  # the fuzzers' checks on every result

sys.path.pop(0)

SUITE = DATA / "jsontestsuite" / "test_parsing"
CORPUS = DATA / "json"


def suite_files(prefix):
    files = sorted(p for p in SUITE.iterdir() if p.name.startswith(prefix))
    assert files, f"no {prefix} files under {SUITE}"
    return files


def read(raw):
    """loads under the fuzzers' checks: a failure carries one of the reader's messages;
    a result is well formed and reads back from its own dumps."""
    try:
        value = loads(raw)
    except ValueError as exc:
        assert harness.LOADS_MESSAGES.fullmatch(str(exc)), str(exc)
        raise
    harness.walk(value)
    if harness.depth_of(value) <= 256:  # no deeper than dumps writes
        assert same(loads(dumps(value, mox_grid=False)), value)
    return value


@pytest.mark.parametrize("path", suite_files("y_"), ids=lambda p: p.name)
def test_accepted_documents_agree_with_json(path):
    raw = path.read_bytes()
    assert same(read(raw), json.loads(raw))


# The reader's extensions to JSON make these documents valid PLAV.
ACCEPTED_ON_PURPOSE = {
    "trailing commas": ["array_extra_comma", "array_number_and_comma", "object_trailing_comma"],
    "NaN and Infinity words": [
        "number_-NaN",
        "number_NaN",
        "number_Inf",
        "number_infinity",
        "number_minus_infinity",
    ],
    "unquoted keys (digits, digits and E, words such as null)": [
        "object_non_string_key",
        "object_non_string_key_but_huge_number_instead",
        "object_repeated_null_null",
        "object_unquoted_key",
    ],
    "comments wherever whitespace may stand, a line comment running to the end": [
        "object_trailing_comment",
        "object_trailing_comment_slash_open",
        "structure_object_with_comment",
    ],
    "raw control bytes in a string without a backslash": [
        "string_unescaped_ctrl_char",
        "string_unescaped_newline",
        "string_unescaped_tab",
    ],
}
ACCEPTED_FILES = {f"n_{name}.json" for names in ACCEPTED_ON_PURPOSE.values() for name in names}


@pytest.mark.parametrize("path", suite_files("n_"), ids=lambda p: p.name)
def test_invalid_documents_are_rejected(path):
    raw = path.read_bytes()
    if path.name in ACCEPTED_FILES:
        read(raw)
    else:
        with pytest.raises(ValueError):
            read(raw)


@pytest.mark.parametrize("path", suite_files("i_"), ids=lambda p: p.name)
def test_implementation_defined_documents_never_crash(path):
    raw = path.read_bytes()
    try:
        result = read(raw)
    except ValueError:
        return
    try:
        expected = json.loads(raw)
    except (ValueError, RecursionError):
        return
    assert same(result, expected)


def corpus_files():
    files = sorted(CORPUS.glob("*.json"))
    assert files, f"no corpus under {CORPUS}"
    return files


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_agrees_with_json(path):
    raw = path.read_bytes()
    assert same(loads(raw), json.loads(raw))
    assert same(loads(raw.decode()), json.loads(raw))


# ---- generated documents ----


@given(JSON_VALUES, st.sampled_from([None, 0, 2]), st.booleans())
@settings(max_examples=300)
def test_generated_json_agrees_with_json(doc, indent, ensure_ascii):
    raw = json.dumps(doc, indent=indent, ensure_ascii=ensure_ascii)
    expected = json.loads(raw)
    assert same(loads(raw), expected)
    assert same(loads(raw.encode()), expected)


# ---- floats ----

decimal_floats = st.builds(
    lambda sign, digits, point, exp: (
        f"{sign}{digits[:point]}.{digits[point:] or '0'}e{exp}"
        if point
        else f"{sign}{digits}e{exp}"
    ),
    st.sampled_from(["", "-"]),
    st.from_regex(r"[1-9][0-9]{0,40}", fullmatch=True),
    st.integers(min_value=0, max_value=40),
    st.integers(min_value=-360, max_value=330),
)


@given(decimal_floats)
@settings(max_examples=1000)
def test_floats_are_correctly_rounded(s):
    assert struct.pack("<d", loads(s)) == struct.pack("<d", float(s))


def test_float_edge_cases_bit_for_bit():
    rng = random.Random(7)
    cases = [
        "4.9406564584124654e-324",  # smallest subnormal
        "2.4703282292062327e-324",  # exactly half of it: rounds to even (zero)
        "2.4703282292062328e-324",  # just above half: rounds up
        "2.2250738585072011e-308",  # largest subnormal
        "2.2250738585072014e-308",  # smallest normal
        "1.7976931348623157e308",  # largest finite
        "1.7976931348623158e308",  # rounds down to the largest finite
        "1.7976931348623159e308",  # overflows
        "9007199254740993e0",  # 2**53 + 1: a tie, rounds to even
        "9007199254740993.0",
        "0." + "0" * 330 + "1",
        "1" + "0" * 320 + ".0",
        "3.14159265358979323846264338327950288419716939937510582097494459",
        "7.2057594037927933e16",
    ]
    for _ in range(2000):
        mant = rng.randrange(1, 10 ** rng.randrange(1, 25))
        cases.append(f"{mant}e{rng.randrange(-345, 310)}")
        cases.append(repr(struct.unpack("<d", rng.randbytes(8))[0]))
    for s in cases:
        if s in ("nan", "inf", "-inf") or "nan" in s or "inf" in s:
            continue
        assert struct.pack("<d", loads(s)) == struct.pack("<d", float(s)), s
        assert struct.pack("<d", T.parse_double(s.encode())) == struct.pack("<d", float(s)), s


@given(
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e7, max_value=1e7),
    st.integers(min_value=1, max_value=19),
    st.sampled_from([("", ",1]"), ("", "]"), ("", " ]"), ("", "\n]"), ("e0", "]"), ("E-1", ",2]")]),
)
@settings(max_examples=500)
def test_floats_of_every_digit_count_read_exactly(x, places, ending):
    # Fractions are read eight digits at a time: every count up to 19, any ending.
    exponent, tail = ending
    for text in (f"{x:.{places}f}{exponent}", f"{x:.{places - 1}e}"):
        doc = f"[{text}{tail}"
        assert struct.pack("<d", loads(doc)[0]) == struct.pack("<d", float(text)), doc


# ---- key cache ----


def first_key(doc):
    return next(iter(loads(doc)))


def test_repeated_keys_share_one_object():
    rows = loads('[{"id": 1, "name": "a"}, {"id": 2, "name": "b"}, {id: 3, name: "c"}]')
    assert len({id(k) for row in rows for k in row if k == "id"}) == 1
    k64, k65 = "k" * 64, "k" * 65
    assert first_key(f'{{"{k64}": 1}}') is first_key(f'{{"{k64}": 2}}')
    assert first_key(f'{{"{k65}": 1}}') is not first_key(f'{{"{k65}": 2}}')
    assert first_key('{"": 1}') is first_key('{"": 2}')
    assert first_key(b'{"\xc3\xa9": 1}') == "\u00e9"
    assert first_key(b'{"\xc3\xa9": 1}') is first_key(b'{"\xc3\xa9": 2}')


def test_cache_evicts_first_in_first_out():
    def work():
        held = first_key('{"first": 0}')
        others = "{" + ", ".join(f'"k{i}": {i}' for i in range(2047)) + "}"
        loads(others)  # 2048 entries now: the cache is full
        still = first_key('{"first": 1}') is held  # a hit does not renew the entry
        loads('{"one_more": 1}')  # one more distinct key evicts the oldest, "first"
        evicted = first_key('{"first": 2}') is not held
        survivor = first_key('{"k0": 0}')
        kept = first_key('{"k0": 1}') is survivor
        return still, evicted, kept

    assert in_thread(work)["result"] == (True, True, True)


@pytest.mark.parametrize("raw", ["a\\bc", "x\\n", "\\u0041" + "z" * 20])
def test_cached_name_with_a_backslash_never_stands_for_an_escaped_key(raw):
    # A schema name is cached as its own bytes; the same bytes between quotes in a
    # document are an escape sequence and must still be unescaped.
    def work():
        got = []
        for _ in range(2):
            loads("[]", [raw])
            got.append(first_key('{"' + raw + '": 1}'))
        return got

    assert in_thread(work)["result"] == [json.loads(f'"{raw}"')] * 2


def test_invalid_utf8_key_fails_every_time():
    def work():
        msgs = []
        for _ in range(3):
            with pytest.raises(ValueError) as info:
                loads(b'{"ok": 1, "\xff\xfe": 2}')
            msgs.append(str(info.value))
        return msgs

    msgs = in_thread(work)["result"]
    assert msgs == [msgs[0]] * 3 and msgs[0].startswith("Invalid UTF-8 in key")


# ---- key hash ----


def sip_reference(k0, k1, data, c_rounds, d_rounds):
    mask = (1 << 64) - 1
    v = [
        k0 ^ 0x736F6D6570736575,
        k1 ^ 0x646F72616E646F6D,
        k0 ^ 0x6C7967656E657261,
        k1 ^ 0x7465646279746573,
    ]

    def rotl(x, r):
        return ((x << r) | (x >> (64 - r))) & mask

    def rnd():  # each step: v[a] += v[b]; v[b] = rotl(v[b], r) ^ v[a]; maybe rotl(v[a], 32)
        for a, b, r, spin in (
            (0, 1, 13, True),
            (2, 3, 16, False),
            (0, 3, 21, False),
            (2, 1, 17, True),
        ):
            v[a] = (v[a] + v[b]) & mask
            v[b] = rotl(v[b], r) ^ v[a]
            if spin:
                v[a] = rotl(v[a], 32)

    blocks = data + b"\0" * (7 - len(data) % 8) + bytes([len(data) & 0xFF])
    for i in range(0, len(blocks), 8):
        m = int.from_bytes(blocks[i : i + 8], "little")
        v[3] ^= m
        for _ in range(c_rounds):
            rnd()
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(d_rounds):
        rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def test_reference_siphash_matches_published_2_4_vectors():
    k0 = int.from_bytes(bytes(range(8)), "little")
    k1 = int.from_bytes(bytes(range(8, 16)), "little")
    assert sip_reference(k0, k1, b"", 2, 4) == 0x726FDB47DD0E0E31
    assert sip_reference(k0, k1, bytes(range(15)), 2, 4) == 0xA129CA6149BE45E5
    assert sip_reference(k0, k1, bytes(range(63)), 2, 4) == 0x958A324CEB064572


@given(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1), st.binary(max_size=80))
def test_key_hash_is_siphash13_over_length_and_bytes(k0, k1, data):
    assert T.siphash13(k0, k1, data) == sip_reference(k0, k1, data, 1, 3)
    prefixed = len(data).to_bytes(8, "little") + data
    assert T.key_hash(k0, k1, data) == sip_reference(k0, k1, prefixed, 1, 3)


# ---- arbitrary input ----

structural_text = st.text(alphabet='[]{}:;,"\\ \t\n\r|/*abtnfulrsINa019-.eE$\u00e9', max_size=80)


@given(
    st.one_of(st.binary(max_size=80), structural_text.map(str.encode)),
    st.sampled_from([None, ["a", "b"], []]),
)
@settings(max_examples=3000)
def test_any_input_reads_or_raises_value_error(data, schema):
    try:
        loads(data, schema=schema)
    except ValueError:
        pass
