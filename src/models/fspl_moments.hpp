#pragma once
// The moments of the intensity over the disk that the far-field series takes, in closed form.

#include <array>
#include <cmath>

#include "models/fspl_disk.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {

// Adds to raw[k] the integral of 2 r^(2k + 1) I(r) dr over [r0, r1], for I linear in r from v0
// at r0 to v1 at r1: a polynomial of degree 2k + 2 <= 28, which the 16-point Gauss-Legendre
// rule integrates exactly. In closed form it would be a difference of powers of the ends, which
// loses every digit on a piece as narrow as the ends' own rounding.
inline void add_piece_moments(std::array<double, far_terms>& raw, double r0, double r1, double v0,
                              double v1) {
    const double length = r1 - r0;
    if (!(length > 0) || (v0 == 0.0 && v1 == 0.0)) return;
    for (const numerics::GaussNode& node : numerics::gauss_legendre_16) {
        const double x = r0 + length * node.x;
        const double weight = (2 * length * node.w) * (v0 + (v1 - v0) * node.x);
        double power = x; // x^(2k + 1)
        for (int k = 0; k < far_terms; ++k) {
            raw[k] += weight * power;
            power *= x * x;
        }
    }
}

// Adds to raw[k] the integral of 2 r^(2k + 1) I dr over the radii where mu runs over [m0, m1],
// for I linear in mu from v0 at m0 to v1 at m1: with r dr = -mu dmu, the integral of
// 2 mu (1 - mu^2)^k I(mu) dmu, a polynomial of degree at most 2 far_terms, which the 16-node
// Gauss-Legendre rule integrates exactly.
inline void add_mu_piece_moments(std::array<double, far_terms>& raw, double m0, double m1,
                                 double v0, double v1) {
    const double length = m1 - m0;
    if (!(length > 0)) return;
    for (const numerics::GaussNode& node : numerics::gauss_legendre_16) {
        const double mu = m0 + length * node.x;
        const double intensity = v0 + (v1 - v0) * node.x;
        const double r2 = (1 - mu) * (1 + mu);
        double term = (length * node.w) * (2 * mu * intensity);
        for (int k = 0; k < far_terms; ++k) {
            raw[k] += term;
            term *= r2;
        }
    }
}

// The integral of 2 mu^(1 + beta) (1 - mu^2)^k over mu in [0, 1], k = 0 .. far_terms - 1 (the
// moments of the intensity mu^beta): the Beta function B(1 + beta / 2, k + 1), by its recurrence
// in k; and, with `log_derivative`, their derivatives in beta (the moments of mu^beta ln mu).
inline std::array<double, far_terms> power_moments(double beta, bool log_derivative = false) {
    std::array<double, far_terms> b{};
    std::array<double, far_terms> db{};
    b[0] = 1 / (1 + beta / 2);
    db[0] = -0.5 * (b[0] * b[0]);
    for (int k = 1; k < far_terms; ++k) {
        const double f = k / (k + 1 + beta / 2);
        b[k] = b[k - 1] * f;
        db[k] = db[k - 1] * f - b[k] * (0.5 / (k + 1 + beta / 2));
    }
    return log_derivative ? db : b;
}

} // namespace lumagnis::models::fspl
