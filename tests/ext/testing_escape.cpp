// Test-only access to the string escapers (each variant this CPU can run), the
// bare-word test and the number formatting of the serializer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "cpu.hpp"
#include "serializer/escape.hpp"
#include "serializer/number_format.hpp"
#include "serializer/output_buffer.hpp"

namespace plav {
namespace {

// escape(data, level) -> (escaped bytes, non_ascii flag); level: scalar, avx2, avx512.
PyObject *py_escape(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0;
    const char *level = nullptr;
    if (!PyArg_ParseTuple(args, "y#s:escape", &data, &n, &level)) return nullptr;
    const CpuFeatures f = cpu_features();
    const std::string_view l(level);
    EscapeFn fn = nullptr;
    if (l == "scalar") {
        fn = write_escaped_str_scalar;
    } else if (l == "avx2" && f.avx2) {
        fn = write_escaped_str_avx2;
    } else if (l == "avx512" && f.avx512f && f.avx512bw) {
        fn = write_escaped_str_avx512;
    } else {
        PyErr_Format(PyExc_ValueError, "level %s is unknown or not supported here", level);
        return nullptr;
    }
    OutputBuffer buf;
    // A prefix, so that kernels writing whole blocks start off a block boundary.
    buf.put(std::string_view("<"));
    fn(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n), buf);
    return Py_BuildValue("(y#N)", reinterpret_cast<const char *>(buf.data()) + 1,
                         static_cast<Py_ssize_t>(buf.size() - 1), PyBool_FromLong(buf.non_ascii));
}

PyObject *py_is_identifier(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#:is_identifier", &data, &n)) return nullptr;
    return PyBool_FromLong(is_identifier(reinterpret_cast<const uint8_t *>(data),
                                         static_cast<size_t>(n)));
}

PyObject *py_format_double(PyObject *, PyObject *args) {
    double v = 0;
    if (!PyArg_ParseTuple(args, "d:format_double", &v)) return nullptr;
    char out[FLOAT_TEXT_MAX];
    const char *end = format_double(v, out);
    return PyUnicode_FromStringAndSize(out, end - out);
}

}  // namespace

PyMethodDef ESCAPE_METHODS[] = {
    {"escape", py_escape, METH_VARARGS,
     "escape(data, level) -> (escaped bytes, non_ascii); level: scalar, avx2, avx512"},
    {"is_identifier", py_is_identifier, METH_VARARGS, "is_identifier(data) -> bool"},
    {"format_double", py_format_double, METH_VARARGS,
     "format_double(x) -> shortest round-trip text as dumps writes it"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace plav
