// The value reader: the first byte of a value picks its reader; quotes, colons,
// commas and closing brackets are found through the structural index cursors.
// Frames of the recursive functions are kept small (no buffers on the stack) so
// that the 1024-level nesting limit fits in a 1 MiB thread stack.
#include "parser/index_parser.hpp"

#include <array>

#include <algorithm>
#include <cstring>
#include <string>

#include "cpu.hpp"
#include "parser/error.hpp"
#include "parser/fast_number.hpp"
#include "parser/string_cache.hpp"
#include "py_ref.hpp"
#include "simd/string_scan.hpp"
#include "simd/utf16.hpp"
#include "simd/whitespace.hpp"

namespace plav {
namespace {

inline bool is_digit(uint8_t c) {
    return static_cast<uint8_t>(c - '0') < 10;
}

uint32_t load_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint32_t load_u32(std::string_view word) {
    return load_u32(reinterpret_cast<const uint8_t *>(word.data()));
}

} // namespace

FastIndexParser::FastIndexParser(const uint8_t *input, size_t len, const StructuralIndex &index,
                                 Vec<PyRef> &items) noexcept
    : in_(input), len_(len), idx_(index), avx2_(cpu_features().avx2), items_(items) {}

__attribute__((cold, noinline)) PyObject *FastIndexParser::fail(ParseError e) {
    if (origin_ != 0) {
        // Messages that name the position end with it: it moves with the error.
        const std::string old = std::to_string(e.position);
        const std::string tail = " at position " + old;
        e.position += origin_;
        if (e.message.size() >= tail.size() &&
            e.message.compare(e.message.size() - tail.size(), tail.size(), tail) == 0)
            e.message.replace(e.message.size() - old.size(), old.size(),
                              std::to_string(e.position));
    }
    error_ = std::move(e);
    failed_ = true;
    return nullptr;
}
__attribute__((cold, noinline)) PyObject *FastIndexParser::fail(PendingError e) {
    error_ = std::move(e);
    failed_ = true;
    return nullptr;
}
// Memory of ours that cannot be had: MemoryError without a message.
__attribute__((cold, noinline)) PyObject *FastIndexParser::fail_memory() {
    error_ = PendingError::out_of_memory();
    failed_ = true;
    return nullptr;
}
__attribute__((cold, noinline)) PyObject *FastIndexParser::fail_pass_through() {
    error_ = PendingError::pass_through();
    failed_ = true;
    return nullptr;
}

__attribute__((cold, noinline)) PyObject *FastIndexParser::cut_short(size_t at) {
    if (!partial_)
        return fail(unexpected_eof(at));
    at_end_ = true;
    pos_ = len_;
    return nullptr;
}

// Number tokens as far as they go at the end of the input: -, digits without a
// superfluous leading zero, a fraction, an exponent; or the start of NaN, Inf or
// Infinity in any case.
bool FastIndexParser::number_may_grow() const noexcept {
    size_t p = pos_;
    size_t e = p;
    while (e < len_ && is_number_token_byte(in_[e]))
        ++e;
    if (e < len_)
        return false; // something after the token shows where it ends
    if (p < len_ && in_[p] == '-')
        ++p;
    if (p == len_)
        return true;
    if (!is_digit(in_[p])) {
        static const char *const words[] = {"nan", "infinity"};
        for (const char *w : words) {
            const size_t n = std::strlen(w);
            if (len_ - p > n)
                continue;
            size_t k = 0;
            while (p + k < len_ && static_cast<uint8_t>(in_[p + k] | 0x20) == w[k])
                ++k;
            if (p + k == len_)
                return true;
        }
        return false;
    }
    if (in_[p] == '0') {
        ++p;
    } else {
        while (p < len_ && is_digit(in_[p]))
            ++p;
    }
    if (p < len_ && in_[p] == '.') {
        ++p;
        while (p < len_ && is_digit(in_[p]))
            ++p;
    }
    if (p < len_ && (in_[p] == 'e' || in_[p] == 'E')) {
        ++p;
        if (p < len_ && (in_[p] == '+' || in_[p] == '-'))
            ++p;
        while (p < len_ && is_digit(in_[p]))
            ++p;
    }
    return p == len_;
}

void FastIndexParser::skip_ws_run() noexcept {
    // Indentation runs go 32 bytes at a time; the last few bytes of the input,
    // byte by byte. A comment goes to the shared skipper, which also skips
    // whatever whitespace and comments follow it.
    if (avx2_ && len_ - pos_ >= 32) {
        pos_ += whitespace_prefix_avx2(in_ + pos_, in_ + len_);
    }
    while (pos_ < len_ && is_whitespace(in_[pos_]))
        ++pos_;
    if (pos_ < len_ && in_[pos_] == '/') {
        skip_whitespace_bytes(in_, len_, pos_);
        if (partial_ && pos_ + 1 == len_ && in_[pos_] == '/')
            pos_ = len_; // a comment may be starting
    }
}

PyObject *FastIndexParser::parse_document(const Schema *schema) noexcept {
    pos_ = 0;
    skip_whitespace_simd(in_, len_, pos_); // may skip a byte-order mark
    if (partial_ && pos_ < len_) {
        if (len_ < 3 && pos_ == 0 && in_[0] == 0xEF && (len_ < 2 || in_[1] == 0xBB))
            pos_ = len_; // a byte-order mark still arriving
        else if (pos_ + 1 == len_ && in_[pos_] == '/')
            pos_ = len_;
    }
    if (pos_ >= len_)
        return fail(unexpected_eof(pos_));
    PyRef v = PyRef::steal(parse_value(schema));
    if (!v)
        return failed_ ? nullptr : fail(unexpected_eof(len_));
    if (at_end_)
        return v.release();
    skip_ws();
    if (pos_ < len_)
        return fail(parse_error("Trailing content after document", pos_));
    return v.release();
}

PyObject *FastIndexParser::parse_first_value(const Schema *schema, bool whole) noexcept {
    pos_ = 0;
    PyRef v = PyRef::steal(parse_value(schema));
    if (!v || at_end_ || !whole)
        return v.release();
    skip_ws();
    if (pos_ < len_)
        return fail(parse_error("Trailing content after document", pos_));
    return v.release();
}

PyObject *FastIndexParser::parse_value(const Schema *schema) {
    skip_ws();
    if (__builtin_expect(pos_ >= len_, 0))
        return cut_short(pos_);
    return value_at<false>(schema);
}

template <bool CELL> inline PyObject *FastIndexParser::value_at(const Schema *schema) {
    const uint8_t b = in_[pos_];
    switch (b) {
    case '"':
        return parse_string();
    case '{':
        return schema ? parse_object_schema(*schema) : parse_object();
    case '[':
        return parse_array(schema);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
    case 'I':
    case 'N':
        return parse_number();
    case 't':
    case 'f':
    case 'n':
        if (partial_ && len_ - pos_ <= 5) {
            // A literal that reaches the end may still be cut short.
            const std::string_view word = b == 't'   ? syntax::TRUE_WORD
                                          : b == 'f' ? syntax::FALSE_WORD
                                                     : syntax::NULL_WORD;
            const size_t have = len_ - pos_;
            if (have <= word.size() && std::memcmp(in_ + pos_, word.data(), have) == 0)
                return cut_short(len_);
        }
        if (b == 't' && len_ - pos_ >= 4 && load_u32(in_ + pos_) == load_u32(syntax::TRUE_WORD)) {
            pos_ += 4;
            return PyRef::borrow(Py_True).release();
        }
        if (b == 'f' && len_ - pos_ >= 5 &&
            std::memcmp(in_ + pos_, syntax::FALSE_WORD.data(), 5) == 0) {
            pos_ += 5;
            return PyRef::borrow(Py_False).release();
        }
        if (b == 'n' && len_ - pos_ >= 4 && load_u32(in_ + pos_) == load_u32(syntax::NULL_WORD)) {
            pos_ += 4;
            return PyRef::borrow(Py_None).release();
        }
        break;
    default:
        break;
    }
    if constexpr (CELL)
        return read_bare_cell();
    return fail(invalid_char(b, pos_));
}

// A grid cell that is not a bare word: a value when its first byte starts one.
PyObject *FastIndexParser::read_value_or_bare_cell(const Schema *schema) {
    return value_at<true>(schema);
}

// ---- strings ----

PyObject *FastIndexParser::parse_string() {
    const size_t a = pos_;
    const PosList &q = idx_.quotes;
    const size_t i = seek(q, quotes_, a); // the opening quote itself
    if (__builtin_expect(i + 1 >= q.size(), 0)) {
        if (!partial_)
            return fail(unexpected_eof(a));
        quotes_.i = i + 1;
        pos_ = a + 1;
        return parse_string_with_escapes(a + 1, true); // reads the open string to the end
    }
    const size_t e = q[i + 1];
    const uint8_t *content = in_ + a + 1;
    const size_t n = e - a - 1;
    const unsigned flags = scan_content(content, n, avx2_);
    if (flags & HAS_BACKSLASH) {
        quotes_.i = i + 1;
        pos_ = a + 1;
        return parse_string_with_escapes(a + 1);
    }
    quotes_.i = i + 2;
    pos_ = e + 1;
    const char *s = reinterpret_cast<const char *>(content);
    PyObject *r = (flags & NON_ASCII)
                      ? PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr)
                      : PyUnicode_DecodeASCII(s, static_cast<Py_ssize_t>(n), nullptr);
    if (__builtin_expect(r == nullptr, 0)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return fail_pass_through();
        PyErr_Clear();
        return fail(parse_error("Invalid UTF-8 in string", a));
    }
    return r;
}

namespace {

// Per byte after a backslash: what the escape stands for, or 0 for 'u' and for
// bytes that start no escape.
constexpr std::array<uint8_t, 256> SHORT_ESCAPE = [] {
    std::array<uint8_t, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    t['b'] = '\b';
    t['f'] = '\f';
    t['n'] = '\n';
    t['r'] = '\r';
    t['t'] = '\t';
    return t;
}();

// Appends code point cp (not a surrogate) as UTF-8; the room is reserved.
inline void put_utf8(Vec<uint8_t> &buf, uint32_t cp) noexcept {
    const size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    uint8_t *o = buf.extend(n); // cannot fail: the room is reserved
    switch (n) {
    case 1:
        o[0] = static_cast<uint8_t>(cp);
        break;
    case 2:
        o[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        o[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        break;
    case 3:
        o[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        o[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        o[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        break;
    default:
        o[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
        o[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        o[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        o[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    }
}

} // namespace

// Reads the four hex digits at `p`; returns the code unit, or -1 with the error set.
inline int FastIndexParser::parse_unicode_escape(size_t &p) {
    if (len_ - p >= 4) [[likely]] {
        const uint8_t *h = in_ + p;
        const int a = HEX_VALUE[h[0]], b = HEX_VALUE[h[1]], c = HEX_VALUE[h[2]],
                  d = HEX_VALUE[h[3]];
        if ((a | b | c | d) >= 0) [[likely]] {
            p += 4;
            return (a << 12) | (b << 8) | (c << 4) | d;
        }
    }
    return parse_unicode_escape_slow(p);
}

// parse_unicode_escape for four digits cut short or not all hex: the error.
__attribute__((noinline)) int FastIndexParser::parse_unicode_escape_slow(size_t &p) {
    int v = 0;
    for (int k = 0; k < 4; ++k) {
        if (p >= len_) {
            if (partial_)
                return -2;
            fail(unexpected_eof(p));
            return -1;
        }
        const int d = HEX_VALUE[in_[p]];
        if (d < 0) {
            fail(invalid_unicode(p));
            return -1;
        }
        v = v * 16 + d;
        ++p;
    }
    return v;
}

PyObject *FastIndexParser::finish_cut_string(size_t at) {
    Vec<uint8_t> &buf = escape_buf_;
    // A lead byte among the last three whose sequence is longer than what follows.
    const size_t n = buf.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        const uint8_t c = buf[n - back];
        if ((c & 0xC0) == 0x80)
            continue;
        // Only a byte that can lead a sequence (C2..F4) may start a cut one.
        const size_t need = c > 0xF4 || c < 0xC2 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (need > back)
            buf.truncate(n - back);
        break;
    }
    PyObject *s = decode_escape_buf(at);
    if (s) {
        at_end_ = true;
        pos_ = len_;
    }
    return s;
}

PyObject *FastIndexParser::decode_escape_buf(size_t at) {
    PyObject *s = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(escape_buf_.data()),
                                       static_cast<Py_ssize_t>(escape_buf_.size()), nullptr);
    if (!s) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return fail_pass_through();
        PyErr_Clear();
        return fail(token_error("Invalid UTF-8 in string", at));
    }
    return s;
}

PyObject *FastIndexParser::string_as_utf16(size_t from, bool &declined) {
    declined = true;
    // The closing quote: the first after `from` with an even run of backslashes
    // before it (the run stops at the opening quote at the latest).
    const PosList &q = idx_.quotes;
    Cursor c = quotes_;
    size_t end = SIZE_MAX;
    for (size_t k = seek(q, c, from); k < q.size(); ++k) {
        size_t b = q[k];
        while (in_[b - 1] == '\\')
            --b;
        if ((q[k] - b) % 2 == 0) {
            end = q[k];
            break;
        }
    }
    if (end == SIZE_MAX)
        return nullptr;
    // At most one unit per byte of text; the kernels store up to 16 units ahead.
    Vec<uint16_t> &u = utf16_buf_;
    const size_t before = escape_buf_.size();
    if (!u.reserve(before + (end - from) + 16))
        return nullptr;
    size_t n = 0;
    if (before != 0 && (n = utf8_to_utf16_bmp(escape_buf_.data(), before, u.data())) == SIZE_MAX)
        return nullptr;
    if (!unicode_escapes_) // chosen at the first such string of the call
        unicode_escapes_ = unicode_escape_decoder_for(simd_level(cpu_features()));
    uint16_t *o = u.data() + n;
    size_t p = from;
    for (;;) {
        const uint8_t b = in_[p];
        if (b == '"') {
            if (p != end)
                return nullptr;
            break;
        }
        if (b == '\\') {
            if (p + 1 >= end)
                return nullptr;
            const uint8_t e = in_[p + 1];
            if (e == 'u') {
                const EscapeRun r = unicode_escapes_(in_ + p, len_ - p, o);
                if (r.count == 0)
                    return nullptr;
                if (r.surrogates) {
                    // Each high surrogate must be followed by a low one, in the run.
                    for (size_t i = 0; i < r.count; ++i) {
                        const unsigned v = o[i];
                        if (v >= 0xDC00 && v <= 0xDFFF)
                            return nullptr;
                        if (v >= 0xD800 && v <= 0xDBFF) {
                            if (i + 1 >= r.count || o[i + 1] < 0xDC00 || o[i + 1] > 0xDFFF)
                                return nullptr;
                            ++i;
                        }
                    }
                }
                o += r.count;
                p += 6 * r.count;
                continue;
            }
            const uint8_t v = SHORT_ESCAPE[e];
            if (v == 0)
                return nullptr;
            *o++ = v;
            p += 2;
            continue;
        }
        size_t units = 0;
        const size_t read = plain_text_to_utf16(in_ + p, end - p, o, units);
        if (read == SIZE_MAX || read == 0)
            return nullptr; // not UTF-8 within U+FFFF, or a control byte
        o += units;
        p += read;
    }
    int byte_order = -1; // little-endian, as x86-64 stores the units
    const size_t count = static_cast<size_t>(o - u.data());
    PyObject *str = PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(u.data()),
                                          static_cast<Py_ssize_t>(2 * count), nullptr, &byte_order);
    declined = false;
    if (!str)
        return fail_pass_through();
    pos_ = end + 1;
    return str;
}

__attribute__((noinline)) PyObject *FastIndexParser::parse_string_with_escapes(size_t start,
                                                                               bool open) {
    Vec<uint8_t> &buf = escape_buf_;
    buf.clear();
    // Bytes from `start` up to `pos_` are taken unchanged. Every escape adds at
    // most 4 bytes, after its run, so one reserve per run covers both.
    if (!buf.reserve(256) || !buf.append(in_ + start, pos_ - start))
        return fail_memory();
    size_t p = pos_;
    bool tried_utf16 = false; // once per string: a declined attempt is not repeated
    while (p < len_) {
        // Copy the run of plain bytes in one go; the run ends at a backslash, a
        // quote or a control byte, found 8 bytes at a time:
        //   (x - 0x01..) & ~x & 0x80..   flags zero bytes of x (quote, backslash)
        //   (w - 0x20..) & ~w & 0x80..   flags bytes of w below 0x20
        // Borrows only run upwards, so the lowest flag is always a true one.
        size_t r = p;
        constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
        for (; r + 8 <= len_; r += 8) {
            uint64_t w;
            std::memcpy(&w, in_ + r, 8);
            const uint64_t q = w ^ (ones * '"'), b = w ^ (ones * '\\');
            const uint64_t m =
                (((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w)) & highs;
            if (m) {
                r += static_cast<size_t>(__builtin_ctzll(m)) >> 3;
                goto run_end;
            }
        }
        while (r < len_ && in_[r] != '\\' && in_[r] != '"' && in_[r] >= 0x20)
            ++r;
    run_end:
        if (!buf.reserve(buf.size() + (r - p) + 4) || !buf.append(in_ + p, r - p))
            return fail_memory();
        p = r;
        if (p >= len_)
            break;
        const uint8_t b = in_[p];
        if (b == '"') {
            pos_ = p + 1;
            return decode_escape_buf(start - 1);
        }
        if (b < 0x20) {
            if (!open)
                return fail(unescaped_control(p));
            (void)buf.push_back(b); // room reserved with the run before it
            ++p;
            continue;
        }
        // A backslash at `p`.
        const size_t s = p;
        if (s + 1 >= len_)
            return partial_ ? finish_cut_string(start - 1) : fail(unexpected_eof(len_));
        const uint8_t c = in_[s + 1];
        if (const uint8_t out = SHORT_ESCAPE[c]) {
            (void)buf.push_back(out); // room reserved with the run before it
            p = s + 2;
            continue;
        }
        if (c != 'u')
            return fail(invalid_escape(c, s + 1));
        p = s + 2;
        const int u1 = parse_unicode_escape(p);
        if (u1 < 0)
            return u1 == -2 ? finish_cut_string(start - 1) : nullptr;
        if (u1 >= 0x80 && !tried_utf16) {
            tried_utf16 = true;
            bool declined = false;
            PyObject *str = string_as_utf16(s, declined);
            if (!declined)
                return str;
        }
        uint32_t cp = static_cast<uint32_t>(u1);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (partial_ && (p >= len_ || (p + 1 == len_ && in_[p] == '\\')))
                return finish_cut_string(start - 1); // the pair's second half still arriving
            if (p + 1 < len_ && in_[p] == '\\' && in_[p + 1] == 'u') {
                p += 2;
                const int u2 = parse_unicode_escape(p);
                if (u2 < 0)
                    return u2 == -2 ? finish_cut_string(start - 1) : nullptr;
                if (u2 < 0xDC00 || u2 > 0xDFFF)
                    return fail(invalid_unicode(s));
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(u2) - 0xDC00);
            } else {
                return fail(invalid_unicode(s));
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail(invalid_unicode(s));
        }
        put_utf8(buf, cp);
    }
    return partial_ ? finish_cut_string(start - 1) : fail(unexpected_eof(len_));
}

// ---- numbers ----

// A failed number constructor's Python error is replaced by the error `what` at
// the token's start.
__attribute__((cold, noinline)) PyObject *FastIndexParser::fail_number(const char *what,
                                                                       size_t start) {
    PyErr_Clear();
    return fail(token_error(what, start));
}

inline PyObject *FastIndexParser::number_or_fail(PyObject *r, const char *what, size_t start) {
    return __builtin_expect(r != nullptr, 1) ? r : fail_number(what, start);
}

PyObject *FastIndexParser::parse_number(bool in_cell) {
    if (partial_ && number_may_grow())
        return cut_short(len_);
    // Common cases: an integer of at most 18 digits ended by a byte that cannot
    // continue a number, and a float with such an integer part. Everything else
    // (and anything read_float refuses) takes the full grammar and its messages.
    size_t p = pos_;
    const bool negative = in_[p] == '-';
    p += negative;
    const size_t first = p;
    uint64_t v = 0; // wraps beyond 19 digits, which take the slow path
    while (p < len_ && is_digit(in_[p]))
        v = v * 10 + (in_[p++] - '0');
    const size_t nd = p - first;
    if (nd == 0 || nd > 18 || (in_[first] == '0' && nd > 1))
        return parse_number_slow(in_cell);
    if (p >= len_ || !is_number_token_byte(in_[p])) {
        const size_t start = pos_;
        pos_ = p;
        const long long sv = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
        return number_or_fail(PyLong_FromLongLong(sv), "Failed to create integer", start);
    }
    // A fraction or an exponent follows: the float is read from the token's start.
    const uint8_t c = in_[p];
    size_t end = 0;
    double d = 0.0;
    if (((c == '.' && p + 1 < len_ && is_digit(in_[p + 1])) || c == 'e' || c == 'E') &&
        read_float_tail(in_, len_, pos_, p, v, nd, end, d)) {
        const size_t start = pos_;
        pos_ = end;
        return number_or_fail(PyFloat_FromDouble(d), "Failed to create float", start);
    }
    return parse_number_slow(in_cell);
}

__attribute__((noinline)) PyObject *FastIndexParser::parse_number_slow(bool in_cell) {
    const size_t start = pos_;
    const NumberToken t = plav::parse_number(in_, len_, pos_);
    if (t.kind == NumberKind::Error && in_cell)
        return read_bare_cell(); // only the number syntax turns a cell into text
    pos_ = t.end;
    switch (t.kind) {
    case NumberKind::Error:
        return fail(token_error(t.error, start));
    case NumberKind::Int64:
        return number_or_fail(PyLong_FromLongLong(t.i64), "Failed to create integer", start);
    case NumberKind::UInt64:
        return number_or_fail(PyLong_FromUnsignedLongLong(t.u64), "Failed to create integer",
                              start);
    case NumberKind::Double:
        return number_or_fail(PyFloat_FromDouble(t.f64), "Failed to create float", start);
    case NumberKind::BigInt: {
        Vec<char> text; // sign, digits and the terminating NUL
        if (!text.reserve(t.ndigits + 2) || (t.negative && !text.push_back('-')) ||
            !text.append(reinterpret_cast<const char *>(t.digits), t.ndigits) ||
            !text.push_back('\0'))
            return fail_memory();
        return number_or_fail(PyLong_FromString(text.data(), nullptr, 10),
                              "Failed to create large integer", start);
    }
    }
    return fail(token_error(MSG_INVALID_NUMBER, start));
}

// ---- objects ----

// A key at pos_: quoted (through the key cache unless it holds a backslash) or a
// bare word. New reference, or nullptr with the error set.
PyObject *FastIndexParser::parse_key() {
    const uint8_t b = in_[pos_];
    if (b == '"') {
        const size_t a = pos_;
        const PosList &q = idx_.quotes;
        const size_t i = seek(q, quotes_, a);
        if (i + 1 >= q.size())
            return cut_short(a);
        const size_t e = q[i + 1];
        if (!key_cache_)
            key_cache_ = thread_key_cache();
        const KeyString k = get_quoted_key_string(key_cache_, in_ + a + 1, e - a - 1);
        if (k.str) {
            quotes_.i = i + 2;
            pos_ = e + 1;
            return k.str;
        }
        if (k.escaped) {
            quotes_.i = i + 1;
            pos_ = a + 1;
            return parse_string_with_escapes(a + 1);
        }
        quotes_.i = i + 2;
        pos_ = e + 1;
        if (k.invalid_utf8)
            return fail(parse_error("Invalid UTF-8 in key", a + 1));
        return fail_pass_through();
    }
    // Unquoted: a run of ASCII letters, digits, '_', '$' and '-' that starts with
    // anything of these but '-'.
    if (syntax::in_class(b, syntax::KEY_START)) {
        const size_t a = pos_;
        size_t p = a + 1;
        while (p < len_ && syntax::in_class(in_[p], syntax::IDENTIFIER_CONTINUE))
            ++p;
        if (p >= len_ && partial_)
            return cut_short(len_); // the key may go on
        pos_ = p;
        if (!key_cache_)
            key_cache_ = thread_key_cache();
        const KeyString k = get_key_string(key_cache_, in_ + a, p - a);
        if (k.str)
            return k.str;
        if (k.invalid_utf8)
            return fail(parse_error("Invalid UTF-8 in key", a));
        return fail_pass_through();
    }
    return fail(invalid_char(b, pos_));
}

// The colon after a key that does not follow it directly: the first colon at or
// after the key's end, which must come before the next ',' or '}'.
__attribute__((noinline)) bool FastIndexParser::expect_colon_after_key(size_t key_end) {
    return seek_member_colon(key_end, key_end);
}

PyObject *FastIndexParser::parse_object() {
    PyRef dict = PyRef::steal(open_object());
    if (!dict)
        return nullptr;
    for (;;) {
        skip_ws();
        if (pos_ >= len_) {
            if (cut_short(pos_), failed_)
                return nullptr;
            break;
        }
        if (in_[pos_] == '}')
            break;
        PyRef key = PyRef::steal(parse_key());
        if (!key || at_end_) { // a key cut short is left out with its member
            if (failed_)
                return nullptr;
            break;
        }
        // The colon: directly after the key or after plain whitespace (then it is
        // the first colon at or after the key's end), else through the index.
        const size_t key_end = pos_;
        size_t p = pos_;
        while (p < len_ && is_whitespace(in_[p]))
            ++p;
        if (p < len_ && in_[p] == ':') {
            pos_ = p + 1;
        } else if (!expect_colon_after_key(key_end)) {
            if (ended())
                break;
            return nullptr;
        }
        PyRef value = PyRef::steal(parse_value(nullptr));
        if (!value) {
            if (ended())
                break;
            return nullptr;
        }
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
            return fail(PendingError::runtime_error("Dict insertion failed"));
        if (at_end_)
            break;
        skip_ws();
        if (pos_ >= len_) {
            if (cut_short(pos_), failed_)
                return nullptr;
            break;
        }
        const uint8_t c = in_[pos_];
        if (c == ',') {
            ++pos_;
            continue; // a '}' after the comma closes the object (trailing comma)
        }
        if (c == '}')
            break;
        return fail(invalid_char(c, pos_));
    }
    if (!at_end_)
        ++pos_; // the '}'
    --depth_;
    return dict.release();
}

// ---- arrays ----

// After an array element: a ',' (then another element, or the ']' of a trailing
// comma) or the ']', which is left for the caller to consume.
inline FastIndexParser::Next FastIndexParser::after_array_element() {
    skip_ws();
    if (pos_ >= len_) {
        cut_short(pos_);
        return Next::Failed;
    }
    const uint8_t c = in_[pos_];
    if (c == ',') {
        ++pos_;
        skip_ws();
        return (pos_ < len_ && in_[pos_] == ']') ? Next::Close : Next::Element;
    }
    if (c == ']')
        return Next::Close;
    fail(invalid_char(c, pos_));
    return Next::Failed;
}

PyObject *FastIndexParser::parse_array(const Schema *schema) {
    const size_t s = pos_;
    if (++depth_ > MAX_NESTING_DEPTH)
        return fail(parse_error("Maximum nesting depth exceeded", s));
    pos_ = s + 1;
    skip_ws();
    if (pos_ < len_) {
        const uint8_t b = in_[pos_];
        if (b == ':')
            return parse_mox_grid_indexed(schema, s, UINT64_MAX);
        if (is_digit(b)) {
            size_t q = pos_ + 1;
            uint64_t rows = static_cast<uint64_t>(b - '0');
            while (q < len_ && is_digit(in_[q])) {
                rows = rows > UINT64_MAX / 16 ? UINT64_MAX : rows * 10 + (in_[q] - '0');
                ++q;
            }
            while (q < len_ && in_[q] == ' ')
                ++q;
            if (q < len_ && in_[q] == ':') {
                pos_ = q;
                return parse_mox_grid_indexed(schema, s, rows);
            }
            if (q >= len_ && partial_) { // an array or a grid: the next byte tells
                pos_ = len_;
                at_end_ = true;
            }
        }
        if (b == ']')
            return close_empty_list(ErrorKind::InternalFailure);
    }
    if (pos_ >= len_ && partial_) {
        at_end_ = true;
        --depth_;
        PyObject *r = PyList_New(0);
        return r ? r : fail(PendingError::memory_error("Failed to create list"));
    }

    // Long flat arrays are created at their size, estimated from the commas before
    // the first closing bracket; anything else grows by appending. The estimate only
    // sizes the list: a surplus is cut off, a shortfall is appended.
    Py_ssize_t slots = 0;
    if (!partial_) {
        const PosList &cb = idx_.close_brackets;
        const size_t ci = seek(cb, close_brackets_, s + 1);
        if (ci < cb.size() && cb[ci] - s > 255) {
            const uint64_t c = cb[ci];
            const size_t oi = seek(idx_.open_brackets, open_brackets_, s + 1);
            const size_t bi = seek(idx_.open_braces, open_braces_, s + 1);
            const bool flat = (oi >= idx_.open_brackets.size() || idx_.open_brackets[oi] > c) &&
                              (bi >= idx_.open_braces.size() || idx_.open_braces[bi] > c);
            if (flat) {
                const PosList &cm = idx_.commas;
                const size_t from = seek(cm, commas_, s + 1);
                const size_t to = static_cast<size_t>(
                    std::lower_bound(cm.begin() + from, cm.end(), c) - cm.begin());
                size_t count = to - from + 1;
                if (to > from) {
                    size_t k = cm[to - 1] + 1;
                    while (k < c && is_trim_byte(in_[k]))
                        ++k;
                    if (k == c)
                        --count; // a trailing comma
                }
                slots = static_cast<Py_ssize_t>(count);
            }
        }
    }
    if (slots == 0)
        return parse_array_items(schema);
    PyRef list = PyRef::steal(PyList_New(slots));
    if (!list)
        return fail(PendingError::memory_error("Failed to create list"));
    Py_ssize_t filled = 0;
    for (;;) {
        PyObject *item = parse_value(schema);
        if (!item)
            return nullptr; // unset slots are never seen: the list is dropped
        if (filled < slots) {
            PyList_SetItem(list.get(), filled++, item); // steals item
        } else {
            PyRef owned = PyRef::steal(item);
            if (PyList_Append(list.get(), item) < 0)
                return fail(PendingError::runtime_error("List append failed"));
            ++filled;
        }
        const Next next = after_array_element();
        if (next == Next::Failed)
            return nullptr;
        if (next == Next::Close)
            break;
    }
    ++pos_; // the ']'
    --depth_;
    if (filled < slots && PyList_SetSlice(list.get(), filled, slots, nullptr) < 0)
        return fail_pass_through();
    return list.release();
}

// Short or nested arrays: the elements wait on items_ and become a list of their
// exact size at the ']', so no list is ever grown.
PyObject *FastIndexParser::parse_array_items(const Schema *schema) {
    const size_t base = items_.size();
    struct Truncate { // drops this array's pending elements on every exit
        Vec<PyRef> &v;
        size_t base;
        ~Truncate() { v.truncate(base); }
    } truncate{items_, base};
    for (;;) {
        PyObject *item = parse_value(schema);
        if (!item) {
            if (ended())
                break; // an element cut short is left out
            return nullptr;
        }
        if (!items_.push_back(PyRef::steal(item))) // not taken: dropped with the temporary
            return fail_memory();
        if (at_end_)
            break;
        const Next next = after_array_element();
        if (next == Next::Failed) {
            if (ended())
                break;
            return nullptr;
        }
        if (next == Next::Close)
            break;
    }
    if (!at_end_)
        ++pos_; // the ']'
    --depth_;
    const size_t n = items_.size() - base;
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list)
        return fail(PendingError::memory_error("Failed to create list"));
    for (size_t i = 0; i < n; ++i)
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), items_[base + i].release()); // steals
    return list;
}

} // namespace plav
