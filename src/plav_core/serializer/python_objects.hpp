// What the writer's parts ask of Python objects: type tests, type names, attribute
// names and lookups, and dataclasses.asdict.
#pragma once
#include <Python.h>

#include <string>

#include "py_ref.hpp"
#include "result.hpp"

namespace plav {

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
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// The type's __name__ (or its __qualname__ attribute, which may run Python code),
// "unknown" when it cannot be read or is not a str.
std::string type_name(PyTypeObject *t, bool qualified) noexcept;

// The attribute (new reference), empty when it is missing; failure on any other
// exception of the lookup. A missing attribute makes no AttributeError.
Result<PyRef> optional_attr(PyObject *obj, PyObject *name) noexcept;

// hasattr(obj, name): false on AttributeError, failure on any other exception.
Result<bool> has_attr(PyObject *obj, PyObject *name) noexcept;

// Interned attribute names, made once per process.
struct Names {
    PyObject *model_dump, *dict, *fields, *dataclass_fields, *asdict;
};
const Names *names() noexcept; // nullptr (exception set) when they cannot be made

// The `dataclasses.asdict` function, imported once. Borrowed; nullptr on failure.
PyObject *dataclasses_asdict() noexcept;

} // namespace plav
