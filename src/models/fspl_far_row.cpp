// The far-field row on the widest vectors the processor has; a row across u = 2 point by point.

#include "models/fspl_far_row.hpp"

#include "models/fspl_lanes.hpp"

namespace lumagnis::models::fspl {

namespace far_rows::portable {
template <bool WithGradient>
bool row(const double* u, const double* radius, const Moments& moments, DiskLanes& out) {
    return far_row::row<WithGradient>(u, radius, moments, out);
}
template bool row<false>(const double*, const double*, const Moments&, DiskLanes&);
template bool row<true>(const double*, const double*, const Moments&, DiskLanes&);
} // namespace far_rows::portable

#if !defined(LUMAGNIS_HAVE_AVX2)
namespace far_rows::avx2 {
// Never called where the AVX2 file is not built: vectorised() is false there.
template <bool WithGradient> bool row(const double*, const double*, const Moments&, DiskLanes&) {
    return false;
}
template bool row<false>(const double*, const double*, const Moments&, DiskLanes&);
template bool row<true>(const double*, const double*, const Moments&, DiskLanes&);
} // namespace far_rows::avx2
#endif

template <bool WithGradient>
void far_field_row(const double* u, const double* radius, const Moments& moments, DiskLanes& out) {
    const bool done = lanes::vectorised()
                          ? far_rows::avx2::row<WithGradient>(u, radius, moments, out)
                          : far_rows::portable::row<WithGradient>(u, radius, moments, out);
    if (done) return;
    for (int l = 0; l < far_lanes; ++l) {
        const DiskValue one = far_field<WithGradient>(u[l], radius[l], moments);
        out.a[l] = one.a;
        out.da_du[l] = one.da_du;
        out.da_dradius[l] = one.da_dradius;
    }
}

template void far_field_row<false>(const double*, const double*, const Moments&, DiskLanes&);
template void far_field_row<true>(const double*, const double*, const Moments&, DiskLanes&);

} // namespace lumagnis::models::fspl
