// loads: bind arguments, borrow the input bytes, scan (without the GIL when large), parse.
#include <Python.h>

#include <algorithm>

#include "arguments.hpp"
#include "boundary.hpp"
#include "cpu.hpp"
#include "memory.hpp"
#include "parser/field_descriptor.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"
#include "py_ref.hpp"
#include "simd/scanner.hpp"
#include "simd/whitespace.hpp"

namespace plav {
namespace {

// Pauses the cyclic GC while objects are built: every new dict and list would
// otherwise count towards a collection that can find nothing to free. Restores
// the previous state on every exit path.
class GcPause {
  public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

  private:
    bool was_enabled_;
};

// The thread's index and element stack, lent to one call at a time: they keep
// their memory between calls, so that small documents are read without
// allocating. What a large document grew beyond KEEP_ENTRIES is given back when
// its call ends.
struct ThreadScratch {
    StructuralIndex index;
    Vec<PyRef> items; // empty between calls
    bool in_use = false;

    ThreadScratch() = default;
    ThreadScratch(const ThreadScratch &) = delete;
    ThreadScratch &operator=(const ThreadScratch &) = delete;
    // Elements are left only by a thread that ended inside a call, without the
    // GIL (CPython ends daemon threads so at shutdown): they stay with the process.
    ~ThreadScratch() {
        for (PyRef &item : items)
            (void)item.release();
    }
};
thread_local ThreadScratch LOAD_SCRATCH;
constexpr size_t KEEP_ENTRIES = size_t{1} << 12; // at most 288 KiB kept per thread

// Inputs from this size on are scanned without the GIL, so that threads can scan
// in parallel. Below it the scan takes a few microseconds at most: releasing the
// GIL would cost more than it gains, and another thread that takes it may keep it
// for a whole switch interval (5 ms) before this call can go on.
constexpr size_t RELEASE_GIL_FROM = size_t{64} << 10;

// Borrows the thread's scratch for one call, or owns fresh parts should the
// thread's be lent already.
class ScratchLease {
  public:
    ScratchLease() noexcept : thread_(LOAD_SCRATCH), borrowed_(!thread_.in_use) {
        thread_.in_use = true;
    }
    ~ScratchLease() {
        if (!borrowed_)
            return;
        thread_.index.trim(KEEP_ENTRIES);
        if (thread_.items.capacity() > KEEP_ENTRIES)
            thread_.items.release();
        thread_.in_use = false;
    }
    ScratchLease(const ScratchLease &) = delete;
    ScratchLease &operator=(const ScratchLease &) = delete;
    StructuralIndex &index() noexcept { return borrowed_ ? thread_.index : own_index_; }
    Vec<PyRef> &items() noexcept { return borrowed_ ? thread_.items : own_items_; }

  private:
    ThreadScratch &thread_;
    bool borrowed_;
    StructuralIndex own_index_;
    Vec<PyRef> own_items_;
};

// Turns the schema iterable into descriptors. False with a Python error set.
bool build_schema(PyObject *schema, Schema &out) {
    PyRef it = PyRef::steal(PyObject_GetIter(schema));
    if (!it)
        return false;
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(it.get()));
        if (!item)
            return !PyErr_Occurred();
        if (!(PyType_GetFlags(Py_TYPE(item.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
            PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(item.get())));
            if (type_name)
                PyErr_Format(PyExc_TypeError, "schema items must be str, not %U", type_name.get());
            return false;
        }
        Py_ssize_t n = 0;
        const char *text = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!text)
            return false;
        const KeyString k =
            get_key_string(reinterpret_cast<const uint8_t *>(text), static_cast<size_t>(n));
        if (!k.str) {
            if (k.invalid_utf8)
                PyErr_SetString(PyExc_ValueError, "Invalid UTF-8 in schema");
            return false;
        }
        FieldDescriptor d;
        d.key = PyRef::steal(k.str);
        if (!out.push_back(std::move(d))) {
            PyErr_NoMemory();
            return false;
        }
    }
}

// bytearray and memoryview input as a bytes copy taken under the GIL: another
// thread may change the buffer while the scan runs without it. A memoryview must
// be C-contiguous with one-byte items. New reference, or NULL with an error set.
PyObject *copy_bytes_like(PyObject *data) {
    BufferView view;
    if (!view.get(data, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        if (!PyErr_ExceptionMatches(PyExc_BufferError))
            return nullptr; // a released memoryview's ValueError, for one
        PyErr_Clear();
    } else if (view.is_bytes()) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(view.data()),
                                         static_cast<Py_ssize_t>(view.size()));
    }
    PyErr_SetString(PyExc_TypeError, "memoryview data must be C-contiguous bytes");
    return nullptr;
}

const char *const KEYWORDS[] = {"data", "schema", "partial", "strict", nullptr};
Parameters LOADS_PARAMETERS{KEYWORDS, 2};
const char *const TWO_KEYWORDS[] = {"data", "schema", nullptr};

// The truth value of an optional flag argument: 0, 1, or -1 with an error set.
int flag_of(PyObject *o) noexcept {
    return o ? PyObject_IsTrue(o) : 0;
}

} // namespace

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    PyObject *given[4] = {}; // borrowed
    PyRef classic[2];        // keeps the arguments alive when CPython's parser binds them
    if (!LOADS_PARAMETERS.bind(args, nargs, kwnames, given) || !given[0]) {
        // Surplus positional arguments keep the wording of the two-parameter form.
        const bool surplus = nargs > 2;
        if (!classic_arguments(args, nargs, kwnames, classic[0], classic[1]) ||
            !PyArg_ParseTupleAndKeywords(classic[0].get(), classic[1].get(),
                                         surplus ? "O|O:loads" : "O|O$OO:loads",
                                         const_cast<char **>(surplus ? TWO_KEYWORDS : KEYWORDS),
                                         &given[0], &given[1], &given[2], &given[3]))
            return nullptr;
    }
    PyObject *const data = given[0];
    PyObject *const schema = given[1] ? given[1] : Py_None;
    const int partial = flag_of(given[2]);
    const int strict = flag_of(given[3]);
    if (partial < 0 || strict < 0)
        return nullptr;

    const char *buf = nullptr;
    Py_ssize_t n = 0;
    PyRef copy; // of bytearray and memoryview input
    const unsigned long flags = PyType_GetFlags(Py_TYPE(data));
    const bool is_str = flags & Py_TPFLAGS_UNICODE_SUBCLASS;
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
        buf = PyBytes_AsString(data);
        n = PyBytes_Size(data);
    } else if (is_str) {
        buf = PyUnicode_AsUTF8AndSize(data, &n); // CPython's cached UTF-8 form
        if (!buf)
            PyErr_Clear();
    } else if (PyByteArray_Check(data) || PyMemoryView_Check(data)) {
        copy = PyRef::steal(copy_bytes_like(data));
        if (!copy)
            return nullptr;
        buf = PyBytes_AsString(copy.get());
        n = PyBytes_Size(copy.get());
    }
    if (!buf)
        return raise_error(PendingError::type_error("data must be bytes or str"));

    Schema schema_list;
    const bool has_schema = schema != Py_None;
    if (has_schema && !build_schema(schema, schema_list))
        return nullptr;

    const auto *bytes = reinterpret_cast<const uint8_t *>(buf);
    const size_t len = static_cast<size_t>(n);
    const SimdLevel level = simd_level(cpu_features());
    PyObject *result = nullptr;
    Error error;
    {
        ScratchLease lease;
        StructuralIndex &index = lease.index();
#ifdef PLAV_BUILD_TESTING
        if (testing_schedule_set()) { // every allocation is made anew under a failure schedule
            index.trim(0);
            lease.items().release();
        }
#endif
        // The index is reserved up front and may grow during the scan; either
        // failing leaves a failed list, and the call raises MemoryError.
        bool indexed = index.prepare(len);
        if (indexed) {
            if (len >= RELEASE_GIL_FROM) {
                Py_BEGIN_ALLOW_THREADS // the scan reads only the input, kept alive by the caller
                    scan(bytes, len, level, index);
                Py_END_ALLOW_THREADS
            } else {
                scan(bytes, len, level, index);
            }
            indexed = !index.failed();
        }
        if (indexed) {
            GcPause gc;
            FastIndexParser parser(bytes, len, index, lease.items());
            parser.set_modes(partial != 0, strict != 0);
            result = parser.parse_document(has_schema ? &schema_list : nullptr);
            if (!result)
                error = parser.take_error();
        } else {
            error = PendingError::out_of_memory();
        }
    }
    if (result)
        return result;
    if (const ParseError *e = std::get_if<ParseError>(&error))
        return raise_decode_error(*e, data, bytes, len, is_str);
    return raise_error(std::move(error));
}

} // namespace plav

namespace plav {
namespace {

// The first window of a value read by position; each window that the value
// outgrows is followed by one four times as large, so that the index is built
// over about as much text as the value holds, never over the rest of the input.
constexpr size_t FIRST_WINDOW = 512;

// Whether the array, object or grid opening at in[0] closes within the `n` bytes the
// index covers: a walk over its brackets, braces and quotes that skips quoted text.
// Only a hint (comments and bare grid cells may hold quotes): the reader itself
// tells whether the value was cut by the window.
bool closes_within(const uint8_t *in, const StructuralIndex &idx) noexcept {
    const PosList *lists[5] = {&idx.open_brackets, &idx.open_braces, &idx.close_brackets,
                               &idx.close_braces, &idx.quotes};
    size_t at[5] = {};
    int64_t depth = 0;
    bool in_string = false;
    for (;;) {
        int which = -1;
        uint64_t next = UINT64_MAX;
        for (int k = 0; k < 5; ++k)
            if (at[k] < lists[k]->size() && (*lists[k])[at[k]] < next) {
                next = (*lists[k])[at[k]];
                which = k;
            }
        if (which < 0)
            return false;
        ++at[which];
        if (which == 4) {
            if (in_string) {
                size_t slashes = 0;
                while (slashes < next && in[next - 1 - slashes] == '\\')
                    ++slashes;
                in_string = slashes % 2 == 1;
            } else {
                in_string = true;
            }
        } else if (!in_string) {
            depth += which < 2 ? 1 : -1;
            if (depth <= 0)
                return true;
        }
    }
}

// One value from text[from, stop), after whitespace and comments; `end` is set
// just past it. With `whole`, only whitespace and comments may follow it up to
// `stop`. New reference, or nullptr with `error` set.
PyObject *read_value_at(const uint8_t *text, size_t stop, size_t from, const Schema *schema,
                        bool partial, bool strict, bool whole, size_t &end, Error &error) {
    size_t p = from;
    skip_whitespace_bytes(text, stop, p);
    if (partial && p + 1 == stop && text[p] == '/')
        p = stop;
    if (p >= stop) {
        error = unexpected_eof(stop);
        return nullptr;
    }
    const SimdLevel level = simd_level(cpu_features());
    ScratchLease lease;
    size_t window = whole ? stop - p : std::min(stop - p, FIRST_WINDOW);
    for (;;) {
        const bool cut = p + window < stop;
        StructuralIndex &index = lease.index();
        if (!index.prepare(window)) {
            error = PendingError::out_of_memory();
            return nullptr;
        }
        if (window >= RELEASE_GIL_FROM) {
            Py_BEGIN_ALLOW_THREADS // the scan reads only the input, kept alive by the caller
                scan(text + p, window, level, index);
            Py_END_ALLOW_THREADS
        } else {
            scan(text + p, window, level, index);
        }
        if (index.failed()) {
            error = PendingError::out_of_memory();
            return nullptr;
        }
        if (cut && (text[p] == '[' || text[p] == '{') && !closes_within(text + p, index)) {
            window = std::min(stop - p, window * 4); // scan further before building anything
            continue;
        }
        GcPause gc;
        FastIndexParser parser(text + p, window, index, lease.items());
        parser.set_modes(partial, strict, p, cut);
        PyRef value = PyRef::steal(parser.parse_first_value(schema, whole));
        if (cut && parser.reached_end() && !parser.failed()) {
            window = std::min(stop - p, window * 4); // the value goes on past the window
            continue;
        }
        if (!value) {
            if (parser.failed())
                error = parser.take_error();
            else
                error = unexpected_eof(stop); // nothing complete yet
            return nullptr;
        }
        end = p + parser.position();
        return value.release();
    }
}

// The number of UTF-8 sequences (characters) that start in s[0, n).
size_t count_chars(const uint8_t *s, size_t n) noexcept {
    size_t chars = 0;
    for (size_t i = 0; i < n; ++i)
        chars += (s[i] & 0xC0) != 0x80;
    return chars;
}

// The byte offset of character `index` in UTF-8 text of n bytes.
size_t byte_offset_of(const uint8_t *s, size_t n, size_t index) noexcept {
    size_t i = 0;
    for (size_t chars = 0; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            if (chars == index)
                return i;
            ++chars;
        }
    }
    return n;
}

// Where raw_decode last stopped in a non-ASCII str: a character index and its byte
// offset in the str's UTF-8 form. A loop reading a sequence of values then finds
// each start by counting from the end of the value before, not from the beginning.
// One per process, used with the GIL held. It holds a reference to the str, so the
// pair can never be taken for another str at the same address; the reference is
// left to the process at exit.
struct CharMark {
    PyObject *str = nullptr;
    size_t chars = 0;
    size_t bytes = 0;
};
CharMark LAST_MARK;

// The byte offset of character `index` of `str`, whose UTF-8 form is s[0, n).
size_t byte_offset_in(PyObject *str, const uint8_t *s, size_t n, size_t index) noexcept {
    const CharMark mark = LAST_MARK.str == str && LAST_MARK.chars <= index ? LAST_MARK : CharMark{};
    return mark.bytes + byte_offset_of(s + mark.bytes, n - mark.bytes, index - mark.chars);
}

void set_mark(PyObject *str, size_t chars, size_t bytes) noexcept {
    PyObject *old = LAST_MARK.str;
    Py_INCREF(str);
    LAST_MARK = {str, chars, bytes};
    Py_XDECREF(old); // may run a str subclass's finalizer: the mark is already whole
}

const char *const RAW_KEYWORDS[] = {"data", "start", "schema", nullptr};
Parameters RAW_PARAMETERS{RAW_KEYWORDS, 3};

// The schema argument as descriptors: nullptr for None, else `storage`.
bool schema_of(PyObject *schema, Schema &storage, const Schema *&out) {
    out = nullptr;
    if (!schema || schema == Py_None)
        return true;
    if (!build_schema(schema, storage))
        return false;
    out = &storage;
    return true;
}

} // namespace

PyObject *raw_decode_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    PyObject *given[3] = {}; // borrowed
    PyRef classic[2];
    if (!RAW_PARAMETERS.bind(args, nargs, kwnames, given) || !given[0]) {
        if (!classic_arguments(args, nargs, kwnames, classic[0], classic[1]) ||
            !PyArg_ParseTupleAndKeywords(classic[0].get(), classic[1].get(), "O|OO:raw_decode",
                                         const_cast<char **>(RAW_KEYWORDS), &given[0], &given[1],
                                         &given[2]))
            return nullptr;
    }
    PyObject *const data = given[0];
    Py_ssize_t start = 0;
    if (given[1]) {
        if (!PyLong_Check(given[1])) {
            PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(given[1])));
            if (type_name)
                PyErr_Format(PyExc_TypeError, "start must be int, not %U", type_name.get());
            return nullptr;
        }
        start = PyLong_AsSsize_t(given[1]);
        if (start == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                return nullptr;
            PyErr_Clear();
            PyRef zero = PyRef::steal(PyLong_FromLong(0));
            const int negative = zero ? PyObject_RichCompareBool(given[1], zero.get(), Py_LT) : -1;
            if (negative < 0)
                return nullptr;
            start = negative ? -1 : PY_SSIZE_T_MAX;
        }
        if (start < 0) {
            PyErr_SetString(PyExc_ValueError, "idx cannot be negative");
            return nullptr;
        }
    }

    const char *buf = nullptr;
    Py_ssize_t n = 0;
    bool is_str = false;
    const unsigned long flags = PyType_GetFlags(Py_TYPE(data));
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
        buf = PyBytes_AsString(data);
        n = PyBytes_Size(data);
    } else if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        buf = PyUnicode_AsUTF8AndSize(data, &n);
        if (!buf)
            PyErr_Clear();
        is_str = true;
    }
    if (!buf)
        return raise_error(PendingError::type_error("data must be bytes or str"));
    Schema storage;
    const Schema *schema = nullptr;
    if (!schema_of(given[2], storage, schema))
        return nullptr;

    const auto *text = reinterpret_cast<const uint8_t *>(buf);
    const size_t len = static_cast<size_t>(n);
    // A str's characters map to its UTF-8 bytes one to one when it is ASCII.
    const bool ascii = !is_str || static_cast<size_t>(PyUnicode_GetLength(data)) == len;
    size_t from = static_cast<size_t>(start);
    if (!ascii)
        from = byte_offset_in(data, text, len, from);
    size_t end = 0;
    Error error = unexpected_eof(len);
    PyRef value;
    if (from <= len)
        value =
            PyRef::steal(read_value_at(text, len, from, schema, false, false, false, end, error));
    if (!value) {
        if (const ParseError *e = std::get_if<ParseError>(&error))
            return raise_decode_error(*e, data, text, len, is_str);
        return raise_error(std::move(error));
    }
    const size_t end_index =
        ascii ? end : static_cast<size_t>(start) + count_chars(text + from, end - from);
    PyRef end_obj = PyRef::steal(PyLong_FromSize_t(end_index));
    if (!end_obj)
        return nullptr;
    PyObject *result = PyTuple_Pack(2, value.get(), end_obj.get());
    if (result && !ascii)
        set_mark(data, end_index, end);
    return result;
}

// _read_at(data, start, stop, schema, partial, strict, whole): the reader behind
// plav.extract. `data` is bytes; positions are byte offsets into it.
PyObject *read_at_entry(PyObject *, PyObject *args) noexcept {
    PyObject *data = nullptr, *schema_arg = nullptr;
    Py_ssize_t start = 0, stop = 0;
    int partial = 0, strict = 0, whole = 0;
    if (!PyArg_ParseTuple(args, "SnnOppp:_read_at", &data, &start, &stop, &schema_arg, &partial,
                          &strict, &whole))
        return nullptr;
    const Py_ssize_t n = PyBytes_Size(data);
    if (start < 0 || stop < start || stop > n) {
        PyErr_SetString(PyExc_ValueError, "span out of range");
        return nullptr;
    }
    Schema storage;
    const Schema *schema = nullptr;
    if (!schema_of(schema_arg, storage, schema))
        return nullptr;
    size_t end = 0;
    Error error;
    PyRef value = PyRef::steal(read_value_at(
        reinterpret_cast<const uint8_t *>(PyBytes_AsString(data)), static_cast<size_t>(stop),
        static_cast<size_t>(start), schema, partial, strict, whole, end, error));
    if (!value) {
        if (const ParseError *e = std::get_if<ParseError>(&error))
            return raise_decode_error(*e, data,
                                      reinterpret_cast<const uint8_t *>(PyBytes_AsString(data)),
                                      static_cast<size_t>(n), false);
        return raise_error(std::move(error));
    }
    return Py_BuildValue("(Nn)", value.release(), static_cast<Py_ssize_t>(end));
}

} // namespace plav
