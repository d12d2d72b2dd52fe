// The AVX2 content scan of a quoted string.
#include <immintrin.h>

#include "simd/string_scan.hpp"

namespace plav {

__attribute__((target("avx2"))) unsigned scan_content_avx2(const uint8_t *p, size_t n) noexcept {
    const __m256i bs = _mm256_set1_epi8('\\');
    __m256i acc = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, bs)))
            return HAS_BACKSLASH;
        acc = _mm256_or_si256(acc, v);
    }
    if (i < n) { // the last 32 bytes again, overlapping (n >= 32)
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + n - 32));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, bs)))
            return HAS_BACKSLASH;
        acc = _mm256_or_si256(acc, v);
    }
    return _mm256_movemask_epi8(acc) ? NON_ASCII : 0;
}

} // namespace plav
