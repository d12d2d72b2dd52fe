// The test grid detection makes of a str value it samples: whether the text holds
// a byte of the syntax's UNSAFE_IN_CELL class, which keeps it out of a grid cell
// under cells="safe" (the grid's own separators and brackets, quotes, backslash
// and line ends).
#pragma once
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "syntax.hpp"

namespace plav {

// The same, one byte at a time: the reference the vector form must agree with.
inline bool has_unsafe_byte_bytes(const uint8_t *s, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (syntax::is_unsafe_in_cell(s[i]))
            return true;
    return false;
}

// The lanes of b that hold an unsafe byte. The brackets pair up under OR 0x20:
//   '[' 5B  '\' 5C  ']' 5D  |0x20->  7B 7C 7D  = '{' '|' '}'
// so one range test, (b | 0x20) - 0x7B <= 2 unsigned, finds all six.
inline uint32_t unsafe_cell_lanes(__m128i b) noexcept {
    auto eq = [&](char c) { return _mm_cmpeq_epi8(b, _mm_set1_epi8(c)); };
    const __m128i folded = _mm_sub_epi8(_mm_or_si128(b, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x7B));
    const __m128i bracket = _mm_cmpeq_epi8(_mm_min_epu8(folded, _mm_set1_epi8(2)), folded);
    const __m128i marks = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(eq('\t'), eq('\n')), _mm_or_si128(eq('\r'), eq('"'))),
        _mm_or_si128(_mm_or_si128(eq(','), eq(':')), _mm_or_si128(eq(';'), bracket)));
    return static_cast<uint32_t>(_mm_movemask_epi8(marks));
}

constexpr bool lane_test_matches_table() {
    for (int c = 0; c < 256; ++c) {
        const auto b = static_cast<uint8_t>(c);
        const bool bracket = static_cast<uint8_t>((b | 0x20) - 0x7B) <= 2;
        const bool marked = b == '\t' || b == '\n' || b == '\r' || b == '"' || b == ',' ||
                            b == ':' || b == ';' || bracket;
        if (marked != syntax::is_unsafe_in_cell(b))
            return false;
    }
    return true;
}
static_assert(lane_test_matches_table(),
              "unsafe_cell_lanes must find exactly the unsafe cell bytes");

// Whether s[0, n) holds an unsafe byte, 16 bytes at a time with SSE2 (which every
// x86-64 CPU has), inline for the loops over sampled cells. The last partial block
// (all of a short string) is one load that may read past the end but never past
// its 4 KiB page.
__attribute__((no_sanitize_address)) inline bool has_unsafe_byte(const uint8_t *s,
                                                                 size_t n) noexcept {
    size_t i = 0;
    for (; n - i >= 16; i += 16)
        if (unsafe_cell_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i))))
            return true;
    if (i == n)
        return false;
    const uint8_t *tail = s + i;
    if ((reinterpret_cast<uintptr_t>(tail) & 4095) <= 4096 - 16) {
        const uint32_t lanes = (uint32_t{1} << (n - i)) - 1;
        return (unsafe_cell_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(tail))) &
                lanes) != 0;
    }
    return has_unsafe_byte_bytes(s + i, n - i);
}

} // namespace plav
