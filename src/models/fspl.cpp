#include "models/fspl.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

using numerics::GaussNode;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double half_pi = 1.5707963267948966;

// Gauss-Legendre nodes pulled towards both ends by x = t^3 (10 - 15 t + 6 t^2), whose first
// three derivatives vanish there. The radial integrand has a kink, (r - u/rho) log|r - u/rho|,
// where the ring through the lens meets the edge of a piece; graded, it is smooth enough at
// the piece's ends for the rule to reach the last digits with a few nodes. A fixed rule, not
// an adaptive one, so that the error changes smoothly along a light curve.
template <std::size_t N>
constexpr std::array<GaussNode, N> graded(const std::array<GaussNode, N>& rule) {
    std::array<GaussNode, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        const double t = rule[i].x;
        const double x = t * t * t * (10 + t * (-15 + 6 * t));
        const double dx = 30 * (t * t) * ((1 - t) * (1 - t));
        out[i] = GaussNode{.x = x, .w = rule[i].w * dx};
    }
    return out;
}

constexpr auto piece_rule = graded(numerics::gauss_legendre_24);

// The integral of 2 mu^(1 + beta) (1 - mu^2)^k over mu in [0, 1], k = 0 .. far_terms - 1: the
// Beta function B(1 + beta / 2, k + 1), by its recurrence in k.
std::array<double, far_terms> power_moments(double beta) {
    std::array<double, far_terms> b{};
    b[0] = 1 / (1 + beta / 2);
    for (int k = 1; k < far_terms; ++k) b[k] = b[k - 1] * (k / (k + 1 + beta / 2));
    return b;
}

// The terms c mu^beta of each analytic law, the constant first.
struct Terms {
    std::array<std::pair<double, double>, 3> term;
    int count;
};

Terms terms_of(const Profile& profile) {
    struct Visitor {
        Terms operator()(const Uniform&) const { return {{{{1.0, 0.0}}}, 1}; }
        Terms operator()(const Linear& p) const { return {{{{1 - p.a, 0.0}, {p.a, 1.0}}}, 2}; }
        Terms operator()(const Quadratic& p) const {
            return {{{{1 - p.a - p.b, 0.0}, {p.a + 2 * p.b, 1.0}, {-p.b, 2.0}}}, 3};
        }
        Terms operator()(const SquareRoot& p) const {
            return {{{{1 - p.c - p.d, 0.0}, {p.c, 1.0}, {p.d, 0.5}}}, 3};
        }
        Terms operator()(const Power2& p) const { return {{{{1 - p.c, 0.0}, {p.c, p.alpha}}}, 2}; }
        Terms operator()(const Tabulated&) const { return {{}, 0}; }
    };
    return std::visit(Visitor{}, profile);
}

} // namespace

double point_source(double u) {
    // For u > 1 in 1 / u, so that u^2 cannot overflow; the two forms are equal.
    if (u > 1) {
        const double q = 1 / u;
        const double q2 = q * q;
        return (1 + 2 * q2) / std::sqrt(1 + 4 * q2);
    }
    return (u * u + 2) / (u * std::sqrt(u * u + 4));
}

Gradient point_source_gradient(double u) {
    // dA/du = -8 / (u^2 (u^2 + 4)^(3/2)).
    double slope;
    if (u > 1) {
        const double q = 1 / u;
        const double q2 = q * q;
        const double root = std::sqrt(1 + 4 * q2);
        slope = -8 * ((q2 * q2) * q) / ((1 + 4 * q2) * root);
    } else {
        const double w = u * u + 4;
        slope = -8 / ((u * u) * (w * std::sqrt(w)));
    }
    return Gradient{.a = point_source(u), .da_du = slope, .da_drho = 0.0};
}

Source::Source(Profile profile) {
    if (const auto* table = std::get_if<Tabulated>(&profile)) {
        kind_ = Kind::tabulated;
        const std::vector<double>& r = table->r;
        const std::vector<double>& v = table->intensity;
        const std::size_t n = r.size();
        // The intensity is v[0] on [0, r[0]], linear between samples and v[n-1] on
        // [r[n-1], 1]: each piece a + b r contributes its moments in closed form.
        std::vector<std::array<double, 4>> pieces; // r0, r1, a, b
        pieces.push_back({0.0, r[0], v[0], 0.0});
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double slope = (v[k + 1] - v[k]) / (r[k + 1] - r[k]);
            pieces.push_back({r[k], r[k + 1], v[k] - slope * r[k], slope});
            table_r_.push_back(r[k]);
            table_slope_.push_back(slope);
        }
        table_r_.push_back(r[n - 1]);
        pieces.push_back({r[n - 1], 1.0, v[n - 1], 0.0});
        limb_intensity_ = v[n - 1];
        // Moment k: the integral of 2 r^(2k + 1) (a + b r) dr.
        std::array<double, far_terms> raw{};
        for (const auto& [r0, r1, a, b] : pieces) {
            for (int k = 0; k < far_terms; ++k) {
                const double e2 = 2.0 * k + 2;
                raw[k] += a * (std::pow(r1, e2) - std::pow(r0, e2)) * (2 / e2) +
                          b * (std::pow(r1, e2 + 1) - std::pow(r0, e2 + 1)) * (2 / (e2 + 1));
            }
        }
        norm_ = raw[0];
        for (int k = 0; k < far_terms; ++k) moments_.m[k] = raw[k] / norm_;
        return;
    }

    const Terms terms = terms_of(profile);
    kind_ = std::holds_alternative<Uniform>(profile) ? Kind::uniform : Kind::power_law;
    std::array<double, far_terms> raw{};
    limb_intensity_ = 0.0;
    gamma_ = 1.0;
    for (int j = 0; j < terms.count; ++j) {
        const auto [c, beta] = terms.term[j];
        const std::array<double, far_terms> b = power_moments(beta);
        for (int k = 0; k < far_terms; ++k) raw[k] += c * b[k];
        if (beta == 0.0) {
            limb_intensity_ += c;
        } else if (c != 0.0) {
            terms_.push_back(PowerTerm{.c = c, .beta = beta});
            if (beta < gamma_) gamma_ = beta;
        }
    }
    norm_ = raw[0];
    for (int k = 0; k < far_terms; ++k) moments_.m[k] = raw[k] / norm_;
}

// Integrated by parts over the radius, the brightness-weighted mean is
//   A = (I(1) A_U(u, rho) - integral of I'(r) r^2 A_U(u, rho r) dr) / norm,
// with A_U the uniform disk: r^2 A_U(u, rho r) is the flux inside radius r, continuous where
// the ring through the lens has a logarithmic peak, so the integrand is bounded and its
// derivatives in u and rho stay integrable.
//
// For the analytic laws the variable is the angle phi = acos(r) from the limb, with
// r = cos(phi) and mu = sin(phi) both analytic in it (in r or mu one of them has a square
// root at an end), and phi = (pi / 2) psi^(1 / gamma): then -I'(r) dr = sum c beta
// mu^(beta - 1) cos(phi) dphi becomes bounded at the limb for every term, mu^(beta - 1)
// dphi ~ psi^(beta / gamma - 1) dpsi with beta >= gamma.
template <bool WithGradient> void Source::add_power_law(double u, double rho, Gradient& sum) const {
    const double z = u / rho;
    const double inv_gamma = 1 / gamma_;
    double pieces[3] = {0.0, 1.0, 1.0};
    int piece_count = 1;
    if (z < 1) {
        pieces[1] = std::pow(std::acos(z) / half_pi, gamma_);
        piece_count = 2;
    }
    for (int p = 0; p < piece_count; ++p) {
        const double lo = pieces[p];
        const double length = pieces[p + 1] - lo;
        if (!(length > 0)) continue;
        for (const GaussNode& node : piece_rule) {
            const double psi = lo + length * node.x;
            const double psi_power = gamma_ == 1.0 ? 1.0 : std::pow(psi, inv_gamma - 1);
            const double phi = half_pi * (psi_power * psi);
            const double mu = std::sin(phi);
            const double r = std::cos(phi);
            double weight = 0;
            for (const PowerTerm& term : terms_)
                weight += (term.c * term.beta) * std::pow(mu, term.beta - 1);
            weight = weight * (r * (half_pi * inv_gamma) * psi_power);
            const double r2 = r * r;
            const DiskValue disk = uniform_disk<WithGradient>(u, rho * r);
            const double w = (length * node.w) * weight;
            sum.a += (w * r2) * disk.a;
            if constexpr (WithGradient) {
                sum.da_du += (w * r2) * disk.da_du;
                sum.da_drho += (w * r2 * r) * disk.da_dradius;
            }
        }
    }
}

template <bool WithGradient> void Source::add_tabulated(double u, double rho, Gradient& sum) const {
    const double z = u / rho;
    for (std::size_t k = 0; k < table_slope_.size(); ++k) {
        const double slope = table_slope_[k];
        if (slope == 0.0) continue;
        double ends[3] = {table_r_[k], table_r_[k + 1], table_r_[k + 1]};
        int piece_count = 1;
        if (ends[0] < z && z < ends[1]) {
            ends[1] = z;
            piece_count = 2;
        }
        for (int p = 0; p < piece_count; ++p) {
            const double lo = ends[p];
            const double length = ends[p + 1] - lo;
            for (const GaussNode& node : piece_rule) {
                const double r = lo + length * node.x;
                if (!(r > 0)) continue;
                const double r2 = r * r;
                const DiskValue disk = uniform_disk<WithGradient>(u, rho * r);
                const double w = -(length * node.w) * slope;
                sum.a += (w * r2) * disk.a;
                if constexpr (WithGradient) {
                    sum.da_du += (w * r2) * disk.da_du;
                    sum.da_drho += (w * r2 * r) * disk.da_dradius;
                }
            }
        }
    }
}

template <bool WithGradient> Gradient Source::evaluate(double u, double rho) const {
    if (std::isnan(u)) return Gradient{.a = nan, .da_du = nan, .da_drho = nan};
    if (std::isinf(u)) return Gradient{.a = 1.0, .da_du = 0.0, .da_drho = 0.0};
    if (kind_ == Kind::uniform) {
        const DiskValue disk = uniform_disk<WithGradient>(u, rho);
        return Gradient{
            .a = disk.a, .da_du = u == 0 ? 0.0 : disk.da_du, .da_drho = disk.da_dradius};
    }
    if (is_far(u, rho)) {
        const FarValue far = far_field<WithGradient>(u, rho, moments_);
        return Gradient{.a = far.a, .da_du = far.da_du, .da_drho = far.da_dradius};
    }
    Gradient sum{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    if (limb_intensity_ != 0.0) {
        const DiskValue disk = uniform_disk<WithGradient>(u, rho);
        sum.a = limb_intensity_ * disk.a;
        sum.da_du = limb_intensity_ * disk.da_du;
        sum.da_drho = limb_intensity_ * disk.da_dradius;
    }
    if (kind_ == Kind::power_law)
        add_power_law<WithGradient>(u, rho, sum);
    else
        add_tabulated<WithGradient>(u, rho, sum);
    return Gradient{.a = sum.a / norm_,
                    .da_du = u == 0 ? 0.0 : sum.da_du / norm_,
                    .da_drho = sum.da_drho / norm_};
}

double Source::magnification(double u, double rho) const { return evaluate<false>(u, rho).a; }

Gradient Source::gradient(double u, double rho) const { return evaluate<true>(u, rho); }

namespace {

// The separation along the trajectory and its derivatives in t0, u0 and tE.
struct Trajectory {
    double u;
    double du_dt0;
    double du_du0;
    double du_dte;
};

Trajectory trajectory(double t, double t0, double u0, double te) {
    const double tau = (t - t0) / te;
    const double u = std::hypot(u0, tau);
    if (!(u > 0) || std::isinf(u)) return Trajectory{.u = u, .du_dt0 = 0, .du_du0 = 0, .du_dte = 0};
    return Trajectory{
        .u = u, .du_dt0 = -tau / (te * u), .du_du0 = u0 / u, .du_dte = -(tau * tau) / (te * u)};
}

} // namespace

double curve_magnification(const Source& source, double t, double t0, double u0, double te,
                           double rho) {
    return source.magnification(trajectory(t, t0, u0, te).u, rho);
}

CurveGradient curve_gradient(const Source& source, double t, double t0, double u0, double te,
                             double rho) {
    const Trajectory path = trajectory(t, t0, u0, te);
    const Gradient g = source.gradient(path.u, rho);
    if (std::isnan(path.u))
        return CurveGradient{.a = nan, .da_dt0 = nan, .da_du0 = nan, .da_dte = nan, .da_drho = nan};
    return CurveGradient{.a = g.a,
                         .da_dt0 = g.da_du * path.du_dt0,
                         .da_du0 = g.da_du * path.du_du0,
                         .da_dte = g.da_du * path.du_dte,
                         .da_drho = g.da_drho};
}

} // namespace lumagnis::models::fspl
