#include "models/fspl.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "models/fspl_chord.hpp"
#include "models/fspl_rules.hpp"
#include "numerics/gauss_legendre_nodes.hpp"
#include "numerics/log_gauss_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

using numerics::GaussNode;
using rules::graded_last;
using rules::graded_ratio;
using rules::large_source;
using rules::limb_panel;
using rules::near_singularity;
using rules::steep_end;
using rules::steep_panels;
using rules::steep_rule;
using rules::table_centre;
using rules::table_graded;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Gauss-Legendre rules on [0, 1], plain or with the nodes drawn towards the ends that need
// them. The radial integrand has a kink, (r - u/rho) log|r - u/rho|, where the ring through the
// lens meets the end of a piece; for a lens just outside the source the same singularity sits
// just off the limb end; and a power law with a fractional exponent is not smooth at the limb.
// Drawn out towards such an end (x = t^4, or t^4 (35 - 84 t + 70 t^2 - 20 t^3) for both ends
// at once, each with its first three derivatives zero there) the integrand is smooth enough
// for the rule to reach the last digits with a few nodes, while an end where nothing happens
// keeps the plain rule's spacing, which a smooth integrand uses best. A fixed rule, not an
// adaptive one, so that the error changes smoothly along a light curve.
enum class Crowd { none, left, right, both };

template <std::size_t N>
constexpr std::array<GaussNode, N> crowded(const std::array<GaussNode, N>& rule, Crowd end) {
    std::array<GaussNode, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        const double x = rule[i].x;
        double y = x;
        double dy = 1;
        if (end == Crowd::both) {
            const double x3 = x * x * x;
            const double w3 = (1 - x) * (1 - x) * (1 - x);
            y = (x3 * x) * (35 + x * (-84 + x * (70 - 20 * x)));
            dy = 140 * (x3 * w3);
        } else if (end != Crowd::none) {
            const double t = end == Crowd::left ? x : 1 - x;
            const double t3 = t * t * t;
            y = end == Crowd::left ? t3 * t : 1 - t3 * t;
            dy = 4 * t3;
        }
        out[i] = GaussNode{.x = y, .w = rule[i].w * dy};
    }
    return out;
}

template <std::size_t N> using Rules = std::array<std::array<GaussNode, N>, 4>;

template <std::size_t N> constexpr Rules<N> crowdings(const std::array<GaussNode, N>& rule) {
    return {crowded(rule, Crowd::none), crowded(rule, Crowd::left), crowded(rule, Crowd::right),
            crowded(rule, Crowd::both)};
}

// Three lengths: 24 nodes; 32 for a law with a rough limb, where the slopes' integrands add a
// logarithm at the kink to the fractional power at the limb; 64 for a large source, which
// brings the singularities of A_U(u, rho r) at r = z +- 2i / rho, where the distance to the
// lens is 2i, within 2 / rho of the kink or the limb.
constexpr Rules<24> rules_24 = crowdings(numerics::gauss_legendre_24);
constexpr Rules<32> rules_32 = crowdings(numerics::gauss_legendre_32);
constexpr Rules<64> rules_64 = crowdings(numerics::gauss_legendre_64);
enum class Length { normal, rough_limb, large };

// The rule in psi for a lens at z = u / rho, or an empty one below the last band, where the
// singularity nears the limb end and the variable t with its graded panels takes over.
std::span<const GaussNode> outside_rule(double z, double gamma) {
    if (gamma == 1.0) {
        const int band = rules::outside_band(z, rules::outside_mu);
        return band < 0 ? std::span<const GaussNode>{} : rules::outside_mu[band].rule;
    }
    const int band = rules::outside_band(z, rules::outside_root_mu);
    return band < 0 ? std::span<const GaussNode>{} : rules::outside_root_mu[band].rule;
}

// psi^k for the small whole exponents of the psi rule.
double whole_power(double psi, double k) {
    double p = 1.0;
    for (int i = 0; i < static_cast<int>(k); ++i) p *= psi;
    return p;
}

std::span<const GaussNode> rule_for(bool left, bool right, Length length) {
    const auto crowd = static_cast<std::size_t>(left && right ? Crowd::both
                                                : left        ? Crowd::left
                                                : right       ? Crowd::right
                                                              : Crowd::none);
    if (length == Length::large) return rules_64[crowd];
    if (length == Length::rough_limb) return rules_32[crowd];
    return rules_24[crowd];
}

// A lens inside the source, for a law in whole powers of mu, neither large nor peaked: on each
// side of the kink the integrand and its slopes are g(x) + h(x) ln x in the distance x to it,
// g and h analytic, so the rules exact for x^k and x^k ln x integrate them with fewer nodes
// than a crowded Gauss-Legendre rule, which only flattens the logarithm. What limits them is
// the nearest other singularity: r = -z, at t = 1 / t_kink just beyond the centre end, for a
// lens near the centre (below inside_log_rules the crowded rules stay); t = -t_kink, for a lens
// near the limb. The longer piece takes 16 nodes and the shorter 12 (the piece towards the
// centre is the longer from inside_long_centre on), and the graded panels beyond a kink near
// the limb take 16 plain ones: the value stays within ~2e-14 and the slopes within ~1e-13 of
// the converged integral. A law in sqrt(mu), integrated in psi = sqrt(t), has the kink's
// mirror -t_kink at +-i psi_kink, nearer than in t: the piece on the limb side takes 20 nodes
// below inside_long_centre and 16 from it, the kink's graded panel 20, the centre side as
// above (~5e-14 in the value, ~3e-13 in the slopes). (A fractional exponent keeps the crowded
// rules.)
template <std::size_t N>
constexpr std::array<GaussNode, N> mirrored(const std::array<GaussNode, N>& rule) {
    std::array<GaussNode, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = GaussNode{.x = 1 - rule[N - 1 - i].x, .w = rule[N - 1 - i].w};
    return out;
}
constexpr auto log_gauss_12_right = mirrored(numerics::log_gauss_12);
constexpr auto log_gauss_16_right = mirrored(numerics::log_gauss_16);
constexpr auto log_gauss_20_right = mirrored(numerics::log_gauss_20);
constexpr double inside_log_rules = 0.3;
constexpr double inside_long_centre = 0.7;

// More than the panels any t_k >= 1e-20 needs; only a bound for the loop.
constexpr int max_graded_panels = 40;

// Below this u / rho, dA/du of a law in mu comes from its values there and at twice it.
constexpr double centre_ratio = 1e-3;

// x^e, without a library call for the exponents 0 and 1 that the polynomial laws bring.
double power(double x, double e) {
    if (e == 0.0) return 1.0;
    if (e == 1.0) return x;
    return std::pow(x, e);
}

// A mean of the point magnification, which exceeds 1 everywhere, is at least 1. For a source
// of hundreds of Einstein radii seen from outside, A - 1 can be far below the rounding of the
// closed form's terms of order one, which would leave A a few ulps under 1. (NaN stays NaN.)
double at_least_one(double a) { return a < 1.0 ? 1.0 : a; }

// Adds the share of four nodes at radii r (source radii) with weights w (for -I'(r) dr):
// w r^2 A_U(u, rho r) to the value and the matching terms to the slopes, the four uniform
// disks evaluated side by side. With `far_lanes`, a disk far inside the lens's distance takes
// the far-field series, whose error does not grow with u / R as the closed form's does.
// Other integrands over the same nodes, for the derivatives in the coefficients: count
// weights per node, whose shares w r^2 A_U(u, rho r) go to sum[0 .. count).
struct Shares {
    int count;
    const double (*weight)[disk_lanes];
    double* sum;
};

// A node's share w r^2 A_U(u, rho r) of the value, and the matching terms of the slopes.
template <bool WithGradient>
void add_share(double w, double r, const DiskLanes& disk, int i, Gradient& sum) {
    // A node at the centre, or so close to it that its share underflows, adds nothing; the
    // disk there may be 0 / 0.
    if (w == 0.0) return;
    sum.a += w * disk.a[i];
    // A node that lands on the ring through the lens itself (r = z to the last bit) has
    // infinite slopes there; its share of the integrable logarithm is nil.
    if constexpr (WithGradient) {
        if (!std::isfinite(disk.da_du[i])) return;
        sum.da_du += w * disk.da_du[i];
        sum.da_drho += (w * r) * disk.da_dradius[i];
    }
}

// The shares of four nodes whose disks are `disk` (radius rho r): with `far_lanes`, a disk far
// inside the lens's distance takes the far-field series, whose error does not grow with u / R as
// the closed form's does.
template <bool WithGradient>
void add_disk_shares(double u, const double* r, const double* radius, const double* weight,
                     DiskLanes& disk, Gradient& sum, bool far_lanes, const Shares* shares) {
    if (far_lanes) {
        for (int i = 0; i < disk_lanes; ++i) {
            if (!far_for_values(u, radius[i])) continue;
            const DiskValue far = far_field<WithGradient>(u, radius[i], uniform_moments());
            disk.a[i] = far.a;
            disk.da_du[i] = far.da_du;
            disk.da_dradius[i] = far.da_dradius;
        }
    }
    for (int i = 0; i < disk_lanes; ++i)
        add_share<WithGradient>(weight[i] * (r[i] * r[i]), r[i], disk, i, sum);
    if (shares == nullptr) return;
    for (int j = 0; j < shares->count; ++j) {
        for (int i = 0; i < disk_lanes; ++i) {
            const double w = shares->weight[j][i] * (r[i] * r[i]);
            if (w != 0.0) shares->sum[j] += w * disk.a[i];
        }
    }
}

// With `rim_lanes`, every disk whose closed-form slopes are poor (the lens near its centre,
// among others) takes the rim integrals' slopes, not only those of a large source.
template <bool WithGradient>
void add_nodes(double u, double rho, const double* r, const double* weight, Gradient& sum,
               bool far_lanes = false, bool rim_lanes = false, const Shares* shares = nullptr) {
    double radius[disk_lanes];
    for (int i = 0; i < disk_lanes; ++i) radius[i] = rho * r[i];
    DiskLanes disk =
        uniform_disk_closed_lanes<WithGradient>(u, radius, rho > large_source || rim_lanes);
    add_disk_shares<WithGradient>(u, r, radius, weight, disk, sum, far_lanes, shares);
}

// add_nodes for eight nodes, the two fours' disks side by side: the same bits, added in the
// same order, as two calls.
template <bool WithGradient>
void add_two_nodes(double u, double rho, const double* r, const double* weight, Gradient& sum) {
    double radius[2 * disk_lanes];
    for (int i = 0; i < 2 * disk_lanes; ++i) radius[i] = rho * r[i];
    DiskLanes disk[2];
    uniform_disk_closed_fours<WithGradient>(u, radius, 2, rho > large_source, disk);
    for (int g = 0; g < 2; ++g) {
        const int at = g * disk_lanes;
        add_disk_shares<WithGradient>(u, r + at, radius + at, weight + at, disk[g], sum, false,
                                      nullptr);
    }
}

// How many of a rule's nodes from `first` on go to the disks at once: eight (add_two_nodes)
// where the basis is not asked for and the rule has them; else four.
int nodes_at_once(std::size_t first, std::size_t size, bool with_basis) {
    return (with_basis ? 1 : fours_at_once(first, size)) * disk_lanes;
}

// A law's nodes, with the basis terms' shares where the derivatives in the coefficients are
// asked for (basis_sum not null).
template <bool WithGradient>
void add_law_nodes(double u, double rho, const double* r, const double* weight, Gradient& sum,
                   const double (*basis_weight)[disk_lanes], std::size_t basis_count,
                   double* basis_sum) {
    if (basis_sum == nullptr) {
        add_nodes<WithGradient>(u, rho, r, weight, sum);
        return;
    }
    const Shares shares{
        .count = static_cast<int>(basis_count), .weight = basis_weight, .sum = basis_sum};
    add_nodes<WithGradient>(u, rho, r, weight, sum, false, false, &shares);
}

// A table's nodes: their shares with the slope's weights, and with the basis sums their shares
// of the integral of r^2 A_U over the current segment (`segment_weight`, without the slope).
// A flat segment adds nothing to the value, only to its samples' derivatives.
template <bool WithGradient>
void add_table_nodes(double u, double rho, const double* r, const double* weight,
                     const double (*segment_weight)[disk_lanes], bool flat, double* segment,
                     Gradient& sum, bool far_lanes, bool rim_lanes) {
    if (segment == nullptr) {
        add_nodes<WithGradient>(u, rho, r, weight, sum, far_lanes, rim_lanes);
        return;
    }
    const Shares shares{.count = 1, .weight = segment_weight, .sum = segment};
    if (flat) {
        Gradient unused{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
        add_nodes<false>(u, rho, r, weight, unused, far_lanes, rim_lanes, &shares);
    } else {
        add_nodes<WithGradient>(u, rho, r, weight, sum, far_lanes, rim_lanes, &shares);
    }
}

// add_nodes for a single term's rule in mu (add_single_term), with the shares of mu^alpha,
// sum of w f, in term[0], and of mu^alpha ln(mu), sum of dw f + w dx f', in term[1], where
// f(mu) = r^2 A_U(u, rho r) and f'(mu) = -mu (2 A_U + rho r dA_U/dR): the disks' slopes are
// formed whether or not the value's are asked for (their value is the same to the bit).
template <bool WithGradient>
void add_exponent_nodes(double u, double rho, const double* r, const double* weight,
                        const GaussNode* node, const numerics::GaussSlope* slope, Gradient& sum,
                        double* term) {
    double radius[disk_lanes];
    for (int i = 0; i < disk_lanes; ++i) radius[i] = rho * r[i];
    const DiskLanes disk = uniform_disk_closed_lanes<true>(u, radius, rho > large_source);
    for (int i = 0; i < disk_lanes; ++i) {
        const double f = (r[i] * r[i]) * disk.a[i];
        const double df = -node[i].x * (2 * disk.a[i] + radius[i] * disk.da_dradius[i]);
        term[0] += node[i].w * f;
        term[1] += slope[i].dw * f + (node[i].w * slope[i].dx) * df;
        add_share<WithGradient>(weight[i] * (r[i] * r[i]), r[i], disk, i, sum);
    }
}

} // namespace

// Integrated by parts over the radius, the brightness-weighted mean is
//   A = (I(1) A_U(u, rho) - integral of I'(r) r^2 A_U(u, rho r) dr) / norm,
// with A_U the uniform disk: r^2 A_U(u, rho r) is the flux inside radius r, continuous where
// the ring through the lens has a logarithmic peak, so the integrand is bounded and its
// derivatives in u and rho stay integrable.
//
// For the analytic laws the variable is t = tan(phi / 2), phi = acos(r) the angle from the
// limb: r = (1 - t^2) / (1 + t^2) and mu = 2 t / (1 + t^2) are both analytic in it (in r or in
// mu one of them has a square root at an end) and cost no trigonometric call. With
// t = psi^(1 / gamma), -I'(r) dr = sum c beta mu^(beta - 1) r dphi is bounded at the limb for
// every term: mu^(beta - 1) dt ~ psi^(beta / gamma - 1) dpsi with beta >= gamma.
template <bool WithGradient>
void Source::add_power_law(double u, double rho, Gradient& sum, BasisSums* basis) const {
    const double z = u / rho;
    const double inv_gamma = 1 / gamma_;
    double basis_weight[max_basis][disk_lanes];
    // Where the value takes a rule that does not suit the basis, the nodes below add the
    // basis' shares only, and their value to `unused`.
    Gradient unused{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    Gradient* target = &sum;
    const auto add_piece = [&](double lo, double hi, std::span<const GaussNode> rule) {
        const double length = hi - lo;
        if (!(length > 0)) return;
        for (std::size_t first = 0; first < rule.size();) {
            const int count = nodes_at_once(first, rule.size(), basis != nullptr);
            double weight[2 * disk_lanes];
            double r[2 * disk_lanes];
            for (int i = 0; i < count; ++i) {
                const GaussNode& node = rule[first + i];
                const double psi = lo + length * node.x;
                const double t = gamma_ == 1.0 ? psi : std::pow(psi, inv_gamma);
                const double inv = 1 / (1 + t * t);
                const double shrink = 2 * inv; // mu / t
                double sum_terms = 0;
                for (const PowerTerm& term : terms_)
                    sum_terms += term.scale *
                                 (power(shrink, term.mu_exponent) * power(psi, term.psi_exponent));
                r[i] = (1 - t * t) * inv;
                weight[i] = (length * node.w) * (sum_terms * (r[i] * shrink));
                if (basis != nullptr)
                    basis_weights(psi, t, shrink, (length * node.w) * (r[i] * shrink), i,
                                  basis_weight);
            }
            if (count == 2 * disk_lanes) {
                add_two_nodes<WithGradient>(u, rho, r, weight, *target);
                first += count;
                continue;
            }
            add_law_nodes<WithGradient>(u, rho, r, weight, *target, basis_weight, basis_.size(),
                                        basis == nullptr ? nullptr : basis->term);
            if (basis != nullptr && limb_logarithm_) {
                for (int i = 0; i < disk_lanes; ++i) {
                    const GaussNode& node = rule[first + i];
                    basis->log_error += (length * node.w) * std::log(lo + length * node.x);
                }
            }
            first += count;
        }
        if (basis != nullptr && limb_logarithm_) {
            // The exact integral of ln(psi) over [lo, hi], 0 ln 0 being 0.
            const auto x_log_x = [](double x) { return x > 0 ? x * std::log(x) - x : 0.0; };
            basis->log_error -= x_log_x(hi) - x_log_x(lo);
        }
    };
    const bool rough_limb = rough_limb_;
    const bool large = rho > large_source || peaked_;
    const Length long_rule = large        ? Length::large
                             : rough_limb ? Length::rough_limb
                                          : Length::normal;
    // From t = start (psi_start) to the centre in panels [t, 4 t]: each keeps a singularity
    // at t_k <= start / 2 from the limb (the kink, or the lens just outside at +-i t_k) a fixed
    // fraction of its length away, so that one rule converges in it whatever t_k; a single
    // piece, even drawn towards that end, leaves 1e-8 in the slopes for t_k ~ 1e-2.
    const auto add_graded = [&](double start, double psi_start, bool kink_at_start,
                                std::span<const GaussNode> kink_rule = {},
                                std::span<const GaussNode> plain_rule = {}) {
        double t = start;
        double lo = psi_start;
        for (int panel = 0; panel < max_graded_panels && lo < 1.0; ++panel) {
            const double next = graded_ratio * t;
            const double hi = next >= graded_last ? 1.0 : std::pow(next, gamma_);
            const bool at_kink = kink_at_start && panel == 0;
            const std::span<const GaussNode> own = at_kink ? kink_rule : plain_rule;
            add_piece(lo, hi, own.empty() ? rule_for(at_kink, false, long_rule) : own);
            t = next;
            lo = hi;
        }
    };
    if (z == 0) {
        // The ring through the lens has shrunk to the centre, where r^2 A_U(0, rho r) =
        // r sqrt(rho^2 r^2 + 4) / rho is analytic: no kink.
        // A large source's singularities at r = +-2i / rho lie near the centre end.
        add_piece(0.0, 1.0, rule_for(rough_limb, rho > large_source, long_rule));
    } else if (z < 1) {
        // The kink at r = z, t = sqrt((1 - z) / (1 + z)), splits the range in two.
        const double t_kink = std::sqrt((1 - z) / (1 + z));
        const double kink = std::pow(t_kink, gamma_);
        // (A law in sqrt(mu) may have the rough limb's flag: its whole powers of psi keep the
        // limb analytic, which is all these rules ask.)
        const bool root = gamma_ == 0.5;
        if (whole_powers_ && (root ? !large : long_rule == Length::normal) &&
            z >= inside_log_rules) {
            using Rule = std::span<const GaussNode>;
            const bool long_centre = z >= inside_long_centre;
            const Rule limb_side =
                root ? (long_centre ? Rule(log_gauss_16_right) : Rule(log_gauss_20_right))
                     : (long_centre ? Rule(log_gauss_12_right) : Rule(log_gauss_16_right));
            add_piece(0.0, kink, limb_side);
            if (t_kink < near_singularity)
                add_graded(t_kink, kink, true,
                           root ? Rule(numerics::log_gauss_20) : Rule(numerics::log_gauss_16),
                           numerics::gauss_legendre_16);
            else if (long_centre)
                add_piece(kink, 1.0, numerics::log_gauss_16);
            else
                add_piece(kink, 1.0, numerics::log_gauss_12);
            return;
        }
        add_piece(0.0, kink, rule_for(rough_limb, true, long_rule));
        if (t_kink < near_singularity)
            add_graded(t_kink, kink, true);
        else
            add_piece(kink, 1.0, rule_for(true, false, long_rule));
    } else if (const std::span<const GaussNode> rule =
                   whole_powers_ ? outside_rule(z, gamma_) : std::span<const GaussNode>{};
               !rule.empty()) {
        add_outside<WithGradient>(u, rho, rule, sum, basis);
    } else {
        // A single term mu^alpha outside the source: its own rule in mu for the value, and for
        // the basis where it is that term and its derivative in alpha (Power2's); any other
        // basis keeps the rules in t.
        if (const int band = single_term_band(z); band >= 0) {
            const bool exponent = basis != nullptr && exponent_basis();
            add_single_term<WithGradient>(u, rho, band, sum, exponent ? basis : nullptr);
            if (basis == nullptr || exponent) return;
            target = &unused;
        }
        const double t_lens = std::sqrt((z - 1) / (z + 1));
        if (t_lens > 0 && t_lens < near_singularity) {
            const double start = 2 * t_lens;
            const double psi_start = std::pow(start, gamma_);
            add_piece(0.0, psi_start, rule_for(rough_limb, false, long_rule));
            add_graded(start, psi_start, false);
        } else if (t_lens == 0) {
            // On the limb itself the singularity sits at the limb end: a first panel drawn
            // towards it, then the graded ones.
            const double psi_start = std::pow(limb_panel, gamma_);
            add_piece(0.0, psi_start, rule_for(true, false, long_rule));
            add_graded(limb_panel, psi_start, false);
        } else {
            add_piece(0.0, 1.0, rule_for(rough_limb, false, long_rule));
        }
    }
}

// A lens outside the source, a law in whole powers of psi = mu^gamma (whole_powers_): one plain
// rule in psi (outside_rule), with r^2 = (1 - mu)(1 + mu), which keeps its precision at the
// limb. A term's share of -I'(r) dr is c beta mu^(beta - 1) dmu = scale psi^psi_exponent dpsi,
// and a basis term's likewise with its own scale and exponent.
template <bool WithGradient>
void Source::add_outside(double u, double rho, std::span<const GaussNode> rule, Gradient& sum,
                         BasisSums* basis) const {
    double basis_weight[max_basis][disk_lanes];
    for (std::size_t first = 0; first < rule.size();) {
        const int count = nodes_at_once(first, rule.size(), basis != nullptr);
        double weight[2 * disk_lanes];
        double r[2 * disk_lanes];
        for (int i = 0; i < count; ++i) {
            const GaussNode& node = rule[first + i];
            const double psi = node.x;
            const double mu = gamma_ == 1.0 ? psi : psi * psi;
            r[i] = std::sqrt((1 - mu) * (1 + mu));
            double sum_terms = 0;
            for (const PowerTerm& term : terms_)
                sum_terms += term.scale * whole_power(psi, term.psi_exponent);
            weight[i] = node.w * sum_terms;
            if (basis == nullptr) continue;
            for (std::size_t j = 0; j < basis_.size(); ++j) {
                const BasisTerm& b = basis_[j];
                basis_weight[j][i] = node.w * (b.scale * whole_power(psi, b.psi_exponent));
            }
        }
        if (count == 2 * disk_lanes)
            add_two_nodes<WithGradient>(u, rho, r, weight, sum);
        else
            add_law_nodes<WithGradient>(u, rho, r, weight, sum, basis_weight, basis_.size(),
                                        basis == nullptr ? nullptr : basis->term);
        first += count;
    }
}

int Source::single_term_band(double z) const {
    if (terms_.empty() || single_term_rules_[0].empty()) return -1;
    return rules::outside_band(z, rules::outside_mu);
}

bool Source::exponent_basis() const {
    return basis_.size() == 2 && !basis_[0].logarithm && basis_[1].logarithm &&
           basis_[0].beta == terms_[0].beta && basis_[1].beta == terms_[0].beta;
}

// A lens outside the source, a law c mu^alpha + constant (single_term_rules_): with the rule
// of the weight alpha mu^(alpha - 1) in mu, the term's share of -I'(r) dr is c times the node's
// weight. With `basis`, the basis terms' shares ride on the same disks: mu^alpha's is the
// node's weight, and that of mu^alpha ln(mu), whose -b'(r) dr = d(alpha mu^(alpha - 1) dmu) /
// dalpha, the derivative of the rule's sum in alpha (single_term_slopes_).
template <bool WithGradient>
void Source::add_single_term(double u, double rho, int band, Gradient& sum,
                             BasisSums* basis) const {
    const std::vector<GaussNode>& rule = single_term_rules_[band];
    const double c = terms_[0].c_beta / terms_[0].beta;
    for (std::size_t first = 0; first < rule.size();) {
        const int count = nodes_at_once(first, rule.size(), basis != nullptr);
        double weight[2 * disk_lanes];
        double r[2 * disk_lanes];
        for (int i = 0; i < count; ++i) {
            const GaussNode& node = rule[first + i];
            r[i] = std::sqrt((1 - node.x) * (1 + node.x));
            weight[i] = c * node.w;
        }
        if (count == 2 * disk_lanes)
            add_two_nodes<WithGradient>(u, rho, r, weight, sum);
        else if (basis == nullptr)
            add_nodes<WithGradient>(u, rho, r, weight, sum);
        else
            add_exponent_nodes<WithGradient>(u, rho, r, weight, &rule[first],
                                             &single_term_slopes_[band][first], sum, basis->term);
        first += count;
    }
}

// A law with a steep limb, mu^beta with beta < steep_gamma, draws nearly all of its -I'(r) dr
// to the limb: in psi = t^gamma the interior would shrink to the last few hundredths of the
// range. The variable is v = -ln t instead, in which the share of each term is
// c beta mu^beta r dv: smooth, and falling like e^(-beta v) towards the limb, while the
// disk's own features (the poles of r(t) at t = +-i, a lens just outside the limb) lie pi / 2
// off the real axis and fade like e^(-v). Panels that lengthen with v follow that; beyond the
// last, the share goes to the limb disk (limb_weight_). A lens outside the source in a band of
// the single term's rule in mu takes that rule instead, whose weight alpha mu^(alpha - 1)
// carries the limb however steep, all the way to it.
template <bool WithGradient>
void Source::add_steep_limb(double u, double rho, Gradient& sum, BasisSums* basis) const {
    const double z = u / rho;
    const bool large = rho > large_source;
    Gradient unused{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    Gradient* target = &sum;
    if (const int band = single_term_band(z); band >= 0) {
        const bool exponent = basis != nullptr && exponent_basis();
        add_single_term<WithGradient>(u, rho, band, sum, exponent ? basis : nullptr);
        if (basis == nullptr || exponent) return;
        target = &unused;
    }
    // The basis functions' shares, b = mu^beta: beta mu^beta r dv; b = mu^beta ln mu:
    // mu^beta (1 + beta ln mu) r dv. Beyond the last panel their share is b(2 e^-steep_end),
    // taken by the limb disk.
    double basis_weight[max_basis][disk_lanes];
    if (basis != nullptr) {
        const double mu_end = 2 * std::exp(-steep_end);
        for (std::size_t j = 0; j < basis_.size(); ++j) {
            const BasisTerm& b = basis_[j];
            const double tail = std::pow(mu_end, b.beta) * (b.logarithm ? std::log(mu_end) : 1.0);
            basis->term[j] += tail * basis->uniform;
        }
    }
    const auto add_panel = [&](double lo, double hi, std::span<const GaussNode> rule) {
        const double length = hi - lo;
        if (!(length > 0)) return;
        for (std::size_t first = 0; first < rule.size();) {
            const int count = nodes_at_once(first, rule.size(), basis != nullptr);
            double weight[2 * disk_lanes];
            double r[2 * disk_lanes];
            for (int i = 0; i < count; ++i) {
                const GaussNode& node = rule[first + i];
                // With t = e^-v: r = (1 - t^2) / (1 + t^2) = tanh(v) and mu = 1 / cosh(v), which
                // keep their relative precision at the centre, where 1 - t^2 would not.
                const double v = lo + length * node.x;
                const double mu = 1 / std::cosh(v);
                double sum_terms = 0;
                for (const PowerTerm& term : terms_)
                    sum_terms += term.c_beta * std::pow(mu, term.beta);
                r[i] = std::tanh(v);
                weight[i] = (length * node.w) * (sum_terms * r[i]);
                if (basis == nullptr) continue;
                for (std::size_t j = 0; j < basis_.size(); ++j) {
                    const BasisTerm& b = basis_[j];
                    const double share = b.logarithm ? 1 - b.beta * std::log(std::cosh(v)) : b.beta;
                    basis_weight[j][i] =
                        ((length * node.w) * r[i]) * (std::pow(mu, b.beta) * share);
                }
            }
            if (count == 2 * disk_lanes)
                add_two_nodes<WithGradient>(u, rho, r, weight, *target);
            else
                add_law_nodes<WithGradient>(u, rho, r, weight, *target, basis_weight, basis_.size(),
                                            basis == nullptr ? nullptr : basis->term);
            first += count;
        }
    };
    // The kink at r = z: t^2 = (1 - z) / (1 + z), v = -log1p(-2 z / (1 + z)) / 2.
    const double kink = z > 0 && z < 1 ? -0.5 * std::log1p(-2 * z / (1 + z)) : HUGE_VAL;
    const Length crowded_length = large ? Length::large : Length::rough_limb;
    const std::span<const GaussNode> plain =
        large ? std::span<const GaussNode>(rules_64[0]) : std::span<const GaussNode>(steep_rule);
    for (std::size_t j = 0; j + 1 < steep_panels.size(); ++j) {
        const double lo = steep_panels[j];
        const double hi = steep_panels[j + 1];
        if (lo < kink && kink < hi) {
            add_panel(lo, kink, rule_for(false, true, crowded_length));
            add_panel(kink, hi, rule_for(true, false, crowded_length));
        } else if (lo == kink || hi == kink) {
            add_panel(lo, hi, rule_for(lo == kink, hi == kink, crowded_length));
        } else {
            add_panel(lo, hi, plain);
        }
    }
}

// The tabulated intensity is linear in r between samples: -I'(r) is constant on each
// segment, and the segment holding the kink is split there.
template <bool WithGradient>
void Source::add_tabulated(double u, double rho, Gradient& sum, BasisSums* basis) const {
    const double z = u / rho;
    const Length tabulated_length = rho > large_source ? Length::large : Length::normal;
    // A table whose intensity has a slope at r = 0 gives the rings far inside the lens's
    // distance, whose closed-form dA/du keeps only an absolute precision, a share that the
    // factor r of a law in mu would suppress: 3e-6 of dA/du at u = 1e-5 rho. Near the centre
    // their slopes come from the rim integrals.
    const bool centre = z < table_centre;
    // -I'(r) dr over a part [lo, hi] of a segment whose intensity falls by `drop` over its
    // length: drop times the part's fraction of the segment, so that no slope is formed (it
    // overflows for a segment a subnormal step wide).
    // With the basis sums, the integral of r^2 A_U over each segment: the value's weight
    // without the drop, in r.
    double segment_weight[1][disk_lanes];
    std::size_t segment = 0;
    const auto add_piece = [&](double lo, double hi, double drop, double fraction,
                               std::span<const GaussNode> rule) {
        const double length = hi - lo;
        if (!(length > 0)) return;
        for (std::size_t first = 0; first < rule.size(); first += disk_lanes) {
            double weight[disk_lanes];
            double r[disk_lanes];
            for (int i = 0; i < disk_lanes; ++i) {
                r[i] = lo + length * rule[first + i].x;
                weight[i] = (fraction * rule[first + i].w) * drop;
                segment_weight[0][i] = length * rule[first + i].w;
            }
            add_table_nodes<WithGradient>(u, rho, r, weight, segment_weight, drop == 0.0,
                                          basis == nullptr ? nullptr : &basis->segment[segment],
                                          sum, concentrated_, centre);
        }
    };
    for (std::size_t k = 0; k < table_step_.size(); ++k) {
        const double drop = -table_step_[k];
        segment = k;
        if (drop == 0.0 && basis == nullptr) continue;
        const double lo = table_r_[k];
        const double hi = table_r_[k + 1];
        const double length = hi - lo;
        if (lo < z && z < hi) {
            const double inner = (z - lo) / length;
            add_piece(lo, z, drop, inner, rule_for(false, true, tabulated_length));
            if (hi - z > table_graded * z) {
                // The rings about a lens near the centre change on the scale z itself, which a
                // single piece out to hi, drawn towards z, resolves in the value but not in
                // dA/du (3e-6 off at z = 1e-5): panels [z, 2 z], [2 z, 8 z], ... instead.
                double near = z;
                for (int panel = 0; panel < max_graded_panels && near < hi; ++panel) {
                    const double far =
                        panel + 1 == max_graded_panels
                            ? hi
                            : std::fmin(hi, panel == 0 ? 2 * z : graded_ratio * near);
                    add_piece(near, far, drop, (far - near) / length,
                              rule_for(panel == 0, false, tabulated_length));
                    near = far;
                }
            } else {
                add_piece(z, hi, drop, (hi - z) / length, rule_for(true, false, tabulated_length));
            }
        } else {
            // The kink beyond an end, but near it (within a segment's length), draws that end
            // out; at r = 0 it is no kink (r^2 A_U is analytic there for u = 0).
            const bool left = z <= lo && lo - z < length && z > 0;
            const bool right = z >= hi && z - hi < length;
            const double gap = left ? lo - z : z - hi;
            if ((left || right) && gap > 0 && gap * table_graded < length) {
                // Much closer than that, panels from that end, [d, 4 d], [4 d, 16 d], ... of
                // the distance d to the kink, keep it a fixed fraction of each panel's length
                // away (as add_graded does in t).
                double near = 0;
                for (int panel = 0; panel < max_graded_panels && near < length; ++panel) {
                    const double far =
                        panel + 1 == max_graded_panels
                            ? length
                            : std::fmin(length, (near == 0 ? gap : near) * graded_ratio);
                    const double a = left ? lo + near : hi - far;
                    const double b = left ? lo + far : hi - near;
                    add_piece(a, b, drop, (far - near) / length,
                              rule_for(false, false, tabulated_length));
                    near = far;
                }
            } else {
                add_piece(lo, hi, drop, 1.0, rule_for(left, right, tabulated_length));
            }
        }
    }
}

// A table: by its rule fixed per source where one serves the separation, else through the
// integral read at every sample, and for a table unfit for either by its segments' rules. The
// derivatives in the samples take the segments' integrals, from the same nodes as the value.
template <bool WithGradient>
void Source::add_table(double u, double rho, Gradient& sum, BasisSums* basis) const {
    Gradient fixed = sum;
    double* segment = basis == nullptr ? nullptr : basis->segment;
    if (!add_table_rule<WithGradient>(u, rho, fixed, segment) &&
        !add_table_reads<WithGradient>(u, rho, fixed, segment)) {
        if (kind_ == Kind::mu_table)
            add_mu_table<WithGradient>(u, rho, sum, basis);
        else
            add_tabulated<WithGradient>(u, rho, sum, basis);
        return;
    }
    sum = fixed;
}

// The term c mu: c F[mu], F[mu] the integral of -mu'(r) r^2 A_U(u, rho r) dr, the mean of
// mu A_ps over the disk. A basis of mu alone rides on it; any other takes the radial rules.
template <bool WithGradient>
void Source::add_chord(double u, double rho, Gradient& sum, BasisSums* basis) const {
    const DiskValue mu = chord::mu_disk<WithGradient>(u, rho);
    const double c = terms_[0].c_beta;
    sum.a += c * mu.a;
    if constexpr (WithGradient) {
        sum.da_du += c * mu.da_du;
        sum.da_drho += c * mu.da_dradius;
    }
    if (basis == nullptr) return;
    if (basis_.size() == 1 && basis_[0].beta == 1.0 && !basis_[0].logarithm) {
        basis->term[0] += mu.a;
        return;
    }
    Gradient unused{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    add_power_law<false>(u, rho, unused, basis);
}

// The terms of the integral by parts, by the law's kind.
template <bool WithGradient>
void Source::evaluate_terms(double u, double rho, Gradient& sum, BasisSums* basis) const {
    if (steep_limb_)
        add_steep_limb<WithGradient>(u, rho, sum, basis);
    else if (chord_law() && chord::serves(u, rho))
        add_chord<WithGradient>(u, rho, sum, basis);
    else if (kind_ == Kind::power_law)
        add_power_law<WithGradient>(u, rho, sum, basis);
    else
        add_table<WithGradient>(u, rho, sum, basis);
}

// A table in mu is linear in mu between samples: -I'(r) dr = (dI/dmu) dmu is the linear law's
// share on each segment, integrated in t = tan(phi / 2) as the analytic laws are, between the
// samples' t, and split at the kink.
template <bool WithGradient>
void Source::add_mu_table(double u, double rho, Gradient& sum, BasisSums* basis) const {
    const double z = u / rho;
    const Length length_of_rule = rho > large_source ? Length::large : Length::normal;
    // The kink at t = sqrt((1 - z) / (1 + z)) for a lens inside; for one outside, the
    // singularity at the imaginary t = i sqrt((z - 1) / (z + 1)), off the limb end t = 0.
    const double kink = z < 1 ? std::sqrt((1 - z) / (1 + z)) : -std::sqrt((z - 1) / (z + 1));
    double segment_weight[1][disk_lanes];
    std::size_t segment = 0;
    const auto add_piece = [&](double lo, double hi, double slope,
                               std::span<const GaussNode> rule) {
        const double length = hi - lo;
        if (!(length > 0)) return;
        for (std::size_t first = 0; first < rule.size(); first += disk_lanes) {
            double weight[disk_lanes];
            double r[disk_lanes];
            for (int i = 0; i < disk_lanes; ++i) {
                const GaussNode& node = rule[first + i];
                const double t = lo + length * node.x;
                const double inv = 1 / (1 + t * t);
                r[i] = (1 - t * t) * inv;
                segment_weight[0][i] = (length * node.w) * (r[i] * (2 * inv));
                weight[i] = segment_weight[0][i] * slope;
            }
            add_table_nodes<WithGradient>(u, rho, r, weight, segment_weight, slope == 0.0,
                                          basis == nullptr ? nullptr : &basis->segment[segment],
                                          sum, concentrated_, false);
        }
    };
    for (std::size_t k = 0; k < mu_slope_.size(); ++k) {
        const double slope = mu_slope_[k];
        segment = k;
        if (slope == 0.0 && basis == nullptr) continue;
        const double lo = table_r_[k];
        const double hi = table_r_[k + 1];
        const double length = hi - lo;
        if (z > 0 && lo < kink && kink < hi) {
            add_piece(lo, kink, slope, rule_for(false, true, length_of_rule));
            add_piece(kink, hi, slope, rule_for(true, false, length_of_rule));
        } else {
            // The kink (or the singularity off t = 0) within a segment's length of an end draws
            // that end out; at the centre, z = 0, it is no kink.
            const double gap_lo = kink >= 0 ? lo - kink : std::hypot(lo, kink);
            const bool left = z > 0 && gap_lo >= 0 && gap_lo < length;
            const bool right = z > 0 && kink >= hi && kink - hi < length;
            add_piece(lo, hi, slope, rule_for(left, right, length_of_rule));
        }
    }
}

template <bool WithGradient>
Gradient Source::evaluate(double u, double rho, BasisSums* basis) const {
    if (std::isnan(u)) return Gradient{.a = nan, .da_du = nan, .da_drho = nan};
    if (std::isinf(u)) return Gradient{.a = 1.0, .da_du = 0.0, .da_drho = 0.0};
    if (kind_ == Kind::uniform) {
        const DiskValue disk = uniform_disk<WithGradient>(u, rho);
        return Gradient{.a = at_least_one(disk.a),
                        .da_du = u == 0 ? 0.0 : disk.da_du,
                        .da_drho = disk.da_dradius};
    }
    if (far_for_law(u, rho)) {
        // The series' value is the same to the bit with and without its slopes.
        const DiskValue far = far_field<WithGradient>(u, rho, moments_);
        return Gradient{.a = far.a, .da_du = far.da_du, .da_drho = far.da_dradius};
    }
    Gradient sum{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    // A steep limb's share beyond its last panel, but for a lens where the single term's rule,
    // which reaches the limb itself, takes over.
    const double limb_weight =
        steep_limb_ && single_term_band(u / rho) >= 0 ? limb_intensity_ : limb_weight_;
    if (limb_weight != 0.0) {
        const DiskValue disk = uniform_disk<WithGradient>(u, rho);
        sum.a = limb_weight * disk.a;
        sum.da_du = limb_weight * disk.da_du;
        sum.da_drho = limb_weight * disk.da_dradius;
        if (basis != nullptr) basis->uniform = disk.a;
    } else if (basis != nullptr) {
        basis->uniform = uniform_disk<false>(u, rho).a;
    }
    if (kind_ == Kind::power_law && basis != nullptr && basis_pass_ != nullptr) {
        // The value by its own rule, the basis by the pass's.
        evaluate_terms<WithGradient>(u, rho, sum, nullptr);
        Gradient unused{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
        basis_pass_->evaluate_terms<false>(u, rho, unused, basis);
    } else {
        evaluate_terms<WithGradient>(u, rho, sum, basis);
    }
    return Gradient{.a = at_least_one(sum.a / norm_),
                    .da_du = u == 0 ? 0.0 : sum.da_du / norm_,
                    .da_drho = sum.da_drho / norm_};
}

template Gradient Source::evaluate<false>(double, double, BasisSums*) const;
template Gradient Source::evaluate<true>(double, double, BasisSums*) const;

bool Source::tiny(double u, double rho) const {
    return kind_ != Kind::uniform && u < tiny_scale && rho < tiny_scale;
}

double Source::magnification(double u, double rho) const {
    if (tiny(u, rho)) {
        const int shift = tiny_shift(u, rho);
        return std::ldexp(magnification(std::ldexp(u, shift), std::ldexp(rho, shift)), shift);
    }
    return evaluate<false>(u, rho).a;
}

Gradient Source::gradient(double u, double rho) const {
    if (tiny(u, rho)) {
        const int shift = tiny_shift(u, rho);
        const Gradient g = gradient(std::ldexp(u, shift), std::ldexp(rho, shift));
        return Gradient{.a = std::ldexp(g.a, shift),
                        .da_du = std::ldexp(g.da_du, 2 * shift),
                        .da_drho = std::ldexp(g.da_drho, 2 * shift)};
    }
    return near_centre(evaluate<true>(u, rho), u, rho);
}

Gradient Source::near_centre(Gradient g, double u, double rho) const {
    // Closer to the centre than this, the nodes next to the kink are placed to an absolute,
    // not a relative, precision, and dA/du, which vanishes like u, loses its digits (3e-8 at
    // u = 4e-9 rho). For a law in mu, an even and analytic function of the position on the
    // disk, A is even and analytic in u about the centre: dA/du = u (a + b u^2) to within
    // (u / rho)^4 < 1e-12, with a and b from the slopes at the threshold and at twice it,
    // which the curve then passes through. (A table with a slope at r = 0 adds u log u, and
    // keeps its own nodes, placed in r.)
    // In x = u / near the fit's terms stay the size of the slopes themselves: b alone, ~1/rho^5,
    // would overflow for a source below ~1e-62 Einstein radii.
    const double near = centre_ratio * rho;
    if ((kind_ == Kind::power_law || smooth_centre_) && u > 0 && u < near) {
        const double at_near = evaluate<true>(near, rho).da_du;
        const double at_far = evaluate<true>(2 * near, rho).da_du / 2;
        const double x = u / near;
        g.da_du = x * (at_near + (at_far - at_near) / 3 * ((x - 1) * (x + 1)));
    }
    return g;
}

} // namespace lumagnis::models::fspl
