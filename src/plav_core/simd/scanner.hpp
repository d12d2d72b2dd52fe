// Three interchangeable scanners that build the same StructuralIndex.
// They touch no Python object and run with the GIL released.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "types/structural_index.hpp"

namespace plav {

StructuralIndex scan_scalar(const uint8_t *data, size_t n);
StructuralIndex scan_avx2(const uint8_t *data, size_t n);
StructuralIndex scan_avx512(const uint8_t *data, size_t n);

// The scanner for a capability level: AVX-512 (F and BW), else AVX2, else bytes.
inline StructuralIndex scan(const uint8_t *data, size_t n, SimdLevel level) {
    switch (level) {
    case SimdLevel::Avx512: return scan_avx512(data, n);
    case SimdLevel::Avx2: return scan_avx2(data, n);
    default: return scan_scalar(data, n);
    }
}

// Records the structural bytes of data[start, n) one byte at a time; the tail loop
// of the vector scanners and the whole of the scalar one.
inline void scan_tail(const uint8_t *data, size_t start, size_t n, StructuralIndex &idx) {
    for (size_t p = start; p < n; ++p) {
        if (PosList *list = idx.list_for(data[p])) list->push_back(p);
    }
}

}  // namespace plav
