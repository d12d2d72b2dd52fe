// loads: bind arguments, borrow the input bytes, scan without the GIL, parse.
#include <Python.h>

#include "boundary.hpp"

namespace plav {

PyObject *loads_entry(PyObject *, PyObject *, PyObject *) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "loads is not available yet");
    return nullptr;
}

}  // namespace plav
