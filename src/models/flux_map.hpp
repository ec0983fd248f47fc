#pragma once
// Magnifications of a source whose radial brightness the caller tabulates: radii `bl` (in
// source radii) and values `bf` of equal length.

#include <expected>

#include "numerics/float_vector.hpp"
#include "special/failure.hpp"

namespace lumagnis::models {

using numerics::FloatVector;
using special::Failure;

std::expected<FloatVector, Failure>
discrete_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                          const FloatVector& bl, const FloatVector& bf);
std::expected<FloatVector, Failure>
integrated_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                            const FloatVector& bl, const FloatVector& bf);
std::expected<FloatVector, Failure>
integrated_flux_map_witt_mao_magnification(const FloatVector& l, double re, double rstar,
                                           const FloatVector& bl, const FloatVector& bf);

// The straightforward forms of the same computations: the reference for the optimised path.
namespace reference {
std::expected<FloatVector, Failure>
discrete_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                          const FloatVector& bl, const FloatVector& bf);
std::expected<FloatVector, Failure>
integrated_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                            const FloatVector& bl, const FloatVector& bf);
std::expected<FloatVector, Failure>
integrated_flux_map_witt_mao_magnification(const FloatVector& l, double re, double rstar,
                                           const FloatVector& bl, const FloatVector& bf);
} // namespace reference

} // namespace lumagnis::models
