// Message templates of the reader and the single place where an error value
// becomes a Python exception.
#include "parser/error.hpp"

#include "boundary.hpp"
#include "py_ref.hpp"

namespace plav {

std::string byte_as_char(uint8_t c) {
    std::string s;
    if (c < 0x80) {
        s.push_back(static_cast<char>(c));
    } else {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return s;
}

namespace {
ParseError with_char(const char *head, uint8_t c, const char *mid, uint64_t pos) {
    std::string m = head;
    m += byte_as_char(c);
    m += mid;
    m += std::to_string(pos);
    return ParseError{std::move(m), pos};
}
}  // namespace

ParseError invalid_char(uint8_t c, uint64_t pos) {
    return with_char("Invalid character '", c, "' at position ", pos);
}
ParseError expected_char(uint8_t c, uint64_t pos) {
    return with_char("Expected '", c, "' at position ", pos);
}
ParseError invalid_escape(uint8_t c, uint64_t pos) {
    return with_char("Invalid escape sequence '\\", c, "' at position ", pos);
}
ParseError unexpected_eof(uint64_t pos) { return ParseError{"Unexpected end of input", pos}; }
ParseError invalid_unicode(uint64_t pos) {
    return ParseError{"Invalid Unicode escape at position " + std::to_string(pos), pos};
}
ParseError unescaped_control(uint64_t pos) {
    return ParseError{"Unescaped control character at position " + std::to_string(pos), pos};
}

std::string parse_error_text(const ParseError &e) {
    if (!e.note_position)
        return e.message;
    return e.message + " (approximate position: \xC2\xB1" "32 bytes from " +
           std::to_string(e.position) + ")";
}

PyObject *raise_error(Error &&err) noexcept {
    if (auto *pe = std::get_if<ParseError>(&err)) {
        const std::string text = parse_error_text(*pe);
        raise_pending(PendingError{ErrorKind::ValueError, text});
    } else {
        raise_pending(std::get<PendingError>(err));
    }
    return nullptr;
}

void raise_pending(const PendingError &e) noexcept {
    PyObject *type = nullptr;
    switch (e.kind) {
    case ErrorKind::PassThrough:
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return;
    case ErrorKind::ValueError: type = PyExc_ValueError; break;
    case ErrorKind::TypeError: type = PyExc_TypeError; break;
    case ErrorKind::SystemError: type = PyExc_SystemError; break;
    case ErrorKind::MemoryError: type = PyExc_MemoryError; break;
    case ErrorKind::RuntimeError: type = PyExc_RuntimeError; break;
    case ErrorKind::OverflowError: type = PyExc_OverflowError; break;
    case ErrorKind::IndexError: type = PyExc_IndexError; break;
    case ErrorKind::InternalFailure: type = internal_failure_type(); break;
    }
    PyErr_Clear();
    PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(
        e.message.data(), static_cast<Py_ssize_t>(e.message.size())));
    if (!msg) return;
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
    if (!exc) return;
    PyErr_SetRaisedException(exc.release());  // steals
}

}  // namespace plav
