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

} // namespace lumagnis::models::fspl::chord
