// Number grammar and conversion. Integers of up to 19 digits are accumulated in a
// register; floats go through std::from_chars, which rounds correctly for any
// number of digits (an Eisel-Lemire fast path with an exact fallback).
#include "parser/fast_number.hpp"

#include <charconv>
#include <cstring>
#include <limits>

namespace plav {
namespace {

// Token bytes: '+' '-' '.' '0'-'9' 'E' 'I' 'N' 'a' 'e' 'f' 'i' 'n' 't' 'y'.
struct TokenTable {
    bool t[256] = {};
    constexpr TokenTable() {
        for (int c = '0'; c <= '9'; ++c)
            t[c] = true;
        for (const char *p = "+-.EINaefinty"; *p; ++p)
            t[static_cast<uint8_t>(*p)] = true;
    }
};
constexpr TokenTable TOKEN_BYTES;

inline bool is_digit(uint8_t c) {
    return static_cast<uint8_t>(c - '0') < 10;
}
inline uint8_t lower(uint8_t c) {
    return c | 0x20;
}

bool letters_equal(const uint8_t *p, const char *word, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (lower(p[i]) != static_cast<uint8_t>(word[i]))
            return false;
    return true;
}

// std::from_chars leaves the value untouched when the magnitude is out of range;
// whether it overflowed or underflowed follows from the decimal exponent of the
// first significant digit: positive means too large.
double out_of_range_value(const uint8_t *p, const uint8_t *last, bool negative) {
    if (p < last && *p == '-')
        ++p;
    int64_t lead = 0; // position of the first nonzero digit relative to the point
    bool seen_point = false, seen_nonzero = false;
    int64_t int_digits = 0, zeros_after_point = 0;
    for (; p < last && (is_digit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            seen_point = true;
        } else if (!seen_nonzero) {
            if (*p != '0') {
                seen_nonzero = true;
                if (!seen_point)
                    ++int_digits;
            } else if (seen_point) {
                ++zeros_after_point;
            }
        } else if (!seen_point) {
            ++int_digits;
        }
    }
    lead = seen_nonzero ? (int_digits > 0 ? int_digits : -zeros_after_point) : 0;
    int64_t exp = 0;
    if (p < last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool neg_exp = false;
        if (p < last && (*p == '+' || *p == '-'))
            neg_exp = *p++ == '-';
        for (; p < last && is_digit(*p); ++p)
            if (exp < (int64_t{1} << 40))
                exp = exp * 10 + (*p - '0');
        if (neg_exp)
            exp = -exp;
    }
    const bool overflow = lead + exp > 0;
    const double mag = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -mag : mag;
}

} // namespace

bool is_number_token_byte(uint8_t c) noexcept {
    return TOKEN_BYTES.t[c];
}

bool parse_double(const uint8_t *first, const uint8_t *last, double &out) noexcept {
    const char *b = reinterpret_cast<const char *>(first);
    const char *e = reinterpret_cast<const char *>(last);
    double v = 0.0;
    const auto r = std::from_chars(b, e, v, std::chars_format::general);
    if (r.ptr != e)
        return false;
    if (r.ec == std::errc::result_out_of_range) {
        out = out_of_range_value(first, last, *first == '-');
        return true;
    }
    if (r.ec != std::errc())
        return false;
    out = v;
    return true;
}

namespace {

// The full token rules: extent first, then the special words, the grammar and the
// conversion, each with its own message.
NumberToken parse_number_full(const uint8_t *data, size_t n, size_t start) noexcept {
    NumberToken t;
    size_t end = start;
    while (end < n && TOKEN_BYTES.t[data[end]])
        ++end;
    t.end = end;
    const bool negative = data[start] == '-';
    t.negative = negative;
    const uint8_t *body = data + start + (negative ? 1 : 0);
    const size_t blen = end - start - (negative ? 1 : 0);
    if (blen == 0) {
        t.error = MSG_INVALID_NUMBER;
        return t;
    }

    // NaN and the infinities, spelled in any case (the token set limits which).
    if (blen == 3 || blen == 8) {
        if ((blen == 3 && letters_equal(body, "nan", 3))) {
            uint64_t bits = negative ? 0xFFF8000000000000ULL : 0x7FF8000000000000ULL;
            std::memcpy(&t.f64, &bits, 8);
            t.kind = NumberKind::Double;
            return t;
        }
        if ((blen == 3 && letters_equal(body, "inf", 3)) ||
            (blen == 8 && letters_equal(body, "infinity", 8))) {
            t.f64 = negative ? -std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::infinity();
            t.kind = NumberKind::Double;
            return t;
        }
    }

    if (!is_digit(body[0])) {
        t.error = MSG_INVALID_NUMBER;
        return t;
    }
    if (body[0] == '0' && blen > 1 && is_digit(body[1])) {
        t.error = MSG_LEADING_ZEROS;
        return t;
    }
    size_t i = 1;
    while (i < blen && is_digit(body[i]))
        ++i;
    if (i == blen) { // an integer
        if (blen >= 20) {
            t.kind = NumberKind::BigInt;
            t.digits = body;
            t.ndigits = blen;
            return t;
        }
        uint64_t v = 0;
        for (size_t k = 0; k < blen; ++k)
            v = v * 10 + (body[k] - '0');
        constexpr uint64_t two63 = uint64_t{1} << 63;
        if (negative) {
            if (v <= two63) {
                t.kind = NumberKind::Int64;
                t.i64 = static_cast<int64_t>(0 - v); // exact for -2^63 too
            } else {
                t.kind = NumberKind::BigInt;
                t.digits = body;
                t.ndigits = blen;
            }
        } else if (v < two63) {
            t.kind = NumberKind::Int64;
            t.i64 = static_cast<int64_t>(v);
        } else {
            t.kind = NumberKind::UInt64;
            t.u64 = v;
        }
        return t;
    }

    bool dot = false, exp = false, frac_ok = false;
    const uint8_t c = body[i];
    if (c == '.') {
        if (i + 1 == blen) {
            t.error = MSG_DECIMAL_POINT;
            return t;
        }
        dot = true;
        ++i;
    } else if (c == 'e' || c == 'E') {
        exp = true;
        ++i;
    } else {
        t.error = MSG_INVALID_NUMBER;
        return t;
    }
    bool stopped = false;
    while (i < blen) {
        const uint8_t b = body[i];
        if (is_digit(b)) {
            if (!exp)
                frac_ok = true;
            ++i;
        } else if (b == '+' || b == '-') {
            if (!exp) {
                stopped = true;
                break;
            }
            ++i;
        } else if (b == 'e' || b == 'E') {
            if (exp) {
                stopped = true;
                break;
            }
            if (!frac_ok) {
                t.error = MSG_DECIMAL_POINT;
                return t;
            }
            exp = true;
            ++i;
            if (i < blen && (body[i] == '+' || body[i] == '-'))
                ++i;
        } else {
            stopped = true;
            break;
        }
    }
    if (dot && !frac_ok) {
        t.error = MSG_DECIMAL_POINT;
        return t;
    }
    if (stopped) {
        t.error = MSG_INVALID_NUMBER;
        return t;
    }
    double v;
    if (!parse_double(data + start, data + end, v)) {
        t.error = MSG_INVALID_FLOAT;
        return t;
    }
    t.kind = NumberKind::Double;
    t.f64 = v;
    return t;
}

} // namespace

bool read_float(const uint8_t *data, size_t n, size_t start, size_t &end, double &out) noexcept {
    const char *b = reinterpret_cast<const char *>(data + start);
    const char *e = reinterpret_cast<const char *>(data + n);
    double v = 0.0;
    const auto r = std::from_chars(b, e, v, std::chars_format::general);
    const size_t stop = static_cast<size_t>(reinterpret_cast<const uint8_t *>(r.ptr) - data);
    if (r.ec == std::errc::invalid_argument || (stop < n && TOKEN_BYTES.t[data[stop]]))
        return false;
    out = r.ec == std::errc::result_out_of_range
              ? out_of_range_value(data + start, data + stop, data[start] == '-')
              : v;
    end = stop;
    return true;
}

NumberToken parse_number(const uint8_t *data, size_t n, size_t start) noexcept {
    // Common shapes without a second pass of our own: the integer part is checked
    // here (digits, no superfluous leading zero, a digit after the point), the rest
    // of a float is read by std::from_chars, and the token must end where it
    // stopped. Anything else (the words, malformed tokens, long integers) takes
    // the full rules with their messages.
    size_t p = start;
    const bool negative = data[p] == '-';
    p += negative;
    const size_t first = p;
    while (p < n && is_digit(data[p]))
        ++p;
    const size_t nd = p - first;
    if (nd == 0 || (data[first] == '0' && nd > 1))
        return parse_number_full(data, n, start);
    const uint8_t c = p < n ? data[p] : 0;
    if (c == '.' || c == 'e' || c == 'E') {
        if (c == '.' && !(p + 1 < n && is_digit(data[p + 1])))
            return parse_number_full(data, n, start);
        NumberToken t;
        double v = 0.0;
        if (!read_float(data, n, start, t.end, v)) return parse_number_full(data, n, start);
        t.negative = negative;
        t.kind = NumberKind::Double;
        t.f64 = v;
        return t;
    }
    if ((p < n && TOKEN_BYTES.t[c]) || nd > 18)
        return parse_number_full(data, n, start);
    uint64_t v = 0;
    for (size_t k = first; k < p; ++k)
        v = v * 10 + (data[k] - '0');
    NumberToken t;
    t.end = p;
    t.negative = negative;
    t.kind = NumberKind::Int64;
    t.i64 = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return t;
}

} // namespace plav
