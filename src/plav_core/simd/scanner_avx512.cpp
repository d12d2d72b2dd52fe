// AVX-512 (F and BW) scanner: 64-byte blocks classified by five byte compares
// into one 64-bit mask; dispatch as in the AVX2 scanner.
#include <immintrin.h>

#include <cstring>

#include "simd/scanner.hpp"

namespace plav {
namespace {

// byte          test               catches
// 0x22          b == 0x22          "
// 0x2C          b == 0x2C          ,
// 0x3A 0x3B     (b & 0xFE) == 0x3A : ;
// 0x5B 0x7B     (b & 0xDF) == 0x5B [ {
// 0x5D 0x7D     (b & 0xDF) == 0x5D ] }
__attribute__((target("avx512f,avx512bw"))) inline uint64_t candidate_mask(__m512i block) {
    const __m512i fold_case = _mm512_and_si512(block, _mm512_set1_epi8(static_cast<char>(0xDF)));
    const __m512i fold_colon = _mm512_and_si512(block, _mm512_set1_epi8(static_cast<char>(0xFE)));
    return _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8(0x22)) |
           _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8(0x2C)) |
           _mm512_cmpeq_epi8_mask(fold_colon, _mm512_set1_epi8(0x3A)) |
           _mm512_cmpeq_epi8_mask(fold_case, _mm512_set1_epi8(0x5B)) |
           _mm512_cmpeq_epi8_mask(fold_case, _mm512_set1_epi8(0x5D));
}

} // namespace

__attribute__((target("avx512f,avx512bw,bmi"))) void scan_avx512(const uint8_t *data, size_t n,
                                                                 StructuralIndex &idx) {
    size_t start = 0;
    for (; start + 64 <= n; start += 64) {
        uint64_t m = candidate_mask(_mm512_loadu_si512(data + start));
        while (m) {
            const size_t p = start + static_cast<size_t>(__builtin_ctzll(m));
            idx.list_for(data[p])->push_back(p);
            m &= m - 1;
        }
    }
    if (start == n)
        return;
    // The last partial block, padded with spaces: small documents are all tail.
    uint8_t tail[64];
    std::memset(tail, ' ', sizeof tail);
    std::memcpy(tail, data + start, n - start);
    uint64_t m = candidate_mask(_mm512_loadu_si512(tail));
    while (m) {
        const unsigned p = static_cast<unsigned>(__builtin_ctzll(m));
        idx.list_for(tail[p])->push_back(start + p);
        m &= m - 1;
    }
}

} // namespace plav
