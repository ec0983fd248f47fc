#include "models/witt_mao.hpp"

#include <cmath>

#include "models/batch.hpp"
#include "special/complete_elliptic.hpp"

namespace lumagnis::models {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double half_pi = 1.5707963267948966;
constexpr double two_pi = 6.283185307179586;

// Half-width of the limb band, relative to the source radius. Near u = rho the characteristic
// n tends to 1 and the general form cancels catastrophically; inside the band the closed form
// for a lens exactly on the limb is used. Scaling the band with rho keeps it a fixed fraction
// of the source: a fixed width in Einstein radii would cover most of a small source and
// nothing of a large one.
constexpr double limb_band = 1e-5;

} // namespace

WittMaoSource::WittMaoSource(double re, double rstar)
    : rho(rstar / re), rho2(rho * rho), four_rho(4 * rho), two_rho2(rho2 + rho2),
      one_plus_rho2(1 + rho2), two_over_rho(2 / rho), w(one_plus_rho2 / rho2),
      q((-1 + rho2) / one_plus_rho2) {}

bool WittMaoSource::on_limb(double delta) const {
    // Written as a product, not as |l - 1| or a quotient: those choose the other case at the
    // band edges. `delta == 0.0` keeps rho = 0 (an empty band) on the limb form.
    return std::fabs(delta) < limb_band * std::fabs(rho) || delta == 0.0;
}

double WittMaoSource::limb_value() const {
    return ((std::asin(q) + half_pi) * w + two_over_rho) / pi;
}

std::expected<double, Failure> witt_mao_element(double l, const WittMaoSource& source) {
    const double rho = source.rho;
    const double rho2 = source.rho2;
    const double u = l * rho;
    const double delta = u - rho;
    if (source.on_limb(delta)) return source.limb_value();

    const double s = std::sqrt(delta * delta + 4);
    const double n = (source.four_rho * u) / ((rho + u) * (rho + u));
    const double t = std::sqrt(n * 4) / s;
    const double m = t * t;

    const special::Result e = special::ellipe(m);
    if (!e) return std::unexpected(e.error());
    const special::Result k = special::ellipk(m);
    if (!k) return std::unexpected(k.error());
    const special::Result p = special::ellippi(n, m);
    if (!p) return std::unexpected(p.error());

    const double term_e = *e * ((s * (rho + u)) / source.two_rho2);
    const double term_k = ((delta * ((u * u - rho2) * 0.5 + 4)) / (rho2 * s)) * *k;
    const double term_p =
        *p * ((source.one_plus_rho2 * (delta * delta + delta * delta)) / ((rho2 * (rho + u)) * s));
    const double sum = term_p + (term_e - term_k);
    // S/pi in exact arithmetic; the two quotients are what is computed, and they differ from
    // S/pi in the last bits.
    return (sum - pi) / two_pi + (sum + pi) / two_pi;
}

std::expected<FloatVector, Failure> witt_mao_kernel(const FloatVector& l, double re, double rstar) {
    const WittMaoSource source(re, rstar);
    FloatVector result;
    result.reserve(l.size());
    for (const double lk : l) {
        const std::expected<double, Failure> a = witt_mao_element(lk, source);
        if (!a) return std::unexpected(a.error());
        result.push_back(*a);
    }
    return result;
}

std::expected<FloatVector, Failure> witt_mao_magnification(const FloatVector& l, double re,
                                                           double rstar) {
    FloatVector result(l.size());
    batch::witt_mao_values(l.data(), re, rstar, result.data(), l.size());
    // NaN marks an element whose value is NaN or whose evaluation fails; only the scalar
    // kernel, in order, tells which, and the first failure ends the call.
    const WittMaoSource source(re, rstar);
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (!std::isnan(result[i])) continue;
        const std::expected<double, Failure> a = witt_mao_element(l[i], source);
        if (!a) return std::unexpected(a.error());
        result[i] = *a;
    }
    return result;
}

} // namespace lumagnis::models
