#pragma once
// The far-field series for far_lanes points side by side, written once for the vectors of the
// file that includes it: the portable file (pairs of doubles) and the AVX2 one. Everything here
// is internal to that file, so that neither lends the other a function compiled for the wrong
// processor.
//
// Each lane takes exactly the operations of far_field on its own point, in the same order,
// each correctly rounded: a point's bits do not depend on its neighbours or on the vectors. The
// row runs to its longest count of terms, and a lane past its own count adds +0, which leaves
// every sum as it was: x + 0 = x for every x but -0, and no sum is ever -0 (the value's starts
// above 0, the slopes' at -4 and +0, and a sum that cancels exactly is +0).

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

#include "models/fspl_disk.hpp"
#include "models/fspl_far_series.hpp"
#include "models/fspl_lanes.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// The vectors cross no boundary between files (everything here is internal to its file), so
// the warning that their passing differs with and without AVX concerns nothing here (it is
// given at the end of the file, so it stays off there).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lumagnis::models::fspl {
namespace {
namespace far_row {

namespace fs = far_series;

// Four doubles, one lane per point (the compiler splits it into pairs where it must).
using V = double __attribute__((vector_size(4 * sizeof(double))));
// The lanes' counts of terms, and the masks of comparisons (all ones where true): integers, so
// that counting and choosing take one integer operation each, off the ports the series uses.
using C = long long __attribute__((vector_size(4 * sizeof(long long))));
static_assert(far_lanes == 4);

// x where `in`, else +0.
[[gnu::always_inline]] inline V keep(const C& in, const V& x) {
    return std::bit_cast<V>(std::bit_cast<C>(x) & in);
}

[[gnu::always_inline]] inline V splat(double x) { return V{x, x, x, x}; }

// Lane by lane: the values were just stored one by one, which a vector load would wait on.
[[gnu::always_inline]] inline V load(const double* x) { return V{x[0], x[1], x[2], x[3]}; }

[[gnu::always_inline]] inline void store(double* out, const V& v) {
    std::memcpy(out, &v, sizeof v);
}

// Correctly rounded in every lane, as std::sqrt is.
[[gnu::always_inline]] inline V sqrt(V x) {
#if defined(__AVX__)
    return _mm256_sqrt_pd(x);
#elif defined(__SSE2__)
    const __m128d lo = _mm_sqrt_pd(__m128d{x[0], x[1]});
    const __m128d hi = _mm_sqrt_pd(__m128d{x[2], x[3]});
    return V{lo[0], lo[1], hi[0], hi[1]};
#else
    return V{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
#endif
}

// SeriesPoint's variables, lane by lane (every lane on the same side of q = 4).
struct Point {
    V q, t, y, step, root, inv_root;

    Point(const V& u, const V& radius, bool near) {
        q = u * u;
        const V d = q * (q + 4);
        root = sqrt(d);
        const V inv = 1 / d;
        inv_root = root * inv;
        t = q * inv;
        y = (q + 4) * inv;
        const V scale = near ? t : q * t;
        step = ((radius * radius) * y) * (scale * scale);
    }
};

struct Sums {
    V excess, slope, radial;
};

// dot of far_field: the same tree of sums, the coefficients C[Offset + i].
template <const auto& C, std::size_t Offset, std::size_t Begin, std::size_t End>
[[gnu::always_inline]] inline V dot(const V* p) {
    if constexpr (End - Begin == 1) {
        constexpr double c = C[Offset + Begin];
        return c * p[Begin];
    } else {
        constexpr std::size_t middle = Begin + (End - Begin) / 2;
        return dot<C, Offset, Begin, middle>(p) + dot<C, Offset, middle, End>(p);
    }
}

template <int K, bool Near> [[gnu::always_inline]] inline V value_term(const V* power, V y) {
    constexpr std::size_t count = 2 * K;
    if constexpr (Near) {
        return dot<fs::value_near, static_cast<std::size_t>(fs::value_near_at[K]), 0, count>(power);
    } else {
        return y *
               dot<fs::value_far, static_cast<std::size_t>(fs::value_far_at[K]), 0, count>(power);
    }
}

template <int K, bool Near> [[gnu::always_inline]] inline V slope_term(const V* power) {
    constexpr std::size_t count = 2 * K + 1;
    if constexpr (Near) {
        return dot<fs::slope_near, static_cast<std::size_t>(fs::slope_near_at[K]), 0, count>(power);
    } else {
        return dot<fs::slope_far, static_cast<std::size_t>(fs::slope_far_at[K]), 0, count>(power);
    }
}

// add_terms of far_field for the row; value_terms and terms are the lanes' own counts, Terms
// the largest of terms.
template <bool Near, bool WithGradient, int Terms>
void add_terms(const Point& at, const double* m, const C& value_terms, const C& terms, Sums& sums) {
    constexpr int highest = WithGradient ? 2 * (Terms - 1) : 2 * Terms - 3;
    V power[highest > 1 ? highest + 1 : 2];
    power[0] = splat(1.0);
    power[1] = Near ? at.q : at.y;
    for (int i = 2; i <= highest; ++i) power[i] = power[i >> 1] * power[i - (i >> 1)];
    // The sums in locals: the moments are doubles, which a store through `sums` could alias, so
    // that each term would wait on a store and a reload of every sum.
    V excess = sums.excess;
    V slope = sums.slope;
    V radial = sums.radial;
    const V step = at.step;
    const V y = at.y;
    V factor = splat(1.0);
    const auto add = [&]<int K>() {
        factor = factor * step;
        const V weight = m[K] * factor;
        const V term = weight * value_term<K, Near>(power, y);
        const C k{K, K, K, K};
        excess = excess + keep(k < value_terms, term);
        if constexpr (WithGradient) {
            const C in = k < terms;
            radial = radial + keep(in, static_cast<double>(K) * term);
            slope = slope + keep(in, weight * slope_term<K, Near>(power));
        }
    };
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        (add.template operator()<static_cast<int>(J) + 1>(), ...);
    }(std::make_index_sequence<Terms - 1>{});
    sums = Sums{.excess = excess, .slope = slope, .radial = radial};
}

using AddTerms = void (*)(const Point&, const double*, const C&, const C&, Sums&);

template <bool Near, bool WithGradient, std::size_t... T>
constexpr std::array<AddTerms, sizeof...(T)> table(std::index_sequence<T...>) {
    return {&add_terms<Near, WithGradient, static_cast<int>(T) + 1>...};
}

// Minus how many of the thresholds From[Begin .. End) times the radius u lies below (each
// comparison's mask is -1), summed as a tree that keeps them off one long chain of additions
// that the row's choice of its series would wait on.
template <const auto& From, int Begin, int End>
[[gnu::always_inline]] inline C below(const V& u, const V& radius) {
    if constexpr (End - Begin == 1) {
        return u < From[Begin] * radius;
    } else {
        constexpr int middle = Begin + (End - Begin) / 2;
        return below<From, Begin, middle>(u, radius) + below<From, middle, End>(u, radius);
    }
}

// term_count in every lane at once, without its branches (which a row of random separations
// would mispredict): the thresholds fall with the count, so the count is one more than the
// number of them that u / R lies below. Those not above law_ratio are left out: a series point
// lies above them all.
template <const auto& From>
[[gnu::always_inline]] inline C term_counts(const V& u, const V& radius) {
    constexpr int live = [] {
        int n = 0;
        for (int j = 0; j < fs::most_terms - 1; ++j) n = From[j] > fs::law_ratio ? j + 1 : n;
        return n;
    }();
    if constexpr (live == 0) {
        return C{1, 1, 1, 1};
    } else {
        return 1 - below<From, 0, live>(u, radius);
    }
}

// far_field for a row of series points (far_row_point) on one side of u = 2; false, with
// nothing written, for a row across it.
template <bool WithGradient>
bool row(const double* u, const double* radius, const Moments& moments, DiskLanes& out) {
    const V lane_u = load(u);
    const V lane_radius = load(radius);
    const auto near_lanes = lane_u * lane_u <= 4;
    const bool near = near_lanes[0] != 0;
    for (int l = 1; l < far_lanes; ++l) {
        if ((near_lanes[l] != 0) != near) return false;
    }
    const C value_terms = term_counts<fs::value_terms_from>(lane_u, lane_radius);
    const C terms =
        WithGradient ? term_counts<fs::slope_terms_from>(lane_u, lane_radius) : value_terms;
    long long longest = 1;
    for (int l = 0; l < far_lanes; ++l) longest = terms[l] > longest ? terms[l] : longest;
    const Point at(lane_u, lane_radius, near);
    Sums sums{.excess = 4 / (at.q + 2 + at.root), .slope = splat(-4.0), .radial = splat(0.0)};
    static constexpr auto near_table =
        table<true, WithGradient>(std::make_index_sequence<fs::most_terms>{});
    static constexpr auto far_table =
        table<false, WithGradient>(std::make_index_sequence<fs::most_terms>{});
    (near ? near_table : far_table)[static_cast<int>(longest) - 1](at, moments.m, value_terms,
                                                                   terms, sums);
    store(out.a, 1 + sums.excess * at.inv_root);
    if constexpr (WithGradient) {
        store(out.da_du, ((2 / lane_u) * (at.t * sums.slope)) * at.inv_root);
        store(out.da_dradius, ((2 / lane_radius) * sums.radial) * at.inv_root);
    }
    return true;
}

} // namespace far_row
} // namespace
} // namespace lumagnis::models::fspl
