// The numerical methods, for the tests: the quadrature over a Python callable, its node table,
// and both forms of the interpolation.

#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <utility>

#include "bindings.hpp"
#include "module/arguments.hpp"
#include "module/entry.hpp"
#include "module/failures.hpp"
#include "numerics/interp.hpp"
#include "numerics/tanh_sinh.hpp"
#include "special/failure.hpp"

namespace lumagnis::testing {
namespace {

using module::PyRef;
using module::PyResult;
using numerics::FloatVector;

// The numeric routines take equal lengths as given; the test module refuses anything else
// rather than read past a table.
constexpr special::Failure unequal_lengths{"xs and ys must have the same length"};

// Calls a Python integrand for the quadrature. An exception cannot cross the quadrature, so
// the first one is kept, the value counts as NaN (the quadrature's guard then zeroes it),
// and the exception is raised once the integration is over.
class PythonIntegrand {
public:
    explicit PythonIntegrand(PyObject* callable) : callable_(callable) {}

    double operator()(double x) {
        PyRef argument = module::float_to_python(x);
        PyRef value = PyRef::steal(PyObject_CallOneArg(callable_, argument.get()));
        if (!value) return failed(module::failed_call_exception());
        PyResult<double> number = module::extract_float(value.get());
        if (!number) return failed(std::move(number.error()));
        return *number;
    }

    PyRef take_exception() { return std::move(exception_); }

private:
    double failed(PyRef exception) {
        if (!exception_) exception_ = std::move(exception);
        return std::numeric_limits<double>::quiet_NaN();
    }

    PyObject* callable_;
    PyRef exception_;
};

constexpr const char* integrate_parameters[] = {"f", "a", "b", "tolerance"};
constexpr module::ArgumentSpec integrate_spec{"tanh_sinh_integrate", integrate_parameters, 4};

PyObject* tanh_sinh_integrate(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return module::call_guarded([&]() -> PyResult<PyRef> {
        PyResult<module::Slots> slots =
            module::bind_arguments(integrate_spec, args, nargs, kwnames);
        if (!slots) return std::unexpected(std::move(slots.error()));
        double bounds[3] = {};
        for (std::size_t i = 0; i < 3; ++i) {
            PyResult<double> value = module::extract_float((*slots)[i + 1]);
            if (!value) {
                return std::unexpected(module::wrap_argument_error(integrate_parameters[i + 1],
                                                                   std::move(value.error())));
            }
            bounds[i] = *value;
        }
        PythonIntegrand integrand((*slots)[0]);
        const numerics::QuadratureResult result =
            numerics::tanh_sinh_integrate(integrand, bounds[0], bounds[1], bounds[2]);
        if (PyRef exception = integrand.take_exception()) {
            return std::unexpected(std::move(exception));
        }
        PyRef tuple =
            PyRef::steal(Py_BuildValue("(ddk)", result.estimate, result.abs_error,
                                       static_cast<unsigned long>(result.evaluation_count)));
        if (!tuple) module::object_creation_failed();
        return tuple;
    });
}

PyObject* tanh_sinh_nodes(PyObject*, PyObject*) noexcept {
    return module::call_guarded([]() -> PyResult<PyRef> {
        const auto levels = static_cast<Py_ssize_t>(numerics::TANH_SINH_NODES.size());
        PyRef table = PyRef::steal(PyList_New(levels));
        if (!table) module::object_creation_failed();
        for (Py_ssize_t k = 0; k < levels; ++k) {
            const std::span<const numerics::TanhSinhNode> level = numerics::TANH_SINH_NODES[k];
            PyObject* pairs = PyList_New(static_cast<Py_ssize_t>(level.size()));
            if (pairs == nullptr) module::object_creation_failed();
            PyList_SET_ITEM(table.get(), k, pairs);
            for (std::size_t i = 0; i < level.size(); ++i) {
                PyObject* pair = Py_BuildValue("(dd)", level[i].weight, level[i].abscissa);
                if (pair == nullptr) module::object_creation_failed();
                PyList_SET_ITEM(pairs, static_cast<Py_ssize_t>(i), pair);
            }
        }
        return table;
    });
}

std::expected<double, special::Failure> interp(FloatVector xs, FloatVector ys, double x,
                                               double outside_value) {
    if (xs.size() != ys.size()) return std::unexpected(unequal_lengths);
    return numerics::interp(xs, ys, x, outside_value);
}

std::expected<FloatVector, special::Failure> piecewise_linear(FloatVector xs, FloatVector ys,
                                                              FloatVector queries) {
    if (xs.size() != ys.size()) return std::unexpected(unequal_lengths);
    const numerics::PiecewiseLinear profile(xs, ys);
    for (double& query : queries) query = profile(query);
    return queries;
}

constexpr const char* interp_parameters[] = {"xs", "ys", "x", "outside_value"};
constexpr module::ArgumentSpec interp_spec{"interp", interp_parameters, 4};
constexpr const char* piecewise_linear_parameters[] = {"xs", "ys", "queries"};
constexpr module::ArgumentSpec piecewise_linear_spec{"piecewise_linear",
                                                     piecewise_linear_parameters, 3};

} // namespace

const PyMethodDef* numerics_methods() {
    static PyMethodDef methods[] = {
        {"tanh_sinh_integrate",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tanh_sinh_integrate)),
         METH_FASTCALL | METH_KEYWORDS,
         "tanh_sinh_integrate(f, a, b, tolerance)\n--\n\n"
         "(estimate, abs_error, evaluation_count) of the integral of f over [a, b]."},
        {"tanh_sinh_nodes", tanh_sinh_nodes, METH_NOARGS,
         "tanh_sinh_nodes()\n--\n\nThe node table: 7 lists of (weight, abscissa)."},
        {"interp",
         module::entry_function<interp_spec, &interp, FloatVector, FloatVector, double, double>,
         METH_FASTCALL | METH_KEYWORDS, "interp(xs, ys, x, outside_value)\n--\n\n"},
        {"piecewise_linear",
         module::entry_function<piecewise_linear_spec, &piecewise_linear, FloatVector, FloatVector,
                                FloatVector>,
         METH_FASTCALL | METH_KEYWORDS,
         "piecewise_linear(xs, ys, queries)\n--\n\n"
         "The cached interpolation (outside value 0.0) at each query."},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

} // namespace lumagnis::testing
