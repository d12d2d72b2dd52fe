// AVX-512 escaper: the AVX2 scheme on 64-byte blocks with compares into mask
// registers; a rest shorter than one block goes to the AVX2 (or byte) escaper.
#include <immintrin.h>

#include "simd/escape.hpp"

namespace plav {

__attribute__((target("avx512f,avx512bw,bmi"))) bool
write_escaped_str_avx512(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept {
    size_t p = 0;
    bool non_ascii = false;
    if (n >= 64) {
        // Marks: byte == 0x22, byte == 0x5C, or byte < 0x20 as unsigned bytes.
        const __m512i quote = _mm512_set1_epi8(0x22);
        const __m512i backslash = _mm512_set1_epi8(0x5C);
        const __m512i space = _mm512_set1_epi8(0x20);
        // Room for the rest of the input unescaped plus one whole stored block.
        if (!buf.try_reserve(n + 64))
            return false; // the buffer failed: nothing is kept
        uint8_t *out = buf.cursor();
        __m512i seen = _mm512_setzero_si512();
        while (n - p >= 64) {
            const __m512i b = _mm512_loadu_si512(s + p);
            seen = _mm512_or_si512(seen, b);
            _mm512_storeu_si512(out, b);
            const uint64_t marks = _mm512_cmpeq_epi8_mask(b, quote) |
                                   _mm512_cmpeq_epi8_mask(b, backslash) |
                                   _mm512_cmplt_epu8_mask(b, space);
            if (marks == 0) {
                out += 64;
                p += 64;
                continue;
            }
            const size_t q = static_cast<size_t>(__builtin_ctzll(marks));
            buf.set_cursor(out + q);
            if (!buf.try_reserve(6 + (n - p - q - 1) + 64))
                return false;
            out = buf.cursor();
            out += write_escape(s[p + q], out);
            p += q + 1;
        }
        buf.set_cursor(out);
        non_ascii = _mm512_movepi8_mask(seen) != 0;
        buf.non_ascii |= non_ascii;
    }
    if (p < n) {
        if (cpu_features().avx2)
            non_ascii |= write_escaped_str_avx2(s + p, n - p, buf);
        else
            non_ascii |= write_escaped_str_scalar(s + p, n - p, buf);
    }
    return non_ascii;
}

} // namespace plav
