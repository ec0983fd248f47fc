#pragma once
// Magnifications of a source whose brightness falls off from centre to limb: the source is cut
// into rings of radius x (0 <= x <= 1, in source radii); each ring's magnification is weighted
// by a radial brightness profile P(x), integrated over x, and divided by a normaliser N, the
// profile's flux.

#include <array>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
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

using constants::two_pi;
inline constexpr double target_error = 1e-16;

// The quadrature over the source radius [0, 1] of an integrand given stage by stage.
template <class StageValues> double integrate_over_source(const StageValues& stage_values) {
    return numerics::tanh_sinh_integrate_stages(stage_values, 0.0, 1.0, target_error).estimate;
}

} // namespace integration_detail

// The ring-to-disk integrand is P(x) pi d/dx[x^2 g(x)], written as P(x) (2 pi x (g + (x / 2) g'))
// with g' the central difference (g(x + h) - g(x - h)) / (h + h), h = (|x| + 1) step. That
// grouping is the result's definition: each other grouping of the same product rounds
// differently. A RingNode holds the sub-expressions that do not depend on the separation, each
// formed with the very operations and operands the integrand uses (2 pi x is two_pi * x, not
// pi * (x + x)), so that taking them from the table instead of forming them at every node and
// separation changes no bit; only the remaining operations run per separation, in their order.
struct RingNode {
    double x;        // the ring radius
    double ahead;    // x + h
    double behind;   // x - h
    double two_h;    // h + h
    double two_pi_x; // 2 pi x
    double half_x;   // 0.5 x
    double weight;   // the profile P(x)
    bool slope;      // whether the radial derivative enters (x is not negative)
    bool flat;       // x - h, x and x + h are none of them negative

    // The integrand, from the radial function at x, x + h and x - h. Below x = 0 the slope is 0
    // by definition, whatever the radial function gives at x +- h.
    double integrand(double at_x, double at_ahead, double at_behind) const {
        const double derivative = slope ? (at_ahead - at_behind) / two_h : 0.0;
        return weight * (two_pi_x * (at_x + half_x * derivative));
    }
};

// Every point of the quadrature over [0, 1], stage by stage, with a given profile.
class RingNodes {
public:
    template <class P> explicit RingNodes(const P& profile) : nodes_(point_count) {
        std::size_t offset = 0;
        for (std::size_t stage = 0; stage < numerics::tanh_sinh_stages; ++stage) {
            std::array<double, numerics::tanh_sinh_max_stage_points> points;
            const std::size_t count = numerics::tanh_sinh_stage_points(
                stage, 0.5 * (0.0 + 1.0), 0.5 * (1.0 - 0.0), points.data());
            offsets_[stage] = offset;
            for (std::size_t i = 0; i < count; ++i) {
                const double x = points[i];
                const double h = (std::fabs(x) + 1) * derivative_step();
                nodes_[offset + i] = RingNode{
                    .x = x,
                    .ahead = x + h,
                    .behind = x - h,
                    .two_h = h + h,
                    .two_pi_x = integration_detail::two_pi * x,
                    .half_x = 0.5 * x,
                    .weight = profile(x),
                    .slope = !(x < 0),
                    .flat = !(x < 0) && !(x + h < 0) && !(x - h < 0),
                };
            }
            offset += count;
        }
    }

    std::span<const RingNode> stage(std::size_t stage) const {
        return {nodes_.data() + offsets_[stage], numerics::tanh_sinh_stage_size(stage)};
    }

private:
    static constexpr std::size_t point_count = numerics::tanh_sinh_point_count;

    // On the heap: a flux-map call builds its own table, and a Python thread's stack may be as
    // small as 32 KiB.
    std::vector<RingNode, numerics::AbortingAllocator<RingNode>> nodes_;
    std::array<std::size_t, numerics::tanh_sinh_stages> offsets_;
};

// integrate_heyrovsky and integrate_witt_mao at precomputed nodes, with the ring kernel
// evaluated a quadrature level at a time (vectorised where the processor allows). The results
// are the same bits.
FloatVector integrate_heyrovsky_at_nodes(const FloatVector& l, double re, double rstar,
                                         const RingNodes& nodes, double normaliser);
std::expected<FloatVector, Failure> integrate_witt_mao_at_nodes(const FloatVector& l, double re,
                                                                double rstar,
                                                                const RingNodes& nodes,
                                                                double normaliser);

// The public computations, with the built-in profile.
std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar);
std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar);

} // namespace lumagnis::models
