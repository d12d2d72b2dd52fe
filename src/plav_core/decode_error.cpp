// DecodeError: the exception loads raises for bad text. A subclass of
// json.JSONDecodeError, so code written for the standard library catches it, whose
// str() is the reader's message as it stands (json's own adds the line and column
// to it). Line and column are counted only when an error is made.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "boundary.hpp"
#include "parser/error.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

PyObject *DECODE_ERROR = nullptr; // strong reference, kept for the life of the process

constexpr const char *DECODE_ERROR_DOC =
    "DecodeError(msg, doc, pos)\n"
    "--\n"
    "\n"
    "Raised by loads for text it cannot read; a json.JSONDecodeError (and ValueError).\n"
    "\n"
    "str() is the message alone. pos indexes doc, the input as given (characters of a\n"
    "str, bytes of bytes-like input); lineno and colno count from 1, colno in\n"
    "characters (for bytes-like input, those of the line decoded with replacement).";

// json's counting: lineno is the number of '\n' before pos, plus one; colno the
// distance from the last of them (in characters). False with an error set.
bool line_and_column(PyObject *doc, Py_ssize_t pos, Py_ssize_t &lineno, Py_ssize_t &colno) {
    if (PyUnicode_Check(doc)) {
        const Py_ssize_t n = PyUnicode_GetLength(doc);
        if (n < 0)
            return false;
        const Py_ssize_t end = pos < 0 ? 0 : pos > n ? n : pos;
        PyRef newline = PyRef::steal(PyUnicode_FromOrdinal('\n'));
        if (!newline)
            return false;
        const Py_ssize_t count = PyUnicode_Count(doc, newline.get(), 0, end);
        if (count < 0)
            return false;
        const Py_ssize_t last = PyUnicode_FindChar(doc, '\n', 0, end, -1);
        if (last == -2)
            return false;
        lineno = count + 1;
        colno = pos - last;
        return true;
    }
    BufferView view;
    if (!view.get(doc, PyBUF_SIMPLE)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "doc must be str or a bytes-like object");
        return false;
    }
    const size_t n = view.size();
    const size_t end = pos < 0 ? 0 : static_cast<size_t>(pos) > n ? n : static_cast<size_t>(pos);
    const uint8_t *text = view.data();
    Py_ssize_t count = 0;
    size_t line_start = 0;
    for (const uint8_t *p = text, *stop = text + end;
         (p = static_cast<const uint8_t *>(std::memchr(p, '\n', static_cast<size_t>(stop - p))));
         ++p) {
        ++count;
        line_start = static_cast<size_t>(p - text) + 1;
    }
    PyRef line =
        PyRef::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(text) + line_start,
                                          static_cast<Py_ssize_t>(end - line_start), "replace"));
    if (!line)
        return false;
    const Py_ssize_t chars = PyUnicode_GetLength(line.get());
    if (chars < 0)
        return false;
    lineno = count + 1;
    colno = chars + 1;
    return true;
}

bool set_int(PyObject *self, const char *name, Py_ssize_t v) {
    PyRef obj = PyRef::steal(PyLong_FromSsize_t(v));
    return obj && PyObject_SetAttrString(self, name, obj.get()) == 0;
}

// __init__(self, msg, doc, pos): args is (msg,), so that str() is the message.
PyObject *decode_error_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    static const char *const keywords[] = {"msg", "doc", "pos", nullptr};
    PyObject *msg = nullptr, *doc = nullptr; // borrowed from args
    Py_ssize_t pos = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOn:DecodeError", const_cast<char **>(keywords),
                                     &msg, &doc, &pos))
        return nullptr;
    Py_ssize_t lineno = 0, colno = 0;
    if (!line_and_column(doc, pos, lineno, colno))
        return nullptr;
    PyRef only_msg = PyRef::steal(PyTuple_Pack(1, msg));
    if (!only_msg || PyObject_SetAttrString(self, "args", only_msg.get()) < 0 ||
        PyObject_SetAttrString(self, "msg", msg) < 0 ||
        PyObject_SetAttrString(self, "doc", doc) < 0 || !set_int(self, "pos", pos) ||
        !set_int(self, "lineno", lineno) || !set_int(self, "colno", colno))
        return nullptr;
    Py_RETURN_NONE;
}

// __reduce__: rebuilt from (msg, doc, pos) as json's is; a memoryview doc, which
// cannot be pickled, travels as bytes.
PyObject *decode_error_reduce(PyObject *self, PyObject *) noexcept {
    PyRef msg = PyRef::steal(PyObject_GetAttrString(self, "msg"));
    PyRef doc = PyRef::steal(msg ? PyObject_GetAttrString(self, "doc") : nullptr);
    PyRef pos = PyRef::steal(doc ? PyObject_GetAttrString(self, "pos") : nullptr);
    if (!pos)
        return nullptr;
    if (PyMemoryView_Check(doc.get())) {
        doc = PyRef::steal(PyBytes_FromObject(doc.get()));
        if (!doc)
            return nullptr;
    }
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    return Py_BuildValue("O(OOO)", type.get(), msg.get(), doc.get(), pos.get());
}

PyMethodDef INIT_DEF = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_error_init)),
    METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef REDUCE_DEF = {"__reduce__", decode_error_reduce, METH_NOARGS, nullptr};

bool add_method(PyObject *type, PyMethodDef *def) {
    PyRef descr = PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(type), def));
    return descr && PyObject_SetAttrString(type, def->ml_name, descr.get()) == 0;
}

// The index of the character holding byte `pos` of UTF-8 text (`len` at its end).
size_t char_index(const uint8_t *text, size_t len, size_t pos) noexcept {
    while (pos > 0 && pos < len && (text[pos] & 0xC0) == 0x80)
        --pos;
    size_t chars = 0;
    for (size_t i = 0; i < pos; ++i)
        chars += (text[i] & 0xC0) != 0x80;
    return chars;
}

} // namespace

PyObject *create_decode_error_type() noexcept {
    if (DECODE_ERROR)
        return DECODE_ERROR;
    PyRef json = PyRef::steal(PyImport_ImportModule("json"));
    PyRef base =
        PyRef::steal(json ? PyObject_GetAttrString(json.get(), "JSONDecodeError") : nullptr);
    if (!base)
        return nullptr;
    PyRef type = PyRef::steal(
        PyErr_NewExceptionWithDoc("plav_core.DecodeError", DECODE_ERROR_DOC, base.get(), nullptr));
    if (!type || !add_method(type.get(), &INIT_DEF) || !add_method(type.get(), &REDUCE_DEF))
        return nullptr;
    DECODE_ERROR = type.release();
    return DECODE_ERROR;
}

PyObject *raise_decode_error(const ParseError &e, PyObject *doc, const uint8_t *text, size_t len,
                             bool text_is_str) noexcept {
    PyErr_Clear();
    const std::string message = parse_error_text(e);
    const size_t at = e.position < len ? static_cast<size_t>(e.position) : len;
    const size_t pos = text_is_str ? char_index(text, len, at) : at;
    PyRef msg = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef pos_obj = PyRef::steal(msg ? PyLong_FromSize_t(pos) : nullptr);
    if (!pos_obj)
        return nullptr;
    PyRef exc = PyRef::steal(
        PyObject_CallFunctionObjArgs(DECODE_ERROR, msg.get(), doc, pos_obj.get(), nullptr));
    if (exc)
        PyErr_SetRaisedException(exc.release()); // steals
    return nullptr;
}

} // namespace plav
