// The Python boundary: the three entries, the internal-failure exception type and
// raising of error values. Everything below this layer returns errors as values.
#pragma once
#include <Python.h>

#include "result.hpp"

namespace plav {

// Sets the Python exception for an error value; returns NULL for `return raise_error(...)`.
PyObject *raise_error(Error &&err) noexcept;
void raise_pending(const PendingError &e) noexcept;

// The module's exception for broken invariants during dumps (derives from
// BaseException). Borrowed; created at module initialisation, once for the
// process (NULL with an error set on failure).
PyObject *create_internal_failure_type() noexcept;
PyObject *internal_failure_type() noexcept;

// The module's DecodeError (a json.JSONDecodeError), created at module
// initialisation and kept for the process. Borrowed; NULL with an error set on failure.
PyObject *create_decode_error_type() noexcept;
// Raises DecodeError for the reader's error `e` in `doc` (borrowed, the input as
// given), whose bytes as read are `text`; `text_is_str`: doc is a str, and `pos`
// counts its characters. Returns NULL.
PyObject *raise_decode_error(const ParseError &e, PyObject *doc, const uint8_t *text, size_t len,
                             bool text_is_str) noexcept;

// loads and dumps take fast calls (METH_FASTCALL | METH_KEYWORDS).
PyObject *loads_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept;
PyObject *dumps_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept;
// raw_decode: one value read from a position; _read_at: the reader behind extract.
PyObject *raw_decode_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept;
PyObject *read_at_entry(PyObject *self, PyObject *args) noexcept;
PyObject *format_hint_entry(PyObject *self, PyObject *args, PyObject *kwargs) noexcept;

} // namespace plav
