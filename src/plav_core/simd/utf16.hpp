// The written UTF-8 text as UTF-16 (characters within U+0000-U+FFFF) or as
// Latin-1 (within U+0000-U+00FF): CPython builds its 1- and 2-byte str forms from
// these several times faster than from UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plav {

// Writes the code units of the UTF-8 text s[0, n) at `out` (room for n units) and
// returns their count; returns SIZE_MAX at the first character above U+FFFF or
// at bytes that are not well-formed UTF-8 (the caller then decodes the UTF-8).
size_t utf8_to_utf16_bmp(const uint8_t *s, size_t n, uint16_t *out) noexcept;

// The plain text at the start of s[0, n), up to the first backslash, quote or byte
// below 0x20 (or to n), written as UTF-16 at `out` (room for the text's bytes and 16
// more units; blocks are stored whole). Returns the bytes read and sets `units` to
// the units written; returns SIZE_MAX when the text is not well-formed UTF-8 or
// holds a character above U+FFFF.
size_t plain_text_to_utf16(const uint8_t *s, size_t n, uint16_t *out, size_t &units) noexcept;

// Writes the Latin-1 bytes of the UTF-8 text s[0, n) at `out` (room for n bytes)
// and returns their count; returns SIZE_MAX at the first character above U+00FF or
// at bytes that are not well-formed UTF-8.
size_t utf8_to_latin1(const uint8_t *s, size_t n, uint8_t *out) noexcept;

} // namespace plav
