// Number tokens: extent, grammar and conversion, over bytes only. The caller
// turns the outcome into a Python int or float.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "parser/fast_number_table.hpp"
#include "syntax.hpp"

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

// Bytes that may continue a number token, as a plain table for the hot loops.
struct NumberTokenTable {
    bool t[256] = {};
    constexpr NumberTokenTable() {
        for (int c = 0; c < 256; ++c)
            t[c] = syntax::is_number_token_byte(static_cast<uint8_t>(c));
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
// The float fast path, inline in the value reader. Not for other callers: use
// read_float.
// 10^0 .. 10^22: the powers of ten a double holds exactly.
inline constexpr double EXACT_POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Digits eight at a time. In a little-endian word a byte is a digit when its
// high nibble is 3 and adding 6 does not carry into that nibble:
//   byte        & 0xF0   (+ 0x06) & 0xF0 >> 4   OR
//   '0'..'9'    0x30     0x03                   0x33
//   ':'..'?'    0x30     0x04                   0x34
// so XOR with 0x33.. leaves a nonzero byte exactly at each non-digit. A carry out
// of the + 0x06 starts only at a non-digit byte and moves upwards, so the lowest
// nonzero byte is always the first non-digit.
inline uint64_t non_digit_bytes(uint64_t v) {
    return ((v & 0xF0F0F0F0F0F0F0F0ULL) |
            (((v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) ^
           0x3333333333333333ULL;
}

// The value of eight digits, the first in the lowest byte: pairs of digits, then
// pairs of pairs, then the two halves.
inline uint32_t eight_digits_value(uint64_t v) {
    v -= 0x3030303030303030ULL;
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}

inline constexpr uint64_t POWERS_OF_TEN_INT[] = {1,      10,      100,      1000,     10000,
                                                 100000, 1000000, 10000000, 100000000};

// Appends the run of digits at `p` to `w` (which wraps past 19 digits: callers
// count them) and returns the end of the run. A run shorter than a word is
// shifted to the word's top and led by '0' bytes, which add nothing.
inline const uint8_t *read_digits(const uint8_t *p, const uint8_t *e, uint64_t &w) {
    while (e - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        const uint64_t other = non_digit_bytes(v);
        if (other == 0) {
            w = w * 100000000 + eight_digits_value(v);
            p += 8;
            continue;
        }
        const unsigned k = static_cast<unsigned>(__builtin_ctzll(other)) >> 3;
        if (k) {
            v = (v << (64 - 8 * k)) | (0x3030303030303030ULL >> (8 * k));
            w = w * POWERS_OF_TEN_INT[k] + eight_digits_value(v);
        }
        return p + k;
    }
    while (p < e && static_cast<uint8_t>(*p - '0') < 10)
        w = 10 * w + (*p++ - '0');
    return p;
}

// w * 10^q, correctly rounded, for 0 < w < 10^19; false when the result would be
// subnormal or infinite or the product cannot decide the rounding.
bool eisel_lemire(uint64_t w, int64_t q, bool negative, double &out) noexcept;
// read_float through std::from_chars alone.
bool read_float_chars(const uint8_t *data, size_t n, size_t start, size_t &end,
                      double &out) noexcept;

// The common float shapes: digits, a fraction, an exponent, at most 19
// significant digits, ending at a byte that cannot continue a number. From `p`,
// the byte after the integer digits (`int_digits` of them, value `w` unless more
// than 19). False for anything else; the callers then ask from_chars.
inline bool read_float_fast_tail(const uint8_t *data, size_t n, size_t start, const uint8_t *p,
                                 uint64_t w, size_t int_digits, size_t &end, double &out) {
    const uint8_t *const e = data + n;
    const bool negative = data[start] == '-';
    const uint8_t *const digits = data + start + negative;
    size_t frac_digits = 0;
    int64_t q = 0;
    if (p < e && *p == '.') {
        const uint8_t *const frac = ++p;
        p = read_digits(p, e, w);
        frac_digits = static_cast<size_t>(p - frac);
        if (frac_digits == 0)
            return false;
        q = -static_cast<int64_t>(frac_digits);
    }
    if (p < e && (*p | 0x20) == 'e') {
        ++p;
        bool negative_exp = false;
        if (p < e && (*p == '+' || *p == '-'))
            negative_exp = *p++ == '-';
        if (p >= e || static_cast<uint8_t>(*p - '0') >= 10)
            return false;
        int64_t x = 0;
        while (p < e && static_cast<uint8_t>(*p - '0') < 10) {
            if (x < 0x10000)
                x = 10 * x + (*p - '0');
            ++p;
        }
        q += negative_exp ? -x : x;
    }
    if (p < e && NUMBER_TOKEN_BYTES.t[*p])
        return false;
    if (int_digits + frac_digits > 19) {
        // w may have wrapped: count the significant digits (leading zeros do not).
        size_t zeros = 0;
        for (const uint8_t *s = digits; s < p && (*s == '0' || *s == '.'); ++s)
            zeros += *s == '0';
        if (int_digits + frac_digits - zeros > 19)
            return false;
    }
    if (w == 0) {
        if (q < POWER_OF_FIVE_MIN || q > POWER_OF_FIVE_MAX)
            return false;
        out = negative ? -0.0 : 0.0;
    } else if (w <= (uint64_t{1} << 53) && q >= -22 && q <= 22) {
        // Both operands exact, so the one rounding of * or / is the right one.
        double d = static_cast<double>(w);
        d = q < 0 ? d / EXACT_POWERS_OF_TEN[-q] : d * EXACT_POWERS_OF_TEN[q];
        out = negative ? -d : d;
    } else if (!eisel_lemire(w, q, negative, out)) {
        return false;
    }
    end = static_cast<size_t>(p - data);
    return true;
}

// read_float for a caller that has already read the sign and the integer digits:
// `p` is the byte after them, `w` their value and `int_digits` their count (at
// most 19).
inline bool read_float_tail(const uint8_t *data, size_t n, size_t start, size_t p, uint64_t w,
                            size_t int_digits, size_t &end, double &out) noexcept {
    return read_float_fast_tail(data, n, start, data + p, w, int_digits, end, out) ||
           read_float_chars(data, n, start, end, out);
}

// Correctly rounded decimal -> binary64 of a complete token (sign included); out of
// range magnitudes give +-inf or +-0. Returns false when the token is not a float.
bool parse_double(const uint8_t *first, const uint8_t *last, double &out) noexcept;

} // namespace plav
