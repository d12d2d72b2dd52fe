"""The byte kernels through the test-only extension, every variant this CPU runs:
the scanners' structural index, the whitespace skipper, the string escapers, float
formatting and CPU capability derivation."""

import math
import random
import struct
from decimal import Decimal

import _plav_testing as T
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

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

# ---- scanners ----

STRUCTURAL = b'{[:;,]}"'


def reference_index(data):
    return tuple([p for p, b in enumerate(data) if b == c] for c in STRUCTURAL)


# Dense in structural bytes, their high-bit look-alikes (0xDB = 0x5B | 0x80, 0xFB,
# 0xDD, 0xFD), bracket/brace neighbours and whitespace.
DENSE = st.sampled_from(
    list(STRUCTURAL + b"\xdb\xfb\xdd\xfd\xa2\xac\xba\xbb\\ \t\nax0\x00\x7f\xff")
)


@pytest.mark.parametrize("level", LEVELS)
@given(data=st.lists(DENSE, max_size=300).map(bytes) | st.binary(max_size=300))
def test_scanner_matches_reference(level, data):
    assert T.scan(data, level) == reference_index(data)


@pytest.mark.parametrize("level", LEVELS)
def test_scanner_at_every_length_across_block_edges(level):
    # A structural byte at every block edge of every length up to three AVX-512 blocks.
    for n in range(200):
        for p in {0, n // 2, n - 1, 31, 32, 33, 63, 64, 65} & set(range(n)):
            for c in b'"]}':
                data = b"a" * p + bytes([c]) + b"a" * (n - p - 1)
                assert T.scan(data, level) == reference_index(data)


# ---- whitespace and comments ----

ws_text = st.lists(
    st.sampled_from(
        [
            b" ",
            b"\t",
            b"\n",
            b"\r",
            b"/",
            b"*",
            b"//",
            b"/*",
            b"*/",
            b"x",
            b"\xef\xbb\xbf",
            b" " * 40,
            b"\r\n",
        ]
    ),
    max_size=40,
).map(b"".join)


@pytest.mark.skipif(not AVX2, reason="CPU lacks AVX2")
@given(data=ws_text)
@settings(max_examples=300)
def test_vector_whitespace_skip_agrees_with_bytes_from_every_start(data):
    for pos in range(len(data) + 1):
        expected = T.skip_whitespace(data, pos, "bytes")
        assert pos <= expected <= len(data)
        assert T.skip_whitespace(data, pos, "avx2") == expected
        assert T.skip_whitespace(data, pos, "dispatch") == expected


@pytest.mark.parametrize(
    ("data", "start", "expected"),
    [
        (b" " * 40 + b"1", 0, 40),
        (b"  // c\r\n  x", 0, 10),
        (b"/* open", 0, 7),
        (b"/*/", 0, 3),  # the star of the opening never closes the comment
        (b"/**/x", 0, 4),
        (b"/x", 0, 0),
        (b"/", 0, 0),
        (b"\xef\xbb\xbf{", 0, 3),
        (b" \xef\xbb\xbf", 0, 1),  # a byte-order mark only at offset 0
        (b"// c\rx", 0, 5),  # a lone carriage return ends a line comment
        (b"// no end", 0, 9),
        (b"\x0cx", 0, 0),  # form feed is not whitespace
        (b"ab  ", 2, 4),
    ],
)
def test_whitespace_skip_examples(data, start, expected):
    forms = ["bytes", "dispatch"] + (["avx2"] if AVX2 else [])
    if b"\t" not in data:
        forms.append("tab_delimited")
    for form in forms:
        assert T.skip_whitespace(data, start, form) == expected, form


@given(data=ws_text)
def test_tab_delimited_skip_stops_only_at_a_tab_the_full_skip_crosses(data):
    for pos in range(len(data) + 1):
        full = T.skip_whitespace(data, pos, "bytes")
        rows = T.skip_whitespace(data, pos, "tab_delimited")
        assert pos <= rows <= full
        if rows < full:
            assert data[rows : rows + 1] == b"\t"
            assert T.skip_whitespace(data, rows + 1, "tab_delimited") <= full


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (b" \t x", 1),
        (b"/* \t */\tx", 7),
        (b"// a\tb\n\t", 7),
        (b"\r\n /**/ \t", 8),
        (b"\xef\xbb\xbf \t", 4),
    ],
)
def test_tab_delimited_skip_examples(data, expected):
    # Tabs inside comments go with the comment; a tab outside one ends the skip.
    assert T.skip_whitespace(data, 0, "tab_delimited") == expected


@pytest.mark.skipif(not AVX2, reason="CPU lacks AVX2")
@given(
    data=st.lists(
        st.sampled_from([b" ", b"\t", b"\n", b"\r", b" " * 31, b"\x0c", b"\xa0", b"\x89", b"x"]),
        max_size=60,
    ).map(b"".join)
)
def test_vector_whitespace_run_counts_whole_blocks(data):
    data = b" " * 32 + data
    run = len(data) - len(data.lstrip(b" \t\n\r"))
    assert T.whitespace_prefix(data) == min(run, len(data) // 32 * 32)


# ---- string content scan ----


def reference_content_flags(data):
    return 1 if b"\\" in data else 2 if any(b >= 0x80 for b in data) else 0


CONTENT_FORMS = [
    "words",
    pytest.param("avx2", marks=pytest.mark.skipif(not AVX2, reason="CPU lacks AVX2")),
]


@pytest.mark.parametrize("form", CONTENT_FORMS)
@given(
    data=st.lists(
        st.sampled_from([b"a", b"\\", b"\x80", b"\xff", b"\x7f", b"\xdc", b"\x5d", b"a" * 31]),
        max_size=40,
    ).map(b"".join)
)
def test_content_scan_matches_reference(form, data):
    if form == "avx2" and len(data) < 32:
        data = data.ljust(32, b"a")
    assert T.scan_content(data, form) == reference_content_flags(data)


@pytest.mark.parametrize("form", CONTENT_FORMS)
def test_content_scan_finds_a_mark_at_every_position(form):
    # One backslash or high byte at each place of every length around the block edges,
    # the overlapping last block included.
    for n in range(32 if form == "avx2" else 0, 100):
        for p in range(n):
            for mark, flags in ((b"\\", 1), (b"\xc3", 2)):
                data = b"a" * p + mark + b"a" * (n - p - 1)
                assert T.scan_content(data, form) == flags, (n, p)


# ---- bytes that keep a str out of a grid cell ----

UNSAFE = set(b'\t\n\r",:;[\\]{|}')


@pytest.mark.parametrize("form", ["bytes", "sse2"])
def test_unsafe_cell_bytes_are_exactly_the_grid_syntax(form):
    for c in range(256):
        assert T.unsafe_in_cell(b"a" + bytes([c]), form) == (c in UNSAFE), c


@pytest.mark.parametrize("form", ["bytes", "sse2"])
def test_unsafe_cell_byte_found_at_every_position(form):
    # Lengths around the 16-byte blocks, the mark at each place, and none.
    for n in range(50):
        assert not T.unsafe_in_cell(b"x" * n, form)
        for p in range(n):
            for mark in b";}\xfb":
                data = b"x" * p + bytes([mark]) + b"x" * (n - p - 1)
                assert T.unsafe_in_cell(data, form) == (mark != 0xFB), (n, p, mark)


# ---- UTF-8 to UTF-16 and Latin-1 ----

TEXT_PIECES = [
    b"a" * 15,
    b"z",
    "\u00e9".encode(),
    "\u00ff".encode(),
    "\u0100".encode(),
    "\u20ac".encode(),
    "\uffff".encode(),
    "\U0001f600".encode(),
    b"\xc3",
    b"\x80",
    b"\xed\xa0\x80",
    b"\xc0\xaf",
    b"\xff",
]


def reference_transcode(data, form):
    try:
        text = data.decode("utf-8")
        return text.encode("utf-16-le" if form == "utf16" else "latin-1")
    except UnicodeError:
        return None


@pytest.mark.parametrize("form", ["utf16", "latin1"])
@given(data=st.lists(st.sampled_from(TEXT_PIECES), max_size=40).map(b"".join))
def test_transcoders_match_strict_utf8(form, data):
    if form == "utf16" and any(ord(c) > 0xFFFF for c in data.decode("utf-8", "ignore")):
        assert T.transcode(data, form) is None
        return
    assert T.transcode(data, form) == reference_transcode(data, form)


# ---- escapers ----

NAMED = {
    0x22: b'\\"',
    0x5C: b"\\\\",
    0x0A: b"\\n",
    0x0D: b"\\r",
    0x09: b"\\t",
    0x08: b"\\b",
    0x0C: b"\\f",
}


def reference_escape(data):
    return b"".join(NAMED.get(c, b"\\u00%02x" % c if c < 0x20 else bytes([c])) for c in data)


PIECES = [
    b'"',
    b"\\",
    b"\x00",
    b"\x1f",
    b"\x1b",
    b"\n",
    b"\t",
    b"\x7f",
    b" ",
    b"a",
    b"z",
    "\u00e9".encode(),
    "\u20ac".encode(),
    "\U0001f600".encode(),
    b"\xff",
    b"\x80",
]
dense_bytes = st.lists(st.sampled_from(PIECES), max_size=90).map(b"".join)


@pytest.mark.parametrize("level", LEVELS)
@given(data=dense_bytes | st.binary(max_size=200))
@example(data=b"a" * 100 + b"\t")
@example(data=b"a" * 31 + b'"' + b"x" * 31 + b'"')
def test_escapers_agree_with_reference(level, data):
    assert T.escape(data, level) == (reference_escape(data), any(c >= 0x80 for c in data))


@pytest.mark.parametrize("level", LEVELS)
def test_escaper_at_every_length_and_mark_position(level):
    for n in range(140):
        clean = bytes(0x41 + i % 26 for i in range(n))
        assert T.escape(clean, level) == (clean, False)
        for pos in range(n):
            for mark in (b'"', b"\x01", b"\xc3"):
                data = clean[:pos] + mark + clean[pos + 1 :]
                assert T.escape(data, level)[0] == reference_escape(data), (n, pos, mark)


@given(dense_bytes.filter(lambda b: len(b) <= 24))
def test_inline_short_path_copies_only_clean_strings(data):
    got = T.short_clean(data)
    if got is not None:  # it may decline near a page end, never accept wrongly
        assert len(data) <= 16 and reference_escape(data) == data
        assert got == (data, any(c >= 0x80 for c in data))


# ---- numbers ----


def reference_float_text(x):
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
    assert text == reference_float_text(x) == plav.dumps(x)
    assert struct.pack("<d", float(text)) == struct.pack("<d", x)


def test_float_text_over_random_bit_patterns():
    rng = random.Random(1234)
    samples = [rng.getrandbits(64) for _ in range(30000)]
    # Dense around the ends of the exact range and at powers of two.
    for e in range(-12, 56):
        samples += [struct.unpack("<Q", struct.pack("<d", 2.0**e))[0] + d for d in range(-2, 3)]
    # Fractions with few binary places (k / 2^t), which have exact short forms,
    # and short decimals, whose shortest form drops most of the scaled digits.
    for _ in range(5000):
        x = rng.randrange(1, 2 ** rng.randint(1, 53)) / 2 ** rng.randint(1, 40)
        y = round(rng.uniform(-1e6, 1e6), rng.randint(0, 12))
        samples += [struct.unpack("<Q", struct.pack("<d", v))[0] for v in (x, y)]
    for pattern in samples:
        x = struct.unpack("<d", struct.pack("<Q", pattern))[0]
        if math.isnan(x):
            continue
        assert T.format_double(x) == reference_float_text(x), x
        scaled = x * 2.0 ** rng.randint(-80, 60)
        if math.isfinite(scaled):
            assert T.format_double(scaled) == reference_float_text(scaled), scaled


@given(st.integers(min_value=-(2**80), max_value=2**80))
def test_integers_match_python_text(n):
    assert plav.dumps(n) == str(n)


# ---- CPU capabilities ----

# CPUID bits: leaf 1 ECX FMA=12 XSAVE=26 OSXSAVE=27 F16C=29; leaf 7 EBX AVX2=5 F=16 BW=30;
# XCR0 SSE|AVX state = 0b110, AVX-512 state = 0b11100000.
ECX_ALL = (1 << 12) | (1 << 26) | (1 << 27) | (1 << 29)
EBX_ALL = (1 << 5) | (1 << 16) | (1 << 30)
XCR0_ALL = 0b11100110


@pytest.mark.parametrize(
    ("max_leaf", "ecx", "ebx", "xcr0", "expected"),
    [
        (13, ECX_ALL, EBX_ALL, XCR0_ALL, (True, True, True)),
        (13, ECX_ALL, 1 << 5, XCR0_ALL, (True, False, False)),
        (13, ECX_ALL, (1 << 5) | (1 << 16), XCR0_ALL, (True, True, False)),  # no BW
        (13, ECX_ALL, (1 << 5) | (1 << 30), XCR0_ALL, (True, False, True)),  # BW without F
        (13, ECX_ALL, EBX_ALL, 0b110, (True, False, False)),  # OS saves no ZMM state
        (13, ECX_ALL, EBX_ALL, 0b010, (False, False, False)),  # OS saves no AVX state
        (13, ECX_ALL & ~(1 << 27), EBX_ALL, XCR0_ALL, (False, False, False)),  # no OSXSAVE
        (13, ECX_ALL & ~(1 << 26), EBX_ALL, XCR0_ALL, (False, False, False)),  # no XSAVE
        (13, ECX_ALL & ~(1 << 12), EBX_ALL, XCR0_ALL, (True, False, False)),  # no FMA
        (13, ECX_ALL & ~(1 << 29), EBX_ALL, XCR0_ALL, (True, False, False)),  # no F16C
        (6, ECX_ALL, EBX_ALL, XCR0_ALL, (False, False, False)),  # leaf 7 absent
    ],
)
def test_capability_derivation(max_leaf, ecx, ebx, xcr0, expected):
    assert T.derive_cpu_features(max_leaf, ecx, ebx, xcr0) == expected
