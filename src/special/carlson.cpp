#include "special/carlson.hpp"
#include "special/elliptic_detail.hpp"

#include <cmath>
#include <utility>

namespace lumagnis::special {

namespace {

// The constants, the formulas of the AGM and the R_J duplication, and the R_J correction term
// live in one place, shared with the vectorised kernels, so that both evaluate the very same
// expressions.
using namespace detail;
using Scalar = numerics::ScalarLanes;

// std::fmin/std::fmax drop a NaN operand; std::min(NaN, 1.0) would return NaN and let a NaN
// argument trip the domain tests on its own.
double min3(double a, double b, double c) { return std::fmin(std::fmin(a, b), c); }
double max3(double a, double b, double c) { return std::fmax(std::fmax(a, b), c); }

} // namespace

namespace detail {

// R_C(1, 1 + e) for the R_J duplication. `d` and the square roots are those of the current
// step; they let the branch near e = -1 form 1 + e without cancellation.
Result rj_correction(double e, double d, double rx, double ry, double rz, double rp, double p) {
    if (e > -1.5 && e < -0.5) {
        double b = 2 * rp * (p + rx * (ry + rz) + ry * rz) / d;
        return elliprc(1, b);
    }
    if (e < -1) {
        Result rc = elliprc(-e, -e - 1);
        if (!rc) return std::unexpected(rc.error());
        return std::sqrt(-1 / e) * *rc;
    }
    if (e == 0) return 1.0;
    if (e > 0) {
        const double root = std::sqrt(e);
        return rc_of_positive(root, std::atan(root));
    }
    if (e > -0.5 && e < 0) {
        const double r = std::sqrt(-e);
        return rc_of_slightly_negative(r, std::log1p(r), std::log1p(-r));
    }
    // e == -0.5 exactly, or NaN.
    double r = std::sqrt(-e);
    return std::log((1 + r) / std::sqrt(1 + e)) / r;
}

} // namespace detail

Result elliprc(double x, double y) {
    if (x < 0) return std::unexpected(failures::rc_negative_x);
    if (y == 0) return std::unexpected(failures::rc_zero_y);
    // From here on: x >= 0 (or NaN) and y != 0.

    // The principal value for y < 0 reduces to a positive second argument.
    double prefix = 1;
    if (y < 0) {
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0) return prefix * half_pi / std::sqrt(y);
    if (x == y) return prefix / std::sqrt(x);
    if (y > x) return prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    // y < x (or NaN): an inverse hyperbolic form. Close to x = y the log1p pair keeps the
    // small argument's bits that ln((sqrt x + sqrt(x - y)) / sqrt y) would round away.
    if (y / x > 0.5) {
        double a = std::sqrt((x - y) / x);
        return prefix * (std::log1p(a) - std::log1p(-a)) / (2 * std::sqrt(x - y));
    }
    return prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) / std::sqrt(x - y);
}

Result elliprf(double x, double y, double z) {
    if (min3(x, y, z) < 0 || min3(x + y, y + z, z + x) == 0)
        return std::unexpected(failures::rf_domain);
    // From here on: no argument is negative and at most one is zero (NaN passes).

    if (x == y) {
        if (x == z) return 1 / std::sqrt(x);
        if (z == 0) return pi / (2 * std::sqrt(x));
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0) return pi / (2 * std::sqrt(x));
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0) return pi / (2 * std::sqrt(y));
        return elliprc(x, y);
    }

    // All three differ; a zero argument goes last, where the AGM handles it.
    if (x == 0)
        std::swap(x, z);
    else if (y == 0)
        std::swap(y, z);

    if (z == 0) return agm_rf<Scalar>(true, std::sqrt(x), std::sqrt(y));

    const double a0 = (x + y + z) / 3;
    // |A0| is a candidate of its own: it bounds the threshold from below when the
    // arguments are nearly equal.
    double q = rf_threshold *
               std::fmax(std::fmax(std::fmax(std::fabs(a0), std::fabs(a0 - x)), std::fabs(a0 - y)),
                         std::fabs(a0 - z));
    double a = a0;
    double xn = x;
    double yn = y;
    double zn = z;
    double f = 1;
    bool converged = false;
    for (int step = 1; step <= rf_max_steps; ++step) {
        double sx = std::sqrt(xn);
        double sy = std::sqrt(yn);
        double sz = std::sqrt(zn);
        double lambda = sx * sy + sx * sz + sy * sz;
        a = (a + lambda) / 4;
        q = q / 4;
        f = f * 4;
        if (std::fabs(a) > q) {
            converged = true;
            break;
        }
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
    }
    // A NaN argument never passes the stop test, so it ends here rather than as a NaN value.
    if (!converged) return std::unexpected(failures::rf_no_convergence);

    // The deviations are formed from the original arguments, scaled once by 4^k * A.
    double dx = (a0 - x) / (f * a);
    double dy = (a0 - y) / (f * a);
    double dz = -dx - dy;
    double e2 = dx * dy - dz * dz;
    double e3 = dx * dy * dz;
    return (1 + e3 * (1.0 / 14 + 3 * e3 / 104) +
            e2 * (-1.0 / 10 + e2 / 24 - 3 * e3 / 44 - 5 * e2 * e2 / 208 + e2 * e3 / 16)) /
           std::sqrt(a);
}

Result elliprd(double x, double y, double z) {
    if (std::fmin(x, y) < 0 || x + y == 0) return std::unexpected(failures::rd_domain_xy);
    if (z <= 0) return std::unexpected(failures::rd_domain_z);
    // From here on: x, y >= 0 with at most one zero, and z > 0 (NaN passes).

    if (x == z) std::swap(x, y);
    if (y == z) {
        if (x == y) return 1 / (x * std::sqrt(x));
        if (x == 0) return three_pi / (4 * y * std::sqrt(y));
    }

    if (x == 0) {
        // The AGM of sqrt y and sqrt z, carrying the weighted sum of squared differences
        // that turns R_F(0, y, z) into R_D(0, y, z). y != z here: that case returned above.
        const double a0 = std::sqrt(y);
        const double b0 = std::sqrt(z);
        double a = a0;
        double b = b0;
        double s = 0;
        double w = 0.25;
        while (std::fabs(a - b) >= agm_tolerance * std::fabs(a)) {
            double mean = (a + b) / 2;
            b = std::sqrt(a * b);
            a = mean;
            w = 2 * w;
            s = s + w * (a - b) * (a - b);
        }
        double r = pi / (a + b);
        return 3 * r * ((a0 + 3 * b0) / (4 * z * (a0 + b0)) - s / (z * (y - z)));
    }

    const double a0 = (x + y + 3 * z) / 5;
    // No absolute values: the weighted differences sum to zero, so their maximum is >= 0.
    double q = rd_threshold_margin * rd_threshold * max3(a0 - x, a0 - y, a0 - z);
    double a = a0;
    double xn = x;
    double yn = y;
    double zn = z;
    double f = 1;
    double s = 0;
    bool converged = false;
    for (int step = 1; step <= rd_max_steps; ++step) {
        double sx = std::sqrt(xn);
        double sy = std::sqrt(yn);
        double sz = std::sqrt(zn);
        double lambda = sx * sy + sx * sz + sy * sz;
        s = s + f / (sz * (zn + lambda));
        a = (a + lambda) / 4;
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        f = f / 4;
        q = q / 4;
        if (a > q) {
            converged = true;
            break;
        }
    }
    if (!converged) return std::unexpected(failures::rd_no_convergence);

    double dx = f * (a0 - x) / a;
    double dy = f * (a0 - y) / a;
    double dz = -(dx + dy) / 3;
    double e2 = dx * dy - 6 * dz * dz;
    double e3 = (3 * dx * dy - 8 * dz * dz) * dz;
    double e4 = 3 * (dx * dy - dz * dz) * dz * dz;
    double e5 = dx * dy * dz * dz * dz;
    return 3 * s + f * std::pow(a, -1.5) * closing_series(e2, e3, e4, e5);
}

Result elliprj(double x, double y, double z, double p) {
    if (min3(x, y, z) < 0 || min3(x + y, y + z, z + x) == 0)
        return std::unexpected(failures::rj_domain);
    if (p == 0) return std::unexpected(failures::rj_zero_p);
    // From here on: x, y, z >= 0 with at most one zero, and p != 0 (NaN passes).

    // Degenerate patterns come before the sign of p is looked at.
    if (x == y && x == z) {
        if (p == x) return 1 / (x * std::sqrt(x));
        Result rc = elliprc(x, p);
        if (!rc) return std::unexpected(rc.error());
        return 3 * (*rc - 1 / std::sqrt(x)) / (x - p);
    }
    if (x == y) std::swap(x, z);
    if (y == z) {
        if (p == y) return elliprd(x, y, y);
        // Only well away from p = y: the difference of the two R_C values cancels as p -> y,
        // and the duplication below is the better path there.
        if (std::fmax(y, p) / std::fmin(y, p) > 1.2) {
            Result rc_y = elliprc(x, y);
            if (!rc_y) return std::unexpected(rc_y.error());
            Result rc_p = elliprc(x, p);
            if (!rc_p) return std::unexpected(rc_p.error());
            return 3 * (*rc_y - *rc_p) / (p - y);
        }
    }
    if (z == p) return elliprd(x, y, z);

    if (p < 0) {
        // Cauchy principal value, through the positive p' of the same three arguments.
        if (x > y) std::swap(x, y);
        if (y > z) std::swap(y, z);
        if (x > y) std::swap(x, y);
        double q = -p;
        double pp = ((x + y + q) * z - x * y) / (z + q);
        Result tj = elliprj(x, y, z, pp);
        if (!tj) return std::unexpected(tj.error());
        Result tf = elliprf(x, y, z);
        if (!tf) return std::unexpected(tf.error());
        Result tc = elliprc(x * y + pp * q, pp * q);
        if (!tc) return std::unexpected(tc.error());
        return ((pp - z) * *tj - 3 * *tf + 3 * std::sqrt(x * y * z / (x * y + pp * q)) * *tc) /
               (z + q);
    }

    RjDuplication<Scalar> duplication(x, y, z, p);
    bool converged = false;
    for (int step = 1; step <= rj_max_steps; ++step) {
        const RjDuplication<Scalar>::Roots roots = duplication.roots();
        const Result v =
            rj_correction(roots.e, roots.d, roots.rx, roots.ry, roots.rz, roots.rp, duplication.pn);
        if (!v) return std::unexpected(v.error());
        if (!duplication.advance(true, roots, *v)) {
            converged = true;
            break;
        }
    }
    if (!converged) return std::unexpected(failures::rj_no_convergence);
    return duplication.value(std::pow(duplication.a, -1.5));
}

} // namespace lumagnis::special
