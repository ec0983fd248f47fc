#pragma once
// Finite-source point-lens magnification in the modeller's conventions: the separation u and
// the source radius rho in Einstein radii, and the classical quantity, the brightness-weighted
// mean of the point-lens magnification over the source disk.
//
// Python-free and pure: safe to call from many threads at once. Inputs are expected valid
// (the binding checks them first): rho finite and positive, u >= 0, +inf or NaN, profiles
// accepted by profile_error(). u = NaN gives NaN, u = +inf gives 1.

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "models/fspl_disk.hpp"
#include "models/fspl_disk_rim.hpp"
#include "numerics/gauss_jacobi.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {

// Intensity laws, in mu = sqrt(1 - r^2) for a point at radius r (source radii) of the disk.
struct Uniform {};
struct Linear { // 1 - a (1 - mu)
    double a;
};
struct Quadratic { // 1 - a (1 - mu) - b (1 - mu)^2
    double a;
    double b;
};
struct SquareRoot { // 1 - c (1 - mu) - d (1 - sqrt(mu))
    double c;
    double d;
};
struct Power2 { // 1 - c (1 - mu^alpha)
    double c;
    double alpha;
};
// The four-coefficient nonlinear law: 1 - sum_k a_k (1 - mu^(k / 2)), k = 1 .. 4.
struct Nonlinear {
    double a1;
    double a2;
    double a3;
    double a4;
};
// Linear in the radius r between the samples (r strictly ascending within [0, 1]); beyond
// the first and last sample the intensity is that of the nearest sample.
struct Tabulated {
    std::vector<double> r;
    std::vector<double> intensity;
};

// Linear in mu between the samples (mu strictly ascending or descending within [0, 1]), the
// form of the stellar-atmosphere tables; beyond the first and last sample the intensity is that
// of the nearest sample.
struct TabulatedMu {
    std::vector<double> mu;
    std::vector<double> intensity;
};

using Profile =
    std::variant<Uniform, Linear, Quadratic, SquareRoot, Power2, Tabulated, Nonlinear, TabulatedMu>;

// Why `profile` cannot be used (a fixed text naming the parameter and the rule), or nullptr
// when it can: coefficients finite, intensity non-negative everywhere on the disk and not zero
// everywhere, tabulated radii strictly ascending within [0, 1].
const char* profile_error(const Profile& profile);

// The value and its partial derivatives in u and rho.
struct Gradient {
    double a;
    double da_du;
    double da_drho;
};

// (u^2 + 2) / (u sqrt(u^2 + 4)); +inf at u = 0.
double point_source(double u);
// The value and dA/du (0 at u = +inf).
Gradient point_source_gradient(double u); // da_drho is 0

// A profile prepared once for many evaluations: its normalisation and quadrature rule.
class Source {
public:
    explicit Source(Profile profile);

    double magnification(double u, double rho) const;
    // The same `a` bits as magnification(u, rho).
    Gradient gradient(double u, double rho) const;

    // The law's coefficients, in its constructor's order (a table's intensity samples).
    std::size_t coefficient_count() const { return coefficients_.size(); }
    // magnification() or gradient(), to the bit, and the derivatives of A in the law's
    // coefficients in d_coefficients[0 .. coefficient_count()).
    template <bool WithGradient>
    Gradient with_coefficients(double u, double rho, double* d_coefficients) const;

    // Whether (u, rho) lies where the value and the slopes come from the far-field series
    // alone: the points that row() takes. The uniform disk's closed form gives the value
    // nearer than far_for_values (its slopes' series takes over sooner), so its row starts at
    // 10 rho, every other source's at far_for_law's 4 rho; 4 rho rounds to no more than 10 rho
    // does, so the one comparison with row_ratio() implies far_row_point.
    bool in_row(double u, double rho) const { return row_takes(row_ratio(), u, rho); }
    double row_ratio() const {
        return kind_ == Kind::uniform ? far_series::value_ratio : far_series::law_ratio;
    }
    // in_row with row_ratio() looked up once, for a caller that tests many points.
    static bool row_takes(double ratio, double u, double rho) {
        return u > ratio * rho && u <= far_series_end;
    }
    // The points that row<false>() takes, the value alone: those of in_row, and for the uniform
    // disk those of its general closed form too (0 <= u < 10 rho, u != rho), whose lanes each
    // stop on their own convergence.
    bool in_value_row(double u, double rho) const {
        return in_row(u, rho) || (kind_ == Kind::uniform && closed_row_point(u, rho));
    }
    static bool closed_row_point(double u, double rho) {
        return u >= 0 && u != rho && !far_for_values(u, rho);
    }
    // Likewise the points that row<true>() takes: and for the uniform disk those whose slopes
    // are the closed form's own (not the rim integrals' nor the series').
    bool in_gradient_row(double u, double rho) const {
        return in_row(u, rho) || (kind_ == Kind::uniform && closed_slopes_row_point(u, rho));
    }
    static bool closed_slopes_row_point(double u, double rho) {
        return u >= 0 && u != rho && !rim_slopes_apply(u, rho);
    }
    // magnification() (a alone) of far_lanes points that in_value_row accepts, or gradient() of
    // far_lanes points that in_gradient_row accepts, each to the bit as alone, evaluated side
    // by side (da_dradius the slope in rho).
    template <bool WithGradient> void row(const double* u, const double* rho, DiskLanes& out) const;

    // A rule fixed per table: nodes in r^2 (a table in r) or in mu (a table in mu), and the
    // weight of each node's r^2 A_U(u, rho r), the table's slopes integrated against the node's
    // interpolating polynomial once and for all. Empty where the table keeps its segments' rules.
    struct TableRule {
        double z_min;          // the least u / rho it serves
        bool square;           // nodes in r^2, else in mu
        std::vector<double> x; // the nodes, in r^2 or in mu
        std::vector<double> r;
        std::vector<double> weight;
        // The integral over each segment of each node's polynomial (node-major): Lagrange's for
        // the value at the nodes, or Hermite's where the rule is the Gauss rule of the table's
        // slopes, with slope_weight that of the slope's polynomial (else empty).
        std::vector<double> segment_weight;
        std::vector<double> slope_weight;
    };

private:
    struct BasisSums;
    template <bool WithGradient>
    Gradient evaluate(double u, double rho, BasisSums* basis = nullptr) const;
    template <bool WithGradient>
    void add_power_law(double u, double rho, Gradient& sum, BasisSums* basis) const;
    // A law whose only term beyond the constant is c mu (the linear law): that term by chords
    // through the lens (fspl_chord.hpp), where they serve.
    bool chord_law() const {
        return kind_ == Kind::power_law && !steep_limb_ && terms_.size() == 1 &&
               terms_[0].beta == 1.0;
    }
    template <bool WithGradient>
    void add_chord(double u, double rho, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void add_outside(double u, double rho, std::span<const numerics::GaussNode> rule, Gradient& sum,
                     BasisSums* basis) const;
    // The band of rules::outside_mu whose single-term rule serves a lens at z = u / rho, or -1.
    int single_term_band(double z) const;
    // Whether the basis is the single term mu^alpha and its derivative in alpha (Power2's).
    bool exponent_basis() const;
    // With `basis` (exponent_basis()), also the basis terms' shares.
    template <bool WithGradient>
    void add_single_term(double u, double rho, int band, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void add_steep_limb(double u, double rho, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void add_tabulated(double u, double rho, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void add_mu_table(double u, double rho, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void add_table(double u, double rho, Gradient& sum, BasisSums* basis) const;
    template <bool WithGradient>
    void evaluate_terms(double u, double rho, Gradient& sum, BasisSums* basis) const;
    void prepare_mu_table(const TabulatedMu& table);
    // A table read through rules fixed per source, for a lens outside the source
    // (fspl_table_rules.cpp): whether one serves u / rho, and if so its terms added to `sum`.
    void prepare_table_rules();
    // With `segment`, also the integral of r^2 A_U over each segment (in r, or in mu), for the
    // derivatives in the samples.
    template <bool WithGradient>
    bool add_table_rule(double u, double rho, Gradient& sum, double* segment = nullptr) const;
    // Inside the source and at its limb (fspl_table_reads.cpp): the same, through the integral
    // of the radial integrand formed once per separation and read at every sample.
    void prepare_table_reads();
    template <bool WithGradient>
    bool add_table_reads(double u, double rho, Gradient& sum, double* segment = nullptr) const;
    void prepare_coefficients(const Profile& profile);
    // gradient()'s slopes, from evaluate's: dA/du of a law in mu near the centre.
    Gradient near_centre(Gradient g, double u, double rho) const;
    // A lens and a source both below tiny_scale: every separation on the disk is then so small
    // that the point magnification is 1/x to ~1e-42, and A(u, rho) = k A(k u, k rho), the
    // slopes k^2 and the coefficients' k times theirs, to the last bit for k a power of 2.
    // Moved up so that the larger of u and rho lies in [2^-70, 2^-69), the source's inner
    // uniform disks (~1/R^3 at nodes near the centre, their slopes in R ~1/R^2) stay within
    // the doubles, as they do not for rho below ~1e-50.
    static constexpr double tiny_scale = 0x1p-71;
    static int tiny_shift(double u, double rho) { return -70 - std::ilogb(u > rho ? u : rho); }
    bool tiny(double u, double rho) const;
    // The rule of a law whose exponents are `betas` (all positive), its smallest `gamma`:
    // sets gamma_, rough_limb_ (or at least `rough`), steep_limb_ and peaked_.
    void choose_rule(double gamma, const std::vector<double>& betas, bool rough);
    // The weights of the basis terms at one node of add_power_law: `common` is the node's
    // weight times r dmu / dt.
    void basis_weights(double psi, double t, double shrink, double common, int lane,
                       double (*out)[disk_lanes]) const;

    // An analytic law is a sum of terms c mu^beta. Its intensity is integrated in the variable
    // psi, t = tan(phi / 2) = psi^(1 / gamma) with phi the angle from the limb, in which the
    // term's share of -I'(r) dr is scale (2 / (1 + t^2))^mu_exponent psi^psi_exponent times
    // r 2 / (1 + t^2) dpsi: bounded at the limb (psi_exponent >= 0).
    struct PowerTerm {
        double c_beta; // c beta
        double beta;
        double scale;        // c beta / gamma
        double mu_exponent;  // beta - 1
        double psi_exponent; // beta / gamma - 1
    };
    enum class Kind { uniform, power_law, tabulated, mu_table };

    Kind kind_ = Kind::uniform;
    double norm_ = 1.0;           // the integral of 2 r I(r) dr over [0, 1]
    double limb_intensity_ = 1.0; // I at r = 1
    // The weight of the uniform disk of radius rho: I(1), and for a steep limb the share of
    // -I'(r) dr closest to the limb, where r^2 A_U(u, rho r) is A_U(u, rho) to the last bit.
    double limb_weight_ = 1.0;
    double gamma_ = 1.0;
    bool rough_limb_ = false;   // a fractional power of psi left at the limb
    bool peaked_ = false;       // an exponent beta > 3, whose pole at t = +-i needs more nodes
    bool steep_limb_ = false;   // gamma so small that psi^(1 / gamma) crowds out the interior
    bool whole_powers_ = false; // gamma 1 or 1/2, every term a power psi^k, k <= 3 (psi = mu^gamma)
    // A law of one term mu^alpha not in whole powers (and not peaked): its rules in mu
    // for the lens outside the source, one per band of rules::outside_mu; else empty.
    std::array<std::vector<numerics::GaussNode>, 3> single_term_rules_;
    // Their nodes' and weights' derivatives in alpha, which carry the basis term
    // mu^alpha ln(mu) = d(mu^alpha) / dalpha on the same nodes.
    std::array<std::vector<numerics::GaussSlope>, 3> single_term_slopes_;
    std::vector<PowerTerm> terms_; // the terms with beta > 0
    std::vector<double> table_r_;
    std::vector<double> table_step_; // I(r_k+1) - I(r_k), the intensities scaled to a peak of 1
    bool concentrated_ = false;      // a table whose flux sits in a small part of the disk
    std::vector<double> table_mu_;   // a table in mu: its samples, ascending (table_r_: their t)
    std::vector<double> table_w_;    // a table in mu: its samples' w = 1 - sqrt(1 - mu)
    std::vector<double> mu_slope_;   // a table in mu: dI/dmu on each segment, scaled as above
    bool table_reversed_ = false;    // a table in mu given in descending mu
    bool smooth_centre_ = false;     // a table in mu with no sample within 5e-3 of the centre
    std::vector<TableRule> table_rules_;
    // The change of slope at each sample (of dI/dr, or of dI/dmu for a table in mu), where the
    // table is read through the integral formed per separation; else empty.
    std::vector<double> slope_change_;
    Moments moments_{};

    // The derivatives in the coefficients. dI/dp for each coefficient p is a combination of
    // the constant 1 and basis functions b_j: mu^beta_j, or mu^beta ln(mu) for Power2's
    // exponent; A is linear-fractional in it, dA/dp = (F[dI/dp] - A N[dI/dp]) / N with F the
    // numerator and N the flux, both linear in the intensity. F[b_j] are integrated over the
    // same nodes as the value where the rule suits them, else in a pass of their own.
    struct BasisTerm {
        double beta;
        double scale;        // beta / gamma, or 1 / gamma with the logarithm
        double mu_exponent;  // beta - 1
        double psi_exponent; // beta / gamma - 1
        bool logarithm;      // mu^beta ln(mu): -b'(r) dr = mu^(beta - 1) (1 + beta ln mu) dmu
    };
    static constexpr int max_basis = 4;
    struct Coefficient {
        double constant;                     // the weight of 1 in dI/dp
        std::array<double, max_basis> basis; // the weights of b_j (a table: unused)
        double flux;                         // N[dI/dp]
        Moments far;                         // (moments of dI/dp - N[dI/dp] moments_) / N
    };
    struct BasisSums {
        double uniform = 0.0;        // F[1] = A_U(u, rho)
        double term[max_basis] = {}; // F[b_j]
        double* segment = nullptr;   // a table: the integral of r^2 A_U over each segment
        // The rule's error on the integral of ln(psi) over the pieces, which corrects the
        // logarithm's share at the limb (see with_coefficients).
        double log_error = 0.0;
    };
    std::vector<BasisTerm> basis_;
    bool limb_logarithm_ = false; // a basis term ~ ln(psi) at the limb, psi_exponent 0
    std::vector<Coefficient> coefficients_;
    double flux_ = 1.0; // N, the law's flux as given (norm_ is that of the scaled intensity)
    std::shared_ptr<const Source>
        basis_pass_; // the basis' own rule, where the value's does not suit
};

// The value and derivatives along a straight trajectory, as curve_magnification (A only) or
// curve_gradient gives them, and the derivatives in the law's coefficients (not moved by the
// trajectory) in d_coefficients[0 .. source.coefficient_count()).
double curve_with_coefficients(const Source& source, double t, double t0, double u0, double te,
                               double rho, double* d_coefficients);
struct CurveGradient;
CurveGradient curve_gradient_with_coefficients(const Source& source, double t, double t0, double u0,
                                               double te, double rho, double* d_coefficients);

// Along a straight trajectory: u = sqrt(u0^2 + ((t - t0) / tE)^2).
struct CurveGradient {
    double a;
    double da_dt0;
    double da_du0;
    double da_dte;
    double da_drho;
};
double curve_magnification(const Source& source, double t, double t0, double u0, double te,
                           double rho);
CurveGradient curve_gradient(const Source& source, double t, double t0, double u0, double te,
                             double rho);
// The separation at one epoch, that of curve_magnification.
double curve_separation(double t, double t0, double u0, double te);
// curve_magnification (a alone) or curve_gradient of far_lanes epochs, each to the bit as alone;
// args[l] = {t, t0, u0, tE, rho}, and every separation one that source.in_value_row (a alone)
// or source.in_gradient_row accepts.
template <bool WithGradient>
void curve_row(const Source& source, const double (*args)[5], CurveGradient* out);

} // namespace lumagnis::models::fspl
