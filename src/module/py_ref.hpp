#pragma once
// PyRef: owner of exactly one strong reference.

#include <Python.h>

#include <expected>
#include <utility>

namespace lumagnis::module {

// Whether the calling thread holds the interpreter lock. Inside a call it always does, except
// while the interpreter ends the thread at exit: the thread then unwinds without the lock.
// The answer is the thread's current state, which the interpreter sets only while the thread
// holds the lock, and which stays readable after the interpreter is gone. PyGILState_Check is
// not a substitute: once the runtime has been finalised (its thread-state key deleted) it
// answers yes for every thread, and a daemon thread ended after that point would drop
// references into freed memory.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    // The same reading under its name before 3.13.
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

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
            drop();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { drop(); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Drops the reference now, on a path that holds the lock for certain, so that a hot loop does
    // not ask at every element, as the destructor does.
    void clear() noexcept { Py_CLEAR(object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    // A reference is dropped only by a thread that holds the lock. The one that does not is a
    // thread being ended at interpreter exit, unwinding through this owner: the reference is
    // then left alone, a leak that the ending process does not notice.
    void drop() noexcept {
        if (object_ != nullptr && holds_interpreter_lock()) Py_DECREF(object_);
    }
    PyObject* object_ = nullptr;
};

// A value, or the exception (an owned exception instance) that ends the call.
template <class T> using PyResult = std::expected<T, PyRef>;

} // namespace lumagnis::module
