#include "models/fspl_disk.hpp"

#include <array>
#include <cmath>

#include "models/fspl_disk_formula.hpp"
#include "models/fspl_disk_rim.hpp"
#include "models/fspl_lanes.hpp"
#include "numerics/constants.hpp"
#include "numerics/dual.hpp"

namespace lumagnis::models::fspl {
namespace {

// The ratios u / R beyond which the far-field series replaces the closed form. The closed
// form's terms grow like (u / R)^2 against a result of order one, so it loses about
// 2 log10(u / R) digits of the value (rounding noise of ~1e-12 from point to point at 30),
// and more of the slopes; the series' terms
// fall like (R / u)^(2k), so a dozen reach the last bit from 6 on.
constexpr double far_values_ratio = 15.0;
constexpr double far_slopes_ratio = 6.0;

// Past this separation A - 1 = 2 / u^4 and every finite-source correction (of relative size
// (R / u)^2, R at most the largest accepted source radius) are far below the last bit of 1,
// and the series, which forms (u^2 + 2)^2, would overflow from about 1.3e77 on.
constexpr double point_source_separation = 1e50;

// Taylor coefficients of the point-lens magnification as a function of q = s^2, about
// q0 = u^2 in the scaled variable eta = (q - q0) / q0, of orders 0 .. far_terms * 2.
constexpr int taylor_order = 2 * far_terms;
using Taylor = std::array<double, taylor_order + 1>;

// A(q) = (1 - w)^(-1/2) with w = 4 / (q + 2)^2 = w0 / (1 + kappa eta)^2. From
// G' (1 - w) = G w' / 2, multiplied through by (1 + kappa eta)^3:
//   G' ((1 + kappa eta)^2 - w0) (1 + kappa eta) = -w0 kappa G,
// a cubic times G' against G, so each coefficient follows from the three before it. In this
// form the coefficients of orders >= 1 all carry the factor w0 themselves, so no digit is lost
// to cancellation when u is large and A - 1 tiny, and 1 - w0 = q0 (q0 + 4) / (q0 + 2)^2 is
// formed without subtraction for small u.
Taylor point_source_taylor(double q0, int order) {
    const double q2 = q0 + 2;
    const double w0 = 4 / (q2 * q2);
    const double c0 = (q0 * (q0 + 4)) / (q2 * q2); // 1 - w0
    const double kappa = q0 / q2;
    const double c1 = kappa * (3 - w0);
    const double c2 = 3 * (kappa * kappa);
    const double c3 = kappa * kappa * kappa;
    const double lead = w0 * kappa;
    Taylor g{};
    g[0] = 1 / std::sqrt(c0);
    for (int j = 0; j < order; ++j) {
        double sum = (lead + j * c1) * g[j];
        if (j >= 1) sum += ((j - 1) * c2) * g[j - 1];
        if (j >= 2) sum += ((j - 2) * c3) * g[j - 2];
        g[j + 1] = -sum / ((j + 1) * c0);
    }
    return g;
}

// How many terms of the far-field series reach the last bit at ratio u / R: the terms fall
// roughly like (R / u)^(2k), so the first one left out, k = count, is below 1e-16 of the
// value; one more, so that it is below 1e-16 of the first term of dA/dR, (R / u)^2 times the
// value.
int far_term_count(double ratio) {
    const int count = static_cast<int>(std::ceil(8.0 / std::log10(ratio))) + 1;
    return count < far_terms ? count : far_terms;
}

constexpr Moments make_uniform_moments() {
    Moments moments{};
    for (int k = 0; k < far_terms; ++k) moments.m[k] = 1.0 / (k + 1);
    return moments;
}

constexpr Moments uniform_moment_table = make_uniform_moments();

// The closed form for a lens exactly on the limb, u = R. In it asin((R^2 - 1) / (R^2 + 1))
// + pi / 2 equals 2 atan(R), which keeps its precision for small R where the former cancels.
double limb_value(double radius) {
    const double r2 = radius * radius;
    return ((2 * std::atan(radius)) * ((1 + r2) / r2) + 2 / radius) / constants::pi;
}

} // namespace

const Moments& uniform_moments() { return uniform_moment_table; }

bool far_for_values(double u, double radius) { return u > far_values_ratio * radius; }
bool far_for_slopes(double u, double radius) { return u > far_slopes_ratio * radius; }

// The mean of A over a ring of radius R is sum (R / 2)^(2k) / (k!)^2 Laplacian^k A, and
// over the disk the ring means weigh in with the source's moments of r^(2k). For a radial
// function of q = s^2 the Laplacian is 4 d/dq (q d/dq), which in eta is
// (4 / q0) d/deta ((1 + eta) d/deta): applied to Taylor coefficients it lowers the order by
// two, and the factors (4 / q0)^k join (R^2 / 4)^k into (R / u)^(2k).
template <bool WithGradient> DiskValue far_field(double u, double radius, const Moments& moments) {
    if (u > point_source_separation) {
        const double inv = 1 / u;
        const double slope = -8 * (inv * inv) * (inv * inv) * inv;
        return DiskValue{.a = 1.0, .da_du = WithGradient ? slope : 0.0, .da_dradius = 0.0};
    }
    const double ratio = u / radius;
    const int terms = far_term_count(ratio);
    const int order = 2 * terms;
    Taylor c = point_source_taylor(u * u, order);
    const double ratio2 = (radius / u) * (radius / u);

    // A - 1, summed before the 1 is added: every term is positive (the point magnification and
    // its iterated Laplacians are), so A > 1 even where A - 1 is below the last bit of 1.
    // The point-lens term is (q + 2) / sqrt(q (q + 4)) - 1 without the cancellation.
    const double q0 = u * u;
    const double root = std::sqrt(q0 * (q0 + 4));
    double excess = 4 / (root * (q0 + 2 + root));
    double slope = c[1];
    double radial = 0;
    double factor = 1;
    for (int k = 1; k < terms; ++k) {
        // One application of d/deta ((1 + eta) d/deta).
        for (int i = 0; i + 2 <= order - 2 * (k - 1); ++i)
            c[i] = ((i + 1) * (i + 2)) * c[i + 2] + ((i + 1) * (i + 1)) * c[i + 1];
        factor = factor * (ratio2 / (static_cast<double>(k) * k));
        const double term = (moments.m[k] * factor) * c[0];
        excess += term;
        if constexpr (WithGradient) {
            slope += (moments.m[k] * factor) * c[1];
            radial += (2 * k) * term;
        }
    }
    const double a = 1 + excess;
    if constexpr (!WithGradient) return DiskValue{.a = a, .da_du = 0.0, .da_dradius = 0.0};
    // d/du = 2u d/dq0 and the eta coefficient of order 1 is q0 times the q-derivative.
    return DiskValue{.a = a, .da_du = slope * (2 / u), .da_dradius = radial / radius};
}

template DiskValue far_field<false>(double, double, const Moments&);
template DiskValue far_field<true>(double, double, const Moments&);

double far_field_difference(double u, double radius, const Moments& difference) {
    if (u > point_source_separation) return 0.0;
    const int terms = far_term_count(u / radius);
    const int order = 2 * terms;
    Taylor c = point_source_taylor(u * u, order);
    const double ratio2 = (radius / u) * (radius / u);
    double sum = 0;
    double factor = 1;
    for (int k = 1; k < terms; ++k) {
        // One application of d/deta ((1 + eta) d/deta), as in far_field.
        for (int i = 0; i + 2 <= order - 2 * (k - 1); ++i)
            c[i] = ((i + 1) * (i + 2)) * c[i + 2] + ((i + 1) * (i + 1)) * c[i + 1];
        factor = factor * (ratio2 / (static_cast<double>(k) * k));
        sum += (difference.m[k] * factor) * c[0];
    }
    return sum;
}

template <bool WithGradient> DiskValue uniform_disk(double u, double radius) {
    if constexpr (!WithGradient) {
        if (far_for_values(u, radius))
            return DiskValue{.a = far_field<false>(u, radius, uniform_moment_table).a,
                             .da_du = 0.0,
                             .da_dradius = 0.0};
        return uniform_disk_closed<false>(u, radius);
    } else {
        if (!far_for_slopes(u, radius)) return uniform_disk_closed<true>(u, radius);
        // The value as without slopes, to the bit; the slopes from the series.
        const DiskValue far = far_field<true>(u, radius, uniform_moment_table);
        return DiskValue{.a = uniform_disk<false>(u, radius).a,
                         .da_du = far.da_du,
                         .da_dradius = far.da_dradius};
    }
}

template <bool WithGradient> DiskValue uniform_disk_closed(double u, double radius) {
    if (u == radius)
        return DiskValue{.a = limb_value(radius), .da_du = -HUGE_VAL, .da_dradius = HUGE_VAL};
    // From here on 0 <= u, u != R.
    if constexpr (!WithGradient) {
        return DiskValue{.a = formula::closed_form(u, radius), .da_du = 0.0, .da_dradius = 0.0};
    } else {
        // Where the closed form's slopes are left with its terms' rounding (a large disk, the
        // lens near the centre or far out), the rim integrals give them; the value is the
        // closed form's, to the bit.
        if (rim_slopes_apply(u, radius))
            return with_rim_slopes(formula::closed_form(u, radius), u, radius);
        const numerics::Dual a =
            formula::closed_form(numerics::Dual{u, 1.0, 0.0}, numerics::Dual{radius, 0.0, 1.0});
        return DiskValue{.a = a.v, .da_du = a.d0, .da_dradius = a.d1};
    }
}

template DiskValue uniform_disk<false>(double, double);
template DiskValue uniform_disk<true>(double, double);
template <bool WithGradient>
DiskLanes uniform_disk_closed_lanes(double u, const double* radius, bool every_rim_case) {
    DiskLanes out{};
    if (lanes::vectorised())
        lanes::avx2::closed_lanes<WithGradient>(u, radius, out);
    else
        lanes::portable::closed_lanes<WithGradient>(u, radius, out);
    // A lane exactly on the limb, where the general form divides by zero, takes its own; the
    // slopes that the closed form gets wrong come from the rim integrals.
    for (int i = 0; i < disk_lanes; ++i) {
        if constexpr (WithGradient) {
            const bool rim =
                every_rim_case ? rim_slopes_apply(u, radius[i]) : rim_slopes_for_size(radius[i]);
            if (u != radius[i] && rim) {
                const DiskValue slopes = with_rim_slopes(out.a[i], u, radius[i]);
                out.da_du[i] = slopes.da_du;
                out.da_dradius[i] = slopes.da_dradius;
                continue;
            }
        }
        if (u != radius[i]) continue;
        const DiskValue limb = uniform_disk_closed<WithGradient>(u, radius[i]);
        out.a[i] = limb.a;
        out.da_du[i] = limb.da_du;
        out.da_dradius[i] = limb.da_dradius;
    }
    return out;
}

template DiskLanes uniform_disk_closed_lanes<false>(double, const double*, bool);
template DiskLanes uniform_disk_closed_lanes<true>(double, const double*, bool);
template DiskValue uniform_disk_closed<false>(double, double);
template DiskValue uniform_disk_closed<true>(double, double);

} // namespace lumagnis::models::fspl
