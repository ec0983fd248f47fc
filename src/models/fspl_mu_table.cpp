// A table of the intensity in mu, prepared for Source: its samples in ascending mu, their
// positions in the variable t = tan(phi / 2) = mu / (1 + r) in which it is integrated, its
// slopes dI/dmu, and its flux and moments in closed form.

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "models/fspl.hpp"
#include "models/fspl_moments.hpp"

namespace lumagnis::models::fspl {

void Source::prepare_mu_table(const TabulatedMu& table) {
    kind_ = Kind::mu_table;
    std::vector<double> mu = table.mu;
    const std::size_t n = mu.size();
    // Only the shape matters: the intensities are divided by the largest, as for a table in r.
    double peak = 0.0;
    for (const double value : table.intensity) peak = std::fmax(peak, value);
    std::vector<double> v;
    for (const double value : table.intensity) v.push_back(value / peak);
    table_reversed_ = n > 1 && mu[0] > mu[1];
    if (table_reversed_) {
        std::reverse(mu.begin(), mu.end());
        std::reverse(v.begin(), v.end());
    }
    for (std::size_t k = 0; k < n; ++k) {
        // r = sqrt((1 - mu)(1 + mu)) keeps its digits near the centre, where 1 - mu^2 cancels.
        table_r_.push_back(mu[k] / (1 + std::sqrt((1 - mu[k]) * (1 + mu[k]))));
        // w = 1 - sqrt(1 - mu), formed without the difference that loses a small one's digits.
        table_w_.push_back(mu[k] / (1 + std::sqrt(1 - mu[k])));
        if (k + 1 < n) mu_slope_.push_back((v[k + 1] - v[k]) / (mu[k + 1] - mu[k]));
    }
    table_mu_ = mu;
    // Linear in mu about the centre, where mu = sqrt(1 - r^2), the intensity is even and
    // analytic there, as a law in mu is, and takes the same slopes near the centre (gradient),
    // unless a sample's ring lies within the reach of their fit (2e-3 of the radius).
    double innermost = 1.0;
    for (const double m : mu) {
        if (m < 1.0) innermost = std::fmin(innermost, std::sqrt((1 - m) * (1 + m)));
    }
    smooth_centre_ = innermost > 5e-3;
    // Beyond the samples the intensity is the nearest sample's: v[0] out to the limb.
    limb_intensity_ = v[0];
    limb_weight_ = limb_intensity_;
    std::array<double, far_terms> raw{};
    add_mu_piece_moments(raw, 0.0, mu[0], v[0], v[0]);
    for (std::size_t k = 0; k + 1 < n; ++k)
        add_mu_piece_moments(raw, mu[k], mu[k + 1], v[k], v[k + 1]);
    add_mu_piece_moments(raw, mu[n - 1], 1.0, v[n - 1], v[n - 1]);
    norm_ = raw[0];
    for (int k = 0; k < far_terms; ++k) moments_.m[k] = raw[k] / norm_;
}

} // namespace lumagnis::models::fspl
