#pragma once
// Piecewise-linear interpolation through tabulated samples, with a fixed value outside them.

#include <span>

namespace lumagnis::numerics {

// The value at x of the piecewise-linear function through (xs[i], ys[i]); `outside_value`
// beyond [xs[0], xs[n-1]]. xs and ys have the same length; xs is expected ascending.
double interp(std::span<const double> xs, std::span<const double> ys, double x,
              double outside_value);

} // namespace lumagnis::numerics
