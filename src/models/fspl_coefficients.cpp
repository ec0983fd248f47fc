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

#include <algorithm>
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
        double value; // the coefficient's own value
        bool affine;  // I = 1 + sum of value dI/dp over the affine coefficients
    };
    std::vector<Derivative> coefficients;
};

Plan plan_of(const Profile& profile) {
    struct Visitor {
        Plan operator()(const Uniform&) const { return {}; }
        Plan operator()(const Linear& p) const {
            return {{{1.0, false}}, {{-1.0, {1.0, 0.0, 0.0, 0.0}, p.a, true}}};
        }
        Plan operator()(const Quadratic& p) const {
            // -(1 - mu)^2 = -1 + 2 mu - mu^2.
            return {{{1.0, false}, {2.0, false}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}, p.a, true},
                     {-1.0, {2.0, -1.0, 0.0, 0.0}, p.b, true}}};
        }
        Plan operator()(const SquareRoot& p) const {
            return {
                {{1.0, false}, {0.5, false}},
                {{-1.0, {1.0, 0.0, 0.0, 0.0}, p.c, true}, {-1.0, {0.0, 1.0, 0.0, 0.0}, p.d, true}}};
        }
        Plan operator()(const Power2& p) const {
            // dI/dalpha = c mu^alpha ln mu.
            return {{{p.alpha, false}, {p.alpha, true}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}, p.c, true},
                     {0.0, {0.0, p.c, 0.0, 0.0}, p.alpha, false}}};
        }
        Plan operator()(const Nonlinear& p) const {
            return {{{0.5, false}, {1.0, false}, {1.5, false}, {2.0, false}},
                    {{-1.0, {1.0, 0.0, 0.0, 0.0}, p.a1, true},
                     {-1.0, {0.0, 1.0, 0.0, 0.0}, p.a2, true},
                     {-1.0, {0.0, 0.0, 1.0, 0.0}, p.a3, true},
                     {-1.0, {0.0, 0.0, 0.0, 1.0}, p.a4, true}}};
        }
        Plan operator()(const Tabulated&) const { return {}; }
        Plan operator()(const TabulatedMu&) const { return {}; }
    };
    return std::visit(Visitor{}, profile);
}

// The far-field moments of a coefficient: those of dI/dp less its flux times the source's own,
// over the law's flux N. Moment 0 is exactly 0: the point-source term cancels.
Moments far_difference(const std::array<double, far_terms>& raw, const Moments& source,
                       double flux) {
    Moments far{};
    for (int k = 1; k < far_terms; ++k) far.m[k] = (raw[k] - raw[0] * source.m[k]) / flux;
    far.m[0] = 0.0;
    return far;
}

} // namespace

void Source::prepare_coefficients(const Profile& profile) {
    if (kind_ == Kind::tabulated || kind_ == Kind::mu_table) {
        // Sample j's hat function: 1 at its sample, 0 at the others, linear between them (in
        // r, or in mu) and extended flat beyond the first and the last. A table in mu is kept
        // in ascending mu, a table in r in ascending r, as the samples of `given`.
        const bool in_mu = kind_ == Kind::mu_table;
        std::vector<double> x;
        std::vector<double> given;
        if (in_mu) {
            x = table_mu_;
            given = std::get<TabulatedMu>(profile).intensity;
            if (table_reversed_) std::reverse(given.begin(), given.end());
        } else {
            x = std::get<Tabulated>(profile).r;
            given = std::get<Tabulated>(profile).intensity;
        }
        const std::size_t n = x.size();
        const auto add = [in_mu](std::array<double, far_terms>& raw, double x0, double x1,
                                 double v0, double v1) {
            if (in_mu)
                add_mu_piece_moments(raw, x0, x1, v0, v1);
            else
                add_piece_moments(raw, x0, x1, v0, v1);
        };
        std::vector<std::array<double, far_terms>> raws(n);
        flux_ = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            std::array<double, far_terms>& raw = raws[j];
            if (j == 0) add(raw, 0.0, x[0], 1.0, 1.0);
            if (j == n - 1) add(raw, x[n - 1], 1.0, 1.0, 1.0);
            if (j > 0) add(raw, x[j - 1], x[j], 0.0, 1.0);
            if (j + 1 < n) add(raw, x[j], x[j + 1], 1.0, 0.0);
            flux_ += given[j] * raw[0];
        }
        for (std::size_t j = 0; j < n; ++j) {
            coefficients_.push_back(Coefficient{.constant = 0.0,
                                                .basis = {},
                                                .flux = raws[j][0],
                                                .far = far_difference(raws[j], moments_, flux_)});
        }
        return;
    }

    const Plan plan = plan_of(profile);
    if (plan.basis.empty()) return;
    // The basis' own variable: psi = t^gamma with gamma the least exponent, as for a law with
    // every coefficient non-zero; a logarithm at the limb wants the rule drawn out there.
    double gamma = 1.0;
    bool logarithm = false;
    std::vector<double> betas;
    for (const Plan::Term& term : plan.basis) {
        gamma = std::fmin(gamma, term.beta);
        logarithm = logarithm || term.logarithm;
        betas.push_back(term.beta);
    }
    for (const Plan::Term& term : plan.basis) {
        basis_.push_back(BasisTerm{.beta = term.beta,
                                   .scale = (term.logarithm ? 1.0 : term.beta) / gamma,
                                   .mu_exponent = term.beta - 1,
                                   .psi_exponent = term.beta / gamma - 1,
                                   .logarithm = term.logarithm});
    }
    for (const BasisTerm& b : basis_)
        limb_logarithm_ = limb_logarithm_ || (b.logarithm && b.psi_exponent == 0.0);
    const std::array<double, far_terms> constant_moments = power_moments(0.0);
    std::vector<std::array<double, far_terms>> raws;
    flux_ = 1.0;
    for (const Plan::Derivative& d : plan.coefficients) {
        std::array<double, far_terms> raw{};
        for (int k = 0; k < far_terms; ++k) raw[k] = d.constant * constant_moments[k];
        for (std::size_t j = 0; j < plan.basis.size(); ++j) {
            if (d.basis[j] == 0.0) continue;
            const std::array<double, far_terms> b =
                power_moments(plan.basis[j].beta, plan.basis[j].logarithm);
            for (int k = 0; k < far_terms; ++k) raw[k] += d.basis[j] * b[k];
        }
        if (d.affine) flux_ += d.value * raw[0];
        raws.push_back(raw);
    }
    for (std::size_t k = 0; k < raws.size(); ++k) {
        const Plan::Derivative& d = plan.coefficients[k];
        coefficients_.push_back(Coefficient{.constant = d.constant,
                                            .basis = d.basis,
                                            .flux = raws[k][0],
                                            .far = far_difference(raws[k], moments_, flux_)});
    }
    // The value's rule serves the basis if it is in the same variable and at least as fine.
    // Where a coefficient at zero (or the exponent's logarithm) leaves it unfit, the basis gets
    // a pass of its own, with no value terms.
    Source pass = *this;
    pass.choose_rule(gamma, betas, logarithm);
    // The psi rule outside the source takes whole powers only, not mu^beta ln(mu).
    pass.whole_powers_ = pass.whole_powers_ && !logarithm;
    // A steep limb's panels in v are the same whatever the rough limb or a peaked term.
    const bool fits =
        pass.gamma_ == gamma_ &&
        (steep_limb_ || ((!pass.rough_limb_ || rough_limb_) && (!pass.peaked_ || peaked_)));
    if (!fits) {
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
    if (tiny(u, rho)) {
        const int shift = tiny_shift(u, rho);
        Gradient g = with_coefficients<WithGradient>(std::ldexp(u, shift), std::ldexp(rho, shift),
                                                     d_coefficients);
        for (std::size_t k = 0; k < n; ++k)
            d_coefficients[k] = std::ldexp(d_coefficients[k], shift);
        return Gradient{.a = std::ldexp(g.a, shift),
                        .da_du = std::ldexp(g.da_du, 2 * shift),
                        .da_drho = std::ldexp(g.da_drho, 2 * shift)};
    }
    if (u > 0 && u < std::numeric_limits<double>::min()) {
        // A subnormal u is the centre to far below rounding, (u / rho)^2 < 1e-400, in the
        // coefficients' slopes too, whose table segments do not survive a kink that close.
        with_coefficients<false>(0.0, rho, d_coefficients);
        if constexpr (WithGradient) return gradient(u, rho);
        return evaluate<false>(u, rho);
    }
    if (std::isnan(u) || std::isinf(u) || n == 0 || far_for_law(u, rho)) {
        const double fill = std::isnan(u) ? nan : 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            d_coefficients[slot(k)] =
                std::isfinite(u) ? far_field_difference(u, rho, coefficients_[k].far) : fill;
        }
        if constexpr (WithGradient) return gradient(u, rho);
        return evaluate<false>(u, rho);
    }
    BasisSums sums;
    std::vector<double> segments;
    if (kind_ == Kind::tabulated || kind_ == Kind::mu_table) {
        segments.assign(kind_ == Kind::mu_table ? mu_slope_.size() : table_step_.size(), 0.0);
        sums.segment = segments.data();
    }
    Gradient g = evaluate<WithGradient>(u, rho, &sums);
    if constexpr (WithGradient) g = near_centre(g, u, rho);
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
            d_coefficients[slot(k)] = (f - a * c.flux) / flux_;
            continue;
        }
        if (kind_ == Kind::tabulated) {
            // F[hat_k] = hat_k(1) A_U - (rising slope) G_k-1 + (falling slope) G_k.
            if (k + 1 == n) f += sums.uniform;
            if (k > 0) f -= segments[k - 1] / (table_r_[k] - table_r_[k - 1]);
            if (k + 1 < n) f += segments[k] / (table_r_[k + 1] - table_r_[k]);
        } else {
            const auto term_of = [&](std::size_t j) {
                const BasisTerm& b = basis_[j];
                double term = sums.term[j];
                // The share of mu^beta ln(mu) with psi_exponent 0 is h(psi) ln(psi) / gamma near
                // the limb, h(0) = 2^beta scale A_U(u, rho): the rule's error on h(0) ln(psi),
                // known exactly, is taken off, leaving (h - h(0)) ln(psi), which the rule
                // integrates to the last digits.
                if (b.logarithm && b.psi_exponent == 0.0 && !steep_limb_)
                    term -= (std::pow(2.0, b.beta) * b.scale) * sums.uniform * sums.log_error;
                return term;
            };
            for (std::size_t j = 0; j < basis_.size(); ++j) f += c.basis[j] * term_of(j);
            if (!std::isfinite(f - a * c.flux)) {
                // Power2's dI/dalpha carries c, which may be near the largest double: F and
                // A N of it overflow, their ratios to the law's flux do not.
                double scaled = (c.constant / flux_) * sums.uniform;
                for (std::size_t j = 0; j < basis_.size(); ++j)
                    scaled += (c.basis[j] / flux_) * term_of(j);
                d_coefficients[k] = scaled - a * (c.flux / flux_);
                continue;
            }
        }
        d_coefficients[k] = (f - a * c.flux) / flux_;
    }
    return g;
}

template Gradient Source::with_coefficients<false>(double, double, double*) const;
template Gradient Source::with_coefficients<true>(double, double, double*) const;

} // namespace lumagnis::models::fspl
