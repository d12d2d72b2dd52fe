// Skipping whitespace (space, tab, LF, CR), `//` and `/* */` comments and a
// byte-order mark at offset 0: the one routine every reader calls between tokens,
// with a vector phase over long whitespace runs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "syntax.hpp"

namespace plav {

using syntax::is_whitespace;

// The byte-only form, the syntax's own skipper: the vector form must agree with it.
inline void skip_whitespace_bytes(const uint8_t *data, size_t n, size_t &pos) noexcept {
    syntax::skip_whitespace_and_comments(data, n, pos, false);
}
// A 32-byte AVX2 phase over whitespace runs, then the byte phase.
void skip_whitespace_avx2(const uint8_t *data, size_t n, size_t &pos) noexcept;
// The AVX2 phase alone: the length of the whitespace run at `p`, 32 bytes at a
// time while 32 remain before `end` (at least 32 must). A run that goes on into the
// last end - p mod 32 bytes is counted only up to them: the result is
// min(run, 32 * floor((end - p) / 32)).
size_t whitespace_prefix_avx2(const uint8_t *p, const uint8_t *end) noexcept;
// Chooses the AVX2 form when the processor has it.
void skip_whitespace_run(const uint8_t *data, size_t n, size_t &pos) noexcept;

// Advances `pos` (<= n) past whitespace and comments; never backwards, never past n.
// The common case, a token right at `pos`, costs one compare and no call.
inline void skip_whitespace_simd(const uint8_t *data, size_t n, size_t &pos) noexcept {
    if (pos >= n)
        return;
    const uint8_t c = data[pos];
    if (c > 0x20 && c != '/' && c != 0xEF)
        return;
    skip_whitespace_run(data, n, pos);
}

} // namespace plav
