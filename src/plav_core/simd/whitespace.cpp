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

__attribute__((target("avx2,bmi"))) void skip_whitespace_avx2(const uint8_t *data, size_t n,
                                                              size_t &pos) noexcept {
    while (pos + 32 <= n) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + pos));
        const __m256i ws = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(block, _mm256_set1_epi8(' ')),
                            _mm256_cmpeq_epi8(block, _mm256_set1_epi8('\t'))),
            _mm256_or_si256(_mm256_cmpeq_epi8(block, _mm256_set1_epi8('\n')),
                            _mm256_cmpeq_epi8(block, _mm256_set1_epi8('\r'))));
        const uint32_t w = static_cast<uint32_t>(_mm256_movemask_epi8(ws));
        if (w == 0xFFFFFFFFu) {
            pos += 32;
            continue;
        }
        pos += static_cast<size_t>(__builtin_ctz(~w));  // length of the leading run
        break;
    }
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
