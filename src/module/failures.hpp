#pragma once
// How numeric failures and internal faults reach the caller, and the fallbacks for interpreter
// calls that fail.

#include <Python.h>

#include <cxxabi.h>

#include <source_location>
#include <string>
#include <string_view>

#include "models/internal_fault.hpp"
#include "module/py_ref.hpp"
#include "special/failure.hpp"

namespace lumagnis::module {

// Text of the guard around every entry from the interpreter: what is reported if a fault
// escapes while an earlier fault is being turned into an exception.
inline constexpr const char* guard_text = "uncaught panic at ffi boundary";

// The fault exception type, `pyo3_runtime.PanicException` to callers, created on first use and
// kept for the process.
PyObject* fault_exception_type();

// A new exception instance of `type` with `message` as its single argument. A view, so that a
// fixed text goes from its literal to the exception without an allocation of its own.
PyRef new_exception(PyObject* type, std::string_view message);

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
// it. A fault while doing so aborts the process after a diagnostic; only a forced unwind passes.
void raise_current_fault();

// Sets an entry's outcome as the interpreter expects: a new reference, or null with the
// exception set.
PyObject* return_outcome(PyResult<PyRef>&& outcome) noexcept;

// The entry guard: runs `body` (which returns PyResult<PyRef>) and turns every outcome into
// the interpreter's return convention. Internal faults stop here and nowhere else.
//
// Not noexcept, and a forced unwind goes through untouched: a thread that tries to take the
// interpreter lock back while the interpreter finalises is ended with pthread_exit, which
// unwinds this frame too. Caught and turned into an exception, the unwind would run Python code
// without the lock, and the thread library aborts when an unwind is not rethrown.
// A forced unwind carries no object, so its handler binds a null reference by design; the
// sanitizer's null check would report that on every such exit. Inlined into its caller, the
// handler would be checked all the same.
template <class Body>
[[gnu::noinline, gnu::no_sanitize("null")]] PyObject* call_guarded(Body&& body) {
    try {
        return return_outcome(body());
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_fault();
        return nullptr;
    }
}

} // namespace lumagnis::module
