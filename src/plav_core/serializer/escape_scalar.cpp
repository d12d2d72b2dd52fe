// The reference escaper, one byte at a time, and the bare-word test.
#include "serializer/escape.hpp"

#include <array>

namespace plav {
namespace {

// Bit 0: may start an identifier; bit 1: may continue one.
constexpr std::array<uint8_t, 256> make_identifier_classes() {
    std::array<uint8_t, 256> t{};
    for (int c = 'a'; c <= 'z'; ++c) t[c] = 3;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = 3;
    for (int c = '0'; c <= '9'; ++c) t[c] = 2;
    t['_'] = 3;
    t['$'] = 3;
    t['-'] = 2;
    return t;
}
constexpr std::array<uint8_t, 256> IDENTIFIER_CLASS = make_identifier_classes();

}  // namespace

bool write_escaped_str_scalar(const uint8_t *s, size_t n, OutputBuffer &buf) noexcept {
    // Room for every byte unescaped; each escape reserves its extra bytes.
    if (!buf.try_reserve(n)) return false;  // the buffer failed: nothing is kept
    uint8_t seen = 0;
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = s[i];
        seen |= c;
        if (ESCAPE_LETTER[c] == 0) [[likely]]
            continue;
        buf.put_unchecked(s + run, i - run);
        if (!buf.try_reserve(6 + (n - i - 1))) return false;
        buf.advance(write_escape(c, buf.cursor()));
        run = i + 1;
    }
    buf.put_unchecked(s + run, n - run);
    const bool non_ascii = (seen & 0x80) != 0;
    buf.non_ascii |= non_ascii;
    return non_ascii;
}

bool is_identifier(const uint8_t *s, size_t n) noexcept {
    if (n == 0 || !(IDENTIFIER_CLASS[s[0]] & 1)) return false;
    for (size_t i = 1; i < n; ++i)
        if (!(IDENTIFIER_CLASS[s[i]] & 2)) return false;
    return true;
}

}  // namespace plav
