// UTF-8 to UTF-16 for text within the Basic Multilingual Plane. Runs of 16 ASCII
// bytes are widened with SSE2 (which every x86-64 CPU has); other characters are
// decoded one at a time.
#include "simd/utf16.hpp"

#include <emmintrin.h>

#include <cstring>

namespace plav {

namespace {

// Whether s[0, n) holds a byte 0xF0-0xFF: the lead byte of a character above
// U+FFFF, or no UTF-8 at all. A quick pass that spares text which needs all four
// bytes of a character a transcoding that would be thrown away.
bool has_four_byte_lead(const uint8_t *s, size_t n) noexcept {
    const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        // max(b, 0xF0) == b exactly where b >= 0xF0 (unsigned).
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(b, high), b)) != 0)
            return true;
    }
    for (; i < n; ++i)
        if (s[i] >= 0xF0)
            return true;
    return false;
}

} // namespace

size_t utf8_to_utf16_bmp(const uint8_t *s, size_t n, uint16_t *out) noexcept {
    constexpr size_t FAIL = SIZE_MAX;
    if (has_four_byte_lead(s, n))
        return FAIL;
    const __m128i zero = _mm_setzero_si128();
    uint16_t *o = out;
    size_t i = 0;
    while (i < n) {
        if (n - i >= 16) {
            // Widen the whole block and keep its ASCII prefix: o + 16 stays
            // within the room since o never runs ahead of i.
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_unpacklo_epi8(b, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 8), _mm_unpackhi_epi8(b, zero));
            const auto high = static_cast<uint32_t>(_mm_movemask_epi8(b));
            const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
            i += ascii;
            o += ascii;
            if (ascii == 16)
                continue;
        }
        // Characters one at a time up to the next ASCII byte (or the end).
        do {
            const uint8_t c = s[i];
            if (c < 0x80) {
                *o++ = c;
                i += 1;
            } else if (c >= 0xC2 && c < 0xE0) { // 110xxxxx 10xxxxxx
                if (n - i < 2 || (s[i + 1] & 0xC0) != 0x80)
                    return FAIL;
                *o++ = static_cast<uint16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
                i += 2;
            } else if (c >= 0xE0 && c < 0xF0) { // 1110xxxx 10xxxxxx 10xxxxxx
                if (n - i < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80)
                    return FAIL;
                const uint32_t u =
                    ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
                if (u < 0x800 || (u >= 0xD800 && u <= 0xDFFF))
                    return FAIL; // overlong, surrogate
                *o++ = static_cast<uint16_t>(u);
                i += 3;
            } else {
                return FAIL; // above U+FFFF, or not a lead byte
            }
        } while (i < n && s[i] >= 0x80);
    }
    return static_cast<size_t>(o - out);
}

size_t utf8_to_latin1(const uint8_t *s, size_t n, uint8_t *out) noexcept {
    constexpr size_t FAIL = SIZE_MAX;
    uint8_t *o = out;
    size_t i = 0;
    while (i < n) {
        if (n - i >= 16) {
            // Copy the whole block and keep its ASCII prefix (o never runs ahead of i).
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o), b);
            const auto high = static_cast<uint32_t>(_mm_movemask_epi8(b));
            const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
            i += ascii;
            o += ascii;
            if (ascii == 16)
                continue;
        }
        do {
            const uint8_t c = s[i];
            if (c < 0x80) {
                *o++ = c;
                i += 1;
            } else if ((c == 0xC2 || c == 0xC3) && n - i >= 2 && (s[i + 1] & 0xC0) == 0x80) {
                *o++ = static_cast<uint8_t>(((c & 0x03) << 6) | (s[i + 1] & 0x3F));
                i += 2;
            } else {
                return FAIL; // above U+00FF, or not UTF-8
            }
        } while (i < n && s[i] >= 0x80);
    }
    return static_cast<size_t>(o - out);
}

} // namespace plav
