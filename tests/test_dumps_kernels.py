"""The escapers, the bare-word test and float formatting, reached through the
test-only extension for every variant this CPU can run."""

import json
import math
import struct
from decimal import Decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import _plav_testing as T
import plav

AVX2, AVX512F, AVX512BW = T.cpu_features()
LEVELS = [
    "scalar",
    pytest.param("avx2", marks=pytest.mark.skipif(not AVX2, reason="CPU lacks AVX2")),
    pytest.param(
        "avx512",
        marks=pytest.mark.skipif(not (AVX512F and AVX512BW), reason="CPU lacks AVX-512 F/BW"),
    ),
]
NAMED = {0x22: b'\\"', 0x5C: b"\\\\", 0x0A: b"\\n", 0x0D: b"\\r", 0x09: b"\\t", 0x08: b"\\b",
         0x0C: b"\\f"}


def reference_escape(data: bytes) -> bytes:
    out = bytearray()
    for c in data:
        if c in NAMED:
            out += NAMED[c]
        elif c < 0x20:
            out += b"\\u00%02x" % c
        else:
            out.append(c)
    return bytes(out)


# Pieces dense in what the escapers must notice, including multi-byte UTF-8.
PIECES = [b'"', b"\\", b"\x00", b"\x1f", b"\x1b", b"\n", b"\t", b"\x7f", b" ", b"a", b"z",
          "\u00e9".encode(), "\u20ac".encode(), "\U0001f600".encode(), b"\xff", b"\x80"]
dense_bytes = st.lists(st.sampled_from(PIECES), max_size=90).map(b"".join)


@pytest.mark.parametrize("level", LEVELS)
@given(data=dense_bytes | st.binary(max_size=200))
@example(data=b"a" * 100 + b"\t")
@example(data=b"a" * 31 + b'"')
@example(data=b"a" * 63 + b'"')
def test_escapers_agree_with_reference(level, data):
    escaped, non_ascii = T.escape(data, level)
    assert escaped == reference_escape(data)
    assert non_ascii == any(c >= 0x80 for c in data)


@pytest.mark.parametrize("level", LEVELS)
def test_every_length_and_mark_position_across_block_edges(level):
    for n in range(0, 140):
        clean = bytes(0x41 + i % 26 for i in range(n))
        assert T.escape(clean, level) == (clean, False)
        for pos in range(n):
            for mark in (b'"', b"\x01", "\u00e9".encode()[:1]):
                data = clean[:pos] + mark + clean[pos + 1:]
                assert T.escape(data, level)[0] == reference_escape(data), (n, pos, mark)


@pytest.mark.parametrize("level", LEVELS)
def test_marks_at_31_32_63(level):
    data = bytearray(b"x" * 100)
    for p in (31, 32, 63):
        data[p] = 0x22
    assert T.escape(bytes(data), level)[0] == reference_escape(bytes(data))


def test_dumps_uses_an_escaper_that_agrees():
    for n in (0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200):
        s = ("a\u00e9\"\\\n" * 50)[:n]
        assert plav.dumps(s) == '"' + reference_escape(s.encode()).decode() + '"'


@pytest.mark.parametrize(
    "text, expected",
    [
        (b"name", True), (b"_x", True), (b"$ref", True), (b"a-b", True), (b"a1", True),
        (b"true", True), (b"NaN", True), (b"Z", True), (b"x-1", True),
        (b"", False), (b"1a", False), (b"-a", False), (b"a b", False), (b"a.b", False),
        ("caf\u00e9".encode(), False), (b"a\x00", False), (b"a+", False),
    ],
)
def test_is_identifier(text, expected):
    assert T.is_identifier(text) is expected


def reference_float_text(x: float) -> str:
    """The layout rules, applied to Python's own shortest digits."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    _, digits, exp = Decimal(repr(abs(x))).as_tuple()
    d = "".join(map(str, digits)).rstrip("0")
    exp += len(digits) - len(d)
    n, k = len(d), len(d) + exp
    if exp >= 0 and k <= 16:
        body = d + "0" * exp + ".0"
    elif 0 < k <= 16:
        body = d[:k] + "." + d[k:]
    elif -5 < k <= 0:
        body = "0." + "0" * -k + d
    else:
        body = d[0] + ("." + d[1:] if n > 1 else "") + "e" + str(k - 1)
    return sign + body


def bits(x):
    return struct.pack("<d", x)


@given(st.floats(allow_nan=False))
@example(1e16)
@example(1e-6)
@example(5e-324)
@example(1.7976931348623157e308)
@example(-0.0)
@example(2.2250738585072014e-308)
@example(9007199254740993.0)
def test_float_text_reads_back_bit_for_bit(x):
    text = T.format_double(x)
    assert text == reference_float_text(x)
    assert plav.dumps(x) == text
    assert bits(float(text)) == bits(x)


@given(st.integers(min_value=-(2**80), max_value=2**80))
def test_integers_match_python_text(n):
    assert plav.dumps(n) == str(n)


def test_float_text_over_random_bit_patterns():
    import random

    rng = random.Random(1234)
    samples = [rng.getrandbits(64) for _ in range(30000)]
    # Dense around the ends of the exact range and at powers of two.
    for e in range(-12, 56):
        for delta in (-2, -1, 0, 1, 2):
            samples.append(struct.unpack("<Q", struct.pack("<d", 2.0**e))[0] + delta)
    # Fractions with few binary places (k / 2^t), which have exact short forms,
    # and short decimals, whose shortest form drops most of the scaled digits.
    for _ in range(5000):
        x = rng.randrange(1, 2**rng.randint(1, 53)) / 2 ** rng.randint(1, 40)
        y = round(rng.uniform(-1e6, 1e6), rng.randint(0, 12))
        samples += [struct.unpack("<Q", struct.pack("<d", v))[0] for v in (x, y)]
    for mantissa_bits in samples:
        x = struct.unpack("<d", struct.pack("<Q", mantissa_bits & (2**64 - 1)))[0]
        if math.isnan(x):
            continue
        text = T.format_double(x)
        assert text == reference_float_text(x), (x, text)
        scaled = x * 2.0 ** rng.randint(-80, 60)
        if math.isfinite(scaled):
            assert T.format_double(scaled) == reference_float_text(scaled), scaled


@given(dense_bytes.filter(lambda b: len(b) <= 24))
def test_inline_short_path_copies_only_clean_strings(data):
    got = T.short_clean(data)
    needs_escape = reference_escape(data) != data
    if got is not None:  # it may decline near a page end, never accept wrongly
        assert len(data) <= 16 and not needs_escape
        assert got == (data, any(c >= 0x80 for c in data))
    elif len(data) <= 16 and not needs_escape:
        pass  # declined: the block would have crossed a page


# Short outputs and outputs with many non-ASCII pieces are made from their UTF-16
# form unless a character needs four UTF-8 bytes; long ASCII runs take the
# 16-byte path there.
MIXED_TEXT = st.text(
    alphabet=st.sampled_from("abc xyz0123\"\\\n\x01\u00e9\u00ff\u0416\u20ac\uffff\U0001f600")
    | st.characters(exclude_categories=["Cs"]),
    max_size=70,
)


@given(st.lists(MIXED_TEXT, max_size=40))
def test_non_ascii_output_matches_json(texts):
    expected = json.dumps(texts, ensure_ascii=False, separators=(",", ":"))
    assert plav.dumps(texts) == expected
    assert plav.dumps({t: 1 for t in texts}) == json.dumps(
        {t: 1 for t in texts}, ensure_ascii=False, separators=(",", ":")
    )
