// The integral of mu A_ps over the source disk by chords through the lens.
//
// A line through the lens at angle phi cuts the disk (radius rho, centre at distance u) in a
// chord with midpoint s_m = u cos(phi) and half-length h = sqrt(rho^2 - u^2 sin^2 phi), along
// which mu = (h / rho) sqrt(1 - t^2), t the position on it in units of h. The area element
// about the lens is |s| ds dphi, and A_ps(|s|) |s| = g(s) = (s^2 + 2) / sqrt(s^2 + 4) is even
// and analytic through the lens itself, so
//   integral of mu A_ps = 2 integral over phi in [0, Phi] of (h^2 / rho) J(phi) dphi,
//   J = integral over t in [-1, 1] of sqrt(1 - t^2) g(s_m + h t) dt,
// with Phi = pi / 2 for a lens inside (the chords at phi and pi - phi are mirror images) and
// asin(rho / u) outside. The only singularities of g are its branch points at s = +-2i, two
// Einstein radii from every chord: J takes the Gauss rule of its weight sqrt(1 - t^2), and
// h^2 J, even in h and so analytic in h^2 = rho^2 - u^2 sin^2 phi, is analytic in phi even
// where a chord shrinks to a point. Neither integrand has the kink at the ring through the lens
// nor the square root at the limb that the radial integral has: inside the source the
// integrand in phi is periodic, and the midpoint rule converges geometrically; outside, it is
// even in phi and the ends of [-Phi, Phi] are ordinary points, and Gauss-Legendre on that
// range does, at half the nodes (their mirror images add the same). The rules' lengths grow with
// the source (the branch points come nearer the chords in their own units) and towards the
// limb: over 3000 random points with rho up to 2 and the lens up to 4 rho, within 7e-15 of the
// value and 4e-14 of the slopes (relative to F and F / rho) against 120 angles of 60 nodes.

#include "models/fspl_chord.hpp"

#include <array>
#include <cmath>

#include "models/fspl_chord_formula.hpp"
#include "models/fspl_lanes.hpp"
#include "numerics/constants.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl::chord {
namespace {

using constants::half_pi;
using numerics::GaussNode;

// The positive half of the Gauss rule of sqrt(1 - t^2) on [-1, 1] with 2 pairs nodes:
// t_k = cos(k pi / (n + 1)), w_k = pi / (n + 1) sin^2(k pi / (n + 1)), k = 1 .. n / 2.
constexpr int most_pairs = 12;
struct ChordRule {
    int pairs;
    std::array<double, most_pairs> t;
    std::array<double, most_pairs> w;
};

ChordRule chord_rule(int pairs) {
    ChordRule rule{.pairs = pairs, .t = {}, .w = {}};
    const int n = 2 * pairs;
    const double step = constants::pi / (n + 1);
    for (int k = 1; k <= pairs; ++k) {
        const double s = std::sin(k * step);
        rule.t[k - 1] = std::cos(k * step);
        rule.w[k - 1] = step * (s * s);
    }
    return rule;
}

// The midpoint rule on [0, pi / 2] with n nodes: phi_j = (j + 1/2) pi / (2 n).
constexpr int most_inside = 16;
struct Midpoints {
    std::array<double, most_inside> cos;
    std::array<double, most_inside> sin;
};

std::array<Midpoints, most_inside + 1> midpoint_tables() {
    std::array<Midpoints, most_inside + 1> out{};
    for (int n = 1; n <= most_inside; ++n) {
        for (int j = 0; j < n; ++j) {
            const double phi = (j + 0.5) * (half_pi / n);
            out[n].cos[j] = std::cos(phi);
            out[n].sin[j] = std::sin(phi);
        }
    }
    return out;
}

// The integrand in phi is even (the chords at phi and -phi are mirror images), so that outside
// the integral over [0, Phi] is half that over [-Phi, Phi], which the positive half of a
// Gauss-Legendre rule of 2 n nodes takes with n: a rule of degree 4 n - 1 for the price of n
// nodes, where the rule on [0, Phi] itself would have degree 2 n - 1. The half rules have
// whole sets of lanes, n = 4, 8, 12 and 16 (halves[n / 4 - 1]): a shorter one would leave the
// rest of its last set to chords whose sums are not used.
constexpr int half_rules = 4;
constexpr int most_nodes = half_rules * disk_lanes;
struct HalfRule {
    std::array<double, most_nodes> x; // in (0, 1), of the rule on [-1, 1]
    std::array<double, most_nodes> w; // twice their weights there, for the integral over [0, 1]
};
template <std::size_t N> HalfRule half_of(const std::array<GaussNode, N>& rule) {
    // The rule on [0, 1] at y has node 2 y - 1 on [-1, 1] (exact, y >= 1 / 2) and weight 2 w;
    // halved for [0, 1] and doubled for the mirror images.
    HalfRule out{};
    for (std::size_t k = 0; k < N / 2; ++k) {
        out.x[k] = 2 * rule[N / 2 + k].x - 1;
        out.w[k] = 2 * rule[N / 2 + k].w;
    }
    return out;
}

// The rules by the source's radius: a lens inside takes inside[b] midpoints in the band b of
// inside_bands that holds z = u / rho, one outside the half rule of outside[b] nodes in the
// band of outside_bands (each band's upper end; the last ends where the far field begins).
// Each count is the next rule above the nodes that the value (to 2e-15) and its slopes (to
// 5e-14) needed at the band's lower end and the tier's largest source.
constexpr std::array<double, 4> inside_bands = {0.2, 0.5, 0.8, 1.0};
constexpr std::array<double, 5> outside_bands = {1.05, 1.2, 1.5, 2.2, far_series::law_ratio};
struct Tier {
    double rho_max;
    std::array<int, 4> inside;
    std::array<int, 5> outside;
};
constexpr std::array<Tier, 6> tiers = {{
    {1e-3, {2, 2, 2, 3}, {8, 8, 8, 4, 4}},
    {0.05, {2, 3, 4, 4}, {8, 8, 8, 8, 4}},
    {0.2, {3, 4, 5, 5}, {8, 8, 8, 8, 4}},
    {0.5, {4, 5, 6, 7}, {12, 8, 8, 8, 4}},
    {1.0, {5, 6, 8, 10}, {12, 12, 8, 8, 4}},
    {largest_source, {5, 7, 11, 16}, {16, 12, 8, 8, 4}},
}};
static_assert(most_nodes <= chord_formula::most_groups * disk_lanes);

// A chord's rule: Gauss's rule with n nodes converges like rho_B^(-2n), rho_B = a + sqrt(a^2 - 1)
// the largest ellipse with foci at the chord's ends that leaves out the branch points +-2i, a its
// semi-major axis in units of h. With p pairs of nodes a chord takes the fewest that have
// rho_B^p >= exp(chord_exponent), i.e. a >= cosh(chord_exponent / p): enough for the value and
// its slopes to keep their last digits, from the chord through the lens of the largest source
// (p = most_pairs, a = sqrt(2)) to the short ones near the tangents (p = 1).
constexpr double chord_exponent = 8.0;
struct Tables {
    std::array<ChordRule, most_pairs + 1> chord;
    std::array<double, most_pairs + 1> least_axis2; // cosh^2(chord_exponent / p)
    std::array<Midpoints, most_inside + 1> midpoints;
    std::array<HalfRule, half_rules> halves;
};

const Tables& tables() {
    static const Tables made = [] {
        Tables t{};
        for (int p = 1; p <= most_pairs; ++p) {
            t.chord[p] = chord_rule(p);
            const double c = std::cosh(chord_exponent / p);
            t.least_axis2[p] = c * c;
        }
        t.midpoints = midpoint_tables();
        t.halves = {half_of(numerics::gauss_legendre_8), half_of(numerics::gauss_legendre_16),
                    half_of(numerics::gauss_legendre_24), half_of(numerics::gauss_legendre_32)};
        return t;
    }();
    return made;
}

// a^2 for a chord of midpoint s and half-length^2 h2, or a lower bound. The branch point
// 2i = s + h (x + iy) in the chord's units lies on the ellipse of semi-major axis a with
// x^2 / a^2 + y^2 / (a^2 - 1) = 1, so a^2 >= x^2 and a^2 >= 1 + y^2: a^2 >= max(s^2, h^2 + 4)
// / h^2, a bound without a root that is exact for the chord through the lens.
double axis2(double s, double h2) {
    const double b = h2 + 4;
    const double s2 = s * s;
    return (s2 > b ? s2 : b) / h2;
}

// The fewest pairs whose rule serves every chord whose a^2 is at least `least`.
int pairs_for(double least, const Tables& made) {
    int p = 1;
    while (p < most_pairs && least < made.least_axis2[p]) ++p;
    return p;
}

// n nodes rounded up to whole sets of lanes.
constexpr int whole_sets(int n) { return (n + disk_lanes - 1) / disk_lanes * disk_lanes; }

template <std::size_t N> std::size_t band_of(double z, const std::array<double, N>& bands) {
    std::size_t b = 0;
    while (b + 1 < N && z > bands[b]) ++b;
    return b;
}

void sin_cos_lanes(const double* x, double* s, double* c, int count, bool avx2) {
    if (avx2)
        lanes::avx2::sin_cos(x, s, c, count);
    else
        lanes::portable::sin_cos(x, s, c, count);
}

template <bool WithGradient>
void chord_lanes(double u, const double* s, const double* h2, const double* c, const double* n,
                 const ChordRule& rule, double* value, double* du, double* drho, bool avx2) {
    if (avx2)
        lanes::avx2::chords<WithGradient>(u, s, h2, c, n, rule.t.data(), rule.w.data(), rule.pairs,
                                          value, du, drho);
    else
        lanes::portable::chords<WithGradient>(u, s, h2, c, n, rule.t.data(), rule.w.data(),
                                              rule.pairs, value, du, drho);
}

} // namespace

template <bool WithGradient> DiskValue mu_disk(double u, double rho) {
    return mu_disk_on<WithGradient>(u, rho, lanes::vectorised());
}

template <bool WithGradient> DiskValue mu_disk_on(double u, double rho, bool avx2) {
    const Tables& made = tables();
    std::size_t tier = 0;
    while (tier + 1 < tiers.size() && rho > tiers[tier].rho_max) ++tier;
    const double z = u / rho;

    // The nodes in phi: cos, sin and weight, the last set of lanes filled out with the chord
    // along the line of centres (its sums are not used); the half rules outside fill their sets.
    static_assert(whole_sets(most_inside) <= most_nodes);
    double cos_phi[most_nodes];
    double sin_phi[most_nodes];
    double weight[most_nodes];
    int count = 0;
    if (z <= 1) {
        count = tiers[tier].inside[band_of(z, inside_bands)];
        const Midpoints& m = made.midpoints[count];
        const double each = half_pi / count;
        for (int j = 0; j < count; ++j) {
            cos_phi[j] = m.cos[j];
            sin_phi[j] = m.sin[j];
            weight[j] = each;
        }
    } else {
        count = tiers[tier].outside[band_of(z, outside_bands)];
        const HalfRule& half = made.halves[count / disk_lanes - 1];
        const double end = std::asin(rho / u);
        double angle[most_nodes];
        for (int j = 0; j < count; ++j) {
            angle[j] = end * half.x[j];
            weight[j] = end * half.w[j];
        }
        sin_cos_lanes(angle, sin_phi, cos_phi, count, avx2);
    }
    for (int j = count; j < whole_sets(count); ++j) {
        cos_phi[j] = 1.0;
        sin_phi[j] = 0.0;
    }

    // The chords: midpoint s = u cos and half-length^2 h2, positive at every node (the nodes stay
    // inside the angle where the chords meet the disk), in a form that keeps its relative
    // precision for the short chords.
    double s[most_nodes];
    double h2[most_nodes];
    for (int j = 0; j < whole_sets(count); ++j) {
        const double across = u * sin_phi[j];
        s[j] = u * cos_phi[j];
        h2[j] = (rho - across) * (rho + across);
    }
    double value[most_nodes];
    double du[most_nodes];
    double drho[most_nodes];
    for (int first = 0; first < count; first += disk_lanes) {
        double least = HUGE_VAL;
        for (int j = first; j < first + disk_lanes && j < count; ++j) {
            const double a2 = axis2(s[j], h2[j]);
            least = a2 < least ? a2 : least;
        }
        chord_lanes<WithGradient>(u, s + first, h2 + first, cos_phi + first, sin_phi + first,
                                  made.chord[pairs_for(least, made)], value + first, du + first,
                                  drho + first, avx2);
    }

    // The integral over [0, Phi] is half that over the chords at every angle; the mean over the
    // disk divides by pi rho^2, and mu carries 1 / rho. At Phi (a lens outside) h^2 J vanishes,
    // so the moving end adds nothing to the slopes.
    const double scale = 1 / (half_pi * (rho * (rho * rho)));
    double a = 0.0;
    for (int j = 0; j < count; ++j) a += weight[j] * value[j];
    a *= scale;
    if constexpr (!WithGradient) {
        return DiskValue{.a = a, .da_du = 0.0, .da_dradius = 0.0};
    } else {
        double sum_u = 0.0;
        double sum_rho = 0.0;
        for (int j = 0; j < count; ++j) {
            sum_u += weight[j] * du[j];
            sum_rho += weight[j] * drho[j];
        }
        return DiskValue{
            .a = a, .da_du = sum_u * scale, .da_dradius = (sum_rho * rho) * scale - 3 * a / rho};
    }
}

template DiskValue mu_disk<false>(double, double);
template DiskValue mu_disk<true>(double, double);
template DiskValue mu_disk_on<false>(double, double, bool);
template DiskValue mu_disk_on<true>(double, double, bool);

} // namespace lumagnis::models::fspl::chord
