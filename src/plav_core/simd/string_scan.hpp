// The content scan of a quoted string (its bytes without the quotes): one pass that
// stops at a backslash and otherwise ORs every byte, whose high bit then says
// whether any byte is non-ASCII.
//   byte      backslash test          ascii test
//   0x5C      (b ^ 0x5C) == 0         -
//   >= 0x80   -                       OR of all bytes & 0x80
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plav {

inline constexpr unsigned HAS_BACKSLASH = 1;
inline constexpr unsigned NON_ASCII = 2;

// The 32-byte AVX2 form; needs n >= 32 (the last block is loaded overlapping).
unsigned scan_content_avx2(const uint8_t *p, size_t n) noexcept;

// The word-at-a-time form, the reference the vector form must agree with: a zero
// byte in w ^ 0x5C.. marks a backslash; (x - 0x01..) & ~x & 0x80.. is nonzero
// exactly when x has a zero byte.
inline unsigned scan_content_words(const uint8_t *p, size_t n) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    constexpr uint64_t bs = 0x5C5C5C5C5C5C5C5CULL;
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        const uint64_t x = w ^ bs;
        if ((x - ones) & ~x & highs)
            return HAS_BACKSLASH;
        acc |= w;
    }
    for (; i < n; ++i) {
        if (p[i] == '\\')
            return HAS_BACKSLASH;
        acc |= p[i];
    }
    return (acc & highs) ? NON_ASCII : 0;
}

// HAS_BACKSLASH, NON_ASCII or 0; `avx2` is the caller's once-per-call CPU check.
inline unsigned scan_content(const uint8_t *p, size_t n, bool avx2) noexcept {
    if (n >= 32 && avx2)
        return scan_content_avx2(p, n);
    return scan_content_words(p, n);
}

} // namespace plav
