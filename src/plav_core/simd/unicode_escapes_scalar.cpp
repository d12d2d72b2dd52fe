// The scalar run decoder: the reference the vector kernels are checked against.
#include "simd/unicode_escapes.hpp"

namespace plav {

EscapeRun decode_unicode_escapes_scalar(const uint8_t *p, size_t n, uint16_t *out) noexcept {
    return continue_unicode_escapes(p, n, 0, out, EscapeRun{});
}

} // namespace plav
