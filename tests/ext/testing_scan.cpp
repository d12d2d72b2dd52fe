// Test-only access to the scanners, the whitespace skipper, the string content
// scan and capability derivation, for every code path this machine can run.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "cpu.hpp"
#include "py_ref.hpp"
#include "simd/cell_scan.hpp"
#include "simd/scanner.hpp"
#include "simd/string_scan.hpp"
#include "simd/whitespace.hpp"

namespace plav {
namespace {

// Maps a level name to a level this CPU can run; raises for an unknown or unusable one.
bool get_level(const char *name, SimdLevel &level) {
    const CpuFeatures f = cpu_features();
    const std::string_view s(name);
    if (s == "scalar") {
        level = SimdLevel::Scalar;
    } else if (s == "avx2" && f.avx2) {
        level = SimdLevel::Avx2;
    } else if (s == "avx512" && f.avx512f && f.avx512bw) {
        level = SimdLevel::Avx512;
    } else {
        PyErr_Format(PyExc_ValueError, "level %s is unknown or not supported here", name);
        return false;
    }
    return true;
}

PyObject *to_list(const PosList &list) {
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(list.size())));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
        PyObject *v = PyLong_FromUnsignedLongLong(list[i]);
        if (!v)
            return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), v); // steals v
    }
    return out.release();
}

// scan(data, level) -> (open_braces, open_brackets, colons, semicolons, commas,
//                       close_brackets, close_braces, quotes)
PyObject *py_scan(PyObject *, PyObject *args) {
    const char *data = nullptr, *level_name = nullptr;
    Py_ssize_t n = 0;
    SimdLevel level;
    if (!PyArg_ParseTuple(args, "y#s:scan", &data, &n, &level_name))
        return nullptr;
    if (!get_level(level_name, level))
        return nullptr;
    StructuralIndex idx;
    if (!idx.prepare(static_cast<size_t>(n)))
        return PyErr_NoMemory();
    scan(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n), level, idx);
    if (idx.failed())
        return PyErr_NoMemory();
    const PosList *lists[] = {&idx.open_braces,  &idx.open_brackets, &idx.colons,
                              &idx.semicolons,   &idx.commas,        &idx.close_brackets,
                              &idx.close_braces, &idx.quotes};
    PyRef out = PyRef::steal(PyTuple_New(8));
    if (!out)
        return nullptr;
    for (int i = 0; i < 8; ++i) {
        PyObject *l = to_list(*lists[i]);
        if (!l)
            return nullptr;
        PyTuple_SetItem(out.get(), i, l); // steals l
    }
    return out.release();
}

// skip_whitespace(data, pos, form) -> new pos; form is "bytes", "avx2", "dispatch" or
// "tab_delimited" (the skipper of a tab-delimited grid's rows, where a tab is a token).
PyObject *py_skip_whitespace(PyObject *, PyObject *args) {
    const char *bytes = nullptr, *form = nullptr;
    Py_ssize_t len = 0;
    unsigned long long pos_in = 0;
    if (!PyArg_ParseTuple(args, "y#Ks:skip_whitespace", &bytes, &len, &pos_in, &form))
        return nullptr;
    const auto *data = reinterpret_cast<const uint8_t *>(bytes);
    const auto n = static_cast<size_t>(len);
    if (pos_in > n) {
        PyErr_SetString(PyExc_ValueError, "pos beyond the end");
        return nullptr;
    }
    size_t pos = static_cast<size_t>(pos_in);
    const std::string_view f(form);
    if (f == "bytes") {
        skip_whitespace_bytes(data, n, pos);
    } else if (f == "avx2") {
        if (!cpu_features().avx2) {
            PyErr_SetString(PyExc_ValueError, "AVX2 not supported here");
            return nullptr;
        }
        skip_whitespace_avx2(data, n, pos);
    } else if (f == "dispatch") {
        skip_whitespace_simd(data, n, pos);
    } else if (f == "tab_delimited") {
        syntax::skip_whitespace_and_comments(data, n, pos, true);
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown form");
        return nullptr;
    }
    return PyLong_FromSize_t(pos);
}

// Raises unless this CPU runs AVX2 and the input holds at least 32 bytes.
bool avx2_input(Py_ssize_t n) {
    if (!cpu_features().avx2) {
        PyErr_SetString(PyExc_ValueError, "AVX2 not supported here");
        return false;
    }
    if (n < 32) {
        PyErr_SetString(PyExc_ValueError, "the AVX2 kernels take 32 bytes or more");
        return false;
    }
    return true;
}

// whitespace_prefix(data) -> what the AVX2 whitespace kernel counts at the start.
PyObject *py_whitespace_prefix(PyObject *, PyObject *args) {
    const char *bytes = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#:whitespace_prefix", &bytes, &n))
        return nullptr;
    if (!avx2_input(n))
        return nullptr;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes);
    return PyLong_FromSize_t(whitespace_prefix_avx2(p, p + n));
}

// scan_content(data, form) -> flags (1: backslash, 2: non-ASCII); form "words" or "avx2".
PyObject *py_scan_content(PyObject *, PyObject *args) {
    const char *bytes = nullptr, *form = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#s:scan_content", &bytes, &n, &form))
        return nullptr;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes);
    const std::string_view f(form);
    if (f == "words")
        return PyLong_FromUnsignedLong(scan_content_words(p, static_cast<size_t>(n)));
    if (f != "avx2") {
        PyErr_SetString(PyExc_ValueError, "unknown form");
        return nullptr;
    }
    if (!avx2_input(n))
        return nullptr;
    return PyLong_FromUnsignedLong(scan_content_avx2(p, static_cast<size_t>(n)));
}

// unsafe_in_cell(data, form) -> whether a byte keeps the text out of a grid cell;
// form "bytes" or "sse2".
PyObject *py_unsafe_in_cell(PyObject *, PyObject *args) {
    const char *bytes = nullptr, *form = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#s:unsafe_in_cell", &bytes, &n, &form))
        return nullptr;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes);
    const std::string_view f(form);
    if (f == "bytes")
        return PyBool_FromLong(has_unsafe_byte_bytes(p, static_cast<size_t>(n)));
    if (f == "sse2")
        return PyBool_FromLong(has_unsafe_byte(p, static_cast<size_t>(n)));
    PyErr_SetString(PyExc_ValueError, "unknown form");
    return nullptr;
}

PyObject *features_tuple(CpuFeatures f) {
    return Py_BuildValue("(NNN)", PyBool_FromLong(f.avx2), PyBool_FromLong(f.avx512f),
                         PyBool_FromLong(f.avx512bw));
}

// derive_cpu_features(max_leaf, leaf1_ecx, leaf7_ebx, xcr0) -> (avx2, avx512f, avx512bw)
PyObject *py_derive_cpu_features(PyObject *, PyObject *args) {
    unsigned int max_leaf = 0, ecx1 = 0, ebx7 = 0;
    unsigned long long xcr0 = 0;
    if (!PyArg_ParseTuple(args, "IIIK:derive_cpu_features", &max_leaf, &ecx1, &ebx7, &xcr0))
        return nullptr;
    CpuidBits bits;
    bits.max_leaf = max_leaf;
    bits.leaf1_ecx = ecx1;
    bits.leaf7_ebx = ebx7;
    bits.xcr0 = xcr0;
    return features_tuple(derive_cpu_features(bits));
}

PyObject *py_cpu_features(PyObject *, PyObject *) {
    return features_tuple(cpu_features());
}

} // namespace

PyMethodDef SCAN_METHODS[] = {
    {"scan", py_scan, METH_VARARGS, "scan(data, level) -> the eight index lists"},
    {"skip_whitespace", py_skip_whitespace, METH_VARARGS,
     "skip_whitespace(data, pos, form) -> position after whitespace and comments"},
    {"whitespace_prefix", py_whitespace_prefix, METH_VARARGS,
     "whitespace_prefix(data) -> the whitespace run the AVX2 kernel counts (32+ bytes)"},
    {"unsafe_in_cell", py_unsafe_in_cell, METH_VARARGS,
     "unsafe_in_cell(data, form) -> a byte keeps the text out of a grid cell; bytes or sse2"},
    {"scan_content", py_scan_content, METH_VARARGS,
     "scan_content(data, form) -> 1 backslash, 2 non-ASCII, 0 neither; form words or avx2"},
    {"derive_cpu_features", py_derive_cpu_features, METH_VARARGS,
     "derive_cpu_features(max_leaf, leaf1_ecx, leaf7_ebx, xcr0) -> flags"},
    {"cpu_features", py_cpu_features, METH_NOARGS, "cpu_features() -> cached flags"},
    {nullptr, nullptr, 0, nullptr}};

} // namespace plav
