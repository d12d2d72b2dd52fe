// Shortest round-trip text of doubles. The digits D and exponent e (D x 10^e is
// the shortest decimal that reads back as the double, the closest one among
// equals) come from an exact 128-bit computation for doubles in [2^-10, 2^52),
// where nearly all data lives, and from std::to_chars for the rest. The layout
// then picks plain or exponent form by the decimal point's position k = n + e.
#include "serializer/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace plav {
namespace {

using u128 = unsigned __int128;

// 5^t, and the largest o with o 5^t below 10^15, for t <= 21.
struct Pow5Tables {
    uint64_t v[22];
    uint64_t limit[22];
    constexpr Pow5Tables() : v(), limit() {
        uint64_t p = 1;
        for (int i = 0; i < 22; ++i, p *= 5) {
            v[i] = p;
            limit[i] = (1000000000000000ULL - 1) / p;
        }
    }
};
constexpr Pow5Tables POW5;

struct Decimal {
    uint64_t digits; // D
    int exponent;    // e
};

// The shortest decimal in the rounding interval of x = m * 2^e2 (m with its
// implicit bit, -62 <= e2 < 0), the closest to x among those of that length, ties
// to an even last digit. The interval's ends and x are taken in units of 10^k,
// the largest power of ten not above the interval's width (2^e2, or 3/4 of it at
// a power of two, whose lower neighbour is closer): the interval then holds at
// most one multiple of 10^(k+1) and at least one of 10^k, so the answer is
// either that multiple, or the closer of the two multiples of 10^k around x
// (the Schubfach method, on exact values here).
//
//   cb  = 4m              x            = cb 2^e2 / 4
//   cbr = 4m + 2          upper bound  = cbr 2^e2 / 4
//   cbl = 4m - 2 (- 1)    lower bound  = cbl 2^e2 / 4
// Each is scaled by 10^-k (at most 10^19, an exact 64-bit integer) and kept as
// its integer part with a sticky lowest bit that is set when a fraction was cut
// off, which keeps every comparison below with even numbers exact. The bounds
// belong to the interval when m is even (round-half-even reading).
inline Decimal shortest_in_interval(uint64_t m, int e2, bool at_power_of_two) noexcept {
    const uint64_t excluded = m & 1;
    const uint64_t cb = m << 2;
    const uint64_t cbr = cb + 2;
    uint64_t cbl;
    int k;
    // floor(e log10 2) = (e 78913) >> 18 and floor(e log10 2 - log10 4/3) =
    // (e 631305 - 261663) >> 21, for the small |e| met here.
    if (!at_power_of_two) {
        cbl = cb - 2;
        k = (e2 * 78913) >> 18;
    } else {
        cbl = cb - 1;
        k = (e2 * 631305 - 261663) >> 21;
    }
    const uint64_t scale = POW10_U64[-k];
    const int shift = -e2; // 1..62: the cut-off bits all lie in the low word
    auto scaled = [&](uint64_t c) {
        const u128 x = static_cast<u128>(c) * scale;
        const auto low = static_cast<uint64_t>(x), high = static_cast<uint64_t>(x >> 64);
        return ((high << (64 - shift)) | (low >> shift)) | ((low << (64 - shift)) != 0);
    };
    const uint64_t vb = scaled(cb), vbl = scaled(cbl), vbr = scaled(cbr);
    const uint64_t s = vb >> 2; // x in units of 10^k, rounded down
    // One digit fewer: the multiple of 10^(k+1) in the interval, if one is.
    const uint64_t sp10 = s / 10 * 10;
    const uint64_t tp10 = sp10 + 10;
    const bool sp10_in = vbl + excluded <= sp10 << 2;
    const bool tp10_in = (tp10 << 2) + excluded <= vbr;
    if (sp10_in != tp10_in) {
        Decimal d{(sp10_in ? sp10 : tp10) / 10, k + 1};
        while (d.digits % 10 == 0)
            d.digits /= 10, ++d.exponent;
        return d;
    }
    // Else the closer of s and s + 1 that lies in the interval. Neither ends in a
    // zero: that one would have been the multiple of 10^(k+1) taken above.
    const uint64_t t = s + 1;
    const bool s_in = vbl + excluded <= s << 2;
    const bool t_in = (t << 2) + excluded <= vbr;
    if (s_in != t_in)
        return {s_in ? s : t, k};
    const uint64_t mid = (s + t) << 1;
    return {vb < mid || (vb == mid && (s & 1) == 0) ? s : t, k};
}

// D and e from std::to_chars' shortest scientific text "d[.ddd]e±x".
__attribute__((noinline)) Decimal shortest_general(double v) noexcept {
    char sci[32];
    const char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    uint64_t digits = static_cast<uint64_t>(sci[0] - '0');
    int n = 1;
    const char *p = sci + 1;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p, ++n)
            digits = digits * 10 + static_cast<uint64_t>(*p - '0');
    }
    ++p; // 'e'
    const bool negative = *p == '-';
    int exp10 = 0;
    for (++p; p < end; ++p)
        exp10 = exp10 * 10 + (*p - '0');
    if (negative)
        exp10 = -exp10;
    return {digits, exp10 + 1 - n};
}

// The n digits of v (1 <= n <= 16, v < 10^n) as text in a register pair, first
// digit in the lowest byte; the bytes past n are unspecified. The layout below
// stores it whole and keeps the counted bytes: digits that were stored to memory
// and read back at another offset would wait on store forwarding.
inline u128 digit_text(uint64_t v, int n) noexcept {
    if (n <= 8)
        return eight_digits(static_cast<uint32_t>(v)) >> (8 * (8 - n));
    const uint64_t high = eight_digits(static_cast<uint32_t>(v / 100000000));
    const uint64_t low = eight_digits(static_cast<uint32_t>(v % 100000000));
    // High then low digits, right-aligned in 16 bytes; shift the n digits down.
    return ((static_cast<u128>(low) << 64) | high) >> (8 * (16 - n));
}

// The text after dropping its first `count` bytes (count <= 16).
inline u128 drop_bytes(u128 text, int count) noexcept {
    return count >= 16 ? 0 : text >> (8 * count);
}

inline void store16(char *out, u128 text) noexcept {
    std::memcpy(out, &text, 16);
}

} // namespace

char *format_double(double v, char *out) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased == 0x7FF) {
        if (fraction != 0) {
            std::memcpy(out, "NaN", 3);
            return out + 3;
        }
        if (bits >> 63)
            *out++ = '-';
        std::memcpy(out, "Infinity", 8);
        return out + 8;
    }
    if (bits >> 63)
        *out++ = '-';
    if (biased == 0 && fraction == 0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    const int e2 = biased - 1075; // x = (2^52 + fraction) * 2^e2 for normal x
    Decimal d;
    if (biased != 0 && e2 < 0 && e2 >= -62) {
        const uint64_t m = (uint64_t{1} << 52) | fraction;
        // An integer in [1, 2^53): every decimal with fewer digits is at least 1 away,
        // so its shortest form is the integer itself, written plain with ".0".
        if (__builtin_ctzll(m) + e2 >= 0) { // no set bit below 2^-e2
            out = format_uint64(m >> -e2, out);
            std::memcpy(out, ".0", 2);
            return out + 2;
        }
        // A fraction with few binary places, x = o / 2^t (o odd), is exactly
        // o 5^t / 10^t. With at most 15 digits that is the shortest form, by the
        // argument above, and it has no trailing zero since it is odd.
        const int zeros = __builtin_ctzll(m);
        const int places = -e2 - zeros; // >= 1: x is not an integer
        const uint64_t odd = m >> zeros;
        if (places <= 21 && odd <= POW5.limit[places])
            d = {odd * POW5.v[places], -places};
        else
            d = shortest_in_interval(m, e2, fraction == 0);
    } else {
        d = shortest_general(std::fabs(v));
        while (d.digits % 10 == 0) {
            d.digits /= 10;
            ++d.exponent;
        }
    }
    // D has no trailing zero now.
    // The stores below write whole 16-byte blocks (the caller leaves
    // FLOAT_TEXT_ROOM bytes); only the counted bytes are kept. A 17th digit is
    // kept apart as `last` and written after the first 16.
    int n = decimal_length(d.digits);
    const int e = d.exponent;
    const int k = n + e;
    char last = 0;
    if (n == 17) {
        last = static_cast<char>('0' + d.digits % 10);
        d.digits /= 10;
        n = 16;
    }
    const u128 text = digit_text(d.digits, n);
    const int total = n + (last != 0);

    if (e >= 0 && k <= 16) { // 100.0 (never 17 digits: k <= 16)
        store16(out, text);
        out += n;
        std::memcpy(out, "0000000000000000", 16);
        out += e;
        out[0] = '.';
        out[1] = '0';
        return out + 2;
    }
    if (k > 0 && k <= 16) { // 3.14
        store16(out, text);
        out[k] = '.';
        store16(out + k + 1, drop_bytes(text, k));
        out[n + 1] = last;
        return out + total + 1;
    }
    if (k > -5 && k <= 0) { // 0.001234
        std::memcpy(out, "0.0000", 6);
        out += 2 - k;
        store16(out, text);
        out[n] = last;
        return out + total;
    }
    out[0] = static_cast<char>(text); // 1e16, 1.5e-7
    out += 1;
    if (total > 1) {
        out[0] = '.';
        store16(out + 1, drop_bytes(text, 1));
        out[n] = last;
        out += total;
    }
    *out++ = 'e';
    int x = k - 1;
    if (x < 0) {
        *out++ = '-';
        x = -x;
    }
    return format_uint64(static_cast<uint64_t>(x), out);
}

} // namespace plav
