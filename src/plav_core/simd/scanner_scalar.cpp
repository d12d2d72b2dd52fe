// The byte-at-a-time scanner: the reference the vector scanners are tested against.
#include "simd/scanner.hpp"

namespace plav {

StructuralIndex scan_scalar(const uint8_t *data, size_t n) {
    StructuralIndex idx = StructuralIndex::with_input_capacity(n);
    scan_tail(data, 0, n, idx);
    return idx;
}

}  // namespace plav
