#include "models/fspl_lanes.hpp"

#include "models/batch.hpp"
#include "models/fspl_chord_formula.hpp"
#include "models/fspl_disk_formula.hpp"
#include "numerics/dual.hpp"

namespace lumagnis::models::fspl::lanes {

// The same processor test as the other vectorised kernels, made once.
bool vectorised() { return batch::vectorised(); }

namespace portable {

template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out) {
    using numerics::Lanes4;
    using numerics::splat;
    const Lanes4 r{{radius[0], radius[1], radius[2], radius[3]}};
    if constexpr (!WithGradient) {
        const Lanes4 a = formula::closed_form(splat(u), r);
        for (int i = 0; i < disk_lanes; ++i) out.a[i] = a.x[i];
    } else {
        using D = numerics::DualT<Lanes4>;
        const D a =
            formula::closed_form(D{splat(u), splat(1.0), splat(0.0)}, D{r, splat(0.0), splat(1.0)});
        for (int i = 0; i < disk_lanes; ++i) {
            out.a[i] = a.v.x[i];
            out.da_du[i] = a.d0.x[i];
            out.da_dradius[i] = a.d1.x[i];
        }
    }
}

template void closed_lanes<false>(double, const double*, DiskLanes&);
template void closed_lanes<true>(double, const double*, DiskLanes&);

// The portable lanes gain nothing from side by side: one set after the other.
template <bool WithGradient> void closed_lanes_two(double u, const double* radius, DiskLanes* out) {
    closed_lanes<WithGradient>(u, radius, out[0]);
    closed_lanes<WithGradient>(u, radius + disk_lanes, out[1]);
}

template void closed_lanes_two<false>(double, const double*, DiskLanes*);
template void closed_lanes_two<true>(double, const double*, DiskLanes*);

void closed_points(const double* u, const double* radius, double* a) {
    using numerics::Lanes4;
    const Lanes4 x{{u[0], u[1], u[2], u[3]}};
    const Lanes4 r{{radius[0], radius[1], radius[2], radius[3]}};
    const Lanes4 out = formula::closed_form_each(x, r, numerics::every_lane(x));
    for (int i = 0; i < disk_lanes; ++i) a[i] = out.x[i];
}

void closed_points_slopes(const double* u, const double* radius, DiskLanes& out) {
    using numerics::Lanes4;
    using numerics::splat;
    using D = numerics::DualT<Lanes4>;
    const Lanes4 x{{u[0], u[1], u[2], u[3]}};
    const Lanes4 r{{radius[0], radius[1], radius[2], radius[3]}};
    const D a = formula::closed_form_each(D{x, splat(1.0), splat(0.0)},
                                          D{r, splat(0.0), splat(1.0)}, numerics::every_lane(x));
    for (int i = 0; i < disk_lanes; ++i) {
        out.a[i] = a.v.x[i];
        out.da_du[i] = a.d0.x[i];
        out.da_dradius[i] = a.d1.x[i];
    }
}

template <bool WithGradient>
void chords(double u, const double* s, const double* h2, const double* c, const double* n,
            const double* t, const double* w, int pairs, double* value, double* du, double* drho) {
    using numerics::Lanes4;
    using numerics::splat;
    const auto lanes = [](const double* x) { return Lanes4{{x[0], x[1], x[2], x[3]}}; };
    const auto out = chord_formula::chord_integrand<WithGradient>(
        splat(u), lanes(s), lanes(h2), lanes(c), lanes(n), t, w, pairs, splat(0.0));
    for (int i = 0; i < disk_lanes; ++i) {
        value[i] = out.value.x[i];
        du[i] = out.du.x[i];
        drho[i] = out.drho.x[i];
    }
}

template void chords<false>(double, const double*, const double*, const double*, const double*,
                            const double*, const double*, int, double*, double*, double*);
template void chords<true>(double, const double*, const double*, const double*, const double*,
                           const double*, const double*, int, double*, double*, double*);

void sin_cos(const double* x, double* s, double* c, int count) {
    using numerics::Lanes4;
    chord_formula::sin_cos_sets<Lanes4, disk_lanes>(
        x, s, c, count / disk_lanes,
        [](const double* p) { return Lanes4{{p[0], p[1], p[2], p[3]}}; },
        [](double* p, const Lanes4& v) {
            for (int i = 0; i < disk_lanes; ++i) p[i] = v.x[i];
        });
}

} // namespace portable

#if !defined(LUMAGNIS_HAVE_AVX2)
namespace avx2 {
// Never called where the AVX2 file is not built: vectorised() is false there.
template <bool WithGradient> void closed_lanes(double, const double*, DiskLanes&) {}
template void closed_lanes<false>(double, const double*, DiskLanes&);
template void closed_lanes<true>(double, const double*, DiskLanes&);
template <bool WithGradient> void closed_lanes_two(double, const double*, DiskLanes*) {}
template void closed_lanes_two<false>(double, const double*, DiskLanes*);
template void closed_lanes_two<true>(double, const double*, DiskLanes*);
void closed_points(const double*, const double*, double*) {}
void closed_points_slopes(const double*, const double*, DiskLanes&) {}
template <bool WithGradient>
void chords(double, const double*, const double*, const double*, const double*, const double*,
            const double*, int, double*, double*, double*) {}
template void chords<false>(double, const double*, const double*, const double*, const double*,
                            const double*, const double*, int, double*, double*, double*);
template void chords<true>(double, const double*, const double*, const double*, const double*,
                           const double*, const double*, int, double*, double*, double*);
void sin_cos(const double*, double*, double*, int) {}
} // namespace avx2
#endif

} // namespace lumagnis::models::fspl::lanes
