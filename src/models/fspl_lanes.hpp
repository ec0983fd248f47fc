#pragma once
// The uniform disk's closed form for four radii side by side, on the widest vectors the
// processor has: AVX2 where it runs (chosen once, at run time), the portable four-lane type
// elsewhere. Both give the same bits: every lane is computed by the same correctly rounded
// operations, and the lanes stop together.

#include "models/fspl_disk.hpp"

namespace lumagnis::models::fspl::lanes {

// Whether the AVX2 lanes run on this processor.
bool vectorised();

// The general closed form (not the limb's) for radius[0..3], into `out`; closed_lanes_two for
// radius[0..7], into out[0] and out[1], each the bits of closed_lanes on its four.
// closed_points: the general closed form's value for four points, each its own separation
// u[l] and radius[l], into a[0..3], every lane to the bit as the closed form of its point alone
// (the lanes stop each on its own); closed_points_slopes with the slopes in u and in the
// radius carried along, as the closed form's own (not the rim's).
// chords: the integrand of four chords through the lens (chord_formula::chord_integrand) of
// midpoints s[l] and half-lengths^2 h2[l] at angles of cosine c[l] and sine n[l], into value,
// du and drho [0..3] (the last two WithGradient only);
// sin_cos: chord_formula::sin_cos of `count` angles in [0, pi / 2], count a multiple of four
// and at most four times chord_formula::most_groups.
namespace portable {
template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out);
template <bool WithGradient> void closed_lanes_two(double u, const double* radius, DiskLanes* out);
void closed_points(const double* u, const double* radius, double* a);
void closed_points_slopes(const double* u, const double* radius, DiskLanes& out);
template <bool WithGradient>
void chords(double u, const double* s, const double* h2, const double* c, const double* n,
            const double* t, const double* w, int pairs, double* value, double* du, double* drho);
void sin_cos(const double* x, double* s, double* c, int count);
} // namespace portable
namespace avx2 {
template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out);
template <bool WithGradient> void closed_lanes_two(double u, const double* radius, DiskLanes* out);
void closed_points(const double* u, const double* radius, double* a);
void closed_points_slopes(const double* u, const double* radius, DiskLanes& out);
template <bool WithGradient>
void chords(double u, const double* s, const double* h2, const double* c, const double* n,
            const double* t, const double* w, int pairs, double* value, double* du, double* drho);
void sin_cos(const double* x, double* s, double* c, int count);
} // namespace avx2

} // namespace lumagnis::models::fspl::lanes

// The far-field series for far_lanes points (far_field_row), compiled for each instruction set;
// false, with nothing written, for a row across u = 2, which the caller takes point by point.
namespace lumagnis::models::fspl::far_rows {
namespace portable {
template <bool WithGradient>
bool row(const double* u, const double* radius, const Moments& moments, DiskLanes& out);
} // namespace portable
namespace avx2 {
template <bool WithGradient>
bool row(const double* u, const double* radius, const Moments& moments, DiskLanes& out);
} // namespace avx2
} // namespace lumagnis::models::fspl::far_rows
