// The derivatives of the magnification in the coefficients of the intensity law.
//
// For every law, dI/dp is a fixed combination of the constant 1 and a few basis functions b_j
// (powers of mu, and mu^alpha ln mu for Power2's exponent; a table's hat functions), and the
// magnification is the ratio A = F[I] / N[I] of two functionals linear in the intensity: the
// by-parts numerator F[I] = I(1) A_U(u, rho) - integral of I'(r) r^2 A_U(u, rho r) dr and the
// flux N[I]. So dA/dp = (F[dI/dp] - A N[dI/dp]) / N: the F[b_j] come from the same uniform
// disks as the value, weighted by each basis function's own slope, and cost a few
// multiply-adds per node. Far out, where the value comes from the moment series, the difference
// F[dI/dp] / N - A N[dI/dp] / N is itself a series in the difference of the moments, whose
// point-source term cancels exactly, so it keeps its relative precision however small it is.

#include <cmath>
#include <limits>
#include <memory>
#include <variant>
#include <vector>

#include "models/fspl.hpp"
#include "models/fspl_moments.hpp"

namespace lumagnis::models::fspl {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The basis of each analytic law and, per coefficient, dI/dp as a constant plus a combination of
// the basis: 1 - a (1 - mu) gives dI/da = mu - 1, and so on.
struct Plan {
    struct Term {
        double beta;
        bool logarithm;
    };
    std::vector<Term> basis;
    struct Derivative {
        double constant;
        std::array<double, 4> basis;
    };
    std::vector<Derivative> coefficients;
};

Plan plan_of(const Profile& profile) {
    struct Visitor {
        Plan operator()(const Uniform&) const { return {}; }
        Plan operator()(const Linear&) const {
            return {{{1.0, false}}, {{-1.0, {1.0, 0.0, 0.0, 0.0}}}};
        }
        Plan operator()(const Quadratic&) const {
            // -(1 - mu)^2 = -1 + 2 mu - mu^2.
            return {{{1.0, false}, {2.0, false}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}}, {-1.0, {2.0, -1.0, 0.0, 0.0}}}};
        }
        Plan operator()(const SquareRoot&) const {
            return {{{1.0, false}, {0.5, false}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}}, {-1.0, {0.0, 1.0, 0.0, 0.0}}}};
        }
        Plan operator()(const Power2& p) const {
            // dI/dalpha = c mu^alpha ln mu.
            return {{{p.alpha, false}, {p.alpha, true}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}}, {0.0, {0.0, p.c, 0.0, 0.0}}}};
        }
        Plan operator()(const Nonlinear&) const {
            return {{{0.5, false}, {1.0, false}, {1.5, false}, {2.0, false}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}},
                     {-1.0, {0.0, 1.0, 0.0, 0.0}},
                     {-1.0, {0.0, 0.0, 1.0, 0.0}},
                     {-1.0, {0.0, 0.0, 0.0, 1.0}}}};
        }
        Plan operator()(const Tabulated&) const { return {}; }
        Plan operator()(const TabulatedMu&) const { return {}; }
    };
    return std::visit(Visitor{}, profile);
}

bool is_integer(double x) { return x == std::floor(x); }

} // namespace

void Source::prepare_coefficients(const Profile& profile) {
    if (kind_ == Kind::mu_table) {
        // Sample j's hat function in mu, in the ascending order the source keeps.
        const std::vector<double>& mu = table_mu_;
        const std::size_t n = mu.size();
        for (std::size_t j = 0; j < n; ++j) {
            std::array<double, far_terms> raw{};
            if (j == 0) add_mu_piece_moments(raw, 0.0, mu[0], 1.0, 1.0);
            if (j == n - 1) add_mu_piece_moments(raw, mu[n - 1], 1.0, 1.0, 1.0);
            if (j > 0) add_mu_piece_moments(raw, mu[j - 1], mu[j], 0.0, 1.0);
            if (j + 1 < n) add_mu_piece_moments(raw, mu[j], mu[j + 1], 1.0, 0.0);
            Coefficient c{.constant = 0.0, .basis = {}, .flux = raw[0], .far = {}};
            for (int k = 0; k < far_terms; ++k)
                c.far.m[k] = (raw[k] - raw[0] * moments_.m[k]) / norm_;
            c.far.m[0] = 0.0;
            coefficients_.push_back(c);
        }
        return;
    }
    if (const auto* table = std::get_if<Tabulated>(&profile)) {
        // Sample j's hat function: 1 at r_j, 0 at the other samples, linear between them and
        // extended flat beyond the first and the last.
        const std::vector<double>& r = table->r;
        const std::size_t n = r.size();
        for (std::size_t j = 0; j < n; ++j) {
            std::array<double, far_terms> raw{};
            if (j == 0) add_piece_moments(raw, 0.0, r[0], 1.0, 0.0);
            if (j == n - 1) add_piece_moments(raw, r[n - 1], 1.0, 1.0, 0.0);
            if (j > 0) { // rising on [r_j-1, r_j]
                const double slope = 1 / (r[j] - r[j - 1]);
                add_piece_moments(raw, r[j - 1], r[j], -slope * r[j - 1], slope);
            }
            if (j + 1 < n) { // falling on [r_j, r_j+1]
                const double slope = -1 / (r[j + 1] - r[j]);
                add_piece_moments(raw, r[j], r[j + 1], 1 - slope * r[j], slope);
            }
            Coefficient c{.constant = 0.0, .basis = {}, .flux = raw[0], .far = {}};
            for (int k = 0; k < far_terms; ++k)
                c.far.m[k] = (raw[k] - raw[0] * moments_.m[k]) / norm_;
            c.far.m[0] = 0.0;
            coefficients_.push_back(c);
        }
        return;
    }

    const Plan plan = plan_of(profile);
    if (plan.basis.empty()) return;
    // The basis' own variable: psi = t^gamma with gamma the least exponent, as for a law with
    // every coefficient non-zero; a logarithm at the limb wants the rule drawn out there.
    double gamma = 1.0;
    for (const Plan::Term& term : plan.basis) gamma = std::fmin(gamma, term.beta);
    bool rough = !is_integer(1 / gamma);
    for (const Plan::Term& term : plan.basis) {
        rough = rough || term.logarithm || !is_integer(term.beta / gamma);
        basis_.push_back(BasisTerm{.beta = term.beta,
                                   .scale = (term.logarithm ? 1.0 : term.beta) / gamma,
                                   .mu_exponent = term.beta - 1,
                                   .psi_exponent = term.beta / gamma - 1,
                                   .logarithm = term.logarithm});
    }
    const std::array<double, far_terms> constant_moments = power_moments(0.0);
    for (const Plan::Derivative& d : plan.coefficients) {
        std::array<double, far_terms> raw{};
        for (int k = 0; k < far_terms; ++k) raw[k] = d.constant * constant_moments[k];
        for (std::size_t j = 0; j < plan.basis.size(); ++j) {
            if (d.basis[j] == 0.0) continue;
            const std::array<double, far_terms> b =
                power_moments(plan.basis[j].beta, plan.basis[j].logarithm);
            for (int k = 0; k < far_terms; ++k) raw[k] += d.basis[j] * b[k];
        }
        Coefficient c{.constant = d.constant, .basis = d.basis, .flux = raw[0], .far = {}};
        for (int k = 0; k < far_terms; ++k) c.far.m[k] = (raw[k] - raw[0] * moments_.m[k]) / norm_;
        c.far.m[0] = 0.0;
        coefficients_.push_back(c);
    }
    // The value's rule serves the basis if it is in the same variable and at least as drawn
    // out at the limb. Where a coefficient at zero (or the exponent's logarithm) leaves it
    // unfit, the basis gets a pass of its own, with no value terms.
    if (gamma != gamma_ || (rough && !rough_limb_)) {
        Source pass = *this;
        pass.gamma_ = gamma;
        pass.rough_limb_ = rough;
        pass.terms_.clear();
        pass.coefficients_.clear();
        basis_pass_ = std::make_shared<const Source>(std::move(pass));
    }
}

void Source::basis_weights(double psi, double t, double shrink, double common, int lane,
                           double (*out)[disk_lanes]) const {
    // The exponents the laws bring are small integers and halves: products and square roots,
    // cheaper than pow (the basis need not match the value's rounding).
    const auto power = [](double x, double e) {
        if (e == 0.0) return 1.0;
        if (e == 1.0) return x;
        if (e == 2.0) return x * x;
        if (e == 3.0) return (x * x) * x;
        if (e == 0.5) return std::sqrt(x);
        if (e == -0.5) return 1 / std::sqrt(x);
        return std::pow(x, e);
    };
    double factor = 0.0;
    for (std::size_t j = 0; j < basis_.size(); ++j) {
        const BasisTerm& b = basis_[j];
        // Power2's exponent and its logarithm share their powers.
        const bool same = j > 0 && b.mu_exponent == basis_[j - 1].mu_exponent &&
                          b.psi_exponent == basis_[j - 1].psi_exponent;
        if (!same) factor = power(shrink, b.mu_exponent) * power(psi, b.psi_exponent);
        double w = b.scale * factor;
        // mu = shrink t, which keeps its relative precision near the limb.
        if (b.logarithm) w *= 1 + b.beta * std::log(shrink * t);
        out[j][lane] = common * w;
    }
}

template <bool WithGradient>
Gradient Source::with_coefficients(double u, double rho, double* d_coefficients) const {
    const std::size_t n = coefficients_.size();
    // A table in mu is kept in ascending mu; its derivatives go back in the order given.
    const auto slot = [&](std::size_t k) { return table_reversed_ ? n - 1 - k : k; };
    if (std::isnan(u) || std::isinf(u) || n == 0 || far_for_slopes(u, rho)) {
        const double fill = std::isnan(u) ? nan : 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            d_coefficients[slot(k)] =
                std::isfinite(u) ? far_field<false>(u, rho, coefficients_[k].far).a : fill;
        }
        return evaluate<WithGradient>(u, rho);
    }
    BasisSums sums;
    std::vector<double> segments;
    if (kind_ == Kind::tabulated || kind_ == Kind::mu_table) {
        segments.assign(table_slope_.size(), 0.0);
        sums.segment = segments.data();
    }
    const Gradient g = evaluate<WithGradient>(u, rho, &sums);
    const double a = g.a;
    for (std::size_t k = 0; k < n; ++k) {
        const Coefficient& c = coefficients_[k];
        double f = c.constant * sums.uniform;
        if (kind_ == Kind::mu_table) {
            // Integrated in t from the limb inwards: F[hat_k] = hat_k(limb) A_U
            // + (rising slope) G_k-1 - (falling slope) G_k, the slopes in mu.
            if (k == 0) f += sums.uniform;
            if (k > 0) f += segments[k - 1] / (table_mu_[k] - table_mu_[k - 1]);
            if (k + 1 < n) f -= segments[k] / (table_mu_[k + 1] - table_mu_[k]);
            d_coefficients[slot(k)] = (f - a * c.flux) / norm_;
            continue;
        }
        if (kind_ == Kind::tabulated) {
            // F[hat_k] = hat_k(1) A_U - (rising slope) G_k-1 + (falling slope) G_k.
            if (k + 1 == n) f += sums.uniform;
            if (k > 0) f -= segments[k - 1] / (table_r_[k] - table_r_[k - 1]);
            if (k + 1 < n) f += segments[k] / (table_r_[k + 1] - table_r_[k]);
        } else {
            for (std::size_t j = 0; j < basis_.size(); ++j) f += c.basis[j] * sums.term[j];
        }
        d_coefficients[k] = (f - a * c.flux) / norm_;
    }
    return g;
}

template Gradient Source::with_coefficients<false>(double, double, double*) const;
template Gradient Source::with_coefficients<true>(double, double, double*) const;

} // namespace lumagnis::models::fspl
