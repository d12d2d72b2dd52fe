// Processor capabilities: detected once per process, cached in one atomic word.
// The derivation from raw CPUID/XCR0 bits is separate so tests can feed it bits.
#pragma once
#include <cstdint>

namespace plav {

struct CpuFeatures {
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
};

// The raw bits the derivation reads. `xcr0` is only meaningful when leaf 1 ECX
// reports XSAVE and OSXSAVE; the derivation ignores it otherwise.
struct CpuidBits {
    uint32_t max_leaf = 0;  // CPUID leaf 0 EAX
    uint32_t leaf1_ecx = 0; // CPUID leaf 1 ECX
    uint32_t leaf7_ebx = 0; // CPUID leaf 7 sub-leaf 0 EBX (ignored when max_leaf < 7)
    uint64_t xcr0 = 0;      // XCR0 read with xgetbv
};

CpuFeatures derive_cpu_features(const CpuidBits &bits) noexcept;

// Cached after the first call; safe to call from any thread, with or without the GIL.
CpuFeatures cpu_features() noexcept;

enum class SimdLevel : uint8_t { Scalar, Avx2, Avx512 };

inline SimdLevel simd_level(CpuFeatures f) noexcept {
    if (f.avx512f && f.avx512bw)
        return SimdLevel::Avx512;
    if (f.avx2)
        return SimdLevel::Avx2;
    return SimdLevel::Scalar;
}

// The kernel of a family (one function per level) for a capability level.
template <class Fn>
constexpr Fn kernel_for(SimdLevel level, Fn scalar, Fn avx2, Fn avx512) noexcept {
    return level == SimdLevel::Avx512 ? avx512 : level == SimdLevel::Avx2 ? avx2 : scalar;
}

} // namespace plav
