#include "models/fspl_disk_rim.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "numerics/constants.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

// From this radius on the closed form's derivatives lose more than about 1e-9 to the
// cancellation of its terms; below it they are better than 5e-10 up to the far-field threshold,
// and cheaper than the rim integrals.
constexpr double rim_radius = 2.0;

// Below this ratio u / R the closed form's dA/du, which tends to 0 with u, keeps only an
// absolute precision: 1e-9 relative at u = 1e-4 R, 1e-8 below 1e-8 R (at u = 0 it is not 0).
constexpr double centre_ratio = 0.01;

// Closer to the limb than |u - R| < limb_ratio R, the closed form's derivatives carry an
// error of about 2e-17 R / |u - R| relative (4e-7 at 1e-10 from the limb), from the
// logarithm of the elliptic integrals there; the rim integrals keep 1e-11.
constexpr double limb_ratio = 1e-6;

// sin(pi / 4) = cos(pi / 4): the rim is integrated in y = sin(t / 2) on the half near the lens
// and in c = cos(t / 2) on the far half (t the angle at the centre from the point nearest the
// lens), so that every node needs square roots only, and neither Jacobian, 2 / cos(t / 2) or
// 2 / sin(t / 2), comes within 0.29 of its singularity.
constexpr double half_sqrt2 = 0.7071067811865476;

// The half near the lens is cut into panels [y / 4, y] down to the scale b of the integrand's
// nearest complex singularity, then a last panel [0, y] with y <= 2 b: each panel keeps its
// singularities a fixed fraction of its length away, so a fixed rule converges geometrically
// in it whatever the distance of the lens from the rim. These counts give the derivatives to
// 2e-10 or better for R >= 2 against mpmath (with 10 nodes in place of any of the 12, 1e-8).
constexpr double panel_ratio = 4.0;
constexpr double last_panel_scale = 2.0;
constexpr auto& far_rule = numerics::gauss_legendre_12;
constexpr auto& panel_rule = numerics::gauss_legendre_12;
constexpr auto& last_rule = numerics::gauss_legendre_16;
// For R >= rim_radius, |u - R| is at least an ulp of R, so b > 1e-8 and 13 panels suffice;
// the bound only makes the loop end whatever the input (b = 0 at u = R, NaN).
constexpr int max_panels = 40;

// Below this ratio u / R the integral of g cos(alpha), which cancels to O(u) (relative error
// about 1e-14 R / u), is integrated by parts into u R int g'(s) sin^2(alpha) / s dalpha with
// g' = -8 / (s root)^3: proportional to u and of one sign. Nearer the rim that integrand
// peaks more sharply than g, and the rules would need more nodes.
constexpr double parts_ratio = 0.5;

// The three rim integrals over alpha in [0, pi]: of g; of g cos(alpha), or by parts 2 max^2
// times that of sin^2(alpha) / (s root)^3; and the flux of a radial field with divergence g.
struct RimSums {
    double mean = 0;
    double moment = 0;
    double flux = 0;
};

// The rim of the disk seen from the lens: the rim point at angle t from the point nearest the
// lens lies at s = |u - R| + 2 min(u, R) sin^2(t / 2), a sum of positive terms that keeps its
// relative precision when the lens is close to the rim.
class Rim {
public:
    Rim(double u, double radius)
        : u_(u), radius_(radius), near_(std::fabs(u - radius)), small_(u < radius ? u : radius),
          ratio_(small_ / (2 * (u < radius ? radius : u))), by_parts_(u < parts_ratio * radius),
          inside_(u < radius) {}

    bool by_parts() const { return by_parts_; }

    // The scale, in y = sin(t / 2), of the integrand's nearest singularity: where s + |u - R|
    // vanishes (y^2 = -|u - R| / min) and where s = +-2i, the branch points of A.
    double singularity_scale() const {
        const double gap = std::sqrt(near_ / small_);
        const double branch = std::sqrt(std::sqrt(near_ * near_ + 4) / (2 * small_));
        return gap < branch ? gap : branch;
    }

    // One node at sh2 = sin^2(t / 2), ch2 = cos^2(t / 2), whose weight dt is
    // numerator / sqrt(denominator2): the nodes' own Jacobian then shares a square root with
    // the rim's.
    void add(double sh2, double ch2, double numerator, double denominator2, RimSums& sums) const {
        const double s = near_ + 2 * small_ * sh2;
        const double root = std::sqrt(s * s + 4);
        const double sum = root + s;
        // dalpha / dt = 2 s / sqrt(q), q = (u + R + s)(s + |u - R|) with s + |u - R| =
        // 2 (|u - R| + min sh^2) free of cancellation; per_s is dalpha / (2 s).
        const double q = 2 * (u_ + radius_ + s) * (near_ + small_ * sh2);
        const double per_s = numerator / std::sqrt(denominator2 * q);
        // With (root + s)^2 = 2 (s^2 + 2 + s root): g = A - 1 = 8 / (s root (root + s)^2),
        // and G(s) = 2 s / (root + s), K(s) = 1 - G(s) = 4 / (root + s)^2.
        const double common = per_s / ((s * root) * (sum * sum));
        const double sin2_t = 4 * (sh2 * ch2);
        // The field (G(s) / s) s_hat, whose divergence is g, has flux R (G / s^2)(R + u cos
        // alpha) dalpha through the rim. With the lens outside, the divergence-free field
        // s_hat / s adds nothing to the flux and is subtracted, leaving -(K / s) s_hat, which
        // falls like s^-3: otherwise nearly opposite in- and outflows would cancel to the
        // small net flux.
        const double field = inside_ ? 4 * (((s * root) * sum) * common) : -8 * (root * common);
        const double normal = (s * s + (radius_ - u_) * (radius_ + u_)) / (2 * radius_);
        const double g = 16 * (s * common);
        sums.mean += g;
        if (by_parts_) {
            // sin^2(alpha) = sin^2(t) q / (4 max^2), from sin(alpha) dalpha = sin(t) s / max dt.
            sums.moment += ((sin2_t * q) * per_s) / ((s * s) * ((root * root) * root));
        } else {
            sums.moment += g * -((ch2 - sh2) + ratio_ * sin2_t);
        }
        sums.flux += field * normal;
    }

private:
    double u_;
    double radius_;
    double near_;  // |u - R|
    double small_; // min(u, R)
    double ratio_; // min(u, R) / (2 max(u, R))
    bool by_parts_;
    bool inside_;
};

template <std::size_t N>
void add_near_panel(const Rim& rim, double low, double high,
                    const std::array<numerics::GaussNode, N>& rule, RimSums& sums) {
    const double width = high - low;
    for (const numerics::GaussNode& node : rule) {
        const double y = low + width * node.x; // sin(t / 2), dt = 2 dy / cos(t / 2)
        const double ch2 = (1 - y) * (1 + y);
        rim.add(y * y, ch2, 2 * (width * node.w), ch2, sums);
    }
}

RimSums rim_sums(const Rim& rim) {
    RimSums sums;
    for (const numerics::GaussNode& node : far_rule) {
        const double c = half_sqrt2 * node.x; // cos(t / 2), dt = -2 dc / sin(t / 2)
        const double sh2 = (1 - c) * (1 + c);
        rim.add(sh2, c * c, 2 * (half_sqrt2 * node.w), sh2, sums);
    }
    const double reach = last_panel_scale * rim.singularity_scale();
    double high = half_sqrt2;
    for (int panel = 0; panel < max_panels && high > reach; ++panel) {
        const double low = high / panel_ratio;
        add_near_panel(rim, low, high, panel_rule, sums);
        high = low;
    }
    add_near_panel(rim, 0.0, high, last_rule, sums);
    return sums;
}

} // namespace

bool rim_slopes_for_size(double radius) { return radius >= rim_radius; }

bool rim_slopes_apply(double u, double radius) {
    return radius >= rim_radius || far_for_slopes(u, radius) || u < centre_ratio * radius ||
           std::fabs(u - radius) < limb_ratio * radius;
}

DiskValue with_rim_slopes(double a, double u, double radius) {
    if (far_for_slopes(u, radius)) {
        const DiskValue far = far_field<true>(u, radius, uniform_moments());
        return DiskValue{.a = a, .da_du = far.da_du, .da_dradius = far.da_dradius};
    }
    if (u == 0) {
        // The rim is a circle about the lens: its mean of g is g(R), and A - 1 =
        // 4 / (R (root + R)) in closed form.
        const double root = std::sqrt(radius * radius + 4);
        const double g = 4 / (radius * root * (radius * radius + 2 + radius * root));
        const double excess = 4 / (radius * (root + radius));
        return DiskValue{.a = a, .da_du = 0.0, .da_dradius = (2 / radius) * (g - excess)};
    }
    const Rim rim(u, radius);
    const RimSums sums = rim_sums(rim);
    const double scale = 2 / (constants::pi * radius);
    // A - 1 as the flux through the rim, free of the cancellation of 1 against A where A is
    // close to 1. With the lens outside a disk smaller than an Einstein radius the flux
    // cancels instead, while A - 1 > 0.3 comes from the value without loss.
    const double excess = u > radius && radius < 1 ? a - 1 : scale * sums.flux;
    // dA/du = -(16 u / pi) int sin^2(alpha) / (s root)^3 dalpha, the sum being 2 R^2 times
    // that integral (the lens inside, max(u, R) = R).
    const double by_parts = -(scale * (4 * u / radius));
    return DiskValue{.a = a,
                     .da_du = (rim.by_parts() ? by_parts : scale) * sums.moment,
                     .da_dradius = scale * sums.mean - (2 / radius) * excess};
}

} // namespace lumagnis::models::fspl
