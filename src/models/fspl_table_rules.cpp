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
struct Tier {
    double z_min;
    std::span<const GaussNode> rule;
};
// The most nodes of any tier.
constexpr std::size_t max_rule_nodes = 64;
// In r^2 the singularity at z^2 lies far beyond the range (r^2 = 9 at z = 3, where the ellipse
// through it has R = 34; in mu, i sqrt(z^2 - 1) gives R = 11.6): from there 8 nodes in r^2
// keep a random table within ~1e-13.
constexpr std::array<Tier, 7> tiers = {{{3.0, numerics::gauss_legendre_8},
                                        {2.0, numerics::gauss_legendre_12},
                                        {1.6, numerics::gauss_legendre_16},
                                        {1.3, numerics::gauss_legendre_24},
                                        {1.15, numerics::gauss_legendre_32},
                                        {1.06, numerics::gauss_legendre_48},
                                        {1.03, numerics::gauss_legendre_64}}};
// From this u / rho on, a table in mu too takes its nodes in r^2 (R = 13.9 at z = 2, against
// 7.3 in mu); nearer the limb the singularity approaches r^2 = 1 like 2 (z - 1), but mu = 0 only
// like sqrt(2 (z - 1)), and mu serves better.
constexpr double nodes_in_square = 2.0;

// Past this total variation of the intensity (scaled to a peak of 1) against the flux, the
// rounding of the weights, each a sum of slopes of both signs, would no longer be small beside
// the result; such a table keeps its segments' rules.
constexpr double max_variation = 1e3;

// The Lagrange polynomials of the nodes x at the point t, by the barycentric formula (second
// form), which stays accurate however close t comes to a node.
void lagrange(std::span<const GaussNode> rule, const std::vector<double>& barycentric, double t,
              double* out) {
    const std::size_t n = rule.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t - rule[i].x;
        if (d == 0.0) {
            for (std::size_t j = 0; j < n; ++j) out[j] = j == i ? 1.0 : 0.0;
            return;
        }
        out[i] = barycentric[i] / d;
        sum += out[i];
    }
    for (std::size_t i = 0; i < n; ++i) out[i] /= sum;
}

} // namespace

void Source::prepare_table_rules() {
    const bool in_mu = kind_ == Kind::mu_table;
    const std::vector<double>& x = in_mu ? table_mu_ : table_r_;
    const std::size_t segments = in_mu ? mu_slope_.size() : table_step_.size();
    if (segments == 0 || concentrated_) return;
    // The steps' total against the flux.
    double variation = 0.0;
    for (std::size_t k = 0; k < segments; ++k)
        variation += std::fabs(in_mu ? mu_slope_[k] * (x[k + 1] - x[k]) : table_step_[k]);
    if (!(variation <= max_variation * norm_)) return;
    std::vector<double> at;
    std::vector<double> own;
    for (const Tier& tier : tiers) {
        // The variable of the nodes: r^2, or mu.
        const bool square = !in_mu || tier.z_min >= nodes_in_square;
        const std::span<const GaussNode> rule = tier.rule;
        const std::size_t n = rule.size();
        std::vector<double> barycentric(n);
        for (std::size_t i = 0; i < n; ++i) {
            double product = 1.0;
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) product *= rule[i].x - rule[j].x;
            barycentric[i] = 1 / product;
        }
        TableRule out{.z_min = tier.z_min,
                      .r = {},
                      .weight = std::vector<double>(n, 0.0),
                      .segment_weight = std::vector<double>(segments * n, 0.0)};
        for (const GaussNode& node : rule) {
            // A node in mu at r = sqrt((1 - mu)(1 + mu)), which keeps its digits at the centre.
            out.r.push_back(square ? std::sqrt(node.x) : std::sqrt((1 - node.x) * (1 + node.x)));
        }
        at.resize(n);
        // Each segment's share, by the rule itself: the Lagrange polynomials are of degree
        // n - 1 in mu, or in r^2, that is 2 n - 2 in r or mu, which an n-point rule on the
        // segment integrates exactly.
        // A table in r: -I'(r) dr over the segment is -step times the fraction of its length,
        // so that no slope is formed (it overflows for a segment a subnormal step wide).
        // The segment's own integral of each node's Lagrange polynomial, which the derivatives
        // in the samples take, is formed on the same nodes, flat segments included.
        for (std::size_t k = 0; k < segments; ++k) {
            const double lo = x[k];
            const double length = x[k + 1] - lo;
            const double drop = in_mu ? mu_slope_[k] * length : -table_step_[k];
            own.assign(n, 0.0);
            for (const GaussNode& node : rule) {
                const double t = lo + length * node.x;
                // r^2 at a point of a segment in mu: (1 - mu)(1 + mu), exact near the centre.
                const double square_at = in_mu ? (1 - t) * (1 + t) : t * t;
                lagrange(rule, barycentric, square ? square_at : t, at.data());
                const double part = length * node.w;
                for (std::size_t i = 0; i < n; ++i) own[i] += part * at[i];
                if (drop == 0.0) continue;
                const double share = node.w * drop;
                for (std::size_t i = 0; i < n; ++i) out.weight[i] += share * at[i];
            }
            for (std::size_t i = 0; i < n; ++i) out.segment_weight[i * segments + k] = own[i];
        }
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
    // segments' integrals take.
    std::array<double, max_rule_nodes> at_node{};
    for (std::size_t first = 0; first < n;) {
        // Eight nodes at a time where the rule has them, two fours' disks side by side.
        const int groups = fours_at_once(first, n);
        double radius[2 * disk_lanes];
        for (int i = 0; i < groups * disk_lanes; ++i) radius[i] = rho * rule->r[first + i];
        DiskLanes disks[2];
        uniform_disk_closed_fours<WithGradient>(u, radius, groups, false, disks);
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
        }
        first += static_cast<std::size_t>(groups * disk_lanes);
    }
    if (segment == nullptr) return true;
    // Node by node over all the segments, which the compiler vectorises.
    const std::size_t segments = rule->segment_weight.size() / n;
    for (std::size_t k = 0; k < segments; ++k) segment[k] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* weight = &rule->segment_weight[i * segments];
        const double f = at_node[i];
        for (std::size_t k = 0; k < segments; ++k) segment[k] += weight[k] * f;
    }
    return true;
}

template bool Source::add_table_rule<false>(double, double, Gradient&, double*) const;
template bool Source::add_table_rule<true>(double, double, Gradient&, double*) const;

} // namespace lumagnis::models::fspl
