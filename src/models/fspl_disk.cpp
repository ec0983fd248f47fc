#include "models/fspl_disk.hpp"

#include <array>
#include <cmath>

#include "models/fspl_disk_formula.hpp"
#include "models/fspl_disk_rim.hpp"
#include "models/fspl_far_series.hpp"
#include "models/fspl_lanes.hpp"
#include "numerics/constants.hpp"
#include "numerics/dual.hpp"

namespace lumagnis::models::fspl {
namespace {

// The series takes the value over from u = 10 R, the slopes from u = 6 R
// (far_series::value_ratio, slope_ratio). Nearer, its terms fall too slowly; farther out, the
// closed form's terms, which grow like (u / R)^2 against a result of order one, lose about
// 2 log10(u / R) digits of the value, and more of its slopes.

// Past this separation A - 1 = 2 / u^4 and every finite-source correction (of relative size
// (R / u)^2, R at most the largest accepted source radius) are far below the last bit of 1.
constexpr double point_source_separation = 1e50;

// The least count of terms whose remainder bound meets the tolerance at ratio z = u / R: the
// thresholds fall with the count, so the first one that z reaches gives it.
int term_count(const std::array<double, far_series::most_terms>& from, double ratio) {
    int terms = 1;
    while (terms < far_series::most_terms && ratio < from[terms - 1]) ++terms;
    return terms;
}

// The highest power of the series' variable any term reads: that of M_(most_terms - 1).
constexpr int highest_power = 2 * (far_series::most_terms - 1);

// sum c[i] p[i] for i = 0 .. 2 pairs - 1, p the powers of the variable: in two sums, even and
// odd, so that the additions need not wait on one another as Horner's rule makes them.
double paired_sum(const double* c, const double* p, int pairs) {
    double even = 0;
    double odd = 0;
    for (int j = 0; j < 2 * pairs; j += 2) {
        even += c[j] * p[j];
        odd += c[j + 1] * p[j + 1];
    }
    return even + odd;
}

// The variables of the series at one separation. Up to q = 4 the polynomials are read in q
// with the factor (q + 4)^(-2k) as t^(2k), t = 1 / (q + 4); beyond, in y = 1 / q with the
// factor w^(2k), w = q / (q + 4), so that no power overflows for u up to 1e50 and every
// polynomial keeps its positive leading part where it dominates. One division serves them
// all: t, y and 1 / sqrt(D) all follow from 1 / D, D = q (q + 4), which stays within the
// doubles for every u of the far field (1e-99 .. 1e50).
struct SeriesPoint {
    bool near;
    double q;
    double t;
    double y;
    double step;     // the factor of one more term: x t^2 or x w^2, x = (R / u)^2
    double root;     // sqrt(D)
    double inv_root; // 1 / sqrt(D)
    double power[highest_power + 1];

    SeriesPoint(double u, double radius, int highest) {
        q = u * u;
        const double d = q * (q + 4);
        root = std::sqrt(d);
        const double inv = 1 / d;
        inv_root = root * inv;
        near = q <= 4;
        t = q * inv;
        y = (q + 4) * inv;
        const double scale = near ? t : q * t;
        step = ((radius * radius) * y) * (scale * scale);
        // Powers by halves, so that the chain of products is short.
        power[0] = 1;
        power[1] = near ? q : y;
        for (int i = 2; i <= highest; ++i) power[i] = power[i >> 1] * power[i - (i >> 1)];
    }

    // c_k Q_k(q) (q + 4)^(-2k) without the factor step^k: the k-th term of the value. Q_k has
    // degree 2k - 1.
    double value_term(int k) const {
        using namespace far_series;
        if (near) return paired_sum(value_near.data() + value_near_at[k], power, k);
        // w^(2k) y^(2k - degree) times the reversed polynomial.
        return y * paired_sum(value_far.data() + value_far_at[k], power, k);
    }
    // c_k M_k(q) (q + 4)^(-2k) without step^k: the k-th term of dA/dq, short of 1 / (q + 4).
    // M_k has degree 2k.
    double slope_term(int k) const {
        using namespace far_series;
        const double* c = near ? value_slope_near(k) : value_slope_far(k);
        return paired_sum(c, power, k) + c[2 * k] * power[2 * k];
    }

private:
    static const double* value_slope_near(int k) {
        return far_series::slope_near.data() + far_series::slope_near_at[k];
    }
    static const double* value_slope_far(int k) {
        return far_series::slope_far.data() + far_series::slope_far_at[k];
    }
};

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

bool far_for_values(double u, double radius) { return u > far_series::value_ratio * radius; }
bool far_for_slopes(double u, double radius) { return u > far_series::slope_ratio * radius; }

// The mean of A over the source is sum_k m_k (R / 2)^(2k) / (k!)^2 Laplacian^k A: the ring
// means' series weighted by the source's moments. The terms' closed forms and the counts that
// their proved remainder bound allows are in far_series.
template <bool WithGradient> DiskValue far_field(double u, double radius, const Moments& moments) {
    if (u > point_source_separation) {
        const double inv = 1 / u;
        const double slope = -8 * (inv * inv) * (inv * inv) * inv;
        return DiskValue{.a = 1.0, .da_du = WithGradient ? slope : 0.0, .da_dradius = 0.0};
    }
    const double ratio = u / radius;
    const int value_terms = term_count(far_series::value_terms_from, ratio);
    // With the slopes their count, which is at least the value's wherever the value comes from
    // the series (u > 10 R; the generator checks it), so that the value's sum is the same
    // sequence of operations with and without them. Nearer, the value is not the series'.
    const int terms = WithGradient ? term_count(far_series::slope_terms_from, ratio) : value_terms;
    const SeriesPoint at(u, radius, WithGradient ? 2 * (terms - 1) : 2 * terms - 3);
    // A - 1, summed before the 1 is added: every term is positive, so A > 1 even where A - 1 is
    // below the last bit of 1. The point lens's is (q + 2) / sqrt(D) - 1 without cancellation.
    double excess = 4 / (at.q + 2 + at.root);
    double slope = -4.0; // M_0
    double radial = 0;
    double power = 1;
    for (int k = 1; k < terms; ++k) {
        power = power * at.step;
        const double weight = moments.m[k] * power;
        const double term = weight * at.value_term(k);
        if (k < value_terms) excess += term;
        if constexpr (WithGradient) {
            radial += k * term;
            slope += weight * at.slope_term(k);
        }
    }
    const double a = 1 + excess * at.inv_root;
    if constexpr (!WithGradient) return DiskValue{.a = a, .da_du = 0.0, .da_dradius = 0.0};
    // dA/du = 2 u dA/dq, the series of dA/dq carrying 1 / (q sqrt(D)), and 1 / (q + 4) left
    // out of its terms.
    return DiskValue{.a = a,
                     .da_du = ((2 / u) * (at.t * slope)) * at.inv_root,
                     .da_dradius = ((2 / radius) * radial) * at.inv_root};
}

template DiskValue far_field<false>(double, double, const Moments&);
template DiskValue far_field<true>(double, double, const Moments&);

double far_field_difference(double u, double radius, const Moments& difference) {
    if (u > point_source_separation) return 0.0;
    const int terms = term_count(far_series::slope_terms_from, u / radius);
    const SeriesPoint at(u, radius, 2 * terms - 3);
    double sum = 0;
    double power = 1;
    for (int k = 1; k < terms; ++k) {
        power = power * at.step;
        sum += (difference.m[k] * power) * at.value_term(k);
    }
    return sum * at.inv_root;
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
        // The value as without slopes, to the bit (the series' own, which is the same with and
        // without them, beyond u = 10 R); the slopes from the series.
        const DiskValue far = far_field<true>(u, radius, uniform_moment_table);
        return DiskValue{.a = far_for_values(u, radius) ? far.a : uniform_disk<false>(u, radius).a,
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
