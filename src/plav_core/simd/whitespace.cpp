// Whitespace and comment skipping. The vector phase only crosses runs of plain
// whitespace; comments and the byte-order mark are always handled byte by byte.
#include "simd/whitespace.hpp"

#include <immintrin.h>

#include "cpu.hpp"

namespace plav {

void skip_whitespace_bytes(const uint8_t *data, size_t n, size_t &pos) noexcept {
    while (pos < n) {
        const uint8_t c = data[pos];
        if (is_whitespace_byte(c)) {
            ++pos;
        } else if (c == '/' && pos + 1 < n && data[pos + 1] == '*') {
            if (pos + 3 >= n) {
                pos = n;
                return;
            }
            size_t i = pos + 2;
            for (; i + 1 < n; ++i) {
                if (data[i] == '*' && data[i + 1] == '/') break;
            }
            if (i + 1 >= n) {
                pos = n;  // an unterminated block comment consumes the rest
                return;
            }
            pos = i + 2;
        } else if (c == '/' && pos + 1 < n && data[pos + 1] == '/') {
            size_t i = pos + 2;
            while (i < n && data[i] != '\n' && data[i] != '\r') ++i;
            if (i >= n) {
                pos = n;
            } else if (data[i] == '\r' && i + 1 < n && data[i + 1] == '\n') {
                pos = i + 2;
            } else {
                pos = i + 1;
            }
        } else if (c == 0xEF && pos == 0 && n >= 3 && data[1] == 0xBB && data[2] == 0xBF) {
            pos = 3;
        } else {
            return;
        }
    }
}

// A byte is whitespace when it equals the table entry its low nibble picks; bytes
// with the high bit set pick 0 and never match:
//   nibble  0     9     A     D     other
//   entry   0x20  0x09  0x0A  0x0D  0x80
__attribute__((target("avx2,bmi"))) size_t whitespace_prefix_avx2(const uint8_t *p,
                                                                  const uint8_t *end) noexcept {
    const __m256i table = _mm256_setr_epi8(
        0x20, -128, -128, -128, -128, -128, -128, -128, -128, 0x09, 0x0A, -128, -128, 0x0D, -128,
        -128, 0x20, -128, -128, -128, -128, -128, -128, -128, -128, 0x09, 0x0A, -128, -128, 0x0D,
        -128, -128);
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
    if (pos + 32 <= n) pos += whitespace_prefix_avx2(data + pos, data + n);
    skip_whitespace_bytes(data, n, pos);
}

void skip_whitespace_run(const uint8_t *data, size_t n, size_t &pos) noexcept {
    if (pos + 32 <= n && cpu_features().avx2) {
        skip_whitespace_avx2(data, n, pos);
    } else {
        skip_whitespace_bytes(data, n, pos);
    }
}

}  // namespace plav
