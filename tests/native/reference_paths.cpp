#include "reference_paths.hpp"

#include <cmath>
#include <limits>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/source_integration.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "numerics/interp.hpp"
#include "numerics/tanh_sinh.hpp"

namespace lumagnis::testing::reference {
namespace {

using models::integration_detail::target_error;
using special::Failure;

// (g(x + h) - g(x - h)) / 2h with h scaled to |x|; g(x + h) is evaluated first.
template <class G> double radial_derivative(const G& g, double x) {
    const double h = (std::fabs(x) + 1) * models::derivative_step();
    const double ahead = g(x + h);
    const double behind = g(x - h);
    return (ahead - behind) / (h + h);
}

// The ring-to-disk integrand P(x) pi d/dx[x^2 g(x)], written as P(x) 2 pi x (g + x g'/2).
template <class G, class P> double ring_to_disk(const G& g, const P& profile, double x) {
    const double value = g(x);
    const double slope = (x < 0) ? 0.0 : radial_derivative(g, x);
    const double weight = profile(x);
    return weight * ((constants::two_pi * x) * (value + (0.5 * x) * slope));
}

template <class G, class P> double integrate_ring_to_disk(const G& g, const P& profile) {
    return numerics::tanh_sinh_integrate([&](double x) { return ring_to_disk(g, profile, x); }, 0.0,
                                         1.0, target_error)
        .estimate;
}

// The ring kernel integrated over the source with profile P and normaliser N. A kernel failure
// at a node becomes NaN, which the quadrature counts as zero, so this never fails.
template <class P>
FloatVector integrate_heyrovsky(const FloatVector& l, double re, double rstar, const P& profile,
                                double normaliser) {
    FloatVector result;
    result.reserve(l.size());
    for (const double lj : l) {
        const auto ring = [&](double x) {
            const std::expected<double, Failure> value = models::heyrovsky_kernel(lj, x, re, rstar);
            return value ? *value : std::numeric_limits<double>::quiet_NaN();
        };
        result.push_back(integrate_ring_to_disk(ring, profile) / normaliser);
    }
    return result;
}

// The uniform-disk magnification of each separation, taken as a function of ring radius that is
// constant on [0, 1] (and 0 below it), through the same ring-to-disk integral. Fails only when
// the kernel fails, before anything is integrated.
template <class P>
Vector integrate_witt_mao(const FloatVector& l, double re, double rstar, const P& profile,
                          double normaliser) {
    Vector disk = models::witt_mao_kernel(l, re, rstar);
    if (!disk) return std::unexpected(disk.error());
    FloatVector result;
    result.reserve(disk->size());
    for (const double mi : *disk) {
        const auto constant = [mi](double x) { return (x < 0) ? 0.0 : mi; };
        result.push_back(integrate_ring_to_disk(constant, profile) / normaliser);
    }
    return result;
}

// The flux of the tabulated profile: the quadrature of 2 pi r B(r) over the source disk.
double flux_map_flux(const numerics::PiecewiseLinear& profile) {
    return numerics::tanh_sinh_integrate(
               [&](double r) { return (constants::two_pi * r) * profile(r); }, 0.0, 1.0,
               target_error)
        .estimate;
}

} // namespace

Vector integrated_heyrovsky_magnification(const FloatVector& l, double re, double rstar) {
    return integrate_heyrovsky(l, re, rstar, models::limb_darkening_profile,
                               models::limb_darkened_flux);
}

Vector integrated_witt_mao_magnification(const FloatVector& l, double re, double rstar) {
    return integrate_witt_mao(l, re, rstar, models::limb_darkening_profile,
                              models::limb_darkened_flux);
}

Vector discrete_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                                 const FloatVector& bl, const FloatVector& bf) {
    models::check_equal_lengths(bl, bf);
    FloatVector result;
    result.reserve(l.size());
    for (const double lj : l) {
        double sum = 0.0;
        for (std::size_t i = 0; i < bl.size(); ++i) {
            const std::expected<double, Failure> v = models::heyrovsky_kernel(lj, bl[i], re, rstar);
            if (!v) return std::unexpected(v.error());
            sum = sum + *v * bf[i];
        }
        result.push_back(sum);
    }
    return result;
}

Vector integrated_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                                   const FloatVector& bl, const FloatVector& bf) {
    models::check_equal_lengths(bl, bf);
    const numerics::PiecewiseLinear profile(bl, bf);
    const double flux = flux_map_flux(profile);
    return integrate_heyrovsky(l, re, rstar, profile, flux);
}

Vector integrated_flux_map_witt_mao_magnification(const FloatVector& l, double re, double rstar,
                                                  const FloatVector& bl, const FloatVector& bf) {
    models::check_equal_lengths(bl, bf);
    const numerics::PiecewiseLinear profile(bl, bf);
    const double flux = flux_map_flux(profile);
    return integrate_witt_mao(l, re, rstar, profile, flux);
}

} // namespace lumagnis::testing::reference
