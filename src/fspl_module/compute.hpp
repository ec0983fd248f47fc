#pragma once
// The loop of every function: the results allocated once, then filled element by element with
// the interpreter lock released, on the calling thread alone or shared with pool threads. On the
// main thread the loop stops every few milliseconds to let the interpreter run its signal
// handlers, so that Ctrl-C interrupts a long call; an interrupted call returns no result at all.
// A call of plain numbers (Scalars) computes its one element directly.

#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "fspl_module/broadcast.hpp"
#include "fspl_module/call.hpp"
#include "fspl_module/pool.hpp"

namespace lumagnis::fspl_module {

// How long the main thread computes between two looks at pending signals.
inline constexpr std::chrono::milliseconds signal_period{4};

// K results over the broadcast shape: numpy arrays written in place, or floats for a scalar
// call.
template <std::size_t K> class Results {
public:
    template <class Inputs> explicit Results(const Inputs& inputs) : scalar_(inputs.scalar()) {
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

// Visits the walk with the lock released, on the calling thread and, when `threads` > 1 and
// the walk is long enough, pool threads; false when a signal handler raised (its exception is
// then set). An interrupt stops the pool threads at their next chunk.
template <std::size_t N, class Each>
bool visit_unlocked(const Walk<N>& walk, std::size_t threads, Each& each) {
    const bool main = on_main_thread();
    PyThreadState* state = PyEval_SaveThread();
    bool finished = false;
    // A fault of the loop, on any thread, is raised once the lock is held again.
    std::exception_ptr fault;
    try {
        SignalCheck stop(state, main);
        if (threads > 1 && walk.size >= shared_minimum) {
            // Each chunk has its own copy of `each`, for the elements a RowEach holds.
            auto chunk = [&walk, &each](std::size_t begin, std::size_t end) {
                Each own = each;
                visit_range(walk, begin, end, own);
            };
            finished = share(walk.size, threads, chunk, stop);
        } else {
            finished = visit(walk, each, stop);
        }
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        fault = std::current_exception();
    }
    // At interpreter exit this ends a daemon thread, by an unwind from here (see `guarded`);
    // the pool threads have left the call by then.
    PyEval_RestoreThread(state);
    if (fault) std::rethrow_exception(fault);
    return finished;
}

template <std::size_t N, class Each>
void run(const Broadcast& inputs, std::size_t threads, Each& each) {
    const Walk<N> walk = inputs.walk<N>();
    // One element is not worth giving the lock away for.
    if (inputs.size() <= 1) {
        visit(walk, each, [] { return false; });
    } else if (!visit_unlocked(walk, threads, each)) {
        throw Raised{};
    }
}

template <std::size_t N, class Each> void run(const Scalars<N>& inputs, std::size_t, Each& each) {
    each(0, inputs.values());
}

// The function's results: kernel(values) gives the K results of one element from the values of
// its N arguments.
template <std::size_t N, std::size_t K, class Inputs, class Kernel>
PyRef compute(const Inputs& inputs, std::size_t threads, Kernel kernel) {
    Results<K> results(inputs);
    const std::array<double*, K> out = results.data();
    auto each = [&out, &kernel](std::size_t i, const std::array<double, N>& values) {
        const std::array<double, K> element = kernel(values);
        for (std::size_t k = 0; k < K; ++k) out[k][i] = element[k];
    };
    run<N>(inputs, threads, each);
    return results.release();
}

// An element loop that sends the elements a row kernel takes to it, Row::lanes at a time, and
// the others to the kernel one by one. The row kernel gives every element the bits the kernel
// would, so an element's results do not depend on its neighbours, nor on where a range ends.
// Row: takes(values) whether an element may go in a row; row(columns, out, index) for lanes of
// them, columns[k][l] the k-th value of lane l, its K results written to out[k][index[l]]. The
// values are held argument by argument, as the row reads them, and its results go straight to
// the output, so that a row costs no copies between the two layouts. Optionally, direct(at, out,
// i): lanes consecutive elements read in place, at[k][l] the k-th value of lane l, their
// results written to out[k][i + l] if the row takes them all (true), else nothing (false).
template <std::size_t N, std::size_t K, class Kernel, class Row> class RowEach {
public:
    static constexpr std::size_t lanes = Row::lanes;
    // The walk hands it whole runs of elements (run).
    static constexpr bool takes_runs = true;
    static constexpr bool has_direct =
        requires(const Row& r, const std::array<const double*, N>& at, std::size_t i) {
            { r.direct(at, std::array<double*, K>{}, i) } -> std::same_as<bool>;
        };
    using Columns = std::array<std::array<double, lanes>, N>;

    RowEach(const std::array<double*, K>& out, const Kernel& kernel, const Row& row)
        : out_(out), kernel_(&kernel), row_(&row) {}

    // The elements i .. i + count - 1, argument k of element e at first[k] + e * step[k] (bytes).
    // The count of elements held and the row kernel are kept in locals for the run: held in the
    // object, the count would make every element wait on its own store and reload.
    void run(std::size_t i, std::size_t count, const std::array<const char*, N>& first,
             const std::array<Py_ssize_t, N>& step) {
        const Row row = *row_;
        std::size_t held = held_;
        // Where every argument is contiguous and aligned, or one value for the whole run, a Row
        // with `direct` reads lanes of elements in place and writes their results in place.
        [[maybe_unused]] Columns same{};
        [[maybe_unused]] bool direct = false;
        if constexpr (has_direct) {
            direct = count >= lanes;
            for (std::size_t k = 0; k < N; ++k) {
                const bool aligned =
                    reinterpret_cast<std::uintptr_t>(first[k]) % alignof(double) == 0;
                if (step[k] == 0) {
                    same[k].fill(load(first[k]));
                } else {
                    direct = direct && aligned && step[k] == sizeof(double);
                }
            }
        }
        // After a try of a direct row in which some lane was not the row's, the lanes tried go
        // one at a time (`single` counts those left), so that a run of elements the row does
        // not take is not tried again at every element.
        std::size_t single = 0;
        for (std::size_t e = 0; e < count; ++e, ++i) {
            if constexpr (has_direct) {
                if (direct && held == 0 && single == 0 && count - e >= lanes) {
                    std::array<const double*, N> at;
                    for (std::size_t k = 0; k < N; ++k) {
                        at[k] = step[k] == 0 ? same[k].data()
                                             : reinterpret_cast<const double*>(
                                                   first[k] + static_cast<Py_ssize_t>(e) * step[k]);
                    }
                    if (row.direct(at, out_, i)) {
                        e += lanes - 1;
                        i += lanes - 1;
                        continue;
                    }
                    single = lanes;
                }
                if (single > 0) --single;
            }
            std::array<double, N> values;
            for (std::size_t k = 0; k < N; ++k) {
                values[k] = load(first[k] + static_cast<Py_ssize_t>(e) * step[k]);
            }
            if (!row.takes(values)) {
                write(i, (*kernel_)(values));
                continue;
            }
            index_[held] = i;
            for (std::size_t k = 0; k < N; ++k) columns_[k][held] = values[k];
            if (++held < lanes) continue;
            held = 0;
            row(columns_, out_, index_);
        }
        held_ = held;
    }

    // The elements of a row left short, one by one.
    void flush() {
        for (std::size_t l = 0; l < held_; ++l) {
            std::array<double, N> values;
            for (std::size_t k = 0; k < N; ++k) values[k] = columns_[k][l];
            write(index_[l], (*kernel_)(values));
        }
        held_ = 0;
    }

private:
    void write(std::size_t i, const std::array<double, K>& element) const {
        for (std::size_t k = 0; k < K; ++k) out_[k][i] = element[k];
    }

    std::array<double*, K> out_;
    const Kernel* kernel_;
    const Row* row_;
    std::size_t held_ = 0;
    std::array<std::size_t, lanes> index_{};
    Columns columns_{};
};

// As compute, with a row kernel beside the kernel (see RowEach) for arrays; a call of plain
// numbers computes its one element with the kernel.
template <std::size_t N, std::size_t K, class Kernel, class Row>
PyRef compute(const Broadcast& inputs, std::size_t threads, Kernel kernel, Row row) {
    Results<K> results(inputs);
    const std::array<double*, K> out = results.data();
    RowEach<N, K, Kernel, Row> each(out, kernel, row);
    run<N>(inputs, threads, each);
    return results.release();
}

template <std::size_t N, std::size_t K, class Kernel, class Row>
PyRef compute(const Scalars<N>& inputs, std::size_t threads, Kernel kernel, Row) {
    return compute<N, K>(inputs, threads, kernel);
}

// As compute, with one result more, last: the derivatives in the law's `count` coefficients, an
// array of the broadcast shape with a trailing axis of that length (for scalar arguments too).
// kernel(values, d) gives the K results and writes the element's `count` derivatives at d.
template <std::size_t N, std::size_t K, class Inputs, class Kernel>
PyRef compute_with_coefficients(const Inputs& inputs, std::size_t threads, std::size_t count,
                                Kernel kernel) {
    Results<K> results(inputs);
    const std::array<double*, K> out = results.data();
    std::vector<Py_ssize_t> shape = inputs.shape();
    shape.push_back(static_cast<Py_ssize_t>(count));
    PyRef derivatives = checked(PyObject_CallOneArg(numpy().empty, shape_tuple(shape).get()));
    Py_buffer view;
    if (PyObject_GetBuffer(derivatives.get(), &view, PyBUF_WRITABLE) < 0) throw Raised{};
    double* const d = static_cast<double*>(view.buf);
    PyBuffer_Release(&view);
    auto each = [&out, &kernel, d, count](std::size_t i, const std::array<double, N>& values) {
        const std::array<double, K> element = kernel(values, d + i * count);
        for (std::size_t k = 0; k < K; ++k) out[k][i] = element[k];
    };
    run<N>(inputs, threads, each);
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
