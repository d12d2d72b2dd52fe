// Shortest round-trip text of doubles. The digits D and exponent e (D x 10^e is
// the shortest decimal that reads back as the double, the closest one among
// equals) come from the Schubfach method on a table of 128-bit powers of ten, for
// every finite double. The text of D is made 16 digits at a time in SSE2 lanes,
// and the layout picks plain or exponent form by the decimal point's position.
#include "serializer/number_format.hpp"

#include <emmintrin.h>

#include <cstring>

namespace plav {
namespace {

using u128 = unsigned __int128;

// 10^j for POW10_MIN <= j <= POW10_MAX as g = floor(10^j 2^-r) + 1, where r is
// the one exponent that puts 10^j 2^-r in [2^127, 2^128): an overestimate by at
// most one unit in 128 bits, which the rounding below allows for. Built at
// compile time in exact multi-word arithmetic, as the leading 128 bits of
//   j >= 0: 5^j (10^j = 5^j 2^j);
//   j < 0:  floor(2^831 / 5^-j), made by dividing by 5 step by step
//           (floor(floor(a / b) / c) = floor(a / bc)).
constexpr int POW10_MIN = -292; // the largest doubles need 10^-292
constexpr int POW10_MAX = 324;  // the smallest subnormals need 10^324

struct Pow10 {
    uint64_t hi, lo;
};

struct Pow10Table {
    static constexpr int WORDS = 13;    // 5^324 < 2^753, 2^831
    Pow10 g[POW10_MAX - POW10_MIN + 1]; // 10^j at POW10_MAX - j: 10^-k at POW10_MAX + k

    constexpr const Pow10 &of(int j) const { return g[POW10_MAX - j]; }

    static constexpr uint64_t bits_at(const uint64_t *p, int pos) { // 64 bits from bit `pos`
        if (pos < 0)
            return pos <= -64 ? 0 : p[0] << -pos;
        const int w = pos / 64, b = pos % 64;
        uint64_t r = p[w] >> b;
        if (b != 0 && w + 1 < WORDS)
            r |= p[w + 1] << (64 - b);
        return r;
    }
    // g from the leading 128 bits of p.
    static constexpr Pow10 leading_plus_one(const uint64_t *p) {
        int top = WORDS - 1;
        while (p[top] == 0)
            --top;
        const int length = 64 * top + 64 - __builtin_clzll(p[top]);
        const u128 v =
            ((static_cast<u128>(bits_at(p, length - 64)) << 64) | bits_at(p, length - 128)) + 1;
        return {static_cast<uint64_t>(v >> 64), static_cast<uint64_t>(v)};
    }

    constexpr Pow10Table() : g() {
        uint64_t p[WORDS] = {1}; // 5^j
        uint64_t r[WORDS] = {};  // floor(2^831 / 5^j)
        r[WORDS - 1] = uint64_t{1} << 63;
        for (int j = 0; j <= POW10_MAX; ++j) {
            g[POW10_MAX - j] = leading_plus_one(p);
            if (j > 0 && j <= -POW10_MIN)
                g[POW10_MAX + j] = leading_plus_one(r);
            uint64_t carry = 0;
            for (uint64_t &w : p) {
                const u128 x = static_cast<u128>(w) * 5 + carry;
                w = static_cast<uint64_t>(x);
                carry = static_cast<uint64_t>(x >> 64);
            }
            uint64_t rest = 0;
            for (int i = WORDS - 1; i >= 0; --i) {
                const u128 x = (static_cast<u128>(rest) << 64) | r[i];
                r[i] = static_cast<uint64_t>(x / 5);
                rest = static_cast<uint64_t>(x % 5);
            }
        }
    }
};
constexpr Pow10Table POW10;
// Spot checks: 10^0 and 10^1 are exact, 10^-1 = 0xCCCC...CD / 2^131.
static_assert(POW10.of(0).hi == 0x8000000000000000ULL && POW10.of(0).lo == 1);
static_assert(POW10.of(1).hi == 0xA000000000000000ULL);
static_assert(POW10.of(-1).hi == 0xCCCCCCCCCCCCCCCCULL && POW10.of(-1).lo == 0xCCCCCCCCCCCCCCCDULL);

// The high 64 bits of g cp / 2^64 (a 192-bit product) with the bits cut off
// folded into the lowest bit (round to odd); a remainder of one unit is g's
// own excess and counts as none.
inline uint64_t round_to_odd(Pow10 g, uint64_t cp) noexcept {
    const u128 x = static_cast<u128>(g.lo) * cp;
    const u128 y = static_cast<u128>(g.hi) * cp + static_cast<uint64_t>(x >> 64);
    return static_cast<uint64_t>(y >> 64) | (static_cast<uint64_t>(y) > 1);
}

// round_to_odd of a 192-bit product given as its high 128 bits.
inline uint64_t round_to_odd(u128 high) noexcept {
    return static_cast<uint64_t>(high >> 64) | (static_cast<uint64_t>(high) > 1);
}

// The shortest decimal in the rounding interval of x = c 2^q, the closest to x
// among those of that length, ties to an even last digit. The interval's ends and
// x are taken in units of 10^k, the largest power of ten not above the interval's
// width (2^q, or 3/4 of it when x is a power of two whose lower neighbour is
// closer): the interval then holds at most one multiple of 10^(k+1) and at least
// one of 10^k, so the answer is either that multiple, or the closer of the two
// multiples of 10^k around x.
//
//   cb  = 4c              x            = cb 2^q / 4
//   cbr = 4c + 2          upper bound  = cbr 2^q / 4
//   cbl = 4c - 2 (+ 1)    lower bound  = cbl 2^q / 4
// Each is scaled by 10^-k, kept as its integer part with a sticky lowest bit,
// which keeps every comparison below with multiples of 4 exact. The bounds belong
// to the interval when c is even (round-half-even reading).
//
// The answer D x 10^k comes as D = 10 tens + last: s = floor(x / 10^k), s + 1,
// or a multiple of 10 next to s.
struct Decimal {
    uint64_t tens;
    uint64_t last; // 0..9
    int exponent;  // k
};

// From vb, vbl, vbr, the three scaled values. Bitwise logic on purpose: the
// outcomes follow the data, branches would mispredict.
inline Decimal choose(uint64_t c, uint64_t vb, uint64_t vbl, uint64_t vbr, int k) noexcept {
    const uint64_t excluded = c & 1;
    const uint64_t lower = vbl + excluded, upper = vbr - excluded;
    const uint64_t s = vb >> 2;
    const uint64_t tens = s / 10, rest = s % 10;
    // One digit fewer: the multiple of 10 in the interval, 10 tens or the next,
    // if one is (the interval is narrower than 10 units, so at most one is).
    const uint64_t sp10_in = lower <= tens * 40;
    const uint64_t tp10_in = tens * 40 + 40 <= upper;
    // Else the closer of s and s + 1 that lies in the interval (one does; s + 1
    // ends in 0 only if it is the multiple above). s + 1 is the closer when the
    // fraction vb & 3 (in quarters) is above a half, or a half and s odd.
    const uint64_t s_in = lower <= s << 2;
    const uint64_t t_in = (s << 2) + 4 <= upper;
    const uint64_t closer_up = ((vb & 3) + (s & 1) + 1) >> 2;
    const uint64_t up = (s_in ^ 1) | (t_in & closer_up);
    return {tens + tp10_in, (rest + up) & ((sp10_in | tp10_in) - 1), k};
}

// floor(q log10 2) and floor(q log10 2 - log10 4/3) for |q| <= 2620, and
// floor(j log2 10) for |j| <= 1233.
inline int floor_log10_pow2(int q, bool lower_closer) noexcept {
    return (q * 1262611 - (lower_closer ? 524031 : 0)) >> 22;
}
inline int floor_log2_pow10(int j) noexcept {
    return (j * 1741647) >> 19;
}

// Any finite nonzero x = c 2^q.
inline Decimal shortest(uint64_t c, int q, bool lower_closer) noexcept {
    const int k = floor_log10_pow2(q, lower_closer);
    const int h = q + floor_log2_pow10(-k) + 1; // 1..4: cb << h fits
    const Pow10 g = POW10.g[POW10_MAX + k];     // 10^-k
    const uint64_t cb = c << 2;
    return choose(c, round_to_odd(g, cb << h), round_to_odd(g, (cb - 2 + lower_closer) << h),
                  round_to_odd(g, (cb + 2) << h), k);
}

// The same for a normal x that is not a power of two (cbl = cb - 2): the bounds'
// products are x's product -/+ g 2^(h+1), one multiplication in all.
inline Decimal shortest_regular(uint64_t c, int q) noexcept {
    const int k = floor_log10_pow2(q, false);
    const int h = q + floor_log2_pow10(-k) + 1;
    const Pow10 g = POW10.g[POW10_MAX + k]; // 10^-k
    const uint64_t cp = c << (h + 2);
    const u128 x = static_cast<u128>(g.lo) * cp;
    const u128 high = static_cast<u128>(g.hi) * cp + static_cast<uint64_t>(x >> 64);
    const auto low = static_cast<uint64_t>(x);
    // g 2^(h+1) as high:low, 133 bits at most.
    const u128 step_high =
        (static_cast<u128>(g.hi >> (63 - h)) << 64) | (g.hi << (h + 1)) | (g.lo >> (63 - h));
    const uint64_t step_low = g.lo << (h + 1);
    const uint64_t up_low = low + step_low;
    const u128 up = high + step_high + (up_low < low);
    const u128 down = high - step_high - (low < step_low);
    return choose(c, round_to_odd(high), round_to_odd(down), round_to_odd(up), k);
}

// The 16 digits of v < 10^16 as ASCII, first digit in the lowest byte: the two
// halves of 8 digits in the 64-bit lanes, split into 4, 2 and 1 digits per lane
// by multiply-shift divisions.
inline __m128i sixteen_digits(uint64_t v) noexcept {
    // The multipliers kept opaque: one pmullw each rather than shifts and adds.
    __m128i times100 = _mm_set1_epi16(100), times10 = _mm_set1_epi16(10);
    __asm__("" : "+x"(times100), "+x"(times10));
    const auto high = static_cast<int64_t>(v / 100000000),
               low = static_cast<int64_t>(v % 100000000);
    const __m128i x = _mm_set_epi64x(low, high);
    // x / 10^4 = (x 109951163) >> 40 for x < 10^8.
    const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi64x(109951163)), 40);
    const __m128i r4 = _mm_sub_epi32(x, _mm_mul_epu32(q4, _mm_set1_epi64x(10000)));
    const __m128i v4 = _mm_or_si128(q4, _mm_slli_epi64(r4, 32)); // 32-bit lanes < 10^4
    // x / 100 = (x 5243) >> 19 for x < 10^4.
    const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(v4, _mm_set1_epi16(5243)), 3);
    const __m128i r2 = _mm_sub_epi16(v4, _mm_mullo_epi16(q2, times100));
    const __m128i v2 = _mm_or_si128(q2, _mm_slli_epi32(r2, 16)); // 16-bit lanes < 100
    // x / 10 = (x 6554) >> 16 for x < 100.
    const __m128i q1 = _mm_mulhi_epu16(v2, _mm_set1_epi16(6554));
    const __m128i r1 = _mm_sub_epi16(v2, _mm_mullo_epi16(q1, times10));
    const __m128i v1 = _mm_or_si128(q1, _mm_slli_epi16(r1, 8)); // bytes < 10
    return _mm_add_epi8(v1, _mm_set1_epi8('0'));
}

// Windows for the decimal point at position p in 16 bytes, loaded from 16 - p:
// the bytes before p, the bytes after p, and the point itself.
enum : int { BEFORE_POINT = 0, AFTER_POINT = 32, POINT = 64 };
alignas(16) constexpr unsigned char POINT_WINDOWS[96] = {
    // before: 16 x 0xFF, 16 x 0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // after: 17 x 0, 15 x 0xFF
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // point: 16 x 0, '.', 15 x 0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '.', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0};

inline __m128i window(int which, int p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(POINT_WINDOWS + which + 16 - p));
}

inline void store16(char *out, __m128i text) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), text);
}

// The text of D x 10^(p - 17) for D = 10 first16 + last of exactly 17 digits
// (trailing zeros allowed): p digits before the decimal point. The stores write
// whole 16-byte blocks (the caller leaves FLOAT_TEXT_ROOM bytes); only the
// counted bytes are kept. The 17th digit is written after the first 16.
inline char *write_decimal(uint64_t first16, uint64_t last_digit, int p, char *out) noexcept {
    const char last = static_cast<char>('0' + last_digit);
    const __m128i text = sixteen_digits(first16);
    // n: the digits up to the last nonzero one (bit i of `nonzero`: digit i is
    // not 0; bit 16 from last_digit + 0xFFFF, which carries into it unless 0).
    const int nonzero = (_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('0'))) ^ 0xFFFF) |
                        ((static_cast<int>(last_digit) + 0xFFFF) & 0x10000);
    const int n = (31 ^ __builtin_clz(nonzero)) + 1;

    if (p > 0 && p <= 16) {
        if (p >= n) { // 100.0: the digits, their zeros, ".0"
            store16(out, text);
            out += p;
            std::memcpy(out, ".0", 2);
            return out + 2;
        }
        // 3.14: the digits one byte on, then the first 16 bytes again with the
        // p leading digits in place, the point, and the rest moved on by one.
        store16(out + 1, text);
        out[17] = last;
        const __m128i before = _mm_and_si128(text, window(BEFORE_POINT, p));
        const __m128i after = _mm_and_si128(_mm_slli_si128(text, 1), window(AFTER_POINT, p));
        store16(out, _mm_or_si128(_mm_or_si128(before, after), window(POINT, p)));
        if (p == 16) // 17 digits, the point past the block
            out[16] = '.';
        return out + n + 1;
    }
    if (p > -5 && p <= 0) { // 0.001234
        std::memcpy(out, "0.000000", 8);
        out += 2 - p;
        store16(out, text);
        out[16] = last;
        return out + n;
    }
    // 1e16, 1.5e-7: the digits one byte on, the first one back in front of the point.
    store16(out + 1, text);
    out[17] = last;
    out[0] = static_cast<char>(_mm_cvtsi128_si32(text));
    out[1] = '.';
    out += n > 1 ? n + 1 : 1;
    *out++ = 'e';
    int x = p - 1;
    if (x < 0) {
        *out++ = '-';
        x = -x;
    }
    return format_uint64(static_cast<uint64_t>(x), out);
}

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

__attribute__((noinline)) char *write_non_finite(uint64_t bits, char *out) noexcept {
    if ((bits & ((uint64_t{1} << 52) - 1)) != 0) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    if (bits >> 63)
        *out++ = '-';
    std::memcpy(out, "Infinity", 8);
    return out + 8;
}

// Subnormals: x = fraction 2^-1074, D of any length up to 17.
__attribute__((noinline)) char *write_subnormal(uint64_t fraction, char *out) noexcept {
    const Decimal d = shortest(fraction, -1074, false);
    const uint64_t digits = d.tens * 10 + d.last;
    const int pad = 17 - decimal_length(digits);
    const uint64_t d17 = digits * POW10_U64[pad];
    return write_decimal(d17 / 10, d17 % 10, d.exponent - pad + 17, out);
}

} // namespace

char *format_double(double v, char *out) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased == 0x7FF) [[unlikely]]
        return write_non_finite(bits, out);
    *out = '-'; // kept for negative numbers (no branch: signs alternate in data)
    out += bits >> 63;
    if (biased == 0) [[unlikely]] {
        if (fraction == 0) {
            std::memcpy(out, "0.0", 3);
            return out + 3;
        }
        return write_subnormal(fraction, out);
    }
    const int e2 = biased - 1075; // x = m 2^e2
    const uint64_t m = (uint64_t{1} << 52) | fraction;
    // An integer in [1, 2^53) (no set bit below 2^-e2): every decimal with fewer
    // digits is at least 1 away, so its shortest form is the integer itself,
    // written plain with ".0".
    if (static_cast<unsigned>(-e2) <= static_cast<unsigned>(__builtin_ctzll(m))) {
        out = format_uint64(m >> -e2, out);
        std::memcpy(out, ".0", 2);
        return out + 2;
    }
    // A fraction with few binary places, x = o / 2^t (o odd), is exactly o 5^t / 10^t
    // (12.5, 0.375). With at most 15 digits that is its shortest form: every
    // decimal with fewer digits is at least 10^-(t-1) / 2 away from it, more than
    // half the distance to its neighbours.
    const int zeros = __builtin_ctzll(m);
    const int places = -e2 - zeros; // >= 1 when e2 < 0: x is not an integer
    const uint64_t odd = m >> zeros;
    if (places > 0 && places <= 21 && odd <= POW5.limit[places]) {
        const uint64_t digits = odd * POW5.v[places];
        const int length = decimal_length(digits);
        const uint64_t d17 = digits * POW10_U64[17 - length];
        return write_decimal(d17 / 10, d17 % 10, length - places, out);
    }
    // D has 16 or 17 digits here: x / 10^k lies in [2^52, 10 2^53).
    Decimal d;
    if (fraction != 0) [[likely]]
        d = shortest_regular(m, e2);
    else
        d = shortest(m, e2, biased > 1);
    // 16 digits: all in the first block, the 17th a zero. Arithmetic rather than
    // a branch: both lengths are common and interleaved.
    const bool sixteen = d.tens < POW10_U64[15];
    const uint64_t mask = 0 - static_cast<uint64_t>(sixteen);
    const uint64_t first16 = d.tens + ((d.tens * 9 + d.last) & mask);
    return write_decimal(first16, d.last & ~mask, d.exponent + 17 - sixteen, out);
}

} // namespace plav
