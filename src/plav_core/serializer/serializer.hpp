// The serializer's steps: value dispatch, containers, keys, grids and conversions.
// Every step appends to the call's buffer and returns a Status; a failure ends the
// whole dumps call. The call's state is in writer.hpp, the inline scalar writers
// in scalar_writer.hpp.
#pragma once
#include <Python.h>

#include <string_view>

#include "result.hpp"
#include "serializer/python_objects.hpp"
#include "serializer/scalar_writer.hpp"
#include "serializer/writer.hpp"

namespace plav {

// Appends the text of `value` (borrowed; the caller keeps it alive for the call).
Status write_value(Writer &w, PyObject *value, Nesting at) noexcept;

// A line end and width x level spaces; MemoryError when the spaces of one line
// would reach 2^32 or cannot be allocated (the buffer stays as it was).
Status write_line_start(Writer &w, uint64_t width, uint64_t level) noexcept;
inline Status write_newline_indent(Writer &w, uint64_t level) noexcept {
    return write_line_start(w, w.opt.indent, level);
}

// A Mox Grid header key: bare when it is an identifier (under bare_text: when it
// reads back as itself), else quoted.
void write_mox_grid_header_key(Writer &w, std::string_view text) noexcept;

// Model objects and dataclasses through their own conversion, then the types
// written natively, then the `default` callable; TypeError otherwise.
Status write_fallback(Writer &w, PyObject *value, Nesting at) noexcept;

// The types written natively. Known once their modules are imported (a value of
// a type whose module is not imported cannot exist); finding them runs no Python code.
enum class NativeKind : uint8_t { None, DateTime, Date, Time, Uuid, Decimal, Enum };
NativeKind native_kind(PyObject *value) noexcept;

// The kind of exact datetime, date, time or Decimal (else None): built-in types
// that no one can give a conversion method, so they are written before the
// conversion methods are looked up.
NativeKind exact_native_kind(PyTypeObject *t) noexcept;

// Writes `value` (borrowed, held by the caller) as its native form when it has
// one (`kind`: already known, or None to find it). Yields false, having written
// nothing, when it has none.
Result<bool> write_native(Writer &w, PyObject *value, Nesting at,
                          NativeKind kind = NativeKind::None) noexcept;

// The `_value_` an Enum member keeps in its instance dict (a new reference), read
// without running Python code; empty when it has none.
PyRef enum_stored_value(PyObject *member) noexcept;

// A list written as a Mox Grid when it qualifies. Yields true when the grid was
// written, false when the caller writes a plain array (nothing was appended then).
Result<bool> try_write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, Nesting at) noexcept;

// write_scalar_fast, else write_value.
inline Status write_member(Writer &w, PyObject *value, Nesting at) noexcept {
    if (at.level <= MAX_DEPTH && write_scalar_fast(w, value))
        return ok();
    return write_value(w, value, at);
}

} // namespace plav
