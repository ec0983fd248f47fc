#include "models/heyrovsky.hpp"

#include <cmath>

#include "special/complete_elliptic.hpp"

namespace lumagnis::models {
namespace {

constexpr double two_pi = 6.283185307179586;

// Half-width of the band around the ring in which the elliptic form loses its accuracy (n and
// m tend to 1) and the logarithmic expansion about the ring is used instead.
constexpr double ring_band = 1e-6;

// The quantities of the general case (outside the band around the ring).
struct RingGeometry {
    double g; // 4 kappa^2 + delta^2
    double h; // l + r
    double m; // the parameter of the elliptic integrals
};

RingGeometry ring_geometry(double l, double r, double kappa, double kappa2, double delta) {
    const double g = kappa2 * 4 + delta * delta;
    const double h = l + r;
    const double k = std::sqrt((l * r) / g) * ((kappa * 4) / h);
    return RingGeometry{.g = g, .h = h, .m = k * k};
}

} // namespace

bool heyrovsky_parameter_is_nan(double l, double r, double kappa) {
    const double delta = l - r;
    if (std::fabs(delta) < ring_band) return false; // the band's series does not use m
    return std::isnan(ring_geometry(l, r, kappa, kappa * kappa, delta).m);
}

std::expected<double, Failure> heyrovsky_kernel(double l, double r, double re, double rstar) {
    const double kappa = re / rstar;
    const double kappa2 = kappa * kappa;
    const double delta = l - r;

    if (std::fabs(delta) < ring_band) {
        // The ring average is symmetric in the distance to the ring to this order, so a lens
        // just inside the circle takes the expansion at |delta|: the magnification there is
        // as large as just outside, never zero. delta = 0 gives +inf through the logarithm.
        const double d = std::fabs(delta);
        const double l2 = l * l;
        const double big_l = std::log(((8 * kappa) * l) / (std::sqrt(l2 + kappa2) * d));
        const double b = (1 - d / (l + l)) * ((kappa + kappa) / l);
        const double big_d = (((l2 + l2) + kappa2) * kappa) / ((l2 + kappa2) * l2);
        return ((big_l * b + std::atan(l / kappa) * 4) + big_d * d) / two_pi;
    }

    const auto [g, h, m] = ring_geometry(l, r, kappa, kappa2, delta);
    const special::Result big_k = special::ellipk(m);
    if (!big_k) return std::unexpected(big_k.error());
    const double n = ((l * 4) * r) / (h * h);
    const special::Result big_pi = special::ellippi(n, m);
    if (!big_pi) return std::unexpected(big_pi.error());
    return (((kappa2 + kappa2) * *big_k + (delta * delta) * *big_pi) * (4 / (h * std::sqrt(g)))) /
           two_pi;
}

} // namespace lumagnis::models
