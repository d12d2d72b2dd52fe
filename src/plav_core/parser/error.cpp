// Message templates of the reader.
#include "parser/error.hpp"

namespace plav {

std::string byte_as_char(uint8_t c) {
    std::string s;
    if (c < 0x80) {
        s.push_back(static_cast<char>(c));
    } else {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return s;
}

namespace {
ParseError with_char(const char *head, uint8_t c, const char *mid, uint64_t pos) {
    std::string m = head;
    m += byte_as_char(c);
    m += mid;
    m += std::to_string(pos);
    return ParseError{std::move(m), pos};
}
} // namespace

ParseError invalid_char(uint8_t c, uint64_t pos) {
    return with_char("Invalid character '", c, "' at position ", pos);
}
ParseError expected_char(uint8_t c, uint64_t pos) {
    return with_char("Expected '", c, "' at position ", pos);
}
ParseError invalid_escape(uint8_t c, uint64_t pos) {
    return with_char("Invalid escape sequence '\\", c, "' at position ", pos);
}
ParseError unexpected_eof(uint64_t pos) {
    return ParseError{"Unexpected end of input", pos};
}
ParseError invalid_unicode(uint64_t pos) {
    return ParseError{"Invalid Unicode escape at position " + std::to_string(pos), pos};
}
ParseError unescaped_control(uint64_t pos) {
    return ParseError{"Unescaped control character at position " + std::to_string(pos), pos};
}

std::string parse_error_text(const ParseError &e) {
    if (!e.note_position)
        return e.message;
    return e.message +
           " (approximate position: \xC2\xB1"
           "32 bytes from " +
           std::to_string(e.position) + ")";
}

} // namespace plav
