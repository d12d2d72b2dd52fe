// AVX2 scanner: 32-byte blocks classified by a nibble lookup; each candidate is
// dispatched on its byte value to its list, lowest bit first, so lists stay sorted.
#include <immintrin.h>

#include <cstring>

#include "simd/scanner.hpp"

namespace plav {
namespace {

// Class bits by nibble. A byte is structural when its low-nibble class and its
// high-nibble class share a bit:
//
//   byte  low  high  shared
//   0x22  0x01 0x03  0x01   "
//   0x2C  0x02 0x03  0x02   ,
//   0x3A  0x04 0x0C  0x04   :
//   0x3B  0x58 0x0C  0x08   ;
//   0x5B  0x58 0x30  0x10   [
//   0x5D  0xA0 0x30  0x20   ]
//   0x7B  0x58 0xC0  0x40   {
//   0x7D  0xA0 0xC0  0x80   }
//
// Every other (low, high) pair shares no bit; bytes 0x80-0xFF have high class 0.
__attribute__((target("avx2"))) inline uint32_t candidate_mask(__m256i block) {
    const __m256i low_table = _mm256_setr_epi8(
        0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x58, 0x02, static_cast<char>(0xA0), 0, 0, //
        0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x58, 0x02, static_cast<char>(0xA0), 0, 0);
    const __m256i high_table = _mm256_setr_epi8(
        0, 0, 0x03, 0x0C, 0, 0x30, 0, static_cast<char>(0xC0), 0, 0, 0, 0, 0, 0, 0, 0, //
        0, 0, 0x03, 0x0C, 0, 0x30, 0, static_cast<char>(0xC0), 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i lo = _mm256_shuffle_epi8(low_table, _mm256_and_si256(block, nibble));
    const __m256i hi =
        _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble));
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256());
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(none));
}

} // namespace

__attribute__((target("avx2,bmi"))) void scan_avx2(const uint8_t *data, size_t n,
                                                   StructuralIndex &idx) {
    size_t start = 0;
    for (; start + 32 <= n; start += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + start));
        uint32_t m = candidate_mask(block);
        while (m) {
            const size_t p = start + static_cast<size_t>(__builtin_ctz(m));
            idx.list_for(data[p])->push_back(p);
            m &= m - 1;
        }
    }
    if (start == n)
        return;
    // The last partial block, padded with spaces: small documents are all tail.
    uint8_t tail[32];
    std::memset(tail, ' ', sizeof tail);
    std::memcpy(tail, data + start, n - start);
    uint32_t m = candidate_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(tail)));
    while (m) {
        const unsigned p = static_cast<unsigned>(__builtin_ctz(m));
        idx.list_for(tail[p])->push_back(start + p);
        m &= m - 1;
    }
}

} // namespace plav
