// The decision to write a list as a Mox Grid: a bounded look at its first elements
// (10, then 50), never the whole list. The writer checks every row in full and
// falls back to a plain array, so a wrong guess costs time, never data.
#include <algorithm>

#include "serializer/grid.hpp"
#include "simd/cell_scan.hpp"

namespace plav {
namespace {

// The rows the quick check reads, from the first.
constexpr Py_ssize_t QUICK_ROWS = 10;

// An Enum member whose value is an Enum member, and so on: a chain longer than
// this counts as not grid-safe.
constexpr int MAX_ENUM_HOPS = 8;

// Whether a dict value may be a cell: under cells="any" every value, else a
// grid-safe scalar; failure when a str has no UTF-8 form. The natively written
// types count as their written form, found without running Python code: a date
// or a UUID is text of digits, letters and hyphens, a Decimal a number; a
// datetime or a time holds colons. An Enum member counts as its value.
Result<bool> is_grid_safe(PyObject *v, Cells cells, int hops = 0) noexcept {
    if (cells == Cells::Any)
        return true;
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type)
        return true;
    const unsigned long flags = PyType_GetFlags(t);
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(v, &n);
        if (!u)
            return PendingError::pass_through();
        return !has_unsafe_byte(reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n));
    }
    if ((flags & Py_TPFLAGS_LONG_SUBCLASS) || PyType_IsSubtype(t, &PyFloat_Type))
        return true;
    if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS |
                 Py_TPFLAGS_BYTES_SUBCLASS))
        return false;
    switch (native_kind(v)) {
    case NativeKind::Date:
    case NativeKind::Uuid:
    case NativeKind::Decimal:
        return true;
    case NativeKind::Enum: {
        if (hops >= MAX_ENUM_HOPS)
            return false;
        PyRef value = enum_stored_value(v);
        if (!value)
            return false;
        return is_grid_safe(value.get(), cells, hops + 1);
    }
    default:
        return false;
    }
}

// is_grid_safe for the values of the common types, answered inline: 1 (a cell), 0
// (not a cell) or -1 (ask is_grid_safe).
inline int quick_grid_safe(PyObject *v, Cells cells) noexcept {
    PyTypeObject *t = Py_TYPE(v);
    if (cells == Cells::Any || v == Py_None || t == &PyLong_Type || t == &PyFloat_Type ||
        t == &PyBool_Type)
        return 1;
    if (t == &PyList_Type || t == &PyDict_Type)
        return 0;
    return -1;
}

// Iterating runs no Python code, so the dict cannot change under it.
// `exact_keys` is cleared when a key is not an exact str.
Result<bool> dict_has_only_mox_grid_cells(PyObject *dict, Cells cells, bool &exact_keys) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        exact_keys &= Py_TYPE(key) == &PyUnicode_Type;
        if (const int quick = quick_grid_safe(value, cells); quick >= 0) {
            if (quick == 0)
                return false;
            continue;
        }
        Result<bool> safe = is_grid_safe(value, cells);
        if (!safe || !safe.value())
            return safe;
    }
    return true;
}

// Adds `value` to cells kept for the writer (room reserved), or stops keeping them
// at the first value that is not an exact scalar.
inline void keep_cell(Vec<PyObject *> &cells, PyObject *value) noexcept {
    if (cells.capacity() == 0)
        return;
    if (is_plain_scalar(value))
        (void)cells.push_back(value); // room reserved
    else
        cells.release();
}

// Runs no Python code: `first` cannot change under it. The first row's cells go to
// header.cells when room for them was reserved.
Status build_header(PyObject *first, GridHeader &header) noexcept {
    const auto h = static_cast<size_t>(PyDict_Size(first));
    if (!header.keys.reserve(h) || !header.texts.reserve(h))
        return PendingError::out_of_memory();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(first, &pos, &key, &value)) {
        PyTypeObject *t = Py_TYPE(key);
        if (!is_str(t))
            return PendingError::type_error(std::string("Mox Grid header key of type '") +
                                            type_name(t, false) +
                                            "' cannot be converted to a string");
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(key, &n);
        if (!u)
            return PendingError::pass_through();
        PyRef lookup = t == &PyUnicode_Type ? PyRef::borrow(key)
                                            : PyRef::steal(PyUnicode_FromStringAndSize(u, n));
        if (!lookup)
            return PendingError::pass_through();
        // The text of the held exact str, not of a subclass key that the first row
        // alone keeps alive.
        u = PyUnicode_AsUTF8AndSize(lookup.get(), &n);
        if (!u)
            return PendingError::pass_through();
        if (!header.keys.push_back(std::move(lookup)) ||
            !header.texts.emplace_back(u, static_cast<size_t>(n)))
            return PendingError::out_of_memory();
        keep_cell(header.cells, value);
    }
    return ok();
}

// The order in which the columns are written: by key text (the byte order of
// UTF-8 is the order of code points). The keys stay in the first row's order,
// in which the rows are matched.
Status sort_header(GridHeader &header) noexcept {
    const size_t h = header.texts.size();
    if (!header.order.resize(h))
        return PendingError::out_of_memory();
    for (size_t i = 0; i < h; ++i)
        header.order[i] = static_cast<uint32_t>(i);
    std::sort(header.order.begin(), header.order.end(),
              [&](uint32_t a, uint32_t b) { return header.texts[a] < header.texts[b]; });
    return ok();
}

// Keys of str subclasses can share a text; such a header could not name each cell.
Result<bool> texts_distinct(const Vec<std::string_view> &texts) noexcept {
    const size_t h = texts.size();
    if (h <= 16) {
        for (size_t i = 0; i < h; ++i)
            for (size_t j = i + 1; j < h; ++j)
                if (texts[i] == texts[j])
                    return false;
        return true;
    }
    Vec<std::string_view> sorted;
    if (!sorted.append(texts.data(), h))
        return PendingError::out_of_memory();
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

// How many header keys `dict` holds; failure when a lookup raises. Only whether
// each is present is used, so the borrowed values found are never touched.
Result<Py_ssize_t> count_header_keys(PyObject *dict, const GridHeader &header) noexcept {
    Py_ssize_t found = 0;
    for (const PyRef &key : header.keys) {
        PyObject *v = PyDict_GetItemWithError(dict, key.get());
        if (v) {
            ++found;
        } else if (PyErr_Occurred()) {
            return PendingError::pass_through();
        }
    }
    return found;
}

// count_header_keys, with the writer's bookkeeping. The header's
// keys are exact str: a lookup runs Python code only when it compares them with
// keys of other types (`exact_keys`: the dict has none).
Result<Py_ssize_t> count_header_keys(Writer &w, PyObject *dict, const GridHeader &header,
                                     bool exact_keys) noexcept {
    if (exact_keys)
        return count_header_keys(dict, header);
    PythonCall call(w); // declared first: ends after the hold is released
    PyRef hold = PyRef::borrow(dict);
    return count_header_keys(dict, header);
}

} // namespace

Result<bool> detect_mox_grid_candidate(Writer &w, PyObject *list, Py_ssize_t n,
                                       GridHeader &header) noexcept {
    if (n <= 1)
        return false;
    PyRef first = PyRef::borrow(PyList_GetItem(list, 0));
    if (!first)
        return PendingError::pass_through();
    if (!is_dict(Py_TYPE(first.get())) || PyDict_Size(first.get()) == 0)
        return false;
    bool exact_keys = true; // the first dict's are not looked up
    Result<bool> safe = dict_has_only_mox_grid_cells(first.get(), w.opt.cells, exact_keys);
    if (!safe || !safe.value())
        return safe;
    // A list that the quick check below reads whole keeps its cells for the writer.
    if (n <= QUICK_ROWS)
        (void)header.cells.reserve(static_cast<size_t>(n * PyDict_Size(first.get())));
    if (Status s = build_header(first.get(), header); !s)
        return std::move(s.error());
    Result<bool> distinct = texts_distinct(header.texts);
    if (!distinct || !distinct.value())
        return distinct;
    const auto h = static_cast<Py_ssize_t>(header.keys.size());
    if (w.opt.sort_keys) {
        if (Status s = sort_header(header); !s)
            return std::move(s.error());
    }

    // Quick check: the first 10 carry exactly the header keys.
    bool uniform = true;
    const Py_ssize_t quick = n < QUICK_ROWS ? n : QUICK_ROWS;
    for (Py_ssize_t i = 1; i < quick && uniform; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e)
            return PendingError::pass_through();
        if (!is_dict(Py_TYPE(e.get())))
            return false;
        // One walk checks the cells and whether the keys are the header's own
        // objects in its order, which settles the key set without lookups.
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        bool same_keys = true;
        exact_keys = true;
        while (PyDict_Next(e.get(), &pos, &key, &value)) {
            exact_keys &= Py_TYPE(key) == &PyUnicode_Type;
            if (const int quick = quick_grid_safe(value, w.opt.cells); quick == 0) {
                return false;
            } else if (quick < 0) {
                safe = is_grid_safe(value, w.opt.cells);
                if (!safe || !safe.value())
                    return safe;
            }
            same_keys = same_keys && k < h && key == header.keys[static_cast<size_t>(k)].get();
            if (same_keys)
                keep_cell(header.cells, value);
            else
                header.cells.release();
            ++k;
        }
        if (k != h) {
            uniform = false;
            break;
        }
        if (same_keys)
            continue;
        Result<Py_ssize_t> found = count_header_keys(w, e.get(), header, exact_keys);
        if (!found)
            return std::move(found.error());
        uniform = found.value() == h;
    }
    if (uniform)
        return true;
    header.cells.release();

    // Sampled check: at least 7 in 10 of the first 50 hold every header key. An
    // element with a key outside the header would be refused by the writer, so it
    // ends the attempt here already.
    const Py_ssize_t m = n < 50 ? n : 50;
    const Py_ssize_t threshold = (7 * m + 9) / 10;
    Py_ssize_t complete = 0;
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e)
            return PendingError::pass_through();
        if (!is_dict(Py_TYPE(e.get())))
            return false;
        exact_keys = true;
        safe = dict_has_only_mox_grid_cells(e.get(), w.opt.cells, exact_keys);
        if (!safe || !safe.value())
            return safe;
        Result<Py_ssize_t> found = count_header_keys(w, e.get(), header, exact_keys);
        if (!found)
            return std::move(found.error());
        if (found.value() < PyDict_Size(e.get()))
            return false;
        if (found.value() == h)
            ++complete;
    }
    return complete >= threshold;
}

} // namespace plav
