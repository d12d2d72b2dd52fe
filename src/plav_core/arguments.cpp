#include "arguments.hpp"

namespace plav {

long Parameters::index_of(PyObject *name) noexcept {
    if (count_ == 0) {
        size_t n = 0;
        for (; names_[n] && n < MAX; ++n) {
            interned_[n] = PyUnicode_InternFromString(names_[n]);
            if (!interned_[n]) {
                PyErr_Clear();
                for (size_t i = 0; i < n; ++i)
                    Py_CLEAR(interned_[i]);
                return -1;
            }
        }
        count_ = n;
    }
    // Keyword names in compiled calls are interned: identity settles nearly all.
    for (size_t i = 0; i < count_; ++i)
        if (name == interned_[i])
            return static_cast<long>(i);
    for (size_t i = 0; i < count_; ++i)
        if (PyUnicode_CompareWithASCIIString(name, names_[i]) == 0)
            return static_cast<long>(i);
    return -1;
}

bool Parameters::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      PyObject **out) noexcept {
    if (nargs < 0 || static_cast<size_t>(nargs) > positional_)
        return false;
    for (size_t i = 0; names_[i]; ++i)
        out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
    if (!kwnames)
        return true;
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
        const long i = index_of(PyTuple_GetItem(kwnames, k));
        if (i < 0 || out[i])
            return false;
        out[i] = args[nargs + k];
    }
    return true;
}

bool classic_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyRef &tuple,
                       PyRef &dict) noexcept {
    tuple = PyRef::steal(PyTuple_New(nargs));
    if (!tuple)
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SetItem(tuple.get(), i, PyRef::borrow(args[i]).release()); // steals
    if (!kwnames)
        return true;
    dict = PyRef::steal(PyDict_New());
    if (!dict)
        return false;
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k)
        if (PyDict_SetItem(dict.get(), PyTuple_GetItem(kwnames, k), args[nargs + k]) < 0)
            return false;
    return true;
}

} // namespace plav
