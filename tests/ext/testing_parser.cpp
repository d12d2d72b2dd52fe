// Test-only access to the parser kernels: the key hash, the float conversion and
// the number token reader, and the size of this thread's key cache.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "parser/fast_number.hpp"
#include "parser/siphash.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

// siphash13(k0, k1, data) and key_hash(k0, k1, data) -> int
PyObject *py_siphash13(PyObject *, PyObject *args) {
    unsigned long long k0 = 0, k1 = 0;
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "KKy#:siphash13", &k0, &k1, &data, &n))
        return nullptr;
    return PyLong_FromUnsignedLongLong(
        siphash13(k0, k1, reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n)));
}

PyObject *py_key_hash(PyObject *, PyObject *args) {
    unsigned long long k0 = 0, k1 = 0;
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "KKy#:key_hash", &k0, &k1, &data, &n))
        return nullptr;
    return PyLong_FromUnsignedLongLong(
        key_hash(k0, k1, reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n)));
}

// parse_double(token: bytes) -> float, or None when the token is not a float
PyObject *py_parse_double(PyObject *, PyObject *arg) {
    char *data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(arg, &data, &n) < 0)
        return nullptr;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    double v = 0;
    if (!parse_double(p, p + n, v))
        return PyRef::borrow(Py_None).release();
    return PyFloat_FromDouble(v);
}

// number_token(data: bytes, start: int) -> (kind, end, error message or None)
PyObject *py_number_token(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0, start = 0;
    if (!PyArg_ParseTuple(args, "y#n:number_token", &data, &n, &start))
        return nullptr;
    if (start < 0 || start >= n) {
        PyErr_SetString(PyExc_IndexError, "start out of range");
        return nullptr;
    }
    const NumberToken t = parse_number(reinterpret_cast<const uint8_t *>(data),
                                       static_cast<size_t>(n), static_cast<size_t>(start));
    static const char *const KINDS[] = {"int64", "uint64", "bigint", "double", "error"};
    return Py_BuildValue("(snz)", KINDS[static_cast<int>(t.kind)], static_cast<Py_ssize_t>(t.end),
                         t.error);
}

} // namespace

PyMethodDef PARSER_METHODS[] = {
    {"siphash13", py_siphash13, METH_VARARGS, "SipHash-1-3 of data under (k0, k1)."},
    {"key_hash", py_key_hash, METH_VARARGS, "The key cache's hash: length word, then bytes."},
    {"parse_double", py_parse_double, METH_O, "Correctly rounded float of a token, or None."},
    {"number_token", py_number_token, METH_VARARGS, "(kind, end, error) of a number token."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace plav
