// The serializer's shared state and steps: value dispatch, containers, keys, grids
// and fallback conversion. Every step appends to the call's buffer and returns a
// Status; a failure ends the whole dumps call.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"
#include "result.hpp"
#include "serializer/escape.hpp"
#include "serializer/number_format.hpp"
#include "serializer/output_buffer.hpp"
#include "syntax.hpp"

namespace plav {

enum class Delimiter : uint8_t { Comma, Tab, Pipe };
// What may be a grid cell: grid-safe scalars, or every value.
enum class Cells : uint8_t { Safe, Any };

struct DumpOptions {
    bool has_indent = false;  // absent: compact output
    uint64_t indent = 0;
    bool mox_grid = true;
    bool unquoted_keys = false;
    bool bare_strings = false;
    bool implicit_null = false;
    bool row_count = true;
    bool multiline_mox = false;
    Delimiter delimiter = Delimiter::Comma;
    Cells cells = Cells::Safe;
    bool bare_text = false;  // string cells and header keys bare whenever they read back
};

inline std::string_view delimiter_text(Delimiter d) noexcept {
    switch (d) {
    case Delimiter::Tab: return "\t";
    case Delimiter::Pipe: return " | ";
    default: return ", ";
    }
}

constexpr uint32_t MAX_DEPTH = syntax::MAX_WRITE_DEPTH;

// A run of output bytes [begin, end) that holds non-ASCII text, and the str it
// came from when the run is exactly that string's UTF-8 form (else empty).
struct TextSegment {
    size_t begin;
    size_t end;
    PyRef source;
};

// The written form of recent dict keys ('"name":' with its separator), by key
// object. Keys repeat across the dicts of a document, mostly as the very same
// str objects, so a hit replaces the UTF-8 lookup and the escaping with one copy.
// Entries are valid while no Python code has run since they were made (nothing
// else can free a key and reuse its address while the GIL is held), so the
// cache is emptied whenever Writer::python_calls moves. Kept per thread.
struct KeyCache {
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
    std::vector<uint8_t> bytes;  // the forms, each in a slot of MAX_TEXT bytes
    uint32_t generation = 1;
    uint64_t epoch = 0;

    // Forgets every entry (slots of older generations are ignored).
    void clear(uint64_t now) noexcept {
        if (++generation == 0) {  // wrapped: old slots could match again
            for (Slot &s : slots) s = Slot{};
            generation = 1;
        }
        bytes.clear();
        epoch = now;
    }
    Slot &slot_for(PyObject *key) noexcept {
        return slots[(reinterpret_cast<uintptr_t>(key) >> 4) & (SLOTS - 1)];
    }
};

// The state of one dumps call.
struct Writer {
    OutputBuffer &buf;
    const DumpOptions &opt;
    EscapeFn escape;
    // Where non-ASCII text was written, so that the result str can be assembled
    // from ASCII runs and the original strings instead of decoding every byte.
    std::vector<TextSegment> &segments;
    KeyCache &keys;
    // Set when non-ASCII bytes were written outside any recorded segment.
    bool unsegmented_non_ascii = false;
    // Bumped before every call that may run Python code. Containers read through
    // borrowed references re-check their size only when it moved, since nothing
    // else can change them while the GIL is held.
    uint64_t python_calls = 0;

    // Discards everything written after `size` bytes (an abandoned grid).
    void rewind(size_t size) noexcept {
        buf.truncate(size);
        while (!segments.empty() && segments.back().end > size) segments.pop_back();
    }
};

// Where a value sits: `depth` sets its indentation, `level` counts toward the
// nesting limit. They differ by the number of object conversions on the path,
// each of which counts as one level but is laid out where the object stood.
struct Nesting {
    uint32_t depth;
    uint32_t level;
    Nesting child() const noexcept { return {depth + 1, level + 1}; }
    Nesting converted() const noexcept { return {depth, level + 1}; }
};

// Appends the text of `value` (borrowed; the caller keeps it alive for the call).
Status write_value(Writer &w, PyObject *value, Nesting at) noexcept;


// Records non-ASCII output [begin, end) written for the n-byte UTF-8 text of
// `source` (borrowed, may be nullptr).
inline void note_non_ascii(Writer &w, size_t begin, size_t end, PyObject *source,
                           size_t n) noexcept {
    w.segments.push_back(
        {begin, end, end - begin == n && source ? PyRef::borrow(source) : PyRef()});
}

// Quoted and escaped UTF-8 text of `source` (borrowed; nullptr when the text is
// not a str's own), then `suffix`.
inline void write_quoted(Writer &w, const uint8_t *s, size_t n, PyObject *source,
                         std::string_view suffix = {}) noexcept {
    OutputBuffer &buf = w.buf;
    buf.reserve(18 + suffix.size());
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
    for (char c : suffix) buf.put_unchecked(static_cast<uint8_t>(c));  // ":" or ": "
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

// A line end and width x level spaces; MemoryError when the spaces of one line
// would reach 2^32 or cannot be allocated (the buffer stays as it was).
Status write_line_start(Writer &w, uint64_t width, uint64_t level) noexcept;
inline Status write_newline_indent(Writer &w, uint64_t level) noexcept {
    return write_line_start(w, w.opt.indent, level);
}

// A Mox Grid header key: bare when it is an identifier (under bare_text: when it
// reads back as itself), else quoted.
void write_mox_grid_header_key(Writer &w, std::string_view text) noexcept;

// Model objects and dataclasses through their own conversion; TypeError otherwise.
Status write_fallback(Writer &w, PyObject *value, Nesting at) noexcept;

// The type's __name__ (or __qualname__), "unknown" when it cannot be read.
std::string type_name(PyTypeObject *t, bool qualified) noexcept;

// hasattr(obj, name): false on AttributeError, failure on any other exception.
Result<bool> has_attr(PyObject *obj, PyObject *name) noexcept;

// Interned attribute names, made once per process.
struct Names {
    PyObject *model_dump, *dict, *fields, *dataclass_fields, *asdict;
};
const Names *names() noexcept;  // nullptr (exception set) when they cannot be made

// The `dataclasses.asdict` function, imported once. Borrowed; nullptr on failure.
PyObject *dataclasses_asdict() noexcept;

// A list written as a Mox Grid when it qualifies. Yields true when the grid was
// written, false when the caller writes a plain array (nothing was appended then).
Result<bool> try_write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, Nesting at) noexcept;

// Room put_scalar needs at its `out`: it may store whole blocks beyond the
// bytes it keeps.
constexpr size_t SCALAR_ROOM = FLOAT_TEXT_ROOM;

// Exact ints within 64 bits, floats, None and bools, written at `out` (SCALAR_ROOM
// bytes free) without the buffer's bookkeeping. Returns the end, or nullptr,
// having kept nothing, for every other value.
inline uint8_t *put_non_str_scalar(PyObject *value, uint8_t *out) noexcept {
    PyTypeObject *const t = Py_TYPE(value);
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return nullptr;
        return reinterpret_cast<uint8_t *>(format_int64(x, reinterpret_cast<char *>(out)));
    }
    if (t == &PyFloat_Type) {
        char *end = format_double(PyFloat_AsDouble(value), reinterpret_cast<char *>(out));
        return reinterpret_cast<uint8_t *>(end);
    }
    if (value == Py_None) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    if (t == &PyBool_Type) {
        const bool yes = value == Py_True;
        std::memcpy(out, yes ? "true\0\0\0" : "false\0\0", 8);
        return out + (yes ? 4 : 5);
    }
    return nullptr;
}

// put_non_str_scalar, and exact str of at most 16 ASCII bytes that need no escape.
// A str without a UTF-8 form yields nullptr with no exception set: the general
// path meets the failure again and reports it.
inline uint8_t *put_scalar(PyObject *value, uint8_t *out) noexcept {
    if (Py_TYPE(value) != &PyUnicode_Type) return put_non_str_scalar(value, out);
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(value, &n);
    if (!u) {
        PyErr_Clear();
        return nullptr;
    }
    if (write_short_clean(reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n), out + 1) != 0)
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
    if (!end) return false;
    buf.set_cursor(end);
    return true;
}

// write_scalar_fast, else write_value.
inline Status write_member(Writer &w, PyObject *value, Nesting at) noexcept {
    if (at.level <= MAX_DEPTH && write_scalar_fast(w, value)) return ok();
    return write_value(w, value, at);
}

// Type tests that read the flag bits, so subclasses count as their base types.
inline bool is_str(PyTypeObject *t) noexcept {
    return t == &PyUnicode_Type || (PyType_GetFlags(t) & Py_TPFLAGS_UNICODE_SUBCLASS);
}
inline bool is_dict(PyTypeObject *t) noexcept {
    return t == &PyDict_Type || (PyType_GetFlags(t) & Py_TPFLAGS_DICT_SUBCLASS);
}
// Exact built-in scalars: writing them never runs Python code.
inline bool is_plain_scalar(PyObject *v) noexcept {
    PyTypeObject *t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || v == Py_None;
}

}  // namespace plav
