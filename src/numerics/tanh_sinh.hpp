#pragma once
// Tanh-sinh (double-exponential) quadrature on a finite interval, with a fixed table of seven
// levels of nodes and a stopping rule on the change between successive step halvings.
//
// The routine is a template over the integrand so that each use is its own specialised copy
// with the integrand inlined; it keeps no state, allocates nothing and never fails.

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "numerics/tanh_sinh_nodes.hpp"

namespace lumagnis::numerics {

struct QuadratureResult {
    double abs_error;               // error estimate, scaled to the interval
    double estimate;                // the integral
    std::uint32_t evaluation_count; // at most 1 + 2 * 192 = 385
};

namespace tanh_sinh_detail {

inline constexpr double pi = 3.141592653589793;

// A non-finite value counts as zero, so that an integrable end-point singularity, a pole that
// happens to sit on a node, or a failed evaluation (NaN) does not spoil the sum.
inline double guarded(double value) { return std::isfinite(value) ? value : 0.0; }

} // namespace tanh_sinh_detail

// Integrates `integrand` over [a, b]; the loop stops once its error estimate, in units of the
// rule on [-1, 1], falls strictly below tolerance / (4 * half-width), or after the last level.
// The integrand is called in a fixed order: the centre, then per level and in table order the
// right node before the left one.
template <class F>
QuadratureResult tanh_sinh_integrate(F&& integrand, double a, double b, double tolerance) {
    using tanh_sinh_detail::guarded;

    const double s = 0.5 * (b - a);
    const double m = 0.5 * (a + b);
    const double target = 0.25 * tolerance / s;

    // The sum starts as that of step h = 2 (the centre alone, weight pi); halving it before
    // each level turns it into the sum of the level's step, and the level's own nodes add in.
    double sum = tanh_sinh_detail::pi * guarded(integrand(s * 0.0 + m));
    std::uint32_t count = 1;
    double previous_change = std::numeric_limits<double>::max();
    double error = std::numeric_limits<double>::max();

    for (const std::span<const TanhSinhNode> level : TANH_SINH_NODES) {
        double level_sum = 0.0;
        for (const TanhSinhNode& node : level) {
            const double right = guarded(integrand(m + s * node.abscissa));
            const double left = guarded(integrand(m - s * node.abscissa));
            level_sum = level_sum + node.weight * (right + left);
        }
        count += static_cast<std::uint32_t>(2 * level.size());

        const double change = 0.5 * sum - level_sum;
        sum = 0.5 * sum + level_sum;

        // Levels 0 and 1 (7 and 13 evaluations) only seed the convergence-rate test.
        if (count < 14) {
            previous_change = std::abs(change);
            continue;
        }
        if (change == 0.0) {
            error = 0.0;
            break;
        }
        // In the convergent region each halving squares the change; there the next change,
        // about change^2, is the better error estimate. Otherwise the change itself is.
        const double rate = std::log(std::abs(change)) / std::log(previous_change);
        error = (1.9 < rate && rate < 2.1) ? change * change : std::abs(change);
        previous_change = std::abs(change);
        // Strict, and written this way round so that a NaN error never stops the loop.
        if (target > error) break;
    }

    return QuadratureResult{
        .abs_error = error * s,
        .estimate = sum * s,
        .evaluation_count = count,
    };
}

} // namespace lumagnis::numerics
