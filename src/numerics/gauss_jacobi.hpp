#pragma once
// Gauss rules on [0, 1] for the weight (a + 1) x^a, a > -1, whose total is 1: an n-point rule
// integrates (a + 1) x^a p(x) exactly for every polynomial p of degree 2n - 1. Formed once per
// exponent, for an intensity term mu^alpha whose share of the radial integral is
// alpha mu^(alpha - 1) times a function analytic in mu.

#include <vector>

#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::numerics {

// The n nodes ascending, with their weights; empty if the eigenvalue iteration fails to
// converge (it does not for the exponents and lengths in use).
std::vector<GaussNode> gauss_jacobi_power(int n, double a);

} // namespace lumagnis::numerics
