#include "models/witt_mao.hpp"

#include <cmath>

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

std::expected<FloatVector, Failure> witt_mao_kernel(const FloatVector& l, double re,
                                                    double rstar) {
    const double rho = rstar / re;
    const double rho2 = rho * rho;
    const double four_rho = 4 * rho;
    const double two_rho2 = rho2 + rho2;
    const double one_plus_rho2 = 1 + rho2;
    const double two_over_rho = 2 / rho;
    const double w = one_plus_rho2 / rho2;
    const double q = (-1 + rho2) / one_plus_rho2;

    FloatVector result;
    result.reserve(l.size());
    for (const double lk : l) {
        const double u = lk * rho;
        const double delta = u - rho;
        // Written as a product, not as |l - 1| or a quotient: those choose the other case at
        // the band edges. `delta == 0.0` keeps rho = 0 (an empty band) on the limb form.
        if (std::fabs(delta) < limb_band * std::fabs(rho) || delta == 0.0) {
            result.push_back(((std::asin(q) + half_pi) * w + two_over_rho) / pi);
            continue;
        }
        const double s = std::sqrt(delta * delta + 4);
        const double n = (four_rho * u) / ((rho + u) * (rho + u));
        const double t = std::sqrt(n * 4) / s;
        const double m = t * t;

        const special::Result e = special::ellipe(m);
        if (!e) return std::unexpected(e.error());
        const special::Result k = special::ellipk(m);
        if (!k) return std::unexpected(k.error());
        const special::Result p = special::ellippi(n, m);
        if (!p) return std::unexpected(p.error());

        const double term_e = *e * ((s * (rho + u)) / two_rho2);
        const double term_k = ((delta * ((u * u - rho2) * 0.5 + 4)) / (rho2 * s)) * *k;
        const double term_p =
            *p * ((one_plus_rho2 * (delta * delta + delta * delta)) / ((rho2 * (rho + u)) * s));
        const double sum = term_p + (term_e - term_k);
        // S/pi in exact arithmetic; the two quotients are what is computed, and they differ
        // from S/pi in the last bits.
        result.push_back((sum - pi) / two_pi + (sum + pi) / two_pi);
    }
    return result;
}

} // namespace lumagnis::models
