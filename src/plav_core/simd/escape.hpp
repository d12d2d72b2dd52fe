// String escaping for quoted output: three variants with identical output (bytes,
// AVX2 32-byte blocks, AVX-512 64-byte blocks).
#pragma once
#include <emmintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "syntax.hpp"
#include "types/output_buffer.hpp"

namespace plav {

// Append the escaped form of s[0, n) (no surrounding quotes). They return whether
// a byte 0x80-0xFF passed through, and then also set buf.non_ascii. They cannot fail.
bool write_escaped_str_scalar(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;
bool write_escaped_str_avx2(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;
bool write_escaped_str_avx512(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;

using EscapeFn = bool (*)(const uint8_t *, size_t, OutputBuffer &) noexcept;

inline EscapeFn escaper_for(SimdLevel level) noexcept {
    return kernel_for<EscapeFn>(level, write_escaped_str_scalar, write_escaped_str_avx2,
                                write_escaped_str_avx512);
}

// Strings of at most 32 bytes that need no escape, the common case for keys and
// short values, are copied inline after one or two 16-byte compares (SSE2, which
// every x86-64 CPU has). Writes SHORT_CLEAN_ROOM bytes at `out` (the caller
// reserved them) and returns 0 (ASCII) or 1 (non-ASCII); returns -1 with nothing
// valid written when the string is longer or holds a byte that needs an escape.
// The loads may read past the end of the string but never past its 4 KiB page,
// so they cannot fault.
constexpr size_t SHORT_CLEAN_MAX = 32;
constexpr size_t SHORT_CLEAN_ROOM = 32;

// Marks as in the vector escapers: '"', '\', and bytes whose unsigned minimum
// with 0x1F is themselves (0x00-0x1F).
inline uint32_t short_marks(__m128i b) noexcept {
    const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(0x22)),
                                                    _mm_cmpeq_epi8(b, _mm_set1_epi8(0x5C))),
                                       _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8(0x1F)), b));
    return static_cast<uint32_t>(_mm_movemask_epi8(marks));
}

__attribute__((no_sanitize_address)) inline int write_short_clean(const uint8_t *s, size_t n,
                                                                  uint8_t *out) noexcept {
    if (n > SHORT_CLEAN_MAX || (reinterpret_cast<uintptr_t>(s) & 4095) > 4096 - SHORT_CLEAN_MAX)
        return -1;
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    if (n <= 16) {
        const uint32_t lanes = (uint32_t{1} << n) - 1;
        if (short_marks(low) & lanes)
            return -1;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), low);
        return (static_cast<uint32_t>(_mm_movemask_epi8(low)) & lanes) != 0;
    }
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16));
    const uint32_t lanes = n == 32 ? ~uint32_t{0} : (uint32_t{1} << n) - 1;
    if ((short_marks(low) | short_marks(high) << 16) & lanes)
        return -1;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), low);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), high);
    const uint32_t top = static_cast<uint32_t>(_mm_movemask_epi8(low)) |
                         static_cast<uint32_t>(_mm_movemask_epi8(high)) << 16;
    return (top & lanes) != 0;
}

using syntax::is_identifier; // the keys written bare

// Per byte: 0 when it passes unchanged, else the letter after the backslash of its
// escape ('"', '\\', 'b', 'f', 'n', 'r', 't', or 'u' for \u00XX).
constexpr std::array<uint8_t, 256> make_escape_letters() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c)
        t[c] = 'u';
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['\b'] = 'b';
    t['\f'] = 'f';
    return t;
}
inline constexpr std::array<uint8_t, 256> ESCAPE_LETTER = make_escape_letters();

// Writes the escape of one byte that ESCAPE_LETTER marks; returns its length (2 or 6).
inline size_t write_escape(uint8_t c, uint8_t *out) noexcept {
    constexpr char HEX[] = "0123456789abcdef";
    const uint8_t letter = ESCAPE_LETTER[c];
    out[0] = '\\';
    out[1] = letter;
    if (letter != 'u')
        return 2;
    out[2] = '0';
    out[3] = '0';
    out[4] = static_cast<uint8_t>(HEX[c >> 4]);
    out[5] = static_cast<uint8_t>(HEX[c & 0xF]);
    return 6;
}

// The step of the block escapers at a marked byte: of the block stored whole at
// `out`, keeps the `q` bytes before the mark, writes the mark's escape, and makes
// room for the `rest` input bytes still to come plus one stored block of `block`
// bytes. Returns the next output position, or nullptr when the buffer failed.
inline uint8_t *escape_at_mark(OutputBuffer &buf, uint8_t *out, size_t q, uint8_t mark, size_t rest,
                               size_t block) noexcept {
    buf.set_cursor(out + q);
    if (!buf.try_reserve(6 + rest + block))
        return nullptr;
    out = buf.cursor();
    return out + write_escape(mark, out);
}

} // namespace plav
