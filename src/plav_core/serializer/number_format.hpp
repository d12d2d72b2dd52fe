// Decimal text of integers and of doubles in their shortest round-trip form.
// Each writes at `out` and returns the end; the caller provides the room.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plav {

constexpr size_t INT_TEXT_MAX = 20;    // "-9223372036854775808", "18446744073709551615"
constexpr size_t FLOAT_TEXT_MAX = 24;  // "-1.2345678901234567e-308", "-0.00001234567890123456"

char *format_int64(int64_t v, char *out) noexcept;
char *format_uint64(uint64_t v, char *out) noexcept;

// Shortest decimal that reads back as v: "0.0", "100.0", "3.14", "0.00001",
// "1e16", "1.5e-7"; "NaN", "Infinity" and "-Infinity" for the non-finite values.
char *format_double(double v, char *out) noexcept;

}  // namespace plav
