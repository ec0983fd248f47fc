// Far-field points of a source side by side: the series' row, with the finishing steps that
// Source::evaluate gives a far-field point, so that a point's bits are those it has alone.

#include "models/fspl.hpp"

namespace lumagnis::models::fspl {

template <bool WithGradient>
void Source::row(const double* u, const double* rho, DiskLanes& out) const {
    if (kind_ != Kind::uniform) {
        far_field_row<WithGradient>(u, rho, moments_, out);
        return;
    }
    far_field_row<WithGradient>(u, rho, uniform_moments(), out);
    // The uniform disk's value is kept from below 1, as in evaluate (the series' exceeds 1
    // anyway).
    for (int l = 0; l < far_lanes; ++l) out.a[l] = out.a[l] < 1.0 ? 1.0 : out.a[l];
}

template void Source::row<false>(const double*, const double*, DiskLanes&) const;
template void Source::row<true>(const double*, const double*, DiskLanes&) const;

} // namespace lumagnis::models::fspl
