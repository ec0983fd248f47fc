#include "models/batch.hpp"

#include <cmath>
#include <limits>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "special/elliptic_detail.hpp"

namespace lumagnis::models::batch {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool detect_vectorised() {
#if defined(LUMAGNIS_HAVE_AVX2)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

} // namespace

double scalar_ring_value(double l, double r, double re, double rstar) {
    const std::expected<double, Failure> value = heyrovsky_kernel(l, r, re, rstar);
    return value ? *value : nan;
}

double scalar_disk_value(double l, const WittMaoSource& source) {
    const std::expected<double, Failure> value = witt_mao_element(l, source);
    return value ? *value : nan;
}

double scalar_rj_correction(double e, double d, double rx, double ry, double rz, double rp,
                            double p, bool& failed) {
    const special::Result v = special::detail::rj_correction(e, d, rx, ry, rz, rp, p);
    failed = !v;
    return v ? *v : nan;
}

bool vectorised() {
    static const bool available = detect_vectorised();
    return available;
}

namespace portable {

void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count) {
    const double kappa = re / rstar;
    for (std::size_t i = 0; i < count; ++i) {
        if (heyrovsky_parameter_is_nan(l, r[i], kappa)) {
            out[i] = nan;
            continue;
        }
        out[i] = scalar_ring_value(l, r[i], re, rstar);
    }
}

void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count) {
    const WittMaoSource source(re, rstar);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = scalar_disk_value(l[i], source);
    }
}

} // namespace portable

void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count) {
#if defined(LUMAGNIS_HAVE_AVX2)
    if (vectorised()) return avx2::heyrovsky_values(l, re, rstar, r, out, count);
#endif
    portable::heyrovsky_values(l, re, rstar, r, out, count);
}

void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count) {
#if defined(LUMAGNIS_HAVE_AVX2)
    if (vectorised()) return avx2::witt_mao_values(l, re, rstar, out, count);
#endif
    portable::witt_mao_values(l, re, rstar, out, count);
}

} // namespace lumagnis::models::batch
