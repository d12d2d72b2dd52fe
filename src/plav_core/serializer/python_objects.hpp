// What the writer's parts ask of Python objects: type tests, type names, attribute
// names and lookups, and dataclasses.asdict.
#pragma once
#include <Python.h>

#include <string>

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
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || v == Py_None;
}

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

}  // namespace plav
