#pragma once
// The sign of the four-coefficient law's intensity over the disk, decided in exact arithmetic.

namespace lumagnis::models::fspl {

// Whether 1 - sum_k a[k-1] (1 - s^k), k = 1 .. 4, is non-negative for every double s in
// [0, 1] (s = sqrt(mu)). The polynomial's sign is computed without rounding at the ends and at
// the doubles on either side of each interior minimum, so that an intensity touching zero is
// accepted and one dipping below it by any representable amount is refused. The coefficients
// must be finite.
bool quartic_law_nonnegative(const double (&a)[4]);

} // namespace lumagnis::models::fspl
