// Compiled for AVX2 (never FMA) and called only where the processor has it. Its lane type is
// local to this file, so no function compiled here can stand in for a baseline one at link
// time.

#include "models/fspl_lanes.hpp"

#if defined(__AVX2__)

#include <immintrin.h>

#include "models/fspl_chord_formula.hpp"
#include "models/fspl_disk_formula.hpp"

namespace lumagnis::models::fspl::lanes::avx2 {
namespace {

struct Avx4 {
    __m256d v;
};

inline Avx4 operator+(Avx4 a, Avx4 b) { return Avx4{_mm256_add_pd(a.v, b.v)}; }
inline Avx4 operator-(Avx4 a, Avx4 b) { return Avx4{_mm256_sub_pd(a.v, b.v)}; }
inline Avx4 operator*(Avx4 a, Avx4 b) { return Avx4{_mm256_mul_pd(a.v, b.v)}; }
inline Avx4 operator/(Avx4 a, Avx4 b) { return Avx4{_mm256_div_pd(a.v, b.v)}; }
inline Avx4 splat(double x) { return Avx4{_mm256_set1_pd(x)}; }
inline Avx4 operator+(Avx4 a, double b) { return a + splat(b); }
inline Avx4 operator+(double a, Avx4 b) { return splat(a) + b; }
inline Avx4 operator-(Avx4 a, double b) { return a - splat(b); }
inline Avx4 operator-(double a, Avx4 b) { return splat(a) - b; }
inline Avx4 operator*(Avx4 a, double b) { return a * splat(b); }
inline Avx4 operator*(double a, Avx4 b) { return splat(a) * b; }
inline Avx4 operator/(Avx4 a, double b) { return a / splat(b); }
inline Avx4 operator/(double a, Avx4 b) { return splat(a) / b; }
// Negation flips the sign bit, as the scalar unary minus does, NaN included.
inline Avx4 operator-(Avx4 a) { return Avx4{_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
inline Avx4 sqrt(Avx4 a) { return Avx4{_mm256_sqrt_pd(a.v)}; }

// |a - b| > tolerance * a in any lane; false where a lane is NaN, as the scalar test is.
inline bool apart(Avx4 a, Avx4 b, double tolerance) {
    const __m256d difference = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(a.v, b.v));
    const __m256d bound = _mm256_mul_pd(a.v, _mm256_set1_pd(tolerance));
    return _mm256_movemask_pd(_mm256_cmp_pd(difference, bound, _CMP_GT_OQ)) != 0;
}

// apart lane by lane, and what an iteration whose lanes stop each on its own needs of it.
struct Avx4Mask {
    __m256d m;
};
inline Avx4Mask every_lane(Avx4) { return Avx4Mask{_mm256_castsi256_pd(_mm256_set1_epi64x(-1))}; }
inline Avx4Mask lanes_apart(Avx4 a, Avx4 b, double tolerance) {
    const __m256d difference = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(a.v, b.v));
    const __m256d bound = _mm256_mul_pd(a.v, _mm256_set1_pd(tolerance));
    return Avx4Mask{_mm256_cmp_pd(difference, bound, _CMP_GT_OQ)};
}
inline Avx4Mask lanes_both(Avx4Mask a, Avx4Mask b) { return Avx4Mask{_mm256_and_pd(a.m, b.m)}; }
inline bool lanes_any(Avx4Mask m) { return _mm256_movemask_pd(m.m) != 0; }
inline Avx4 lanes_select(Avx4Mask m, Avx4 a, Avx4 b) {
    return Avx4{_mm256_blendv_pd(b.v, a.v, m.m)};
}

Avx4 load(const double* x) { return Avx4{_mm256_loadu_pd(x)}; }
void store(double* out, Avx4 a) { _mm256_storeu_pd(out, a.v); }

} // namespace
} // namespace lumagnis::models::fspl::lanes::avx2

namespace lumagnis::numerics {
template <> struct Constant<models::fspl::lanes::avx2::Avx4> {
    static models::fspl::lanes::avx2::Avx4 make(double x) {
        return models::fspl::lanes::avx2::splat(x);
    }
};
} // namespace lumagnis::numerics

namespace lumagnis::models::fspl::lanes::avx2 {

template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out) {
    if constexpr (!WithGradient) {
        store(out.a, formula::closed_form(splat(u), load(radius)));
    } else {
        using D = numerics::DualT<Avx4>;
        const D a = formula::closed_form(D{splat(u), splat(1.0), splat(0.0)},
                                         D{load(radius), splat(0.0), splat(1.0)});
        store(out.a, a.v);
        store(out.da_du, a.d0);
        store(out.da_dradius, a.d1);
    }
}

template void closed_lanes<false>(double, const double*, DiskLanes&);
template void closed_lanes<true>(double, const double*, DiskLanes&);

// With the slopes, three vectors a variable leave no registers for a second set's: there the
// sets go one after the other.
template <bool WithGradient> void closed_lanes_two(double u, const double* radius, DiskLanes* out) {
    if constexpr (!WithGradient) {
        Avx4 first;
        Avx4 second;
        formula::closed_forms(splat(u), load(radius), load(radius + disk_lanes), first, second);
        store(out[0].a, first);
        store(out[1].a, second);
    } else {
        closed_lanes<true>(u, radius, out[0]);
        closed_lanes<true>(u, radius + disk_lanes, out[1]);
    }
}

template void closed_lanes_two<false>(double, const double*, DiskLanes*);
template void closed_lanes_two<true>(double, const double*, DiskLanes*);

void closed_points(const double* u, const double* radius, double* a) {
    const Avx4 x = load(u);
    store(a, formula::closed_form_each(x, load(radius), every_lane(x)));
}

void closed_points_slopes(const double* u, const double* radius, DiskLanes& out) {
    using D = numerics::DualT<Avx4>;
    const Avx4 x = load(u);
    const D a = formula::closed_form_each(D{x, splat(1.0), splat(0.0)},
                                          D{load(radius), splat(0.0), splat(1.0)}, every_lane(x));
    store(out.a, a.v);
    store(out.da_du, a.d0);
    store(out.da_dradius, a.d1);
}

template <bool WithGradient>
void chords(double u, const double* s, const double* h2, const double* c, const double* n,
            const double* t, const double* w, int pairs, double* value, double* du, double* drho) {
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
    chord_formula::sin_cos_sets<Avx4, disk_lanes>(
        x, s, c, count / disk_lanes, [](const double* p) { return load(p); },
        [](double* p, Avx4 v) { store(p, v); });
}

} // namespace lumagnis::models::fspl::lanes::avx2

#endif
