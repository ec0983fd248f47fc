#pragma once
// Tanh-sinh (double-exponential) quadrature on a finite interval, with a fixed table of seven
// levels of nodes and a stopping rule on the change between successive step halvings.
//
// The routine is a template over the integrand so that each use is its own specialised copy
// with the integrand inlined; it keeps no state, allocates nothing and never fails.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "numerics/constants.hpp"
#include "numerics/tanh_sinh_nodes.hpp"

namespace lumagnis::numerics {

struct QuadratureResult {
    double abs_error;               // error estimate, scaled to the interval
    double estimate;                // the integral
    std::uint32_t evaluation_count; // at most 1 + 2 * 192 = 385
};

namespace tanh_sinh_detail {

// A non-finite value counts as zero, so that an integrable end-point singularity, a pole that
// happens to sit on a node, or a failed evaluation (NaN) does not spoil the sum.
inline double guarded(double value) { return std::isfinite(value) ? value : 0.0; }

} // namespace tanh_sinh_detail

// The evaluation stages of the rule: stage 0 is the centre alone; stage k + 1 holds the points
// of level k, the right and left point of each pair in turn, pairs in table order.
inline constexpr std::size_t tanh_sinh_stages = TANH_SINH_NODES.size() + 1;
inline constexpr std::size_t tanh_sinh_max_stage_points = 2 * tanh_sinh_level_6.size();

constexpr std::size_t tanh_sinh_stage_size(std::size_t stage) {
    return stage == 0 ? 1 : 2 * TANH_SINH_NODES[stage - 1].size();
}

// Every point of every stage: what a full run evaluates, and what a table of the points holds.
inline constexpr std::size_t tanh_sinh_point_count = [] {
    std::size_t count = 0;
    for (std::size_t stage = 0; stage < tanh_sinh_stages; ++stage) {
        count += tanh_sinh_stage_size(stage);
    }
    return count;
}();

// The generated table against the figures written into the code: the buffers of one stage and
// the bound on QuadratureResult::evaluation_count.
static_assert(tanh_sinh_point_count == 1 + 2 * (3 + 3 + 6 + 12 + 24 + 48 + 96),
              "the node table no longer has the 385 points the quadrature is written for");
static_assert(
    [] {
        for (std::size_t stage = 0; stage < tanh_sinh_stages; ++stage) {
            if (tanh_sinh_stage_size(stage) > tanh_sinh_max_stage_points) return false;
        }
        return true;
    }(),
    "a stage of the node table has more points than the stage buffers hold");

// The points of `stage` for midpoint m and half-width s, into `points`; returns how many.
inline std::size_t tanh_sinh_stage_points(std::size_t stage, double m, double s, double* points) {
    if (stage == 0) {
        points[0] = s * 0.0 + m;
        return 1;
    }
    const std::span<const TanhSinhNode> nodes = TANH_SINH_NODES[stage - 1];
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        points[2 * i] = m + s * nodes[i].abscissa;
        points[2 * i + 1] = m - s * nodes[i].abscissa;
    }
    return 2 * nodes.size();
}

// Integrates over [a, b] with the integrand evaluated a stage at a time:
// `stage_values(stage, values)` sets values[i] to the integrand at point i of the stage (see
// tanh_sinh_stage_points). The integrand is pure, so evaluating a stage's points together (in
// any order, or four at a time) cannot be observed; the sums are formed in table order all the
// same. The loop stops once its error estimate, in units of the rule on [-1, 1], falls strictly
// below tolerance / (4 * half-width), or after the last level.
template <class StageValues>
QuadratureResult tanh_sinh_integrate_stages(StageValues&& stage_values, double a, double b,
                                            double tolerance) {
    using tanh_sinh_detail::guarded;

    const double s = 0.5 * (b - a);
    const double target = 0.25 * tolerance / s;
    std::array<double, tanh_sinh_max_stage_points> values;

    // The sum starts as that of step h = 2 (the centre alone, weight pi); halving it before
    // each level turns it into the sum of the level's step, and the level's own nodes add in.
    stage_values(std::size_t{0}, std::span<double>(values.data(), 1));
    double sum = constants::pi * guarded(values[0]);
    std::uint32_t count = 1;
    double previous_change = std::numeric_limits<double>::max();
    double error = std::numeric_limits<double>::max();

    for (std::size_t level = 0; level < TANH_SINH_NODES.size(); ++level) {
        const std::span<const TanhSinhNode> nodes = TANH_SINH_NODES[level];
        const std::size_t n = tanh_sinh_stage_size(level + 1);
        stage_values(level + 1, std::span<double>(values.data(), n));
        double level_sum = 0.0;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const double right = guarded(values[2 * i]);
            const double left = guarded(values[2 * i + 1]);
            level_sum = level_sum + nodes[i].weight * (right + left);
        }
        count += static_cast<std::uint32_t>(n);

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

// Integrates `integrand` over [a, b], one point at a time: the centre, then per level and in
// table order the right point before the left one.
template <class F>
QuadratureResult tanh_sinh_integrate(F&& integrand, double a, double b, double tolerance) {
    const double s = 0.5 * (b - a);
    const double m = 0.5 * (a + b);
    return tanh_sinh_integrate_stages(
        [&](std::size_t stage, std::span<double> values) {
            std::array<double, tanh_sinh_max_stage_points> points;
            const std::size_t n = tanh_sinh_stage_points(stage, m, s, points.data());
            for (std::size_t i = 0; i < n; ++i) values[i] = integrand(points[i]);
        },
        a, b, tolerance);
}

} // namespace lumagnis::numerics
