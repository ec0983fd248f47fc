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
namespace {

// A lens and a disk both closer than this to the origin see the point magnification 1/x over
// the whole disk, so A_U(u, R) = k A_U(k u, k R) and the slopes k^2 theirs, to the last bit for
// k = 2^tiny_disk_shift; the closed form's terms, ~1/R^3, overflow below R ~ 1e-103 (the rings
// of a table inside a lens within 1e-107 of the centre). u grows by k at each step down.
constexpr double tiny_disk = 1e-60;
constexpr int tiny_disk_shift = 166;

template <bool WithGradient>
void scale_tiny_lanes(double u, const double* radius, bool every_rim_case, DiskLanes& out) {
    bool tiny = false;
    double scaled[disk_lanes];
    for (int i = 0; i < disk_lanes; ++i) {
        tiny = tiny || (radius[i] > 0 && radius[i] < tiny_disk);
        scaled[i] = std::ldexp(std::fmin(radius[i], tiny_disk), tiny_disk_shift);
    }
    if (!tiny) return;
    const DiskLanes up = uniform_disk_closed_lanes<WithGradient>(std::ldexp(u, tiny_disk_shift),
                                                                 scaled, every_rim_case);
    for (int i = 0; i < disk_lanes; ++i) {
        if (!(radius[i] > 0 && radius[i] < tiny_disk)) continue;
        out.a[i] = std::ldexp(up.a[i], tiny_disk_shift);
        out.da_du[i] = std::ldexp(up.da_du[i], 2 * tiny_disk_shift);
        out.da_dradius[i] = std::ldexp(up.da_dradius[i], 2 * tiny_disk_shift);
    }
}

} // namespace

namespace {

// The lanes that the general closed form does not serve: a lane exactly on the limb, where it
// divides by zero, takes its own; the slopes that it gets wrong come from the rim integrals;
// a tiny lens and disk are scaled up.
template <bool WithGradient>
void finish_lanes(double u, const double* radius, bool every_rim_case, DiskLanes& out) {
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
    if (u > 0 && u < tiny_disk) scale_tiny_lanes<WithGradient>(u, radius, every_rim_case, out);
}

} // namespace

template <bool WithGradient>
DiskLanes uniform_disk_closed_lanes(double u, const double* radius, bool every_rim_case) {
    DiskLanes out{};
    if (lanes::vectorised())
        lanes::avx2::closed_lanes<WithGradient>(u, radius, out);
    else
        lanes::portable::closed_lanes<WithGradient>(u, radius, out);
    finish_lanes<WithGradient>(u, radius, every_rim_case, out);
    return out;
}

template <bool WithGradient>
void uniform_disk_closed_fours(double u, const double* radius, int fours, bool every_rim_case,
                               DiskLanes* out) {
    if (fours == 1) {
        out[0] = uniform_disk_closed_lanes<WithGradient>(u, radius, every_rim_case);
        return;
    }
    out[0] = DiskLanes{};
    out[1] = DiskLanes{};
    if (lanes::vectorised())
        lanes::avx2::closed_lanes_two<WithGradient>(u, radius, out);
    else
        lanes::portable::closed_lanes_two<WithGradient>(u, radius, out);
    finish_lanes<WithGradient>(u, radius, every_rim_case, out[0]);
    finish_lanes<WithGradient>(u, radius + disk_lanes, every_rim_case, out[1]);
}

void uniform_disk_closed_points(const double* u, const double* radius, double* a) {
    if (lanes::vectorised())
        lanes::avx2::closed_points(u, radius, a);
    else
        lanes::portable::closed_points(u, radius, a);
}

void uniform_disk_closed_points_slopes(const double* u, const double* radius, DiskLanes& out) {
    if (lanes::vectorised())
        lanes::avx2::closed_points_slopes(u, radius, out);
    else
        lanes::portable::closed_points_slopes(u, radius, out);
}

template DiskLanes uniform_disk_closed_lanes<false>(double, const double*, bool);
template DiskLanes uniform_disk_closed_lanes<true>(double, const double*, bool);
template void uniform_disk_closed_fours<false>(double, const double*, int, bool, DiskLanes*);
template void uniform_disk_closed_fours<true>(double, const double*, int, bool, DiskLanes*);
template DiskValue uniform_disk_closed<false>(double, double);
template DiskValue uniform_disk_closed<true>(double, double);

} // namespace lumagnis::models::fspl
