// The serializer's append-only byte buffer. Callers reserve once for a run of small
// appends and then write without capacity checks; only the reserve can reallocate.
//
// Running out of memory makes the buffer fail, once and for the rest of the call:
// reserve() of a small run (at most SLACK bytes) then still succeeds, writing over
// the start of the memory it has, so that the many small appends need no check;
// try_reserve() and put() of larger runs report it. The call ends with MemoryError
// when failed() is set, whatever it wrote after the failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "memory.hpp"

namespace plav {

class OutputBuffer {
  public:
    OutputBuffer() noexcept = default;
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;
    ~OutputBuffer() { mem_free(data_); }

    // Bytes every allocation holds beyond its capacity: the most one reserve()
    // may ask for.
    static constexpr size_t SLACK = 256;

    size_t size() const noexcept { return len_; }
    size_t capacity() const noexcept { return cap_; }
    const uint8_t *data() const noexcept { return data_; }
    uint8_t *data() noexcept { return data_; }

    // Room for `n` more bytes, n <= SLACK. When the memory cannot be had the buffer
    // fails and the room is at its start (the buffer must have been allocated).
    void reserve(size_t n) noexcept {
        if (cap_ - len_ < n) [[unlikely]]
            reserve_slow(n);
    }
    // Room for `n` more bytes, any n; false when the memory cannot be had (the
    // buffer fails, nothing may be written).
    [[nodiscard]] bool try_reserve(size_t n) noexcept {
        if (cap_ - len_ >= n) [[likely]]
            return true;
        if (failed_ || !grow(n)) {
            fail();
            return false;
        }
        return true;
    }
    // Marks the output lost for lack of memory (also for allocations of the
    // caller's that belong to it); the start of the memory is free for scribbles.
    void fail() noexcept {
        failed_ = true;
        len_ = 0;
    }
    bool failed() const noexcept { return failed_; }

    // Unchecked appends: the caller reserved the room.
    void put_unchecked(uint8_t c) noexcept { data_[len_++] = c; }
    void put_unchecked(const void *p, size_t n) noexcept {
        std::memcpy(data_ + len_, p, n);
        len_ += n;
    }
    void put_unchecked(std::string_view s) noexcept { put_unchecked(s.data(), s.size()); }

    void put(uint8_t c) noexcept {
        reserve(1);
        put_unchecked(c);
    }
    void put(const void *p, size_t n) noexcept {
        if (try_reserve(n))
            put_unchecked(p, n);
    }
    void put(std::string_view s) noexcept { put(s.data(), s.size()); }
    // A few bytes of a length known only at run time (separators): a byte loop
    // instead of a memcpy call.
    void put_short(std::string_view s) noexcept {
        reserve(s.size());
        uint8_t *out = data_ + len_; // a local cursor: stores through it cannot move len_
        for (char c : s)
            *out++ = static_cast<uint8_t>(c);
        len_ += s.size();
    }
    // At most 4 bytes held in `block` (padded): one fixed-size store.
    void put_block4(const char (&block)[4], size_t n) noexcept {
        reserve(4);
        std::memcpy(data_ + len_, block, 4);
        len_ += n;
    }

    // Direct access for kernels that write whole blocks: the next free byte, and
    // the count of bytes they made valid there.
    uint8_t *cursor() noexcept { return data_ + len_; }
    void advance(size_t n) noexcept { len_ += n; }
    void set_cursor(uint8_t *p) noexcept { len_ = static_cast<size_t>(p - data_); }

    // Forgets everything after `n` bytes (a discarded attempt).
    void truncate(size_t n) noexcept { len_ = n; }
    // Empty for a new call: no output, no failure.
    void restart() noexcept {
        len_ = 0;
        failed_ = false;
        non_ascii = false;
    }
    // Frees the memory; the buffer is empty and grows again on the next try_reserve.
    void release() noexcept {
        mem_free(data_);
        data_ = nullptr;
        len_ = 0;
        cap_ = 0;
    }

    // Set once any byte 0x80-0xFF was written; never cleared by truncate, so it may
    // be set for output that is in fact ASCII (then the slower exact path is taken).
    bool non_ascii = false;

  private:
    __attribute__((noinline)) void reserve_slow(size_t n) noexcept {
        if (failed_ || !grow(n))
            fail();
    }
    bool grow(size_t n) noexcept {
        if (n > SIZE_MAX / 2 - len_ - SLACK)
            return false;
        const size_t want = grown_capacity(cap_, len_, n);
        void *p = mem_realloc(data_, want + SLACK);
        if (!p)
            return false;
        data_ = static_cast<uint8_t *>(p);
        cap_ = want;
        return true;
    }

    uint8_t *data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool failed_ = false;
};

} // namespace plav
