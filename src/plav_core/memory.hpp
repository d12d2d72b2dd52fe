// The module's own memory. Every allocation of ours goes through mem_realloc,
// which reports exhaustion by returning nullptr; the caller turns that into an
// error value and the boundary raises MemoryError. Nothing here aborts, and the
// containers below never throw (the module is built without exceptions, where a
// std::vector that cannot grow ends the process).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace plav {

#ifdef PLAV_BUILD_TESTING
// Test builds only: counts one allocation of ours and says whether the failure
// schedule set through plav_testing_fail_allocations refuses it.
bool testing_refuse_allocation() noexcept;
// Whether a failure schedule is set: the entries then start every call with
// fresh thread buffers, so that each call makes its allocations anew.
bool testing_schedule_set() noexcept;
#endif

// realloc(p, n) with n > 0; nullptr (p untouched) when the memory cannot be had.
inline void *mem_realloc(void *p, size_t n) noexcept {
#ifdef PLAV_BUILD_TESTING
    if (testing_refuse_allocation())
        return nullptr;
#endif
    return std::realloc(p, n);
}
inline void *mem_alloc(size_t n) noexcept {
    return mem_realloc(nullptr, n);
}
inline void mem_free(void *p) noexcept {
    std::free(p);
}

// The capacity a growing buffer of `size` used of `cap` takes for `more`: double
// the capacity, or enough when that is more, and at least 8.
inline size_t grown_capacity(size_t cap, size_t size, size_t more) noexcept {
    size_t want = cap * 2;
    if (want < size + more)
        want = size + more;
    if (want < 8)
        want = 8;
    return want;
}

// A growable array whose growth can fail: reserve, push_back, append and resize
// return false (the array as it was) when the memory cannot be had. Elements are
// moved on growth; T's move constructor must not fail.
template <class T> class Vec {
  public:
    Vec() noexcept = default;
    Vec(const Vec &) = delete;
    Vec &operator=(const Vec &) = delete;
    Vec(Vec &&o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)) {}
    Vec &operator=(Vec &&o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    ~Vec() { release(); }

    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &operator[](size_t i) noexcept { return data_[i]; }
    const T &operator[](size_t i) const noexcept { return data_[i]; }
    T *begin() noexcept { return data_; }
    T *end() noexcept { return data_ + size_; }
    const T *begin() const noexcept { return data_; }
    const T *end() const noexcept { return data_ + size_; }
    T &back() noexcept { return data_[size_ - 1]; }

    [[nodiscard]] bool reserve(size_t cap) noexcept {
        if (cap <= cap_)
            return true;
        if (cap > SIZE_MAX / sizeof(T))
            return false;
        T *p;
        if constexpr (std::is_trivially_copyable_v<T>) {
            p = static_cast<T *>(mem_realloc(data_, cap * sizeof(T)));
            if (!p)
                return false;
        } else {
            p = static_cast<T *>(mem_alloc(cap * sizeof(T)));
            if (!p)
                return false;
            for (size_t i = 0; i < size_; ++i) {
                new (p + i) T(std::move(data_[i]));
                data_[i].~T();
            }
            mem_free(data_);
        }
        data_ = p;
        cap_ = cap;
        return true;
    }
    template <class... A> [[nodiscard]] bool emplace_back(A &&...args) noexcept {
        if (size_ == cap_ && !grow(1)) [[unlikely]]
            return false;
        new (data_ + size_) T(std::forward<A>(args)...);
        ++size_;
        return true;
    }
    [[nodiscard]] bool push_back(T &&v) noexcept { return emplace_back(std::move(v)); }
    [[nodiscard]] bool push_back(const T &v) noexcept { return emplace_back(v); }
    // Appends n elements copied from p (trivially copyable T).
    [[nodiscard]] bool append(const T *p, size_t n) noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (cap_ - size_ < n && !grow(n))
            return false;
        if (n)
            std::memcpy(data_ + size_, p, n * sizeof(T));
        size_ += n;
        return true;
    }
    // n more elements, left for the caller to write (trivially copyable T); their
    // start, or nullptr when the memory cannot be had.
    [[nodiscard]] T *extend(size_t n) noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (cap_ - size_ < n && !grow(n)) [[unlikely]]
            return nullptr;
        T *at = data_ + size_;
        size_ += n;
        return at;
    }
    // Grows to n value-initialised elements, or cuts back to n.
    [[nodiscard]] bool resize(size_t n) noexcept {
        if (n < size_) {
            truncate(n);
            return true;
        }
        if (!reserve(n))
            return false;
        while (size_ < n)
            new (data_ + size_++) T();
        return true;
    }
    void pop_back() noexcept { data_[--size_].~T(); }
    // Destroys the elements from n on.
    void truncate(size_t n) noexcept {
        while (size_ > n)
            data_[--size_].~T();
    }
    void clear() noexcept { truncate(0); }
    // Destroys the elements and gives the memory back.
    void release() noexcept {
        clear();
        mem_free(std::exchange(data_, nullptr));
        cap_ = 0;
    }

  private:
    bool grow(size_t more) noexcept {
        if (more > SIZE_MAX / 2 / sizeof(T) - size_)
            return false;
        return reserve(grown_capacity(cap_, size_, more));
    }

    T *data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

} // namespace plav
