// The result str of dumps.
#include "serializer/result_str.hpp"

#include <cstring>

#include "py_ref.hpp"
#include "simd/utf16.hpp"

namespace plav {
namespace {

// Below this many output bytes per non-ASCII segment, decoding everything at once
// beats assembling the pieces.
constexpr size_t BYTES_PER_SEGMENT_TO_JOIN = 256;

// Whether the recorded non-ASCII runs can be narrowed where they stand: in order,
// apart, within the output, and every character within U+0000-U+00FF (no lead
// byte above 0xC3). Wider text usually shows in its first run.
bool segments_fit_latin1(const uint8_t *p, size_t n, const Vec<TextSegment> &segments) noexcept {
    size_t at = 0;
    for (const TextSegment &seg : segments) {
        if (seg.begin < at || seg.end < seg.begin || seg.end > n)
            return false;
        for (size_t i = seg.begin; i < seg.end; ++i)
            if (p[i] > 0xC3)
                return false;
        at = seg.end;
    }
    return true;
}

// Narrows UTF-8 text whose every non-ASCII byte lies in `segments` (ordered, apart,
// all within Latin-1) to Latin-1 where it stands; returns the narrowed length.
// The bytes before the first segment stay; the rest moves down by one byte per
// character narrowed, so an output with few such characters costs a memmove.
size_t narrow_segments_in_place(uint8_t *p, size_t n, const Vec<TextSegment> &segments) noexcept {
    size_t to = segments.empty() ? n : segments[0].begin;
    size_t at = to;
    for (const TextSegment &seg : segments) {
        std::memmove(p + to, p + at, seg.begin - at);
        to += seg.begin - at;
        for (size_t i = seg.begin; i < seg.end; ++i) {
            const uint8_t c = p[i];
            // A lead byte 0xC2 or 0xC3 and its continuation byte (the text is
            // valid UTF-8, checked to be within Latin-1).
            p[to++] = c < 0x80 ? c : static_cast<uint8_t>(((c & 0x03) << 6) | (p[++i] & 0x3F));
        }
        at = seg.end;
    }
    std::memmove(p + to, p + at, n - at);
    return to + (n - at);
}

// UTF-8 text as a str: through UTF-16 when every character is within U+FFFF
// (CPython builds its str forms from UTF-16 several times faster than from
// UTF-8), else from the UTF-8.
PyObject *decode_via_utf16(const uint8_t *s, size_t n, Utf16Room &utf16) noexcept {
    if (uint16_t *units = utf16.room(n)) {
        const size_t count = utf8_to_utf16_bmp(s, n, units);
        if (count != SIZE_MAX) {
            int little_endian = -1;
            return PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(units),
                                         static_cast<Py_ssize_t>(2 * count), nullptr,
                                         &little_endian);
        }
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s), static_cast<Py_ssize_t>(n),
                                nullptr);
}

} // namespace

PyObject *result_str(const Writer &w, Utf16Room &utf16) noexcept {
    OutputBuffer &buf = w.buf; // narrowed in place: the output is not read again
    const auto *p = reinterpret_cast<const char *>(buf.data());
    const size_t n = buf.size();
    if (!buf.non_ascii)
        return PyUnicode_DecodeASCII(p, static_cast<Py_ssize_t>(n), nullptr);
    const Vec<TextSegment> &segments = w.segments;
    if (!w.unsegmented_non_ascii && segments_fit_latin1(buf.data(), n, segments)) {
        const size_t count = narrow_segments_in_place(w.buf.data(), n, segments);
        return PyUnicode_DecodeLatin1(p, static_cast<Py_ssize_t>(count), nullptr);
    }
    // Unrecorded non-ASCII bytes may hold any character: narrowing is tried.
    if (w.unsegmented_non_ascii) {
        if (uint16_t *room = utf16.room((n + 1) / 2)) {
            auto *narrow = reinterpret_cast<uint8_t *>(room);
            const size_t count = utf8_to_latin1(buf.data(), n, narrow);
            if (count != SIZE_MAX) {
                PyObject *text = PyUnicode_DecodeLatin1(reinterpret_cast<const char *>(narrow),
                                                        static_cast<Py_ssize_t>(count), nullptr);
                utf16.trim();
                return text;
            }
        }
    }
    if (w.unsegmented_non_ascii || segments.size() * BYTES_PER_SEGMENT_TO_JOIN > n) {
        PyObject *text = decode_via_utf16(buf.data(), n, utf16);
        utf16.trim();
        return text;
    }
    PyRef pieces = PyRef::steal(PyList_New(0));
    if (!pieces)
        return nullptr;
    auto add = [&](PyObject *piece) { // steals piece
        PyRef owned = PyRef::steal(piece);
        return owned && PyList_Append(pieces.get(), owned.get()) == 0;
    };
    size_t at = 0;
    for (const TextSegment &seg : segments) {
        if (seg.begin > at &&
            !add(PyUnicode_DecodeASCII(p + at, static_cast<Py_ssize_t>(seg.begin - at), nullptr)))
            return nullptr;
        PyObject *text = seg.source
                             ? PyRef::borrow(seg.source.get()).release()
                             : decode_via_utf16(buf.data() + seg.begin, seg.end - seg.begin, utf16);
        if (!add(text))
            return nullptr;
        at = seg.end;
    }
    if (n > at && !add(PyUnicode_DecodeASCII(p + at, static_cast<Py_ssize_t>(n - at), nullptr)))
        return nullptr;
    utf16.trim();
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty)
        return nullptr;
    return PyUnicode_Join(empty.get(), pieces.get());
}

} // namespace plav
