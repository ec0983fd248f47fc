#pragma once
// The choices of variable and rule that depend on a power law's exponents, shared by the
// preparation of a source (fspl_source.cpp) and its integration (fspl.cpp).

#include <array>
#include <cstddef>
#include <span>

#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl::rules {

// A source larger than this (in Einstein radii) brings the singularities of A_U(u, rho r) at
// r = u / rho +- 2i / rho, where the distance to the lens is 2i, within 2 / rho of the kink or
// the limb: it takes longer rules.
inline constexpr double large_source = 2.0;

// A lens outside the source puts the kink's singularity at the imaginary t = i sqrt((z - 1) /
// (z + 1)); closer than this to the limb end (and likewise a kink inside), the range towards
// the centre is cut into panels growing by graded_ratio, the last one ending at the centre
// once it would pass graded_last.
inline constexpr double near_singularity = 0.15;
inline constexpr double graded_ratio = 4.0;
inline constexpr double graded_last = 0.5;
// Below this u / rho a table's rings take the rim integrals' slopes.
inline constexpr double table_centre = 0.01;
// A table's segment is cut into such panels once the kink beyond its end is closer than
// 1 / table_graded of its length; farther, the rule drawn towards that end is as good (the two
// differ by less than 1e-14 where they meet).
inline constexpr double table_graded = 16.0;
// With the lens on the limb, the first panel, [0, limb_panel] in t, holds only a share of
// about limb_panel^2 of the integral, so that its rule's error there is negligible.
inline constexpr double limb_panel = 1e-3;

// A law whose smallest exponent is below this has a steep limb (add_steep_limb); the panels
// in v = -ln t, each integrated by steep_rule, end at steep_end.
inline constexpr double steep_gamma = 0.5;
inline constexpr std::array<double, 10> steep_panels = {0.0, 1.0, 2.0,  3.0,  4.5,
                                                        6.0, 8.0, 11.0, 15.0, 20.0};
inline constexpr double steep_end = steep_panels.back();
inline constexpr auto& steep_rule = numerics::gauss_legendre_16;

// A term mu^beta with a larger exponent has a pole of order beta - 1 at t = +-i, which the
// rules of 24 nodes and fewer no longer pass over: such a law takes the rules of 64 nodes.
inline constexpr double peaked_beta = 3.0;

// A lens outside the source, for a law whose terms are whole powers of psi = mu^gamma, gamma 1
// or 1/2: there -I'(r) r^2 dr = c beta mu^(beta - 1) (1 - mu^2) dmu, and A_U(u, R) depends on
// R only through R^2 while R < u, so the integrand in psi is analytic on [0, 1] but where
// rho^2 (1 - mu^2) = u^2, at mu = +-i sqrt(z^2 - 1) (a large source adds the images of the
// point lens's singularities at distance 2i, which lie near it). A plain rule then converges as
// fast as the ellipse through that point allows, which sets the nodes per band of z: each
// keeps the value within ~1e-14 and the slopes within ~2e-13 of the converged integral over
// the band (gamma = 1/2 takes the fourth root, nearer the range, so more nodes). A law of a
// single term mu^alpha with any other exponent takes, with outside_mu's node counts, the Gauss
// rule of the weight alpha mu^(alpha - 1) in mu, against which the rest is the same analytic
// function of mu.
struct OutsideBand {
    double z_min;
    std::span<const numerics::GaussNode> rule;
};
inline constexpr std::array<OutsideBand, 3> outside_mu = {{{1.7, numerics::gauss_legendre_8},
                                                           {1.2, numerics::gauss_legendre_12},
                                                           {1.05, numerics::gauss_legendre_16}}};
inline constexpr std::array<OutsideBand, 4> outside_root_mu = {
    {{8.0, numerics::gauss_legendre_8},
     {1.6, numerics::gauss_legendre_12},
     {1.1, numerics::gauss_legendre_16},
     {1.05, numerics::gauss_legendre_20}}};

// The band of z among `bands` (ordered by decreasing z_min), or -1 below the last.
template <std::size_t N> int outside_band(double z, const std::array<OutsideBand, N>& bands) {
    for (std::size_t k = 0; k < N; ++k)
        if (z >= bands[k].z_min) return static_cast<int>(k);
    return -1;
}

} // namespace lumagnis::models::fspl::rules
