#pragma once
// Bulirsch's general complete elliptic integral
//
//   cel(kc, p, a, b) = integral over [0, pi/2] of
//       (a cos^2 t + b sin^2 t) / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt,
//
// which is K, E and Pi at once, combined linearly: K(m) = cel(kc, 1, 1, 1),
// E(m) = cel(kc, 1, 1, kc^2), Pi(n, m) = cel(kc, 1 - n, 1, 1) with kc^2 = 1 - m. It takes the
// complements kc^2 = 1 - m and p = 1 - n themselves, so a caller that can form them without
// subtracting from 1 keeps full precision where m and n approach 1, and its iteration (a
// Gauss transformation that converges quadratically, like the arithmetic-geometric mean)
// needs no transcendental function.

namespace lumagnis::special {

// For kc > 0 and p > 0; the two sums a and b may have any sign.
double cel(double kc, double p, double a, double b);

} // namespace lumagnis::special
