// Number text for the serializer. Digits and exponent come from std::to_chars
// (shortest round trip); the layout picks plain or exponent form by the decimal
// point's position k relative to the first digit.
#include "serializer/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace plav {

char *format_int64(int64_t v, char *out) noexcept {
    return std::to_chars(out, out + INT_TEXT_MAX, v).ptr;
}

char *format_uint64(uint64_t v, char *out) noexcept {
    return std::to_chars(out, out + INT_TEXT_MAX, v).ptr;
}

char *format_double(double v, char *out) noexcept {
    if (std::isnan(v)) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    if (std::signbit(v)) {
        *out++ = '-';
        v = -v;
    }
    if (std::isinf(v)) {
        std::memcpy(out, "Infinity", 8);
        return out + 8;
    }
    if (v == 0.0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    // "d[.ddd]e±x": the digits D = d1..dn and the exponent of d1.
    char sci[32];
    const char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    char digits[20];
    int n = 0;
    const char *p = sci;
    digits[n++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[n++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exp = *p == '-';
    ++p;  // sign
    int exp10 = 0;
    for (; p < end; ++p) exp10 = exp10 * 10 + (*p - '0');
    if (negative_exp) exp10 = -exp10;
    const int k = exp10 + 1;  // digits before the decimal point
    const int e = k - n;      // power of ten of the last digit

    if (e >= 0 && k <= 16) {  // 100.0
        std::memcpy(out, digits, static_cast<size_t>(n));
        out += n;
        std::memset(out, '0', static_cast<size_t>(e));
        out += e;
        std::memcpy(out, ".0", 2);
        return out + 2;
    }
    if (k > 0 && k <= 16) {  // 3.14
        std::memcpy(out, digits, static_cast<size_t>(k));
        out += k;
        *out++ = '.';
        std::memcpy(out, digits + k, static_cast<size_t>(n - k));
        return out + (n - k);
    }
    if (k > -5 && k <= 0) {  // 0.001234
        std::memcpy(out, "0.", 2);
        out += 2;
        std::memset(out, '0', static_cast<size_t>(-k));
        out += -k;
        std::memcpy(out, digits, static_cast<size_t>(n));
        return out + n;
    }
    *out++ = digits[0];  // 1e16, 1.5e-7
    if (n > 1) {
        *out++ = '.';
        std::memcpy(out, digits + 1, static_cast<size_t>(n - 1));
        out += n - 1;
    }
    *out++ = 'e';
    return std::to_chars(out, out + 5, k - 1).ptr;
}

}  // namespace plav
