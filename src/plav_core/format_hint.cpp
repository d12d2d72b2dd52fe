// format_hint: fixed descriptions of the grid layouts for LLM prompts.
#include <Python.h>

#include <cstring>
#include <string_view>

#include "boundary.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

constexpr std::string_view GRID_TEXT =
    "Data is in PLAV Mox Grid format.\n"
    "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, row2val2, "
    "row2val3 ]\n"
    "N is the optional row count prefix (may be omitted: [: col1, col2; ...]).\n"
    "The first semicolon-separated segment is the header (field names).\n"
    "Each subsequent semicolon-separated segment is one data record.\n"
    "Values within each segment are comma-separated and correspond to the header fields in "
    "order.\n"
    "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]\n"
    "Decode: {id: 1, name: 'Alice', score: 95}, {id: 2, name: 'Bob', score: 87}, ...";

constexpr std::string_view TAB_TEXT =
    "Data is in PLAV Mox Grid tab-delimited format.\n"
    "Format: [: col1\\tcol2\\tcol3; row1val1\\trow1val2\\trow1val3; ... ]\n"
    "Fields and values are separated by tab characters (\\t).\n"
    "Each semicolon-separated segment after the headers is one record.\n"
    "Example: [: id\\tname\\tscore; 1\\tAlice\\t95; 2\\tBob\\t87 ]\n"
    "Decode: map each tab-separated segment to the corresponding field names.";

constexpr std::string_view ROWCOUNT_TEXT =
    "Data is in PLAV Mox Grid format with explicit row count.\n"
    "Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, ... ]\n"
    "where N is the total number of data rows and col1, col2, col3 are field names.\n"
    "Each semicolon-separated segment after the first is one record.\n"
    "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]\n"
    "Decode: map each semicolon segment to {id: ..., name: ..., score: ...}.";

constexpr std::string_view MULTILINE_TEXT =
    "Data is in PLAV Multiline Mox Grid format (TOON-compatible).\n"
    "Header line: [N]{col1,col2,col3}: where N is the row count and col1,col2,col3 are "
    "field names.\n"
    "Each following indented line is one row with values separated by commas.\n"
    "Example:\n"
    "  [3]{id,name,score}:\n"
    "    1,Alice,95\n"
    "    2,Bob,87\n"
    "    3,Carol,92\n"
    "Decode: each comma-separated row maps to {id: ..., name: ..., score: ...}.";

constexpr std::string_view LEAN_TEXT =
    "Data is in PLAV lean Mox Grid format.\n"
    "Format: [N: col1, col2; row1val1, row1val2; row2val1, row2val2 ] (N, the row count, is "
    "optional).\n"
    "The first semicolon-separated segment is the header (field names); each later one is a "
    "record.\n"
    "Cells are separated by a comma or a tab and follow the header's order.\n"
    "A cell is bare text or a quoted \"string\"; an empty cell is null.\n"
    "A cell may hold a nested object {...}, list [...] or grid [: ...].\n"
    "Example: [2: id, name, tags; 1, Ana Mensah, [\"a\", \"b\"]; 2, \"Bo, Jr\", ]\n"
    "Decode: {id: 1, name: 'Ana Mensah', tags: ['a', 'b']}, {id: 2, name: 'Bo, Jr', tags: null}";

// For the other direction: how a model writes data that loads and extract read
// back exactly as it meant them.
constexpr std::string_view REPLY_TEXT =
    "Reply in PLAV: JSON, where a list of objects with the same keys may be a table:\n"
    "[N: key1, key2; row1value1, row1value2; row2value1, row2value2 ]\n"
    "Always write N, the number of rows. Give each row one cell per key, in header order; "
    "rows end with ;.\n"
    "A cell is a JSON value or bare text. An empty cell is null.\n"
    "Quote a cell as a JSON string when it holds a comma, tab, |, ;, a bracket or a quote "
    "mark, starts with //, or is text that reads as a number, true, false or null.\n"
    "Example: [2: id, name, note; 1, \"Lee, Ann\", ; 2, Bo, \"late; again\" ]";

std::string_view select_hint(std::string_view style) {
    if (style == "reply")
        return REPLY_TEXT;
    if (style == "tab")
        return TAB_TEXT;
    if (style == "mox_grid_rowcount")
        return ROWCOUNT_TEXT;
    if (style == "multiline")
        return MULTILINE_TEXT;
    if (style == "lean")
        return LEAN_TEXT;
    return GRID_TEXT;
}

} // namespace

PyObject *format_hint_entry(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
    static const char *kwlist[] = {"style", nullptr};
    PyObject *style = nullptr; // borrowed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:format_hint", const_cast<char **>(kwlist),
                                     &style))
        return nullptr;
    std::string_view text = GRID_TEXT;
    if (style) {
        if (!(PyType_GetFlags(Py_TYPE(style)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
            PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(style)));
            PyErr_Format(PyExc_TypeError, "format_hint() argument 'style' must be str, not %s",
                         style == Py_None ? "None"
                         : type_name      ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr)
                                          : "object");
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(style, &size);
        if (utf8) {
            text = select_hint(std::string_view(utf8, static_cast<size_t>(size)));
        } else {
            PyErr_Clear(); // a str with no UTF-8 form names no style: the grid text
        }
    }
    PyObject *result =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!result)
        return raise_error(PendingError::internal("Failed to create string"));
    return result;
}

} // namespace plav
