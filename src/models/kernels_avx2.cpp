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
// Nothing here may use an inline function shared with other files (a standard-library template,
// std::expected's members): a copy compiled for AVX2 could be chosen by the linker for code
// that must run without it. The scalar kernels are reached through out-of-line functions.

#include "models/batch.hpp"

#if defined(__AVX2__)

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "models/witt_mao.hpp"
#include "special/elliptic_detail.hpp"

namespace lumagnis::models::batch::avx2 {
namespace {

namespace sd = special::detail;

using V = __m256d;
constexpr int lanes = 4;
constexpr int all_lanes = 0xF;
constexpr double two_pi = 6.283185307179586;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

V splat(double x) { return _mm256_set1_pd(x); }
V load(const double* p) { return _mm256_loadu_pd(p); }
V vsqrt(V x) { return _mm256_sqrt_pd(x); }
V vabs(V x) { return _mm256_andnot_pd(splat(-0.0), x); }
V vmax(V a, V b) { return _mm256_max_pd(a, b); }
int bits(V m) { return _mm256_movemask_pd(m); }
V lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
V gt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
V ge(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
V eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
V unordered(V a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
V both(V a, V b) { return _mm256_and_pd(a, b); }
V either(V a, V b) { return _mm256_or_pd(a, b); }
V but_not(V a, V b) { return _mm256_andnot_pd(b, a); } // a and not b
// m ? a : b, lane by lane.
V select(V m, V a, V b) { return _mm256_blendv_pd(b, a, m); }
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

template <std::size_t N> V horner(const double (&c)[N], V x) {
    V sum = splat(c[N - 1]);
    for (std::size_t i = N - 1; i-- > 0;) sum = sum * x + splat(c[i]);
    return sum;
}

// ln(1 - m), lane by lane: K and E of the same m share it.
V log_complement(int mask, V m) {
    return per_lane(mask, 1 - m, [](double v) { return std::log(v); });
}

// K(m) for 0 < m < 1, given ln(1 - m).
V ellipk(V m, V log_x) {
    const V x = 1 - m;
    const V fit = horner(sd::k_p, x) - log_x * horner(sd::k_q, x);
    const V asymptote = sd::log4 - 0.5 * log_x;
    return select(lt(x, splat(sd::epsilon)), asymptote, fit);
}

// E(m) for 0 < m < 1, given ln(1 - m).
V ellipe(V m, V log_x) {
    const V x = 1 - m;
    return 1 + x * horner(sd::e_p, x) - x * log_x * horner(sd::e_q, x);
}

// R_F(0, y, 1) for 0 < y < 1: the arguments are all distinct, the zero moves last, and the
// AGM of sqrt 1 and sqrt y gives it.
V elliprf_0y1(int mask, V y) {
    V a = vsqrt(splat(1.0));
    V b = vsqrt(y);
    const V tolerance = splat(sd::agm_tolerance);
    V active = both(lane_mask(mask), ge(vabs(a - b), tolerance * vabs(a)));
    while (bits(active) != 0) {
        const V mean = (a + b) / 2;
        const V root = vsqrt(a * b);
        a = select(active, mean, a);
        b = select(active, root, b);
        active = both(active, ge(vabs(a - b), tolerance * vabs(a)));
    }
    return sd::pi / (a + b);
}

// R_C(1, 1 + e) of a duplication step, in the lanes of `mask`. The three common branches
// (e > 0, e = 0 and -0.5 < e < 0) are formed here with the scalar expressions; the others go
// to the scalar routine lane by lane. Lanes whose routine fails are added to `failed`.
V rj_correction(int mask, V e, V d, V rx, V ry, V rz, V rp, V pn, int& failed) {
    const V zero = splat(0.0);
    const int positive = mask & bits(gt(e, zero));
    const int vanishing = mask & bits(eq(e, zero));
    const int slightly_negative = mask & bits(both(gt(e, splat(-0.5)), lt(e, zero)));
    const int others = mask & ~(positive | vanishing | slightly_negative);

    V v = splat(1.0);
    if (positive != 0) {
        const V root = vsqrt(e);
        const V angle = per_lane(positive, root, [](double x) { return std::atan(x); });
        v = select(lane_mask(positive), angle / root, v);
    }
    if (slightly_negative != 0) {
        const V r = vsqrt(-e);
        const V up = per_lane(slightly_negative, r, [](double x) { return std::log1p(x); });
        const V down = per_lane(slightly_negative, -r, [](double x) { return std::log1p(x); });
        v = select(lane_mask(slightly_negative), (up - down) / (2 * r), v);
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
V elliprj_0y1p(int mask, V y, V p, int& failed) {
    const V x = splat(0.0);
    const V z = splat(1.0);
    const V a0 = (x + y + z + 2 * p) / 5;
    V delta = (p - x) * (p - y) * (p - z);
    const V q =
        sd::rj_threshold * vmax(vmax(vmax(vabs(a0 - x), vabs(a0 - y)), vabs(a0 - z)), vabs(a0 - p));
    V a = a0;
    V xn = x;
    V yn = y;
    V zn = z;
    V pn = p;
    V f = splat(1.0);
    V s = splat(0.0);
    int active = mask;
    for (int step = 1; step <= sd::rj_max_steps && active != 0; ++step) {
        const V rx = vsqrt(xn);
        const V ry = vsqrt(yn);
        const V rz = vsqrt(zn);
        const V rp = vsqrt(pn);
        const V d = (rp + rx) * (rp + ry) * (rp + rz);
        const V e = delta / (d * d);

        const V v = rj_correction(active, e, d, rx, ry, rz, rp, pn, failed);
        active &= ~failed;
        const V on = lane_mask(active);
        const V lambda = rx * ry + rx * rz + ry * rz;
        s = select(on, s + (f / d) * v, s);
        a = select(on, (a + lambda) / 4, a);
        f = select(on, f / 4, f);
        active = bits(but_not(on, gt(a, q * f)));
        // Only the lanes that go on read these again, so the others need not be kept.
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        pn = (pn + lambda) / 4;
        delta = delta / 64;
    }
    failed |= active;

    const V dx = f * (a0 - x) / a;
    const V dy = f * (a0 - y) / a;
    const V dz = f * (a0 - z) / a;
    const V dp = -(dx + dy + dz) / 2;
    const V e2 = dx * dy + dx * dz + dy * dz - 3 * dp * dp;
    const V e3 = dx * dy * dz + 2 * e2 * dp + 4 * dp * dp * dp;
    const V e4 = (2 * dx * dy * dz + e2 * dp + 3 * dp * dp * dp) * dp;
    const V e5 = dx * dy * dz * dp * dp;
    const V power = per_lane(mask & ~failed, a, [](double v) { return std::pow(v, -1.5); });
    return 6 * s + f * power * sd::closing_series(e2, e3, e4, e5);
}

// Pi(n, m) for 0 < n < 1 and 0 < m < 1, with 1 - m and 1 - n strictly inside (0, 1).
V ellippi(int mask, V n, V m, int& failed) {
    const V x = 1 - m;
    const V tf = elliprf_0y1(mask, x);
    const V tj = elliprj_0y1p(mask, x, 1 - n, failed);
    return tf + n * tj / 3;
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
    const V radius = load(r);
    const V delta = big_l - radius;
    const V band = lt(vabs(delta), splat(1e-6));
    const V g = kappa2 * 4 + delta * delta;
    const V h = big_l + radius;
    const V k = vsqrt((big_l * radius) / g) * ((kappa * 4) / h);
    const V m = k * k;
    const V n = ((l * 4) * radius) / (h * h);
    // Off the band, a NaN parameter makes the outcome NaN or a failure whatever Pi is.
    const V nan_m = but_not(unordered(m), band);
    const int common = bits(but_not(elliptic_common_path(n, m), band));

    V result = splat(nan);
    int failed = 0;
    if (common != 0) {
        const V big_k = ellipk(m, log_complement(common, m));
        const V big_pi = ellippi(common, n, m, failed);
        result = (((kappa2 + kappa2) * big_k + (delta * delta) * big_pi) * (4 / (h * vsqrt(g)))) /
                 two_pi;
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
    constexpr double pi = sd::pi;
    const double rho = source.rho;
    const double rho2 = source.rho2;
    const V u = load(l) * rho;
    const V delta = u - rho;
    const V limb_lanes =
        either(lt(vabs(delta), splat(1e-5 * std::fabs(rho))), eq(delta, splat(0.0)));
    const V s = vsqrt(delta * delta + 4);
    const V n = (source.four_rho * u) / ((rho + u) * (rho + u));
    const V t = vsqrt(n * 4) / s;
    const V m = t * t;
    const int common = bits(but_not(elliptic_common_path(n, m), limb_lanes));

    V result = splat(nan);
    int failed = 0;
    if (common != 0) {
        const V log_x = log_complement(common, m);
        const V e = ellipe(m, log_x);
        const V k = ellipk(m, log_x);
        const V p = ellippi(common, n, m, failed);
        const V term_e = e * ((s * (rho + u)) / source.two_rho2);
        const V term_k = ((delta * ((u * u - rho2) * 0.5 + 4)) / (rho2 * s)) * k;
        const V term_p = p * ((source.one_plus_rho2 * (delta * delta + delta * delta)) /
                              ((rho2 * (rho + u)) * s));
        const V sum = term_p + (term_e - term_k);
        result = (sum - pi) / two_pi + (sum + pi) / two_pi;
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
