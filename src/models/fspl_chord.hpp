#pragma once
// The linear law's limb term, F[mu] = (1 / (pi rho^2)) times the integral of mu A_ps over the
// source disk, by chords through the lens: where it serves, the linear law takes no uniform
// disk but the one at the limb.

#include "models/fspl_disk.hpp"

namespace lumagnis::models::fspl::chord {

// The largest source (Einstein radii) whose rules are set here; the lens at most
// far_series::law_ratio source radii away, where the far-field series takes over.
inline constexpr double largest_source = 2.0;
inline bool serves(double u, double rho) {
    return rho > 0 && rho <= largest_source && u >= 0 && u <= far_series::law_ratio * rho;
}

// F[mu] at (u, rho), with WithGradient its derivatives in u and rho (da_dradius); the value's
// bits are the same either way. Where serves(u, rho).
template <bool WithGradient> DiskValue mu_disk(double u, double rho);
// The same on the AVX2 lanes or the portable ones, whichever `avx2` names (AVX2 only where
// lanes::vectorised()): mu_disk takes the processor's, and both give the same bits.
template <bool WithGradient> DiskValue mu_disk_on(double u, double rho, bool avx2);

} // namespace lumagnis::models::fspl::chord
