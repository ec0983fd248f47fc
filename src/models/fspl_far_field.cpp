// The far-field series of a radially symmetric source: the mean of A over the source is
// sum_k m_k (R / 2)^(2k) / (k!)^2 Laplacian^k A, the ring means' series weighted by the
// source's moments. Each term is a rational function of q = u^2 in closed form, and the number
// of terms is the least that a proved remainder bound allows at u / R (both in far_series).
//
// A term's polynomial is unrolled at compile time for each count of terms, so that a point
// costs its products and sums and nothing else: one square root and two divisions, the powers
// of the variable, and per term k about 2k products (4k with the slopes).

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "models/fspl_disk.hpp"
#include "models/fspl_far_series.hpp"

namespace lumagnis::models::fspl {
namespace {

namespace fs = far_series;
static_assert(fs::most_terms == far_terms);

// The least count of terms whose remainder bound meets the tolerance at ratio z = u / R: the
// thresholds fall with the count, so the first one that z reaches gives it. (Compared as
// u < z_K R, without the division.)
int term_count(const std::array<double, fs::most_terms>& from, double u, double radius) {
    int terms = 1;
    while (terms < fs::most_terms && u < from[terms - 1] * radius) ++terms;
    return terms;
}

// The variables of the series at one separation. Up to q = 4 the polynomials are read in q
// with the factor (q + 4)^(-2k) as t^(2k), t = 1 / (q + 4); beyond, in y = 1 / q with the
// factor w^(2k), w = q / (q + 4), so that no power overflows for u up to 1e50 and every
// polynomial keeps its positive leading part where it dominates. One division serves them
// all: t, y and 1 / sqrt(D) follow from 1 / D, D = q (q + 4), which stays within the doubles
// for every u of the far field (1e-99 .. 1e50).
struct SeriesPoint {
    bool near;
    double q;
    double t;
    double y;
    double step;     // the factor of one more term: x t^2 or x w^2, x = (R / u)^2
    double root;     // sqrt(D)
    double inv_root; // 1 / sqrt(D)

    SeriesPoint(double u, double radius) {
        q = u * u;
        const double d = q * (q + 4);
        root = std::sqrt(d);
        const double inv = 1 / d;
        inv_root = root * inv;
        near = q <= 4;
        t = q * inv;
        y = (q + 4) * inv;
        const double scale = near ? t : q * t;
        step = ((radius * radius) * y) * (scale * scale);
    }
};

struct Sums {
    double excess; // A - 1 times sqrt(D)
    double slope;  // dA/du times (u / 2) (q + 4) sqrt(D)
    double radial; // dA/dR times (R / 2) sqrt(D)
};

// sum c[Offset + i] p[i] for i in [Begin, End), unrolled, in halves: the sums form a tree of
// depth log2(End - Begin), not a chain that each addition would wait on. Forced inline: left
// to itself the compiler makes the longer sums calls, which cost more than their products.
template <std::size_t Offset, std::size_t Begin, std::size_t End, std::size_t N>
[[gnu::always_inline]] inline double dot(const std::array<double, N>& c, const double* p) {
    if constexpr (End - Begin == 1) {
        return c[Offset + Begin] * p[Begin];
    } else {
        constexpr std::size_t middle = Begin + (End - Begin) / 2;
        return dot<Offset, Begin, middle>(c, p) + dot<Offset, middle, End>(c, p);
    }
}

// c_k Q_k(q) (q + 4)^(-2k) without the factor step^k: the k-th term of the value (Q_k of
// degree 2k - 1; beyond q = 4, w^(2k) y times the reversed polynomial in y).
template <int K, bool Near>
[[gnu::always_inline]] inline double value_term(const double* power, double y) {
    constexpr std::size_t count = 2 * K;
    if constexpr (Near) {
        constexpr auto at = static_cast<std::size_t>(fs::value_near_at[K]);
        return dot<at, 0, count>(fs::value_near, power);
    } else {
        constexpr auto at = static_cast<std::size_t>(fs::value_far_at[K]);
        return y * dot<at, 0, count>(fs::value_far, power);
    }
}

// c_k M_k(q) (q + 4)^(-2k) without step^k: the k-th term of dA/dq short of 1 / (q + 4) (M_k of
// degree 2k).
template <int K, bool Near> [[gnu::always_inline]] inline double slope_term(const double* power) {
    constexpr std::size_t count = 2 * K + 1;
    if constexpr (Near) {
        constexpr auto at = static_cast<std::size_t>(fs::slope_near_at[K]);
        return dot<at, 0, count>(fs::slope_near, power);
    } else {
        constexpr auto at = static_cast<std::size_t>(fs::slope_far_at[K]);
        return dot<at, 0, count>(fs::slope_far, power);
    }
}

// Terms k = 1 .. Terms - 1 added to `sums`; the value takes those below value_terms. Every term
// of the value is the same expression whatever Terms and WithGradient, and they are added in
// the same order, so the value is the same to the bit with and without the slopes.
template <bool Near, bool WithGradient, int Terms>
void add_terms(const SeriesPoint& at, const Moments& moments, int value_terms, Sums& sums) {
    constexpr int highest = WithGradient ? 2 * (Terms - 1) : 2 * Terms - 3;
    // Powers by halves, so that the chain of products is short.
    double power[highest > 1 ? highest + 1 : 2];
    power[0] = 1;
    power[1] = Near ? at.q : at.y;
    for (int i = 2; i <= highest; ++i) power[i] = power[i >> 1] * power[i - (i >> 1)];
    double factor = 1;
    const auto add = [&]<int K>() {
        factor = factor * at.step;
        const double weight = moments.m[K] * factor;
        const double term = weight * value_term<K, Near>(power, at.y);
        if (K < value_terms) sums.excess += term;
        if constexpr (WithGradient) {
            sums.radial += K * term;
            sums.slope += weight * slope_term<K, Near>(power);
        }
    };
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        (add.template operator()<static_cast<int>(J) + 1>(), ...);
    }(std::make_index_sequence<Terms - 1>{});
}

using AddTerms = void (*)(const SeriesPoint&, const Moments&, int, Sums&);

template <bool Near, bool WithGradient, std::size_t... T>
constexpr std::array<AddTerms, sizeof...(T)> term_table(std::index_sequence<T...>) {
    return {&add_terms<Near, WithGradient, static_cast<int>(T) + 1>...};
}

// By count of terms (index count - 1), for q <= 4 and beyond.
template <bool WithGradient>
constexpr std::array<std::array<AddTerms, fs::most_terms>, 2> term_tables{
    term_table<false, WithGradient>(std::make_index_sequence<fs::most_terms>{}),
    term_table<true, WithGradient>(std::make_index_sequence<fs::most_terms>{})};

} // namespace

template <bool WithGradient> DiskValue far_field(double u, double radius, const Moments& moments) {
    if (u > far_series_end) {
        const double inv = 1 / u;
        const double slope = -8 * (inv * inv) * (inv * inv) * inv;
        return DiskValue{.a = 1.0, .da_du = WithGradient ? slope : 0.0, .da_dradius = 0.0};
    }
    const int value_terms = term_count(fs::value_terms_from, u, radius);
    // With the slopes their count, which is at least the value's wherever the value comes from
    // the series (u > 4 R; the generator checks it). Nearer, the value is not the series'.
    const int terms = WithGradient ? term_count(fs::slope_terms_from, u, radius) : value_terms;
    const SeriesPoint at(u, radius);
    // A - 1, summed before the 1 is added: every term is positive, so A > 1 even where A - 1 is
    // below the last bit of 1. The point lens's is (q + 2) / sqrt(D) - 1 without cancellation.
    Sums sums{.excess = 4 / (at.q + 2 + at.root), .slope = -4.0, .radial = 0.0};
    term_tables<WithGradient>[at.near][terms - 1](at, moments, value_terms, sums);
    const double a = 1 + sums.excess * at.inv_root;
    if constexpr (!WithGradient) return DiskValue{.a = a, .da_du = 0.0, .da_dradius = 0.0};
    // dA/du = 2 u dA/dq, the series of dA/dq carrying 1 / (q sqrt(D)), and 1 / (q + 4) left
    // out of its terms.
    return DiskValue{.a = a,
                     .da_du = ((2 / u) * (at.t * sums.slope)) * at.inv_root,
                     .da_dradius = ((2 / radius) * sums.radial) * at.inv_root};
}

template DiskValue far_field<false>(double, double, const Moments&);
template DiskValue far_field<true>(double, double, const Moments&);

// The series of a difference of moments has no remainder bound of its own (the differences
// take either sign); it takes the slopes' count, the longer.
double far_field_difference(double u, double radius, const Moments& difference) {
    if (u > far_series_end) return 0.0;
    const int terms = term_count(fs::slope_terms_from, u, radius);
    const SeriesPoint at(u, radius);
    Sums sums{.excess = 0.0, .slope = 0.0, .radial = 0.0};
    term_tables<false>[at.near][terms - 1](at, difference, terms, sums);
    return sums.excess * at.inv_root;
}

} // namespace lumagnis::models::fspl
