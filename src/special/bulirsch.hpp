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

#include <cmath>

#include "numerics/dual.hpp"

namespace lumagnis::special {

namespace cel_detail {

// The iteration stops once kc and the running mean agree to this relative tolerance; the
// convergence is quadratic, so the next step's error, about its square, is below the
// rounding error of the result (and the derivatives a Dual carries converge with it).
inline constexpr double tolerance = 1e-8;

// A bound far above the iterations that any kc > 0 representable in double needs (about 7
// for kc = 1e-300), so that a NaN, which never meets the tolerance, still ends the loop.
inline constexpr int max_steps = 40;

} // namespace cel_detail

// (cel(kc, 1, a1, b1) + cel(kc, p2, a2, b2)) / pi, for kc > 0 and p2 > 0 (a and b of any
// sign), in one iteration: the sequences of kc, e and the running mean, and so the stopping
// test, depend on kc alone, so the two integrals share them and their own steps interleave.
// The first integral's p = 1 (E and K combined) needs no root or quotient to start, and the
// factor pi / 2 of cel against 1 / pi leaves an exact halving.
// T is double, numerics::Lanes4 for four sums at once, or a numerics::DualT of either to carry
// derivatives along. The test is made on the values alone, so a DualT takes the steps of its
// value; four lanes go on until every lane has converged, and a further step leaves a
// converged lane at its limit.
template <class T> T cel_pair_over_pi(T kc, T a1, T b1, T p2, T a2, T b2) {
    using numerics::apart;
    using numerics::sqrt;
    T e = kc;
    T m = numerics::constant<T>(1.0);
    T pp1 = m;
    T pp2 = sqrt(p2);
    T aa1 = a1;
    T aa2 = a2;
    T bb1 = b1;
    T bb2 = b2 / pp2;
    for (int step = 0; step < cel_detail::max_steps; ++step) {
        // Each step divides twice by each p: by its reciprocal, one division instead of two.
        // The divider is what the iteration waits on, the more so on four lanes.
        const T inv1 = 1.0 / pp1;
        const T inv2 = 1.0 / pp2;
        const T f1 = aa1;
        const T f2 = aa2;
        aa1 = aa1 + bb1 * inv1;
        aa2 = aa2 + bb2 * inv2;
        const T g1 = e * inv1;
        const T g2 = e * inv2;
        bb1 = bb1 + f1 * g1;
        bb2 = bb2 + f2 * g2;
        bb1 = bb1 + bb1;
        bb2 = bb2 + bb2;
        pp1 = g1 + pp1;
        pp2 = g2 + pp2;
        const T previous = m;
        m = kc + m;
        if (!apart(previous, kc, cel_detail::tolerance)) break;
        kc = sqrt(e);
        kc = kc + kc;
        e = kc * m;
    }
    // (x1 / (m (m + pp1)) + x2 / (m (m + pp2))) / 2, over one common denominator.
    const T s1 = m + pp1;
    const T s2 = m + pp2;
    return 0.5 * (((bb1 + aa1 * m) * s2 + (bb2 + aa2 * m) * s1) / (m * (s1 * s2)));
}

} // namespace lumagnis::special
