#pragma once
// The plain interpreter entry of the four functions: argument binding with the interpreter's own
// texts, the flag `gradient`, and the guard that turns what a call throws into its return
// value. Built on the C API alone, so that nothing on a call's path owns a reference the way a
// binding library's object does: see `guarded`.

#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>

#include "module/py_ref.hpp"

namespace lumagnis::fspl_module {

using module::PyRef;

// Thrown once the Python exception that ends the call has been set.
struct Raised {};

[[noreturn]] void raise(PyObject* type, const char* text);
// Throws Raised when `object` is null (the interpreter call that made it has set the error).
PyRef checked(PyObject* object);

// One per function: the parameters, in order, of which the first `required` have no default
// and the first `positional` may be given by position (the rest only by keyword).
struct Parameters {
    const char* function;
    std::span<const char* const> names;
    std::size_t required;
    std::size_t positional = names.size();
};

inline constexpr std::size_t max_parameters = 9;

// Borrowed references, one per parameter; null where the caller gave none.
using Slots = std::array<PyObject*, max_parameters>;

Slots bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames);

// True or False, numpy.bool_ included; anything else is a TypeError naming the flag. An omitted
// flag (null) is False.
bool flag(PyObject* value, const char* name);

// The number of threads a call may use: an int (a numpy integer too) within [0, max_threads], 0
// meaning the CPUs this process may run on; omitted (null), 1. A bool or anything that is not an
// integer is a TypeError, an int out of range a ValueError.
std::size_t thread_count(PyObject* value);

// The numpy objects a call needs, looked up once when the module is imported.
struct Numpy {
    PyObject* asarray;
    PyObject* empty;
    PyObject* float64;
    PyObject* bool_type;
    PyObject* masked_array_type;
    unsigned long main_thread;
};
const Numpy& numpy();
// Fills the cells of numpy(); false with the error set when numpy cannot be imported.
bool prepare_numpy();

// The calling thread is the main thread of the main interpreter, the one signals are run on.
bool on_main_thread();

// Runs `body` (which returns a PyRef or throws) and gives the interpreter's return convention:
// a new reference, or null with the exception set.
//
// A forced unwind goes through untouched: a thread that takes the interpreter lock back while
// the interpreter finalises is ended with pthread_exit, which unwinds this frame too. Caught,
// the unwind would make the thread library abort. On its way out it passes only owners that
// leave their reference alone when the lock is not held (PyRef), so no Python object is
// touched by a thread that no longer holds the lock.
// A forced unwind carries no object, so its handler binds a null reference by design; the
// sanitizer's null check would report that on every such exit, inlined into a caller or not.
template <class Body> [[gnu::noinline, gnu::no_sanitize("null")]] PyObject* guarded(Body&& body) {
    try {
        return body().release();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const Raised&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        PyErr_SetString(PyExc_RuntimeError, fault.what());
        return nullptr;
    }
}

} // namespace lumagnis::fspl_module
