#pragma once
// The numeric arguments of one call: each converted to float64 once, under the interpreter
// lock, then read in place through its own strides. Broadcasting gives a dimension an argument
// lacks, or holds once, the stride 0, so that no argument is ever expanded to the shape of the
// result: a call needs its results and a constant beside them.

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <vector>

#include "fspl_module/call.hpp"

namespace lumagnis::fspl_module {

// numpy's own limit on the number of dimensions.
inline constexpr std::size_t max_dimensions = 64;

// Elements visited between two calls of a walk's `stop`: few enough that the slowest law takes
// a few milliseconds for them, enough that asking costs nothing measurable.
inline constexpr std::size_t elements_per_pause = 1024;

// An argument may be any float64 array numpy hands over, unaligned ones included.
inline double load(const char* address) {
    double value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// N arrays visited together over one shape, in C order. Dimensions of extent 1 are left out;
// strides are in bytes, 0 along a broadcast dimension.
template <std::size_t N> struct Walk {
    std::vector<Py_ssize_t> extents;
    std::array<std::vector<Py_ssize_t>, N> strides;
    std::array<const char*, N> first{};
    std::size_t size = 1;
};

// Calls each(i, values) for the elements i of [begin, end), in C order. Touches no Python
// object.
template <std::size_t N, class Each>
void visit_elements(const Walk<N>& walk, std::size_t begin, std::size_t end, Each&& each) {
    if (begin >= end) return;
    const std::size_t dims = walk.extents.size();
    const Py_ssize_t inner = dims == 0 ? 1 : walk.extents[dims - 1];
    std::array<Py_ssize_t, N> step{};
    if (dims > 0) {
        for (std::size_t k = 0; k < N; ++k) step[k] = walk.strides[k][dims - 1];
    }
    // The odometer at `begin`: the row it lies in, and its place in that row.
    std::array<Py_ssize_t, max_dimensions> index{};
    std::array<const char*, N> row = walk.first;
    std::size_t rest = begin;
    for (std::size_t d = dims; d-- > 0;) {
        const auto extent = static_cast<std::size_t>(walk.extents[d]);
        index[d] = static_cast<Py_ssize_t>(rest % extent);
        rest /= extent;
        if (d + 1 == dims) continue;
        for (std::size_t k = 0; k < N; ++k) row[k] += index[d] * walk.strides[k][d];
    }
    Py_ssize_t j = dims == 0 ? 0 : index[dims - 1];
    std::array<double, N> values;
    std::size_t i = begin;
    for (;;) {
        // The element loop has no branch but its own.
        const Py_ssize_t last = std::min(inner, j + static_cast<Py_ssize_t>(end - i));
        if constexpr (requires { std::remove_cvref_t<Each>::takes_runs; }) {
            // An `each` that keeps state from element to element takes the run whole, so that
            // its state stays in registers rather than going through memory at every element.
            const std::size_t count = static_cast<std::size_t>(last - j);
            std::array<const char*, N> first;
            for (std::size_t k = 0; k < N; ++k) first[k] = row[k] + j * step[k];
            each.run(i, count, first, step);
            i += count;
            j = last;
        } else {
            for (; j < last; ++j, ++i) {
                for (std::size_t k = 0; k < N; ++k) values[k] = load(row[k] + j * step[k]);
                each(i, values);
            }
        }
        if (i == end) return;
        j = 0;
        // The next row: the odometer of the outer dimensions.
        std::size_t d = dims - 1;
        for (;;) {
            if (d == 0) return;
            --d;
            for (std::size_t k = 0; k < N; ++k) row[k] += walk.strides[k][d];
            if (++index[d] < walk.extents[d]) break;
            for (std::size_t k = 0; k < N; ++k) row[k] -= walk.strides[k][d] * walk.extents[d];
            index[d] = 0;
        }
    }
}

// visit_elements, then an `each` that holds elements back to compute several at a time (a
// RowEach) computes those it still holds: the range is its own, whichever thread runs it.
template <std::size_t N, class Each>
void visit_range(const Walk<N>& walk, std::size_t begin, std::size_t end, Each&& each) {
    visit_elements(walk, begin, end, each);
    if constexpr (requires { each.flush(); }) each.flush();
}

// Calls each(i, values) for every element i, and stop() after every elements_per_pause of them;
// returns false as soon as stop() returns true. Touches no Python object.
template <std::size_t N, class Each, class Stop>
bool visit(const Walk<N>& walk, Each&& each, Stop&& stop) {
    for (std::size_t begin = 0; begin < walk.size; begin += elements_per_pause) {
        const std::size_t end = std::min(walk.size, begin + elements_per_pause);
        visit_range(walk, begin, end, each);
        if (end < walk.size && stop()) return false;
    }
    return true;
}

// One argument as float64: a plain number kept as its value, anything else as the array
// numpy.asarray makes of it, held for the call.
struct Operand {
    const char* name = nullptr;
    PyRef array;
    double value = 0.0;
    const char* data = nullptr;
    std::vector<Py_ssize_t> shape;
    std::vector<Py_ssize_t> strides;

    const char* first() const { return array ? data : reinterpret_cast<const char*>(&value); }
};

struct Argument {
    PyObject* object;
    const char* name;
};

// A plain number's value: a float (a float subclass such as numpy.float64 too) or an int. False
// for anything else; an int too large for a float raises OverflowError, as numpy would.
bool plain_value(PyObject* object, double& value);

// A shape as the tuple of its extents.
PyRef shape_tuple(const std::vector<Py_ssize_t>& shape);

class Broadcast {
public:
    // Converts every argument and broadcasts them with numpy's rules. Refuses what does not mean
    // a real number (complex, datetime64, timedelta64) and masked arrays with a TypeError
    // naming the argument, shapes that do not broadcast with a ValueError naming both.
    explicit Broadcast(std::initializer_list<Argument> arguments);

    std::size_t size() const { return size_; }
    // Every argument was a scalar (0-d counts as scalar): the results are Python floats.
    bool scalar() const { return shape_.empty(); }
    const std::vector<Py_ssize_t>& shape() const { return shape_; }

    // Raises ValueError(text) unless every one of argument i's own elements satisfies `valid`,
    // whether or not the broadcast result has any element.
    template <class Valid> void require(std::size_t i, Valid valid, const char* text) const {
        bool invalid = false;
        visit(
            own_walk(i),
            [&](std::size_t, const std::array<double, 1>& value) {
                invalid = invalid || !valid(value[0]);
            },
            [&] { return invalid; });
        if (invalid) raise(PyExc_ValueError, text);
    }

    // The arguments, all of them, over the broadcast shape.
    template <std::size_t N> Walk<N> walk() const {
        Walk<N> result;
        result.size = size_;
        const std::size_t dims = shape_.size();
        for (std::size_t k = 0; k < N; ++k) result.first[k] = operands_[k].first();
        for (std::size_t d = 0; d < dims; ++d) {
            if (shape_[d] == 1) continue;
            result.extents.push_back(shape_[d]);
            for (std::size_t k = 0; k < N; ++k) {
                const Operand& operand = operands_[k];
                const std::size_t missing = dims - operand.shape.size();
                const bool held = d >= missing && operand.shape[d - missing] != 1;
                result.strides[k].push_back(held ? operand.strides[d - missing] : 0);
            }
        }
        return result;
    }

private:
    Walk<1> own_walk(std::size_t i) const;

    std::vector<Operand> operands_;
    std::vector<Py_ssize_t> shape_;
    std::size_t size_ = 1;
};

// The arguments of a call whose every array argument is a plain number, the common case of a
// modeller's own loop: read as they are, with no array made and nothing to broadcast. Offers
// what a Broadcast offers, for a single element, so that the same validation and loop run on it.
template <std::size_t N> class Scalars {
public:
    // The values, or nothing when an argument is not a plain number: the call then takes the
    // general path, which converts every argument again (and raises the same errors).
    static std::optional<Scalars> read(const std::array<PyObject*, N>& objects) {
        Scalars scalars;
        for (std::size_t k = 0; k < N; ++k) {
            if (!plain_value(objects[k], scalars.values_[k])) return std::nullopt;
        }
        return scalars;
    }

    std::size_t size() const { return 1; }
    bool scalar() const { return true; }
    const std::vector<Py_ssize_t>& shape() const {
        static const std::vector<Py_ssize_t> none;
        return none;
    }
    const std::array<double, N>& values() const { return values_; }

    template <class Valid> void require(std::size_t i, Valid valid, const char* text) const {
        if (!valid(values_[i])) raise(PyExc_ValueError, text);
    }

private:
    std::array<double, N> values_{};
};

} // namespace lumagnis::fspl_module
