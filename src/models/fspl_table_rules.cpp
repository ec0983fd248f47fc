// A table read through a rule fixed per source. With the lens outside the source the radial
// integrand r^2 A_U(u, rho r) is analytic over the whole disk, and even in r, so it is a smooth
// function F of r^2 (and of mu = sqrt(1 - r^2)): its one singularity, at r = u / rho, lies off
// the range. Interpolated at the nodes of a Gauss-Legendre rule in r^2 (a table in r) or in mu
// (a table in mu), the integral against the table's piecewise constant slopes is a weighted sum
// of F at the nodes, with weights that depend on the table alone: the integral of each node's
// Lagrange polynomial against the slopes, formed once. So each separation costs as many
// uniform disks as the rule has nodes, whatever the number of samples, where the segments' own
// rules cost a rule per segment.

#include <array>
#include <cmath>
#include <span>
#include <vector>

#include "models/fspl.hpp"
#include "models/fspl_rules.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

using numerics::GaussNode;

// The rules by the least u / rho they serve: the interpolant's error falls like the inverse
// of the Bernstein ellipse through the singularity at r^2 = (u / rho)^2, which closes in on
// the range as the lens nears the limb. Each keeps a smooth table's value within ~1e-15 of the
// segments' rules from its threshold on, and a table of random samples within ~1e-12.
// A table whose slopes are of one sign (an intensity that falls, or rises, all the way to the
// limb: every stellar profile) is a positive measure, whose own Gauss rule integrates
// polynomials of twice the degree on the same nodes: `gauss` nodes do what the interpolant's
// twice as many do, within ~1e-15 of the segments' rules from the same thresholds.
struct Tier {
    double z_min;
    std::span<const GaussNode> rule; // the interpolant's nodes
    int gauss;                       // the Gauss rule's
};
// The most nodes of any tier.
constexpr std::size_t max_rule_nodes = 64;
// In r^2 the singularity at z^2 lies far beyond the range (r^2 = 9 at z = 3, where the ellipse
// through it has R = 34; in mu, i sqrt(z^2 - 1) gives R = 11.6): from there 8 nodes in r^2
// keep a random table within ~1e-13, and from 3.5 rho 4 nodes of the Gauss rule a one-signed
// one within ~1e-14.
constexpr std::array<Tier, 8> tiers = {{{3.5, numerics::gauss_legendre_8, 4},
                                        {3.0, numerics::gauss_legendre_8, 8},
                                        {2.0, numerics::gauss_legendre_12, 8},
                                        {1.6, numerics::gauss_legendre_16, 8},
                                        {1.3, numerics::gauss_legendre_24, 12},
                                        {1.15, numerics::gauss_legendre_32, 16},
                                        {1.06, numerics::gauss_legendre_48, 24},
                                        {1.03, numerics::gauss_legendre_64, 32}}};
// From this u / rho on, a table in mu too takes its nodes in r^2 (R = 13.9 at z = 2, against
// 7.3 in mu); nearer the limb the singularity approaches r^2 = 1 like 2 (z - 1), but mu = 0 only
// like sqrt(2 (z - 1)), and mu serves better.
constexpr double nodes_in_square = 2.0;

// Past this total variation of the intensity (scaled to a peak of 1) against the flux, the
// rounding of the weights, each a sum of slopes of both signs, would no longer be small beside
// the result; such a table keeps its segments' rules.
constexpr double max_variation = 1e3;

// The Gauss rule's nodes follow the measure: where its density (in the nodes' variable) falls
// far below its mean, few nodes lie, and the interpolant that the derivatives in the samples
// read there would be off. Below this fraction of the mean anywhere, the table keeps the
// interpolant's own nodes.
constexpr double min_density = 1e-3;

// The Gauss-Legendre rule of n nodes on [0, 1], for the n a segment's share takes.
std::span<const GaussNode> legendre(std::size_t n) {
    switch (n) {
    case 4:
        return numerics::gauss_legendre_4;
    case 8:
        return numerics::gauss_legendre_8;
    case 12:
        return numerics::gauss_legendre_12;
    case 16:
        return numerics::gauss_legendre_16;
    case 24:
        return numerics::gauss_legendre_24;
    case 32:
        return numerics::gauss_legendre_32;
    case 48:
        return numerics::gauss_legendre_48;
    default:
        return numerics::gauss_legendre_64;
    }
}

// The barycentric weights of the nodes x: 1 / prod over j != i of (x_i - x_j).
std::vector<double> barycentric_weights(std::span<const double> x) {
    const std::size_t n = x.size();
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        double product = 1.0;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) product *= x[i] - x[j];
        out[i] = 1 / product;
    }
    return out;
}

// The Lagrange polynomials of the nodes x at the point t, by the barycentric formula (second
// form), which stays accurate however close t comes to a node.
void lagrange(std::span<const double> x, const std::vector<double>& barycentric, double t,
              double* out) {
    const std::size_t n = x.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t - x[i];
        if (d == 0.0) {
            for (std::size_t j = 0; j < n; ++j) out[j] = j == i ? 1.0 : 0.0;
            return;
        }
        out[i] = barycentric[i] / d;
        sum += out[i];
    }
    for (std::size_t i = 0; i < n; ++i) out[i] /= sum;
}

// A table's samples and slopes, as the rules read them.
struct Samples {
    const std::vector<double>& x; // r, or mu, ascending
    bool in_mu;
    // The fall of the intensity over segment k (its slope times its length, in the table's
    // variable: -I'(r) dr, or (dI/dmu) dmu, integrated).
    std::vector<double> drop;
    std::size_t segments() const { return drop.size(); }
    // A point of the table's variable in the nodes' variable: r^2, or mu itself.
    double node_variable(double t, bool square) const {
        if (!square) return t;
        // r^2 at a point in mu: (1 - mu)(1 + mu), exact near the centre.
        return in_mu ? (1 - t) * (1 + t) : t * t;
    }
    // Each point of the n-node rule on each segment: f(k, t, share of the segment's length).
    template <class F> void each_point(std::span<const GaussNode> rule, F f) const {
        for (std::size_t k = 0; k < segments(); ++k) {
            const double lo = x[k];
            const double length = x[k + 1] - lo;
            for (const GaussNode& node : rule) f(k, lo + length * node.x, length, node.w);
        }
    }
};

// +1 or -1 where the slopes are a measure of one sign whose density in the nodes' variable
// is nowhere below min_density of its mean; else 0.
double one_sign(const Samples& s, bool square) {
    const std::size_t n = s.segments();
    const double sign = s.drop[0] > 0 ? 1.0 : -1.0;
    double total = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (!(s.drop[k] * sign > 0)) return 0.0;
        total += std::fabs(s.drop[k]);
    }
    const auto at = [&](std::size_t j) { return s.node_variable(s.x[j], square); };
    const double mean = total / std::fabs(at(n) - at(0));
    for (std::size_t k = 0; k < n; ++k)
        if (!(std::fabs(s.drop[k]) >= min_density * mean * std::fabs(at(k + 1) - at(k))))
            return 0.0;
    return sign;
}

using TableRule = Source::TableRule;

// The interpolant's rule: the weights are the slopes integrated against each node's Lagrange
// polynomial, of degree n - 1 in mu or in r^2, that is 2 n - 2 in r or mu, which an n-point
// rule on each segment integrates exactly.
// A table in r: -I'(r) dr over the segment is -step times the fraction of its length, so that
// no slope is formed (it overflows for a segment a subnormal step wide).
// The segment's own integral of each node's Lagrange polynomial, which the derivatives in the
// samples take, is formed on the same nodes, flat segments included.
void interpolant_rule(const Samples& s, std::span<const GaussNode> rule, TableRule& out) {
    const std::size_t n = rule.size();
    for (const GaussNode& node : rule) out.x.push_back(node.x);
    const std::vector<double> barycentric = barycentric_weights(out.x);
    const std::size_t segments = s.segments();
    out.weight.assign(n, 0.0);
    out.segment_weight.assign(segments * n, 0.0);
    std::vector<double> at(n);
    s.each_point(rule, [&](std::size_t k, double t, double length, double w) {
        lagrange(out.x, barycentric, s.node_variable(t, out.square), at.data());
        const double part = length * w;
        const double share = w * s.drop[k];
        for (std::size_t i = 0; i < n; ++i) {
            out.segment_weight[i * segments + k] += part * at[i];
            if (share != 0.0) out.weight[i] += share * at[i];
        }
    });
}

// The Gauss rule of the slopes, sign times a positive measure: the measure made discrete on
// each segment by a rule exact for the degree 2 gauss - 1 in the nodes' variable (twice that
// in r or mu where the nodes are in r^2), then its own rule. The derivatives in the samples
// read the Hermite interpolant, from the values and slopes at the nodes (of degree
// 2 gauss - 1, as the interpolant of twice as many nodes). False if the procedure fails.
bool gauss_rule(const Samples& s, int gauss, double sign, TableRule& out) {
    const std::span<const GaussNode> rule =
        legendre(static_cast<std::size_t>(out.square ? 2 * gauss : gauss));
    std::vector<double> points;
    std::vector<double> weights;
    s.each_point(rule, [&](std::size_t k, double t, double, double w) {
        points.push_back(s.node_variable(t, out.square));
        weights.push_back(w * (sign * s.drop[k]));
    });
    const std::vector<GaussNode> own = numerics::gauss_rule_of_measure(points, weights, gauss);
    if (own.size() != static_cast<std::size_t>(gauss)) return false;
    const std::size_t n = own.size();
    for (const GaussNode& node : own) {
        out.x.push_back(node.x);
        out.weight.push_back(sign * node.w);
    }
    const std::vector<double> barycentric = barycentric_weights(out.x);
    // c_i = L_i'(x_i) = sum over j != i of 1 / (x_i - x_j).
    std::vector<double> c(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) c[i] += 1 / (out.x[i] - out.x[j]);
    const std::size_t segments = s.segments();
    out.segment_weight.assign(segments * n, 0.0);
    out.slope_weight.assign(segments * n, 0.0);
    std::vector<double> at(n);
    s.each_point(rule, [&](std::size_t k, double t, double length, double w) {
        const double x = s.node_variable(t, out.square);
        lagrange(out.x, barycentric, x, at.data());
        const double part = length * w;
        for (std::size_t i = 0; i < n; ++i) {
            const double square_of_l = at[i] * at[i];
            const double off = x - out.x[i];
            out.segment_weight[i * segments + k] += part * ((1 - 2 * c[i] * off) * square_of_l);
            out.slope_weight[i * segments + k] += part * (off * square_of_l);
        }
    });
    return true;
}

} // namespace

void Source::prepare_table_rules() {
    const bool in_mu = kind_ == Kind::mu_table;
    const std::vector<double>& x = in_mu ? table_mu_ : table_r_;
    const std::size_t segments = in_mu ? mu_slope_.size() : table_step_.size();
    if (segments == 0 || concentrated_) return;
    Samples samples{.x = x, .in_mu = in_mu, .drop = std::vector<double>(segments)};
    for (std::size_t k = 0; k < segments; ++k)
        samples.drop[k] = in_mu ? mu_slope_[k] * (x[k + 1] - x[k]) : -table_step_[k];
    // The steps' total against the flux.
    double variation = 0.0;
    for (double drop : samples.drop) variation += std::fabs(drop);
    if (!(variation <= max_variation * norm_)) return;
    const double sign_in_square = one_sign(samples, true);
    const double sign_in_mu = in_mu ? one_sign(samples, false) : 0.0;
    for (const Tier& tier : tiers) {
        // The variable of the nodes: r^2, or mu.
        const bool square = !in_mu || tier.z_min >= nodes_in_square;
        const auto empty = [&] {
            return TableRule{.z_min = tier.z_min,
                             .square = square,
                             .x = {},
                             .r = {},
                             .weight = {},
                             .segment_weight = {},
                             .slope_weight = {}};
        };
        TableRule out = empty();
        const double sign = square ? sign_in_square : sign_in_mu;
        if (sign == 0.0 || !gauss_rule(samples, tier.gauss, sign, out)) {
            out = empty();
            interpolant_rule(samples, tier.rule, out);
        }
        // A node in mu at r = sqrt((1 - mu)(1 + mu)), which keeps its digits at the centre.
        for (double node : out.x)
            out.r.push_back(out.square ? std::sqrt(node) : std::sqrt((1 - node) * (1 + node)));
        table_rules_.push_back(std::move(out));
    }
}

template <bool WithGradient>
bool Source::add_table_rule(double u, double rho, Gradient& sum, double* segment) const {
    const double z = u / rho;
    if (table_rules_.empty() || rho > rules::large_source) return false;
    const TableRule* rule = nullptr;
    for (const TableRule& candidate : table_rules_) {
        if (z >= candidate.z_min) {
            rule = &candidate;
            break;
        }
    }
    if (rule == nullptr) return false;
    const std::size_t n = rule->r.size();
    // With the derivatives in the samples, r^2 A_U at each node, whose interpolant the
    // segments' integrals take, and for the Hermite interpolant its slope in the nodes'
    // variable, from the disks' slopes in their radius.
    const bool hermite = segment != nullptr && !rule->slope_weight.empty();
    std::array<double, max_rule_nodes> at_node{};
    std::array<double, max_rule_nodes> slope_at_node{};
    const auto nodes = [&]<bool DiskSlopes>() {
        for (std::size_t first = 0; first < n;) {
            // Eight nodes at a time where the rule has them, two fours' disks side by side.
            const int groups = fours_at_once(first, n);
            double radius[2 * disk_lanes];
            for (int i = 0; i < groups * disk_lanes; ++i) radius[i] = rho * rule->r[first + i];
            DiskLanes disks[2];
            uniform_disk_closed_fours<DiskSlopes>(u, radius, groups, false, disks);
            for (int j = 0; j < groups * disk_lanes; ++j) {
                const DiskLanes& disk = disks[j / disk_lanes];
                const int i = j % disk_lanes;
                const double r = rule->r[first + j];
                const double w = rule->weight[first + j] * (r * r);
                sum.a += w * disk.a[i];
                at_node[first + j] = (r * r) * disk.a[i];
                if constexpr (WithGradient) {
                    sum.da_du += w * disk.da_du[i];
                    sum.da_drho += (w * r) * disk.da_dradius[i];
                }
                if constexpr (DiskSlopes) {
                    // d(r^2 A) / dr = 2 r A + r^2 rho A_R, times dr / d(r^2) = 1 / (2 r) or
                    // dr / dmu = -mu / r.
                    const double a = disk.a[i];
                    const double radial = (r * rho) * disk.da_dradius[i];
                    slope_at_node[first + j] =
                        rule->square ? a + 0.5 * radial : -rule->x[first + j] * (2 * a + radial);
                }
            }
            first += static_cast<std::size_t>(groups * disk_lanes);
        }
    };
    if (hermite)
        nodes.template operator()<true>();
    else
        nodes.template operator()<WithGradient>();
    if (segment == nullptr) return true;
    // Node by node over all the segments, which the compiler vectorises.
    const std::size_t segments = rule->segment_weight.size() / n;
    for (std::size_t k = 0; k < segments; ++k) segment[k] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* weight = &rule->segment_weight[i * segments];
        const double f = at_node[i];
        for (std::size_t k = 0; k < segments; ++k) segment[k] += weight[k] * f;
        if (!hermite) continue;
        const double* slope_weight = &rule->slope_weight[i * segments];
        const double df = slope_at_node[i];
        for (std::size_t k = 0; k < segments; ++k) segment[k] += slope_weight[k] * df;
    }
    return true;
}

template bool Source::add_table_rule<false>(double, double, Gradient&, double*) const;
template bool Source::add_table_rule<true>(double, double, Gradient&, double*) const;

} // namespace lumagnis::models::fspl
