// The byte-at-a-time scanner: the reference the vector scanners are tested against.
#include "simd/scanner.hpp"

namespace plav {

void scan_scalar(const uint8_t *data, size_t n, StructuralIndex &idx) {
    for (size_t p = 0; p < n; ++p) {
        if (PosList *list = idx.list_for(data[p]))
            list->push_back(p);
    }
}

} // namespace plav
