#pragma once
// Constants and pieces of the elliptic integrals shared by the scalar routines and the
// vectorised kernels, so that both evaluate the very same expressions.

#include <cstddef>

#include "special/carlson.hpp"

namespace lumagnis::special::detail {

inline constexpr double epsilon = 2.220446049250313e-16; // 2^-52
inline constexpr double log4 = 1.3862943611198906;       // ln 4
inline constexpr double pi = 3.141592653589793;
inline constexpr double half_pi = 1.5707963267948966; // pi / 2
inline constexpr double three_pi = 9.42477796076938;  // 3 * pi

// Both AGM loops stop once the means agree to this relative width; two ulps always pass.
inline constexpr double agm_tolerance = 5.995204332975846e-16; // 2.7 * 2^-52

// Duplication thresholds: the Taylor remainder after stopping is below one ulp once the
// spread of the arguments, times the factor, falls under the running mean.
inline constexpr double rf_threshold = 78.8959690786408;   // (3 * 2^-52)^(-1/8)
inline constexpr double rd_threshold = 107.63474115247546; // (2^-52 / 4)^(-1/8)
inline constexpr double rd_threshold_margin = 1.2;         // applied on top of rd_threshold
inline constexpr double rj_threshold = 110.67925377307274; // (2^-52 / 5)^(-1/8)

inline constexpr int rf_max_steps = 11;
inline constexpr int rd_max_steps = 50;
inline constexpr int rj_max_steps = 100;

// K(m) = P_K(x) - ln(x) Q_K(x) and E(m) = 1 + x P_E(x) - x ln(x) Q_E(x) with x = 1 - m,
// fitted for 0 < x <= 1. Coefficients in increasing powers of x; the constant terms are the
// leading terms of the expansions about m = 1: ln 4 and 1/2 for K, ln 2 - 1/4 and 1/4 for E.
inline constexpr double k_p[11] = {
    1.3862943611198906,   0.09657359028116902,  0.0308851465246712,    0.014938044891680526,
    0.008790782739527438, 0.006189010336376876, 0.006874896874499499,  0.00985821379021226,
    0.007974040132204152, 0.002280257240058756, 0.00013798286460627325};
inline constexpr double k_q[11] = {0.5,
                                   0.12499999999987083,
                                   0.07031249969639575,
                                   0.04882803475709983,
                                   0.037377431417382326,
                                   0.030120471522760404,
                                   0.023908960271592488,
                                   0.01548505166497624,
                                   0.005940583037531678,
                                   0.0009141847238659173,
                                   2.940789550485985e-05};
inline constexpr double e_p[10] = {
    0.44314718056099084,   0.05680519456178606,  0.021831799601555724, 0.011568843681057412,
    0.007583952894135147,  0.007773954925167871, 0.010735094905607619, 0.008687868165658896,
    0.0025088849216360204, 0.0001535525773010133};
inline constexpr double e_q[10] = {
    0.2499999999998883,    0.09374999971976443,   0.0585936634471101,   0.04271809265189315,
    0.03348339048882249,   0.026176974245449364,  0.016886216399331133, 0.006506094899769275,
    0.0010096279267935672, 3.2795489857648585e-05};

// R_C(1, 1 + e) inside the R_J duplication, from the step's e, d = (rp + rx)(rp + ry)(rp + rz),
// the square roots and the current p.
Result rj_correction(double e, double d, double rx, double ry, double rz, double rp, double p);

// The fifth-order series closing the R_D and R_J duplications, summed left to right exactly as
// written: regrouping the terms moves the last bit.
template <class T> T closing_series(T e2, T e3, T e4, T e5) {
    return 1 - 3 * e2 / 14 + e3 / 6 + 9 * e2 * e2 / 88 - 3 * e4 / 22 - 9 * e2 * e3 / 52 +
           3 * e5 / 26 - e2 * e2 * e2 / 16 + 3 * e3 * e3 / 40 + 3 * e2 * e4 / 20 +
           45 * e2 * e2 * e3 / 272 - 9 * (e3 * e4 + e2 * e5) / 68;
}

} // namespace lumagnis::special::detail
