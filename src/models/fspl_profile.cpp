// Which intensity laws can weight the source disk: finite coefficients, an intensity that is
// nowhere negative and not zero everywhere. Every law is checked through its exact minimum over
// the disk, found in closed form, so that a coefficient just past the rule is refused and one
// on it is accepted.

#include <cmath>
#include <cstddef>
#include <variant>

#include "models/fspl.hpp"
#include "models/fspl_quartic.hpp"
#include "numerics/constants.hpp"

namespace lumagnis::models::fspl {
namespace {

// The fixed texts, written once: each names the law's parameters and the rule they break.
namespace texts {

inline constexpr const char* linear =
    "Linear: a must be finite and at most 1 (the intensity 1 - a at the limb must not be "
    "negative)";
inline constexpr const char* quadratic_finite = "Quadratic: a and b must be finite";
inline constexpr const char* quadratic_negative =
    "Quadratic: a and b must keep the intensity 1 - a (1 - mu) - b (1 - mu)^2 non-negative for "
    "every mu in [0, 1]";
inline constexpr const char* square_root_finite = "SquareRoot: c and d must be finite";
inline constexpr const char* square_root_negative =
    "SquareRoot: c and d must keep the intensity 1 - c (1 - mu) - d (1 - sqrt(mu)) non-negative "
    "for every mu in [0, 1]";
inline constexpr const char* power2_alpha = "Power2: alpha must be within [0.001, 200]";
inline constexpr const char* power2_c =
    "Power2: c must be finite and at most 1 (the intensity 1 - c at the limb must not be "
    "negative)";
inline constexpr const char* nonlinear_finite = "Nonlinear: a1, a2, a3 and a4 must be finite";
inline constexpr const char* nonlinear_negative =
    "Nonlinear: a1, a2, a3 and a4 must keep the intensity 1 - a1 (1 - mu^(1/2)) - a2 (1 - mu) - "
    "a3 (1 - mu^(3/2)) - a4 (1 - mu^2) non-negative for every mu in [0, 1]";
inline constexpr const char* tabulated_mu_lengths =
    "Tabulated.from_mu: mu and intensity must have the same length, at least 1";
inline constexpr const char* tabulated_mu_samples =
    "Tabulated.from_mu: mu must be strictly ascending or strictly descending and within [0, 1]";
inline constexpr const char* tabulated_mu_intensity =
    "Tabulated.from_mu: intensity must be finite and non-negative, and not zero everywhere";
inline constexpr const char* tabulated_lengths =
    "Tabulated: r and intensity must have the same length, at least 1";
inline constexpr const char* tabulated_radii =
    "Tabulated: r must be strictly ascending and within [0, 1]";
inline constexpr const char* tabulated_intensity =
    "Tabulated: intensity must be finite and non-negative, and not zero everywhere";

} // namespace texts

// The least value over s in [0, 1] of the parabola f(s) = f(0) + slope s + curvature s^2,
// whose ends f(0) and f(1) are given as the law evaluates them. Only a convex parabola whose
// vertex s = -slope / (2 curvature) lies strictly inside can go lower than its ends, to
// f(0) - slope^2 / (4 curvature) there.
double least_on_unit_interval(double at_zero, double at_one, double slope, double curvature) {
    const double ends = at_zero < at_one ? at_zero : at_one;
    if (curvature > 0.0 && slope < 0.0 && -slope < 2.0 * curvature) {
        // Coefficients near the largest double would overflow slope^2 (and make the depth
        // inf / inf): they are brought to order one by a power of two, which is exact.
        const int exponent = std::ilogb(std::fmax(-slope, curvature));
        const int shift = exponent > 500 ? exponent : 0;
        const double s = std::scalbn(slope, -shift);
        const double c = std::scalbn(curvature, -shift);
        const double at_vertex = at_zero - std::scalbn(s * s / (4.0 * c), shift);
        return at_vertex < ends ? at_vertex : ends;
    }
    return ends;
}

const char* check(const Uniform&) { return nullptr; }

// 1 - a (1 - mu) is monotonic in mu: 1 at the centre, 1 - a at the limb.
const char* check(const Linear& law) {
    return std::isfinite(law.a) && law.a <= 1.0 ? nullptr : texts::linear;
}

// In x = 1 - mu, which runs over [0, 1]: 1 - a x - b x^2.
const char* check(const Quadratic& law) {
    if (!std::isfinite(law.a) || !std::isfinite(law.b)) return texts::quadratic_finite;
    const double at_limb = 1.0 - law.a - law.b;
    return least_on_unit_interval(1.0, at_limb, -law.a, -law.b) >= 0.0 ? nullptr
                                                                       : texts::quadratic_negative;
}

// In s = sqrt(mu), which runs over [0, 1], 1 - mu = 1 - s^2 and the intensity is the parabola
// (1 - c - d) + d s + c s^2. Its value at the limb is taken as the law writes it: rewriting it
// through other coefficient combinations first would round away a limb just below zero.
const char* check(const SquareRoot& law) {
    if (!std::isfinite(law.c) || !std::isfinite(law.d)) return texts::square_root_finite;
    const double at_limb = 1.0 - law.c - law.d;
    return least_on_unit_interval(at_limb, 1.0, law.d, law.c) >= 0.0 ? nullptr
                                                                     : texts::square_root_negative;
}

// For alpha > 0, mu^alpha runs monotonically from 0 at the limb to 1 at the centre, so the
// intensity lies between 1 - c and 1. The exponents accepted are those over which the
// integration is checked against high-precision references: beyond them the term's pole of
// order alpha - 1 at t = +-i outgrows the longest rule, and towards zero the law tends to a
// uniform disk with a bright rim of vanishing width.
const char* check(const Power2& law) {
    if (!(law.alpha >= constants::power2_alpha_min && law.alpha <= constants::power2_alpha_max))
        return texts::power2_alpha;
    return std::isfinite(law.c) && law.c <= 1.0 ? nullptr : texts::power2_c;
}

// In s = sqrt(mu) the intensity is a quartic on [0, 1], whose sign is decided exactly.
const char* check(const Nonlinear& law) {
    const double a[4] = {law.a1, law.a2, law.a3, law.a4};
    for (const double c : a) {
        if (!std::isfinite(c)) return texts::nonlinear_finite;
    }
    return quartic_law_nonnegative(a) ? nullptr : texts::nonlinear_negative;
}

// Linear interpolation never leaves the range of its samples, and the extension beyond the
// first and last radius repeats a sample: the samples' signs are the intensity's.
const char* check(const Tabulated& law) {
    const std::size_t n = law.r.size();
    if (n == 0 || law.intensity.size() != n) return texts::tabulated_lengths;
    // Negated comparisons so that NaN radii are refused too.
    if (!(law.r[0] >= 0.0) || !(law.r[n - 1] <= 1.0)) return texts::tabulated_radii;
    for (std::size_t i = 1; i < n; ++i) {
        if (!(law.r[i - 1] < law.r[i])) return texts::tabulated_radii;
    }
    bool somewhere_bright = false;
    for (const double value : law.intensity) {
        if (!(std::isfinite(value) && value >= 0.0)) return texts::tabulated_intensity;
        somewhere_bright = somewhere_bright || value > 0.0;
    }
    return somewhere_bright ? nullptr : texts::tabulated_intensity;
}

// As for a table in r: the samples' signs are the intensity's.
const char* check(const TabulatedMu& law) {
    const std::size_t n = law.mu.size();
    if (n == 0 || law.intensity.size() != n) return texts::tabulated_mu_lengths;
    const bool ascending = n == 1 || law.mu[0] < law.mu[1];
    for (const double mu : law.mu) {
        if (!(mu >= 0.0 && mu <= 1.0)) return texts::tabulated_mu_samples;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (!(ascending ? law.mu[i - 1] < law.mu[i] : law.mu[i - 1] > law.mu[i]))
            return texts::tabulated_mu_samples;
    }
    bool somewhere_bright = false;
    for (const double value : law.intensity) {
        if (!(std::isfinite(value) && value >= 0.0)) return texts::tabulated_mu_intensity;
        somewhere_bright = somewhere_bright || value > 0.0;
    }
    return somewhere_bright ? nullptr : texts::tabulated_mu_intensity;
}

} // namespace

const char* profile_error(const Profile& profile) {
    return std::visit([](const auto& law) { return check(law); }, profile);
}

} // namespace lumagnis::models::fspl
