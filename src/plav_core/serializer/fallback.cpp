// Objects the dispatch does not know: model objects through model_dump() or
// dict() (with __fields__), dataclass instances through dataclasses.asdict, then
// the types written natively, then the caller's `default`. Each conversion (an
// Enum's value and each call of `default` included) counts one level toward the
// nesting limit, so an object that converts to itself ends with the depth error
// instead of looping.
#include <dlfcn.h>

#include "py_ref.hpp"
#include "serializer/serializer.hpp"

namespace plav {
namespace {

// Looks an attribute up without making the AttributeError of a missing one:
// 1 found (*out a new reference), 0 missing, -1 another exception. CPython has
// it as PyObject_GetOptionalAttr from 3.13 and _PyObject_LookupAttr in 3.12,
// outside the stable ABI, so it is found in the running interpreter at first use.
using OptionalAttrFn = int (*)(PyObject *, PyObject *, PyObject **);

OptionalAttrFn find_optional_attr() noexcept {
    for (const char *symbol : {"PyObject_GetOptionalAttr", "_PyObject_LookupAttr"})
        if (void *f = dlsym(RTLD_DEFAULT, symbol)) return reinterpret_cast<OptionalAttrFn>(f);
    return nullptr;
}

// The attribute (new reference), empty when it is missing; failure on any other
// exception of the lookup.
Result<PyRef> optional_attr(PyObject *obj, PyObject *name) noexcept {
    static const OptionalAttrFn lookup = find_optional_attr();
    if (lookup) {
        PyObject *attr = nullptr;
        if (lookup(obj, name, &attr) < 0) return PendingError::pass_through();
        return PyRef::steal(attr);
    }
    PyRef attr = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::pass_through();
        PyErr_Clear();
    }
    return attr;
}

Names NAMES{};
bool NAMES_READY = false;
PyObject *ASDICT = nullptr;  // strong reference, kept for the life of the process

PyObject *intern(const char *s) noexcept { return PyUnicode_InternFromString(s); }

// A callable attribute of `obj`, or empty when the lookup fails (its exception is
// discarded) or the attribute is not callable.
PyRef callable_attr(PyObject *obj, PyObject *name) noexcept {
    Result<PyRef> attr = optional_attr(obj, name);
    if (!attr) {
        PyErr_Clear();
        return {};
    }
    if (!attr.value() || !PyCallable_Check(attr.value().get())) return {};
    return std::move(attr.value());
}

Status type_error_for(PyObject *value) noexcept {
    return PendingError::type_error("Object of type '" + type_name(Py_TYPE(value), true) +
                                    "' is not JSON serializable");
}

}  // namespace

std::string type_name(PyTypeObject *t, bool qualified) noexcept {
    std::string name = "unknown";
    // The attribute as Python's lookup finds it: a metaclass may define __qualname__.
    PyRef text = PyRef::steal(qualified
                                  ? PyObject_GetAttrString(reinterpret_cast<PyObject *>(t),
                                                           "__qualname__")
                                  : PyType_GetName(t));
    if (text && PyUnicode_Check(text.get())) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (u) name.assign(u, static_cast<size_t>(n));
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
            return nullptr;  // the made names stay alive; interned strings are immortal
        NAMES = made;
        NAMES_READY = true;
    }
    return &NAMES;
}

PyObject *dataclasses_asdict() noexcept {
    if (!ASDICT) {
        const Names *nm = names();
        if (!nm) return nullptr;
        PyRef module = PyRef::steal(PyImport_ImportModule("dataclasses"));
        if (!module) return nullptr;
        ASDICT = PyObject_GetAttr(module.get(), nm->asdict);
    }
    return ASDICT;
}

Result<bool> has_attr(PyObject *obj, PyObject *name) noexcept {
    Result<PyRef> attr = optional_attr(obj, name);
    if (!attr) return std::move(attr.error());
    return static_cast<bool>(attr.value());
}

// The result of default(value), written in its place as one conversion.
// `value` is held by the caller.
Status write_default(Writer &w, PyObject *value, Nesting at) noexcept {
    PythonCall call(w);  // declared first: ends after the holds are released
    PyRef fn = PyRef::borrow(w.opt.default_fn);
    PyRef converted = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), value, nullptr));
    if (!converted) return PendingError::pass_through();
    return write_value(w, converted.get(), at.converted());
}

Status write_fallback(Writer &w, PyObject *value, Nesting at) noexcept {
    PyRef hold = PyRef::borrow(value);
    // Built-in types that cannot have a conversion method skip the lookups.
    if (const NativeKind kind = exact_native_kind(Py_TYPE(value)); kind != NativeKind::None) {
        Result<bool> native = write_native(w, value, at, kind);
        if (!native) return std::move(native.error());
        if (native.value()) return ok();
    }
    const Names *nm = names();
    if (!nm) return PendingError::pass_through();

    PythonCall call(w);
    PyRef converted;
    if (PyRef dump = callable_attr(value, nm->model_dump)) {
        converted = PyRef::steal(PyObject_CallNoArgs(dump.get()));
        if (!converted) return PendingError::pass_through();
    } else if (PyRef to_dict = callable_attr(value, nm->dict)) {
        Result<bool> has = has_attr(value, nm->fields);
        if (!has) return std::move(has.error());
        if (has.value()) {
            converted = PyRef::steal(PyObject_CallNoArgs(to_dict.get()));
            if (!converted) return PendingError::pass_through();
        }
    }
    if (!converted) {
        Result<bool> is_dataclass = has_attr(value, nm->dataclass_fields);
        if (!is_dataclass) return std::move(is_dataclass.error());
        if (!is_dataclass.value()) {
            Result<bool> native = write_native(w, value, at);
            if (!native) return std::move(native.error());
            if (native.value()) return ok();
            if (w.opt.default_fn) return write_default(w, value, at);
            return type_error_for(value);  // __qualname__ may run Python code, within `call`
        }
        PyObject *asdict = dataclasses_asdict();
        if (!asdict) return PendingError::pass_through();
        converted = PyRef::steal(PyObject_CallFunctionObjArgs(asdict, value, nullptr));
        if (!converted) return PendingError::pass_through();
    }
    Status written = write_value(w, converted.get(), at.converted());
    {
        PythonCall release(w);  // the converted data may hold objects with finalizers
        converted.reset();
        hold.reset();
    }
    return written;
}

}  // namespace plav
