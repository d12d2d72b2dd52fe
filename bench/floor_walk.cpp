// The floor under a stable-ABI writer: what reading a Python object graph costs
// through the limited API alone, with and without writing naive text.
//
//   walk(obj)   visits every dict, list, str, int and float the way a writer must
//               (PyDict_Next, PyList_GetItem, PyUnicode_AsUTF8AndSize,
//               PyLong_AsLongLongAndOverflow, PyFloat_AsDouble) and writes nothing.
//   naive(obj)  the same walk writing JSON into one growing buffer: strings copied
//               between quotes without escaping, ints by a digit loop, every float as
//               0.0; the str is made with PyUnicode_DecodeUTF8 at the end.
//   build(tape) the floor under a stable-ABI reader: makes the graph that
//               bench_floor.tape() recorded (a binary form with no text to parse,
//               repeated keys as references, as marshal keeps them) with the
//               limited API's constructors: PyUnicode_DecodeUTF8, PyLong_FromLongLong,
//               PyFloat_FromDouble, PyDict_New and PyDict_SetItem, PyList_New and
//               PyList_SetItem.
//
// bench/bench_floor.py compiles this file on first use; it is no part of the package.

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_depth = 1000;

bool too_deep(int depth) {
    if (depth <= max_depth) {
        return false;
    }
    PyErr_SetString(PyExc_RecursionError, "nesting too deep");
    return true;
}

bool unsupported(PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "unsupported type: %R",
                 reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    return false;
}

bool walk_value(PyObject *obj, int depth) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        Py_ssize_t size;
        return PyUnicode_AsUTF8AndSize(obj, &size) != nullptr;
    }
    if (type == &PyLong_Type) {
        int overflow;
        long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        return !(value == -1 && PyErr_Occurred());
    }
    if (type == &PyFloat_Type) {
        double value = PyFloat_AsDouble(obj);
        return !(value == -1.0 && PyErr_Occurred());
    }
    if (type == &PyBool_Type || obj == Py_None) {
        return true;
    }
    if (type == &PyDict_Type) {
        if (too_deep(depth)) {
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (Py_TYPE(key) != &PyUnicode_Type) {
                return unsupported(key);
            }
            Py_ssize_t size;
            if (PyUnicode_AsUTF8AndSize(key, &size) == nullptr || !walk_value(value, depth + 1)) {
                return false;
            }
        }
        return true;
    }
    if (type == &PyList_Type) {
        if (too_deep(depth)) {
            return false;
        }
        Py_ssize_t count = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *item = PyList_GetItem(obj, i);
            if (item == nullptr || !walk_value(item, depth + 1)) {
                return false;
            }
        }
        return true;
    }
    return unsupported(obj);
}

// One growing buffer, doubled when full.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { std::free(data_); }

    const char *data() const { return data_; }
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(size_); }

    bool reserve(size_t more) {
        if (capacity_ - size_ >= more) {
            return true;
        }
        size_t wanted = capacity_ ? capacity_ : 4096;
        while (wanted - size_ < more) {
            wanted *= 2;
        }
        char *grown = static_cast<char *>(std::realloc(data_, wanted));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        capacity_ = wanted;
        return true;
    }

    bool put(char c) {
        if (!reserve(1)) {
            return false;
        }
        data_[size_++] = c;
        return true;
    }

    bool put(const char *text, size_t n) {
        if (!reserve(n)) {
            return false;
        }
        std::memcpy(data_ + size_, text, n);
        size_ += n;
        return true;
    }

    bool quoted(const char *text, size_t n) {
        if (!reserve(n + 2)) {
            return false;
        }
        data_[size_++] = '"';
        std::memcpy(data_ + size_, text, n);
        size_ += n;
        data_[size_++] = '"';
        return true;
    }

    void drop_last() { size_--; }

  private:
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

bool put_str(Buffer &out, PyObject *obj) {
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &size);
    return text != nullptr && out.quoted(text, static_cast<size_t>(size));
}

bool put_int(Buffer &out, PyObject *obj) {
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0) {
        // Beyond 64 bits: rare, so the int's own text will do.
        PyObject *text = PyObject_Str(obj);
        if (text == nullptr) {
            return false;
        }
        Py_ssize_t size;
        const char *digits = PyUnicode_AsUTF8AndSize(text, &size);
        bool ok = digits != nullptr && out.put(digits, static_cast<size_t>(size));
        Py_DECREF(text);
        return ok;
    }
    char digits[24];
    char *end = digits + sizeof digits;
    char *p = end;
    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *--p = '-';
    }
    return out.put(p, static_cast<size_t>(end - p));
}

bool naive_value(Buffer &out, PyObject *obj, int depth) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        return put_str(out, obj);
    }
    if (type == &PyLong_Type) {
        return put_int(out, obj);
    }
    if (type == &PyFloat_Type) {
        double value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) {
            return false;
        }
        return out.put("0.0", 3);
    }
    if (type == &PyBool_Type) {
        return obj == Py_True ? out.put("true", 4) : out.put("false", 5);
    }
    if (obj == Py_None) {
        return out.put("null", 4);
    }
    if (type == &PyDict_Type) {
        if (too_deep(depth) || !out.put('{')) {
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        bool empty = true;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (Py_TYPE(key) != &PyUnicode_Type) {
                return unsupported(key);
            }
            if (!put_str(out, key) || !out.put(':') || !naive_value(out, value, depth + 1) ||
                !out.put(',')) {
                return false;
            }
            empty = false;
        }
        if (!empty) {
            out.drop_last();
        }
        return out.put('}');
    }
    if (type == &PyList_Type) {
        if (too_deep(depth) || !out.put('[')) {
            return false;
        }
        Py_ssize_t count = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *item = PyList_GetItem(obj, i);
            if (item == nullptr || !naive_value(out, item, depth + 1) || !out.put(',')) {
                return false;
            }
        }
        if (count > 0) {
            out.drop_last();
        }
        return out.put(']');
    }
    return unsupported(obj);
}

PyObject *walk(PyObject *, PyObject *obj) {
    if (!walk_value(obj, 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *naive(PyObject *, PyObject *obj) {
    Buffer out;
    if (!naive_value(out, obj, 0)) {
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(out.data(), out.size(), nullptr);
}

// A reader of the tape: one tag byte, then a fixed-size field (int64, double, u32
// length or count or key index) and, for texts, the UTF-8 bytes.
struct Tape {
    const char *at;
    const char *end;
    PyObject **keys; // the tape's keys by first appearance, owned
    Py_ssize_t key_count;

    template <typename T> bool field(T &value) {
        if (end - at < static_cast<Py_ssize_t>(sizeof value)) {
            PyErr_SetString(PyExc_ValueError, "tape cut short");
            return false;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return true;
    }

    PyObject *text() {
        uint32_t size = 0;
        if (!field(size)) {
            return nullptr;
        }
        if (end - at < static_cast<Py_ssize_t>(size)) {
            PyErr_SetString(PyExc_ValueError, "tape cut short");
            return nullptr;
        }
        PyObject *s = PyUnicode_DecodeUTF8(at, size, nullptr);
        at += size;
        return s;
    }

    PyObject *key() {
        if (at == end) {
            PyErr_SetString(PyExc_ValueError, "tape cut short");
            return nullptr;
        }
        const char tag = *at++;
        if (tag == 'k') { // a key met for the first time
            PyObject *s = text();
            if (s != nullptr) {
                Py_INCREF(s);
                keys[key_count++] = s;
            }
            return s;
        }
        uint32_t index = 0;
        if (tag != 'r' || !field(index) || index >= key_count) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "bad key on the tape");
            }
            return nullptr;
        }
        Py_INCREF(keys[index]);
        return keys[index];
    }

    PyObject *value(int depth) {
        if (too_deep(depth)) {
            return nullptr;
        }
        if (at == end) {
            PyErr_SetString(PyExc_ValueError, "tape cut short");
            return nullptr;
        }
        const char tag = *at++;
        switch (tag) {
        case 'n':
            Py_RETURN_NONE;
        case 't':
            Py_RETURN_TRUE;
        case 'f':
            Py_RETURN_FALSE;
        case 'i': {
            long long v = 0;
            return field(v) ? PyLong_FromLongLong(v) : nullptr;
        }
        case 'd': {
            double v = 0;
            return field(v) ? PyFloat_FromDouble(v) : nullptr;
        }
        case 's':
            return text();
        case 'l': {
            uint32_t count = 0;
            if (!field(count)) {
                return nullptr;
            }
            PyObject *list = PyList_New(count);
            for (uint32_t i = 0; list != nullptr && i < count; i++) {
                PyObject *item = value(depth + 1);
                if (item == nullptr) {
                    Py_CLEAR(list);
                } else {
                    PyList_SetItem(list, i, item); // steals item
                }
            }
            return list;
        }
        case 'm': {
            uint32_t count = 0;
            if (!field(count)) {
                return nullptr;
            }
            PyObject *dict = PyDict_New();
            for (uint32_t i = 0; dict != nullptr && i < count; i++) {
                PyObject *k = key();
                PyObject *v = k != nullptr ? value(depth + 1) : nullptr;
                if (v == nullptr || PyDict_SetItem(dict, k, v) < 0) {
                    Py_CLEAR(dict);
                }
                Py_XDECREF(k);
                Py_XDECREF(v);
            }
            return dict;
        }
        default:
            PyErr_Format(PyExc_ValueError, "bad tag %d on the tape", tag);
            return nullptr;
        }
    }
};

PyObject *build(PyObject *, PyObject *tape) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(tape, &data, &size) < 0) {
        return nullptr;
    }
    // Every key costs at least 5 bytes of tape: size / 5 slots are enough.
    auto **keys = static_cast<PyObject **>(std::malloc(sizeof(PyObject *) * (size / 5 + 1)));
    if (keys == nullptr) {
        return PyErr_NoMemory();
    }
    Tape reader{data, data + size, keys, 0};
    PyObject *result = reader.value(0);
    for (Py_ssize_t i = 0; i < reader.key_count; i++) {
        Py_DECREF(keys[i]);
    }
    std::free(keys);
    if (result != nullptr && reader.at != reader.end) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_ValueError, "bytes after the tape's value");
        return nullptr;
    }
    return result;
}

PyMethodDef methods[] = {
    {"walk", walk, METH_O, "Reads every value of the graph through the stable ABI; None."},
    {"naive", naive, METH_O, "The same walk writing unescaped JSON; the str."},
    {"build", build, METH_O, "The graph recorded on a tape, made through the stable ABI."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "floor_walk", "The floor under a stable-ABI writer.", -1, methods,
};

} // namespace

PyMODINIT_FUNC PyInit_floor_walk() {
    return PyModule_Create(&module);
}
