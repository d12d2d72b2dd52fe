"""Byte kernels at every level this CPU runs against plain references; float text, key hash."""

import math
import struct
from decimal import Decimal

import _plav_testing as T
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import plav

AVX2, AVX512F, AVX512BW = T.cpu_features()
NO_AVX2 = pytest.mark.skipif(not AVX2, reason="CPU lacks AVX2")
NO_AVX512 = pytest.mark.skipif(not (AVX512F and AVX512BW), reason="CPU lacks AVX-512 F/BW")
LEVELS = ["scalar", pytest.param("avx2", marks=NO_AVX2), pytest.param("avx512", marks=NO_AVX512)]


def pieces(*parts):  # each byte of a bytes part, each character of a str part in UTF-8
    return [bytes([c]) if isinstance(p, bytes) else c.encode() for p in parts for c in p]


def joined(parts, max_size):
    return st.lists(st.sampled_from(parts), max_size=max_size).map(b"".join)


STRUCTURAL = b'{[:;,]}"'


def reference_index(data):
    return tuple([p for p, b in enumerate(data) if b == c] for c in STRUCTURAL)


@pytest.mark.parametrize("level", LEVELS)
@given(
    # structural bytes, their high-bit look-alikes (0xDB = 0x5B | 0x80), neighbours, spaces
    data=joined(pieces(STRUCTURAL + b"\xdb\xfb\xdd\xfd\xa2\xac\xba\xbb\\ \t\nax0\x00\x7f\xff"), 300)
    | st.binary(max_size=300)
)
def test_scanner_matches_reference(level, data):
    assert T.scan(data, level) == reference_index(data)


@pytest.mark.parametrize("level", LEVELS)
def test_scanner_at_every_length_across_block_edges(level):
    for n in range(200):  # up to three AVX-512 blocks
        for p in {0, n // 2, n - 1, 31, 32, 33, 63, 64, 65} & set(range(n)):
            for c in b'"]}':
                data = b"a" * p + bytes([c]) + b"a" * (n - p - 1)
                assert T.scan(data, level) == reference_index(data)


@given(data=joined(b" |\t|\n|\r|/|*|//|/*|*/|x|\xef\xbb\xbf|\r\n".split(b"|") + [b" " * 40], 40))
@settings(max_examples=300)
def test_whitespace_skips_agree_from_every_start(data):
    for pos in range(len(data) + 1):
        full = T.skip_whitespace(data, pos, "bytes")
        assert pos <= full <= len(data)
        assert T.skip_whitespace(data, pos, "dispatch") == full
        assert not AVX2 or T.skip_whitespace(data, pos, "avx2") == full
        # the skipper of tab-delimited rows stops only at a tab the full skip crosses
        rows = T.skip_whitespace(data, pos, "tab_delimited")
        assert pos <= rows <= full
        if rows < full:
            assert data[rows : rows + 1] == b"\t"
            assert T.skip_whitespace(data, rows + 1, "tab_delimited") <= full


@pytest.mark.parametrize(
    ("data", "full", "rows"),
    # a BOM only at offset 0, a lone CR ends a line comment, form feed is not whitespace;
    # tabs inside comments go with the comment, one outside ends a row's skip
    [(b" " * 40 + b"1", 40, 40), (b"  // c\r\n  x", 10, 10), (b"/* open", 7, 7)]
    + [(b" \xef\xbb\xbf", 1, 1), (b"// c\rx", 5, 5), (b"\x0cx", 0, 0), (b"/* \t */\tx", 8, 7)]
    + [(b"\xef\xbb\xbf// a\tb\n\t", 11, 10)],
)
def test_whitespace_skip_examples(data, full, rows):
    for form in ["bytes", "dispatch"] + (["avx2"] if AVX2 else []):
        assert T.skip_whitespace(data, 0, form) == full, form
    assert T.skip_whitespace(data, 0, "tab_delimited") == rows


@NO_AVX2
@given(data=joined(b" |\t|\n|\r|\x0c|\xa0|\x89|x".split(b"|") + [b" " * 31], 60))
def test_vector_whitespace_run_counts_whole_blocks(data):
    data = b" " * 32 + data
    run = len(data) - len(data.lstrip(b" \t\n\r"))
    assert T.whitespace_prefix(data) == min(run, len(data) // 32 * 32)


CONTENT_FORMS = ["words", pytest.param("avx2", marks=NO_AVX2)]


@pytest.mark.parametrize("form", CONTENT_FORMS)
@given(data=joined([b"a", b"\\", b"\x80", b"\xff", b"\x7f", b"\xdc", b"\x5d", b"a" * 31], 40))
def test_content_scan_matches_reference(form, data):
    data = data.ljust(32 if form == "avx2" else 0, b"a")
    flags = 1 if b"\\" in data else 2 if max(data, default=0) >= 0x80 else 0
    assert T.scan_content(data, form) == flags


@pytest.mark.parametrize("form", CONTENT_FORMS)
def test_content_scan_finds_a_mark_at_every_position(form):
    for n in range(32 if form == "avx2" else 0, 100):
        for p in range(n):
            for mark, flags in ((b"\\", 1), (b"\xc3", 2)):
                assert T.scan_content(b"a" * p + mark + b"a" * (n - p - 1), form) == flags, (n, p)


@pytest.mark.parametrize("form", ["bytes", "sse2"])
def test_unsafe_cell_bytes_are_exactly_the_grid_syntax_at_every_position(form):
    for c in range(256):
        assert T.unsafe_in_cell(b"a" + bytes([c]), form) == (c in b'\t\n\r",:;[\\]{|}'), c
    for n in range(50):  # lengths around the 16-byte blocks, the mark at each place
        assert not T.unsafe_in_cell(b"x" * n, form)
        for p in range(n):
            for mark in b";}\xfb":
                data = b"x" * p + bytes([mark]) + b"x" * (n - p - 1)
                assert T.unsafe_in_cell(data, form) == (mark != 0xFB), (n, p, mark)


UTF8 = [b"a" * 15, b"z", b"\xc3", b"\x80", b"\xed\xa0\x80", b"\xc0\xaf", b"\xff"]


@pytest.mark.parametrize("form", ["utf16", "latin1"])
@given(data=joined(UTF8 + pieces("\u00e9\u00ff\u0100\u20ac\uffff\U0001f600"), 40))
def test_transcoders_match_strict_utf8(form, data):
    try:
        want = data.decode("utf-8").encode("utf-16-le" if form == "utf16" else "latin-1")
    except UnicodeError:
        want = None
    if form == "utf16" and any(ord(c) > 0xFFFF for c in data.decode("utf-8", "ignore")):
        want = None  # outside the kernel's range: declined
    assert T.transcode(data, form) == want


@given(
    data=joined([b"a" * 15, b"\\", b'"', b"\x1f", b"\xff"] + pieces("\u00e9\u20ac\U0001f600"), 40)
)
@example(data=b"a" * 40 + "\u00e9".encode() + b'"')
def test_plain_text_stops_at_syntax_and_declines_what_utf16_cannot_hold(data):
    read = next((i for i, c in enumerate(data) if c in b'\\"' or c < 0x20), len(data))
    try:
        text = data[:read].decode("utf-8")
        want = None if any(ord(c) > 0xFFFF for c in text) else (read, text.encode("utf-16-le"))
    except UnicodeError:
        want = None
    assert T.transcode(data, "plain") == want


HEX = b"0123456789abcdefABCDEF"


def reference_escape_run(data):
    units = []
    while len(data) >= 6 and data[:2] == b"\\u" and all(c in HEX for c in data[2:6]):
        units.append(int(data[2:6], 16))
        data = data[6:]
    return units, any(0xD800 <= u <= 0xDFFF for u in units)


def escapes(units, upper=False):
    return b"".join((b"\\u%04X" if upper else b"\\u%04x") % u for u in units)


@pytest.mark.parametrize("level", LEVELS)
def test_escape_runs_at_every_length_and_break(level):
    # runs across the 4- and 8-escape blocks, cut by a bad byte or the end inside the next
    for k in range(20):
        units = [(0x00E9 + 977 * i) & 0xFFFF for i in range(k)]
        run = escapes(units, upper=k % 2 == 1)
        for tail in (b"", b'"', b"\\u00e", b"\\u12", b"\\", b"x" * 70):
            assert T.unicode_escapes(run + tail, level) == reference_escape_run(run + tail)
        for place in range(6):
            for bad in b"\x00/:@G`gu\\\xb0":
                after = bytearray(b"\\u20ac" + b"\\u00e9" * 10)
                after[place] = bad
                data = run + bytes(after)
                assert T.unicode_escapes(data, level) == reference_escape_run(data), (k, place, bad)
    for c in range(256):  # every byte value as a digit of the 9th escape: the second block
        for place in range(2, 6):
            data = bytearray(b"\\u00e9" * 9 + b"\\u20ac" * 9)
            data[6 * 8 + place] = c
            assert T.unicode_escapes(bytes(data), level) == reference_escape_run(bytes(data))


EDGE_UNITS = [0, 0x7F, 0xE9, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF]


@pytest.mark.parametrize("level", LEVELS)
@given(units=st.lists(st.sampled_from(EDGE_UNITS) | st.integers(0, 0xFFFF), max_size=40))
def test_escape_run_units_and_surrogate_flag(level, units):
    data = escapes(units) + b'"'
    assert T.unicode_escapes(data, level) == reference_escape_run(data)


NAMED = {c: b"\\" + bytes([e]) for c, e in zip(b'"\\\n\r\t\x08\x0c', b'"\\nrtbf')}


def reference_escape(data):
    return b"".join(NAMED.get(c, b"\\u00%02x" % c if c < 0x20 else bytes([c])) for c in data)


ESCAPE_TEXT = joined(pieces(b'"\\\x00\x1f\x1b\n\t\x7f az\xff\x80', "\u00e9\u20ac\U0001f600"), 90)


@pytest.mark.parametrize("level", LEVELS)
@given(data=ESCAPE_TEXT | st.binary(max_size=200))
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


@given(ESCAPE_TEXT.filter(lambda b: len(b) <= 40))
def test_inline_short_path_copies_only_clean_strings(data):
    got = T.short_clean(data)
    if got is not None:  # it may decline near a page end, never accept wrongly
        assert len(data) <= 32 and reference_escape(data) == data
        assert got == (data, any(c >= 0x80 for c in data))


def reference_float_text(x):
    # Python's shortest digits, plain for decimal exponents in [-5, 16), else d.ddde<x>
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


@given(st.floats())
def test_float_text_reads_back_bit_for_bit(x):
    text = plav.dumps(x)
    assert text == reference_float_text(x)
    assert math.isnan(x) or struct.pack("<d", float(text)) == struct.pack("<d", x)


def sip_reference(k0, k1, data, c_rounds, d_rounds):
    mask, rotl = (1 << 64) - 1, lambda x, r: ((x << r) | (x >> (64 - r))) & ((1 << 64) - 1)
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D]
    v += [k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rounds(n):
        for _ in range(n):  # v[a] += v[b]; v[b] = rotl(v[b], r) ^ v[a]; maybe rotl(v[a], 32)
            for a, b, r, spin in ((0, 1, 13, 1), (2, 3, 16, 0), (0, 3, 21, 0), (2, 1, 17, 1)):
                v[a] = (v[a] + v[b]) & mask
                v[b] = rotl(v[b], r) ^ v[a]
                v[a] = rotl(v[a], 32) if spin else v[a]

    blocks = data + b"\0" * (7 - len(data) % 8) + bytes([len(data) & 0xFF])
    for i in range(0, len(blocks), 8):
        m = int.from_bytes(blocks[i : i + 8], "little")
        v[3] ^= m
        rounds(c_rounds)
        v[0] ^= m
    v[2] ^= 0xFF
    rounds(d_rounds)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


SIP_2_4 = {0: 0x726FDB47DD0E0E31, 15: 0xA129CA6149BE45E5, 63: 0x958A324CEB064572}  # published


@given(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1), st.binary(max_size=80))
def test_key_hash_is_siphash13_over_length_and_bytes(k0, k1, data):
    a, b = (int.from_bytes(bytes(range(i, i + 8)), "little") for i in (0, 8))
    assert all(sip_reference(a, b, bytes(range(n)), 2, 4) == h for n, h in SIP_2_4.items())
    assert T.siphash13(k0, k1, data) == sip_reference(k0, k1, data, 1, 3)
    prefixed = len(data).to_bytes(8, "little") + data
    assert T.key_hash(k0, k1, data) == sip_reference(k0, k1, prefixed, 1, 3)


# CPUID bits: leaf 1 ECX FMA=12 XSAVE=26 OSXSAVE=27 F16C=29; leaf 7 EBX AVX2=5 F=16 BW=30;
# XCR0 SSE|AVX state = 0b110, AVX-512 state = 0b11100000.
ECX, EBX = (1 << 12) | (1 << 26) | (1 << 27) | (1 << 29), (1 << 5) | (1 << 16) | (1 << 30)
XCR0 = 0b11100110


@pytest.mark.parametrize(
    ("max_leaf", "ecx", "ebx", "xcr0", "expected"),
    # no BW; no ZMM state saved; no AVX state saved; no OSXSAVE; leaf 7 absent
    [(13, ECX, EBX, XCR0, 7), (13, ECX, 1 << 5, XCR0, 4), (13, ECX, EBX & ~(1 << 30), XCR0, 6)]
    + [(13, ECX, EBX, 0b110, 4), (13, ECX, EBX, 0b010, 0), (13, ECX & ~(1 << 27), EBX, XCR0, 0)]
    + [(6, ECX, EBX, XCR0, 0)],
)
def test_capability_derivation(max_leaf, ecx, ebx, xcr0, expected):  # expected: bits AVX2 F BW
    want = tuple(bool(expected >> b & 1) for b in (2, 1, 0))
    assert T.derive_cpu_features(max_leaf, ecx, ebx, xcr0) == want
