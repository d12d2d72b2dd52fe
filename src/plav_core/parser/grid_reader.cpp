// The Mox Grid reader: a header of keys read once, then one dict per row. The
// list is created at the row count estimated from the index; the estimate is a
// hint only: rows beyond it are appended, unused slots are cut off.
#include <algorithm>
#include <cstring>

#include "parser/error.hpp"
#include "parser/fast_number.hpp"
#include "parser/index_parser.hpp"
#include "parser/string_cache.hpp"
#include "py_ref.hpp"
#include "simd/whitespace.hpp"

namespace plav {
using syntax::ends_bare_cell;

// The message names the limit, one million rows.
static_assert(syntax::MAX_GRID_ROWS == 1000000);
constexpr const char *TOO_MANY_ROWS = "Mox Grid exceeds 1M rows limit";
using syntax::is_delimiter;

// One pass over the opening and closing brackets and braces and the semicolons
// (five sorted lists, merged): a stack of open containers attributes each
// semicolon to the innermost one and each close to the top of the stack. Every
// entry counts, also inside quoted text, which is why this is only a hint.
bool FastIndexParser::build_bracket_info() {
    const PosList &ob = idx_.open_brackets, &obr = idx_.open_braces, &cb = idx_.close_brackets,
                  &cbr = idx_.close_braces, &sc = idx_.semicolons;
    bracket_info_.clear();
    if (!bracket_info_.resize(ob.size()))
        return false;
    // Open bracket index, or -1 for a brace; never deeper than the openers.
    Vec<int64_t> stack;
    if (!stack.reserve(ob.size() + obr.size()))
        return false;
    bracket_info_built_ = true;
    size_t i1 = 0, i2 = 0, i3 = 0, i4 = 0, i5 = 0;
    constexpr uint64_t NONE = UINT64_MAX;
    for (;;) {
        const uint64_t p1 = i1 < ob.size() ? ob[i1] : NONE;
        const uint64_t p2 = i2 < obr.size() ? obr[i2] : NONE;
        const uint64_t p3 = i3 < cb.size() ? cb[i3] : NONE;
        const uint64_t p4 = i4 < cbr.size() ? cbr[i4] : NONE;
        const uint64_t p5 = i5 < sc.size() ? sc[i5] : NONE;
        const uint64_t m = std::min({p1, p2, p3, p4, p5});
        if (m == NONE)
            break;
        if (m == p1) {
            (void)stack.push_back(static_cast<int64_t>(i1++)); // room reserved above
        } else if (m == p2) {
            (void)stack.push_back(-1);
            ++i2;
        } else if (m == p3 || m == p4) {
            if (m == p3)
                ++i3;
            else
                ++i4;
            if (!stack.empty()) {
                const int64_t t = stack.back();
                stack.pop_back();
                if (t >= 0)
                    bracket_info_[t].close = m;
            }
        } else {
            ++i5;
            if (!stack.empty() && stack.back() >= 0) {
                BracketInfo &b = bracket_info_[stack.back()];
                ++b.semicolons;
                b.last_semicolon = m;
            }
        }
    }
    return true;
}

// Rows after the header: semicolons directly inside the grid's bracket (less the
// header's own), plus one when anything but trim bytes follows the last of them
// before the grid's end (a last row without ';').
uint64_t FastIndexParser::count_mox_grid_rows(size_t bracket, size_t start) {
    if (!bracket_info_built_ && !build_bracket_info())
        return NO_MEMORY;
    if (bracket >= bracket_info_.size())
        return 0;
    const BracketInfo &b = bracket_info_[bracket];
    const uint64_t end = std::min<uint64_t>(b.close, len_);
    const uint64_t counted = b.semicolons > 0 ? b.semicolons - 1 : 0;
    size_t tail =
        (b.semicolons >= 2 && b.last_semicolon + 1 > start) ? b.last_semicolon + 1 : start;
    while (tail < end && is_trim_byte(in_[tail]))
        ++tail;
    return counted + (tail < end ? 1 : 0);
}

// A second, exact-minded count for when the estimate passes the row limit: the
// index counts semicolons inside quoted strings and bare cells too, which must
// not make a valid grid fail. One pass over the row section's bytes: at the
// grid's own level quoted strings and bare cells (up to an unescaped delimiter,
// ';' or ']') are skipped whole and comments are skipped; nested values are
// skipped by their brackets and braces (a closer that does not match the
// innermost opener is ignored, strings inside are skipped). Odd nested content
// can only make this count lower, and the reader checks the limit again as it
// reads rows.
uint64_t FastIndexParser::recount_mox_grid_rows(size_t start) {
    Vec<uint8_t> open; // the openers of the nested value being skipped
    uint64_t rows = 0;
    bool content = false; // something other than whitespace since the last ';'
    size_t p = start;
    auto skip_string = [&] {
        for (++p; p < len_; ++p) {
            if (in_[p] == '\\')
                ++p;
            else if (in_[p] == '"')
                break;
        }
        ++p;
    };
    while (p < len_) {
        const uint8_t c = in_[p];
        if (!open.empty()) {
            if (c == '"') {
                skip_string();
                continue;
            }
            if (c == '[' || c == '{') {
                if (!open.push_back(c))
                    return NO_MEMORY;
            } else if ((c == ']' && open.back() == '[') || (c == '}' && open.back() == '{'))
                open.pop_back();
            ++p;
            continue;
        }
        if (c == ']')
            break;
        if (c == ';') {
            ++rows;
            content = false;
            ++p;
        } else if (is_trim_byte(c) || is_delimiter(c)) {
            ++p;
        } else if (c == '/' && p + 1 < len_ && (in_[p + 1] == '*' || in_[p + 1] == '/')) {
            syntax::skip_whitespace_and_comments(in_, len_, p, false);
        } else if (c == '"') {
            content = true;
            skip_string();
        } else if (c == '[' || c == '{') {
            content = true;
            if (!open.push_back(c))
                return NO_MEMORY;
            ++p;
        } else {
            content = true;
            while (p < len_ && !ends_bare_cell(in_[p]))
                p += in_[p] == '\\' ? 2 : 1;
        }
    }
    return rows + (content ? 1 : 0);
}

// Whitespace between rows and before cells. In a tab-delimited grid a tab is a
// cell delimiter, never skipped here; comments are skipped as everywhere.
void FastIndexParser::skip_row_ws(bool tab_delimited) noexcept {
    if (!tab_delimited) {
        skip_ws();
        return;
    }
    syntax::skip_whitespace_and_comments(in_, len_, pos_, true);
}

PyObject *FastIndexParser::read_header_key() {
    const size_t a = pos_;
    if (in_[a] == '"') {
        const PosList &q = idx_.quotes;
        const size_t i = seek(q, quotes_, a);
        if (i + 1 >= q.size())
            return cut_short(a);
        const size_t e = q[i + 1];
        if (std::memchr(in_ + a + 1, '\\', e - a - 1))
            return parse_string();
        quotes_.i = i + 2;
        pos_ = e + 1;
        const KeyString k = get_key_string(in_ + a + 1, e - a - 1);
        if (k.str)
            return k.str;
        if (k.invalid_utf8)
            return fail(parse_error("Invalid UTF-8 in header", a + 1));
        return fail_pass_through();
    }
    size_t p = a;
    while (p < len_ && !ends_bare_cell(in_[p]))
        ++p;
    if (p >= len_ && partial_)
        return cut_short(len_);
    pos_ = p;
    size_t e = p;
    while (e > a && is_trim_byte(in_[e - 1]))
        --e;
    const KeyString k = get_key_string(in_ + a, e - a);
    if (k.str)
        return k.str;
    if (k.invalid_utf8)
        return fail(parse_error("Invalid UTF-8 in header", a));
    return fail_pass_through();
}

// A cell that starts with f, n, t, I or N is a word (bare text) unless a literal
// or number can be read there and what follows it, after spaces, could not
// continue a word.
bool FastIndexParser::cell_is_bare_word() {
    return syntax::cell_starts_word(in_, len_, pos_);
}

// A cell that starts with '-' or a digit: a number, or bare text when the number
// token is not a valid number or a byte that continues a word follows it.
PyObject *FastIndexParser::read_number_cell() {
    const size_t start = pos_;
    PyObject *v = parse_number(true); // text already when the token is no number
    if (!v)
        return v;
    size_t q = pos_;
    while (q < len_ && in_[q] == ' ')
        ++q;
    if (q < len_ && syntax::continues_word(in_[q])) {
        Py_DECREF(v);
        pos_ = start;
        return read_bare_cell();
    }
    return v;
}

PyObject *FastIndexParser::read_bare_cell() {
    const size_t s = pos_;
    size_t p = s;
    bool escaped = false;
    while (p < len_) {
        const uint8_t c = in_[p];
        if (ends_bare_cell(c))
            break;
        if (c == '\\') {
            if (p + 1 >= len_)
                return cut_short(len_);
            escaped = true;
            p += 2;
            continue;
        }
        ++p;
    }
    if (p >= len_ && partial_)
        return cut_short(len_); // the cell may go on
    pos_ = p;
    size_t e = p;
    while (e > s && is_trim_byte(in_[e - 1]))
        --e;
    if (escaped) {
        Vec<uint8_t> &buf = escape_buf_;
        buf.clear();
        if (!buf.reserve(e - s))
            return fail_memory();
        for (size_t i = s; i < e; ++i) { // at most one byte each: room reserved above
            if (in_[i] == '\\') {
                if (i + 1 < e)
                    (void)buf.push_back(in_[++i]);
            } else {
                (void)buf.push_back(in_[i]);
            }
        }
        return decode_escape_buf(s);
    }
    if (e == s)
        return PyRef::borrow(Py_None).release();
    const char *t = reinterpret_cast<const char *>(in_ + s);
    const Py_ssize_t n = static_cast<Py_ssize_t>(e - s);
    PyObject *r = is_ascii(in_ + s, e - s) ? PyUnicode_DecodeASCII(t, n, nullptr)
                                           : PyUnicode_DecodeUTF8(t, n, nullptr);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return fail_pass_through();
        PyErr_Clear();
        return fail(parse_error("Invalid UTF-8 in cell", s));
    }
    return r;
}

// Entered with pos_ at the grid's ':'; `open` is its '[' (already counted in the
// nesting depth by the array reader); `rows_given` is the row count written
// before the ':', UINT64_MAX when there is none.
//
// When the input ends inside the grid (partial mode) the grid holds its complete
// rows, those ended by ';' or ']'; a header still being written makes it empty.
PyObject *FastIndexParser::parse_mox_grid_indexed(const Schema *schema, size_t open,
                                                  uint64_t rows_given) {
    const size_t bracket = seek(idx_.open_brackets, open_brackets_, open);
    auto empty_at_end = [&]() -> PyObject * {
        if (failed_)
            return nullptr;
        --depth_;
        PyObject *r = PyList_New(0);
        return r ? r : fail(PendingError::memory_error("Failed to create list"));
    };
    auto check_count = [&](uint64_t rows) -> bool {
        if (!strict_ || rows_given == UINT64_MAX || rows == rows_given)
            return true;
        fail(ParseError{"Mox Grid has " + std::to_string(rows) + " rows, expected " +
                            std::to_string(rows_given),
                        open});
        return false;
    };
    ++pos_; // the ':'
    skip_ws();
    if (pos_ >= len_ && partial_)
        return cut_short(pos_), empty_at_end();
    if (pos_ < len_ && in_[pos_] == ']')
        return check_count(0) ? close_empty_list(ErrorKind::InternalFailure) : nullptr;

    // Header.
    Vec<PyRef> keys;
    bool tab_delimited = false;
    for (;;) {
        skip_ws();
        if (pos_ >= len_)
            return cut_short(pos_), empty_at_end();
        if (in_[pos_] == ';')
            break;
        PyRef key = PyRef::steal(read_header_key());
        if (!key || at_end_)
            return empty_at_end();
        if (!keys.push_back(std::move(key)))
            return fail_memory();
        skip_spaces();
        if (pos_ >= len_)
            return cut_short(len_), empty_at_end();
        const uint8_t c = in_[pos_];
        if (is_delimiter(c)) {
            tab_delimited |= c == '\t';
            ++pos_;
            continue;
        }
        if (c == ';')
            break;
        return fail(invalid_char(c, pos_));
    }
    ++pos_; // the header's ';'
    const size_t after_header = pos_;

    if (keys.empty()) { // no keys: only whitespace and comments may precede the ']'
        skip_ws();
        if (pos_ >= len_)
            return cut_short(pos_), empty_at_end();
        if (in_[pos_] != ']')
            return fail(invalid_char(in_[pos_], pos_));
        return check_count(0) ? close_empty_list(ErrorKind::MemoryError) : nullptr;
    }

    uint64_t estimate = count_mox_grid_rows(bracket, after_header);
    if (estimate == NO_MEMORY)
        return fail_memory();
    if (estimate > MAX_GRID_ROWS) {
        estimate = recount_mox_grid_rows(after_header);
        if (estimate == NO_MEMORY)
            return fail_memory();
        if (estimate > MAX_GRID_ROWS)
            return fail(parse_error(TOO_MANY_ROWS, after_header));
    }
    const Py_ssize_t slots = static_cast<Py_ssize_t>(estimate);
    PyRef result = PyRef::steal(PyList_New(slots));
    if (!result)
        return fail(PendingError::memory_error("Failed to create list"));
    Py_ssize_t filled = 0;
    const size_t nkeys = keys.size();

    for (;;) {
        skip_row_ws(tab_delimited);
        if (pos_ >= len_) {
            cut_short(pos_);
            break;
        }
        if (in_[pos_] == ']')
            break;
        if (static_cast<uint64_t>(filled) >= MAX_GRID_ROWS)
            return fail(parse_error(TOO_MANY_ROWS, after_header));
        const size_t row_start = pos_;
        PyRef row = PyRef::steal(PyDict_New());
        if (!row)
            return fail(PendingError::memory_error("Failed to create row dict"));
        size_t i = 0;            // the key whose cell comes next
        uint64_t delimiters = 0; // the row's cells are one more
        for (;;) {
            skip_spaces();
            if (pos_ >= len_) {
                cut_short(len_);
                break;
            }
            uint8_t c = in_[pos_];
            if (c == ';' || c == ']')
                break; // a short row
            skip_row_ws(tab_delimited);
            if (pos_ >= len_) {
                cut_short(pos_);
                break;
            }
            c = in_[pos_];
            PyObject *cell;
            if ((c >= '0' && c <= '9') || c == '-')
                cell = read_number_cell();
            else if ((syntax::starts_literal(c) || c == 'I' || c == 'N') && cell_is_bare_word())
                cell = read_bare_cell();
            else
                cell = read_value_or_bare_cell(schema);
            PyRef value = PyRef::steal(cell);
            if (!value || at_end_)
                break;       // the row is left out when the input ended inside it
            if (i < nkeys) { // beyond the keys only while counting a strict row's cells
                if (PyDict_SetItem(row.get(), keys[i].get(), value.get()) < 0)
                    return fail(PendingError::runtime_error("Row dict insertion failed"));
                ++i;
            }
            skip_spaces();
            if (pos_ >= len_) {
                cut_short(len_);
                break;
            }
            c = in_[pos_];
            if (is_delimiter(c)) {
                ++delimiters;
                if (i < nkeys) {
                    ++pos_;
                    continue;
                }
                // A delimiter after the last key's cell is ignored when only spaces
                // lead from it to the row's end.
                size_t q = pos_ + 1;
                while (q < len_ && in_[q] == ' ')
                    ++q;
                if (q < len_ && (in_[q] == ';' || in_[q] == ']')) {
                    pos_ = q;
                    break;
                }
                if (strict_) { // more cells than keys: read on to count them
                    ++pos_;
                    continue;
                }
                if (q >= len_ && partial_) {
                    cut_short(len_);
                    break;
                }
                return fail(invalid_char(c, pos_));
            }
            if (c == ';' || c == ']')
                break;
            return fail(invalid_char(c, pos_));
        }
        if (failed_)
            return nullptr;
        if (at_end_)
            break;
        if (strict_ && delimiters + 1 != nkeys)
            return fail(ParseError{"Mox Grid row has " + std::to_string(delimiters + 1) +
                                       " cells, expected " + std::to_string(nkeys),
                                   row_start});
        for (; i < nkeys; ++i)
            if (PyDict_SetItem(row.get(), keys[i].get(), Py_None) < 0)
                return fail(PendingError::runtime_error("Row dict insertion failed"));
        if (in_[pos_] == ';')
            ++pos_; // a ']' stays for the row loop
        if (filled < slots) {
            PyList_SetItem(result.get(), filled, row.release()); // steals the row
        } else if (PyList_Append(result.get(), row.get()) < 0) {
            return fail(PendingError::memory_error("Failed to create list"));
        }
        ++filled;
    }
    if (failed_)
        return nullptr;
    if (!at_end_) {
        if (!check_count(static_cast<uint64_t>(filled)))
            return nullptr;
        ++pos_; // the grid's ']'
    }
    --depth_;
    if (filled < slots && PyList_SetSlice(result.get(), filled, slots, nullptr) < 0)
        return fail_pass_through();
    return result.release();
}

} // namespace plav
