#include "special/bulirsch.hpp"

#include <cmath>

namespace lumagnis::special {
namespace {

constexpr double half_pi = 1.5707963267948966;

// The iteration stops once kc and the running mean agree to this relative tolerance; the
// convergence is quadratic, so the next step's error, about its square, is below the
// rounding error of the result.
constexpr double cel_tolerance = 1e-8;

// A bound far above the iterations that any kc > 0 representable in double needs (about 7
// for kc = 1e-300), so that a NaN, which never meets the tolerance, still ends the loop.
constexpr int cel_max_steps = 40;

} // namespace

double cel(double kc, double p, double a, double b) {
    double e = kc;
    double m = 1.0;
    double pp = std::sqrt(p);
    double aa = a;
    double bb = b / pp;
    for (int step = 0; step < cel_max_steps; ++step) {
        const double f = aa;
        aa = aa + bb / pp;
        const double g = e / pp;
        bb = bb + f * g;
        bb = bb + bb;
        pp = g + pp;
        const double previous = m;
        m = kc + m;
        if (!(std::fabs(previous - kc) > previous * cel_tolerance)) break;
        kc = std::sqrt(e);
        kc = kc + kc;
        e = kc * m;
    }
    return half_pi * (bb + aa * m) / (m * (m + pp));
}

} // namespace lumagnis::special
