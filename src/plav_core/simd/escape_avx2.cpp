// AVX2 escaper: 32 bytes per step. A clean block is stored as loaded; a block with
// a mark keeps its bytes up to the first mark, that byte is escaped, and the next
// block starts right after it.
#include <immintrin.h>

#include <cstring>

#include "simd/escape.hpp"

namespace plav {
namespace {

// A byte is marked when it is '"', '\' or at most 0x1F (unsigned):
//
//   byte   ==0x22  ==0x5C  min(b,0x1F)==b   marked
//   0x00     .       .         yes           yes
//   0x1F     .       .         yes           yes
//   0x20     .       .          .             .
//   0x22    yes      .          .            yes
//   0x5C     .      yes         .            yes
//   0x80+    .       .          .             .    (unsigned minimum is 0x1F)
__attribute__((target("avx2"))) inline uint32_t escape_marks(__m256i b) {
    const __m256i quote = _mm256_cmpeq_epi8(b, _mm256_set1_epi8(0x22));
    const __m256i backslash = _mm256_cmpeq_epi8(b, _mm256_set1_epi8(0x5C));
    const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(b, _mm256_set1_epi8(0x1F)), b);
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(quote, backslash), control)));
}

// The last n < 32 bytes at s as one block, lanes n..31 filled with spaces (never
// marked, never non-ASCII). When the 32 bytes at s lie within one 4 KiB page they
// are loaded directly, since reading past the string cannot fault there; otherwise
// they are copied.
__attribute__((target("avx2"), no_sanitize_address)) inline __m256i load_tail(const uint8_t *s,
                                                                              size_t n) {
    const __m256i spaces = _mm256_set1_epi8(0x20);
    if ((reinterpret_cast<uintptr_t>(s) & 4095) <= 4096 - 32) {
        const __m256i lanes =
            _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        const __m256i keep = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(n)), lanes);
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s));
        return _mm256_blendv_epi8(spaces, b, keep);
    }
    alignas(32) uint8_t tmp[32];
    std::memset(tmp, 0x20, sizeof tmp);
    std::memcpy(tmp, s, n);
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(tmp));
}

} // namespace

__attribute__((target("avx2,bmi"))) bool write_escaped_str_avx2(const uint8_t *s, size_t n,
                                                                OutputBuffer &buf) noexcept {
    // Invariant at the top of the loop: room for the rest of the input unescaped
    // plus one block, since every block is stored whole before its length is known.
    if (!buf.try_reserve(n + 32))
        return false; // the buffer failed: nothing is kept
    uint8_t *out = buf.cursor();
    __m256i seen = _mm256_setzero_si256();
    size_t p = 0;
    while (p < n) {
        const size_t left = n - p;
        const __m256i b = left >= 32 ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + p))
                                     : load_tail(s + p, left);
        seen = _mm256_or_si256(seen, b);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), b);
        const uint32_t marks = escape_marks(b);
        if (marks == 0) {
            const size_t step = left >= 32 ? 32 : left;
            out += step;
            p += step;
            continue;
        }
        const size_t q = static_cast<size_t>(__builtin_ctz(marks));
        out = escape_at_mark(buf, out, q, s[p + q], left - q - 1, 32);
        if (!out)
            return false;
        p += q + 1;
    }
    buf.set_cursor(out);
    const bool non_ascii = _mm256_movemask_epi8(seen) != 0;
    buf.non_ascii |= non_ascii;
    return non_ascii;
}

} // namespace plav
