#include "models/flux_map.hpp"

#include <cmath>
#include <source_location>
#include <string>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
#include "models/internal_fault.hpp"
#include "models/source_integration.hpp"
#include "numerics/constants.hpp"
#include "numerics/interp.hpp"
#include "numerics/tanh_sinh.hpp"

namespace lumagnis::models {
namespace {

// The flux of the tabulated profile: the quadrature of 2 pi r B(r) over the source disk, from the
// profile values the nodes already hold. It normalises the integrated forms, so that only the
// shape of `bf` matters there.
double flux_map_flux(const RingNodes& nodes) {
    return integration_detail::integrate_over_source(
        [&](std::size_t stage, std::span<double> values) {
            const std::span<const RingNode> points = nodes.stage(stage);
            for (std::size_t i = 0; i < points.size(); ++i) {
                values[i] = points[i].two_pi_x * points[i].weight;
            }
        });
}

} // namespace

void check_equal_lengths(const FloatVector& bl, const FloatVector& bf, std::source_location where) {
    if (bl.size() != bf.size()) {
        internal_fault("assertion `left == right` failed\n  left: " + std::to_string(bl.size()) +
                           "\n right: " + std::to_string(bf.size()),
                       where);
    }
}

std::expected<FloatVector, Failure>
discrete_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                          const FloatVector& bl, const FloatVector& bf) {
    check_equal_lengths(bl, bf);
    FloatVector ring(bl.size());
    FloatVector result;
    result.reserve(l.size());
    for (const double lj : l) {
        batch::heyrovsky_values(lj, re, rstar, bl.data(), ring.data(), bl.size());
        double sum = 0.0;
        for (std::size_t i = 0; i < bl.size(); ++i) {
            double v = ring[i];
            if (std::isnan(v)) {
                // NaN, or a failure whose text only the scalar kernel gives.
                const std::expected<double, Failure> exact = heyrovsky_kernel(lj, bl[i], re, rstar);
                if (!exact) return std::unexpected(exact.error());
                v = *exact;
            }
            sum = sum + v * bf[i];
        }
        result.push_back(sum);
    }
    return result;
}

std::expected<FloatVector, Failure>
integrated_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                            const FloatVector& bl, const FloatVector& bf) {
    check_equal_lengths(bl, bf);
    const RingNodes nodes(numerics::PiecewiseLinear(bl, bf));
    const double flux = flux_map_flux(nodes);
    return integrate_heyrovsky_at_nodes(l, re, rstar, nodes, flux);
}

std::expected<FloatVector, Failure>
integrated_flux_map_witt_mao_magnification(const FloatVector& l, double re, double rstar,
                                           const FloatVector& bl, const FloatVector& bf) {
    check_equal_lengths(bl, bf);
    const RingNodes nodes(numerics::PiecewiseLinear(bl, bf));
    const double flux = flux_map_flux(nodes);
    return integrate_witt_mao_at_nodes(l, re, rstar, nodes, flux);
}

} // namespace lumagnis::models
