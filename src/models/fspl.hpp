#pragma once
// Finite-source point-lens magnification in the modeller's conventions: the separation u and
// the source radius rho in Einstein radii, and the classical quantity, the brightness-weighted
// mean of the point-lens magnification over the source disk.
//
// Python-free and pure: safe to call from many threads at once. Inputs are expected valid
// (the binding checks them first): rho finite and positive, u >= 0, +inf or NaN, profiles
// accepted by profile_error(). u = NaN gives NaN, u = +inf gives 1.

#include <cstddef>
#include <variant>
#include <vector>

#include "models/fspl_disk.hpp"

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
// Linear in the radius r between the samples (r strictly ascending within [0, 1]); beyond
// the first and last sample the intensity is that of the nearest sample.
struct Tabulated {
    std::vector<double> r;
    std::vector<double> intensity;
};

using Profile = std::variant<Uniform, Linear, Quadratic, SquareRoot, Power2, Tabulated>;

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

private:
    template <bool WithGradient> Gradient evaluate(double u, double rho) const;
    template <bool WithGradient> void add_power_law(double u, double rho, Gradient& sum) const;
    template <bool WithGradient> void add_steep_limb(double u, double rho, Gradient& sum) const;
    template <bool WithGradient> void add_tabulated(double u, double rho, Gradient& sum) const;

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
    enum class Kind { uniform, power_law, tabulated };

    Kind kind_ = Kind::uniform;
    double norm_ = 1.0;           // the integral of 2 r I(r) dr over [0, 1]
    double limb_intensity_ = 1.0; // I at r = 1
    // The weight of the uniform disk of radius rho: I(1), and for a steep limb the share of
    // -I'(r) dr closest to the limb, where r^2 A_U(u, rho r) is A_U(u, rho) to the last bit.
    double limb_weight_ = 1.0;
    double gamma_ = 1.0;
    bool rough_limb_ = false;      // a fractional power of psi left at the limb
    bool peaked_ = false;          // an exponent beta > 3, whose pole at t = +-i needs more nodes
    bool steep_limb_ = false;      // gamma so small that psi^(1 / gamma) crowds out the interior
    std::vector<PowerTerm> terms_; // the terms with beta > 0
    std::vector<double> table_r_;
    std::vector<double> table_step_; // I(r_k+1) - I(r_k), the intensities scaled to a peak of 1
    bool concentrated_ = false;      // a table whose flux sits in a small part of the disk
    Moments moments_{};
};

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

} // namespace lumagnis::models::fspl
