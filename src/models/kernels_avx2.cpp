// The ring and uniform-disk kernels, four points per AVX2 register.
//
// This file alone is compiled for AVX2 (never with FMA, and with contraction off), and runs
// only where the processor has it. Addition, subtraction, multiplication, division and square
// root are correctly rounded in both the scalar and the vector instructions, so every lane
// gives the scalar bits as long as each expression keeps its scalar order. Every other call
// into the mathematics library (log, atan, log1p, pow, asin) stays a scalar call, lane by
// lane, and so returns the platform's own bits. Points off the common path (the bands around
// the ring and the limb, degenerate elliptic arguments, non-finite values) are handed to the
// scalar kernels.
//
// The formulas themselves are not here: they are the lane-generic templates that the scalar
// kernels instantiate too (models/kernel_formulas.hpp, special/elliptic_detail.hpp). This file
// keeps the lane type, the lane masks, and the choice of lanes that leave the common path.
//
// Nothing here may use an inline function shared with other files (a standard-library template,
// std::expected's members): a copy compiled for AVX2 could be chosen by the linker for code
// that must run without it. The shared formulas are therefore instantiated here for vectors
// only, never for double: with the file-local lane type (which gives the copies internal
// linkage) or with __m256d, which no other file instantiates them for. The scalar kernels are
// reached through out-of-line functions.

#include "models/batch.hpp"

#if defined(__AVX2__)

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "models/kernel_formulas.hpp"
#include "models/witt_mao.hpp"
#include "special/elliptic_detail.hpp"

namespace lumagnis::models::batch::avx2 {
namespace {

namespace sd = special::detail;
namespace fm = formulas;

using V = __m256d;
constexpr int lanes = 4;
constexpr int all_lanes = 0xF;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

V splat(double x) { return _mm256_set1_pd(x); }
V load(const double* p) { return _mm256_loadu_pd(p); }
V vsqrt(V x) { return _mm256_sqrt_pd(x); }
int bits(V m) { return _mm256_movemask_pd(m); }
V lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
V gt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
V eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
V unordered(V a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
V both(V a, V b) { return _mm256_and_pd(a, b); }
V but_not(V a, V b) { return _mm256_andnot_pd(b, a); } // a and not b
// m ? a : b, lane by lane.
V select(V m, V a, V b) { return _mm256_blendv_pd(b, a, m); }

// The lane type of the shared formulas: four doubles, masks as all-ones or all-zeros lanes.
// max differs from the scalar fmax only where an operand is NaN, which the common path excludes.
struct Vector {
    using Value = V;
    using Mask = V;

    static V splat(double x) { return avx2::splat(x); }
    static V sqrt(V x) { return vsqrt(x); }
    static V abs(V x) { return _mm256_andnot_pd(avx2::splat(-0.0), x); }
    static V max(V a, V b) { return _mm256_max_pd(a, b); }

    static V less(V a, V b) { return lt(a, b); }
    static V greater(V a, V b) { return gt(a, b); }
    static V greater_equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static V equal(V a, V b) { return eq(a, b); }
    static V not_equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }

    static V both(V a, V b) { return avx2::both(a, b); }
    static V either(V a, V b) { return _mm256_or_pd(a, b); }
    static V but_not(V a, V b) { return avx2::but_not(a, b); }
    static bool any(V m) { return bits(m) != 0; }
    static V select(V m, V a, V b) { return avx2::select(m, a, b); }
};

// The lane mask of a 4-bit set, from a table: building it with shifts costs a dozen
// instructions in the innermost loop.
V lane_mask(int mask) {
    alignas(32) static constexpr std::int64_t table[16][lanes] = {
        {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
        {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
        {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
        {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1},
    };
    return _mm256_castsi256_pd(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(table[mask & all_lanes])));
}

struct Lanes {
    alignas(32) double v[lanes];
};
Lanes spill(V x) {
    Lanes out;
    _mm256_store_pd(out.v, x);
    return out;
}

// A mathematics-library function, lane by lane (in the lanes of `mask`; others get 0).
template <class F> V per_lane(int mask, V x, F f) {
    Lanes in = spill(x);
    Lanes out;
    if (mask == all_lanes) {
        for (int i = 0; i < lanes; ++i) out.v[i] = f(in.v[i]);
    } else {
        for (int i = 0; i < lanes; ++i) out.v[i] = (mask >> i & 1) ? f(in.v[i]) : 0.0;
    }
    return _mm256_load_pd(out.v);
}

// ln(1 - m), lane by lane: K and E of the same m share it.
V log_complement(int mask, V m) {
    return per_lane(mask, 1 - m, [](double v) { return std::log(v); });
}

// R_C(1, 1 + e) of a duplication step, in the lanes of `mask`. The three common branches
// (e > 0, e = 0 and -0.5 < e < 0) are formed here; the others go to the scalar routine lane by
// lane. Lanes whose routine fails are added to `failed`.
// Kept out of line, and the duplication below inlined into its caller: the other way round, as
// the compiler chooses on its own, the ring kernel runs some 5 % slower.
[[gnu::noinline]] V rj_correction(int mask, V e, V d, V rx, V ry, V rz, V rp, V pn, int& failed) {
    const V zero = splat(0.0);
    const int positive = mask & bits(gt(e, zero));
    const int vanishing = mask & bits(eq(e, zero));
    const int slightly_negative = mask & bits(both(gt(e, splat(-0.5)), lt(e, zero)));
    const int others = mask & ~(positive | vanishing | slightly_negative);

    V v = splat(1.0);
    if (positive != 0) {
        const V root = vsqrt(e);
        const V angle = per_lane(positive, root, [](double x) { return std::atan(x); });
        v = select(lane_mask(positive), sd::rc_of_positive(root, angle), v);
    }
    if (slightly_negative != 0) {
        const V r = vsqrt(-e);
        const V up = per_lane(slightly_negative, r, [](double x) { return std::log1p(x); });
        const V down = per_lane(slightly_negative, -r, [](double x) { return std::log1p(x); });
        v = select(lane_mask(slightly_negative), sd::rc_of_slightly_negative(r, up, down), v);
    }
    if (others != 0) {
        const Lanes e_l = spill(e), d_l = spill(d), rx_l = spill(rx), ry_l = spill(ry),
                    rz_l = spill(rz), rp_l = spill(rp), pn_l = spill(pn);
        Lanes v_l = spill(v);
        for (int i = 0; i < lanes; ++i) {
            if (!(others >> i & 1)) continue;
            bool lane_failed = false;
            v_l.v[i] = scalar_rj_correction(e_l.v[i], d_l.v[i], rx_l.v[i], ry_l.v[i], rz_l.v[i],
                                            rp_l.v[i], pn_l.v[i], lane_failed);
            if (lane_failed) failed |= 1 << i;
        }
        v = _mm256_load_pd(v_l.v);
    }
    return v;
}

// R_J(0, y, 1, p) for 0 < y < 1 and 0 < p < 1 by duplication. Lanes that fail (no
// convergence within the step limit) are added to `failed`.
[[gnu::always_inline]] inline V elliprj_0y1p(int mask, V y, V p, int& failed) {
    sd::RjDuplication<Vector> duplication(splat(0.0), y, splat(1.0), p);
    int active = mask;
    for (int step = 1; step <= sd::rj_max_steps && active != 0; ++step) {
        const sd::RjDuplication<Vector>::Roots r = duplication.roots();
        const V v = rj_correction(active, r.e, r.d, r.rx, r.ry, r.rz, r.rp, duplication.pn, failed);
        active &= ~failed;
        active = bits(duplication.advance(lane_mask(active), r, v));
    }
    failed |= active;
    const V power =
        per_lane(mask & ~failed, duplication.a, [](double v) { return std::pow(v, -1.5); });
    return duplication.value(power);
}

// Pi(n, m) for 0 < n < 1 and 0 < m < 1, with 1 - m and 1 - n strictly inside (0, 1): R_F(0, x, 1)
// takes the AGM (the zero argument moves last), and R_J its duplication.
V ellippi(int mask, V n, V m, int& failed) {
    const V x = 1 - m;
    const V tf = sd::agm_rf<Vector>(lane_mask(mask), vsqrt(splat(1.0)), vsqrt(x));
    const V tj = elliprj_0y1p(mask, x, 1 - n, failed);
    return sd::pi_from_carlson(n, tf, tj);
}

// Lanes where K(m) and Pi(n, m) take the common path: the polynomial K, and Pi through an
// AGM and a duplication with none of the degenerate argument patterns.
V elliptic_common_path(V n, V m) {
    const V zero = splat(0.0);
    const V one = splat(1.0);
    const V x = 1 - m;
    const V p = 1 - n;
    return both(both(both(gt(m, zero), lt(m, one)), both(gt(x, zero), lt(x, one))),
                both(both(gt(n, zero), lt(n, one)), both(gt(p, zero), lt(p, one))));
}

void heyrovsky_chunk(double l, double re, double rstar, const double* r, double* out) {
    const double kappa = re / rstar;
    const double kappa2 = kappa * kappa;
    const V big_l = splat(l);
    const V delta = big_l - load(r);
    const fm::RingGeometry<Vector> ring =
        fm::ring_geometry<Vector>(big_l, load(r), delta, kappa, kappa2);
    const V band = fm::near_ring<Vector>(delta, ring.h);
    // Off the band, a NaN parameter makes the outcome NaN or a failure whatever Pi is.
    const V nan_m = but_not(unordered(ring.m), band);
    const int common = bits(but_not(elliptic_common_path(ring.n, ring.m), band));

    V result = splat(nan);
    int failed = 0;
    if (common != 0) {
        const V big_k = sd::k_fit<Vector>(1 - ring.m, log_complement(common, ring.m));
        const V big_pi = ellippi(common, ring.n, ring.m, failed);
        result = fm::ring_value<Vector>(ring, delta, kappa2, big_k, big_pi);
    }
    Lanes values = spill(result);
    const int done = (common & ~failed) | bits(nan_m);
    for (int i = 0; i < lanes; ++i) {
        if (bits(nan_m) >> i & 1) {
            values.v[i] = nan;
        } else if (!(done >> i & 1)) {
            values.v[i] = (failed >> i & 1) ? nan : scalar_ring_value(l, r[i], re, rstar);
        }
    }
    for (int i = 0; i < lanes; ++i) out[i] = values.v[i];
}

void witt_mao_chunk(const WittMaoSource& source, double limb, const double* l, double* out) {
    const fm::DiskPosition<Vector> at = fm::disk_position<Vector>(load(l), source);
    const V limb_lanes = fm::on_limb<Vector>(at.delta, source);
    const fm::DiskGeometry<Vector> disk = fm::disk_geometry<Vector>(at, source);
    const int common = bits(but_not(elliptic_common_path(disk.n, disk.m), limb_lanes));

    V result = splat(nan);
    int failed = 0;
    if (common != 0) {
        const V x = 1 - disk.m;
        const V log_x = log_complement(common, disk.m);
        const V e = sd::e_fit<Vector>(x, log_x);
        const V k = sd::k_fit<Vector>(x, log_x);
        const V p = ellippi(common, disk.n, disk.m, failed);
        result = fm::disk_value<Vector>(at, disk, source, e, k, p);
    }
    result = select(limb_lanes, splat(limb), result);
    Lanes values = spill(result);
    const int done = (common & ~failed) | bits(limb_lanes);
    for (int i = 0; i < lanes; ++i) {
        if (done >> i & 1) continue;
        // Failed lanes stay NaN: the caller asks the scalar kernel for the failure itself.
        if (failed >> i & 1) continue;
        values.v[i] = scalar_disk_value(l[i], source);
    }
    for (int i = 0; i < lanes; ++i) out[i] = values.v[i];
}

// Runs `chunk(in, out)` over whole chunks of four, then over a padded last chunk.
template <class Chunk>
void in_chunks(const double* in, double* out, std::size_t count, const Chunk& chunk) {
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) chunk(in + i, out + i);
    if (i == count) return;
    double in_tail[lanes];
    double out_tail[lanes];
    for (std::size_t j = 0; j < lanes; ++j) in_tail[j] = in[j < count - i ? i + j : count - 1];
    chunk(in_tail, out_tail);
    for (std::size_t j = i; j < count; ++j) out[j] = out_tail[j - i];
}

} // namespace

void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count) {
    const WittMaoSource source(re, rstar);
    const double limb = source.limb_value();
    in_chunks(l, out, count,
              [&](const double* in, double* values) { witt_mao_chunk(source, limb, in, values); });
}

void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count) {
    in_chunks(r, out, count,
              [&](const double* in, double* values) { heyrovsky_chunk(l, re, rstar, in, values); });
}

} // namespace lumagnis::models::batch::avx2

#endif
