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
