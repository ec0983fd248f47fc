// The source-integration machinery and the two paths of the computations, for the tests: the
// built-in limb-darkening profile, its normaliser and the step of the radial derivative; the
// straightforward scalar path of every public function (`scalar_<name>`), which the optimised
// path must match bit for bit; and the batch kernels of either processor path.

#include <expected>

#include "bindings.hpp"
#include "models/batch.hpp"
#include "models/flux_map.hpp"
#include "models/fspl_disk.hpp"
#include "models/fspl_disk_rim.hpp"
#include "models/heyrovsky.hpp"
#include "models/source_integration.hpp"
#include "models/witt_mao.hpp"
#include "module/arguments.hpp"
#include "module/entry.hpp"
#include "reference_paths.hpp"
#include "special/failure.hpp"

namespace lumagnis::testing {
namespace {

using numerics::FloatVector;
using Outcome = std::expected<double, special::Failure>;
using Vector = std::expected<FloatVector, special::Failure>;

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

PyObject* vectorised(PyObject*, PyObject*) noexcept {
    return PyBool_FromLong(models::batch::vectorised() ? 1 : 0);
}

constexpr const char* l_re_rstar[] = {"l", "re", "rstar"};
constexpr const char* l_r_re_rstar[] = {"l", "r", "re", "rstar"};
constexpr const char* l_re_rstar_bl_bf[] = {"l", "re", "rstar", "bl", "bf"};

constexpr module::ArgumentSpec scalar_witt_mao{"scalar_witt_mao_magnification", l_re_rstar, 3};
constexpr module::ArgumentSpec scalar_integrated_witt_mao{
    "scalar_integrated_witt_mao_magnification", l_re_rstar, 3};
constexpr module::ArgumentSpec scalar_integrated_flux_map_witt_mao{
    "scalar_integrated_flux_map_witt_mao_magnification", l_re_rstar_bl_bf, 5};
constexpr module::ArgumentSpec scalar_heyrovsky{"scalar_heyrovsky_magnification", l_r_re_rstar, 4};
constexpr module::ArgumentSpec scalar_integrated_heyrovsky{
    "scalar_integrated_heyrovsky_magnification", l_re_rstar, 3};
constexpr module::ArgumentSpec scalar_integrated_flux_map_heyrovsky{
    "scalar_integrated_flux_map_heyrovsky_magnification", l_re_rstar_bl_bf, 5};
constexpr module::ArgumentSpec scalar_discrete_flux_map_heyrovsky{
    "scalar_discrete_flux_map_heyrovsky_magnification", l_re_rstar_bl_bf, 5};

// The batch kernels of one path: the values, NaN where the scalar kernel fails.
template <void (*Values)(double, double, double, const double*, double*, std::size_t)>
Vector ring_values(const FloatVector& r, double l, double re, double rstar) {
    FloatVector out(r.size());
    Values(l, re, rstar, r.data(), out.data(), r.size());
    return out;
}

template <void (*Values)(const double*, double, double, double*, std::size_t)>
Vector disk_values(const FloatVector& l, double re, double rstar) {
    FloatVector out(l.size());
    Values(l.data(), re, rstar, out.data(), l.size());
    return out;
}

constexpr const char* r_l_re_rstar[] = {"r", "l", "re", "rstar"};
constexpr module::ArgumentSpec portable_ring{"portable_ring_values", r_l_re_rstar, 4};
constexpr module::ArgumentSpec portable_disk{"portable_disk_values", l_re_rstar, 3};
#if defined(LUMAGNIS_HAVE_AVX2)
constexpr module::ArgumentSpec vector_ring{"vector_ring_values", r_l_re_rstar, 4};
constexpr module::ArgumentSpec vector_disk{"vector_disk_values", l_re_rstar, 3};
#endif

// The uniform disk of the finite-source kernels as [A, dA/du, dA/dR]: its closed form with
// forward-mode derivatives, and the same value with the derivatives from its rim integrals
// (wherever asked, so that tests can compare the two on both sides of the switch).
Vector disk_value(const models::fspl::DiskValue& disk) {
    return FloatVector{disk.a, disk.da_du, disk.da_dradius};
}
Vector uniform_disk_closed_gradient(double u, double radius) {
    return disk_value(models::fspl::uniform_disk_closed<true>(u, radius));
}
Vector uniform_disk_rim_gradient(double u, double radius) {
    const double a = models::fspl::uniform_disk_closed<false>(u, radius).a;
    return disk_value(models::fspl::with_rim_slopes(a, u, radius));
}

constexpr const char* u_radius[] = {"u", "radius"};
constexpr module::ArgumentSpec closed_gradient_spec{"uniform_disk_closed_gradient", u_radius, 2};
constexpr module::ArgumentSpec rim_gradient_spec{"uniform_disk_rim_gradient", u_radius, 2};

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

} // namespace

const PyMethodDef* models_methods() {
    using module::entry_function;
    using FV = FloatVector;
    static PyMethodDef methods[] = {
        {"limb_darkening_profile", entry_function<profile_spec, &limb_darkening_profile, double>,
         fast,
         "limb_darkening_profile(x)\n--\n\nThe built-in brightness profile at ring radius x."},
        {"derivative_step", derivative_step, METH_NOARGS,
         "derivative_step()\n--\n\nThe relative step of the radial central difference."},
        {"limb_darkened_flux", limb_darkened_flux, METH_NOARGS,
         "limb_darkened_flux()\n--\n\nThe normaliser of the built-in profile."},
        {"vectorised", vectorised, METH_NOARGS,
         "vectorised()\n--\n\nWhether the public functions take the AVX2 kernels here."},
        {"scalar_witt_mao_magnification",
         entry_function<scalar_witt_mao, &models::witt_mao_kernel, FV, double, double>, fast,
         nullptr},
        {"scalar_integrated_witt_mao_magnification",
         entry_function<scalar_integrated_witt_mao, &reference::integrated_witt_mao_magnification,
                        FV, double, double>,
         fast, nullptr},
        {"scalar_integrated_flux_map_witt_mao_magnification",
         entry_function<scalar_integrated_flux_map_witt_mao,
                        &reference::integrated_flux_map_witt_mao_magnification, FV, double, double,
                        FV, FV>,
         fast, nullptr},
        {"scalar_heyrovsky_magnification",
         entry_function<scalar_heyrovsky, &models::heyrovsky_kernel, double, double, double,
                        double>,
         fast, nullptr},
        {"scalar_integrated_heyrovsky_magnification",
         entry_function<scalar_integrated_heyrovsky, &reference::integrated_heyrovsky_magnification,
                        FV, double, double>,
         fast, nullptr},
        {"scalar_integrated_flux_map_heyrovsky_magnification",
         entry_function<scalar_integrated_flux_map_heyrovsky,
                        &reference::integrated_flux_map_heyrovsky_magnification, FV, double, double,
                        FV, FV>,
         fast, nullptr},
        {"scalar_discrete_flux_map_heyrovsky_magnification",
         entry_function<scalar_discrete_flux_map_heyrovsky,
                        &reference::discrete_flux_map_heyrovsky_magnification, FV, double, double,
                        FV, FV>,
         fast, nullptr},
        {"uniform_disk_closed_gradient",
         entry_function<closed_gradient_spec, &uniform_disk_closed_gradient, double, double>, fast,
         nullptr},
        {"uniform_disk_rim_gradient",
         entry_function<rim_gradient_spec, &uniform_disk_rim_gradient, double, double>, fast,
         nullptr},
        {"portable_ring_values",
         entry_function<portable_ring, &ring_values<&models::batch::portable::heyrovsky_values>, FV,
                        double, double, double>,
         fast, nullptr},
        {"portable_disk_values",
         entry_function<portable_disk, &disk_values<&models::batch::portable::witt_mao_values>, FV,
                        double, double>,
         fast, nullptr},
#if defined(LUMAGNIS_HAVE_AVX2)
        {"vector_ring_values",
         entry_function<vector_ring, &ring_values<&models::batch::avx2::heyrovsky_values>, FV,
                        double, double, double>,
         fast, nullptr},
        {"vector_disk_values",
         entry_function<vector_disk, &disk_values<&models::batch::avx2::witt_mao_values>, FV,
                        double, double>,
         fast, nullptr},
#endif
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

} // namespace lumagnis::testing
