// Number tokens: extent, grammar and conversion, over bytes only. The caller
// turns the outcome into a Python int or float.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plav {

enum class NumberKind : uint8_t {
    Int64,  // `i64` holds the value
    UInt64, // `u64` holds the value (2^63 .. 2^64-1)
    BigInt, // too long for a register: `digits`/`ndigits` and `negative`
    Double, // `f64` holds the value, NaN and the infinities included
    Error,  // `error` holds the message
};

struct NumberToken {
    NumberKind kind = NumberKind::Error;
    bool negative = false;
    size_t end = 0; // one past the token's last byte, on success and on failure
    union {
        int64_t i64;
        uint64_t u64;
        double f64;
    };
    const uint8_t *digits = nullptr; // BigInt: the body's digits (no sign)
    size_t ndigits = 0;
    const char *error = nullptr; // Error: a constant message
    NumberToken() : i64(0) {}
};

inline constexpr const char *MSG_INVALID_NUMBER = "Invalid number";
inline constexpr const char *MSG_LEADING_ZEROS = "Invalid number: leading zeros not allowed";
inline constexpr const char *MSG_DECIMAL_POINT =
    "Invalid number: decimal point must be followed by digits";
inline constexpr const char *MSG_INVALID_FLOAT = "Invalid float";

// Bytes that may continue a number token: digits and + - . E I N a e f i n t y.
struct NumberTokenTable {
    bool t[256] = {};
    constexpr NumberTokenTable() {
        for (int c = '0'; c <= '9'; ++c)
            t[c] = true;
        for (const char *p = "+-.EINaefinty"; *p; ++p)
            t[static_cast<uint8_t>(*p)] = true;
    }
};
inline constexpr NumberTokenTable NUMBER_TOKEN_BYTES;
inline bool is_number_token_byte(uint8_t c) noexcept {
    return NUMBER_TOKEN_BYTES.t[c];
}

// Reads the number token that starts at data[start] (a '-', digit, 'I' or 'N').
NumberToken parse_number(const uint8_t *data, size_t n, size_t start) noexcept;

// The float whose integer part (checked by the caller: digits, no superfluous
// leading zero, a digit after any point) starts the token at data[start]: read by
// std::from_chars, which must stop where the token ends. False when anything is
// off; the caller then takes parse_number for the message.
bool read_float(const uint8_t *data, size_t n, size_t start, size_t &end, double &out) noexcept;
// read_float for a caller that has already read the sign and the integer digits:
// `p` is the byte after them, `w` their value and `int_digits` their count (at
// most 19).
bool read_float_tail(const uint8_t *data, size_t n, size_t start, size_t p, uint64_t w,
                     size_t int_digits, size_t &end, double &out) noexcept;

// Correctly rounded decimal -> binary64 of a complete token (sign included); out of
// range magnitudes give +-inf or +-0. Returns false when the token is not a float.
bool parse_double(const uint8_t *first, const uint8_t *last, double &out) noexcept;

} // namespace plav
