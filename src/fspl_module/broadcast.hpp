#pragma once
// Arguments broadcast with numpy's rules, once, before the loop; results allocated once and
// handed to numpy without a copy.

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

namespace lumagnis::fspl_module {

namespace nb = nanobind;

// One argument as float64 over the broadcast shape: element i is data[i * step], with step 0
// for an argument that holds one value and 1 for one that holds them all.
struct Column {
    const double* data;
    std::size_t step;

    double operator[](std::size_t i) const { return data[i * step]; }
};

// The numeric arguments of one call, converted by numpy.asarray to float64 and broadcast
// against each other. The arrays are owned here, so the columns stay valid for the call; the
// object is created and destroyed under the interpreter lock, and only the columns are read
// while the lock is released.
class Broadcast {
public:
    // Raises numpy's own errors for what it cannot convert or broadcast.
    explicit Broadcast(std::initializer_list<nb::handle> arguments);

    std::size_t size() const { return size_; }
    // Every argument was a scalar (0-d counts as scalar): the results are Python floats.
    bool scalar() const { return scalar_; }
    const Column& operator[](std::size_t i) const { return columns_[i]; }
    const std::vector<std::size_t>& shape() const { return shape_; }

    // Raises ValueError(text) unless every value of column i satisfies `valid`.
    template <class Valid> void require(std::size_t i, Valid valid, const char* text) const {
        const Column& column = columns_[i];
        const std::size_t n = column.step == 0 ? (size_ == 0 ? 0 : 1) : size_;
        for (std::size_t k = 0; k < n; ++k) {
            if (!valid(column.data[k])) throw nb::value_error(text);
        }
    }

private:
    std::vector<nb::object> arrays_;
    std::vector<Column> columns_;
    std::vector<std::size_t> shape_;
    std::size_t size_ = 1;
    bool scalar_ = true;
};

// K result buffers of the broadcast size, filled while the lock is released and then handed
// over to numpy arrays (or read into floats for scalar input).
template <std::size_t K> class Results {
public:
    explicit Results(const Broadcast& inputs) : inputs_(inputs) {
        for (auto& buffer : buffers_) buffer.reset(new double[inputs.size()]);
    }

    double* operator[](std::size_t k) { return buffers_[k].get(); }

    // One result: an array or a float; several: a tuple of them.
    nb::object release() {
        if constexpr (K == 1) {
            return one(0);
        } else {
            nb::tuple items = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(K)));
            for (std::size_t k = 0; k < K; ++k) {
                PyTuple_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(k), one(k).release().ptr());
            }
            return items;
        }
    }

private:
    nb::object one(std::size_t k);

    const Broadcast& inputs_;
    std::array<std::unique_ptr<double[]>, K> buffers_;
};

// The numpy array that takes ownership of `buffer` (left empty once the array owns it).
nb::object hand_to_numpy(std::unique_ptr<double[]>& buffer, const std::vector<std::size_t>& shape);

template <std::size_t K> nb::object Results<K>::one(std::size_t k) {
    if (inputs_.scalar()) return nb::float_(buffers_[k][0]);
    return hand_to_numpy(buffers_[k], inputs_.shape());
}

} // namespace lumagnis::fspl_module
