#pragma once
// Piecewise-linear interpolation through tabulated samples, with a fixed value outside them.

#include <cstddef>
#include <span>

#include "numerics/float_vector.hpp"

namespace lumagnis::numerics {

// The value at x of the piecewise-linear function through (xs[i], ys[i]); `outside_value`
// beyond [xs[0], xs[n-1]]. xs and ys have the same length; xs is expected ascending.
double interp(std::span<const double> xs, std::span<const double> ys, double x,
              double outside_value);

// interp(xs, ys, x, 0.0) for one table and many queries, bit for bit: the segment lines are
// formed once, and on a non-decreasing table the segment is found by bisection, so a query
// costs O(log n) instead of O(n). Borrows xs and ys, which must outlive it and have the same
// length.
class PiecewiseLinear {
public:
    PiecewiseLinear(std::span<const double> xs, std::span<const double> ys);

    double operator()(double x) const;

private:
    std::size_t segment(double x) const;

    std::span<const double> xs_;
    std::span<const double> ys_;
    // Per segment i, slope_i at 2i and intercept_i at 2i + 1.
    FloatVector lines_;
    // xs is non-decreasing and free of NaN, so bisection finds the scan's segment.
    bool bisectable_ = false;
};

} // namespace lumagnis::numerics
