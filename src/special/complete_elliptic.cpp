#include "special/complete_elliptic.hpp"
#include "special/elliptic_detail.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace lumagnis::special {

namespace {

// The constants and the fits are shared with the vectorised kernels.
using namespace detail;
using Scalar = numerics::ScalarLanes;

// K for 0 < m < 1 and for NaN.
double k_polynomial(double m) {
    const double x = 1 - m;
    return k_fit<Scalar>(x, std::log(x));
}

// E for m < 1 without the negative-parameter transformation.
double e_polynomial(double m) {
    const double x = 1 - m;
    return e_fit<Scalar>(x, std::log(x));
}

} // namespace

Result ellipk(double m) {
    if (m > 1) return std::unexpected(failures::ellipk_domain);
    if (m == 1) return std::numeric_limits<double>::infinity();
    if (m == 0) return half_pi;
    // The fit holds only for 0 < x <= 1; at m = -10 it would even turn negative. Map m < 0
    // onto m / (m - 1) in (0, 1) by the imaginary-modulus transformation.
    if (m < 0) return k_polynomial(m / (m - 1.0)) / std::sqrt(1.0 - m);
    return k_polynomial(m);
}

Result ellipe(double m) {
    if (m > 1) return std::unexpected(failures::ellipe_domain);
    if (m == 1) return 1.0;
    if (m == 0) return half_pi;
    // Same transformation as for K, with the factor on the other side.
    if (m < 0) return std::sqrt(1 - m) * e_polynomial(m / (m - 1));
    return e_polynomial(m);
}

Result ellippi(double n, double m) {
    // m is tested first: m = 1 is refused here even though K and E accept it.
    if (m >= 1) return std::unexpected(failures::ellippi_domain_m);
    if (n > 1) return std::unexpected(failures::ellippi_domain_n);
    if (n == 0) {
        if (m == 0) return half_pi;
        return ellipk(m);
    }

    if (n < 0) {
        // The transformation below divides m - n by itself there; the limit is E(m)/(1 - m).
        if (m == n) {
            Result e = ellipe(m);
            if (!e) return std::unexpected(e.error());
            return *e / (1.0 - m);
        }
        // Move the characteristic to (m - n)/(1 - n), which lies in (0, 1) for 0 <= m < 1,
        // and recover Pi(n, m) from Pi at that characteristic and K(m).
        double x = 1 - m;
        double d = 1 - n;
        Result tf = elliprf(0, x, 1);
        if (!tf) return std::unexpected(tf.error());
        Result tj = elliprj(0, x, 1, x / d);
        if (!tj) return std::unexpected(tj.error());
        Result tk = ellipk(m);
        if (!tk) return std::unexpected(tk.error());
        double pi_n = pi_from_carlson((m - n) / d, *tf, *tj);
        return m * *tk / (m - n) - x * n * pi_n / (d * (m - n));
    }

    // 0 < n <= 1, or NaN. At n = 1 the fourth argument is 0 and R_J refuses it.
    double x = 1 - m;
    Result tf = elliprf(0, x, 1);
    if (!tf) return std::unexpected(tf.error());
    Result tj = elliprj(0, x, 1, 1 - n);
    if (!tj) return std::unexpected(tj.error());
    return pi_from_carlson(n, *tf, *tj);
}

} // namespace lumagnis::special
