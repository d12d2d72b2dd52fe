// The AVX-512 run decoder: the AVX2 scheme on eight escapes (48 bytes) a block,
// spread over four 128-bit lanes, with compares into mask registers. The block is
// loaded under a mask, so that it cannot fault past the input: bytes beyond it load
// as zero, which no escape holds, and the run ends there. (The zero-masking forms of
// broadcast and permute keep GCC 12 from warning about its undefined-vector inputs.)
#include <immintrin.h>

#include "simd/unicode_escapes.hpp"

namespace plav {

__attribute__((target("avx512f,avx512bw,bmi"))) EscapeRun
decode_unicode_escapes_avx512(const uint8_t *p, size_t n, uint16_t *out) noexcept {
    const __m512i spread = _mm512_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11);
    const __m512i pattern = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_setr_epi8('\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, 0, 0, 0, 0));
    const __m512i gather = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_setr_epi8(2, 3, 4, 5, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1));
    // Per lane of 16 bytes: the backslash and 'u' of both escapes (bytes 0, 1, 6, 7),
    // and the ignored copy (bytes 12..15).
    constexpr uint64_t AT_PATTERN = 0x00C300C300C300C3ULL;
    constexpr uint64_t IGNORED = 0xF000F000F000F000ULL;
    const __m512i units_first =
        _mm512_setr_epi32(0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12);
    const __m512i surrogate_base = _mm512_set1_epi16(static_cast<short>(0xD800));
    const __m512i surrogate_span = _mm512_set1_epi16(0x7FF);
    EscapeRun r;
    for (size_t i = 0;; i += 48) {
        const size_t left = n - i;
        const __mmask64 lanes = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
        const __m512i v =
            _mm512_maskz_permutexvar_epi32(0xFFFF, spread, _mm512_maskz_loadu_epi8(lanes, p + i));
        const __m512i d = _mm512_sub_epi8(v, _mm512_set1_epi8('0'));
        const __m512i l =
            _mm512_sub_epi8(_mm512_or_si512(v, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
        const uint64_t hex = _mm512_cmple_epu8_mask(d, _mm512_set1_epi8(9)) |
                             _mm512_cmple_epu8_mask(l, _mm512_set1_epi8(5));
        const uint64_t ok =
            (hex & ~AT_PATTERN) | (_mm512_cmpeq_epi8_mask(v, pattern) & AT_PATTERN) | IGNORED;
        const __m512i nibbles = _mm512_min_epu8(d, _mm512_add_epi8(l, _mm512_set1_epi8(10)));
        const __m512i bytes =
            _mm512_maddubs_epi16(_mm512_shuffle_epi8(nibbles, gather), _mm512_set1_epi16(0x0110));
        const __m512i words = _mm512_madd_epi16(bytes, _mm512_set1_epi32(0x00010100));
        const __m512i units =
            _mm512_maskz_permutexvar_epi32(0xFFFF, units_first, _mm512_packus_epi32(words, words));
        _mm512_mask_storeu_epi16(out + r.count, 0xFF, units); // the first 8 units
        const uint32_t surrogate =
            _mm512_cmple_epu16_mask(_mm512_sub_epi16(units, surrogate_base), surrogate_span) & 0xFF;
        if (ok == ~uint64_t{0}) {
            r.surrogates |= surrogate != 0;
            r.count += 8;
            continue;
        }
        const unsigned z = static_cast<unsigned>(__builtin_ctzll(~ok));
        const unsigned whole = (z >> 4) * 2 + ((z & 15) >= 6);
        r.surrogates |= (surrogate & ((1u << whole) - 1)) != 0;
        r.count += whole;
        return r;
    }
}

} // namespace plav
