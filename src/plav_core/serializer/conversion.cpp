// Conversions of objects the dispatch does not know into plain data: model objects
// through model_dump() or dict() (with __fields__), dataclass instances through
// dataclasses.asdict, then the types written natively (native.cpp), then the
// caller's `default`; one value at a time, or a whole list of grid rows. Each
// conversion (an Enum's value and each call of `default` included) counts one level
// toward the nesting limit, so an object that converts to itself ends with the
// depth error instead of looping.
#include "py_ref.hpp"
#include "serializer/grid.hpp"
#include "serializer/serializer.hpp"

namespace plav {
namespace {

// A callable attribute of `obj`, or empty when the lookup fails (its exception is
// discarded) or the attribute is not callable.
PyRef callable_attr(PyObject *obj, PyObject *name) noexcept {
    Result<PyRef> attr = optional_attr(obj, name);
    if (!attr) {
        PyErr_Clear();
        return {};
    }
    if (!attr.value() || !PyCallable_Check(attr.value().get()))
        return {};
    return std::move(attr.value());
}

Status type_error_for(PyObject *value) noexcept {
    return PendingError::type_error("Object of type '" + type_name(Py_TYPE(value), true) +
                                    "' is not JSON serializable");
}

} // namespace

// The result of default(value), written in its place as one conversion.
// `value` is held by the caller.
Status write_default(Writer &w, PyObject *value, Nesting at) noexcept {
    PythonCall call(w); // declared first: ends after the holds are released
    PyRef fn = PyRef::borrow(w.opt.default_fn);
    PyRef converted = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), value, nullptr));
    if (!converted)
        return PendingError::pass_through();
    return write_value(w, converted.get(), at.converted());
}

Status write_fallback(Writer &w, PyObject *value, Nesting at) noexcept {
    PyRef hold = PyRef::borrow(value);
    // Built-in types that cannot have a conversion method skip the lookups.
    if (const NativeKind kind = exact_native_kind(Py_TYPE(value)); kind != NativeKind::None) {
        Result<bool> native = write_native(w, value, at, kind);
        if (!native)
            return std::move(native.error());
        if (native.value())
            return ok();
    }
    const Names *nm = names();
    if (!nm)
        return PendingError::pass_through();

    PythonCall call(w);
    PyRef converted;
    if (PyRef dump = callable_attr(value, nm->model_dump)) {
        converted = PyRef::steal(PyObject_CallNoArgs(dump.get()));
        if (!converted)
            return PendingError::pass_through();
    } else if (PyRef to_dict = callable_attr(value, nm->dict)) {
        Result<bool> has = has_attr(value, nm->fields);
        if (!has)
            return std::move(has.error());
        if (has.value()) {
            converted = PyRef::steal(PyObject_CallNoArgs(to_dict.get()));
            if (!converted)
                return PendingError::pass_through();
        }
    }
    if (!converted) {
        Result<bool> is_dataclass = has_attr(value, nm->dataclass_fields);
        if (!is_dataclass)
            return std::move(is_dataclass.error());
        if (!is_dataclass.value()) {
            Result<bool> native = write_native(w, value, at);
            if (!native)
                return std::move(native.error());
            if (native.value())
                return ok();
            if (w.opt.default_fn)
                return write_default(w, value, at);
            return type_error_for(value); // __qualname__ may run Python code, within `call`
        }
        PyObject *asdict = dataclasses_asdict();
        if (!asdict)
            return PendingError::pass_through();
        converted = PyRef::steal(PyObject_CallFunctionObjArgs(asdict, value, nullptr));
        if (!converted)
            return PendingError::pass_through();
    }
    Status written = write_value(w, converted.get(), at.converted());
    {
        PythonCall release(w); // the converted data may hold objects with finalizers
        converted.reset();
        hold.reset();
    }
    return written;
}

Result<PyRef> materialize_as_dicts(Writer &w, PyObject *list, Py_ssize_t n) noexcept {
    const Names *nm = names();
    if (!nm)
        return PendingError::pass_through();
    // Every conversion may replace or drop elements of `list` (held by the
    // caller), including those converted already: each is held while it converts,
    // and the results are held by the new list.
    PythonCall call(w);
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out)
        return PendingError::pass_through();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e)
            return PendingError::pass_through();
        PyRef converted;
        if (is_dict(Py_TYPE(e.get()))) {
            converted = std::move(e);
        } else if (PyRef dump = PyRef::steal(PyObject_GetAttr(e.get(), nm->model_dump))) {
            if (!PyCallable_Check(dump.get()))
                return PyRef();
            converted = PyRef::steal(PyObject_CallNoArgs(dump.get()));
            if (!converted)
                return PendingError::pass_through();
        } else {
            PyErr_Clear();
            Result<bool> is_dataclass = has_attr(e.get(), nm->dataclass_fields);
            if (!is_dataclass)
                return std::move(is_dataclass.error());
            if (is_dataclass.value()) {
                PyObject *asdict = dataclasses_asdict();
                if (!asdict)
                    return PendingError::pass_through();
                converted = PyRef::steal(PyObject_CallFunctionObjArgs(asdict, e.get(), nullptr));
                if (!converted)
                    return PendingError::pass_through();
            } else {
                Result<bool> has_fields = has_attr(e.get(), nm->fields);
                if (!has_fields)
                    return std::move(has_fields.error());
                if (!has_fields.value())
                    return PyRef();
                PyRef to_dict = PyRef::steal(PyObject_GetAttr(e.get(), nm->dict));
                if (!to_dict) {
                    PyErr_Clear();
                    return PyRef();
                }
                if (!PyCallable_Check(to_dict.get()))
                    return PyRef();
                converted = PyRef::steal(PyObject_CallNoArgs(to_dict.get()));
                if (!converted)
                    return PendingError::pass_through();
            }
        }
        PyList_SetItem(out.get(), i, converted.release()); // steals
    }
    return out;
}

} // namespace plav
