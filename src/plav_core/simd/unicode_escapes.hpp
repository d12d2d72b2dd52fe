// Runs of \uXXXX escapes decoded to UTF-16 code units: the shape of text whose
// writer escaped every non-ASCII character, where escapes follow each other by the
// dozen. A run is the longest sequence of whole escapes (a backslash, 'u', four hex
// digits of either case) from its start; the kernels stop at the first six bytes
// that are not one. They do not pair surrogates: they report whether any unit is one.
//   byte       class     value
//   '0'..'9'   digit     c - '0'
//   'a'..'f'   letter    (c | 0x20) - 'a' + 10
//   'A'..'F'   letter    (c | 0x20 folds to lower case)
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"

namespace plav {

// Per byte: its value as a hex digit, or -1.
inline constexpr std::array<int8_t, 256> HEX_VALUE = [] {
    std::array<int8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
               : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
               : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                      : int8_t{-1};
    return t;
}();

struct EscapeRun {
    size_t count = 0;        // escapes read, one unit written for each
    bool surrogates = false; // a unit lies in U+D800..U+DFFF
};

// Reads the run at p[0, n) (n: the bytes readable from p, which may go past the
// run) and writes its units at `out`. The vector kernels store whole blocks: `out`
// needs room for the run's units and 8 more.
using UnicodeEscapeFn = EscapeRun (*)(const uint8_t *p, size_t n, uint16_t *out) noexcept;

EscapeRun decode_unicode_escapes_scalar(const uint8_t *p, size_t n, uint16_t *out) noexcept;
EscapeRun decode_unicode_escapes_avx2(const uint8_t *p, size_t n, uint16_t *out) noexcept;
EscapeRun decode_unicode_escapes_avx512(const uint8_t *p, size_t n, uint16_t *out) noexcept;

// The scalar loop, also the vector kernels' tail: goes on with the run at p[i, n),
// `r` holding what was read before i.
inline EscapeRun continue_unicode_escapes(const uint8_t *p, size_t n, size_t i, uint16_t *out,
                                          EscapeRun r) noexcept {
    while (n - i >= 6 && p[i] == '\\' && p[i + 1] == 'u') {
        const int a = HEX_VALUE[p[i + 2]], b = HEX_VALUE[p[i + 3]], c = HEX_VALUE[p[i + 4]],
                  d = HEX_VALUE[p[i + 5]];
        if ((a | b | c | d) < 0)
            break;
        const auto unit = static_cast<uint16_t>((a << 12) | (b << 8) | (c << 4) | d);
        out[r.count++] = unit;
        r.surrogates |= static_cast<uint16_t>(unit - 0xD800) < 0x800;
        i += 6;
    }
    return r;
}

inline UnicodeEscapeFn unicode_escape_decoder_for(SimdLevel level) noexcept {
    return kernel_for<UnicodeEscapeFn>(level, decode_unicode_escapes_scalar,
                                       decode_unicode_escapes_avx2, decode_unicode_escapes_avx512);
}

} // namespace plav
