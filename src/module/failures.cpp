#include "module/failures.hpp"

#include <execinfo.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

namespace lumagnis::module {
namespace {

constexpr const char* fault_exception_doc =
    "Raised when the native code of lumagnis hits an internal fault: a violated precondition "
    "or an impossible state.\n\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that a plain "
    "`except Exception:` does not swallow it and it will usually propagate all the way up and "
    "end the interpreter.";

constexpr const char* backtrace_variable = "LUMAGNIS_BACKTRACE";

// Cleared by the first internal fault of the process, which alone writes the backtrace note.
std::atomic<bool> first_fault{true};

bool backtrace_requested() {
    const char* value = std::getenv(backtrace_variable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

void write_backtrace() {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
    ::backtrace_symbols_fd(frames, count, 2);
}

// The diagnostic block of an internal fault, written where the call is stopped.
void write_diagnostic(std::string_view message, const std::source_location& where) {
    // The first fault is counted whether or not it writes the note: with a backtrace asked for
    // it writes none, and the note of a later fault would then not be the first one's.
    const bool first = first_fault.exchange(false);
    // The module starts no threads of its own, and the interpreter's threads have no name here.
    std::fprintf(stderr, "\nthread '<unnamed>' panicked at %s:%u:%u:\n%.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    if (backtrace_requested()) {
        write_backtrace();
    } else if (first) {
        std::fprintf(stderr, "note: run with `%s=1` environment variable to display a backtrace\n",
                     backtrace_variable);
    }
    std::fflush(stderr);
}

[[noreturn]] void abort_at_boundary(const std::source_location& where) {
    write_diagnostic(guard_text, where);
    std::abort();
}

// Text that cannot be encoded as UTF-8 (lone surrogates) is still shown: each byte of what
// cannot be encoded becomes U+FFFD, as lossy UTF-8 decoding does.
std::string lossy_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
    PyErr_Clear();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                      PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!decoded) object_creation_failed();
    const char* data = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (data == nullptr) object_creation_failed();
    return std::string(data, size);
}

[[noreturn]] void resume_fault_from_python(PyRef exception) {
    models::InternalFault fault{.fixed_text = "Unwrapped panic from Python code",
                                .composed_text = {},
                                .location = std::source_location::current(),
                                .write_diagnostic = false};
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
        fault.composed_text = lossy_utf8(text.get());
        fault.fixed_text = nullptr;
    } else {
        PyErr_Clear();
    }
    std::fputs("--- lumagnis is resuming an internal fault after fetching a PanicException "
               "from Python. ---\nPython stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw fault;
}

// Sets the fault exception carrying `message`, replacing whatever a failed call left pending
// (which would otherwise become its context).
void set_fault_exception(std::string_view message) {
    PyErr_Clear();
    PyErr_SetRaisedException(new_exception(fault_exception_type(), message).release());
}

} // namespace

PyObject* fault_exception_type() {
    static PyObject* type = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", fault_exception_doc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyErr_Print();
            std::fputs("lumagnis: could not create the PanicException type\n", stderr);
            std::abort();
        }
    });
    return type;
}

PyRef new_exception(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) object_creation_failed();
    PyErr_SetObject(type, text.get());
    return PyRef::steal(PyErr_GetRaisedException());
}

PyRef numeric_failure_exception(special::Failure failure) {
    return new_exception(PyExc_RuntimeError, failure.message);
}

PyRef fetch_pending_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (exception && PyObject_TypeCheck(exception.get(),
                                        reinterpret_cast<PyTypeObject*>(fault_exception_type()))) {
        resume_fault_from_python(std::move(exception));
    }
    return exception;
}

PyRef failed_call_exception() {
    if (PyRef exception = fetch_pending_exception()) return exception;
    return new_exception(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void object_creation_failed(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    models::internal_fault("Python API call failed", where);
}

std::string display(PyObject* object) {
    if (PyRef text = PyRef::steal(PyObject_Str(object))) return lossy_utf8(text.get());
    if (PyRef error = fetch_pending_exception()) {
        PyErr_SetRaisedException(error.release());
        PyErr_WriteUnraisable(object);
    }
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + lossy_utf8(name.get()) + " object>";
}

PyObject* return_outcome(PyResult<PyRef>&& outcome) noexcept {
    if (outcome) return outcome->release();
    PyErr_SetRaisedException(outcome.error().release());
    return nullptr;
}

// No null check of the forced unwind's handler: see call_guarded.
[[gnu::noinline, gnu::no_sanitize("null")]] void raise_current_fault() {
    try {
        try {
            throw;
        } catch (const models::InternalFault& fault) {
            if (fault.write_diagnostic) write_diagnostic(fault.message(), fault.location);
            set_fault_exception(fault.message());
        } catch (const std::exception& error) {
            write_diagnostic(error.what(), std::source_location::current());
            set_fault_exception(error.what());
        } catch (...) {
            constexpr const char* message = "internal fault in native code";
            write_diagnostic(message, std::source_location::current());
            set_fault_exception(message);
        }
    } catch (const abi::__forced_unwind&) {
        throw; // the thread is being ended while the fault is reported: see call_guarded
    } catch (...) {
        abort_at_boundary(std::source_location::current());
    }
}

} // namespace lumagnis::module
