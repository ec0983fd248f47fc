#pragma once
// PyRef: owner of exactly one strong reference.

#include <Python.h>

#include <expected>
#include <utility>

namespace lumagnis::module {

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A value, or the exception (an owned exception instance) that ends the call.
template <class T> using PyResult = std::expected<T, PyRef>;

} // namespace lumagnis::module
