#pragma once
// Magnification of a uniformly bright disk source by a point lens, in the closed Witt-Mao
// form through complete elliptic integrals.

#include <expected>

#include "numerics/float_vector.hpp"
#include "special/failure.hpp"

namespace lumagnis::models {

using numerics::FloatVector;
using special::Failure;

// The quantities computed once per call from re and rstar.
struct WittMaoSource {
    explicit WittMaoSource(double re, double rstar);

    double rho;           // source radius in Einstein radii
    double rho2;          // rho^2
    double four_rho;      // 4 rho
    double two_rho2;      // 2 rho^2
    double one_plus_rho2; // 1 + rho^2
    double two_over_rho;  // 2 / rho
    double w;             // (1 + rho^2) / rho^2
    double q;             // (rho^2 - 1) / (rho^2 + 1)

    // Whether the lens at u = l rho, with delta = u - rho, is taken to lie on the limb.
    bool on_limb(double delta) const;
    // The closed form for a lens exactly on the limb.
    double limb_value() const;
};

// The magnification at one separation l (in source radii).
std::expected<double, Failure> witt_mao_element(double l, const WittMaoSource& source);

// One magnification per separation in `l` (in source radii); `re` and `rstar` in one common
// unit. The first element whose elliptic integrals fail ends the call with that failure.
std::expected<FloatVector, Failure> witt_mao_kernel(const FloatVector& l, double re, double rstar);

// The same values by the optimised path: vectorised where the processor allows.
std::expected<FloatVector, Failure> witt_mao_magnification(const FloatVector& l, double re,
                                                           double rstar);

} // namespace lumagnis::models
