// AVX-512 escaper: the AVX2 scheme on 64-byte blocks with compares into mask
// registers. The last block of a string is loaded under a mask, which cannot fault
// on the lanes beyond its end, so every length takes the same loop.
#include <immintrin.h>

#include "simd/escape.hpp"

namespace plav {

__attribute__((target("avx512f,avx512bw,bmi"))) bool
write_escaped_str_avx512(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept {
    // Marks: byte == 0x22, byte == 0x5C, or byte < 0x20 as unsigned bytes.
    const __m512i quote = _mm512_set1_epi8(0x22);
    const __m512i backslash = _mm512_set1_epi8(0x5C);
    const __m512i space = _mm512_set1_epi8(0x20);
    // Invariant at the top of the loop: room for the rest of the input unescaped
    // plus one whole stored block.
    if (!buf.try_reserve(n + 64))
        return false; // the buffer failed: nothing is kept
    uint8_t *out = buf.cursor();
    __m512i seen = _mm512_setzero_si512();
    size_t p = 0;
    while (p < n) {
        const size_t left = n - p;
        const size_t step = left >= 64 ? 64 : left;
        const __mmask64 lanes = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
        // Lanes past the end load as zero: no effect on `seen`, and their marks
        // are masked off.
        const __m512i b = _mm512_maskz_loadu_epi8(lanes, s + p);
        seen = _mm512_or_si512(seen, b);
        _mm512_storeu_si512(out, b);
        const uint64_t marks =
            (_mm512_cmpeq_epi8_mask(b, quote) | _mm512_cmpeq_epi8_mask(b, backslash) |
             _mm512_cmplt_epu8_mask(b, space)) &
            lanes;
        if (marks == 0) {
            out += step;
            p += step;
            continue;
        }
        const size_t q = static_cast<size_t>(__builtin_ctzll(marks));
        out = escape_at_mark(buf, out, q, s[p + q], left - q - 1, 64);
        if (!out)
            return false;
        p += q + 1;
    }
    buf.set_cursor(out);
    const bool non_ascii = _mm512_movepi8_mask(seen) != 0;
    buf.non_ascii |= non_ascii;
    return non_ascii;
}

} // namespace plav
