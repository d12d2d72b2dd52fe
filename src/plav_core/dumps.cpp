// dumps: bind the options, lend the thread's output buffer, write, make the str.
#include <Python.h>

#include <string_view>

#include "arguments.hpp"
#include "boundary.hpp"
#include "cpu.hpp"
#include "memory.hpp"
#include "py_ref.hpp"
#include "serializer/result_str.hpp"
#include "serializer/serializer.hpp"

namespace plav {
namespace {

// One per thread, released when the thread ends. The flag lends it to one call at
// a time: a dumps run from a conversion method of an outer call on the same thread
// is refused.
struct ThreadBuffer {
    OutputBuffer buf;
    Utf16Room utf16;
    Vec<TextSegment> segments; // emptied at the end of every call
    Vec<SortedMember> sorted;  // emptied at the end of every call
    bool in_use = false;

    ThreadBuffer() = default;
    ThreadBuffer(const ThreadBuffer &) = delete;
    ThreadBuffer &operator=(const ThreadBuffer &) = delete;
    // Segments are left only by a thread that ended inside a call: CPython ends
    // daemon threads that way at shutdown, without the GIL, so their references
    // are left to the exiting process instead of being dropped.
    ~ThreadBuffer() {
        for (TextSegment &seg : segments)
            (void)seg.source.release();
        for (SortedMember &m : sorted) {
            (void)m.key.release();
            (void)m.value.release();
            (void)m.text.release();
        }
    }
};
thread_local ThreadBuffer WRITE_BUF;

// This thread's buffer. Reached once per call through this function: the compiler
// would otherwise look the thread_local up again (a call into the dynamic linker)
// after every call the entry makes.
__attribute__((noinline)) ThreadBuffer &thread_buffer() noexcept {
    return WRITE_BUF;
}

constexpr size_t INITIAL_CAPACITY = 8192;
// Larger buffers are given back after the call instead of staying with the thread.
constexpr size_t KEEP_CAPACITY = size_t{16} << 20;

Status convert_bool(PyObject *obj, const char *name, bool &out) noexcept {
    if (!obj)
        return ok();
    if (Py_TYPE(obj) != &PyBool_Type)
        return PendingError::type_error(std::string("argument '") + name + "': '" +
                                        type_name(Py_TYPE(obj), false) +
                                        "' object cannot be converted to bool");
    out = obj == Py_True;
    return ok();
}

Status convert_indent(PyObject *obj, DumpOptions &opt) noexcept {
    if (!obj || obj == Py_None)
        return ok();
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return PendingError::pass_through();
        PyObject *exc = PyErr_GetRaisedException(); // new reference
        PyRef held = PyRef::steal(exc);
        PyRef text = PyRef::steal(PyObject_Str(exc));
        std::string message = "argument 'indent': ";
        if (text) {
            Py_ssize_t n = 0;
            if (const char *u = PyUnicode_AsUTF8AndSize(text.get(), &n))
                message.append(u, n);
        }
        PyErr_Clear();
        return PendingError::type_error(std::move(message));
    }
    const unsigned long long width = PyLong_AsUnsignedLongLong(index.get());
    if (width == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return PendingError::pass_through();
    opt.has_indent = true;
    opt.indent = width;
    return ok();
}

// The UTF-8 text of a str argument; TypeError naming `name` for any other type.
Result<std::string_view> str_argument(PyObject *obj, const char *name) noexcept {
    if (!is_str(Py_TYPE(obj)))
        return PendingError::type_error(std::string("argument '") + name + "' must be str, not '" +
                                        type_name(Py_TYPE(obj), false) + "'");
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!u)
        return PendingError::pass_through();
    return std::string_view(u, static_cast<size_t>(n));
}

Status convert_delimiter(PyObject *obj, DumpOptions &opt) noexcept {
    if (!obj)
        return ok();
    Result<std::string_view> given = str_argument(obj, "delimiter");
    if (!given)
        return std::move(given.error());
    const std::string_view text = given.value();
    if (text == "tab" || text == "\t")
        opt.delimiter = Delimiter::Tab;
    else if (text == "pipe" || text == "|")
        opt.delimiter = Delimiter::Pipe;
    else
        opt.delimiter = Delimiter::Comma;
    return ok();
}

Status convert_cells(PyObject *obj, DumpOptions &opt) noexcept {
    if (!obj)
        return ok();
    Result<std::string_view> given = str_argument(obj, "cells");
    if (!given)
        return std::move(given.error());
    const std::string_view text = given.value();
    if (text == "safe") {
        opt.cells = Cells::Safe;
    } else if (text == "any") {
        opt.cells = Cells::Any;
    } else {
        return PendingError::value_error("argument 'cells' must be \"safe\" or \"any\"");
    }
    return ok();
}

// Any object, by its truth value; bare_text implies bare_strings.
Status convert_bare_text(PyObject *obj, DumpOptions &opt) noexcept {
    if (!obj)
        return ok();
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0)
        return PendingError::pass_through();
    opt.bare_text = truth != 0;
    opt.bare_strings |= opt.bare_text;
    return ok();
}

Status convert_default(PyObject *obj, DumpOptions &opt) noexcept {
    if (!obj || obj == Py_None)
        return ok();
    if (!PyCallable_Check(obj))
        return PendingError::type_error("argument 'default' must be callable or None, not '" +
                                        type_name(Py_TYPE(obj), false) + "'");
    opt.default_fn = obj;
    return ok();
}

const char *const KEYWORDS[] = {"data",         "mox_grid",      "unquoted_keys", "indent",
                                "bare_strings", "implicit_null", "row_count",     "multiline_mox",
                                "delimiter",    "cells",         "bare_text",     "sort_keys",
                                "default",      nullptr};
Parameters DUMPS_PARAMETERS{KEYWORDS, 1};

// `classic` keeps the arguments alive when CPython's parser binds them.
Result<PyObject *> bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        DumpOptions &opt, PyRef (&classic)[2]) noexcept {
    // The common call, dumps(obj), needs no binding at all.
    if (!kwnames && nargs == 1)
        return args[0];
    PyObject *given[13] = {}; // borrowed
    if (!DUMPS_PARAMETERS.bind(args, nargs, kwnames, given) || !given[0]) {
        if (!classic_arguments(args, nargs, kwnames, classic[0], classic[1]) ||
            !PyArg_ParseTupleAndKeywords(classic[0].get(), classic[1].get(),
                                         "O|$OOOOOOOOOOOO:dumps", const_cast<char **>(KEYWORDS),
                                         &given[0], &given[1], &given[2], &given[3], &given[4],
                                         &given[5], &given[6], &given[7], &given[8], &given[9],
                                         &given[10], &given[11], &given[12]))
            return PendingError::pass_through();
    }
    PyObject *const data = given[0], *const mox_grid = given[1], *const unquoted_keys = given[2],
                    *const indent = given[3], *const bare_strings = given[4],
                    *const implicit_null = given[5], *const row_count = given[6],
                    *const multiline_mox = given[7], *const delimiter = given[8],
                    *const cells = given[9], *const bare_text = given[10],
                    *const sort_keys = given[11], *const default_fn = given[12];
    Status s = convert_bool(mox_grid, "mox_grid", opt.mox_grid);
    if (s)
        s = convert_bool(unquoted_keys, "unquoted_keys", opt.unquoted_keys);
    if (s)
        s = convert_indent(indent, opt);
    if (s)
        s = convert_bool(bare_strings, "bare_strings", opt.bare_strings);
    if (s)
        s = convert_bool(implicit_null, "implicit_null", opt.implicit_null);
    if (s)
        s = convert_bool(row_count, "row_count", opt.row_count);
    if (s)
        s = convert_bool(multiline_mox, "multiline_mox", opt.multiline_mox);
    if (s)
        s = convert_delimiter(delimiter, opt);
    if (s)
        s = convert_cells(cells, opt);
    if (s)
        s = convert_bare_text(bare_text, opt);
    if (s)
        s = convert_bool(sort_keys, "sort_keys", opt.sort_keys);
    if (s)
        s = convert_default(default_fn, opt);
    if (!s)
        return std::move(s.error());
    return data;
}

} // namespace

PyObject *dumps_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    DumpOptions opt;
    PyRef classic[2];
    Result<PyObject *> bound = bind(args, nargs, kwnames, opt, classic);
    if (!bound)
        return raise_error(std::move(bound.error()));
    PyRef data = PyRef::borrow(bound.value());

    ThreadBuffer &tb = thread_buffer();
    if (tb.in_use)
        return raise_error(PendingError::internal(
            "dumps called from a conversion method while this thread's dumps is writing"));
    tb.in_use = true;
    OutputBuffer &buf = tb.buf;
#ifdef PLAV_BUILD_TESTING
    if (testing_schedule_set()) { // every allocation is made anew under a failure schedule
        buf.release();
        tb.segments.release();
        tb.sorted.release();
    }
#endif
    buf.restart();
    // The buffer is allocated before anything is written: a failed buffer then
    // always has room at its start for the writes that follow its failure.
    Status s = buf.try_reserve(INITIAL_CAPACITY) ? ok() : Status(PendingError::out_of_memory());
    Writer w{buf,      opt, escaper_for(simd_level(cpu_features())), tb.segments, KEY_TEXT_CACHE,
             tb.sorted};
    if (s)
        s = write_value(w, data.get(), Nesting{0, 0});
    if (s && buf.failed())
        s = PendingError::out_of_memory();
    PyObject *result = s ? result_str(w, tb.utf16) : nullptr;
    tb.segments.clear();
    tb.sorted.clear();
    if (buf.capacity() > KEEP_CAPACITY)
        buf.release(); // one huge call keeps no memory
    tb.in_use = false;
    if (!s)
        return raise_error(std::move(s.error()));
    return result;
}

} // namespace plav
