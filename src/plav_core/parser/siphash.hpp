// Keyed SipHash-1-3: the hash of the per-thread key cache. Plain C++ over bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plav {

// SipHash-1-3 of `n` bytes with the 128-bit key (k0, k1).
uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t *data, size_t n) noexcept;

// The key cache's hash: SipHash-1-3 over the key's length as a 64-bit
// little-endian integer followed by the key's bytes.
uint64_t key_hash(uint64_t k0, uint64_t k1, const uint8_t *data, size_t n) noexcept;

} // namespace plav
