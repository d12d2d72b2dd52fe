// Test-only extension: reaches every code path of the kernels (scalar, AVX2, AVX-512)
// on this machine, whatever plav_core itself would choose: the scanners, the whitespace
// skipper, the string content scan, the grid-cell byte test, the transcoders, the
// escapers, the key hash and capability derivation. Not installed by default.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "cpu.hpp"
#include "memory.hpp"
#include "parser/siphash.hpp"
#include "py_ref.hpp"
#include "simd/cell_scan.hpp"
#include "simd/escape.hpp"
#include "simd/scanner.hpp"
#include "simd/string_scan.hpp"
#include "simd/unicode_escapes.hpp"
#include "simd/utf16.hpp"
#include "simd/whitespace.hpp"
#include "types/output_buffer.hpp"

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

// The (data, level) arguments of a kernel function; false with the error set.
struct KernelArgs {
    const uint8_t *data = nullptr;
    size_t n = 0;
    SimdLevel level = SimdLevel::Scalar;
};
bool kernel_args(PyObject *args, const char *format, KernelArgs &a) {
    const char *data = nullptr, *level_name = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, format, &data, &n, &level_name) || !get_level(level_name, a.level))
        return false;
    a.data = reinterpret_cast<const uint8_t *>(data);
    a.n = static_cast<size_t>(n);
    return true;
}

PyObject *to_list(const PosList &list) {
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(list.size())));
    for (size_t i = 0; out && i < list.size(); ++i) {
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
    KernelArgs a;
    if (!kernel_args(args, "y#s:scan", a))
        return nullptr;
    StructuralIndex idx;
    if (!idx.prepare(a.n))
        return PyErr_NoMemory();
    scan(a.data, a.n, a.level, idx);
    if (idx.failed())
        return PyErr_NoMemory();
    const PosList *lists[] = {&idx.open_braces,  &idx.open_brackets, &idx.colons,
                              &idx.semicolons,   &idx.commas,        &idx.close_brackets,
                              &idx.close_braces, &idx.quotes};
    PyRef out = PyRef::steal(PyTuple_New(8));
    for (int i = 0; out && i < 8; ++i) {
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
    size_t pos = static_cast<size_t>(pos_in);
    const std::string_view f(form);
    if (pos_in > n || (f == "avx2" && !cpu_features().avx2)) {
        PyErr_SetString(PyExc_ValueError, "pos beyond the end, or AVX2 not supported here");
        return nullptr;
    }
    if (f == "bytes") {
        skip_whitespace_bytes(data, n, pos);
    } else if (f == "avx2") {
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
    if (!cpu_features().avx2 || n < 32) {
        PyErr_SetString(PyExc_ValueError, "the AVX2 kernels need AVX2 and 32 bytes or more");
        return false;
    }
    return true;
}

// whitespace_prefix(data) -> what the AVX2 whitespace kernel counts at the start.
PyObject *py_whitespace_prefix(PyObject *, PyObject *args) {
    const char *bytes = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#:whitespace_prefix", &bytes, &n) || !avx2_input(n))
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
    if (std::string_view(form) == "words")
        return PyLong_FromUnsignedLong(scan_content_words(p, static_cast<size_t>(n)));
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
    const auto len = static_cast<size_t>(n);
    return PyBool_FromLong(std::string_view(form) == "sse2" ? has_unsafe_byte(p, len)
                                                            : has_unsafe_byte_bytes(p, len));
}

// escape(data, level) -> (escaped bytes, non_ascii flag); level: scalar, avx2, avx512.
PyObject *py_escape(PyObject *, PyObject *args) {
    KernelArgs a;
    if (!kernel_args(args, "y#s:escape", a))
        return nullptr;
    const EscapeFn fn = escaper_for(a.level);
    OutputBuffer buf;
    // A prefix, so that kernels writing whole blocks start off a block boundary.
    buf.put(std::string_view("<"));
    const bool non_ascii = fn(a.data, a.n, buf);
    if (non_ascii != buf.non_ascii) {
        PyErr_SetString(PyExc_AssertionError, "returned and recorded non-ASCII flags differ");
        return nullptr;
    }
    return Py_BuildValue("(y#N)", reinterpret_cast<const char *>(buf.data()) + 1,
                         static_cast<Py_ssize_t>(buf.size() - 1), PyBool_FromLong(non_ascii));
}

// short_clean(data) -> (copied bytes, non_ascii) or None when the inline path
// declines (longer than 32 bytes, an escape needed, or a load near a page end).
PyObject *py_short_clean(PyObject *, PyObject *args) {
    const char *data = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#:short_clean", &data, &n))
        return nullptr;
    uint8_t out[SHORT_CLEAN_ROOM];
    const int r =
        write_short_clean(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(n), out);
    if (r < 0)
        Py_RETURN_NONE;
    return Py_BuildValue("(y#N)", reinterpret_cast<const char *>(out), n, PyBool_FromLong(r));
}

// transcode(data, form) -> the UTF-8 text as UTF-16 units ("utf16", little-endian
// bytes) or as Latin-1 bytes ("latin1"), or None where the kernel declines it; form
// "plain": (bytes read, UTF-16 units) of the plain text before the first backslash,
// quote or control byte.
PyObject *py_transcode(PyObject *, PyObject *args) {
    const char *data = nullptr, *form = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y#s:transcode", &data, &n, &form))
        return nullptr;
    const auto *s = reinterpret_cast<const uint8_t *>(data);
    const auto len = static_cast<size_t>(n);
    const size_t width = std::string_view(form) == "utf16" ? 2 : 1;
    PyRef out =
        PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width * len)));
    if (!out)
        return nullptr;
    char *room = PyBytes_AsString(out.get());
    if (std::string_view(form) == "plain") {
        Vec<uint16_t> units; // the kernel stores whole blocks of 16 units
        size_t count = 0;
        if (!units.resize(len + 16))
            return PyErr_NoMemory();
        const size_t read = plain_text_to_utf16(s, len, units.data(), count);
        if (read == SIZE_MAX)
            Py_RETURN_NONE;
        return Py_BuildValue("(ny#)", static_cast<Py_ssize_t>(read),
                             reinterpret_cast<const char *>(units.data()),
                             static_cast<Py_ssize_t>(2 * count));
    }
    const size_t count = width == 2 ? utf8_to_utf16_bmp(s, len, reinterpret_cast<uint16_t *>(room))
                                    : utf8_to_latin1(s, len, reinterpret_cast<uint8_t *>(room));
    if (count == SIZE_MAX)
        Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(room, static_cast<Py_ssize_t>(width * count));
}

// unicode_escapes(data, level) -> (units, surrogates): the run of \uXXXX escapes at
// the start of data decoded by the level's kernel; level: scalar, avx2, avx512.
PyObject *py_unicode_escapes(PyObject *, PyObject *args) {
    KernelArgs a;
    if (!kernel_args(args, "y#s:unicode_escapes", a))
        return nullptr;
    Vec<uint16_t> out;
    if (!out.resize(a.n / 6 + 8))
        return PyErr_NoMemory();
    const EscapeRun r = unicode_escape_decoder_for(a.level)(a.data, a.n, out.data());
    PyRef units = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(r.count)));
    for (size_t i = 0; units && i < r.count; ++i) {
        PyObject *u = PyLong_FromLong(out[i]);
        if (!u)
            return nullptr;
        PyList_SetItem(units.get(), static_cast<Py_ssize_t>(i), u); // steals u
    }
    if (!units)
        return nullptr;
    return Py_BuildValue("(NN)", units.release(), PyBool_FromLong(r.surrogates));
}

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

PyObject *features_tuple(CpuFeatures f) {
    return Py_BuildValue("(NNN)", PyBool_FromLong(f.avx2), PyBool_FromLong(f.avx512f),
                         PyBool_FromLong(f.avx512bw));
}

// derive_cpu_features(max_leaf, leaf1_ecx, leaf7_ebx, xcr0) -> (avx2, avx512f, avx512bw)
PyObject *py_derive_cpu_features(PyObject *, PyObject *args) {
    CpuidBits bits;
    unsigned long long xcr0 = 0;
    if (!PyArg_ParseTuple(args, "IIIK:derive_cpu_features", &bits.max_leaf, &bits.leaf1_ecx,
                          &bits.leaf7_ebx, &xcr0))
        return nullptr;
    bits.xcr0 = xcr0;
    return features_tuple(derive_cpu_features(bits));
}

PyObject *py_cpu_features(PyObject *, PyObject *) {
    return features_tuple(cpu_features());
}

PyMethodDef METHODS[] = {{"scan", py_scan, METH_VARARGS, nullptr},
                         {"skip_whitespace", py_skip_whitespace, METH_VARARGS, nullptr},
                         {"whitespace_prefix", py_whitespace_prefix, METH_VARARGS, nullptr},
                         {"scan_content", py_scan_content, METH_VARARGS, nullptr},
                         {"unsafe_in_cell", py_unsafe_in_cell, METH_VARARGS, nullptr},
                         {"escape", py_escape, METH_VARARGS, nullptr},
                         {"short_clean", py_short_clean, METH_VARARGS, nullptr},
                         {"transcode", py_transcode, METH_VARARGS, nullptr},
                         {"unicode_escapes", py_unicode_escapes, METH_VARARGS, nullptr},
                         {"siphash13", py_hash<siphash13>, METH_VARARGS, nullptr},
                         {"key_hash", py_hash<key_hash>, METH_VARARGS, nullptr},
                         {"derive_cpu_features", py_derive_cpu_features, METH_VARARGS, nullptr},
                         {"cpu_features", py_cpu_features, METH_NOARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT,
                          "_plav_testing",
                          "Test-only access to the kernels.",
                          0,
                          METHODS,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace
} // namespace plav

PyMODINIT_FUNC PyInit__plav_testing(void) {
    return PyModule_Create(&plav::MODULE_DEF);
}
