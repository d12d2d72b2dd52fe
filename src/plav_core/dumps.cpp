// dumps: bind options, lend the thread's output buffer, write, make the str.
#include <Python.h>

#include "boundary.hpp"

namespace plav {

PyObject *dumps_entry(PyObject *, PyObject *, PyObject *) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "dumps is not available yet");
    return nullptr;
}

}  // namespace plav
