// Test-only access to the parser kernels: the key hash and the float conversion.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "parser/fast_number.hpp"
#include "parser/siphash.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

// siphash13(k0, k1, data) and key_hash(k0, k1, data) -> int
template <uint64_t (*HASH)(uint64_t, uint64_t, const uint8_t *, size_t) noexcept>
PyObject *py_hash(PyObject *, PyObject *args) {
    unsigned long long k0 = 0, k1 = 0;
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "KKy#", &k0, &k1, &data, &n))
        return nullptr;
    return PyLong_FromUnsignedLongLong(
        HASH(k0, k1, reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n)));
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

} // namespace

PyMethodDef PARSER_METHODS[] = {
    {"siphash13", py_hash<siphash13>, METH_VARARGS, "SipHash-1-3 of data under (k0, k1)."},
    {"key_hash", py_hash<key_hash>, METH_VARARGS, "The key cache's hash: length word, then bytes."},
    {"parse_double", py_parse_double, METH_O, "Correctly rounded float of a token, or None."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace plav
