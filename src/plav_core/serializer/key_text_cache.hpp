// The key-text cache of dumps: the written form of recent dict keys, by key object.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace plav {

// The written form of recent dict keys ('"name":' with its separator), by key
// object. Keys repeat across the dicts of a document and across calls, mostly as
// the very same str objects, so a hit replaces the UTF-8 lookup and the escaping
// with one copy.
// The cache holds a reference to every key it has a form of, so no key can be
// freed and its address be taken by another object while its entry lives,
// whatever Python code runs meanwhile (exact str keys are immutable, so the form
// stays right). It is one per process, used only with the GIL held (dumps never
// lets it go), and keeps at most SLOTS short keys alive between calls. A slot
// also records which of the key forms it holds (separator, bare or quoted), so
// writers with other options never take each other's forms.
// A slot is one 64-byte cache line: a hit reads the key's address, its form and
// its text from the same line. A filled slot's key is always an exact str, so a
// hit needs no look at the key object itself.
struct KeyTextCache {
    static constexpr size_t SLOTS = 1024;
    static constexpr size_t MAX_TEXT = 48;
    struct alignas(64) Slot {
        PyObject *key = nullptr; // strong reference while filled
        uint32_t length = 0;
        uint8_t form = 0;
        alignas(16) uint8_t text[MAX_TEXT] = {}; // the form's bytes
    };
    static_assert(sizeof(Slot) == 64);
    Slot slots[SLOTS];

    static size_t index_for(PyObject *key) noexcept {
        return (reinterpret_cast<uintptr_t>(key) >> 4) & (SLOTS - 1);
    }
    // Forgets every entry and drops the references. Freeing an exact str runs no
    // Python code. Needs the GIL.
    void clear() noexcept {
        for (Slot &s : slots) {
            if (s.key)
                Py_DECREF(s.key);
            s.key = nullptr;
            s.length = 0;
            s.form = 0;
        }
    }
};

// The process's cache (zero-initialised: every slot empty).
extern KeyTextCache KEY_TEXT_CACHE;

} // namespace plav
