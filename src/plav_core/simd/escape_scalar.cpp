// The reference escaper, one byte at a time.
#include "simd/escape.hpp"

namespace plav {

bool write_escaped_str_scalar(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept {
    // Room for every byte unescaped; each escape reserves its extra bytes.
    if (!buf.try_reserve(n))
        return false; // the buffer failed: nothing is kept
    uint8_t seen = 0;
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = s[i];
        seen |= c;
        if (ESCAPE_LETTER[c] == 0) [[likely]]
            continue;
        buf.put_unchecked(s + run, i - run);
        if (!buf.try_reserve(6 + (n - i - 1)))
            return false;
        buf.advance(write_escape(c, buf.cursor()));
        run = i + 1;
    }
    buf.put_unchecked(s + run, n - run);
    const bool non_ascii = (seen & 0x80) != 0;
    buf.non_ascii |= non_ascii;
    return non_ascii;
}

} // namespace plav
