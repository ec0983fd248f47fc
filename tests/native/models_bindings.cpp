// The source-integration machinery, for the tests: the built-in limb-darkening profile, its
// normaliser and the step of the radial derivative. The kernels and integrals themselves are
// reached through the public module.

#include <expected>

#include "bindings.hpp"
#include "models/source_integration.hpp"
#include "module/arguments.hpp"
#include "module/entry.hpp"
#include "special/failure.hpp"

namespace lumagnis::testing {
namespace {

using Outcome = std::expected<double, special::Failure>;

Outcome limb_darkening_profile(double x) { return models::limb_darkening_profile(x); }

constexpr const char* x_only[] = {"x"};
constexpr module::ArgumentSpec profile_spec{"limb_darkening_profile", x_only, 1};

// The two constants take no arguments, so they need no binding.
PyObject* derivative_step(PyObject*, PyObject*) noexcept {
    return PyFloat_FromDouble(models::derivative_step());
}

PyObject* limb_darkened_flux(PyObject*, PyObject*) noexcept {
    return PyFloat_FromDouble(models::limb_darkened_flux);
}

} // namespace

const PyMethodDef* models_methods() {
    static PyMethodDef methods[] = {
        {"limb_darkening_profile",
         module::entry_function<profile_spec, &limb_darkening_profile, double>,
         METH_FASTCALL | METH_KEYWORDS,
         "limb_darkening_profile(x)\n--\n\nThe built-in brightness profile at ring radius x."},
        {"derivative_step", derivative_step, METH_NOARGS,
         "derivative_step()\n--\n\nThe relative step of the radial central difference."},
        {"limb_darkened_flux", limb_darkened_flux, METH_NOARGS,
         "limb_darkened_flux()\n--\n\nThe normaliser of the built-in profile."},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

} // namespace lumagnis::testing
