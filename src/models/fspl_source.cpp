// Preparing a source: an intensity law's terms, normalisation and far-field moments, computed
// once per profile; the point source; and the straight trajectory of a light curve.

#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "models/fspl.hpp"
#include "models/fspl_moments.hpp"
#include "models/fspl_rules.hpp"
#include "numerics/gauss_jacobi.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

using numerics::GaussNode;
using rules::peaked_beta;
using rules::steep_end;
using rules::steep_gamma;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The terms c mu^beta of each analytic law, the constant first.
struct Terms {
    std::array<std::pair<double, double>, 5> term;
    int count;
};

// Only the shape of a law matters, so its coefficients are divided by the largest of 1 and
// their magnitudes: a coefficient near the largest double would otherwise overflow the terms
// (1 - a - b) and the normalisation. Division by 1 leaves the usual coefficients untouched.
double scale_of(double x, double y = 0.0) {
    const double m = std::fmax(std::fabs(x), std::fabs(y));
    return m > 1.0 ? m : 1.0;
}

// x + y + z with a single rounding at the end (each partial sum's error carried along): the
// intensity at the limb, 1 - a - b, decides whether the limb disk's infinite slopes weigh in
// with the lens on the limb, so a law dark there must give 0, not a rounding of either sign.
double exact_sum(std::initializer_list<double> terms) {
    double high = 0.0;
    double low = 0.0;
    for (const double term : terms) {
        const double sum = high + term;
        const double back = sum - high;
        low += (high - (sum - back)) + (term - back);
        high = sum;
    }
    return high + low;
}

double exact_sum(double x, double y, double z = 0.0) { return exact_sum({x, y, z}); }

Terms terms_of(const Profile& profile) {
    struct Visitor {
        Terms operator()(const Uniform&) const { return {{{{1.0, 0.0}}}, 1}; }
        Terms operator()(const Linear& p) const {
            const double s = scale_of(p.a);
            const double a = p.a / s;
            return {{{{exact_sum(1 / s, -a), 0.0}, {a, 1.0}}}, 2};
        }
        Terms operator()(const Quadratic& p) const {
            const double s = scale_of(p.a, p.b);
            const double a = p.a / s;
            const double b = p.b / s;
            return {{{{exact_sum(1 / s, -a, -b), 0.0}, {a + 2 * b, 1.0}, {-b, 2.0}}}, 3};
        }
        Terms operator()(const SquareRoot& p) const {
            const double s = scale_of(p.c, p.d);
            const double c = p.c / s;
            const double d = p.d / s;
            return {{{{exact_sum(1 / s, -c, -d), 0.0}, {c, 1.0}, {d, 0.5}}}, 3};
        }
        Terms operator()(const Power2& p) const {
            const double s = scale_of(p.c);
            const double c = p.c / s;
            return {{{{exact_sum(1 / s, -c), 0.0}, {c, p.alpha}}}, 2};
        }
        Terms operator()(const Nonlinear& p) const {
            const double s = scale_of(std::fmax(std::fabs(p.a1), std::fabs(p.a2)),
                                      std::fmax(std::fabs(p.a3), std::fabs(p.a4)));
            const double a1 = p.a1 / s;
            const double a2 = p.a2 / s;
            const double a3 = p.a3 / s;
            const double a4 = p.a4 / s;
            return {{{{exact_sum({1 / s, -a1, -a2, -a3, -a4}), 0.0},
                      {a1, 0.5},
                      {a2, 1.0},
                      {a3, 1.5},
                      {a4, 2.0}}},
                    5};
        }
        Terms operator()(const Tabulated&) const { return {{}, 0}; }
        Terms operator()(const TabulatedMu&) const { return {{}, 0}; }
    };
    return std::visit(Visitor{}, profile);
}

// Below this normalisation (of a profile whose brightest point is 1) the flux sits in a small
// part of the disk, so that the closed form's error for rings far inside the lens's distance,
// epsilon (u / R)^2 relative, is no longer made small by their share r^2 of the flux.
constexpr double concentrated_norm = 0.01;

} // namespace

double point_source(double u) {
    // -0.0 would give -inf through the division.
    if (u == 0) return HUGE_VAL;
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
    if (const auto* table = std::get_if<TabulatedMu>(&profile)) {
        prepare_mu_table(*table);
        concentrated_ = norm_ < concentrated_norm;
        prepare_table_rules();
        prepare_table_reads();
        prepare_coefficients(profile);
        return;
    }
    if (const auto* table = std::get_if<Tabulated>(&profile)) {
        kind_ = Kind::tabulated;
        const std::vector<double>& r = table->r;
        const std::size_t n = r.size();
        // Only the shape matters: the intensities are divided by the largest, so that any
        // scale, from subnormal to near overflow, gives the same normalised table.
        double peak = 0.0;
        for (const double value : table->intensity) peak = std::fmax(peak, value);
        std::vector<double> v;
        for (const double value : table->intensity) v.push_back(value / peak);
        // The intensity is v[0] on [0, r[0]], linear between samples and v[n-1] on
        // [r[n-1], 1]. Moment k, the integral of 2 r^(2k + 1) I(r), is a polynomial of degree
        // 2k + 2 <= 28 on each piece, which the 16-point rule integrates exactly. In closed
        // form it would be a difference of powers of the ends, which loses every digit on a
        // piece as narrow as the ends' own rounding.
        std::array<double, far_terms> raw{};
        const auto add_moments = [&raw](double r0, double r1, double v0, double v1) {
            add_piece_moments(raw, r0, r1, v0, v1);
        };
        add_moments(0.0, r[0], v[0], v[0]);
        for (std::size_t k = 0; k + 1 < n; ++k) {
            add_moments(r[k], r[k + 1], v[k], v[k + 1]);
            table_r_.push_back(r[k]);
            table_step_.push_back(v[k + 1] - v[k]);
        }
        table_r_.push_back(r[n - 1]);
        add_moments(r[n - 1], 1.0, v[n - 1], v[n - 1]);
        limb_intensity_ = v[n - 1];
        limb_weight_ = limb_intensity_;
        norm_ = raw[0];
        concentrated_ = norm_ < concentrated_norm;
        for (int k = 0; k < far_terms; ++k) moments_.m[k] = raw[k] / norm_;
        prepare_table_rules();
        prepare_table_reads();
        prepare_coefficients(profile);
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
        if (beta == 0.0)
            limb_intensity_ += c;
        else if (c != 0.0 && beta < gamma_)
            gamma_ = beta;
    }
    // The constant term, the intensity at the limb, is exact (terms_of): a law that the
    // validator let through a rounding below zero there is dark at the limb.
    if (limb_intensity_ < 0.0) limb_intensity_ = 0.0;
    std::vector<double> betas;
    for (int j = 0; j < terms.count; ++j) {
        const auto [c, beta] = terms.term[j];
        if (beta == 0.0 || c == 0.0) continue;
        terms_.push_back(PowerTerm{.c_beta = c * beta,
                                   .beta = beta,
                                   .scale = (c * beta) / gamma_,
                                   .mu_exponent = beta - 1,
                                   .psi_exponent = beta / gamma_ - 1});
        betas.push_back(beta);
    }
    // The four-coefficient law's terms cancel one another for the coefficients the
    // stellar-atmosphere tables give (|a_k| ~ 1, alternating in sign), which magnifies the plain
    // rule's error at the limb fivefold, to ~3e-10: it takes the rough limb's longer rule,
    // drawn out at the limb (~5e-13), except where the log-exact rules serve inside the source.
    choose_rule(gamma_, betas, std::holds_alternative<Nonlinear>(profile));
    if (terms_.size() == 1 && !whole_powers_ && !peaked_) {
        for (std::size_t k = 0; k < rules::outside_mu.size(); ++k) {
            single_term_rules_[k] = numerics::gauss_jacobi_power(
                static_cast<int>(rules::outside_mu[k].rule.size()), terms_[0].beta - 1);
            single_term_slopes_[k] =
                numerics::gauss_jacobi_power_slopes(terms_[0].beta - 1, single_term_rules_[k]);
        }
        // Should the eigenvalue iteration fail, the rules in t serve.
        bool formed = true;
        for (const std::vector<numerics::GaussNode>& rule : single_term_rules_)
            formed = formed && !rule.empty();
        if (!formed) {
            single_term_rules_ = {};
            single_term_slopes_ = {};
        }
    }
    norm_ = raw[0];
    for (int k = 0; k < far_terms; ++k) moments_.m[k] = raw[k] / norm_;
    limb_weight_ = limb_intensity_;
    if (steep_limb_) {
        // Beyond v = steep_end, t < 2e-9: r and mu / (2 t) differ from 1 by less than 1e-17,
        // and the terms' share there, the integral of c beta (2 e^-v)^beta dv, is exact.
        for (const PowerTerm& term : terms_)
            limb_weight_ +=
                (term.c_beta / term.beta) * std::pow(2 * std::exp(-steep_end), term.beta);
    }
    prepare_coefficients(profile);
}

void Source::choose_rule(double gamma, const std::vector<double>& betas, bool rough) {
    const auto is_integer = [](double x) { return x == std::floor(x); };
    gamma_ = gamma;
    rough_limb_ = rough || !is_integer(1 / gamma);
    peaked_ = false;
    for (const double beta : betas) {
        rough_limb_ = rough_limb_ || !is_integer(beta / gamma);
        peaked_ = peaked_ || beta > peaked_beta;
    }
    steep_limb_ = gamma < steep_gamma;
    // The psi rule's node counts hold for powers up to psi^3 (the four-coefficient law's): a
    // peaked law keeps the rules in t.
    whole_powers_ = (gamma == 1.0 || gamma == 0.5) && !peaked_;
    for (const double beta : betas)
        whole_powers_ = whole_powers_ && is_integer(beta / gamma) && beta / gamma <= 4.0;
}

namespace {

// Where sqrt(u0^2 + tau^2) is formed directly (see trajectory).
constexpr double plain_root_low = 1e-150;
constexpr double plain_root_high = 1e150;

// The separation along the trajectory and its derivatives in t0, u0 and tE.
struct Trajectory {
    double u;
    double du_dt0;
    double du_du0;
    double du_dte;
};

Trajectory trajectory(double t, double t0, double u0, double te) {
    const double tau = (t - t0) / te;
    // The plain root wherever neither square can overflow and the smaller one's underflow is
    // far below the larger's last bit: the library's hypot, which guards every range, costs a
    // tenth of a uniform disk. NaN and infinities take hypot (hypot(NaN, inf) is inf).
    const double a = std::fabs(u0);
    const double b = std::fabs(tau);
    const double big = a > b ? a : b;
    const double u = big > plain_root_low && big < plain_root_high ? std::sqrt(a * a + b * b)
                                                                   : std::hypot(u0, tau);
    if (!(u > 0) || std::isinf(u)) return Trajectory{.u = u, .du_dt0 = 0, .du_du0 = 0, .du_dte = 0};
    // te * u may underflow to 0 (a subnormal tE) and tau^2 overflow (t - t0 near 1e300): the
    // factors tau / u, at most 1 in size, then keep the slopes finite, and 0 at t = t0.
    // (A subnormal te * u has already lost digits.)
    double du_dt0 = -tau / (te * u);
    double du_dte = -(tau * tau) / (te * u);
    if (!(te * u >= std::numeric_limits<double>::min()) || !std::isfinite(du_dte)) {
        du_dt0 = -(tau / u) / te;
        du_dte = -(tau / te) * (tau / u);
    }
    return Trajectory{.u = u, .du_dt0 = du_dt0, .du_du0 = u0 / u, .du_dte = du_dte};
}

} // namespace

double curve_magnification(const Source& source, double t, double t0, double u0, double te,
                           double rho) {
    return source.magnification(trajectory(t, t0, u0, te).u, rho);
}

namespace {

CurveGradient along(const Trajectory& path, const Gradient& g) {
    if (std::isnan(path.u))
        return CurveGradient{.a = nan, .da_dt0 = nan, .da_du0 = nan, .da_dte = nan, .da_drho = nan};
    // A factor du/dp of zero (t = t0, where u is stationary in t0 and tE) makes the slope
    // zero even where dA/du is infinite, the lens on the limb: 0 * inf would be NaN.
    // Far out dA/du underflows to 0 where du/dp may still overflow: the product's true size is
    // below the smallest double there, not NaN.
    const auto chain = [&g](double du) {
        return du == 0 || (g.da_du == 0 && std::isinf(du)) ? 0.0 : g.da_du * du;
    };
    return CurveGradient{.a = g.a,
                         .da_dt0 = chain(path.du_dt0),
                         .da_du0 = chain(path.du_du0),
                         .da_dte = chain(path.du_dte),
                         .da_drho = g.da_drho};
}

} // namespace

CurveGradient curve_gradient(const Source& source, double t, double t0, double u0, double te,
                             double rho) {
    const Trajectory path = trajectory(t, t0, u0, te);
    return along(path, source.gradient(path.u, rho));
}

double curve_separation(double t, double t0, double u0, double te) {
    return trajectory(t, t0, u0, te).u;
}

template <bool WithGradient>
void curve_row(const Source& source, const double (*args)[5], CurveGradient* out) {
    Trajectory path[far_lanes];
    double u[far_lanes];
    double rho[far_lanes];
    for (int l = 0; l < far_lanes; ++l) {
        path[l] = trajectory(args[l][0], args[l][1], args[l][2], args[l][3]);
        u[l] = path[l].u;
        rho[l] = args[l][4];
    }
    DiskLanes lanes;
    source.row<WithGradient>(u, rho, lanes);
    for (int l = 0; l < far_lanes; ++l) {
        if constexpr (WithGradient) {
            const Gradient g{
                .a = lanes.a[l], .da_du = lanes.da_du[l], .da_drho = lanes.da_dradius[l]};
            out[l] = along(path[l], g);
        } else {
            out[l] =
                CurveGradient{.a = lanes.a[l], .da_dt0 = 0, .da_du0 = 0, .da_dte = 0, .da_drho = 0};
        }
    }
}

template void curve_row<false>(const Source&, const double (*)[5], CurveGradient*);
template void curve_row<true>(const Source&, const double (*)[5], CurveGradient*);

double curve_with_coefficients(const Source& source, double t, double t0, double u0, double te,
                               double rho, double* d_coefficients) {
    return source.with_coefficients<false>(trajectory(t, t0, u0, te).u, rho, d_coefficients).a;
}

CurveGradient curve_gradient_with_coefficients(const Source& source, double t, double t0, double u0,
                                               double te, double rho, double* d_coefficients) {
    const Trajectory path = trajectory(t, t0, u0, te);
    return along(path, source.with_coefficients<true>(path.u, rho, d_coefficients));
}

} // namespace lumagnis::models::fspl
