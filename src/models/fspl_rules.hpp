#pragma once
// The choices of variable and rule that depend on a power law's exponents, shared by the
// preparation of a source (fspl_source.cpp) and its integration (fspl.cpp).

#include <array>

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

} // namespace lumagnis::models::fspl::rules
