// The inline writers of text and of the exact built-in scalars, for the loops over
// container members.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "serializer/number_format.hpp"
#include "serializer/writer.hpp"
#include "simd/escape.hpp"
#include "syntax.hpp"
#include "types/output_buffer.hpp"

namespace plav {

// Quoted and escaped UTF-8 text of `source` (borrowed; nullptr when the text is
// not a str's own), then `suffix`.
inline void write_quoted(Writer &w, const uint8_t *s, size_t n, PyObject *source,
                         std::string_view suffix = {}) noexcept {
    OutputBuffer &buf = w.buf;
    buf.reserve(2 + SHORT_CLEAN_ROOM + suffix.size());
    buf.put_unchecked('"');
    const size_t begin = buf.size();
    bool non_ascii;
    if (const int clean = write_short_clean(s, n, buf.cursor()); clean >= 0) {
        buf.advance(n);
        non_ascii = clean != 0;
        buf.non_ascii |= non_ascii;
    } else {
        non_ascii = w.escape(s, n, buf);
    }
    if (non_ascii) [[unlikely]]
        note_non_ascii(w, begin, buf.size(), source, n);
    buf.reserve(1 + suffix.size());
    buf.put_unchecked('"');
    for (char c : suffix)
        buf.put_unchecked(static_cast<uint8_t>(c)); // ":" or ": "
}

// The UTF-8 text s[0, n) of `source` (borrowed, may be nullptr) as it stands.
inline void write_bare_text(Writer &w, const uint8_t *s, size_t n, PyObject *source,
                            bool non_ascii) noexcept {
    const size_t begin = w.buf.size();
    w.buf.put(s, n);
    if (non_ascii) [[unlikely]] {
        w.buf.non_ascii = true;
        note_non_ascii(w, begin, w.buf.size(), source, n);
    }
}

// Room put_scalar needs at its `out`: it may store whole blocks beyond the
// bytes it keeps.
constexpr size_t SCALAR_ROOM = FLOAT_TEXT_ROOM;
static_assert(SCALAR_ROOM >= 1 + SHORT_CLEAN_ROOM + 1, "a short string and its quotes fit");

// Exact ints within 64 bits, floats, None and bools, written at `out` (SCALAR_ROOM
// bytes free) without the buffer's bookkeeping. Returns the end, or nullptr,
// having kept nothing, for every other value.
inline uint8_t *put_non_str_scalar(PyObject *value, uint8_t *out) noexcept {
    PyTypeObject *const t = Py_TYPE(value);
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow)
            return nullptr;
        return reinterpret_cast<uint8_t *>(format_int64(x, reinterpret_cast<char *>(out)));
    }
    if (t == &PyFloat_Type) {
        char *end = format_double(PyFloat_AsDouble(value), reinterpret_cast<char *>(out));
        return reinterpret_cast<uint8_t *>(end);
    }
    if (value == Py_None) {
        std::memcpy(out, syntax::NULL_WORD.data(), syntax::NULL_WORD.size());
        return out + syntax::NULL_WORD.size();
    }
    if (t == &PyBool_Type) {
        // The literal words padded to one 8-byte store.
        static_assert(syntax::TRUE_WORD == "true" && syntax::FALSE_WORD == "false");
        const bool yes = value == Py_True;
        std::memcpy(out, yes ? "true\0\0\0" : "false\0\0", 8);
        return out + (yes ? syntax::TRUE_WORD.size() : syntax::FALSE_WORD.size());
    }
    return nullptr;
}

// put_non_str_scalar, and exact str of at most 32 ASCII bytes that need no escape.
// A str without a UTF-8 form yields nullptr with no exception set: the general
// path meets the failure again and reports it.
inline uint8_t *put_scalar(PyObject *value, uint8_t *out) noexcept {
    if (Py_TYPE(value) != &PyUnicode_Type)
        return put_non_str_scalar(value, out);
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(value, &n);
    if (!u) {
        PyErr_Clear();
        return nullptr;
    }
    if (write_short_clean(reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n), out + 1) !=
        0)
        return nullptr;
    out[0] = '"';
    out[n + 1] = '"';
    return out + n + 2;
}

// The exact built-in scalars, inline, for the loops over container members.
// Returns false, having written nothing, for every other value and for values
// whose writing fails or needs Python code (unencodable str, int beyond 64
// bits): write_value then writes them or reports their failure.
inline bool write_scalar_fast(Writer &w, PyObject *value) noexcept {
    OutputBuffer &buf = w.buf;
    if (Py_TYPE(value) == &PyUnicode_Type) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(value, &n);
        if (!u) {
            PyErr_Clear();
            return false;
        }
        write_quoted(w, reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n), value);
        return true;
    }
    buf.reserve(SCALAR_ROOM);
    uint8_t *end = put_non_str_scalar(value, buf.cursor());
    if (!end)
        return false;
    buf.set_cursor(end);
    return true;
}

} // namespace plav
