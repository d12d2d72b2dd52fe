// Number grammar and conversion. Integers of up to 19 digits are accumulated in a
// register. Floats of at most 19 significant digits in the normal range are
// converted here (exact powers of ten, else the Eisel-Lemire product with a
// 128-bit power of five); everything else, and any product too close to call,
// goes through std::from_chars, which rounds correctly for any number of digits.
#include "parser/fast_number.hpp"

#include <charconv>
#include <cstring>
#include <limits>

#include "parser/fast_number_table.hpp"

namespace plav {
namespace {

constexpr const NumberTokenTable &TOKEN_BYTES = NUMBER_TOKEN_BYTES;

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

// The high bits of w times the 128-bit power of five give the significand; the
// power of two follows from q.
bool eisel_lemire(uint64_t w, int64_t q, bool negative, double &out) noexcept {
    if (q < POWER_OF_FIVE_MIN || q > POWER_OF_FIVE_MAX)
        return false;
    const int lz = __builtin_clzll(w);
    w <<= lz;
    const size_t index = 2 * static_cast<size_t>(q - POWER_OF_FIVE_MIN);
    const unsigned __int128 first = static_cast<unsigned __int128>(w) * POWER_OF_FIVE_128[index];
    uint64_t hi = static_cast<uint64_t>(first >> 64);
    uint64_t lo = static_cast<uint64_t>(first);
    // 55 bits are needed (52 stored, the hidden one, a rounding bit and one for
    // the possible leading zero); when the bits below them are all ones, a carry
    // from the table's low word could still change them.
    constexpr uint64_t below = UINT64_MAX >> 55;
    if ((hi & below) == below) {
        const unsigned __int128 second =
            static_cast<unsigned __int128>(w) * POWER_OF_FIVE_128[index + 1];
        const uint64_t carry_in = static_cast<uint64_t>(second >> 64);
        lo += carry_in;
        if (carry_in > lo)
            ++hi;
    }
    if (lo == UINT64_MAX && (q < -27 || q > 55))
        return false; // outside the exponents where the product is exact
    const int upper = static_cast<int>(hi >> 63);
    const int shift = upper + 64 - 52 - 3;
    uint64_t mantissa = hi >> shift;
    // floor(q * log2(10)) + 63 as a fixed-point product, plus the exponent bias.
    int64_t power2 = ((static_cast<int32_t>(q) * (152170 + 65536)) >> 16) + 63 + upper - lz + 1023;
    if (power2 <= 0)
        return false; // subnormal or zero
    // Exactly halfway between two doubles (possible only for small |q|): round to even.
    if (lo <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == hi)
        mantissa &= ~uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (uint64_t{2} << 52)) {
        mantissa = uint64_t{1} << 52;
        ++power2;
    }
    mantissa &= ~(uint64_t{1} << 52);
    if (power2 >= 0x7FF)
        return false; // infinite
    const uint64_t bits =
        mantissa | (static_cast<uint64_t>(power2) << 52) | (negative ? uint64_t{1} << 63 : 0);
    std::memcpy(&out, &bits, 8);
    return true;
}

namespace {

bool read_float_fast(const uint8_t *data, size_t n, size_t start, size_t &end, double &out) {
    const uint8_t *const digits = data + start + (data[start] == '-');
    uint64_t w = 0;
    const uint8_t *const p = read_digits(digits, data + n, w);
    const size_t int_digits = static_cast<size_t>(p - digits);
    if (int_digits == 0)
        return false;
    return read_float_fast_tail(data, n, start, p, w, int_digits, end, out);
}

} // namespace

bool read_float_chars(const uint8_t *data, size_t n, size_t start, size_t &end,
                      double &out) noexcept {
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

bool read_float(const uint8_t *data, size_t n, size_t start, size_t &end, double &out) noexcept {
    return read_float_fast(data, n, start, end, out) || read_float_chars(data, n, start, end, out);
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
        if (!read_float(data, n, start, t.end, v))
            return parse_number_full(data, n, start);
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

namespace plav::syntax {

size_t valid_number_end(const uint8_t *s, size_t n, size_t p) noexcept {
    const NumberToken t = plav::parse_number(s, n, p);
    return t.kind == NumberKind::Error ? NO_TOKEN : t.end;
}

} // namespace plav::syntax
