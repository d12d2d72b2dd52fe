// The result str of dumps, made from the written bytes: the cheapest of the
// decoders for what was written, or an assembly of ASCII runs and the strings the
// non-ASCII text came from.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "memory.hpp"
#include "serializer/writer.hpp"

namespace plav {

// Room for the UTF-16 form of an output, kept between calls up to KEEP units
// (larger rooms are given back after the call).
class Utf16Room {
  public:
    Utf16Room() noexcept = default;
    Utf16Room(const Utf16Room &) = delete;
    Utf16Room &operator=(const Utf16Room &) = delete;
    ~Utf16Room() { mem_free(data_); }

    // Room for n units, or nullptr when it cannot be had.
    uint16_t *room(size_t n) noexcept {
        if (n > SIZE_MAX / sizeof(uint16_t))
            return nullptr;
        if (n > capacity_) {
            mem_free(data_);
            capacity_ = 0;
            data_ = static_cast<uint16_t *>(mem_alloc(n * sizeof(uint16_t)));
            if (!data_)
                return nullptr;
            capacity_ = n;
        }
        return data_;
    }
    void trim() noexcept {
        if (capacity_ > KEEP) {
            mem_free(data_);
            data_ = nullptr;
            capacity_ = 0;
        }
    }

  private:
    static constexpr size_t KEEP = size_t{1} << 22;
    uint16_t *data_ = nullptr;
    size_t capacity_ = 0;
};

// The written bytes as a str. ASCII output takes the cheap decoder. Output whose
// characters all fit Latin-1 is narrowed to it, which CPython copies as it stands.
// Output with few pieces of other non-ASCII text is assembled from its ASCII runs
// and the strings it came from; the rest within U+FFFF goes through UTF-16, which
// CPython turns into its str forms several times faster than UTF-8 (decoded last).
PyObject *result_str(const Writer &w, Utf16Room &utf16) noexcept;

} // namespace plav
