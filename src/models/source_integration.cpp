#include "models/source_integration.hpp"

#include <cmath>

namespace lumagnis::models {

double limb_darkening_profile(double x) {
    const double s = std::sqrt(1 - x * x);
    return (1 - s) * (-0.6) + 1;
}

double derivative_step() {
    // A function-local static: initialised once, thread-safely, on first use.
    static const double step = std::cbrt(2.220446049250313e-16);
    return step;
}

std::expected<FloatVector, Failure> integrated_heyrovsky_magnification(const FloatVector& l,
                                                                       double re, double rstar) {
    return integrate_heyrovsky(l, re, rstar, limb_darkening_profile, limb_darkened_flux);
}

std::expected<FloatVector, Failure> integrated_witt_mao_magnification(const FloatVector& l,
                                                                      double re, double rstar) {
    return integrate_witt_mao(l, re, rstar, limb_darkening_profile, limb_darkened_flux);
}

} // namespace lumagnis::models
