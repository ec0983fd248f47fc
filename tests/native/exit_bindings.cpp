// A hook at the very end of the process, after the interpreter and its runtime are gone, so
// that a test can wake a daemon thread there and watch it being ended.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bindings.hpp"

namespace lumagnis::testing {
namespace {

// Filled once, under the lock, by wake_at_process_exit; read by the exit handler alone.
int wake_descriptor = -1;
std::string woken_task;
double wait_seconds = 0.0;

// The exit status when the woken thread is still alive at the deadline: the test then proves
// nothing, and says so.
constexpr int thread_not_ended = 3;

// Runs from exit(), after the runtime has been finalised: the interpreter's own teardown is
// complete, but the process, and a daemon thread blocked in a system call, live on.
extern "C" void wake_and_wait() {
    const char byte = 0;
    if (write(wake_descriptor, &byte, 1) != 1) _exit(thread_not_ended);
    // The woken thread tries to take the lock back, is ended, and unwinds; its task directory
    // goes once it has.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_seconds);
    struct stat status;
    while (stat(woken_task.c_str(), &status) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fputs("the woken thread was not ended in time\n", stderr);
            _exit(thread_not_ended);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// wake_at_process_exit(fd, native_thread_id, seconds): at process exit, writes one byte to fd,
// then waits up to `seconds` for the thread to end; past that, the process exits with status 3.
PyObject* wake_at_process_exit(PyObject*, PyObject* args) noexcept {
    int descriptor;
    unsigned long thread;
    double seconds;
    if (!PyArg_ParseTuple(args, "ikd", &descriptor, &thread, &seconds)) return nullptr;
    if (wake_descriptor != -1) {
        PyErr_SetString(PyExc_RuntimeError, "already set for this process");
        return nullptr;
    }
    if (std::atexit(wake_and_wait) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "atexit refused the handler");
        return nullptr;
    }
    wake_descriptor = descriptor;
    woken_task = "/proc/self/task/" + std::to_string(thread);
    wait_seconds = seconds;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"wake_at_process_exit", wake_at_process_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

const PyMethodDef* exit_methods() { return methods; }

} // namespace lumagnis::testing
