// The decision to write a list as a Mox Grid: a bounded look at its first elements
// (10, then 50), never the whole list. The writer checks every row in full and
// falls back to a plain array, so a wrong guess costs time, never data.
#include <emmintrin.h>

#include <unordered_set>

#include "serializer/grid.hpp"

namespace plav {
namespace {

// The bytes that make a str cell unfit for a grid under cells="safe" (the grid's
// own separators and brackets, quotes, backslash and line ends) are the syntax's
// UNSAFE_IN_CELL class; the vector test below finds the same bytes, which the
// check after it confirms for all 256.
using syntax::is_unsafe_in_cell;

// The lanes of b that hold an unsafe byte, 16 at a time with SSE2 (which every
// x86-64 CPU has). The brackets pair up under OR 0x20:
//   '[' 5B  '\' 5C  ']' 5D  |0x20->  7B 7C 7D  = '{' '|' '}'
// so one range test, (b | 0x20) - 0x7B <= 2 unsigned, finds all six.
inline uint32_t unsafe_lanes(__m128i b) noexcept {
    auto eq = [&](char c) { return _mm_cmpeq_epi8(b, _mm_set1_epi8(c)); };
    const __m128i folded = _mm_sub_epi8(_mm_or_si128(b, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x7B));
    const __m128i bracket = _mm_cmpeq_epi8(_mm_min_epu8(folded, _mm_set1_epi8(2)), folded);
    const __m128i marks = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(eq('\t'), eq('\n')), _mm_or_si128(eq('\r'), eq('"'))),
        _mm_or_si128(_mm_or_si128(eq(','), eq(':')), _mm_or_si128(eq(';'), bracket)));
    return static_cast<uint32_t>(_mm_movemask_epi8(marks));
}

constexpr bool lane_test_matches_class() {
    for (int c = 0; c < 256; ++c) {
        const auto b = static_cast<uint8_t>(c);
        const bool bracket = static_cast<uint8_t>((b | 0x20) - 0x7B) <= 2;
        const bool marked = b == '\t' || b == '\n' || b == '\r' || b == '"' || b == ',' ||
                            b == ':' || b == ';' || bracket;
        if (marked != is_unsafe_in_cell(b)) return false;
    }
    return true;
}
static_assert(lane_test_matches_class(), "unsafe_lanes must find exactly the UNSAFE_IN_CELL bytes");

// Whether s[0, n) holds an unsafe byte. The last partial block (all of a short
// string) is one load that may read past the end but never past its 4 KiB page.
__attribute__((no_sanitize_address)) bool has_unsafe_byte(const uint8_t *s, size_t n) noexcept {
    size_t i = 0;
    for (; n - i >= 16; i += 16)
        if (unsafe_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)))) return true;
    if (i == n) return false;
    const uint8_t *tail = s + i;
    if ((reinterpret_cast<uintptr_t>(tail) & 4095) <= 4096 - 16) {
        const uint32_t lanes = (uint32_t{1} << (n - i)) - 1;
        return (unsafe_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(tail))) & lanes) != 0;
    }
    for (; i < n; ++i)
        if (is_unsafe_in_cell(s[i])) return true;
    return false;
}

// Whether a dict value may be a cell: under cells="any" every value, else a
// grid-safe scalar; failure when a str has no UTF-8 form.
Result<bool> is_grid_safe(PyObject *v, Cells cells) noexcept {
    if (cells == Cells::Any) return true;
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type) return true;
    const unsigned long flags = PyType_GetFlags(t);
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(v, &n);
        if (!u) return PendingError::pass_through();
        return !has_unsafe_byte(reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n));
    }
    return (flags & Py_TPFLAGS_LONG_SUBCLASS) || PyType_IsSubtype(t, &PyFloat_Type);
}

// Iterating runs no Python code, so the dict cannot change under it.
// `exact_keys` is cleared when a key is not an exact str.
Result<bool> dict_has_only_mox_grid_cells(PyObject *dict, Cells cells, bool &exact_keys) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        exact_keys &= Py_TYPE(key) == &PyUnicode_Type;
        Result<bool> safe = is_grid_safe(value, cells);
        if (!safe || !safe.value()) return safe;
    }
    return true;
}

Status build_header(PyObject *first, GridHeader &header) noexcept {
    header.keys.reserve(static_cast<size_t>(PyDict_Size(first)));
    header.texts.reserve(static_cast<size_t>(PyDict_Size(first)));
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
        if (!u) return PendingError::pass_through();
        PyRef lookup = t == &PyUnicode_Type ? PyRef::borrow(key)
                                             : PyRef::steal(PyUnicode_FromStringAndSize(u, n));
        if (!lookup) return PendingError::pass_through();
        header.keys.push_back(std::move(lookup));
        header.texts.emplace_back(u, static_cast<size_t>(n));
    }
    return ok();
}

// Keys of str subclasses can share a text; such a header could not name each cell.
bool texts_distinct(const std::vector<std::string_view> &texts) noexcept {
    const size_t h = texts.size();
    if (h <= 16) {
        for (size_t i = 0; i < h; ++i)
            for (size_t j = i + 1; j < h; ++j)
                if (texts[i] == texts[j]) return false;
        return true;
    }
    std::unordered_set<std::string_view> seen(texts.begin(), texts.end());
    return seen.size() == h;
}

// How many header keys `dict` holds; failure when a lookup raises. The header's
// keys are exact str: a lookup runs Python code only when it compares them with
// keys of other types (`exact_keys`: the dict has none).
Result<Py_ssize_t> count_header_keys(Writer &w, PyObject *dict, const GridHeader &header,
                                     bool exact_keys) noexcept {
    if (!exact_keys) ++w.python_calls;
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

}  // namespace

Result<bool> detect_mox_grid_candidate(Writer &w, PyObject *list, Py_ssize_t n,
                                       GridHeader &header) noexcept {
    if (n <= 1) return false;
    PyRef first = PyRef::borrow(PyList_GetItem(list, 0));
    if (!first) return PendingError::pass_through();
    if (!is_dict(Py_TYPE(first.get())) || PyDict_Size(first.get()) == 0) return false;
    bool exact_keys = true;  // the first dict's are not looked up
    Result<bool> safe = dict_has_only_mox_grid_cells(first.get(), w.opt.cells, exact_keys);
    if (!safe || !safe.value()) return safe;
    if (Status s = build_header(first.get(), header); !s) return std::move(s.error());
    if (!texts_distinct(header.texts)) return false;
    const auto h = static_cast<Py_ssize_t>(header.keys.size());

    // Quick check: the first 10 carry exactly the header keys.
    bool uniform = true;
    const Py_ssize_t quick = n < 10 ? n : 10;
    for (Py_ssize_t i = 1; i < quick && uniform; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e) return PendingError::pass_through();
        if (!is_dict(Py_TYPE(e.get()))) return false;
        // One walk checks the cells and whether the keys are the header's own
        // objects in its order, which settles the key set without lookups.
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        bool same_keys = true;
        exact_keys = true;
        while (PyDict_Next(e.get(), &pos, &key, &value)) {
            exact_keys &= Py_TYPE(key) == &PyUnicode_Type;
            safe = is_grid_safe(value, w.opt.cells);
            if (!safe || !safe.value()) return safe;
            same_keys = same_keys && k < h && key == header.keys[static_cast<size_t>(k)].get();
            ++k;
        }
        if (k != h) {
            uniform = false;
            break;
        }
        if (same_keys) continue;
        Result<Py_ssize_t> found = count_header_keys(w, e.get(), header, exact_keys);
        if (!found) return std::move(found.error());
        uniform = found.value() == h;
    }
    if (uniform) return true;

    // Sampled check: at least 7 in 10 of the first 50 hold every header key. An
    // element with a key outside the header would be refused by the writer, so it
    // ends the attempt here already.
    const Py_ssize_t m = n < 50 ? n : 50;
    const Py_ssize_t threshold = (7 * m + 9) / 10;
    Py_ssize_t complete = 0;
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e) return PendingError::pass_through();
        if (!is_dict(Py_TYPE(e.get()))) return false;
        exact_keys = true;
        safe = dict_has_only_mox_grid_cells(e.get(), w.opt.cells, exact_keys);
        if (!safe || !safe.value()) return safe;
        Result<Py_ssize_t> found = count_header_keys(w, e.get(), header, exact_keys);
        if (!found) return std::move(found.error());
        if (found.value() < PyDict_Size(e.get())) return false;
        if (found.value() == h) ++complete;
    }
    return complete >= threshold;
}

Result<PyRef> materialize_as_dicts(Writer &w, PyObject *list, Py_ssize_t n) noexcept {
    const Names *nm = names();
    if (!nm) return PendingError::pass_through();
    ++w.python_calls;
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out) return PendingError::pass_through();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef e = PyRef::borrow(PyList_GetItem(list, i));
        if (!e) return PendingError::pass_through();
        PyRef converted;
        if (is_dict(Py_TYPE(e.get()))) {
            converted = std::move(e);
        } else if (PyRef dump = PyRef::steal(PyObject_GetAttr(e.get(), nm->model_dump))) {
            if (!PyCallable_Check(dump.get())) return PyRef();
            converted = PyRef::steal(PyObject_CallNoArgs(dump.get()));
            if (!converted) return PendingError::pass_through();
        } else {
            PyErr_Clear();
            Result<bool> is_dataclass = has_attr(e.get(), nm->dataclass_fields);
            if (!is_dataclass) return std::move(is_dataclass.error());
            if (is_dataclass.value()) {
                PyObject *asdict = dataclasses_asdict();
                if (!asdict) return PendingError::pass_through();
                converted = PyRef::steal(PyObject_CallFunctionObjArgs(asdict, e.get(), nullptr));
                if (!converted) return PendingError::pass_through();
            } else {
                Result<bool> has_fields = has_attr(e.get(), nm->fields);
                if (!has_fields) return std::move(has_fields.error());
                if (!has_fields.value()) return PyRef();
                PyRef to_dict = PyRef::steal(PyObject_GetAttr(e.get(), nm->dict));
                if (!to_dict) {
                    PyErr_Clear();
                    return PyRef();
                }
                if (!PyCallable_Check(to_dict.get())) return PyRef();
                converted = PyRef::steal(PyObject_CallNoArgs(to_dict.get()));
                if (!converted) return PendingError::pass_through();
            }
        }
        PyList_SetItem(out.get(), i, converted.release());  // steals
    }
    return out;
}

Result<bool> try_write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, Nesting at) noexcept {
    {
        GridHeader header;
        Result<bool> found = detect_mox_grid_candidate(w, list, n, header);
        if (!found) return std::move(found.error());
        if (found.value()) return write_mox_grid(w, list, n, header, at, false);
    }
    // Lists of model objects: convert them and look again.
    PyObject *first = PyList_GetItem(list, 0);
    if (!first) return PendingError::pass_through();
    PyTypeObject *t = Py_TYPE(first);
    if (first == Py_None || t == &PyBool_Type || PyType_IsSubtype(t, &PyFloat_Type) ||
        (PyType_GetFlags(t) & (Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
                               Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS |
                               Py_TPFLAGS_DICT_SUBCLASS)))
        return false;
    Result<PyRef> converted = materialize_as_dicts(w, list, n);
    if (!converted) return std::move(converted.error());
    PyRef rows = std::move(converted.value());
    if (!rows) return false;
    GridHeader header;
    Result<bool> found = detect_mox_grid_candidate(w, rows.get(), n, header);
    if (!found) return std::move(found.error());
    if (!found.value()) return false;
    Result<bool> written = write_mox_grid(w, rows.get(), n, header, at, true);
    rows.reset();
    ++w.python_calls;  // freeing the converted rows may free cached keys
    return written;
}

}  // namespace plav
