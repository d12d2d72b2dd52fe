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
using syntax::is_delimiter;

// One pass over the opening and closing brackets and braces and the semicolons
// (five sorted lists, merged): a stack of open containers attributes each
// semicolon to the innermost one and each close to the top of the stack. Every
// entry counts, also inside quoted text, which is why this is only a hint.
void FastIndexParser::build_bracket_info() {
    bracket_info_built_ = true;
    const PosList &ob = idx_.open_brackets, &obr = idx_.open_braces, &cb = idx_.close_brackets,
                  &cbr = idx_.close_braces, &sc = idx_.semicolons;
    bracket_info_.assign(ob.size(), BracketInfo{});
    std::vector<int64_t> stack; // open bracket index, or -1 for a brace
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
            stack.push_back(static_cast<int64_t>(i1++));
        } else if (m == p2) {
            stack.push_back(-1);
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
}

// Rows after the header: semicolons directly inside the grid's bracket (less the
// header's own), plus one when anything but trim bytes follows the last of them
// before the grid's end (a last row without ';').
uint64_t FastIndexParser::count_mox_grid_rows(size_t bracket, size_t start) {
    if (!bracket_info_built_)
        build_bracket_info();
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
    std::vector<uint8_t> open; // the openers of the nested value being skipped
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
            if (c == '[' || c == '{')
                open.push_back(c);
            else if ((c == ']' && open.back() == '[') || (c == '}' && open.back() == '{'))
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
            const size_t save = pos_;
            pos_ = p;
            skip_whitespace_bytes(in_, len_, pos_);
            p = pos_;
            pos_ = save;
        } else if (c == '"') {
            content = true;
            skip_string();
        } else if (c == '[' || c == '{') {
            content = true;
            open.push_back(c);
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
    while (pos_ < len_) {
        const uint8_t c = in_[pos_];
        if (c == ' ' || c == '\n' || c == '\r') {
            ++pos_;
        } else if (c == '/' && pos_ + 1 < len_ && (in_[pos_ + 1] == '*' || in_[pos_ + 1] == '/')) {
            // One comment by the shared skipper's rules, but skipped here: the
            // shared skipper would go on to swallow a tab that follows it.
            size_t p = pos_;
            if (in_[p + 1] == '*') {
                if (p + 3 >= len_) {
                    pos_ = len_;
                    return;
                }
                size_t i = p + 2;
                while (i + 1 < len_ && !(in_[i] == '*' && in_[i + 1] == '/'))
                    ++i;
                pos_ = i + 1 < len_ ? i + 2 : len_;  // unterminated: the rest is comment
            } else {
                p += 2;
                while (p < len_ && in_[p] != '\n' && in_[p] != '\r')
                    ++p;
                if (p >= len_)
                    pos_ = len_;
                else if (in_[p] == '\r' && p + 1 < len_ && in_[p + 1] == '\n')
                    pos_ = p + 2;
                else
                    pos_ = p + 1;
            }
        } else {
            return;
        }
    }
}

PyObject *FastIndexParser::read_header_key() {
    const size_t a = pos_;
    if (in_[a] == '"') {
        const PosList &q = idx_.quotes;
        const size_t i = seek(q, quotes_, a);
        if (i + 1 >= q.size())
            return fail(unexpected_eof(a));
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
                return fail(unexpected_eof(len_));
            escaped = true;
            p += 2;
            continue;
        }
        ++p;
    }
    pos_ = p;
    size_t e = p;
    while (e > s && is_trim_byte(in_[e - 1]))
        --e;
    if (escaped) {
        std::vector<uint8_t> &buf = escape_buf_;
        buf.clear();
        for (size_t i = s; i < e; ++i) {
            if (in_[i] == '\\') {
                if (i + 1 < e)
                    buf.push_back(in_[++i]);
            } else {
                buf.push_back(in_[i]);
            }
        }
        return decode_escape_buf(s);
    }
    if (e == s)
        return new_ref(Py_None).release();
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
// nesting depth by the array reader).
PyObject *FastIndexParser::parse_mox_grid_indexed(const Schema *schema, size_t open) {
    const size_t bracket = seek(idx_.open_brackets, open_brackets_, open);
    ++pos_; // the ':'
    skip_ws();
    if (pos_ < len_ && in_[pos_] == ']')
        return close_empty_list(ErrorKind::InternalFailure);

    // Header.
    std::vector<PyRef> keys;
    bool tab_delimited = false;
    for (;;) {
        skip_ws();
        if (pos_ >= len_)
            return fail(unexpected_eof(pos_));
        if (in_[pos_] == ';')
            break;
        PyRef key = PyRef::steal(read_header_key());
        if (!key)
            return nullptr;
        keys.push_back(std::move(key));
        skip_spaces();
        if (pos_ >= len_)
            return fail(unexpected_eof(len_));
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
            return fail(unexpected_eof(pos_));
        if (in_[pos_] != ']')
            return fail(invalid_char(in_[pos_], pos_));
        return close_empty_list(ErrorKind::MemoryError);
    }

    uint64_t estimate = count_mox_grid_rows(bracket, after_header);
    if (estimate > MAX_GRID_ROWS) {
        estimate = recount_mox_grid_rows(after_header);
        if (estimate > MAX_GRID_ROWS)
            return fail(parse_error("Mox Grid exceeds 1M rows limit", after_header));
    }
    const Py_ssize_t slots = static_cast<Py_ssize_t>(estimate);
    PyRef result = PyRef::steal(PyList_New(slots));
    if (!result)
        return fail(PendingError::memory_error("Failed to create list"));
    Py_ssize_t filled = 0;
    const size_t nkeys = keys.size();

    for (;;) {
        skip_row_ws(tab_delimited);
        if (pos_ >= len_)
            return fail(unexpected_eof(pos_));
        if (in_[pos_] == ']')
            break;
        if (static_cast<uint64_t>(filled) >= MAX_GRID_ROWS)
            return fail(parse_error("Mox Grid exceeds 1M rows limit", after_header));
        PyRef row = PyRef::steal(PyDict_New());
        if (!row)
            return fail(PendingError::memory_error("Failed to create row dict"));
        size_t i = 0; // the key whose cell comes next
        for (;;) {
            skip_spaces();
            if (pos_ >= len_)
                return fail(unexpected_eof(len_));
            uint8_t c = in_[pos_];
            if (c == ';' || c == ']')
                break; // a short row
            skip_row_ws(tab_delimited);
            if (pos_ >= len_)
                return fail(unexpected_eof(pos_));
            c = in_[pos_];
            PyObject *cell;
            if ((c >= '0' && c <= '9') || c == '-')
                cell = read_number_cell();
            else if ((syntax::starts_literal(c) || c == 'I' || c == 'N') && cell_is_bare_word())
                cell = read_bare_cell();
            else
                cell = read_value_or_bare_cell(schema);
            PyRef value = PyRef::steal(cell);
            if (!value)
                return nullptr;
            if (PyDict_SetItem(row.get(), keys[i].get(), value.get()) < 0)
                return fail(PendingError::runtime_error("Row dict insertion failed"));
            ++i;
            skip_spaces();
            if (pos_ >= len_)
                return fail(unexpected_eof(len_));
            c = in_[pos_];
            if (is_delimiter(c)) {
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
                return fail(invalid_char(c, pos_));
            }
            if (c == ';' || c == ']')
                break;
            return fail(invalid_char(c, pos_));
        }
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
    ++pos_; // the grid's ']'
    --depth_;
    if (filled < slots && PyList_SetSlice(result.get(), filled, slots, nullptr) < 0)
        return fail_pass_through();
    return result.release();
}

} // namespace plav
