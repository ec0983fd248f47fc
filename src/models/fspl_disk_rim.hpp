#pragma once
// The partial derivatives of the uniform disk's magnification from integrals over its rim.
//
// For a large source the disk's value is 1 plus a small excess, and the closed form reaches it
// as a sum of terms of order one: the value keeps its last bits, but the derivatives, which are
// as small as the excess or smaller, are left with the terms' rounding errors (relative errors
// up to 7e-4 at R = 100, u = 5.9 R). Moving the disk or growing it changes the mean of A only
// through its rim (the divergence theorem), and there the constant 1 drops out exactly, so the
// derivatives become integrals of the excess g = A - 1 alone, formed without cancellation:
//
//   dA/du = (2 / (pi R)) int_0^pi g(s) cos(alpha) dalpha,
//   dA/dR = (2 / R) ((1 / pi) int_0^pi g(s) dalpha - (A - 1)),
//
// alpha the angle at the disk's centre, s the distance of the rim point from the lens. A - 1 is
// itself a flux through the rim of a radial field whose divergence is g.

#include "models/fspl_disk.hpp"

namespace lumagnis::models::fspl {

// Whether the derivatives of the closed form should come from with_rim_slopes instead: for a
// disk of at least 2 Einstein radii (the closed form's derivatives lose more than
// about 1e-9 from there on), near the centre (u < R / 100, where its dA/du keeps only an
// absolute precision) and far out (u / R beyond the far-field threshold, where its derivatives
// lose (u / R)^2 digits whatever R), and within 1e-6 R of the limb. For u != R.
bool rim_slopes_apply(double u, double radius);
// The first of those reasons alone: a disk of at least 2 Einstein radii.
bool rim_slopes_for_size(double radius);

// The value a of the uniform disk at (u, R) with its derivatives from the rim integrals (far
// out from the far-field series, exactly 0 in u at u = 0), to 2e-10 relative or better where
// rim_slopes_apply, and beside the limb. u >= 0, R > 0, u != R.
DiskValue with_rim_slopes(double a, double u, double radius);

} // namespace lumagnis::models::fspl
