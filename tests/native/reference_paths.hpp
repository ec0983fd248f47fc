#pragma once
// The straightforward forms of the integrated and flux-map computations: one quadrature per
// separation with the integrand evaluated point by point, and the scalar kernels throughout.
// The reference that the optimised path of lumagnis must match bit for bit; built into the
// test-only module alone.

#include <expected>

#include "numerics/float_vector.hpp"
#include "special/failure.hpp"

namespace lumagnis::testing::reference {

using numerics::FloatVector;
using Vector = std::expected<FloatVector, special::Failure>;

Vector integrated_heyrovsky_magnification(const FloatVector& l, double re, double rstar);
Vector integrated_witt_mao_magnification(const FloatVector& l, double re, double rstar);

Vector discrete_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                                 const FloatVector& bl, const FloatVector& bf);
Vector integrated_flux_map_heyrovsky_magnification(const FloatVector& l, double re, double rstar,
                                                   const FloatVector& bl, const FloatVector& bf);
Vector integrated_flux_map_witt_mao_magnification(const FloatVector& l, double re, double rstar,
                                                  const FloatVector& bl, const FloatVector& bf);

} // namespace lumagnis::testing::reference
