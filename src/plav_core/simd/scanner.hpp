// Three interchangeable scanners that build the same StructuralIndex.
// They touch no Python object and run with the GIL released.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "types/structural_index.hpp"

namespace plav {

// Each records the structural bytes of data[0, n) in `idx`, emptied for the input
// by StructuralIndex::prepare.
void scan_scalar(const uint8_t *data, size_t n, StructuralIndex &idx);
void scan_avx2(const uint8_t *data, size_t n, StructuralIndex &idx);
void scan_avx512(const uint8_t *data, size_t n, StructuralIndex &idx);

// The scanner for a capability level: AVX-512 (F and BW), else AVX2, else bytes.
inline void scan(const uint8_t *data, size_t n, SimdLevel level, StructuralIndex &idx) {
    kernel_for(level, scan_scalar, scan_avx2, scan_avx512)(data, n, idx);
}

} // namespace plav
