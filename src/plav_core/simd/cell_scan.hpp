// The test grid detection makes of a str value it samples: whether the text holds
// a byte of the syntax's UNSAFE_IN_CELL class, which keeps it out of a grid cell
// under cells="safe" (the grid's own separators and brackets, quotes, backslash
// and line ends).
#pragma once
#include <cstddef>
#include <cstdint>

#include "syntax.hpp"

namespace plav {

// Whether s[0, n) holds an unsafe byte, 16 bytes at a time with SSE2 (which every
// x86-64 CPU has). The last partial block (all of a short string) is one load that
// may read past the end but never past its 4 KiB page.
bool has_unsafe_byte(const uint8_t *s, size_t n) noexcept;

// The same, one byte at a time: the reference the vector form must agree with.
inline bool has_unsafe_byte_bytes(const uint8_t *s, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (syntax::is_unsafe_in_cell(s[i])) return true;
    return false;
}

}  // namespace plav
