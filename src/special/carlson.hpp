#pragma once
// Carlson's symmetric elliptic integrals R_F, R_D, R_J and R_C in binary64.
//
// Closed forms for the degenerate argument patterns, an arithmetic-geometric mean when one
// argument is zero, otherwise Carlson's duplication followed by a truncated Taylor series.
// The tests are made on the arguments in the order given, and the exchanges they make are
// part of the behaviour: the last bits depend on them.

#include <expected>

#include "special/failure.hpp"

namespace lumagnis::special {

using Result = std::expected<double, Failure>;

Result elliprf(double x, double y, double z);
Result elliprd(double x, double y, double z);
Result elliprj(double x, double y, double z, double p);
Result elliprc(double x, double y);

} // namespace lumagnis::special
