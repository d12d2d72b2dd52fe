// The structural index: for each of the eight structural bytes, the ascending
// byte positions of all its occurrences, inside strings too (context-free).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "memory.hpp"

namespace plav {

// A growable list of positions. The scan appends without the GIL and without
// checks in its loop: a list that cannot grow stops taking positions and fails,
// and the caller asks failed() once the scan is over.
class PosList {
  public:
    PosList() noexcept = default;
    PosList(const PosList &) = delete;
    PosList &operator=(const PosList &) = delete;
    PosList(PosList &&o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)), failed_(std::exchange(o.failed_, false)) {}
    PosList &operator=(PosList &&o) noexcept {
        if (this != &o) {
            mem_free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            cap_ = std::exchange(o.cap_, 0);
            failed_ = std::exchange(o.failed_, false);
        }
        return *this;
    }
    ~PosList() {
        if (data_)
            mem_free(data_); // most lists of a spare index never allocate
    }

    // Room for `cap` positions; false (and the list fails) when it cannot be had.
    [[nodiscard]] bool reserve(size_t cap) noexcept {
        if (cap <= cap_)
            return true;
        void *p = cap > SIZE_MAX / sizeof(uint64_t) ? nullptr
                                                    : mem_realloc(data_, cap * sizeof(uint64_t));
        if (!p) {
            failed_ = true;
            return false;
        }
        data_ = static_cast<uint64_t *>(p);
        cap_ = cap;
        return true;
    }
    inline void push_back(uint64_t v) noexcept {
        if (__builtin_expect(size_ == cap_, 0)) {
            if (failed_ || !reserve(cap_ < 8 ? 16 : cap_ * 2))
                return;
        }
        data_[size_++] = v;
    }
    // Empty and not failed, keeping the memory.
    void clear() noexcept {
        size_ = 0;
        failed_ = false;
    }
    bool failed() const noexcept { return failed_; }
    // Gives the memory back.
    void release() noexcept {
        mem_free(std::exchange(data_, nullptr));
        size_ = cap_ = 0;
        failed_ = false;
    }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    uint64_t operator[](size_t i) const noexcept { return data_[i]; }
    const uint64_t *data() const noexcept { return data_; }
    const uint64_t *begin() const noexcept { return data_; }
    const uint64_t *end() const noexcept { return data_ + size_; }

  private:
    uint64_t *data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    bool failed_ = false;
};

struct StructuralIndex {
    PosList open_braces;    // {
    PosList open_brackets;  // [
    PosList colons;         // :
    PosList semicolons;     // ;
    PosList commas;         // ,
    PosList close_brackets; // ]
    PosList close_braces;   // }
    PosList quotes;         // "

    // Empties the lists for an input of n bytes, keeping their memory, and
    // pre-sizes them from typical densities so most documents index without regrowth.
    // False when that memory cannot be had.
    [[nodiscard]] bool prepare(size_t n) noexcept {
        for (PosList *l : all())
            l->clear();
        return open_braces.reserve(n / 80) && open_brackets.reserve(n / 80) &&
               colons.reserve(n / 26) && commas.reserve(n / 20) && close_brackets.reserve(n / 80) &&
               close_braces.reserve(n / 80) && quotes.reserve(n / 8);
    }
    // Whether a list could not hold every position of the scan.
    bool failed() noexcept {
        for (PosList *l : all())
            if (l->failed())
                return true;
        return false;
    }

    // Gives back the memory of lists that grew beyond `keep` positions.
    void trim(size_t keep) noexcept {
        for (PosList *l : all())
            if (l->capacity() > keep)
                l->release();
    }

    std::array<PosList *, 8> all() noexcept {
        return {&open_braces, &open_brackets,  &colons,       &semicolons,
                &commas,      &close_brackets, &close_braces, &quotes};
    }

    // The list that records byte `c`, or nullptr for a non-structural byte.
    PosList *list_for(uint8_t c) noexcept {
        switch (c) {
        case '{':
            return &open_braces;
        case '[':
            return &open_brackets;
        case ':':
            return &colons;
        case ';':
            return &semicolons;
        case ',':
            return &commas;
        case ']':
            return &close_brackets;
        case '}':
            return &close_braces;
        case '"':
            return &quotes;
        default:
            return nullptr;
        }
    }
};

} // namespace plav
