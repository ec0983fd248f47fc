#pragma once
// The loop of every function: the results allocated once, then filled element by element with
// the interpreter lock released. On the main thread the loop stops every few milliseconds to let
// the interpreter run its signal handlers, so that Ctrl-C interrupts a long call; an
// interrupted call returns no result at all.

#include <Python.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <vector>

#include "fspl_module/broadcast.hpp"
#include "fspl_module/call.hpp"

namespace lumagnis::fspl_module {

// How long the main thread computes between two looks at pending signals.
inline constexpr std::chrono::milliseconds signal_period{4};

// K results over the broadcast shape: numpy arrays written in place, or floats for a scalar
// call.
template <std::size_t K> class Results {
public:
    explicit Results(const Broadcast& inputs) : scalar_(inputs.scalar()) {
        if (scalar_) {
            for (std::size_t k = 0; k < K; ++k) data_[k] = &cells_[k];
            return;
        }
        const PyRef shape = shape_tuple(inputs.shape());
        for (std::size_t k = 0; k < K; ++k) {
            arrays_[k] = checked(PyObject_CallOneArg(numpy().empty, shape.get()));
            Py_buffer view;
            if (PyObject_GetBuffer(arrays_[k].get(), &view, PyBUF_WRITABLE) < 0) throw Raised{};
            data_[k] = static_cast<double*>(view.buf);
            PyBuffer_Release(&view);
        }
    }

    const std::array<double*, K>& data() const { return data_; }

    // One result: an array or a float; several: a tuple of them.
    PyRef release() {
        std::array<PyRef, K> items;
        for (std::size_t k = 0; k < K; ++k) {
            items[k] = scalar_ ? checked(PyFloat_FromDouble(cells_[k])) : std::move(arrays_[k]);
        }
        if constexpr (K == 1) {
            return std::move(items[0]);
        } else {
            PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(K)));
            for (std::size_t k = 0; k < K; ++k) {
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
            }
            return tuple;
        }
    }

private:
    bool scalar_;
    std::array<double, K> cells_{};
    std::array<PyRef, K> arrays_;
    std::array<double*, K> data_{};
};

// The `stop` of a walk run without the lock: on the main thread, every signal_period, takes the
// lock back just long enough to run the pending signal handlers; true once one has raised.
class SignalCheck {
public:
    SignalCheck(PyThreadState*& state, bool main)
        : state_(state), main_(main), last_(std::chrono::steady_clock::now()) {}

    bool operator()() {
        if (!main_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < signal_period) return false;
        last_ = now;
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState*& state_;
    bool main_;
    std::chrono::steady_clock::time_point last_;
};

// Visits the walk with the lock released; false when a signal handler raised (its exception is
// then set).
template <std::size_t N, class Each> bool visit_unlocked(const Walk<N>& walk, Each& each) {
    const bool main = on_main_thread();
    PyThreadState* state = PyEval_SaveThread();
    const bool finished = visit(walk, each, SignalCheck(state, main));
    // At interpreter exit this ends a daemon thread, by an unwind from here (see `guarded`).
    PyEval_RestoreThread(state);
    return finished;
}

// The function's results: kernel(values) gives the K results of one element from the values of
// its N arguments.
template <std::size_t N, std::size_t K, class Kernel>
PyRef compute(const Broadcast& inputs, Kernel kernel) {
    Results<K> results(inputs);
    const std::array<double*, K> out = results.data();
    const Walk<N> walk = inputs.walk<N>();
    auto each = [&out, &kernel](std::size_t i, const std::array<double, N>& values) {
        const std::array<double, K> element = kernel(values);
        for (std::size_t k = 0; k < K; ++k) out[k][i] = element[k];
    };
    // One element is not worth giving the lock away for.
    if (inputs.size() <= 1) {
        visit(walk, each, [] { return false; });
    } else if (!visit_unlocked(walk, each)) {
        throw Raised{};
    }
    return results.release();
}

// As compute, with one result more, last: the derivatives in the law's `count` coefficients, an
// array of the broadcast shape with a trailing axis of that length (for scalar arguments too).
// kernel(values, d) gives the K results and writes the element's `count` derivatives at d.
template <std::size_t N, std::size_t K, class Kernel>
PyRef compute_with_coefficients(const Broadcast& inputs, std::size_t count, Kernel kernel) {
    Results<K> results(inputs);
    const std::array<double*, K> out = results.data();
    std::vector<Py_ssize_t> shape = inputs.shape();
    shape.push_back(static_cast<Py_ssize_t>(count));
    PyRef derivatives = checked(PyObject_CallOneArg(numpy().empty, shape_tuple(shape).get()));
    Py_buffer view;
    if (PyObject_GetBuffer(derivatives.get(), &view, PyBUF_WRITABLE) < 0) throw Raised{};
    double* const d = static_cast<double*>(view.buf);
    PyBuffer_Release(&view);
    const Walk<N> walk = inputs.walk<N>();
    auto each = [&out, &kernel, d, count](std::size_t i, const std::array<double, N>& values) {
        const std::array<double, K> element = kernel(values, d + i * count);
        for (std::size_t k = 0; k < K; ++k) out[k][i] = element[k];
    };
    if (inputs.size() <= 1) {
        visit(walk, each, [] { return false; });
    } else if (!visit_unlocked(walk, each)) {
        throw Raised{};
    }
    PyRef first = results.release();
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(K + 1)));
    if constexpr (K == 1) {
        PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    } else {
        for (std::size_t k = 0; k < K; ++k) {
            PyObject* item = PyTuple_GET_ITEM(first.get(), static_cast<Py_ssize_t>(k));
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), item);
        }
    }
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(K), derivatives.release());
    return tuple;
}

} // namespace lumagnis::fspl_module
