// Owned references. PyRef owns one strong reference; nobody outside this header
// changes reference counts by hand, so no error path can leak or double-free.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace plav {

class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other)
            reset(std::exchange(other.obj_, nullptr));
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be NULL).
    static PyRef steal(PyObject *p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed object (may be NULL).
    static PyRef borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller, e.g. for stealing calls such as PyList_SetItem.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = std::exchange(obj_, p);
        Py_XDECREF(old);
    }

  private:
    explicit PyRef(PyObject *p) noexcept : obj_(p) {}
    PyObject *obj_ = nullptr;
};

// Owns one buffer export (PyObject_GetBuffer) and releases it.
class BufferView {
  public:
    BufferView() noexcept = default;
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool get(PyObject *obj, int flags) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const uint8_t *data() const noexcept { return static_cast<const uint8_t *>(view_.buf); }
    size_t size() const noexcept { return static_cast<size_t>(view_.len); }
    // Items of one byte ('B', 'b' or 'c'; a view taken without PyBUF_FORMAT is 'B').
    bool is_bytes() const noexcept {
        const char *f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!')
            ++f;
        return view_.itemsize == 1 && (*f == 'B' || *f == 'b' || *f == 'c') && f[1] == '\0';
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

} // namespace plav
