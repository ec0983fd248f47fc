#pragma once
// Magnification of a thin, uniformly bright ring of the source by a point lens: the
// point-lens magnification averaged over the circle of radius r about the source centre.

#include <expected>

#include "special/failure.hpp"

namespace lumagnis::models {

using special::Failure;

// `l` the lens-source separation and `r` the ring radius, both in source radii; `re` and
// `rstar` in one common unit.
std::expected<double, Failure> heyrovsky_kernel(double l, double r, double re, double rstar);

// Whether heyrovsky_kernel(l, r, re, rstar) takes its general case with a NaN parameter m (as for
// l r < 0): its outcome is then NaN or a failure, whatever the elliptic integrals return.
// `kappa` is re / rstar, formed once by the caller.
bool heyrovsky_parameter_is_nan(double l, double r, double kappa);

} // namespace lumagnis::models
