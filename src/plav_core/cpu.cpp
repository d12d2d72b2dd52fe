// CPUID/XCR0 based capability detection. Detection may race between threads;
// both compute the same word, so the atomic store needs no lock.
#include "cpu.hpp"

#include <atomic>
#include <cpuid.h>

namespace plav {

namespace {

constexpr uint32_t ECX1_FMA = 1u << 12;
constexpr uint32_t ECX1_XSAVE = 1u << 26;
constexpr uint32_t ECX1_OSXSAVE = 1u << 27;
constexpr uint32_t ECX1_F16C = 1u << 29;
constexpr uint32_t EBX7_AVX2 = 1u << 5;
constexpr uint32_t EBX7_AVX512F = 1u << 16;
constexpr uint32_t EBX7_AVX512BW = 1u << 30;
constexpr uint64_t XCR0_AVX_STATE = (1u << 1) | (1u << 2);                // SSE, AVX
constexpr uint64_t XCR0_AVX512_STATE = (1u << 5) | (1u << 6) | (1u << 7); // opmask, ZMM

// Bit layout of the cache word: bit 0 initialised, bits 1..3 the three flags.
constexpr uint32_t CACHE_READY = 1u << 0;
constexpr uint32_t CACHE_AVX2 = 1u << 1;
constexpr uint32_t CACHE_AVX512F = 1u << 2;
constexpr uint32_t CACHE_AVX512BW = 1u << 3;

std::atomic<uint32_t> CPU_CACHE{0};

uint64_t read_xcr0() noexcept {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

CpuidBits read_cpuid_bits() noexcept {
    CpuidBits bits;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    bits.max_leaf = a;
    if (bits.max_leaf >= 1) {
        __cpuid(1, a, b, c, d);
        bits.leaf1_ecx = c;
    }
    if (bits.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        bits.leaf7_ebx = b;
    }
    if ((bits.leaf1_ecx & ECX1_XSAVE) && (bits.leaf1_ecx & ECX1_OSXSAVE))
        bits.xcr0 = read_xcr0();
    return bits;
}

} // namespace

CpuFeatures derive_cpu_features(const CpuidBits &bits) noexcept {
    CpuFeatures f;
    if (bits.max_leaf < 7)
        return f;
    const bool os_xsave = (bits.leaf1_ecx & ECX1_XSAVE) && (bits.leaf1_ecx & ECX1_OSXSAVE);
    const uint64_t xcr0 = os_xsave ? bits.xcr0 : 0;
    const bool os_avx = os_xsave && (xcr0 & XCR0_AVX_STATE) == XCR0_AVX_STATE;
    const bool os_avx512 = os_avx && (xcr0 & XCR0_AVX512_STATE) == XCR0_AVX512_STATE;
    const bool fma_f16c = (bits.leaf1_ecx & ECX1_FMA) && (bits.leaf1_ecx & ECX1_F16C);
    f.avx2 = os_avx && (bits.leaf7_ebx & EBX7_AVX2);
    f.avx512f = os_avx512 && fma_f16c && (bits.leaf7_ebx & EBX7_AVX512F);
    f.avx512bw = os_avx512 && fma_f16c && (bits.leaf7_ebx & EBX7_AVX512BW);
    return f;
}

CpuFeatures cpu_features() noexcept {
    uint32_t word = CPU_CACHE.load(std::memory_order_acquire);
    if (!(word & CACHE_READY)) {
        const CpuFeatures f = derive_cpu_features(read_cpuid_bits());
        word = CACHE_READY | (f.avx2 ? CACHE_AVX2 : 0) | (f.avx512f ? CACHE_AVX512F : 0) |
               (f.avx512bw ? CACHE_AVX512BW : 0);
        CPU_CACHE.store(word, std::memory_order_release);
    }
    CpuFeatures f;
    f.avx2 = word & CACHE_AVX2;
    f.avx512f = word & CACHE_AVX512F;
    f.avx512bw = word & CACHE_AVX512BW;
    return f;
}

} // namespace plav
