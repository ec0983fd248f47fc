#pragma once
// Magnifications of a source whose brightness falls off from centre to limb: the source is cut
// into rings of radius x (0 <= x <= 1, in source radii); each ring's magnification is weighted
// by a radial brightness profile P(x), integrated over x, and divided by a normaliser N, the
// profile's flux.

#include <cmath>
#include <expected>
#include <limits>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "numerics/float_vector.hpp"
#include "numerics/tanh_sinh.hpp"
#include "special/failure.hpp"

namespace lumagnis::models {

using numerics::FloatVector;
using special::Failure;

// Linear limb darkening with coefficient 0.6 in mu = sqrt(1 - x^2): 1 at the centre, 0.4 at
// the limb, NaN beyond it.
double limb_darkening_profile(double x);

// The quadrature's own value of the integral of 2 pi x P(x) over [0, 1] at target 1e-16. The
// exact flux is 0.8 pi = 2.5132741228718345; dividing by what the same quadrature makes of the
// profile keeps the normalisation consistent with the integrals it divides.
inline constexpr double limb_darkened_flux = 2.5132741228717936;

// Relative step of the central difference in the radial derivative: the cube root of the
// machine epsilon, which balances truncation against rounding error. Computed once.
double derivative_step();

namespace integration_detail {

inline constexpr double two_pi = 6.283185307179586;
inline constexpr double target_error = 1e-16;

// (g(x + h) - g(x - h)) / 2h with h scaled to |x|; g(x + h) is evaluated first.
template <class G> double radial_derivative(const G& g, double x) {
    const double h = (std::fabs(x) + 1) * derivative_step();
    const double ahead = g(x + h);
    const double behind = g(x - h);
    return (ahead - behind) / (h + h);
}

// The ring-to-disk integrand P(x) pi d/dx[x^2 g(x)], written as P(x) 2 pi x (g + x g'/2).
template <class G, class P> double ring_to_disk(const G& g, const P& profile, double x) {
    const double value = g(x);
    const double slope = (x < 0) ? 0.0 : radial_derivative(g, x);
    const double weight = profile(x);
    return weight * ((two_pi * x) * (value + (0.5 * x) * slope));
}

template <class G, class P> double integrate_ring_to_disk(const G& g, const P& profile) {
    return numerics::tanh_sinh_integrate([&](double x) { return ring_to_disk(g, profile, x); },
                                         0.0, 1.0, target_error)
        .estimate;
}

} // namespace integration_detail

// The ring kernel integrated over the source with profile P and normaliser N. A kernel failure
// at a node becomes NaN, which the quadrature counts as zero, so this never fails.
template <class P>
FloatVector integrate_heyrovsky(const FloatVector& l, double re, double rstar, const P& profile,
                                double normaliser) {
    FloatVector result;
    result.reserve(l.size());
    for (const double lj : l) {
        const auto ring = [&](double x) {
            const std::expected<double, Failure> value = heyrovsky_kernel(lj, x, re, rstar);
            return value ? *value : std::numeric_limits<double>::quiet_NaN();
        };
        result.push_back(integration_detail::integrate_ring_to_disk(ring, profile) / normaliser);
    }
    return result;
}

// The uniform-disk magnification of each separation, taken as a function of ring radius that is
// constant on [0, 1] (and 0 below it), through the same ring-to-disk integral. Fails only when
// the kernel fails, before anything is integrated.
template <class P>
std::expected<FloatVector, Failure> integrate_witt_mao(const FloatVector& l, double re,
                                                       double rstar, const P& profile,
                                                       double normaliser) {
    std::expected<FloatVector, Failure> disk = witt_mao_kernel(l, re, rstar);
    if (!disk) return std::unexpected(disk.error());
    FloatVector result;
    result.reserve(disk->size());
    for (const double mi : *disk) {
        const auto constant = [mi](double x) { return (x < 0) ? 0.0 : mi; };
        result.push_back(integration_detail::integrate_ring_to_disk(constant, profile) /
                         normaliser);
    }
    return result;
}

std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar);
std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar);

} // namespace lumagnis::models
