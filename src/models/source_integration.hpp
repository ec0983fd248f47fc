#pragma once
// Magnifications of a source whose brightness falls off from centre to limb: a kernel is
// integrated over the source radius, weighted by a radial profile, and divided by the
// profile's flux.

#include <expected>

#include "numerics/float_vector.hpp"
#include "special/failure.hpp"

namespace lumagnis::models {

using numerics::FloatVector;
using special::Failure;

std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar);
std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar);

} // namespace lumagnis::models
