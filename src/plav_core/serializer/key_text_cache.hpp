// The key-text cache of dumps: the written form of recent dict keys, by key object.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "memory.hpp"

namespace plav {

// The written form of recent dict keys ('"name":' with its separator), by key
// object. Keys repeat across the dicts of a document, mostly as the very same
// str objects, so a hit replaces the UTF-8 lookup and the escaping with one copy.
// The cache holds a reference to every key it has a form of, so no key can be
// freed and its address be taken by another object while its entry lives,
// whatever Python code runs meanwhile (exact str keys are immutable, so the form
// stays right). Kept per thread; emptied, references dropped, by every call.
struct KeyTextCache {
    static constexpr size_t SLOTS = 1024;
    static constexpr size_t MAX_TEXT = 48;
    static constexpr size_t MAX_BYTES = 4 * SLOTS * MAX_TEXT;
    struct Slot {
        PyObject *key = nullptr;
        uint32_t generation = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
    };
    Slot slots[SLOTS];
    Vec<uint8_t> bytes;   // the forms, each in a slot of MAX_TEXT bytes
    Vec<PyObject *> held; // strong references to the keys of the forms
    uint32_t generation = 1;

    KeyTextCache() = default;
    KeyTextCache(const KeyTextCache &) = delete;
    KeyTextCache &operator=(const KeyTextCache &) = delete;
    // Keys are left only by a thread that ended inside a call, without the GIL:
    // they stay with the exiting process.
    ~KeyTextCache() { held.clear(); }

    // Forgets every entry (slots of older generations are ignored) and drops the
    // references. Freeing an exact str runs no Python code. Needs the GIL.
    void clear() noexcept {
        if (++generation == 0) { // wrapped: old slots could match again
            for (Slot &s : slots)
                s = Slot{};
            generation = 1;
        }
        bytes.clear();
        for (PyObject *key : held)
            Py_DECREF(key);
        held.clear();
    }
    Slot &slot_for(PyObject *key) noexcept {
        return slots[(reinterpret_cast<uintptr_t>(key) >> 4) & (SLOTS - 1)];
    }
};

} // namespace plav
