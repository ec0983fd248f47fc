#include "models/heyrovsky.hpp"

#include <cmath>

#include "models/kernel_formulas.hpp"
#include "numerics/constants.hpp"
#include "numerics/lanes.hpp"
#include "special/complete_elliptic.hpp"

namespace lumagnis::models {
namespace {

using Scalar = numerics::ScalarLanes;

} // namespace

bool heyrovsky_parameter_is_nan(double l, double r, double kappa) {
    const double delta = l - r;
    // The band's series does not use m.
    if (formulas::near_ring<Scalar>(delta, l + r)) return false;
    return std::isnan(formulas::ring_geometry<Scalar>(l, r, delta, kappa, kappa * kappa).m);
}

std::expected<double, Failure> heyrovsky_kernel(double l, double r, double re, double rstar) {
    const double kappa = re / rstar;
    const double kappa2 = kappa * kappa;
    const double delta = l - r;

    if (formulas::near_ring<Scalar>(delta, l + r)) {
        // The ring average is symmetric in the distance to the ring to this order, so a lens
        // just inside the circle takes the expansion at |delta|: the magnification there is
        // as large as just outside, never zero. delta = 0 gives +inf through the logarithm.
        const double d = std::fabs(delta);
        const double l2 = l * l;
        const double big_l = std::log(((8 * kappa) * l) / (std::sqrt(l2 + kappa2) * d));
        const double b = (1 - d / (l + l)) * ((kappa + kappa) / l);
        const double big_d = (((l2 + l2) + kappa2) * kappa) / ((l2 + kappa2) * l2);
        return ((big_l * b + std::atan(l / kappa) * 4) + big_d * d) / constants::two_pi;
    }

    const formulas::RingGeometry<Scalar> ring =
        formulas::ring_geometry<Scalar>(l, r, delta, kappa, kappa2);
    const special::Result big_k = special::ellipk(ring.m);
    if (!big_k) return std::unexpected(big_k.error());
    const special::Result big_pi = special::ellippi(ring.n, ring.m);
    if (!big_pi) return std::unexpected(big_pi.error());
    return formulas::ring_value<Scalar>(ring, delta, kappa2, *big_k, *big_pi);
}

} // namespace lumagnis::models
