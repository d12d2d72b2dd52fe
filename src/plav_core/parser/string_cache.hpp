// The per-thread key cache: key bytes (at most 64) -> one shared str object, 2048
// entries, first in first out. Repeated object keys cost one hash and one compare.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace plav {

inline constexpr size_t KEY_CACHE_MAX_LEN = 64;
inline constexpr size_t KEY_CACHE_CAPACITY = 2048;

// The outcome of a key lookup: a new reference, or none. With no string,
// `invalid_utf8` tells a UTF-8 failure (no Python error left set) from any other
// decoder failure such as MemoryError (the Python error is left set).
struct KeyString {
    PyObject *str = nullptr; // new reference, or nullptr
    bool invalid_utf8 = false;
    bool escaped = false; // get_quoted_key_string only: the bytes hold a backslash
};

struct StringCache;

// This thread's cache, created at its first use; nullptr when the thread state has
// no dict to own it (keys are then decoded uncached). Readers fetch it once per
// call: thread_local access from a shared library is a function call.
StringCache *thread_key_cache() noexcept;

// Needs the GIL. `data` is borrowed for the call only; `cache` may be nullptr.
KeyString get_key_string(StringCache *cache, const uint8_t *data, size_t n) noexcept;
inline KeyString get_key_string(const uint8_t *data, size_t n) noexcept {
    return get_key_string(thread_key_cache(), data, n);
}
// The raw content of a quoted key: as get_key_string, except that bytes holding
// a backslash give no string but `escaped` (the caller unescapes them). A key
// seen recently costs no scan for the backslash: the memo only remembers keys
// without one.
KeyString get_quoted_key_string(StringCache *cache, const uint8_t *data, size_t n) noexcept;

// Decodes without the cache: the ASCII decoder when every byte is below 0x80, else
// the strict UTF-8 decoder. Same outcome convention as get_key_string.
KeyString decode_key(const uint8_t *data, size_t n) noexcept;

// True when every one of the `n` bytes is below 0x80 (a word at a time).
bool is_ascii(const uint8_t *data, size_t n) noexcept;

} // namespace plav
