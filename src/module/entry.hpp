#pragma once
// The call entry shared by every function: bind, convert, compute, convert back, all inside
// the entry guard.

#include <Python.h>

#include <expected>
#include <tuple>
#include <utility>

#include "module/arguments.hpp"
#include "module/failures.hpp"
#include "special/failure.hpp"

namespace lumagnis::module {

inline PyRef to_python(double value) { return float_to_python(value); }
inline PyRef to_python(const FloatVector& vector) { return float_vector_to_list(vector); }

template <class T> PyResult<PyRef> to_python(const std::expected<T, special::Failure>& outcome) {
    if (!outcome) return std::unexpected(numeric_failure_exception(outcome.error()));
    return to_python(*outcome);
}

// The fast-call entry routine of a function described by `Spec`, whose parameters convert to
// `Params...` in signature order and whose computation is `Compute`. Not noexcept, for the
// forced unwind that `call_guarded` lets through.
template <const ArgumentSpec& Spec, auto Compute, class... Params>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // A mismatch here would bind arguments to the wrong parameters, or past the slot array,
    // without a word at run time.
    static_assert(sizeof...(Params) == Spec.parameter_names.size(),
                  "one converted type per parameter name");
    static_assert(Spec.parameter_names.size() <= max_parameters, "every parameter has a slot");
    static_assert(Spec.required_positional == Spec.parameter_names.size(),
                  "every parameter is required");
    return call_guarded([&]() -> PyResult<PyRef> {
        PyResult<Slots> slots = bind_arguments(Spec, args, nargs, kwnames);
        if (!slots) return std::unexpected(std::move(slots.error()));
        PyResult<std::tuple<Params...>> values = convert_arguments<Params...>(Spec, *slots);
        if (!values) return std::unexpected(std::move(values.error()));
        return to_python(std::apply(Compute, std::move(*values)));
    });
}

// The entry in the shape the method table stores.
template <const ArgumentSpec& Spec, auto Compute, class... Params>
inline const PyCFunction entry_function =
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Spec, Compute, Params...>));

} // namespace lumagnis::module
