// SipHash-1-3 (one compression round per block, three finalisation rounds): the
// keyed hash that keeps the key cache's table safe from chosen-collision input.
#include "parser/siphash.hpp"

#include <cstring>

namespace plav {
namespace {

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    uint64_t v0, v1, v2, v3;

    SipState(uint64_t k0, uint64_t k1)
        : v0(k0 ^ 0x736f6d6570736575ULL), v1(k1 ^ 0x646f72616e646f6dULL),
          v2(k0 ^ 0x6c7967656e657261ULL), v3(k1 ^ 0x7465646279746573ULL) {}

    inline void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    inline void block(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
    inline uint64_t finish() {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8); // x86-64 is little-endian
    return v;
}

// Hashes `n` bytes after `prefix_len` bytes already absorbed; `total` is the
// message length that goes into the last block.
inline uint64_t sip_tail(SipState &s, const uint8_t *data, size_t n, uint64_t total) {
    const uint8_t *end = data + (n & ~size_t{7});
    for (; data != end; data += 8)
        s.block(load_le64(data));
    uint64_t last = total << 56;
    const size_t left = n & 7;
    uint64_t tail = 0;
    std::memcpy(&tail, data, left);
    s.block(last | tail);
    return s.finish();
}

} // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t *data, size_t n) noexcept {
    SipState s(k0, k1);
    return sip_tail(s, data, n, n);
}

uint64_t key_hash(uint64_t k0, uint64_t k1, const uint8_t *data, size_t n) noexcept {
    // The length word is one whole 8-byte block, so the key's bytes stay aligned to
    // the block boundaries and need no copy.
    SipState s(k0, k1);
    s.block(static_cast<uint64_t>(n));
    return sip_tail(s, data, n, n + 8);
}

} // namespace plav
