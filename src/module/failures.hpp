#pragma once
// How numeric failures and internal faults reach the caller, and the fallbacks for interpreter
// calls that fail.

#include <Python.h>

#include <source_location>
#include <string>

#include "models/internal_fault.hpp"
#include "module/py_ref.hpp"
#include "special/failure.hpp"

namespace lumagnis::module {

// Text of the guard around every entry from the interpreter: what is reported if a fault
// escapes while an earlier fault is being turned into an exception.
inline constexpr const char* guard_text = "uncaught panic at ffi boundary";

// The type `pyo3_runtime.PanicException`, created on first use and kept for the process.
PyObject* panic_exception_type();

// A new exception instance of `type` with `message` as its single argument.
PyRef new_exception(PyObject* type, const std::string& message);

// RuntimeError carrying a numeric failure's fixed text, and nothing else.
PyRef numeric_failure_exception(special::Failure failure);

// Takes the pending exception, if any. A fault exception that comes back from Python code is
// not an ordinary error: it is resumed as an internal fault (this throws).
PyRef fetch_pending_exception();

// After an interpreter call reported failure: the pending exception, or a SystemError if the
// call left none.
PyRef failed_call_exception();

// The interpreter could not create an object the module needs: print what it set, then fault.
[[noreturn]] void
object_creation_failed(std::source_location where = std::source_location::current());

// str() of an object, the way messages render it: lossy UTF-8, and "<unprintable T object>"
// (after reporting to the unraisable hook) when str() itself fails.
std::string display(PyObject* object);

// Turns the exception in flight (caught by an entry guard) into the fault exception and sets
// it. Never throws: a fault while doing so aborts the process after a diagnostic.
void raise_current_fault() noexcept;

// Sets an entry's outcome as the interpreter expects: a new reference, or null with the
// exception set.
PyObject* return_outcome(PyResult<PyRef>&& outcome) noexcept;

// The entry guard: runs `body` (which returns PyResult<PyRef>) and turns every outcome into
// the interpreter's return convention. Internal faults stop here and nowhere else.
template <class Body> PyObject* call_guarded(Body&& body) noexcept {
    try {
        return return_outcome(body());
    } catch (...) {
        raise_current_fault();
        return nullptr;
    }
}

} // namespace lumagnis::module
