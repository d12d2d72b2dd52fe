// The recursive reader over the structural index: one FastIndexParser per loads
// call. Values are returned as new references; a failure returns nullptr and
// leaves its error value in the parser, which loads raises at the boundary. The
// hot recursion thus passes one pointer instead of a Result.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "memory.hpp"
#include "parser/error.hpp"
#include "parser/field_descriptor.hpp"
#include "parser/string_cache.hpp"
#include "result.hpp"
#include "simd/unicode_escapes.hpp"
#include "simd/whitespace.hpp"
#include "syntax.hpp"
#include "types/structural_index.hpp"

namespace plav {

// Arrays, objects and grids open at once beyond this fail; the root is level 1.
inline constexpr uint32_t MAX_NESTING_DEPTH = syntax::MAX_READ_DEPTH;
inline constexpr uint64_t MAX_GRID_ROWS = syntax::MAX_GRID_ROWS;

using syntax::is_trim_byte;

class FastIndexParser {
  public:
    // `input`, `index` and `items` (empty; left empty) are borrowed for the
    // parser's lifetime.
    FastIndexParser(const uint8_t *input, size_t len, const StructuralIndex &index,
                    Vec<PyRef> &items) noexcept;
    FastIndexParser(const FastIndexParser &) = delete;
    FastIndexParser &operator=(const FastIndexParser &) = delete;

    // The whole document: one value between whitespace and comments. New
    // reference, or nullptr with the error in take_error(). `schema` is borrowed.
    PyObject *parse_document(const Schema *schema) noexcept;
    // One value from the start of the input, which must begin at a value or at
    // whitespace before one. With `whole`, only whitespace and comments may follow
    // it; otherwise what follows is not looked at. position() is then just past
    // the value. nullptr with no error taken (failed() false) means the input
    // ended before anything could be kept.
    PyObject *parse_first_value(const Schema *schema, bool whole) noexcept;
    Error take_error() noexcept { return std::move(error_); }

    // Reading modes, set before parsing. `partial`: input that ends early is read
    // as far as it is complete. `strict`: grid rows must have one cell per key and
    // a given row count must match. `origin`: where in_[0] stands in the caller's
    // text; error positions are reported relative to the text. `window`: the input
    // is a window that the text goes on beyond (read partially, to learn whether
    // the value ends inside it).
    void set_modes(bool partial, bool strict, size_t origin = 0, bool window = false) noexcept {
        partial_ = partial || window;
        strict_ = strict;
        origin_ = origin;
        window_ = window;
    }
    // Whether the input ran out while a value was still being read (partial mode).
    bool reached_end() const noexcept { return at_end_; }
    bool failed() const noexcept { return failed_; }
    size_t position() const noexcept { return pos_; }

  private:
    // A cursor per index list: the first entry not yet passed. Each moves forward
    // only, to the first entry at or after the position a lookup asks for, so every
    // lookup costs O(1) amortised.
    struct Cursor {
        size_t i = 0;
    };

    PyObject *parse_value(const Schema *schema);
    // The value at pos_ (no whitespace there), picked by its first byte. A byte
    // that starts no value is an error, or in a grid cell (CELL) bare text.
    template <bool CELL> PyObject *value_at(const Schema *schema);
    PyObject *parse_object();
    PyObject *parse_object_schema(const Schema &schema);
    PyObject *parse_array(const Schema *schema);
    PyObject *parse_array_items(const Schema *schema);
    // At the ']' of an array or grid with nothing in it: consumes it and leaves the
    // nesting level. New reference, or nullptr with an `on_failure` error set.
    PyObject *close_empty_list(ErrorKind on_failure) {
        ++pos_;
        --depth_;
        PyObject *r = PyList_New(0);
        if (!r)
            return fail(PendingError{on_failure, "Failed to create list"});
        return r;
    }
    enum class Next : uint8_t { Element, Close, Failed };
    Next after_array_element();
    PyObject *parse_string();
    // `open`: the string has no closing quote in the input (partial mode), and
    // control bytes are kept as the quick path of a closed string keeps them.
    PyObject *parse_string_with_escapes(size_t start, bool open = false);
    // The rest of a string from its first \u escape that stands for a non-ASCII
    // character, at `from` (escape_buf_ holding the text before it), written as
    // UTF-16: CPython builds a str from that several times faster than from UTF-8.
    // Only closed strings of valid escapes and well-formed raw text within U+FFFF
    // are read so; for anything else `declined` is set and nothing is kept, and the
    // caller goes on reading bytes, whose errors and partial reading stand.
    PyObject *string_as_utf16(size_t from, bool &declined);
    // escape_buf_ (unescaped text) as a str; invalid UTF-8 is an error at `at`,
    // where the string or cell starts.
    PyObject *decode_escape_buf(size_t at);
    PyObject *parse_key();
    // `in_cell`: a token that is not a valid number is read as a bare text cell.
    PyObject *parse_number(bool in_cell = false);
    PyObject *parse_number_slow(bool in_cell);
    // `r`, a new number object, or when its constructor failed nullptr with the
    // error set (the constructor's Python error cleared).
    PyObject *number_or_fail(PyObject *r, const char *what, size_t start);
    PyObject *parse_mox_grid_indexed(const Schema *schema, size_t open, uint64_t rows_given);
    // Partial reading: the input ends where more was needed. In partial mode this
    // marks the read as cut short (nothing is kept from the value being read);
    // otherwise it is the "Unexpected end of input" error at `at`.
    PyObject *cut_short(size_t at);
    // After a reader returned nullptr: true when that was the input ending (partial
    // mode), so the caller keeps what it has complete and returns it.
    bool ended() const noexcept { return at_end_ && !failed_; }
    // The open string's text so far, without a cut UTF-8 sequence at its end.
    PyObject *finish_cut_string(size_t at);
    // Whether in_[pos_, len_) could still grow into a number (partial mode).
    bool number_may_grow() const noexcept;
    bool expect_colon_after_key(size_t key_end);

    // At a '{': one nesting level deeper and past the brace, with the object's
    // dict. New reference, or nullptr with the error set.
    PyObject *open_object() {
        if (++depth_ > MAX_NESTING_DEPTH)
            return fail(parse_error("Maximum nesting depth exceeded", pos_));
        PyObject *dict = PyDict_New();
        if (!dict)
            return fail(PendingError::memory_error("Failed to create dict"));
        ++pos_;
        return dict;
    }

    // A member's colon through the index: the first colon at or after `from`, which
    // must come before the next ',' or '}'; pos_ moves past it. False with the
    // error (reported at `at`) set when there is none.
    bool seek_member_colon(size_t from, size_t at) {
        const PosList &cl = idx_.colons;
        const size_t ci = seek(cl, colons_, from);
        const size_t mi = seek(idx_.commas, commas_, from);
        const size_t bi = seek(idx_.close_braces, close_braces_, from);
        if (ci >= cl.size()) {
            // Partial mode: a ',' or '}' already there means the colon never comes,
            // which is the error of the whole text.
            if (partial_ && !window_ && (mi < idx_.commas.size() || bi < idx_.close_braces.size()))
                fail(unexpected_eof(at));
            else
                cut_short(at);
            return false;
        }
        const uint64_t colon = cl[ci];
        if ((mi < idx_.commas.size() && idx_.commas[mi] < colon) ||
            (bi < idx_.close_braces.size() && idx_.close_braces[bi] < colon)) {
            fail(expected_char(':', at));
            return false;
        }
        colons_.i = ci + 1;
        pos_ = colon + 1;
        return true;
    }
    // -1: an error is set; -2: the input ends inside the escape (partial mode).
    int parse_unicode_escape(size_t &p);
    int parse_unicode_escape_slow(size_t &p);

    // Grid helpers.
    PyObject *read_header_key();
    PyObject *read_bare_cell();
    PyObject *read_value_or_bare_cell(const Schema *schema);
    bool cell_is_bare_word();
    PyObject *read_number_cell();
    // Row counts of a grid; NO_MEMORY when the memory to count cannot be had.
    static constexpr uint64_t NO_MEMORY = UINT64_MAX;
    uint64_t count_mox_grid_rows(size_t bracket, size_t start);
    uint64_t recount_mox_grid_rows(size_t start);
    void skip_row_ws(bool tab_delimited) noexcept;
    bool skip_quoted_key(size_t &p);

    // Entry `c` of `list` at or after `p` (list.size() when none); advances `c`.
    static size_t seek(const PosList &list, Cursor &c, uint64_t p) noexcept {
        size_t i = c.i;
        const size_t n = list.size();
        while (i < n && list[i] < p)
            ++i;
        c.i = i;
        return i;
    }

    // Whitespace and comments between tokens. A token right at pos_ costs one
    // compare; short runs (a line end and indentation) go byte by byte, long runs
    // to the vector skipper. A byte-order mark is only skipped at offset 0, which
    // the document reader handles.
    void skip_ws() noexcept {
        if (pos_ < len_) {
            const uint8_t c = in_[pos_];
            if (c > 0x20 && c != '/')
                return;
            // One space before a token (": " and ", " of compact output).
            if (c == ' ' && pos_ + 1 < len_ && in_[pos_ + 1] > 0x20 && in_[pos_ + 1] != '/') {
                ++pos_;
                return;
            }
        }
        skip_ws_run();
    }
    void skip_ws_run() noexcept;
    void skip_spaces() noexcept {
        while (pos_ < len_ && in_[pos_] == ' ')
            ++pos_;
    }

    // Failure helpers: store the error, return nullptr.
    PyObject *fail(ParseError e);
    PyObject *fail(PendingError e);
    PyObject *fail_pass_through();
    PyObject *fail_number(const char *what, size_t start);
    PyObject *fail_memory();

    const uint8_t *in_;
    size_t len_;
    const StructuralIndex &idx_;
    size_t pos_ = 0;
    uint32_t depth_ = 0;
    bool avx2_ = false;
    StringCache *key_cache_ = nullptr; // this thread's, fetched at the first key
    Cursor quotes_, commas_, colons_, semicolons_, open_braces_, close_braces_, open_brackets_,
        close_brackets_;
    Vec<uint8_t> escape_buf_; // reused by every string with escapes
    Vec<uint16_t> utf16_buf_; // reused by every string read as UTF-16
    UnicodeEscapeFn unicode_escapes_ = nullptr;
    // Elements of the arrays being read that were not pre-sized, innermost last;
    // each array takes its own tail into a list of exact size when it closes.
    Vec<PyRef> &items_;
    // Per opening bracket, built once per document at the first grid: where its
    // container closes and the semicolons directly inside it. Grids nested in
    // grids then cost no repeated walks over each other's index entries.
    struct BracketInfo {
        uint64_t close = UINT64_MAX; // UINT64_MAX: never closed
        uint64_t last_semicolon = 0;
        uint64_t semicolons = 0;
    };
    // False when the memory for it cannot be had.
    bool build_bracket_info();
    Vec<BracketInfo> bracket_info_;
    bool bracket_info_built_ = false;
    Error error_;
    bool partial_ = false;
    bool strict_ = false;
    bool at_end_ = false; // partial mode: the input ran out inside a value
    bool failed_ = false; // an error is set
    bool window_ = false;
    size_t origin_ = 0;
};

} // namespace plav
