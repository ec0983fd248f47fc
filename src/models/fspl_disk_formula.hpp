#pragma once
// The closed form of the uniform disk, written once for every lane type: double, the lane
// types that evaluate four radii side by side, and their forward-mode duals.

#include "numerics/dual.hpp"
#include "special/bulirsch.hpp"

namespace lumagnis::models::fspl::formula {

// The closed form of the uniform disk for 0 <= u, u != R, in complete elliptic integrals:
//   pi A = E(m) s sigma / (2 R^2) - K(m) delta (delta sigma / 2 + 4) / (R^2 s)
//          + Pi(n, m) 2 delta^2 (1 + R^2) / (R^2 sigma s),
// delta = u - R, sigma = u + R, s = sqrt(delta^2 + 4), n = 4 u R / sigma^2,
// m = 16 u R / (sigma^2 (delta^2 + 4)). T = Dual carries the derivatives in u and R along
// the same operations. Here the iteration that gives it, ready to run.
template <class T>
[[gnu::always_inline]] inline special::CelPair<T> closed_form_iteration(T u, T radius) {
    using numerics::sqrt;
    const T delta = u - radius;
    const T sigma = u + radius;
    const T d2 = delta * delta;
    const T sigma2 = sigma * sigma;
    const T s = sqrt(d2 + 4.0);
    // The complements 1 - n and 1 - m, formed as products: subtracted from 1 they would lose
    // every digit as u approaches R.
    const T nc = d2 / sigma2;
    const T mc = (d2 * (sigma2 + 4.0)) / (sigma2 * (d2 + 4.0));
    const T kc = sqrt(mc);
    const T r2 = radius * radius;
    const T c_e = (s * sigma) / (2.0 * r2);
    const T c_k = -(delta * ((delta * sigma) * 0.5 + 4.0)) / (r2 * s);
    const T c_pi = (2.0 * d2 * (1.0 + r2)) / (r2 * sigma * s);
    // c_e E + c_k K is one general integral, cel(kc, 1, c_e + c_k, c_e mc + c_k), since
    // E = cel(kc, 1, 1, mc) and K = cel(kc, 1, 1, 1); Pi = cel(kc, nc, 1, 1) is the other.
    return special::CelPair<T>(kc, c_e + c_k, c_e * mc + c_k, nc, c_pi, c_pi);
}

template <class T> T closed_form(T u, T radius) {
    return special::converged(closed_form_iteration(u, radius));
}

// closed_form for two sets of radii, each to the bit as alone, their iterations side by side.
template <class T> void closed_forms(T u, T first_radius, T second_radius, T& first, T& second) {
    special::CelPair<T> a = closed_form_iteration(u, first_radius);
    special::CelPair<T> b = closed_form_iteration(u, second_radius);
    special::converge_both(a, b);
    first = a.result();
    second = b.result();
}

// closed_form for lanes of separations and radii, each lane to the bit as closed_form<double>
// on its own values (`all`: the lane mask with every lane set).
template <class T, class Mask> T closed_form_each(T u, T radius, Mask all) {
    return special::converged_each(closed_form_iteration(u, radius), all);
}

} // namespace lumagnis::models::fspl::formula
