"""The three scanners build identical structural indexes; the whitespace skipper's
vector form agrees with its byte-only form; capability derivation from CPUID bits."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _plav_testing as kt
import plav_core

STRUCTURAL = b'{[:;,]}"'
HAS_AVX2, HAS_AVX512F, HAS_AVX512BW = kt.cpu_features()
HAS_AVX512 = HAS_AVX512F and HAS_AVX512BW

LEVELS = [
    "scalar",
    pytest.param("avx2", marks=pytest.mark.skipif(not HAS_AVX2, reason="CPU lacks AVX2")),
    pytest.param(
        "avx512", marks=pytest.mark.skipif(not HAS_AVX512, reason="CPU lacks AVX-512 F/BW")
    ),
]


def reference_index(data: bytes):
    return tuple([p for p, b in enumerate(data) if b == c] for c in STRUCTURAL)


# Bytes dense in structural characters, their high-bit look-alikes (0xDB = 0x5B | 0x80,
# 0xFB, 0xDD, 0xFD), bracket/brace neighbours and whitespace.
DENSE = st.sampled_from(list(STRUCTURAL + b"\xdb\xfb\xdd\xfd\xa2\xac\xba\xbb\\ \t\nax0\x00\x7f\xff"))
dense_bytes = st.lists(DENSE, max_size=300).map(bytes)


@pytest.mark.parametrize("level", LEVELS)
@given(data=st.one_of(dense_bytes, st.binary(max_size=300)))
def test_scanner_matches_reference(level, data):
    assert kt.scan(data, level) == reference_index(data)


@pytest.mark.parametrize("level", LEVELS)
def test_every_length_across_block_edges(level):
    # A structural byte at every offset of every length up to three AVX-512 blocks,
    # so both the last lane of a full block and the first byte of the tail are hit.
    for n in range(0, 200):
        for p in {0, n // 2, n - 1, 31, 32, 33, 63, 64, 65} & set(range(n)):
            for c in b'"]}':
                data = bytearray(b"a" * n)
                data[p] = c
                data = bytes(data)
                assert kt.scan(data, level) == reference_index(data)


def test_index_invariants_on_all_structural_bytes():
    data = bytes(range(256)) * 3
    idx = kt.scan(data, "scalar")
    for lst, c in zip(idx, STRUCTURAL):
        assert lst == sorted(set(lst))
        assert all(data[p] == c for p in lst)
    assert sum(map(len, idx)) == 3 * 8


def test_escaped_quote_and_comma_inside_key_are_recorded():
    data = b'{"a,b":"x\\"y"}'
    braces, brackets, colons, semis, commas, cbrackets, cbraces, quotes = kt.scan(data, "scalar")
    assert quotes == [1, 5, 7, 10, 12]
    assert commas == [3] and colons == [6] and braces == [0] and cbraces == [13]


def test_empty_input_gives_empty_lists():
    for level in ("scalar", "avx2") if HAS_AVX2 else ("scalar",):
        assert kt.scan(b"", level) == ([],) * 8


ws_text = st.lists(
    st.sampled_from([b" ", b"\t", b"\n", b"\r", b"/", b"*", b"//", b"/*", b"*/", b"x", b"\xef\xbb\xbf",
                     b" " * 40, b"\r\n"]),
    max_size=40,
).map(b"".join)


@pytest.mark.skipif(not HAS_AVX2, reason="CPU lacks AVX2")
@given(data=ws_text)
@settings(max_examples=300)
def test_vector_whitespace_skip_agrees_with_bytes_from_every_start(data):
    for pos in range(len(data) + 1):
        expected = kt.skip_whitespace(data, pos, "bytes")
        assert pos <= expected <= len(data)
        assert kt.skip_whitespace(data, pos, "avx2") == expected
        assert kt.skip_whitespace(data, pos, "dispatch") == expected


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
        (b"// c\n\nx", 0, 6),
        (b"// no end", 0, 9),
        (b"\t\n\r x", 0, 4),
        (b"\x0cx", 0, 0),  # form feed is not whitespace
        (b"ab  ", 2, 4),
    ],
)
def test_whitespace_skip_examples(data, start, expected):
    forms = ["bytes", "dispatch"] + (["avx2"] if HAS_AVX2 else [])
    for form in forms:
        assert kt.skip_whitespace(data, start, form) == expected, form


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
    assert kt.derive_cpu_features(max_leaf, ecx, ebx, xcr0) == expected


def test_simd_attribute_follows_capabilities():
    assert plav_core.__simd__ == ("AVX-512" if HAS_AVX512 else "AVX2")
