#include "models/witt_mao.hpp"

#include <cmath>

#include "models/batch.hpp"
#include "models/kernel_formulas.hpp"
#include "numerics/constants.hpp"
#include "numerics/lanes.hpp"
#include "special/complete_elliptic.hpp"

namespace lumagnis::models {
namespace {

using Scalar = numerics::ScalarLanes;

} // namespace

WittMaoSource::WittMaoSource(double re, double rstar)
    : rho(rstar / re), rho2(rho * rho), four_rho(4 * rho), two_rho2(rho2 + rho2),
      one_plus_rho2(1 + rho2), two_over_rho(2 / rho), w(one_plus_rho2 / rho2),
      q((-1 + rho2) / one_plus_rho2) {}

bool WittMaoSource::on_limb(double delta) const { return formulas::on_limb<Scalar>(delta, *this); }

double WittMaoSource::limb_value() const {
    return ((std::asin(q) + constants::half_pi) * w + two_over_rho) / constants::pi;
}

std::expected<double, Failure> witt_mao_element(double l, const WittMaoSource& source) {
    const formulas::DiskPosition<Scalar> at = formulas::disk_position<Scalar>(l, source);
    if (source.on_limb(at.delta)) return source.limb_value();

    const formulas::DiskGeometry<Scalar> disk = formulas::disk_geometry<Scalar>(at, source);
    const special::Result e = special::ellipe(disk.m);
    if (!e) return std::unexpected(e.error());
    const special::Result k = special::ellipk(disk.m);
    if (!k) return std::unexpected(k.error());
    const special::Result p = special::ellippi(disk.n, disk.m);
    if (!p) return std::unexpected(p.error());
    return formulas::disk_value<Scalar>(at, disk, source, *e, *k, *p);
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
