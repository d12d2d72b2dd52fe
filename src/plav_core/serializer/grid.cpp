// A list as a Mox Grid: detect, convert lists of model objects and look again,
// write.
#include "serializer/grid.hpp"

namespace plav {

Result<bool> try_write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, Nesting at) noexcept {
    {
        GridHeader header;
        Result<bool> found = detect_mox_grid_candidate(w, list, n, header);
        if (!found)
            return std::move(found.error());
        if (found.value())
            return write_mox_grid(w, list, n, header, at, false);
    }
    // Lists of model objects: convert them and look again.
    PyObject *first = PyList_GetItem(list, 0);
    if (!first)
        return PendingError::pass_through();
    PyTypeObject *t = Py_TYPE(first);
    if (t == &PyDict_Type || first == Py_None || t == &PyBool_Type ||
        PyType_IsSubtype(t, &PyFloat_Type) ||
        (PyType_GetFlags(t) &
         (Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
          Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS)))
        return false;
    Result<PyRef> converted = materialize_as_dicts(w, list, n);
    if (!converted)
        return std::move(converted.error());
    PyRef rows = std::move(converted.value());
    if (!rows)
        return false;
    GridHeader header;
    Result<bool> found = detect_mox_grid_candidate(w, rows.get(), n, header);
    if (!found)
        return std::move(found.error());
    if (!found.value())
        return false;
    Result<bool> written = write_mox_grid(w, rows.get(), n, header, at, true);
    {
        PythonCall call(w); // the converted rows may hold objects with finalizers
        header = GridHeader{};
        rows.reset();
    }
    return written;
}

} // namespace plav
