#pragma once
// The uniformly bright disk and the thin ring in the modeller's conventions: lens at distance
// u from the centre of a disk (or ring) of radius R, both in Einstein radii.
//
// Near the source the closed forms in complete elliptic integrals serve, written through
// Bulirsch's cel with the complements 1 - n and 1 - m formed exactly, so that they keep their
// precision at and around the limb. Far from it (u several radii away) their terms cancel,
// and the moment series of the far field takes over.

#include <cstddef>

#include "models/fspl_far_series.hpp"

namespace lumagnis::models::fspl {

// The moments that the far-field series of a radially symmetric source needs: the
// brightness-weighted means of r^(2k), r in source radii, k = 0 .. far_terms - 1.
inline constexpr int far_terms = 14;
struct Moments {
    double m[far_terms];
};
// Those of the uniform disk: 1 / (k + 1).
const Moments& uniform_moments();

// Whether (u, R) is far enough out for the far-field series: for values, and for slopes. The
// closed form's value is good to about epsilon (u / R)^2 relative, but its slopes in u and R,
// which are far smaller than the value there, lose their digits much sooner.
// (Inline: an array's loop asks them of every element.)
inline bool far_for_values(double u, double radius) { return u > far_series::value_ratio * radius; }
inline bool far_for_slopes(double u, double radius) { return u > far_series::slope_ratio * radius; }
// Whether a source other than the uniform disk takes both from the series: nearer than
// far_for_values, where the series still costs a fraction of the quadrature it replaces.
inline bool far_for_law(double u, double radius) { return u > far_series::law_ratio * radius; }

// Past this separation A - 1 = 2 / u^4 and every finite-source correction (of relative size
// (R / u)^2, R at most the largest accepted source radius) are far below the last bit of 1:
// the series gives way to the point lens.
inline constexpr double far_series_end = 1e50;

// A magnification with its partial derivatives in u and in the radius R.
struct DiskValue {
    double a;
    double da_du;
    double da_dradius;
};

// The brightness-weighted mean of the point-lens magnification over a disk with the given
// moments, by its far-field series in (R / u)^2. Valid where far_for_law(u, R).
template <bool WithGradient> DiskValue far_field(double u, double radius, const Moments& moments);
// The series' terms of order 1 and up for a difference of two sources' moments (m[0] unused):
// the difference of their magnifications, with its full relative precision however small.
double far_field_difference(double u, double radius, const Moments& difference);

// The uniform disk: its value and, with WithGradient, the partial derivatives in u and R.
// u >= 0 and R > 0 finite; u = +inf gives 1.
template <bool WithGradient> DiskValue uniform_disk(double u, double radius);

// The closed form alone, at any ratio u / R. Its error grows like epsilon (u / R)^2 relative
// to the disk's value, which is why uniform_disk leaves it far out; inside an integral over
// the source that error is weighted by R^2 and stays at epsilon (u / rho)^2 of the result.
template <bool WithGradient> DiskValue uniform_disk_closed(double u, double radius);

// uniform_disk_closed for four radii at once (the same u), evaluated side by side. A lane
// agrees with the single evaluation to within rounding, not always to the bit: the lanes
// iterate together until every one has converged. The slopes of a large disk come from the
// rim integrals, as in uniform_disk_closed; those of a disk with the lens near its centre or
// far out only with `every_rim_case` (inside an integral over a source of up to 2 Einstein
// radii their share, weighted by r^2, keeps the closed form's error small, and they would
// cost more than the rest of the integral).
inline constexpr int disk_lanes = 4;
struct DiskLanes {
    double a[disk_lanes];
    double da_du[disk_lanes];
    double da_dradius[disk_lanes];
};
// far_field for far_lanes points side by side, lane i the bits of far_field(u[i], radius[i])
// alone: the lanes' chains overlap, where one point would wait on each of its products. Every
// point must be a series point (far_row_point). Without the slopes they are left unset.
inline constexpr int far_lanes = disk_lanes;
inline bool far_row_point(double u, double radius) {
    return far_for_law(u, radius) && u <= far_series_end;
}
template <bool WithGradient>
void far_field_row(const double* u, const double* radius, const Moments& moments, DiskLanes& out);

template <bool WithGradient>
DiskLanes uniform_disk_closed_lanes(double u, const double* radius, bool every_rim_case);
// The same for `fours` (1 or 2) sets of four radii, into out[0] (radius[0..3]) and out[1]
// (radius[4..7]), each to the bit as uniform_disk_closed_lanes gives it: two sets' iterations
// run side by side, each filling the other's waits on the divider.
template <bool WithGradient>
void uniform_disk_closed_fours(double u, const double* radius, int fours, bool every_rim_case,
                               DiskLanes* out);
// The general closed form's value for four points, each its own separation u[l] and
// radius[l] (u != radius, both finite), into a[0..3], every lane to the bit as
// uniform_disk_closed<false>(u[l], radius[l]) alone.
void uniform_disk_closed_points(const double* u, const double* radius, double* a);
// uniform_disk_closed<true> for four points where the closed form's own slopes serve (u !=
// radius, neither rim_slopes_apply), every lane to the bit as alone.
void uniform_disk_closed_points_slopes(const double* u, const double* radius, DiskLanes& out);
// How many fours of a rule's `size` nodes from `first` on to take at once: two where it has
// them.
inline int fours_at_once(std::size_t first, std::size_t size) {
    return first + 2 * disk_lanes <= size ? 2 : 1;
}

} // namespace lumagnis::models::fspl
