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
    // The uniform disk's value is kept from below 1, as in evaluate (the series' exceeds 1
    // anyway).
    const auto at_least_one = [&out] {
        for (int l = 0; l < far_lanes; ++l) out.a[l] = out.a[l] < 1.0 ? 1.0 : out.a[l];
    };
    // A row may hold points of the closed form: all of them side by side, else (a row across
    // the series' threshold, or across the points whose slopes come from the rim) each alone.
    int closed = 0;
    for (int l = 0; l < far_lanes; ++l) {
        const bool point =
            WithGradient ? closed_slopes_row_point(u[l], rho[l]) : closed_row_point(u[l], rho[l]);
        closed += point ? 1 : 0;
    }
    if (closed == far_lanes) {
        // (The centre, where evaluate sets the slope in u to nil, is the rim's: not here.)
        if constexpr (WithGradient)
            uniform_disk_closed_points_slopes(u, rho, out);
        else
            uniform_disk_closed_points(u, rho, out.a);
        at_least_one();
        return;
    }
    if (closed > 0) {
        for (int l = 0; l < far_lanes; ++l) {
            if constexpr (WithGradient) {
                const Gradient g = gradient(u[l], rho[l]);
                out.a[l] = g.a;
                out.da_du[l] = g.da_du;
                out.da_dradius[l] = g.da_drho;
            } else {
                out.a[l] = magnification(u[l], rho[l]);
            }
        }
        return;
    }
    far_field_row<WithGradient>(u, rho, uniform_moments(), out);
    at_least_one();
}

template void Source::row<false>(const double*, const double*, DiskLanes&) const;
template void Source::row<true>(const double*, const double*, DiskLanes&) const;

} // namespace lumagnis::models::fspl
