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

constexpr u128 pow10_u128(int p) {
    u128 r = 1;
    for (int i = 0; i < p; ++i) r *= 10;
    return r;
}

struct Pow10Table {
    u128 v[23];
    constexpr Pow10Table() : v() {
        for (int i = 0; i < 23; ++i) v[i] = pow10_u128(i);
    }
};
constexpr Pow10Table POW10;

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
    uint64_t digits;  // D, without trailing zeros unless exactness kept them
    int exponent;     // e
};

// The shortest decimal in the rounding interval of x = m * 2^e2 (m with its
// implicit bit, -62 <= e2 < 0), by exact integer arithmetic: the interval's
// ends and x are scaled by 10^p so that x has 18 or 19 integer digits, then
// digits are removed while the interval still holds a number with fewer
// (the digit-removal loop of the Ryu algorithm, on exact values).
//
//   mv = 4m          x            = mv / 2^q      (q = 2 - e2)
//   mp = 4m + 2      upper bound  = mp / 2^q
//   mm = 4m - 1 - s  lower bound  = mm / 2^q      (s = 0 at a power of two, whose
//                                                  lower neighbour is closer)
// The bounds belong to the interval when m is even (round-half-even reading).
// Out of line, like shortest_general: the common short forms then need no
// large stack frame.
__attribute__((noinline)) Decimal shortest_exact(uint64_t m, int e2, bool at_power_of_two) noexcept {
    const bool accept_bounds = (m & 1) == 0;
    const int q = 2 - e2;
    const uint64_t mv = 4 * m;
    // p = 18 - floor(log10 x). With L = floor(log2 x), floor((L + 1) log10 2) is
    // floor(log10 x) or one more, so p is right or one too small (never so large
    // that the products below overflow 128 bits: x 10^p 2^q < 10^19 2^64).
    // floor(n log10 2) = (n * 78913) >> 18 for |n| < 1650.
    const int log2_floor = e2 + 63 - __builtin_clzll(m);
    int p = 18 - (((log2_floor + 1) * 78913) >> 18);
    u128 scale = POW10.v[p];
    u128 pv = static_cast<u128>(mv) * scale;
    if ((pv >> q) < POW10.v[18]) {
        scale = POW10.v[++p];
        pv = static_cast<u128>(mv) * scale;
    }
    const u128 mask = (static_cast<u128>(1) << q) - 1;
    uint64_t vr = static_cast<uint64_t>(pv >> q);
    bool vr_trailing_zeros = (pv & mask) == 0;
    if (vr_trailing_zeros) {
        // x itself is vr / 10^p. Without its trailing zeros, a decimal of at most
        // 15 digits is the shortest: any other of that length lies at least
        // 10^-15 x away, beyond the rounding interval (half an ulp, < 2^-53 x).
        uint64_t d = vr;
        int z = 0;
        while (d % 100000000 == 0) d /= 100000000, z += 8;
        if (d % 10000 == 0) d /= 10000, z += 4;
        if (d % 100 == 0) d /= 100, z += 2;
        if (d % 10 == 0) d /= 10, z += 1;
        if (d < 1000000000000000ULL) return {d, z - p};
    }
    // The bounds scaled alike, by addition: mp = mv + 2, mm = mv - 2 (mv - 1 at a
    // power of two).
    const u128 pp = pv + 2 * scale;
    const u128 pm = pv - (at_power_of_two ? scale : 2 * scale);
    uint64_t vp = static_cast<uint64_t>(pp >> q);
    uint64_t vm = static_cast<uint64_t>(pm >> q);
    bool vm_trailing_zeros = accept_bounds && (pm & mask) == 0;
    if (!accept_bounds && (pp & mask) == 0) --vp;  // the upper bound itself is excluded

    int removed = 0;
    if (!vr_trailing_zeros && !vm_trailing_zeros) {
        // Common case: x is not exactly representable at this scale, so no tie
        // and no exact lower bound. Whether the interval still holds a number
        // with r fewer digits only turns false as r grows, so the most digits are
        // removed in chunks of 8, 4, 2 and 1; rounding follows the last chunk's
        // leading digit.
        bool round_up = false;
        auto remove = [&](uint64_t scale_down) {
            round_up = vr % scale_down >= scale_down / 2;
            vr /= scale_down;
            vp /= scale_down;
            vm /= scale_down;
        };
        while (vp / 100000000 > vm / 100000000) remove(100000000), removed += 8;
        if (vp / 10000 > vm / 10000) remove(10000), removed += 4;
        if (vp / 100 > vm / 100) remove(100), removed += 2;
        if (vp / 10 > vm / 10) remove(10), removed += 1;
        return {vr + (vr == vm || round_up), removed - p};
    }
    uint8_t last_removed = 0;
    auto remove_digit = [&] {
        vr_trailing_zeros &= last_removed == 0;
        last_removed = static_cast<uint8_t>(vr % 10);
        vr /= 10;
        vp /= 10;
        vm /= 10;
        ++removed;
    };
    while (vp / 10 > vm / 10) {
        vm_trailing_zeros &= vm % 10 == 0;
        remove_digit();
    }
    if (vm_trailing_zeros) {
        while (vm % 10 == 0) remove_digit();
    }
    if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;  // half: even
    const uint64_t out = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) ||
                               last_removed >= 5);
    return {out, removed - p};
}

// D and e from std::to_chars' shortest scientific text "d[.ddd]e±x".
__attribute__((noinline)) Decimal shortest_general(double v) noexcept {
    char sci[32];
    const char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    uint64_t digits = static_cast<uint64_t>(sci[0] - '0');
    int n = 1;
    const char *p = sci + 1;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p, ++n) digits = digits * 10 + static_cast<uint64_t>(*p - '0');
    }
    ++p;  // 'e'
    const bool negative = *p == '-';
    int exp10 = 0;
    for (++p; p < end; ++p) exp10 = exp10 * 10 + (*p - '0');
    if (negative) exp10 = -exp10;
    return {digits, exp10 + 1 - n};
}

// The 8 digits of v < 10^8 as ASCII, first digit in the lowest byte, computed in
// lanes of one 64-bit word (SWAR): 32-bit lanes abcd|efgh, 16-bit lanes
// ab|cd|ef|gh, 8-bit lanes a|b|...|h, each step a multiply-shift division.
inline uint64_t eight_digits(uint32_t v) noexcept {
    const uint64_t abcd_efgh = v / 10000 + (static_cast<uint64_t>(v % 10000) << 32);
    const uint64_t ab_ef = ((abcd_efgh * 10486) >> 20) & ((0x7FULL << 32) | 0x7FULL);
    const uint64_t ab_cd_ef_gh = ab_ef | ((abcd_efgh - 100 * ab_ef) << 16);
    const uint64_t tens = ((ab_cd_ef_gh * 103) >> 10) & 0x000F000F000F000FULL;
    const uint64_t digits = tens | ((ab_cd_ef_gh - 10 * tens) << 8);
    return digits + 0x3030303030303030ULL;
}

// The n digits of v (1 <= n <= 16, v < 10^n) as text in a register pair, first
// digit in the lowest byte; the bytes past n are unspecified. The layout below
// stores it whole and keeps the counted bytes: digits that were stored to memory
// and read back at another offset would wait on store forwarding.
inline u128 digit_text(uint64_t v, int n) noexcept {
    if (n <= 8) return eight_digits(static_cast<uint32_t>(v)) >> (8 * (8 - n));
    const uint64_t high = eight_digits(static_cast<uint32_t>(v / 100000000));
    const uint64_t low = eight_digits(static_cast<uint32_t>(v % 100000000));
    // High then low digits, right-aligned in 16 bytes; shift the n digits down.
    return ((static_cast<u128>(low) << 64) | high) >> (8 * (16 - n));
}

// The text after dropping its first `count` bytes (count <= 16).
inline u128 drop_bytes(u128 text, int count) noexcept {
    return count >= 16 ? 0 : text >> (8 * count);
}

inline void store16(char *out, u128 text) noexcept { std::memcpy(out, &text, 16); }

}  // namespace

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
        if (bits >> 63) *out++ = '-';
        std::memcpy(out, "Infinity", 8);
        return out + 8;
    }
    if (bits >> 63) *out++ = '-';
    if (biased == 0 && fraction == 0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    const int e2 = biased - 1075;  // x = (2^52 + fraction) * 2^e2 for normal x
    Decimal d;
    if (biased != 0 && e2 < 0 && e2 >= -62) {
        const uint64_t m = (uint64_t{1} << 52) | fraction;
        // An integer in [1, 2^53): every decimal with fewer digits is at least 1 away,
        // so its shortest form is the integer itself, written plain with ".0".
        if (__builtin_ctzll(m) + e2 >= 0) {  // no set bit below 2^-e2
            out = format_uint64(m >> -e2, out);
            std::memcpy(out, ".0", 2);
            return out + 2;
        }
        // A fraction with few binary places, x = o / 2^t (o odd), is exactly
        // o 5^t / 10^t. With at most 15 digits that is the shortest form, by the
        // argument above, and it has no trailing zero since it is odd.
        const int zeros = __builtin_ctzll(m);
        const int places = -e2 - zeros;  // >= 1: x is not an integer
        const uint64_t odd = m >> zeros;
        if (places <= 21 && odd <= POW5.limit[places])
            d = {odd * POW5.v[places], -places};
        else
            d = shortest_exact(m, e2, fraction == 0);
    } else {
        d = shortest_general(std::fabs(v));
    }

    // Strip trailing zeros (the general path and exact ties may leave some).
    while (d.digits % 10 == 0) {
        d.digits /= 10;
        ++d.exponent;
    }
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

    if (e >= 0 && k <= 16) {  // 100.0 (never 17 digits: k <= 16)
        store16(out, text);
        out += n;
        std::memcpy(out, "0000000000000000", 16);
        out += e;
        out[0] = '.';
        out[1] = '0';
        return out + 2;
    }
    if (k > 0 && k <= 16) {  // 3.14
        store16(out, text);
        out[k] = '.';
        store16(out + k + 1, drop_bytes(text, k));
        out[n + 1] = last;
        return out + total + 1;
    }
    if (k > -5 && k <= 0) {  // 0.001234
        std::memcpy(out, "0.0000", 6);
        out += 2 - k;
        store16(out, text);
        out[n] = last;
        return out + total;
    }
    out[0] = static_cast<char>(text);  // 1e16, 1.5e-7
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

}  // namespace plav
