#pragma once
// Constants and formulas of the elliptic integrals shared by the scalar routines and the
// vectorised kernels. Each formula is written once, as a template over the lane type (see
// numerics/lanes.hpp), so that both evaluate the very same expressions.

#include <cstddef>

#include "numerics/constants.hpp"
#include "numerics/lanes.hpp"
#include "special/carlson.hpp"

namespace lumagnis::special::detail {

using constants::half_pi;
using constants::pi;
using constants::three_pi;

inline constexpr double epsilon = 2.220446049250313e-16; // 2^-52
inline constexpr double log4 = 1.3862943611198906;       // ln 4

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
// Source: the minimax fits of the same form in S. L. Moshier's Cephes Mathematical Library
// (ellpk.c and ellpe.c, given there to 21 digits, highest power first), each rounded to the
// nearest double. They are data, not derived here: the accuracy tests against mpmath are what
// vouch for them.
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

// The formulas below are templates over the lane type L (numerics/lanes.hpp). Calls into the
// mathematics library are made by the caller and passed in.

template <class L, std::size_t N>
typename L::Value horner(const double (&c)[N], typename L::Value x) {
    typename L::Value sum = L::splat(c[N - 1]);
    for (std::size_t i = N - 1; i-- > 0;) sum = sum * x + c[i];
    return sum;
}

// K(m) for 0 < m < 1 (and NaN), from x = 1 - m and ln x: the fit, or its leading asymptote
// once x is below the spacing of doubles near 1.
template <class L> typename L::Value k_fit(typename L::Value x, typename L::Value log_x) {
    return L::select(L::less(x, L::splat(epsilon)), log4 - 0.5 * log_x,
                     horner<L>(k_p, x) - log_x * horner<L>(k_q, x));
}

// E(m) for 0 < m < 1, from x = 1 - m and ln x. No branch for small x: x ln x tends to 0.
template <class L> typename L::Value e_fit(typename L::Value x, typename L::Value log_x) {
    return 1 + x * horner<L>(e_p, x) - x * log_x * horner<L>(e_q, x);
}

template <class L> typename L::Mask agm_continues(typename L::Value a, typename L::Value b) {
    return L::greater_equal(L::abs(a - b), agm_tolerance * L::abs(a));
}

// pi / (a + b) at the end of the AGM of a and b, in the lanes of `active`:
// R_F(x, y, 0) = pi / (2 AGM(sqrt x, sqrt y)) from a = sqrt x and b = sqrt y. Tested before the
// first step, so equal roots take none.
template <class L>
typename L::Value agm_rf(typename L::Mask active, typename L::Value a, typename L::Value b) {
    active = L::both(active, agm_continues<L>(a, b));
    while (L::any(active)) {
        const typename L::Value mean = (a + b) / 2;
        const typename L::Value root = L::sqrt(a * b);
        a = L::select(active, mean, a);
        b = L::select(active, root, b);
        active = L::both(active, agm_continues<L>(a, b));
    }
    return pi / (a + b);
}

// The R_C(1, 1 + e) of a duplication step in its two common cases (e = 0 gives 1):
// for e > 0 from sqrt(e) and atan(sqrt(e)),
template <class T> T rc_of_positive(T root, T atan_root) { return atan_root / root; }
// and for -0.5 < e < 0 from r = sqrt(-e), log1p(r) and log1p(-r). Close to e = 0 the log1p pair
// keeps the bits that ln((1 + r) / sqrt(1 + e)) would round away.
template <class T> T rc_of_slightly_negative(T r, T log1p_r, T log1p_minus_r) {
    return (log1p_r - log1p_minus_r) / (2 * r);
}

// Carlson's duplication for R_J(x, y, z, p) with p > 0, step by step:
//   RjDuplication d(x, y, z, p);
//   repeat: s = d.roots(); v = R_C correction at s.e; on = d.advance(on, s, v)
//   until no lane is on; then d.value(pow(d.a, -1.5)).
template <class L> struct RjDuplication {
    using T = typename L::Value;
    using Mask = typename L::Mask;

    // The square roots of a step and the quantities formed from them.
    struct Roots {
        T rx, ry, rz, rp;
        T d; // (rp + rx)(rp + ry)(rp + rz)
        T e; // delta / d^2
    };

    T x, y, z;
    T a0;    // the mean (x + y + z + 2p) / 5
    T q;     // the stopping threshold; the test scales it by f, unlike R_F's and R_D's
    T delta; // (p - x)(p - y)(p - z), a product of three differences each of which shrinks by 4
    T a, xn, yn, zn, pn;
    T f = L::splat(1.0); // 4^-k
    T s = L::splat(0.0); // the sum of the correction terms

    RjDuplication(T x_, T y_, T z_, T p_)
        : x(x_), y(y_), z(z_), a0((x + y + z + 2 * p_) / 5),
          q(rj_threshold * L::max(L::max(L::max(L::abs(a0 - x), L::abs(a0 - y)), L::abs(a0 - z)),
                                  L::abs(a0 - p_))),
          delta((p_ - x) * (p_ - y) * (p_ - z)), a(a0), xn(x), yn(y), zn(z), pn(p_) {}

    Roots roots() const {
        const T rx = L::sqrt(xn);
        const T ry = L::sqrt(yn);
        const T rz = L::sqrt(zn);
        const T rp = L::sqrt(pn);
        const T d = (rp + rx) * (rp + ry) * (rp + rz);
        return Roots{.rx = rx, .ry = ry, .rz = rz, .rp = rp, .d = d, .e = delta / (d * d)};
    }

    // Adds the step's term, with `v` the R_C correction at roots.e, in the lanes of `on`, and
    // returns the lanes of `on` that have not converged. The arguments move on in every lane:
    // only the lanes that go on read them again.
    Mask advance(Mask on, const Roots& r, T v) {
        const T lambda = r.rx * r.ry + r.rx * r.rz + r.ry * r.rz;
        s = L::select(on, s + (f / r.d) * v, s);
        a = L::select(on, (a + lambda) / 4, a);
        f = L::select(on, f / 4, f);
        const Mask going_on = L::but_not(on, L::greater(a, q * f));
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        pn = (pn + lambda) / 4;
        delta = delta / 64;
        return going_on;
    }

    // R_J from the converged state and a^-1.5.
    T value(T a_power) const {
        const T dx = f * (a0 - x) / a;
        const T dy = f * (a0 - y) / a;
        const T dz = f * (a0 - z) / a;
        const T dp = -(dx + dy + dz) / 2;
        const T e2 = dx * dy + dx * dz + dy * dz - 3 * dp * dp;
        const T e3 = dx * dy * dz + 2 * e2 * dp + 4 * dp * dp * dp;
        const T e4 = (2 * dx * dy * dz + e2 * dp + 3 * dp * dp * dp) * dp;
        const T e5 = dx * dy * dz * dp * dp;
        return 6 * s + f * a_power * closing_series(e2, e3, e4, e5);
    }
};

// Pi(n, m) for 0 < n <= 1 from T_F = R_F(0, 1 - m, 1) and T_J = R_J(0, 1 - m, 1, 1 - n).
// (n * T_J) / 3, left to right: n * (T_J / 3) and (n / 3) * T_J round differently for a
// sizeable share of arguments.
template <class T> T pi_from_carlson(T n, T tf, T tj) { return tf + n * tj / 3; }

} // namespace lumagnis::special::detail
