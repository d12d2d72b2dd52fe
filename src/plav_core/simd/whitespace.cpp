// Whitespace and comment skipping. The vector phase only crosses runs of plain
// whitespace; comments and the byte-order mark are always handled byte by byte.
#include "simd/whitespace.hpp"

#include <immintrin.h>

#include "cpu.hpp"

namespace plav {

// A byte is whitespace when it equals the table entry its low nibble picks; bytes
// with the high bit set pick 0 and never match:
//   nibble  0     9     A     D     other
//   entry   0x20  0x09  0x0A  0x0D  0x80
__attribute__((target("avx2,bmi"))) size_t whitespace_prefix_avx2(const uint8_t *p,
                                                                  const uint8_t *end) noexcept {
    const __m256i table =
        _mm256_setr_epi8(0x20, -128, -128, -128, -128, -128, -128, -128, -128, 0x09, 0x0A, -128,
                         -128, 0x0D, -128, -128, 0x20, -128, -128, -128, -128, -128, -128, -128,
                         -128, 0x09, 0x0A, -128, -128, 0x0D, -128, -128);
    const uint8_t *const start = p;
    for (; end - p >= 32; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const uint32_t ws = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(table, v))));
        if (ws != 0xFFFFFFFFu)
            return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctz(~ws));
    }
    return static_cast<size_t>(p - start);
}

void skip_whitespace_avx2(const uint8_t *data, size_t n, size_t &pos) noexcept {
    if (pos + 32 <= n)
        pos += whitespace_prefix_avx2(data + pos, data + n);
    skip_whitespace_bytes(data, n, pos);
}

void skip_whitespace_run(const uint8_t *data, size_t n, size_t &pos) noexcept {
    if (pos + 32 <= n && cpu_features().avx2) {
        skip_whitespace_avx2(data, n, pos);
    } else {
        skip_whitespace_bytes(data, n, pos);
    }
}

} // namespace plav
