// The power-of-five table of the float fast path (fast_number.cpp).
#pragma once
#include <cstdint>

namespace plav {

inline constexpr int POWER_OF_FIVE_MIN = -342;
inline constexpr int POWER_OF_FIVE_MAX = 308;
// Two words (high, low) per decimal exponent q, from POWER_OF_FIVE_MIN up.
extern const uint64_t POWER_OF_FIVE_128[2 * (POWER_OF_FIVE_MAX - POWER_OF_FIVE_MIN + 1)];

} // namespace plav
