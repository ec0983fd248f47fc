#include "models/fspl_lanes.hpp"

#include "models/batch.hpp"
#include "models/fspl_chord_formula.hpp"
#include "models/fspl_disk_formula.hpp"
#include "numerics/dual.hpp"

namespace lumagnis::models::fspl::lanes {

// The same processor test as the other vectorised kernels, made once.
bool vectorised() { return batch::vectorised(); }

namespace portable {
namespace {
using numerics::Lanes4;
Lanes4 load(const double* x) { return Lanes4{{x[0], x[1], x[2], x[3]}}; }
void store(double* out, const Lanes4& a) {
    for (int i = 0; i < disk_lanes; ++i) out[i] = a.x[i];
}
} // namespace

template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out) {
    using numerics::splat;
    const Lanes4 r = load(radius);
    if constexpr (!WithGradient) {
        store(out.a, formula::closed_form(splat(u), r));
    } else {
        using D = numerics::DualT<Lanes4>;
        const D a =
            formula::closed_form(D{splat(u), splat(1.0), splat(0.0)}, D{r, splat(0.0), splat(1.0)});
        store(out.a, a.v);
        store(out.da_du, a.d0);
        store(out.da_dradius, a.d1);
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
    const Lanes4 x = load(u);
    store(a, formula::closed_form_each(x, load(radius), numerics::every_lane(x)));
}

void closed_points_slopes(const double* u, const double* radius, DiskLanes& out) {
    using numerics::splat;
    using D = numerics::DualT<Lanes4>;
    const Lanes4 x = load(u);
    const D a =
        formula::closed_form_each(D{x, splat(1.0), splat(0.0)},
                                  D{load(radius), splat(0.0), splat(1.0)}, numerics::every_lane(x));
    store(out.a, a.v);
    store(out.da_du, a.d0);
    store(out.da_dradius, a.d1);
}

template <bool WithGradient>
void chords(double u, const double* s, const double* h2, const double* c, const double* n,
            const double* t, const double* w, int pairs, double* value, double* du, double* drho) {
    using numerics::splat;
    const auto out = chord_formula::chord_integrand<WithGradient>(
        splat(u), load(s), load(h2), load(c), load(n), t, w, pairs, splat(0.0));
    store(value, out.value);
    store(du, out.du);
    store(drho, out.drho);
}

template void chords<false>(double, const double*, const double*, const double*, const double*,
                            const double*, const double*, int, double*, double*, double*);
template void chords<true>(double, const double*, const double*, const double*, const double*,
                           const double*, const double*, int, double*, double*, double*);

void sin_cos(const double* x, double* s, double* c, int count) {
    chord_formula::sin_cos_sets<Lanes4, disk_lanes>(x, s, c, count / disk_lanes, load, store);
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
