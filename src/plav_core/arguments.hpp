// Arguments of a fast call (METH_FASTCALL | METH_KEYWORDS) bound to parameters
// without building the tuple and dict of a classic call. Calls the binding cannot
// settle (missing, surplus, repeated or unknown arguments) go to CPython's own
// parser, which reports them in its usual wording.
#pragma once
#include <Python.h>

#include <cstddef>

#include "py_ref.hpp"

namespace plav {

class Parameters {
  public:
    // `names`: the parameters in order, nullptr-terminated; the first `positional`
    // may also be given by position. Both are static.
    constexpr Parameters(const char *const *names, size_t positional) noexcept
        : names_(names), positional_(positional) {}

    // Fills out[i] (borrowed, nullptr when not given) for each parameter. False,
    // with no exception set, when the call needs CPython's parser.
    bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) noexcept;

  private:
    static constexpr size_t MAX = 16;
    long index_of(PyObject *name) noexcept;

    const char *const *names_;
    size_t positional_;
    size_t count_ = 0;
    PyObject *interned_[MAX] = {}; // created at the first call, kept for the process
};

// The arguments of a fast call as the tuple and dict of a classic call, for
// PyArg_ParseTupleAndKeywords. False with a Python error set.
bool classic_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyRef &tuple,
                       PyRef &dict) noexcept;

} // namespace plav
