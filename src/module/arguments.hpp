#pragma once
// Argument binding and conversion for the fast-call entry routines, with the exact TypeError
// texts a caller can get from a wrong call.

#include <Python.h>

#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <tuple>
#include <utility>

#include "module/py_ref.hpp"
#include "numerics/float_vector.hpp"

namespace lumagnis::module {

using numerics::FloatVector;

// One per function: every parameter is required and may be passed by position or keyword.
struct ArgumentSpec {
    const char* function_name;
    std::span<const char* const> parameter_names;
    std::size_t required_positional;
};

inline constexpr std::size_t max_parameters = 8;

// Borrowed references, one per parameter, in signature order; null where nothing was bound.
using Slots = std::array<PyObject*, max_parameters>;

PyResult<Slots> bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

PyResult<double> extract_float(PyObject* object);
PyResult<FloatVector> extract_float_vector(PyObject* object);

// The error to report for a failed conversion of parameter `name`.
PyRef wrap_argument_error(const char* name, PyRef error);

PyRef float_to_python(double value);
PyRef float_vector_to_list(const FloatVector& vector);

template <class T> PyResult<T> extract(PyObject* object);
template <> inline PyResult<double> extract<double>(PyObject* object) {
    return extract_float(object);
}
template <> inline PyResult<FloatVector> extract<FloatVector>(PyObject* object) {
    return extract_float_vector(object);
}

// Converts the bound slots in signature order; the first failure ends conversion.
template <class... Params>
PyResult<std::tuple<Params...>> convert_arguments(const ArgumentSpec& spec, const Slots& slots) {
    std::tuple<Params...> values;
    PyRef error;
    auto convert_one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
        auto value = extract<std::tuple_element_t<I, std::tuple<Params...>>>(slots[I]);
        if (!value) {
            error = wrap_argument_error(spec.parameter_names[I], std::move(value.error()));
            return false;
        }
        std::get<I>(values) = std::move(*value);
        return true;
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (convert_one(std::integral_constant<std::size_t, I>{}) && ...);
    }(std::index_sequence_for<Params...>{});
    if (error) return std::unexpected(std::move(error));
    return values;
}

} // namespace lumagnis::module
