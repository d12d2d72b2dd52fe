// The reader's syntax errors and how every error becomes a Python exception.
#pragma once
#include <cstdint>
#include <string>

#include "result.hpp"

namespace plav {

// A byte of the input shown as the code point of the same value (0xC3 -> U+00C3),
// encoded as UTF-8 for the message.
std::string byte_as_char(uint8_t c);

ParseError invalid_char(uint8_t c, uint64_t pos);
ParseError expected_char(uint8_t c, uint64_t pos);
ParseError invalid_escape(uint8_t c, uint64_t pos);
ParseError unexpected_eof(uint64_t pos);
ParseError invalid_unicode(uint64_t pos);
ParseError unescaped_control(uint64_t pos);
inline ParseError parse_error(const char *fixed_message, uint64_t pos) {
    return ParseError{fixed_message, pos};
}
// An error raised with its message as it stands, positioned at the token's start.
inline ParseError token_error(const char *fixed_message, uint64_t pos) {
    return ParseError{fixed_message, pos, false};
}

// The text of a ParseError: message, then (when noted) the approximate position.
std::string parse_error_text(const ParseError &e);

} // namespace plav
