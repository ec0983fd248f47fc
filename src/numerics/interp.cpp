#include "numerics/interp.hpp"

#include <algorithm>

namespace lumagnis::numerics {
namespace {

struct Line {
    double slope;
    double intercept;
};

// The arithmetic below is shared by interp and PiecewiseLinear as one out-of-line copy. The
// values agree anyway, but not always the sign of a NaN: an x86 instruction passes on its first
// NaN operand, and the compiler may order the operands of * and + differently at each inlined
// call site.

// The line through samples k and k + 1. A zero-width segment gives an infinite or NaN slope,
// which is deliberately left unchecked: the caller counts non-finite values as zero.
[[gnu::noipa]] Line segment_line(std::span<const double> xs, std::span<const double> ys,
                                 std::size_t k) {
    const double dx = xs[k + 1] - xs[k];
    const double dy = ys[k + 1] - ys[k];
    const double slope = dy / dx;
    return Line{.slope = slope, .intercept = ys[k] - slope * xs[k]};
}

// The segment by forward scan: the run of elements from xs[0] on that x exceeds ends at the
// segment's left end, clamped to the last segment. A NaN x exceeds nothing and gets segment 0.
// Needs xs.size() >= 2.
std::size_t scan_segment(std::span<const double> xs, double x) {
    const std::size_t n = xs.size();
    std::size_t k = 0;
    if (x > xs[0]) {
        std::size_t j = 1;
        while (j < n && x > xs[j]) ++j;
        k = j - 1;
    }
    return std::min(k, n - 2);
}

// slope * x + intercept, not ys[k] + slope * (x - xs[k]): the two differ in the last bits.
[[gnu::noipa]] double line_value(Line line, double x) { return line.slope * x + line.intercept; }

// Both tests are false for a NaN x, which therefore keeps its (NaN) value.
double inside_or(std::span<const double> xs, double x, double value, double outside_value) {
    if (x < xs.front()) return outside_value;
    if (x > xs.back()) return outside_value;
    return value;
}

} // namespace

double interp(std::span<const double> xs, std::span<const double> ys, double x,
              double outside_value) {
    const std::size_t n = xs.size();
    if (n == 0) return 0.0;
    if (n == 1) return ys[0];
    // Each segment's slope and intercept depend on that segment's samples alone, so forming
    // only the chosen one gives the same bits as forming the whole table, with no temporaries.
    const std::size_t k = scan_segment(xs, x);
    return inside_or(xs, x, line_value(segment_line(xs, ys, k), x), outside_value);
}

PiecewiseLinear::PiecewiseLinear(std::span<const double> xs, std::span<const double> ys)
    : xs_(xs), ys_(ys) {
    const std::size_t n = xs.size();
    if (n < 2) return;
    lines_.reserve(2 * (n - 1));
    bisectable_ = true;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const Line line = segment_line(xs, ys, i);
        lines_.push_back(line.slope);
        lines_.push_back(line.intercept);
        // Also false when either element is NaN.
        if (!(xs[i] <= xs[i + 1])) bisectable_ = false;
    }
}

std::size_t PiecewiseLinear::segment(double x) const {
    if (!bisectable_) return scan_segment(xs_, x);
    // Why bisection picks the scan's segment on a non-decreasing, NaN-free xs: the predicate
    // xs[j] < x is then true on a prefix of xs for every x (for a NaN x it is false
    // everywhere), so lower_bound is well defined and returns the first j with
    // !(xs[j] < x). When x > xs[0] the scan stops at the first j >= 1 with !(x > xs[j]),
    // the same j since j = 0 satisfies the predicate, and takes k = j - 1 (n - 1 if it runs
    // off the end, where lower_bound returns n). When x <= xs[0] or x is NaN, the scan takes
    // k = 0, and lower_bound returns 0. Both then clamp to the last segment.
    const auto first = std::lower_bound(xs_.begin(), xs_.end(), x);
    const auto j = static_cast<std::size_t>(first - xs_.begin());
    const std::size_t k = (j == 0) ? 0 : j - 1;
    return std::min(k, xs_.size() - 2);
}

double PiecewiseLinear::operator()(double x) const {
    const std::size_t n = xs_.size();
    if (n == 0) return 0.0;
    if (n == 1) return ys_[0];
    const std::size_t k = segment(x);
    const Line line{.slope = lines_[2 * k], .intercept = lines_[2 * k + 1]};
    return inside_or(xs_, x, line_value(line, x), 0.0);
}

} // namespace lumagnis::numerics
