// Writes a list as a Mox Grid in the compact, indented or multi-line layout. Every
// row is checked in full: an element that is not a dict, or a row with a key
// outside the header, abandons the grid (the buffer is rewound to where the list
// began) so that the caller writes the list as a plain array and no value is lost.
#include <cstring>

#include "serializer/grid.hpp"
#include "serializer/number_format.hpp"

namespace plav {
namespace {

enum class Layout : uint8_t { Compact, Indented, MultiLine };

bool same_text(PyObject *key, std::string_view text) noexcept {
    if (!is_str(Py_TYPE(key)))
        return false;
    Py_ssize_t n = 0;
    const char *u = PyUnicode_AsUTF8AndSize(key, &n);
    if (!u) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(u, static_cast<size_t>(n)) == text;
}

struct GridWriter {
    Writer &w;
    const GridHeader &header;
    Nesting cell_at;
    std::string_view separator;
    Vec<PyObject *> cells;        // the current row's values: borrowed, or held in `held`
    Vec<PyRef> held;              // the row and its values, when finding them ran Python code
    Vec<PyObject *> reordered;    // room for the cells in written order (sort_keys)
    char separator_block[4] = {}; // the separator padded for put_block4

    // The row's values in header order (nullptr: missing). Yields false when the
    // row holds a key outside the header.
    Result<bool> collect(PyObject *row) noexcept {
        const size_t h = header.keys.size();
        const Py_ssize_t size = PyDict_Size(row);
        if (size > static_cast<Py_ssize_t>(h))
            return false;
        // Rows mostly hold the header keys in header order, often as the very same
        // objects: one walk matches them without hashing.
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        size_t i = 0;
        const PyRef *keys = header.keys.data();
        PyObject **out = cells.data();
        for (; i < static_cast<size_t>(size); ++i) {
            if (!PyDict_Next(row, &pos, &key, &value))
                break;
            if (key != keys[i].get() && !same_text(key, header.texts[i]))
                break;
            out[i] = value;
        }
        if (i == static_cast<size_t>(size)) {
            for (; i < h; ++i)
                out[i] = nullptr;
            return in_written_order();
        }
        // The lookups below run Python code only when they compare the header's
        // exact str keys with keys of other types.
        bool exact_keys = true;
        pos = 0;
        while (exact_keys && PyDict_Next(row, &pos, &key, &value))
            exact_keys = Py_TYPE(key) == &PyUnicode_Type;
        if (exact_keys) {
            Py_ssize_t found = 0;
            for (i = 0; i < h; ++i) {
                PyObject *v = PyDict_GetItemWithError(row, header.keys[i].get());
                if (!v && PyErr_Occurred())
                    return PendingError::pass_through();
                found += v != nullptr;
                cells[i] = v;
            }
            return found == PyDict_Size(row) && in_written_order();
        }
        // A key's __eq__ may replace or drop the row and the values found before
        // it: the row and each value are held as soon as they are had.
        if (!held.reserve(h + 1))
            return PendingError::out_of_memory();
        (void)held.push_back(PyRef::borrow(row)); // room reserved above
        PythonCall call(w);
        Py_ssize_t found = 0;
        for (i = 0; i < h; ++i) {
            PyObject *v = PyDict_GetItemWithError(row, header.keys[i].get());
            if (!v && PyErr_Occurred())
                return PendingError::pass_through();
            if (v) {
                ++found;
                (void)held.push_back(PyRef::borrow(v));
            }
            cells[i] = v;
        }
        return found == PyDict_Size(row) && in_written_order();
    }

    // Puts the collected cells in the order the columns are written.
    bool in_written_order() noexcept {
        if (header.order.empty())
            return true;
        for (size_t i = 0; i < cells.size(); ++i)
            reordered[i] = cells[header.order[i]];
        std::swap(cells, reordered);
        return true;
    }

    Status write_cell(PyObject *v, bool keep_null) noexcept {
        if (!v || v == Py_None) {
            if (!w.opt.implicit_null || keep_null)
                w.buf.put(syntax::NULL_WORD);
            return ok();
        }
        if (w.opt.bare_strings && is_str(Py_TYPE(v))) {
            Py_ssize_t n = 0;
            const char *u = PyUnicode_AsUTF8AndSize(v, &n);
            if (!u)
                return PendingError::pass_through();
            const auto *b = reinterpret_cast<const uint8_t *>(u);
            const auto len = static_cast<size_t>(n);
            // bare_strings alone leaves identifiers bare, bare_text any text that
            // reads back; both by the reader's own rule for bare cells.
            bool non_ascii = false;
            if ((w.opt.bare_text || is_identifier(b, len)) &&
                syntax::bare_cell_reads_back(b, len, non_ascii))
                write_bare_text(w, b, len, v, non_ascii);
            else
                write_quoted(w, b, len, v);
            return ok();
        }
        if (!is_plain_scalar(v) && (w.opt.has_indent || w.opt.multiline_mox))
            return write_compact_cell(v);
        return write_member(w, v, cell_at);
    }

    // A nested value in a cell of an indented or multi-line grid: written compact,
    // by a writer on the same output with the layout options turned off.
    Status write_compact_cell(PyObject *v) noexcept {
        DumpOptions compact = w.opt;
        compact.has_indent = false;
        compact.multiline_mox = false;
        Writer inner{w.buf, compact, w.escape, w.segments, w.keys, w.sorted};
        inner.unsegmented_non_ascii = w.unsegmented_non_ascii;
        inner.python_calls = w.python_calls;
        Status s = write_value(inner, v, cell_at);
        w.python_calls = inner.python_calls + 1;
        w.unsegmented_non_ascii = inner.unsegmented_non_ascii;
        return s;
    }

    // Yields false when the row does not fit the header. `last`: an empty last row
    // of a one-key grid would read as the grid's end, so its cell keeps its null.
    // `read`: the row's cells as detection read them (header order), or nullptr.
    Result<bool> write_row(PyObject *row, bool last, PyObject *const *read) noexcept {
        if (read) {
            std::memcpy(cells.data(), read, cells.size() * sizeof(PyObject *));
            in_written_order();
        } else {
            Result<bool> fits = collect(row);
            if (!fits || !fits.value())
                return fits;
        }
        const size_t h = cells.size();
        const bool keep_null = last && h == 1;
        if (w.opt.bare_strings || cell_at.level > MAX_DEPTH) {
            for (size_t i = 0; i < h; ++i) {
                if (i > 0)
                    w.buf.put_block4(separator_block, separator.size());
                if (cells[i] && !is_plain_scalar(cells[i]))
                    return write_held_from(row, i, last);
                if (Status s = write_cell(cells[i], keep_null); !s)
                    return std::move(s.error());
            }
            return true;
        }
        // Exact scalars are written through a local cursor into room reserved for
        // the whole row; any other cell syncs the buffer and takes the general path.
        const bool skip_null = w.opt.implicit_null && !keep_null;
        const size_t separator_size = separator.size();
        OutputBuffer &buf = w.buf;
        if (!buf.try_reserve(h * (SCALAR_ROOM + 4)))
            return PendingError::out_of_memory();
        uint8_t *out = buf.cursor();
        for (size_t i = 0; i < h; ++i) {
            if (i > 0) {
                std::memcpy(out, separator_block, 4);
                out += separator_size;
            }
            PyObject *v = cells[i];
            if (!v || v == Py_None) {
                if (!skip_null) {
                    std::memcpy(out, syntax::NULL_WORD.data(), syntax::NULL_WORD.size());
                    out += syntax::NULL_WORD.size();
                }
                continue;
            }
            if (uint8_t *end = put_scalar(v, out)) {
                out = end;
                continue;
            }
            buf.set_cursor(out);
            if (!is_plain_scalar(v))
                return write_held_from(row, i, last);
            if (Status s = write_cell(v, keep_null); !s)
                return std::move(s.error());
            if (!buf.try_reserve((h - i) * (SCALAR_ROOM + 4)))
                return PendingError::out_of_memory();
            out = buf.cursor();
        }
        buf.set_cursor(out);
        return true;
    }

    // Cells [first, h), the separator before `first` already written, when cell
    // `first` is not an exact scalar: writing it may run Python code that changes
    // or drops the row, so the row and the cells still to write are held until the
    // row ends.
    Result<bool> write_held_from(PyObject *row, size_t first, bool last) noexcept {
        PyRef row_hold = PyRef::borrow(row);
        Vec<PyRef> held_cells;
        if (!held_cells.reserve(cells.size() - first))
            return PendingError::out_of_memory();
        for (size_t i = first; i < cells.size(); ++i)
            (void)held_cells.push_back(PyRef::borrow(cells[i])); // room reserved above
        const size_t h = cells.size();
        for (size_t i = first; i < h; ++i) {
            if (i > first)
                w.buf.put_block4(separator_block, separator.size());
            if (Status s = write_cell(cells[i], last && h == 1); !s)
                return std::move(s.error());
        }
        return true;
    }

    void write_count(Py_ssize_t n) noexcept {
        w.buf.reserve(INT_TEXT_MAX);
        char *out = reinterpret_cast<char *>(w.buf.cursor());
        w.buf.advance(static_cast<size_t>(format_uint64(static_cast<uint64_t>(n), out) - out));
    }

    void write_keys(std::string_view between) noexcept {
        for (size_t i = 0; i < header.texts.size(); ++i) {
            if (i > 0)
                w.buf.put_short(between);
            write_mox_grid_header_key(w, header.texts[header.order.empty() ? i : header.order[i]]);
        }
    }

    // Whether every row is a dict whose keys fit the header. Run before anything is
    // written when `default` is given, so that a grid is not abandoned after
    // default was called for its cells (a plain array would call it again).
    Result<bool> all_rows_fit(PyObject *list, Py_ssize_t n) noexcept {
        for (Py_ssize_t r = 0; r < n; ++r) {
            PyRef row = PyRef::borrow(PyList_GetItem(list, r));
            if (!row)
                return PendingError::pass_through();
            if (!is_dict(Py_TYPE(row.get())))
                return false;
            Result<bool> fits = collect(row.get());
            if (!held.empty()) {
                PythonCall release(w); // the last references to replaced values may go here
                held.clear();
            }
            if (!fits || !fits.value())
                return fits;
        }
        return true;
    }
};

} // namespace

Result<bool> write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, const GridHeader &header,
                            Nesting at, bool converted) noexcept {
    const DumpOptions &opt = w.opt;
    const Layout layout = opt.multiline_mox ? Layout::MultiLine
                          : opt.has_indent  ? Layout::Indented
                                            : Layout::Compact;
    // Cells of converted rows count their conversion toward the nesting limit.
    const Nesting cell_at = converted ? Nesting{at.depth + 1, at.level + 2} : at.child();
    GridWriter g{w, header, cell_at, delimiter_text(opt.delimiter), {}, {}, {}};
    if (!g.cells.resize(header.keys.size()))
        return PendingError::out_of_memory();
    if (!header.order.empty() && !g.reordered.resize(header.keys.size()))
        return PendingError::out_of_memory();
    std::memcpy(g.separator_block, g.separator.data(), g.separator.size());
    if (opt.default_fn) {
        Result<bool> fit = g.all_rows_fit(list, n);
        if (!fit || !fit.value())
            return fit;
    }
    const uint64_t row_width = layout == Layout::MultiLine && !opt.has_indent ? 2 : opt.indent;
    const size_t start = w.buf.size();
    const size_t h = header.keys.size();
    // The cells detection read (no Python code has run since).
    PyObject *const *read =
        header.cells.size() == static_cast<size_t>(n) * h ? header.cells.data() : nullptr;

    w.buf.put('[');
    switch (layout) {
    case Layout::Compact:
        if (opt.row_count)
            g.write_count(n);
        w.buf.put(std::string_view(": "));
        g.write_keys(g.separator);
        break;
    case Layout::Indented:
        if (opt.row_count)
            g.write_count(n);
        w.buf.put(':');
        if (Status s = write_line_start(w, row_width, at.depth + 1); !s)
            return std::move(s.error());
        g.write_keys(g.separator);
        break;
    case Layout::MultiLine:
        g.write_count(n);
        w.buf.put(std::string_view("]{"));
        g.write_keys(",");
        w.buf.put(std::string_view("}:"));
        break;
    }
    for (Py_ssize_t r = 0; r < n; ++r) {
        // A list shortened by a conversion method ends the call with IndexError.
        PyObject *row = PyList_GetItem(list, r);
        if (!row)
            return PendingError::pass_through();
        if (r + 2 < n) { // a hint only: the row is fetched again in its turn
            if (PyObject *ahead = PyList_GetItem(list, r + 2))
                __builtin_prefetch(ahead);
            else
                PyErr_Clear();
        }
        if (!is_dict(Py_TYPE(row))) {
            w.rewind(start);
            return false;
        }
        if (w.buf.failed()) [[unlikely]]
            return PendingError::out_of_memory();
        if (layout == Layout::Compact) {
            w.buf.put(std::string_view("; "));
        } else if (Status s = write_line_start(w, row_width, at.depth + 1); !s) {
            return std::move(s.error());
        }
        Result<bool> fits =
            g.write_row(row, r + 1 == n, read ? read + static_cast<size_t>(r) * h : nullptr);
        if (!g.held.empty()) {
            PythonCall release(w); // the last references to replaced values may go here
            g.held.clear();
        }
        if (!fits)
            return std::move(fits.error());
        if (!fits.value()) {
            w.rewind(start);
            return false;
        }
    }
    if (layout == Layout::Compact) {
        w.buf.put(std::string_view(" ]"));
    } else if (layout == Layout::Indented) {
        if (Status s = write_line_start(w, row_width, at.depth); !s)
            return std::move(s.error());
        w.buf.put(']');
    }
    return true;
}

} // namespace plav
