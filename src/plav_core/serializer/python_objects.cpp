// What the writer's parts ask of Python objects: type names, the interned
// attribute names, attribute lookups and dataclasses.asdict.
#include "serializer/python_objects.hpp"

#include <dlfcn.h>

#include "py_ref.hpp"

namespace plav {
namespace {

// Looks an attribute up without making the AttributeError of a missing one:
// 1 found (*out a new reference), 0 missing, -1 another exception. CPython has
// it as PyObject_GetOptionalAttr from 3.13 and _PyObject_LookupAttr in 3.12,
// outside the stable ABI, so it is found in the running interpreter at first use.
using OptionalAttrFn = int (*)(PyObject *, PyObject *, PyObject **);

OptionalAttrFn find_optional_attr() noexcept {
    for (const char *symbol : {"PyObject_GetOptionalAttr", "_PyObject_LookupAttr"})
        if (void *f = dlsym(RTLD_DEFAULT, symbol))
            return reinterpret_cast<OptionalAttrFn>(f);
    return nullptr;
}

Names NAMES{};
bool NAMES_READY = false;
PyObject *ASDICT = nullptr; // strong reference, kept for the life of the process

PyObject *intern(const char *s) noexcept {
    return PyUnicode_InternFromString(s);
}

} // namespace

std::string type_name(PyTypeObject *t, bool qualified) noexcept {
    std::string name = "unknown";
    // The attribute as Python's lookup finds it: a metaclass may define __qualname__.
    PyRef text = PyRef::steal(
        qualified ? PyObject_GetAttrString(reinterpret_cast<PyObject *>(t), "__qualname__")
                  : PyType_GetName(t));
    if (text && PyUnicode_Check(text.get())) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (u)
            name.assign(u, static_cast<size_t>(n));
    }
    PyErr_Clear();
    return name;
}

const Names *names() noexcept {
    if (!NAMES_READY) {
        Names made{intern("model_dump"), intern("dict"), intern("__fields__"),
                   intern("__dataclass_fields__"), intern("asdict")};
        if (!made.model_dump || !made.dict || !made.fields || !made.dataclass_fields ||
            !made.asdict)
            return nullptr; // the made names stay alive; interned strings are immortal
        NAMES = made;
        NAMES_READY = true;
    }
    return &NAMES;
}

PyObject *dataclasses_asdict() noexcept {
    if (!ASDICT) {
        const Names *nm = names();
        if (!nm)
            return nullptr;
        PyRef module = PyRef::steal(PyImport_ImportModule("dataclasses"));
        if (!module)
            return nullptr;
        ASDICT = PyObject_GetAttr(module.get(), nm->asdict);
    }
    return ASDICT;
}

Result<PyRef> optional_attr(PyObject *obj, PyObject *name) noexcept {
    static const OptionalAttrFn lookup = find_optional_attr();
    if (lookup) {
        PyObject *attr = nullptr;
        if (lookup(obj, name, &attr) < 0)
            return PendingError::pass_through();
        return PyRef::steal(attr);
    }
    PyRef attr = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return PendingError::pass_through();
        PyErr_Clear();
    }
    return attr;
}

Result<bool> has_attr(PyObject *obj, PyObject *name) noexcept {
    Result<PyRef> attr = optional_attr(obj, name);
    if (!attr)
        return std::move(attr.error());
    return static_cast<bool>(attr.value());
}

} // namespace plav
