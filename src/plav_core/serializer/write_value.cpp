// Value dispatch, scalars, keys and the containers in compact and indented layout.
// Exact built-in types are recognised by a pointer compare before any flag test.
#include <algorithm>
#include <cstring>

#include "py_ref.hpp"
#include "serializer/number_format.hpp"
#include "serializer/serializer.hpp"

namespace plav {

KeyTextCache KEY_TEXT_CACHE;

namespace {

constexpr std::string_view BAD_UTF8 = "Failed to encode string as UTF-8";

Status write_str(Writer &w, PyObject *s) noexcept {
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(s, &n);
    if (!u) {
        PyErr_Clear();
        return PendingError::value_error(std::string(BAD_UTF8));
    }
    write_quoted(w, reinterpret_cast<const uint8_t *>(u), static_cast<size_t>(n), s);
    return ok();
}

// int.__repr__ of the base type, found once (static types give their slots since 3.10).
reprfunc int_repr() noexcept {
    static const reprfunc repr =
        reinterpret_cast<reprfunc>(PyType_GetSlot(&PyLong_Type, Py_tp_repr));
    return repr;
}

Status write_int(Writer &w, PyObject *v) noexcept {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
        if (x == -1 && PyErr_Occurred())
            return PendingError::pass_through();
        w.buf.reserve(INT_TEXT_MAX);
        char *out = reinterpret_cast<char *>(w.buf.cursor());
        w.buf.advance(static_cast<size_t>(format_int64(x, out) - out));
        return ok();
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            w.buf.reserve(INT_TEXT_MAX);
            char *out = reinterpret_cast<char *>(w.buf.cursor());
            w.buf.advance(static_cast<size_t>(format_uint64(u, out) - out));
            return ok();
        }
        PyErr_Clear();
    }
    // Outside both 64-bit ranges: the decimal text by int's own repr, which reads
    // the value and runs no Python code, so a subclass's __str__ or __repr__ cannot
    // put other text in the output. CPython's digit limit raises its ValueError,
    // which passes on.
    PyRef text = PyRef::steal(int_repr()(v));
    if (!text)
        return PendingError::pass_through();
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!u)
        return PendingError::pass_through();
    w.buf.put(u, static_cast<size_t>(n)); // ASCII digits and sign
    return ok();
}

Status write_float(Writer &w, PyObject *v) noexcept {
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return PendingError::value_error("Failed to read float value");
    }
    w.buf.reserve(FLOAT_TEXT_ROOM);
    char *out = reinterpret_cast<char *>(w.buf.cursor());
    w.buf.advance(static_cast<size_t>(format_double(d, out) - out));
    return ok();
}

void write_literal(Writer &w, std::string_view s) noexcept {
    w.buf.put(s);
}

Status write_key_text(Writer &w, PyObject *s, bool from_str_call,
                      std::string_view suffix) noexcept {
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(s, &n);
    if (!u) {
        if (from_str_call)
            return PendingError::pass_through();
        PyErr_Clear();
        return PendingError::value_error(std::string(BAD_UTF8));
    }
    const auto *b = reinterpret_cast<const uint8_t *>(u);
    if (w.opt.unquoted_keys && is_identifier(b, static_cast<size_t>(n))) {
        w.buf.put(u, static_cast<size_t>(n));
        w.buf.put(suffix);
    } else {
        write_quoted(w, b, static_cast<size_t>(n), s, suffix);
    }
    return ok();
}

// The cache's form of keys written with `suffix` (":" or ": ") under these options.
inline uint8_t key_form(const Writer &w, std::string_view suffix) noexcept {
    return static_cast<uint8_t>((w.opt.unquoted_keys ? 2 : 0) | (suffix.size() & 1));
}

// A key missing from the cache: written, and remembered when short and ASCII.
__attribute__((noinline)) Status write_uncached_key(Writer &w, PyObject *key,
                                                    std::string_view suffix,
                                                    uint8_t form) noexcept {
    KeyTextCache &cache = w.keys;
    const size_t index = KeyTextCache::index_for(key);
    KeyTextCache::Slot &slot = cache.slots[index];
    OutputBuffer &buf = w.buf;
    const size_t start = buf.size();
    const size_t segments = w.segments.size();
    if (Status s = write_key_text(w, key, false, suffix); !s)
        return s;
    const size_t length = buf.size() - start;
    if (length <= KeyTextCache::MAX_TEXT && w.segments.size() == segments && !buf.failed()) {
        std::memcpy(slot.text, buf.data() + start, length);
        Py_INCREF(key);
        PyObject *old = slot.key;
        slot.key = key;
        slot.length = static_cast<uint32_t>(length);
        slot.form = form;
        Py_XDECREF(old); // an exact str: runs no Python code
    }
    return ok();
}

// A key whose form (`form`, from key_form) the cache holds: one fixed-size copy,
// without touching the key object (a cached key is an exact str). False when the
// cache does not hold it.
inline bool write_key_from_cache(Writer &w, PyObject *key, uint8_t form) noexcept {
    const KeyTextCache::Slot &slot = w.keys.slots[KeyTextCache::index_for(key)];
    if (slot.key != key || slot.form != form)
        return false;
    OutputBuffer &buf = w.buf;
    buf.reserve(KeyTextCache::MAX_TEXT);
    // Every form has a whole MAX_TEXT-byte slot: one fixed-size copy.
    std::memcpy(buf.cursor(), slot.text, KeyTextCache::MAX_TEXT);
    buf.advance(slot.length);
    return true;
}

// An exact str key through the key cache.
inline Status write_cached_key(Writer &w, PyObject *key, std::string_view suffix,
                               uint8_t form) noexcept {
    if (write_key_from_cache(w, key, form)) [[likely]]
        return ok();
    return write_uncached_key(w, key, suffix, form);
}

// A dict key and the separator after it: a str as its text, anything else as the
// text str() gives it.
Status write_key(Writer &w, PyObject *key, std::string_view suffix) noexcept {
    if (Py_TYPE(key) == &PyUnicode_Type)
        return write_cached_key(w, key, suffix, key_form(w, suffix));
    if (is_str(Py_TYPE(key)))
        return write_key_text(w, key, false, suffix);
    PyRef hold = PyRef::borrow(key);
    PyRef text;
    {
        PythonCall call(w);
        text = PyRef::steal(PyObject_Str(key));
    }
    if (!text)
        return PendingError::pass_through();
    return write_key_text(w, text.get(), true, suffix);
}

// The end of a written dict: its closing brace, on a line of its own when indented.
Status close_dict(Writer &w, Nesting at) noexcept {
    if (w.opt.has_indent) {
        if (Status s = write_newline_indent(w, at.depth); !s)
            return s;
    }
    w.buf.put('}');
    return ok();
}

// Pops the sorted members of one dict off the writer's stack, however it ends.
// Dropping the last reference to a key or value (a conversion removed it from the
// dict) may run finalizers.
struct SortedScope {
    Writer &w;
    size_t base;
    ~SortedScope() {
        PythonCall release(w);
        w.sorted.truncate(base);
    }
};

// Members in sorted order of the texts their keys are written as (code-point
// order, which is the byte order of UTF-8; equal texts keep the dict's order).
// The members are held while they are written, so nothing the conversions or
// str() of a key do to the dict reaches them.
Status write_dict_sorted(Writer &w, PyObject *dict, Py_ssize_t n, Nesting at) noexcept {
    Vec<SortedMember> &members = w.sorted;
    const SortedScope scope{w, members.size()};
    const size_t base = scope.base;
    if (!members.reserve(base + static_cast<size_t>(n)))
        return PendingError::out_of_memory();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) // runs no Python code
        if (!members.push_back({PyRef::borrow(key), PyRef::borrow(value), PyRef(), nullptr, 0}))
            return PendingError::out_of_memory();
    for (size_t i = base; i < members.size(); ++i) {
        PyObject *k = members[i].key.get();
        if (!is_str(Py_TYPE(k))) {
            PyRef text;
            {
                PythonCall call(w);
                text = PyRef::steal(PyObject_Str(k));
            }
            if (!text)
                return PendingError::pass_through();
            members[i].text = std::move(text);
        }
        SortedMember &now = members[i];
        Py_ssize_t size = 0;
        const char *u = PyUnicode_AsUTF8AndSize(now.text ? now.text.get() : k, &size);
        if (!u) {
            if (now.text)
                return PendingError::pass_through();
            PyErr_Clear();
            return PendingError::value_error(std::string(BAD_UTF8));
        }
        now.utf8 = u;
        now.size = static_cast<size_t>(size);
    }
    std::stable_sort(members.begin() + static_cast<std::ptrdiff_t>(base), members.end(),
                     [](const SortedMember &a, const SortedMember &b) {
                         const int c = std::memcmp(a.utf8, b.utf8, std::min(a.size, b.size));
                         return c < 0 || (c == 0 && a.size < b.size);
                     });
    const bool indented = w.opt.has_indent;
    const std::string_view key_sep = indented ? std::string_view(": ") : std::string_view(":");
    const size_t count = members.size() - base;
    w.buf.put('{');
    for (size_t i = 0; i < count; ++i) {
        // Borrowed from the entry, which holds them until the scope ends; the
        // vector may move its entries when nested dicts push theirs.
        PyObject *const k = members[base + i].key.get();
        PyObject *const text = members[base + i].text.get();
        PyObject *const v = members[base + i].value.get();
        if (indented) {
            if (Status s = write_newline_indent(w, at.depth + 1); !s)
                return s;
        }
        Status s = Py_TYPE(k) == &PyUnicode_Type
                       ? write_cached_key(w, k, key_sep, key_form(w, key_sep))
                   : text ? write_key_text(w, text, true, key_sep)
                          : write_key_text(w, k, false, key_sep);
        if (!s)
            return s;
        if (Status sv = write_member(w, v, at.child()); !sv)
            return sv;
        if (i + 1 < count)
            w.buf.put(',');
    }
    return close_dict(w, at);
}

Status write_dict(Writer &w, PyObject *dict, Nesting at) noexcept;
Status write_list_or_table(Writer &w, PyObject *list, Nesting at) noexcept;

// write_value for the members of the containers below: an exact dict or list goes
// to its writer without passing through the general dispatch.
inline Status write_nested(Writer &w, PyObject *value, Nesting at) noexcept {
    if (at.level <= MAX_DEPTH) {
        PyTypeObject *const t = Py_TYPE(value);
        if (t == &PyDict_Type)
            return write_dict(w, value, at);
        if (t == &PyList_Type)
            return write_list_or_table(w, value, at);
    }
    return write_value(w, value, at);
}

// write_member for the loops below.
inline Status write_child(Writer &w, PyObject *value, Nesting at) noexcept {
    if (at.level <= MAX_DEPTH && write_scalar_fast(w, value))
        return ok();
    return write_nested(w, value, at);
}

Status write_dict(Writer &w, PyObject *dict, Nesting at) noexcept {
    // A conversion method run below may drop the caller's reference to this dict.
    PyRef hold = PyRef::borrow(dict);
    const Py_ssize_t n = PyDict_Size(dict);
    if (n == 0) {
        w.buf.put(std::string_view("{}"));
        return ok();
    }
    if (w.opt.sort_keys)
        return write_dict_sorted(w, dict, n, at);
    const bool indented = w.opt.has_indent;
    const std::string_view key_sep = indented ? std::string_view(": ") : std::string_view(":");
    const uint8_t form = key_form(w, key_sep);
    w.buf.put('{');
    Py_ssize_t pos = 0, i = 0;
    PyObject *key = nullptr, *value = nullptr;
    uint64_t seen_calls = w.python_calls;
    for (;;) {
        if (w.python_calls != seen_calls) [[unlikely]] {
            seen_calls = w.python_calls;
            if (PyDict_Size(dict) != n)
                return PendingError::internal("dictionary changed size during iteration");
        }
        if (!PyDict_Next(dict, &pos, &key, &value))
            break;
        if (i >= n) [[unlikely]]
            return PendingError::internal("dictionary keys changed during iteration");
        if (w.buf.failed()) [[unlikely]]
            return PendingError::out_of_memory();
        if (indented) {
            if (Status s = write_newline_indent(w, at.depth + 1); !s)
                return s;
        }
        if (write_key_from_cache(w, key, form)) [[likely]] {
            if (Status s = write_child(w, value, at.child()); !s)
                return s;
        } else if (Py_TYPE(key) == &PyUnicode_Type) {
            if (Status s = write_uncached_key(w, key, key_sep, form); !s)
                return s;
            if (Status s = write_child(w, value, at.child()); !s)
                return s;
        } else {
            // The key's __str__ may replace or drop the value: it is held across.
            PythonCall call(w); // declared first: ends after the value is released
            PyRef held = PyRef::borrow(value);
            if (Status s = write_key(w, key, key_sep); !s)
                return s;
            if (Status s = write_member(w, held.get(), at.child()); !s)
                return s;
        }
        if (++i < n)
            w.buf.put(',');
    }
    if (!indented) {
        w.buf.put('}');
        return ok();
    }
    return close_dict(w, at);
}

// A member of `container` (both borrowed). Exact scalars are written without
// running Python code; before anything else is written, which may run a conversion
// method that drops the caller's reference to the container, the container is held
// in `hold` (once, for the rest of its members).
inline Status write_member_of(Writer &w, PyObject *value, Nesting at, PyObject *container,
                              PyRef &hold) noexcept {
    if (at.level <= MAX_DEPTH && write_scalar_fast(w, value))
        return ok();
    if (!hold) [[unlikely]]
        hold = PyRef::borrow(container);
    return write_nested(w, value, at);
}

// Elements [0, n) of a list or tuple as a plain array. A list that shrinks while it
// is written (conversion methods run for its elements) ends at its new length.
// `first`: element 0 when the caller already fetched it (borrowed), else nullptr.
template <bool IsList>
Status write_array(Writer &w, PyObject *seq, Py_ssize_t n, Nesting at, PyObject *first = nullptr) {
    if (n == 0) {
        w.buf.put(std::string_view("[]"));
        return ok();
    }
    const bool indented = w.opt.has_indent;
    PyRef hold; // see write_member_of
    w.buf.put('[');
    uint64_t seen_calls = w.python_calls;
    Py_ssize_t limit = n;
    for (Py_ssize_t i = 0; i < limit; ++i) {
        if (IsList && w.python_calls != seen_calls) [[unlikely]] {
            seen_calls = w.python_calls;
            const Py_ssize_t now = PyList_Size(seq);
            if (now < limit)
                limit = now;
            if (i >= limit)
                break;
        }
        if (w.buf.failed()) [[unlikely]]
            return PendingError::out_of_memory();
        if (i > 0)
            w.buf.put(',');
        PyObject *item = i == 0 && first ? first
                         : IsList        ? PyList_GetItem(seq, i)
                                         : PyTuple_GetItem(seq, i);
        if (!item)
            return PendingError::pass_through();
        if (indented) {
            if (Status s = write_newline_indent(w, at.depth + 1); !s)
                return s;
        }
        if (Status s = write_member_of(w, item, at.child(), seq, hold); !s)
            return s;
    }
    if (indented) {
        if (Status s = write_newline_indent(w, at.depth); !s)
            return s;
    }
    w.buf.put(']');
    return ok();
}

// Lists whose first element is an exact scalar or list can be neither a grid nor a
// list of model objects: they skip the grid attempt without a call.
bool is_plain_first(PyObject *first) noexcept {
    return is_plain_scalar(first) || Py_TYPE(first) == &PyList_Type;
}

// A short list of exact scalars (ints within 64 bits, floats, None, bools, short
// ASCII str that need no escape), written compact in one pass with one reserve.
// False, with nothing kept, at the first element of any other kind; the general
// path then writes the list. Runs no Python code.
constexpr Py_ssize_t SCALAR_LIST_MAX = 16;
bool write_scalar_list(Writer &w, PyObject *list, Py_ssize_t n) noexcept {
    OutputBuffer &buf = w.buf;
    if (!buf.try_reserve(2 + static_cast<size_t>(n) * (SCALAR_ROOM + 1)))
        return false; // the general path meets the failure and reports it
    uint8_t *out = buf.cursor();
    *out++ = '[';
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0)
            *out++ = ',';
        PyObject *item = PyList_GetItem(list, i); // i < n: no failure
        out = put_scalar(item, out);
        if (!out)
            return false;
    }
    *out++ = ']';
    buf.set_cursor(out);
    return true;
}

Status write_list_or_table(Writer &w, PyObject *list, Nesting at) noexcept {
    const Py_ssize_t n = PyList_Size(list);
    if (n <= SCALAR_LIST_MAX && !w.opt.has_indent && at.level < MAX_DEPTH &&
        write_scalar_list(w, list, n))
        return ok();
    PyRef hold;                // the grid attempt may convert elements in Python code
    PyObject *first = nullptr; // borrowed
    if (n >= 2 && w.opt.mox_grid) {
        first = PyList_GetItem(list, 0);
        if (!first)
            return PendingError::pass_through();
    }
    if (first && !is_plain_first(first)) {
        first = nullptr; // the attempt may run Python code that replaces it
        hold = PyRef::borrow(list);
        Result<bool> grid = try_write_mox_grid(w, list, n, at);
        if (!grid)
            return std::move(grid.error());
        if (grid.value())
            return ok();
    }
    return write_array<true>(w, list, n, at, first);
}

Status write_tuple(Writer &w, PyObject *tuple, Nesting at) noexcept {
    return write_array<false>(w, tuple, PyTuple_Size(tuple), at);
}

Status write_bytes(Writer &w, PyObject *bytes) noexcept {
    const char *data = PyBytes_AsString(bytes);
    if (!data) {
        PyErr_Clear();
        return PendingError::value_error("Failed to read bytes value");
    }
    const auto n = static_cast<size_t>(PyBytes_Size(bytes));
    constexpr char HEX[] = "0123456789abcdef";
    if (n > SIZE_MAX / 4 || !w.buf.try_reserve(2 * n + 2))
        return PendingError::out_of_memory();
    uint8_t *out = w.buf.cursor();
    *out++ = '"';
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<uint8_t>(data[i]);
        *out++ = static_cast<uint8_t>(HEX[c >> 4]);
        *out++ = static_cast<uint8_t>(HEX[c & 0xF]);
    }
    *out++ = '"';
    w.buf.set_cursor(out);
    return ok();
}

} // namespace

Status write_line_start(Writer &w, uint64_t width, uint64_t level) noexcept {
    uint64_t spaces = 0;
    if (__builtin_mul_overflow(width, level, &spaces) || spaces >= (uint64_t{1} << 32) ||
        !w.buf.try_reserve(spaces + 1))
        return PendingError::memory_error("Cannot allocate the indentation of one line (" +
                                          std::to_string(width) + " spaces times " +
                                          std::to_string(level) + ")");
    uint8_t *out = w.buf.cursor();
    *out = '\n';
    std::memset(out + 1, ' ', spaces);
    w.buf.advance(spaces + 1);
    return ok();
}

void write_mox_grid_header_key(Writer &w, std::string_view text) noexcept {
    const auto *b = reinterpret_cast<const uint8_t *>(text.data());
    bool non_ascii = false;
    if (w.opt.bare_text ? syntax::bare_key_reads_back(b, text.size(), non_ascii)
                        : is_identifier(b, text.size()))
        write_bare_text(w, b, text.size(), nullptr, non_ascii);
    else
        write_quoted(w, b, text.size(), nullptr);
}

Status write_value(Writer &w, PyObject *value, Nesting at) noexcept {
    if (at.level > MAX_DEPTH) [[unlikely]]
        return PendingError::value_error("Object too deeply nested (max " +
                                         std::to_string(MAX_DEPTH) + " levels)");
    PyTypeObject *const t = Py_TYPE(value);
    // Exact types first: one compare each, no call.
    if (t == &PyUnicode_Type)
        return write_str(w, value);
    if (t == &PyLong_Type)
        return write_int(w, value);
    if (t == &PyFloat_Type)
        return write_float(w, value);
    if (t == &PyDict_Type)
        return write_dict(w, value, at);
    if (t == &PyList_Type)
        return write_list_or_table(w, value, at);
    if (value == Py_None) {
        write_literal(w, syntax::NULL_WORD);
        return ok();
    }
    if (t == &PyBool_Type) {
        write_literal(w, value == Py_True ? syntax::TRUE_WORD : syntax::FALSE_WORD);
        return ok();
    }
    if (t == &PyTuple_Type)
        return write_tuple(w, value, at);
    // Subclasses, by their base type's flag bit.
    const unsigned long flags = PyType_GetFlags(t);
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS)
        return write_str(w, value);
    if (flags & Py_TPFLAGS_LONG_SUBCLASS)
        return write_int(w, value);
    if (PyType_IsSubtype(t, &PyFloat_Type))
        return write_float(w, value);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS)
        return write_dict(w, value, at);
    if (flags & Py_TPFLAGS_LIST_SUBCLASS)
        return write_list_or_table(w, value, at);
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS)
        return write_tuple(w, value, at);
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS)
        return write_bytes(w, value);
    return write_fallback(w, value, at);
}

} // namespace plav
