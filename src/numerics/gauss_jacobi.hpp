#pragma once
// Gauss rules on [0, 1] for the weight (a + 1) x^a, a > -1, whose total is 1: an n-point rule
// integrates (a + 1) x^a p(x) exactly for every polynomial p of degree 2n - 1. Formed once per
// exponent, for an intensity term mu^alpha whose share of the radial integral is
// alpha mu^(alpha - 1) times a function analytic in mu. And the Gauss rule of any positive
// measure given through a discrete one (a table's slopes).

#include <span>
#include <vector>

#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::numerics {

// The n nodes ascending, with their weights; empty if the eigenvalue iteration fails to
// converge (it does not for the exponents and lengths in use).
std::vector<GaussNode> gauss_jacobi_power(int n, double a);

// The n-point Gauss rule of a positive measure, from a discrete one (points x, weights w > 0)
// that integrates every polynomial of degree below 2n as the measure does: nodes ascending,
// weights summing to the measure's total; empty if the procedure breaks down (fewer than n
// distinct points).
std::vector<GaussNode> gauss_rule_of_measure(std::span<const double> x, std::span<const double> w,
                                             int n);

// The derivatives in a of a node and its weight.
struct GaussSlope {
    double dx;
    double dw;
};

// The slopes of gauss_jacobi_power(rule.size(), a), given that rule, node by node: the rule's
// sum of w f(x) then has the derivative sum of dw f(x) + w dx f'(x) in a, which differs from
// that of the integral, (a + 1) x^a (1 / (a + 1) + ln x) f(x) over [0, 1], by the derivative of
// the rule's error, as small as the error itself for a function f analytic about [0, 1].
std::vector<GaussSlope> gauss_jacobi_power_slopes(double a, std::span<const GaussNode> rule);

} // namespace lumagnis::numerics
