#pragma once
// Complete elliptic integrals K(m), E(m) and Pi(n, m) in the parameter convention m = k^2.

#include "special/carlson.hpp"

namespace lumagnis::special {

Result ellipk(double m);
Result ellipe(double m);
Result ellippi(double n, double m);

} // namespace lumagnis::special
