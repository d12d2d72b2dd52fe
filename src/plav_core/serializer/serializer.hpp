// The serializer's shared state and steps: value dispatch, containers, keys, grids
// and fallback conversion. Every step appends to the call's buffer and returns a
// Status; a failure ends the whole dumps call.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "result.hpp"
#include "serializer/escape.hpp"
#include "serializer/output_buffer.hpp"

namespace plav {

enum class Delimiter : uint8_t { Comma, Tab, Pipe };

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
};

inline std::string_view delimiter_text(Delimiter d) noexcept {
    switch (d) {
    case Delimiter::Tab: return "\t";
    case Delimiter::Pipe: return " | ";
    default: return ", ";
    }
}

constexpr uint32_t MAX_DEPTH = 256;

// The state of one dumps call.
struct Writer {
    OutputBuffer &buf;
    const DumpOptions &opt;
    EscapeFn escape;
    // Bumped before every call that may run Python code. Containers read through
    // borrowed references re-check their size only when it moved, since nothing
    // else can change them while the GIL is held.
    uint64_t python_calls = 0;
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

// Quoted and escaped UTF-8 text.
inline void write_quoted(Writer &w, const uint8_t *s, size_t n) noexcept {
    w.buf.reserve(1);
    w.buf.put_unchecked('"');
    w.escape(s, n, w.buf);
    w.buf.put('"');
}

// A line end and width x level spaces; MemoryError when the spaces of one line
// would reach 2^32 or cannot be allocated (the buffer stays as it was).
Status write_line_start(Writer &w, uint64_t width, uint64_t level) noexcept;
inline Status write_newline_indent(Writer &w, uint64_t level) noexcept {
    return write_line_start(w, w.opt.indent, level);
}

// A Mox Grid header key: bare when it is an identifier, else quoted.
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
