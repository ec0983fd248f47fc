#pragma once
// Magnifications of a source whose radial brightness the caller tabulates: radii `bl` (in
// source radii) and values `bf` of equal length.

#include <expected>
#include <source_location>

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

// Radii and values of a flux map pair up one to one; a table of unequal halves is a caller's
// mistake that no result can represent: an internal fault located at the caller's call site,
// so that the diagnostic names the function concerned.
void check_equal_lengths(const FloatVector& bl, const FloatVector& bf,
                         std::source_location where = std::source_location::current());

} // namespace lumagnis::models
