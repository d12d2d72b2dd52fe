// String escaping for quoted output: three variants with identical output (bytes,
// AVX2 32-byte blocks, AVX-512 64-byte blocks), and the bare-word test.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "serializer/output_buffer.hpp"

namespace plav {

// Append the escaped form of s[0, n) (no surrounding quotes); set buf.non_ascii
// when a byte 0x80-0xFF passes through. They cannot fail.
void write_escaped_str_scalar(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;
void write_escaped_str_avx2(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;
void write_escaped_str_avx512(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept;

using EscapeFn = void (*)(const uint8_t *, size_t, OutputBuffer &) noexcept;

inline EscapeFn escaper_for(SimdLevel level) noexcept {
    switch (level) {
    case SimdLevel::Avx512: return write_escaped_str_avx512;
    case SimdLevel::Avx2: return write_escaped_str_avx2;
    default: return write_escaped_str_scalar;
    }
}

// An ASCII letter, "_" or "$", then letters, digits, "_", "$" or "-".
bool is_identifier(const uint8_t *s, size_t n) noexcept;

// Per byte: 0 when it passes unchanged, else the letter after the backslash of its
// escape ('"', '\\', 'b', 'f', 'n', 'r', 't', or 'u' for \u00XX).
constexpr std::array<uint8_t, 256> make_escape_letters() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
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
    if (letter != 'u') return 2;
    out[2] = '0';
    out[3] = '0';
    out[4] = static_cast<uint8_t>(HEX[c >> 4]);
    out[5] = static_cast<uint8_t>(HEX[c & 0xF]);
    return 6;
}

}  // namespace plav
