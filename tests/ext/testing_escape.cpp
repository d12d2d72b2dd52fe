// Test-only access to the string escapers (each variant this CPU can run) and the
// number formatting of the serializer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "cpu.hpp"
#include "py_ref.hpp"
#include "serializer/number_format.hpp"
#include "simd/escape.hpp"
#include "simd/utf16.hpp"
#include "types/output_buffer.hpp"

namespace plav {
namespace {

// escape(data, level) -> (escaped bytes, non_ascii flag); level: scalar, avx2, avx512.
PyObject *py_escape(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0;
    const char *level = nullptr;
    if (!PyArg_ParseTuple(args, "y#s:escape", &data, &n, &level))
        return nullptr;
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
    const bool non_ascii = fn(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n), buf);
    if (non_ascii != buf.non_ascii) {
        PyErr_SetString(PyExc_AssertionError, "returned and recorded non-ASCII flags differ");
        return nullptr;
    }
    return Py_BuildValue("(y#N)", reinterpret_cast<const char *>(buf.data()) + 1,
                         static_cast<Py_ssize_t>(buf.size() - 1), PyBool_FromLong(non_ascii));
}

// short_clean(data) -> (copied bytes, non_ascii) or None when the inline path
// declines (longer than 16 bytes, an escape needed, or a load near a page end).
PyObject *py_short_clean(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#:short_clean", &data, &n))
        return nullptr;
    uint8_t out[16];
    const int r =
        write_short_clean(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n), out);
    if (r < 0)
        Py_RETURN_NONE;
    return Py_BuildValue("(y#N)", reinterpret_cast<const char *>(out), n, PyBool_FromLong(r));
}

PyObject *py_format_double(PyObject *, PyObject *args) {
    double v = 0;
    if (!PyArg_ParseTuple(args, "d:format_double", &v))
        return nullptr;
    char out[FLOAT_TEXT_ROOM];
    const char *end = format_double(v, out);
    return PyUnicode_FromStringAndSize(out, end - out);
}

// transcode(data, form) -> the UTF-8 text as UTF-16 units ("utf16", little-endian
// bytes) or as Latin-1 bytes ("latin1"), or None where the kernel declines it.
PyObject *py_transcode(PyObject *, PyObject *args) {
    const char *data = nullptr, *form = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#s:transcode", &data, &n, &form))
        return nullptr;
    const auto *s = reinterpret_cast<const uint8_t *>(data);
    const auto len = static_cast<size_t>(n);
    const std::string_view f(form);
    if (f != "utf16" && f != "latin1") {
        PyErr_SetString(PyExc_ValueError, "unknown form");
        return nullptr;
    }
    const size_t width = f == "utf16" ? 2 : 1;
    PyRef out =
        PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width * len)));
    if (!out)
        return nullptr;
    char *room = PyBytes_AsString(out.get());
    const size_t count = width == 2 ? utf8_to_utf16_bmp(s, len, reinterpret_cast<uint16_t *>(room))
                                    : utf8_to_latin1(s, len, reinterpret_cast<uint8_t *>(room));
    if (count == SIZE_MAX)
        Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(room, static_cast<Py_ssize_t>(width * count));
}

} // namespace

PyMethodDef ESCAPE_METHODS[] = {
    {"transcode", py_transcode, METH_VARARGS,
     "transcode(data, form) -> UTF-16 (utf16) or Latin-1 (latin1) bytes, or None"},
    {"escape", py_escape, METH_VARARGS,
     "escape(data, level) -> (escaped bytes, non_ascii); level: scalar, avx2, avx512"},
    {"short_clean", py_short_clean, METH_VARARGS,
     "short_clean(data) -> (bytes, non_ascii), or None where the inline path declines"},
    {"format_double", py_format_double, METH_VARARGS,
     "format_double(x) -> shortest round-trip text as dumps writes it"},
    {nullptr, nullptr, 0, nullptr}};

} // namespace plav
