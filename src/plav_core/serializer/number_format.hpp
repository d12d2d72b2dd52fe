// Decimal text of integers and of doubles in their shortest round-trip form.
// Each writes at `out` and returns the end; the caller provides the room.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plav {

constexpr size_t INT_TEXT_MAX = 20;   // "-9223372036854775808", "18446744073709551615"
constexpr size_t FLOAT_TEXT_MAX = 24; // "-1.2345678901234567e-308", "-0.00001234567890123456"
// Room format_double needs at `out`: it copies whole blocks and keeps FLOAT_TEXT_MAX.
constexpr size_t FLOAT_TEXT_ROOM = 48;

// Two digits at a time from a 200-byte table; small values, the common case,
// take one or two stores.
inline constexpr char DIGIT_PAIRS[] = "00010203040506070809101112131415161718192021222324"
                                      "25262728293031323334353637383940414243444546474849"
                                      "50515253545556575859606162636465666768697071727374"
                                      "75767778798081828384858687888990919293949596979899";

inline constexpr uint64_t POW10_U64[20] = {1ULL,
                                           10ULL,
                                           100ULL,
                                           1000ULL,
                                           10000ULL,
                                           100000ULL,
                                           1000000ULL,
                                           10000000ULL,
                                           100000000ULL,
                                           1000000000ULL,
                                           10000000000ULL,
                                           100000000000ULL,
                                           1000000000000ULL,
                                           10000000000000ULL,
                                           100000000000000ULL,
                                           1000000000000000ULL,
                                           10000000000000000ULL,
                                           100000000000000000ULL,
                                           1000000000000000000ULL,
                                           10000000000000000000ULL};

// Decimal digits of v: the bit length gives the count or one less.
inline int decimal_length(uint64_t v) noexcept {
    const int guess = ((64 - __builtin_clzll(v | 1)) * 1233) >> 12;
    return guess + (v >= POW10_U64[guess]);
}

// Pairs from `end` backwards; UInt is 32-bit when the value fits, which makes
// the divisions by 100 cheaper.
template <typename UInt> inline void write_digits_backward(UInt v, char *end) noexcept {
    while (v >= 100) {
        const auto r = static_cast<size_t>(v % 100);
        v /= 100;
        end -= 2;
        std::memcpy(end, DIGIT_PAIRS + 2 * r, 2);
    }
    if (v >= 10)
        std::memcpy(end - 2, DIGIT_PAIRS + 2 * v, 2);
    else
        end[-1] = static_cast<char>('0' + v);
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

inline char *format_uint64(uint64_t v, char *out) noexcept {
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v < 100) {
        std::memcpy(out, DIGIT_PAIRS + 2 * v, 2);
        return out + 2;
    }
    // The length first, then the digits straight into place: up to 10 digits as
    // a block of eight after at most two (the caller leaves INT_TEXT_MAX bytes;
    // the bytes past the digits are overwritten or left beyond the end).
    const int n = decimal_length(v);
    if (n <= 8) {
        const uint64_t text = eight_digits(static_cast<uint32_t>(v)) >> (8 * (8 - n));
        std::memcpy(out, &text, 8);
        return out + n;
    }
    if (n <= 10) { // one or two leading digits, then a block of eight
        const auto high = static_cast<uint32_t>(v / 100000000);
        const uint64_t low = eight_digits(static_cast<uint32_t>(v % 100000000));
        if (n == 10)
            std::memcpy(out, DIGIT_PAIRS + 2 * high, 2);
        else
            out[0] = static_cast<char>('0' + high);
        std::memcpy(out + (n - 8), &low, 8);
        return out + n;
    }
    char *const end = out + n;
    if (v <= UINT32_MAX)
        write_digits_backward(static_cast<uint32_t>(v), end);
    else
        write_digits_backward(v, end);
    return end;
}

inline char *format_int64(int64_t v, char *out) noexcept {
    if (v >= 0)
        return format_uint64(static_cast<uint64_t>(v), out);
    *out = '-';
    // Negate in unsigned arithmetic so that INT64_MIN has a magnitude too.
    return format_uint64(0 - static_cast<uint64_t>(v), out + 1);
}

// Shortest decimal that reads back as v: "0.0", "100.0", "3.14", "0.00001",
// "1e16", "1.5e-7"; "NaN", "Infinity" and "-Infinity" for the non-finite values.
char *format_double(double v, char *out) noexcept;

} // namespace plav
