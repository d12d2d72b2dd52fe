// Differential check of format_double against a plain reference: the shortest
// round-trip digits from std::to_chars (shortest, then closest, ties to even),
// laid out by a separate, simple implementation of the writer's rules. Runs the
// edge classes exhaustively and then N random doubles (half of them uniform over
// all bit patterns, half with exponents in [2^-12, 2^54), where most data lives).
//
//   ./dev.sh floats N        (builds and runs this program)
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serializer/number_format.hpp"

namespace {

// The writer's layout from the shortest scientific digits: plain when the
// decimal exponent x lies in [-5, 16), else "d[.ddd]e<x>".
std::string reference(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v < 0 ? "-Infinity" : "Infinity";
    std::string sign = std::signbit(v) ? "-" : "";
    if (v == 0)
        return sign + "0.0";
    char sci[40];
    char *end =
        std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific).ptr;
    std::string text(sci, end);
    const size_t epos = text.find('e');
    std::string digits = text.substr(0, 1) + (epos > 1 ? text.substr(2, epos - 2) : "");
    const int x = std::atoi(text.c_str() + epos + 1);
    const int n = static_cast<int>(digits.size());
    if (x >= -5 && x < 16) {
        if (x >= n - 1)
            return sign + digits + std::string(x - (n - 1), '0') + ".0";
        if (x >= 0)
            return sign + digits.substr(0, x + 1) + "." + digits.substr(x + 1);
        return sign + "0." + std::string(-x - 1, '0') + digits;
    }
    std::string out = sign + digits.substr(0, 1);
    if (n > 1)
        out += "." + digits.substr(1);
    return out + "e" + std::to_string(x);
}

uint64_t checked = 0, failures = 0;

void check(double v) {
    char buf[plav::FLOAT_TEXT_ROOM + 8];
    std::memset(buf, '#', sizeof buf);
    char *end = plav::format_double(v, buf);
    const std::string got(buf, static_cast<size_t>(end - buf));
    ++checked;
    if (got.size() > plav::FLOAT_TEXT_MAX || got != reference(v)) {
        if (++failures <= 20) {
            uint64_t bits;
            std::memcpy(&bits, &v, 8);
            std::printf("MISMATCH bits=%016" PRIx64 " got=%s want=%s\n", bits, got.c_str(),
                        reference(v).c_str());
        }
    }
}

double from_bits(uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

uint64_t splitmix(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

int main(int argc, char **argv) {
    const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000;
    uint64_t state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 17;

    // Edge classes: every exponent with the smallest, next, largest and a few
    // neighbouring significands (powers of two and their neighbours, exponent
    // boundaries), every subnormal with few bits, integers, short decimals.
    for (uint64_t e = 0; e < 2048; ++e) {
        for (uint64_t f :
             {0ULL, 1ULL, 2ULL, 3ULL, (1ULL << 51), (1ULL << 52) - 1, (1ULL << 52) - 2}) {
            for (uint64_t sign : {0ULL, 1ULL})
                check(from_bits((sign << 63) | (e << 52) | f));
        }
    }
    for (uint64_t f = 1; f < (1ULL << 20); ++f)
        check(from_bits(f));               // the smallest subnormals
    for (uint64_t i = 0; i < 2000000; ++i) // subnormals of every length
        check(from_bits((splitmix(state) >> (12 + i % 40)) | ((i & 1) << 63)));
    for (int b = 0; b < 52; ++b)
        check(from_bits((1ULL << b) | 1));
    for (int64_t i = -2000000; i <= 2000000; ++i)
        check(static_cast<double>(i));
    for (int b = 50; b < 64; ++b)
        for (int64_t d = -3000; d <= 3000; ++d)
            check(std::ldexp(1.0, b) + static_cast<double>(d));
    // Decimals of up to 17 digits at many scales, as data holds them.
    char text[64];
    for (uint64_t i = 0; i < 4000000; ++i) {
        const int digits = 1 + static_cast<int>(splitmix(state) % 17);
        const int exponent = static_cast<int>(splitmix(state) % 60) - 30;
        uint64_t d = splitmix(state) % plav::POW10_U64[digits];
        std::snprintf(text, sizeof text, "%" PRIu64 "e%d", d, exponent - digits);
        check(std::strtod(text, nullptr));
    }
    // Short binary fractions o / 2^t, around the bound of the exact-digits path.
    for (uint64_t i = 0; i < 4000000; ++i) {
        const uint64_t r = splitmix(state);
        const int t = 1 + static_cast<int>(r % 24);
        const uint64_t o = (splitmix(state) >> (11 + (r >> 8) % 53)) | 1;
        check(std::ldexp(static_cast<double>(o), -t) * ((r >> 40) & 1 ? -1.0 : 1.0));
    }
    const uint64_t edges = checked;

    for (uint64_t i = 0; i < count; ++i) {
        uint64_t bits = splitmix(state);
        if (i & 1) { // exponents of [2^-12, 2^54)
            const uint64_t e = 1011 + (bits >> 52) % 67;
            bits = (bits & ((1ULL << 52) - 1)) | (e << 52) | (bits & (1ULL << 63));
        }
        check(from_bits(bits));
    }
    std::printf("checked %" PRIu64 " doubles (%" PRIu64 " edge cases, %" PRIu64 " random): %" PRIu64
                " mismatches\n",
                checked, edges, checked - edges, failures);
    return failures == 0 ? 0 : 1;
}
