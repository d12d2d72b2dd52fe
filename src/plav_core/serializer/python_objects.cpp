// What the writer's parts ask of Python objects: type names, the interned
// attribute names, attribute lookups and dataclasses.asdict.
#include "serializer/python_objects.hpp"

#include "py_ref.hpp"

namespace plav {
namespace {

Names NAMES{};
bool NAMES_READY = false;
PyObject *ASDICT = nullptr;  // strong reference, kept for the life of the process

PyObject *intern(const char *s) noexcept { return PyUnicode_InternFromString(s); }

}  // namespace

std::string type_name(PyTypeObject *t, bool qualified) noexcept {
    std::string name = "unknown";
    PyRef text = PyRef::steal(qualified ? PyType_GetQualName(t) : PyType_GetName(t));
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
    PyRef attr = PyRef::steal(PyObject_GetAttr(obj, name));
    if (attr) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::pass_through();
    PyErr_Clear();
    return false;
}

}  // namespace plav
