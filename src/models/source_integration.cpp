#include "models/source_integration.hpp"

#include <cmath>

#include "models/batch.hpp"

namespace lumagnis::models {
namespace {

const RingNodes& limb_darkened_nodes() {
    static const RingNodes nodes(limb_darkening_profile);
    return nodes;
}

} // namespace

double limb_darkening_profile(double x) {
    const double s = std::sqrt(1 - x * x);
    return (1 - s) * (-0.6) + 1;
}

double derivative_step() {
    // A function-local static: initialised once, thread-safely, on first use.
    static const double step = std::cbrt(2.220446049250313e-16);
    return step;
}

FloatVector integrate_heyrovsky_at_nodes(const FloatVector& l, double re, double rstar,
                                         const RingNodes& nodes, double normaliser) {
    FloatVector result;
    result.reserve(l.size());
    for (const double lj : l) {
        const auto stage_values = [&](std::size_t stage, std::span<double> values) {
            const std::span<const RingNode> points = nodes.stage(stage);
            // The ring kernel at x, x + h and x - h of every point of the stage, in one batch.
            std::array<double, 3 * numerics::tanh_sinh_max_stage_points> radii;
            std::array<double, 3 * numerics::tanh_sinh_max_stage_points> ring;
            for (std::size_t i = 0; i < points.size(); ++i) {
                radii[3 * i] = points[i].x;
                radii[3 * i + 1] = points[i].ahead;
                radii[3 * i + 2] = points[i].behind;
            }
            batch::heyrovsky_values(lj, re, rstar, radii.data(), ring.data(), 3 * points.size());
            for (std::size_t i = 0; i < points.size(); ++i) {
                values[i] = points[i].integrand(ring[3 * i], ring[3 * i + 1], ring[3 * i + 2]);
            }
        };
        result.push_back(integration_detail::integrate_over_source(stage_values) / normaliser);
    }
    return result;
}

std::expected<FloatVector, Failure> integrate_witt_mao_at_nodes(const FloatVector& l, double re,
                                                                double rstar,
                                                                const RingNodes& nodes,
                                                                double normaliser) {
    std::expected<FloatVector, Failure> disk = witt_mao_magnification(l, re, rstar);
    if (!disk) return std::unexpected(disk.error());
    FloatVector result;
    result.reserve(disk->size());
    for (const double mi : *disk) {
        const auto constant = [mi](double x) { return (x < 0) ? 0.0 : mi; };
        // Where x - h, x and x + h are all on the source, the difference quotient is
        // (mi - mi) / 2h: +0.0 for a finite mi and NaN otherwise, whatever h is.
        const double flat_derivative = mi - mi;
        const auto stage_values = [&](std::size_t stage, std::span<double> values) {
            const std::span<const RingNode> points = nodes.stage(stage);
            for (std::size_t i = 0; i < points.size(); ++i) {
                const RingNode& p = points[i];
                values[i] = p.flat ? p.weight * (p.two_pi_x * (mi + p.half_x * flat_derivative))
                                   : p.integrand(constant(p.x), constant(p.ahead),
                                                 constant(p.behind));
            }
        };
        result.push_back(integration_detail::integrate_over_source(stage_values) / normaliser);
    }
    return result;
}

std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar) {
    return integrate_heyrovsky_at_nodes(l, re, rstar, limb_darkened_nodes(), limb_darkened_flux);
}

std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar) {
    return integrate_witt_mao_at_nodes(l, re, rstar, limb_darkened_nodes(), limb_darkened_flux);
}

namespace reference {

std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar) {
    return integrate_heyrovsky(l, re, rstar, limb_darkening_profile, limb_darkened_flux);
}

std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar) {
    return integrate_witt_mao(l, re, rstar, limb_darkening_profile, limb_darkened_flux);
}

} // namespace reference
} // namespace lumagnis::models
