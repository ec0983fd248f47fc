#include "models/source_integration.hpp"

#include <cmath>
#include <limits>

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
    // The radii of a stage and the ring kernel at them: on the heap, once per call, since a
    // Python thread's stack may be as small as 32 KiB.
    constexpr std::size_t most = 3 * numerics::tanh_sinh_max_stage_points;
    FloatVector scratch(2 * most);
    double* const radii = scratch.data();
    double* const ring = scratch.data() + most;
    const double kappa = re / rstar;
    for (const double lj : l) {
        const auto stage_values = [&](std::size_t stage, std::span<double> values) {
            const std::span<const RingNode> points = nodes.stage(stage);
            // The ring kernel at x, x + h and x - h of every point of the stage, in one batch.
            // Where the kernel at x - h meets a NaN parameter (x - h below 0, for l > 0) the
            // difference quotient, and so the integrand, is NaN whatever the other two values
            // are: those points are left out of the batch.
            std::array<bool, numerics::tanh_sinh_max_stage_points> skipped;
            std::size_t count = 0;
            for (std::size_t i = 0; i < points.size(); ++i) {
                const RingNode& p = points[i];
                skipped[i] = p.slope && heyrovsky_parameter_is_nan(lj, p.behind, kappa);
                if (skipped[i]) continue;
                radii[count] = p.x;
                radii[count + 1] = p.ahead;
                radii[count + 2] = p.behind;
                count += 3;
            }
            batch::heyrovsky_values(lj, re, rstar, radii, ring, count);
            std::size_t k = 0;
            for (std::size_t i = 0; i < points.size(); ++i) {
                if (skipped[i]) {
                    values[i] = std::numeric_limits<double>::quiet_NaN();
                    continue;
                }
                values[i] = points[i].integrand(ring[k], ring[k + 1], ring[k + 2]);
                k += 3;
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
                values[i] = p.flat
                                ? p.weight * (p.two_pi_x * (mi + p.half_x * flat_derivative))
                                : p.integrand(constant(p.x), constant(p.ahead), constant(p.behind));
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

} // namespace lumagnis::models
