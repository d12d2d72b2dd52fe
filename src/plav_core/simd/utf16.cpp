// UTF-8 to UTF-16 for text within the Basic Multilingual Plane: whole texts, and the
// plain text between escapes of a string read as UTF-16. Runs of 16 ASCII bytes are
// widened with SSE2 (which every x86-64 CPU has); other characters are decoded one
// at a time.
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

// The loop both transcoders share: blocks of 16 bytes stored whole by `store`
// (widened or copied; o + 16 stays within the room since o never runs ahead of i)
// of which the ASCII prefix is kept, then characters one at a time by `decode`
// up to the next ASCII byte. `decode` reads the character at s[i], writes it and
// advances i and o, or returns false for text the output form cannot hold.
template <class Unit, class Store, class Decode>
size_t transcode(const uint8_t *s, size_t n, Unit *out, Store store, Decode decode) noexcept {
    Unit *o = out;
    size_t i = 0;
    while (i < n) {
        if (n - i >= 16) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            store(b, o);
            const auto high = static_cast<uint32_t>(_mm_movemask_epi8(b));
            const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
            i += ascii;
            o += ascii;
            if (ascii == 16)
                continue;
        }
        do {
            if (s[i] < 0x80) {
                *o++ = s[i++];
            } else if (!decode(i, o)) {
                return SIZE_MAX;
            }
        } while (i < n && s[i] >= 0x80);
    }
    return static_cast<size_t>(o - out);
}

} // namespace

size_t utf8_to_utf16_bmp(const uint8_t *s, size_t n, uint16_t *out) noexcept {
    if (has_four_byte_lead(s, n))
        return SIZE_MAX;
    const __m128i zero = _mm_setzero_si128();
    auto widen = [zero](__m128i b, uint16_t *o) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_unpacklo_epi8(b, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 8), _mm_unpackhi_epi8(b, zero));
    };
    auto decode = [s, n](size_t &i, uint16_t *&o) {
        const uint8_t c = s[i];
        if (c >= 0xC2 && c < 0xE0) { // 110xxxxx 10xxxxxx
            if (n - i < 2 || (s[i + 1] & 0xC0) != 0x80)
                return false;
            *o++ = static_cast<uint16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
            return true;
        }
        if (c >= 0xE0 && c < 0xF0) { // 1110xxxx 10xxxxxx 10xxxxxx
            if (n - i < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80)
                return false;
            const uint32_t u = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            if (u < 0x800 || (u >= 0xD800 && u <= 0xDFFF))
                return false; // overlong, surrogate
            *o++ = static_cast<uint16_t>(u);
            i += 3;
            return true;
        }
        return false; // above U+FFFF, or not a lead byte
    };
    return transcode(s, n, out, widen, decode);
}

size_t plain_text_to_utf16(const uint8_t *s, size_t n, uint16_t *out, size_t &units) noexcept {
    // Stops: a backslash, a quote, or a byte below 0x20 (min(b, 0x1F) == b). Blocks
    // are widened as they are read, which is the output while the text is ASCII.
    const __m128i backslash = _mm_set1_epi8('\\'), quote = _mm_set1_epi8('"');
    const __m128i control = _mm_set1_epi8(0x1F), zero = _mm_setzero_si128();
    unsigned high = 0; // bytes >= 0x80 seen
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_unpacklo_epi8(b, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), _mm_unpackhi_epi8(b, zero));
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, backslash), _mm_cmpeq_epi8(b, quote)),
                         _mm_cmpeq_epi8(_mm_min_epu8(b, control), b))));
        const auto highs = static_cast<unsigned>(_mm_movemask_epi8(b));
        if (stops != 0) {
            const unsigned k = static_cast<unsigned>(__builtin_ctz(stops));
            high |= highs & ((1u << k) - 1);
            i += k;
            goto found;
        }
        high |= highs;
    }
    for (; i < n; ++i) {
        const uint8_t c = s[i];
        if (c == '\\' || c == '"' || c < 0x20)
            break;
        high |= c & 0x80;
        out[i] = c;
    }
found:
    if (high == 0) {
        units = i;
        return i;
    }
    units = utf8_to_utf16_bmp(s, i, out);
    return units == SIZE_MAX ? SIZE_MAX : i;
}

size_t utf8_to_latin1(const uint8_t *s, size_t n, uint8_t *out) noexcept {
    auto copy = [](__m128i b, uint8_t *o) { _mm_storeu_si128(reinterpret_cast<__m128i *>(o), b); };
    auto decode = [s, n](size_t &i, uint8_t *&o) {
        const uint8_t c = s[i];
        if ((c == 0xC2 || c == 0xC3) && n - i >= 2 && (s[i + 1] & 0xC0) == 0x80) {
            *o++ = static_cast<uint8_t>(((c & 0x03) << 6) | (s[i + 1] & 0x3F));
            i += 2;
            return true;
        }
        return false; // above U+00FF, or not UTF-8
    };
    return transcode(s, n, out, copy, decode);
}

} // namespace plav
