// The AVX2 run decoder: four escapes (24 bytes) a block. The block's six dwords are
// spread so that each 128-bit lane holds two escapes in its first 12 bytes:
//   lane byte   0   1   2..5       6   7   8..11      12..15
//   holds       \   u   4 digits   \   u   4 digits   a copy, ignored
// A digit byte is valid when c - '0' <= 9 or (c | 0x20) - 'a' <= 5 (unsigned); its
// nibble is the smaller of the two readings, c - '0' and (c | 0x20) - 'a' + 10.
// The nibbles are gathered to the lane's first 8 bytes and combined by two
// multiply-adds: pairs of nibbles into bytes, pairs of bytes into units.
#include <immintrin.h>

#include "simd/unicode_escapes.hpp"

namespace plav {

__attribute__((target("avx2,bmi"))) EscapeRun decode_unicode_escapes_avx2(const uint8_t *p,
                                                                          size_t n,
                                                                          uint16_t *out) noexcept {
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5);
    const __m256i pattern =
        _mm256_setr_epi8('\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, 0, 0, 0, 0, '\\', 'u', 0, 0,
                         0, 0, '\\', 'u', 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i at_pattern = _mm256_setr_epi8(-1, -1, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0,
                                                -1, -1, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i ignored = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, 0,
                                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1);
    const __m256i gather =
        _mm256_setr_epi8(2, 3, 4, 5, 8, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, 5, 8, 9,
                         10, 11, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i nibble_pairs = _mm256_set1_epi16(0x0110);   // high nibble x16, low x1
    const __m256i byte_pairs = _mm256_set1_epi32(0x00010100); // high byte x256, low x1
    const __m256i units_first = _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4);
    const __m128i surrogate_base = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i surrogate_span = _mm_set1_epi16(0x7FF);
    EscapeRun r;
    __m128i seen = _mm_setzero_si128();
    size_t i = 0;
    for (; n - i >= 32; i += 24) {
        const __m256i v = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)), spread);
        const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
        const __m256i l =
            _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
        const __m256i hex =
            _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d),
                            _mm256_cmpeq_epi8(_mm256_min_epu8(l, _mm256_set1_epi8(5)), l));
        const __m256i ok = _mm256_or_si256(
            _mm256_blendv_epi8(hex, _mm256_cmpeq_epi8(v, pattern), at_pattern), ignored);
        const __m256i nibbles = _mm256_min_epu8(d, _mm256_add_epi8(l, _mm256_set1_epi8(10)));
        const __m256i bytes =
            _mm256_maddubs_epi16(_mm256_shuffle_epi8(nibbles, gather), nibble_pairs);
        const __m256i words = _mm256_madd_epi16(bytes, byte_pairs);
        const __m128i units = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_packus_epi32(words, words), units_first));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + r.count), units);
        // Units in U+D800..U+DFFF: unit - 0xD800 <= 0x7FF (unsigned).
        const __m128i t = _mm_sub_epi16(units, surrogate_base);
        const __m128i surrogate = _mm_cmpeq_epi16(_mm_min_epu16(t, surrogate_span), t);
        const auto valid = static_cast<uint32_t>(_mm256_movemask_epi8(ok));
        if (valid == ~uint32_t{0}) {
            seen = _mm_or_si128(seen, surrogate);
            r.count += 4;
            continue;
        }
        // The run ends in this block, at the escape holding the first invalid byte.
        const unsigned z = static_cast<unsigned>(__builtin_ctz(~valid));
        const unsigned whole = (z >> 4) * 2 + ((z & 15) >= 6);
        const auto flags = static_cast<uint32_t>(_mm_movemask_epi8(surrogate));
        r.surrogates = (flags & ((1u << (2 * whole)) - 1)) != 0 || _mm_movemask_epi8(seen) != 0;
        r.count += whole;
        return r;
    }
    r.surrogates = _mm_movemask_epi8(seen) != 0;
    return continue_unicode_escapes(p, n, i, out, r);
}

} // namespace plav
