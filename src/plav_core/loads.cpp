// loads: bind arguments, borrow the input bytes, scan (without the GIL when large), parse.
#include <Python.h>

#include <vector>

#include "arguments.hpp"
#include "boundary.hpp"
#include "cpu.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"
#include "py_ref.hpp"
#include "simd/scanner.hpp"
#include "types/field_descriptor.hpp"

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
    std::vector<PyRef> items;  // empty between calls
    bool in_use = false;

    ThreadScratch() = default;
    ThreadScratch(const ThreadScratch &) = delete;
    ThreadScratch &operator=(const ThreadScratch &) = delete;
    // Elements are left only by a thread that ended inside a call, without the
    // GIL (CPython ends daemon threads so at shutdown): they stay with the process.
    ~ThreadScratch() {
        for (PyRef &item : items) (void)item.release();
    }
};
thread_local ThreadScratch LOAD_SCRATCH;
constexpr size_t KEEP_ENTRIES = size_t{1} << 12;  // at most 288 KiB kept per thread

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
        if (!borrowed_) return;
        thread_.index.trim(KEEP_ENTRIES);
        if (thread_.items.capacity() > KEEP_ENTRIES) std::vector<PyRef>().swap(thread_.items);
        thread_.in_use = false;
    }
    ScratchLease(const ScratchLease &) = delete;
    ScratchLease &operator=(const ScratchLease &) = delete;
    StructuralIndex &index() noexcept { return borrowed_ ? thread_.index : own_index_; }
    std::vector<PyRef> &items() noexcept { return borrowed_ ? thread_.items : own_items_; }

  private:
    ThreadScratch &thread_;
    bool borrowed_;
    StructuralIndex own_index_;
    std::vector<PyRef> own_items_;
};

// Turns the schema iterable into descriptors. False with a Python error set.
bool build_schema(PyObject *schema, Schema &out) {
    PyRef it = PyRef::steal(PyObject_GetIter(schema));
    if (!it)
        return false;
    for (uint64_t index = 0;; ++index) {
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
        d.name.assign(text, static_cast<size_t>(n));
        d.key = PyRef::steal(k.str);
        d.index = index;
        out.push_back(std::move(d));
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

const char *const KEYWORDS[] = {"data", "schema", nullptr};
Parameters LOADS_PARAMETERS{KEYWORDS, 2};

} // namespace

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    PyObject *given[2] = {}; // borrowed
    PyRef classic[2];        // keeps the arguments alive when CPython's parser binds them
    if (!LOADS_PARAMETERS.bind(args, nargs, kwnames, given) || !given[0]) {
        if (!classic_arguments(args, nargs, kwnames, classic[0], classic[1]) ||
            !PyArg_ParseTupleAndKeywords(classic[0].get(), classic[1].get(), "O|O:loads",
                                         const_cast<char **>(KEYWORDS), &given[0], &given[1]))
            return nullptr;
    }
    PyObject *const data = given[0];
    PyObject *const schema = given[1] ? given[1] : Py_None;

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
        index.prepare(len);
        if (len >= RELEASE_GIL_FROM) {
            Py_BEGIN_ALLOW_THREADS // the scan reads only the input, kept alive by the caller
                scan(bytes, len, level, index);
            Py_END_ALLOW_THREADS
        } else {
            scan(bytes, len, level, index);
        }

        GcPause gc;
        FastIndexParser parser(bytes, len, index, lease.items());
        result = parser.parse_document(has_schema ? &schema_list : nullptr);
        if (!result)
            error = parser.take_error();
    }
    if (result)
        return result;
    if (const ParseError *e = std::get_if<ParseError>(&error))
        return raise_decode_error(*e, data, bytes, len, is_str);
    return raise_error(std::move(error));
}

} // namespace plav
