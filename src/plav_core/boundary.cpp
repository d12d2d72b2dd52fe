// The Python boundary's own part: the single place where an error value becomes a
// Python exception, and the module's internal-failure exception type. DecodeError,
// the exception of bad text, has its own file (decode_error.cpp).
#include "boundary.hpp"

#include "parser/error.hpp"
#include "py_ref.hpp"

namespace plav {
namespace {

PyObject *INTERNAL_FAILURE = nullptr; // strong reference, kept for the process

} // namespace

PyObject *create_internal_failure_type() noexcept {
    if (!INTERNAL_FAILURE) {
        INTERNAL_FAILURE = PyErr_NewExceptionWithDoc(
            "plav_core.InternalFailure",
            "Raised when the caller's own code breaks an invariant during dumps (a dict "
            "that changes size while it is written, a nested dumps on a busy thread).",
            PyExc_BaseException, nullptr);
    }
    return INTERNAL_FAILURE;
}

PyObject *internal_failure_type() noexcept {
    return INTERNAL_FAILURE;
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
    case ErrorKind::ValueError:
        type = PyExc_ValueError;
        break;
    case ErrorKind::TypeError:
        type = PyExc_TypeError;
        break;
    case ErrorKind::MemoryError:
        if (e.message.empty()) {
            PyErr_NoMemory();
            return;
        }
        type = PyExc_MemoryError;
        break;
    case ErrorKind::RuntimeError:
        type = PyExc_RuntimeError;
        break;
    case ErrorKind::InternalFailure:
        type = internal_failure_type();
        break;
    }
    PyErr_Clear();
    PyRef msg = PyRef::steal(
        PyUnicode_FromStringAndSize(e.message.data(), static_cast<Py_ssize_t>(e.message.size())));
    if (!msg)
        return;
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
    if (!exc)
        return;
    PyErr_SetRaisedException(exc.release()); // steals
}

} // namespace plav
