// The syntax that the reader and the writer share: byte classes, the literal
// words, the word rule for grid cells and the limits. Pure C++ (no Python.h).
// Both sides take these rules from here, so that a string the writer leaves bare
// is one the reader reads back as that string.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace plav::syntax {

// ---- limits ----

inline constexpr uint32_t MAX_READ_DEPTH = 1024;   // nested containers loads reads
inline constexpr uint32_t MAX_WRITE_DEPTH = 256;   // nesting levels dumps writes
inline constexpr uint64_t MAX_GRID_ROWS = 1000000; // rows of one grid that loads reads

// ---- literal words ----

inline constexpr std::string_view TRUE_WORD = "true";
inline constexpr std::string_view FALSE_WORD = "false";
inline constexpr std::string_view NULL_WORD = "null";

// ---- byte classes ----

enum ByteClass : uint16_t {
    IDENTIFIER_START = 1 << 0,    // may start a key the writer leaves bare
    IDENTIFIER_CONTINUE = 1 << 1, // may continue one
    NUMBER_TOKEN = 1 << 2,     // may continue a number token: digits and + - . E I N a e f i n t y
    DELIMITER = 1 << 3,        // separates grid cells: ',', tab, '|'
    ENDS_BARE_CELL = 1 << 4,   // ends a bare cell or header key: a delimiter, ';', ']'
    WHITESPACE = 1 << 5,       // skipped between tokens: space, tab, LF, CR
    UNSAFE_IN_CELL = 1 << 6,   // keeps a string out of a grid under cells="safe"
    NOT_IN_BARE_TEXT = 1 << 7, // never written inside bare text (controls, quotes, brackets,
                               // backslash and what ends a bare cell)
};

constexpr std::array<uint16_t, 256> make_byte_classes() {
    std::array<uint16_t, 256> t{};
    for (int c = 'a'; c <= 'z'; ++c)
        t[c] |= IDENTIFIER_START | IDENTIFIER_CONTINUE;
    for (int c = 'A'; c <= 'Z'; ++c)
        t[c] |= IDENTIFIER_START | IDENTIFIER_CONTINUE;
    for (int c = '0'; c <= '9'; ++c)
        t[c] |= IDENTIFIER_CONTINUE | NUMBER_TOKEN;
    for (uint8_t c : {'_', '$'})
        t[c] |= IDENTIFIER_START | IDENTIFIER_CONTINUE;
    t['-'] |= IDENTIFIER_CONTINUE;
    for (uint8_t c : {'+', '-', '.', 'E', 'I', 'N', 'a', 'e', 'f', 'i', 'n', 't', 'y'})
        t[c] |= NUMBER_TOKEN;
    for (uint8_t c : {',', '\t', '|'})
        t[c] |= DELIMITER | ENDS_BARE_CELL;
    for (uint8_t c : {';', ']'})
        t[c] |= ENDS_BARE_CELL;
    for (uint8_t c : {' ', '\t', '\n', '\r'})
        t[c] |= WHITESPACE;
    for (uint8_t c : {'\t', '\n', '\r', '"', ',', ':', ';', '[', '\\', ']', '{', '|', '}'})
        t[c] |= UNSAFE_IN_CELL;
    for (int c = 0; c < 0x20; ++c)
        t[c] |= NOT_IN_BARE_TEXT;
    t[0x7F] |= NOT_IN_BARE_TEXT;
    for (uint8_t c : {'"', '\\', ',', '|', ';', '[', ']', '{', '}'})
        t[c] |= NOT_IN_BARE_TEXT;
    return t;
}
inline constexpr std::array<uint16_t, 256> BYTE_CLASS = make_byte_classes();

constexpr bool in_class(uint8_t c, uint16_t cls) noexcept {
    return (BYTE_CLASS[c] & cls) != 0;
}
constexpr bool is_delimiter(uint8_t c) noexcept {
    return in_class(c, DELIMITER);
}
constexpr bool ends_bare_cell(uint8_t c) noexcept {
    return in_class(c, ENDS_BARE_CELL);
}
constexpr bool is_number_token_byte(uint8_t c) noexcept {
    return in_class(c, NUMBER_TOKEN);
}
constexpr bool is_whitespace(uint8_t c) noexcept {
    return in_class(c, WHITESPACE);
}
constexpr bool is_unsafe_in_cell(uint8_t c) noexcept {
    return in_class(c, UNSAFE_IN_CELL);
}

// Bytes that continue a word after a literal or number in a grid cell: all but
// whitespace, what ends a bare cell, and '/' (which may start a comment).
constexpr bool continues_word(uint8_t c) noexcept {
    return !in_class(c, WHITESPACE | ENDS_BARE_CELL) && c != '/';
}

// First bytes of a cell that the reader tries as a number or as a literal word.
constexpr bool starts_number(uint8_t c) noexcept {
    return c == '-' || (c >= '0' && c <= '9') || c == 'I' || c == 'N';
}
constexpr bool starts_literal(uint8_t c) noexcept {
    return c == 't' || c == 'f' || c == 'n';
}

// Whether s[0, n) is a key the writer leaves bare: a letter, '_' or '$', then
// letters, digits, '_', '$' and '-'.
constexpr bool is_identifier(const uint8_t *s, size_t n) noexcept {
    if (n == 0 || !in_class(s[0], IDENTIFIER_START))
        return false;
    for (size_t i = 1; i < n; ++i)
        if (!in_class(s[i], IDENTIFIER_CONTINUE))
            return false;
    return true;
}

// ---- the word rule for grid cells ----

inline constexpr size_t NO_TOKEN = SIZE_MAX;

// One past the literal word (true, false, null) at s[p], or NO_TOKEN.
inline size_t literal_end(const uint8_t *s, size_t n, size_t p) noexcept {
    const std::string_view word = s[p] == 't' ? TRUE_WORD : s[p] == 'f' ? FALSE_WORD : NULL_WORD;
    if (n - p < word.size() || std::memcmp(s + p, word.data(), word.size()) != 0)
        return NO_TOKEN;
    return p + word.size();
}

// One past the number token at s[p] when it is a valid number, else NO_TOKEN.
// Defined with the number reader (parser/fast_number.cpp).
size_t valid_number_end(const uint8_t *s, size_t n, size_t p) noexcept;

// A grid cell whose value token (literal or number) ended at `end` (NO_TOKEN: not
// a valid value) is bare text when the token is invalid or, after spaces, a byte
// follows that continues the word. The end of the input does not continue it.
inline bool token_starts_word(const uint8_t *s, size_t n, size_t end) noexcept {
    if (end == NO_TOKEN)
        return true;
    while (end < n && s[end] == ' ')
        ++end;
    return end < n && continues_word(s[end]);
}

// Whether the grid cell at s[p] (which starts_number or starts_literal) reads as
// bare text rather than as a value. A number token is the longest run of
// NUMBER_TOKEN bytes, and a valid one ends there too: when a byte that continues
// the word follows the run, the cell is a word whether or not the run is a number.
inline bool cell_starts_word(const uint8_t *s, size_t n, size_t p) noexcept {
    if (starts_literal(s[p]))
        return token_starts_word(s, n, literal_end(s, n, p));
    size_t run = p + 1;
    while (run < n && is_number_token_byte(s[run]))
        ++run;
    if (token_starts_word(s, n, run))
        return true;
    return valid_number_end(s, n, p) == NO_TOKEN;
}

// Whether the UTF-8 text s[0, n), written bare as a grid header key, reads back
// as that text: not empty, no byte outside bare text, no space at either end, and
// no quote or comment at its start. `non_ascii` tells, when it does, whether a
// byte above 0x7F was seen.
inline bool bare_key_reads_back(const uint8_t *s, size_t n, bool &non_ascii) noexcept {
    if (n == 0 || s[0] == ' ' || s[n - 1] == ' ' || s[0] == '/')
        return false;
    uint8_t seen = 0;
    for (size_t i = 0; i < n; ++i) {
        if (in_class(s[i], NOT_IN_BARE_TEXT))
            return false;
        seen |= s[i];
    }
    non_ascii = (seen & 0x80) != 0;
    return true;
}

// Whether the UTF-8 text s[0, n), written bare as a grid cell, reads back as that
// text: a bare header key that does not start an object, a list, a literal or a
// number (or does, but reads as a word by the rule above).
inline bool bare_cell_reads_back(const uint8_t *s, size_t n, bool &non_ascii) noexcept {
    if (!bare_key_reads_back(s, n, non_ascii))
        return false;
    const uint8_t c = s[0];
    if (starts_number(c) || starts_literal(c))
        return cell_starts_word(s, n, 0);
    return true;
}

} // namespace plav::syntax
