// The per-thread key cache. A fixed ring of 2048 entries (the FIFO order) and an
// open-addressing table of 4096 slots holding ring indices (load at most 1/2, so
// probes stay short); both are allocated once, when the thread first needs them.
//
// Release at thread exit: the fast path reads the raw `thread_local` pointer
// STRING_CACHE. When a cache is created, a capsule that owns it is stored in the
// thread state's dict (PyThreadState_GetDict). CPython clears that dict with the
// GIL held when the thread state is cleared: at thread exit on the thread itself,
// and for the main thread (and any daemon thread still alive) at finalisation. The
// capsule destructor then drops the cached references, frees the cache and, when
// it runs on the owning thread, resets that thread's STRING_CACHE, so a later use
// on the same thread starts afresh. Everything goes through the limited API.
#include "parser/string_cache.hpp"

#include <sys/random.h>

#include <cstring>
#include <new>
#include <random>
#include <utility>

#include "memory.hpp"
#include "parser/siphash.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

constexpr size_t TABLE_SLOTS = 4096;
constexpr int16_t EMPTY = -1;
constexpr size_t MEMO_SLOTS = 1024;
constexpr const char *CAPSULE_NAME = "plav_core.StringCache";
constexpr const char *THREAD_DICT_KEY = "plav_core.key_cache";

struct Entry {
    uint64_t hash = 0;
    PyRef str; // the cache's reference; empty for bytes that are not UTF-8
    uint32_t len = 0;
    uint8_t key[KEY_CACHE_MAX_LEN];
};

// Equality of two keys of `n` (<= 64) bytes, compared by overlapping words.
inline bool key_bytes_equal(const uint8_t *a, const uint8_t *b, size_t n) {
    if (n >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return false;
        }
        std::memcpy(&x, a + n - 8, 8);
        std::memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    if (n >= 4) {
        uint32_t x1, y1, x2, y2;
        std::memcpy(&x1, a, 4);
        std::memcpy(&y1, b, 4);
        std::memcpy(&x2, a + n - 4, 4);
        std::memcpy(&y2, b + n - 4, 4);
        return x1 == y1 && x2 == y2;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// The memo's view of a key: two words and the length that, for keys of at most
// 16 bytes, determine the bytes exactly (first and last 8 bytes, overlapping;
// first and last 4; or first, middle and last byte), and its cheap hash.
struct MemoKey {
    uint64_t a = 0, b = 0;
    size_t n = 0;
};

inline MemoKey memo_key(const uint8_t *p, size_t n) {
    MemoKey k;
    k.n = n;
    if (n >= 8) {
        std::memcpy(&k.a, p, 8);
        std::memcpy(&k.b, p + n - 8, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, p + n - 4, 4);
        k.a = x;
        k.b = y;
    } else if (n > 0) {
        k.a = p[0] | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16);
    }
    return k;
}

inline size_t memo_index(const MemoKey &k) {
    const uint64_t h = (k.a * 0x9E3779B97F4A7C15ULL) ^ ((k.b + k.n) * 0xC2B2AE3D27D4EB4FULL);
    return static_cast<size_t>((h ^ (h >> 32)) * 0x9E3779B97F4A7C15ULL >> 54);
}

// A memo slot: a key that is in the table, with its string borrowed from the
// table's entry (cleared when that entry is evicted).
struct MemoSlot {
    uint64_t a = 0, b = 0;
    uint32_t n = UINT32_MAX; // UINT32_MAX: empty
    int16_t slot = EMPTY;
    PyObject *str = nullptr; // borrowed from ring[slot]; nullptr for invalid UTF-8
};

} // namespace

struct StringCache {
    uint64_t k0 = 0, k1 = 0;
    size_t count = 0;     // live entries
    size_t next_slot = 0; // ring slot of the next entry; the oldest when full
    int16_t table[TABLE_SLOTS];
    // A two-way memo in front of the table: a cheap hash of the key picks a pair
    // of slots that remember the two keys of the table last used there, the more
    // recent first (two keys that share a pair then do not evict each other in
    // turn). Keys of up to 16 bytes are confirmed from the slot alone (no visit to
    // the ring), longer ones against the ring's bytes; a miss only costs the full
    // lookup. Keys holding a backslash are never remembered, so a hit also says
    // that a quoted key needs no unescaping. Eviction clears the slot of the
    // evicted key, so the objects returned and the FIFO order are the table's.
    MemoSlot memo[MEMO_SLOTS];
    Entry ring[KEY_CACHE_CAPACITY];

    StringCache() {
        for (auto &t : table)
            t = EMPTY;
        uint64_t keys[2];
        if (getrandom(keys, sizeof keys, 0) != static_cast<ssize_t>(sizeof keys)) {
            std::random_device rd;
            keys[0] = (uint64_t{rd()} << 32) ^ rd();
            keys[1] = (uint64_t{rd()} << 32) ^ rd();
        }
        k0 = keys[0];
        k1 = keys[1];
    }

    // Backward-shift deletion keeps every remaining key reachable from its home slot.
    void erase_slot(size_t i) {
        size_t j = i;
        for (;;) {
            j = (j + 1) & (TABLE_SLOTS - 1);
            if (table[j] == EMPTY)
                break;
            const size_t home = ring[table[j]].hash & (TABLE_SLOTS - 1);
            // Move table[j] into the hole at i unless its home lies cyclically in (i, j].
            const bool stays = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
            if (!stays) {
                table[i] = table[j];
                i = j;
            }
        }
        table[i] = EMPTY;
    }

    // The pair of memo slots of a key.
    MemoSlot *memo_pair(const MemoKey &k) { return &memo[memo_index(k) & ~size_t{1}]; }

    // Remembers a key of the table as the pair's most recent.
    void remember(MemoSlot *pair, const MemoKey &k, const uint8_t *data, int16_t slot,
                  PyObject *str) {
        if (std::memchr(data, '\\', k.n))
            return;
        pair[1] = pair[0];
        pair[0] = MemoSlot{k.a, k.b, static_cast<uint32_t>(k.n), slot, str};
    }

    void evict(size_t slot) {
        Entry &e = ring[slot];
        MemoSlot *pair = memo_pair(memo_key(e.key, e.len));
        for (int w = 0; w < 2; ++w)
            if (pair[w].slot == static_cast<int16_t>(slot))
                pair[w] = MemoSlot{};
        size_t i = e.hash & (TABLE_SLOTS - 1);
        while (table[i] != static_cast<int16_t>(slot))
            i = (i + 1) & (TABLE_SLOTS - 1);
        erase_slot(i);
        e.str.reset();
        --count;
    }
};

namespace {

thread_local StringCache *STRING_CACHE = nullptr;

// The cache lives in memory of ours (mem_alloc): destroyed and freed here.
void destroy_cache(StringCache *cache) {
    cache->~StringCache();
    mem_free(cache);
}

void release_cache(PyObject *capsule) {
    auto *cache = static_cast<StringCache *>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (!cache) {
        PyErr_Clear();
        return;
    }
    if (STRING_CACHE == cache)
        STRING_CACHE = nullptr; // on the owning thread
    destroy_cache(cache);       // drops the cached references: the GIL is held here
}

// Creates this thread's cache and hands its ownership to the thread state's dict.
// Returns nullptr (and no Python error) when that is impossible; keys are then
// decoded without caching.
StringCache *create_cache() {
    PyObject *tsdict = PyThreadState_GetDict(); // borrowed
    if (!tsdict)
        return nullptr;
    void *memory = mem_alloc(sizeof(StringCache));
    if (!memory)
        return nullptr;
    auto *cache = new (memory) StringCache();
    PyRef capsule = PyRef::steal(PyCapsule_New(cache, CAPSULE_NAME, release_cache));
    if (!capsule) {
        destroy_cache(cache);
        PyErr_Clear();
        return nullptr;
    }
    if (PyDict_SetItemString(tsdict, THREAD_DICT_KEY, capsule.get()) < 0) {
        PyErr_Clear();
        return nullptr; // the capsule's destructor frees the cache
    }
    STRING_CACHE = cache;
    return cache;
}

} // namespace

bool is_ascii(const uint8_t *data, size_t n) noexcept {
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        acc |= w;
    }
    for (; i < n; ++i)
        acc |= data[i];
    return (acc & 0x8080808080808080ULL) == 0;
}

KeyString decode_key(const uint8_t *data, size_t n) noexcept {
    const char *s = reinterpret_cast<const char *>(data);
    if (is_ascii(data, n)) {
        if (PyObject *r = PyUnicode_DecodeASCII(s, static_cast<Py_ssize_t>(n), nullptr))
            return {r, false};
        PyErr_Clear();
    }
    if (PyObject *r = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr))
        return {r, false};
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return {nullptr, true};
    }
    return {nullptr, false}; // MemoryError and the like stay set
}

StringCache *thread_key_cache() noexcept {
    StringCache *cache = STRING_CACHE;
    return cache ? cache : create_cache();
}

namespace {

// The memo's string for the key, or nullptr on a miss (`found` tells a remembered
// invalid key, which has no string, from a miss).
inline PyObject *memo_lookup(StringCache *cache, MemoSlot *pair, const MemoKey &mk,
                             const uint8_t *data, bool &found) {
    const size_t n = mk.n;
    for (int w = 0; w < 2; ++w) {
        const MemoSlot &ms = pair[w];
        if (ms.n == n && ms.a == mk.a && ms.b == mk.b &&
            (n <= 16 || key_bytes_equal(cache->ring[ms.slot].key, data, n))) {
            PyObject *str = ms.str;
            if (w == 1)
                std::swap(pair[0], pair[1]);
            found = true;
            return str;
        }
    }
    found = false;
    return nullptr;
}

// The table's lookup after a memo miss, inserting the key when it is new.
KeyString table_lookup(StringCache *cache, MemoSlot *pair, const MemoKey &mk, const uint8_t *data) {
    const size_t n = mk.n;
    const uint64_t h = key_hash(cache->k0, cache->k1, data, n);
    size_t i = h & (TABLE_SLOTS - 1);
    for (int16_t t; (t = cache->table[i]) != EMPTY; i = (i + 1) & (TABLE_SLOTS - 1)) {
        const Entry &e = cache->ring[t];
        if (e.hash == h && e.len == n && key_bytes_equal(e.key, data, n)) {
            cache->remember(pair, mk, data, t, e.str.get());
            if (!e.str)
                return {nullptr, true};
            return {PyRef::borrow(e.str.get()).release(), false};
        }
    }
    KeyString r = decode_key(data, n);
    if (!r.str && !r.invalid_utf8)
        return r; // not cached: the failure was not the key's

    const size_t slot = cache->next_slot;
    if (cache->count >= KEY_CACHE_CAPACITY) {
        cache->evict(slot);
        // The eviction may have shifted the probe chain: find the free slot anew.
        i = h & (TABLE_SLOTS - 1);
        while (cache->table[i] != EMPTY)
            i = (i + 1) & (TABLE_SLOTS - 1);
    }
    Entry &e = cache->ring[slot];
    e.hash = h;
    e.len = static_cast<uint32_t>(n);
    std::memcpy(e.key, data, n);
    e.str = PyRef::borrow(r.str);
    cache->table[i] = static_cast<int16_t>(slot);
    cache->remember(pair, mk, data, static_cast<int16_t>(slot), r.str);
    cache->next_slot = (slot + 1) % KEY_CACHE_CAPACITY;
    ++cache->count;
    return r;
}

// The lookup behind both entries. A QUOTED key that holds a backslash is refused
// (the caller decodes its escapes) before it is decoded or cached; a remembered
// key, which never holds one, is found first.
template <bool QUOTED> inline KeyString lookup(StringCache *cache, const uint8_t *data, size_t n) {
    auto escaped = [&] { return QUOTED && std::memchr(data, '\\', n) != nullptr; };
    if (n > KEY_CACHE_MAX_LEN || !cache) {
        if (escaped())
            return {nullptr, false, true};
        return decode_key(data, n);
    }
    const MemoKey mk = memo_key(data, n);
    MemoSlot *pair = cache->memo_pair(mk);
    bool found;
    if (PyObject *str = memo_lookup(cache, pair, mk, data, found))
        return {PyRef::borrow(str).release(), false};
    if (found)
        return {nullptr, true};
    if (escaped())
        return {nullptr, false, true};
    return table_lookup(cache, pair, mk, data);
}

// Everything but a hit in the pair's first slot: kept out of line so that the hit
// path saves and restores no registers.
__attribute__((noinline)) KeyString quoted_key_string_slow(StringCache *cache, const uint8_t *data,
                                                           size_t n) {
    return lookup<true>(cache, data, n);
}

} // namespace

KeyString get_key_string(StringCache *cache, const uint8_t *data, size_t n) noexcept {
    return lookup<false>(cache, data, n);
}

KeyString get_quoted_key_string(StringCache *cache, const uint8_t *data, size_t n) noexcept {
    if (__builtin_expect(n <= KEY_CACHE_MAX_LEN && cache != nullptr, 1)) {
        const MemoKey mk = memo_key(data, n);
        const MemoSlot &ms = *cache->memo_pair(mk);
        if (ms.n == n && ms.a == mk.a && ms.b == mk.b && ms.str &&
            (n <= 16 || key_bytes_equal(cache->ring[ms.slot].key, data, n)))
            return {PyRef::borrow(ms.str).release(), false};
    }
    return quoted_key_string_slow(cache, data, n);
}

} // namespace plav
