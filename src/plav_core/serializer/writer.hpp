// The state of one dumps call: its options, its output, where non-ASCII text went,
// the key-text cache it uses, and where a value sits in the nesting.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory.hpp"
#include "py_ref.hpp"
#include "serializer/key_text_cache.hpp"
#include "simd/escape.hpp"
#include "syntax.hpp"
#include "types/output_buffer.hpp"

namespace plav {

enum class Delimiter : uint8_t { Comma, Tab, Pipe };
// What may be a grid cell: grid-safe scalars, or every value.
enum class Cells : uint8_t { Safe, Any };

struct DumpOptions {
    bool has_indent = false; // absent: compact output
    uint64_t indent = 0;
    bool mox_grid = true;
    bool unquoted_keys = false;
    bool bare_strings = false;
    bool implicit_null = false;
    bool row_count = true;
    bool multiline_mox = false;
    Delimiter delimiter = Delimiter::Comma;
    Cells cells = Cells::Safe;
    bool bare_text = false; // string cells and header keys bare whenever they read back
    bool sort_keys = false;
    PyObject *default_fn = nullptr; // borrowed from the call's arguments; nullptr: none
};

inline std::string_view delimiter_text(Delimiter d) noexcept {
    switch (d) {
    case Delimiter::Tab:
        return "\t";
    case Delimiter::Pipe:
        return " | ";
    default:
        return ", ";
    }
}

constexpr uint32_t MAX_DEPTH = syntax::MAX_WRITE_DEPTH;

// A run of output bytes [begin, end) that holds non-ASCII text, and the str it
// came from when the run is exactly that string's UTF-8 form (else empty).
struct TextSegment {
    size_t begin;
    size_t end;
    PyRef source;
};

// A dict member held for writing in sorted key order, with the UTF-8 text its
// key is written as (owned by `key`, or by `text` when that is str(key)).
struct SortedMember {
    PyRef key;
    PyRef value;
    PyRef text;
    const char *utf8;
    size_t size;
};

// The state of one dumps call.
struct Writer {
    OutputBuffer &buf;
    const DumpOptions &opt;
    EscapeFn escape;
    // Where non-ASCII text was written, so that the result str can be assembled
    // from ASCII runs and the original strings instead of decoding every byte.
    Vec<TextSegment> &segments;
    KeyTextCache &keys;
    // The members of the dicts being written in sorted order, innermost last.
    Vec<SortedMember> &sorted;
    // Set when non-ASCII bytes were written outside any recorded segment.
    bool unsegmented_non_ascii = false;
    // Moved by every PythonCall. Containers read through borrowed references
    // re-check their size only when it moved, since nothing else can change them
    // while the GIL is held.
    uint64_t python_calls = 0;

    // Discards everything written after `size` bytes (an abandoned grid).
    void rewind(size_t size) noexcept {
        buf.truncate(size);
        while (!segments.empty() && segments.back().end > size)
            segments.pop_back();
    }
};

// A scope around one call that may run Python code: a method of the caller's
// objects (__str__, __eq__ and __hash__ of keys, model_dump, dict, asdict,
// attribute lookups), a dict lookup whose keys are not all exact str, or the
// release of an object the writer held, which can free anything. Such code may
// change or free every object nobody holds. So, at every such call:
//   1. before it, hold (PyRef) each object read through a borrowed pointer that
//      is still used after it: the value beside a key, a row and its cells, the
//      list or dict being written, the first row behind a grid header;
//   2. make the call inside a PythonCall, which moves Writer::python_calls, so
//      that the containers being written re-read their sizes.
// What is not held is fetched again from its container after the call. Memory
// safety never rests on the counter (the key cache holds its keys; list items and
// dict entries are read through bounds-checked calls), so a release of a hold
// after its PythonCall ended can only delay a container's size check; declaring
// the PythonCall before the holds it covers avoids even that.
class PythonCall {
  public:
    explicit PythonCall(Writer &w) noexcept : w_(w) { ++w_.python_calls; }
    ~PythonCall() { ++w_.python_calls; }
    PythonCall(const PythonCall &) = delete;
    PythonCall &operator=(const PythonCall &) = delete;

  private:
    Writer &w_;
};

// Where a value sits: `depth` sets its indentation, `level` counts toward the
// nesting limit. They differ by the number of object conversions on the path,
// each of which counts as one level but is laid out where the object stood.
struct Nesting {
    uint32_t depth;
    uint32_t level;
    Nesting child() const noexcept { return {depth + 1, level + 1}; }
    Nesting converted() const noexcept { return {depth, level + 1}; }
};

// Records non-ASCII output [begin, end) written for the n-byte UTF-8 text of
// `source` (borrowed, may be nullptr).
inline void note_non_ascii(Writer &w, size_t begin, size_t end, PyObject *source,
                           size_t n) noexcept {
    if (!w.segments.push_back(
            {begin, end, end - begin == n && source ? PyRef::borrow(source) : PyRef()}))
        w.buf.fail();
}

} // namespace plav
