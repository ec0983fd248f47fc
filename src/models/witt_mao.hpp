#pragma once
// Magnification of a uniformly bright disk source by a point lens, in the closed Witt-Mao
// form through complete elliptic integrals.

#include <expected>

#include "numerics/float_vector.hpp"
#include "special/failure.hpp"

namespace lumagnis::models {

using numerics::FloatVector;
using special::Failure;

// One magnification per separation in `l` (in source radii); `re` and `rstar` in one common
// unit. The first element whose elliptic integrals fail ends the call with that failure.
std::expected<FloatVector, Failure> witt_mao_kernel(const FloatVector& l, double re,
                                                    double rstar);

} // namespace lumagnis::models
