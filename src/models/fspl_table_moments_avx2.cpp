// Compiled for AVX2 (never FMA): run only where vectorised() found it.
#include "models/fspl_table_moments.hpp"

#if defined(LUMAGNIS_HAVE_AVX2)

#include <immintrin.h>

namespace lumagnis::models::fspl::table_moments::avx2 {

using Quad = double __attribute__((vector_size(32)));

void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment) {
    moments_kernel<Quad, 4>(y, d, count, terms, moment, taken);
}

void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu) {
    node_weights_kernel<Quad, 4>(reads, mu, terms, nodes, nu);
}

namespace {

// The positions of four samples: the portable loop's operations in the same order; the clamp
// by min and max differs from it only in the sign of a zero fraction, which no position keeps.
template <Crowd crowd> __m256d place(__m256d x, __m256d start, __m256d scale) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    __m256d v = _mm256_mul_pd(_mm256_sub_pd(x, start), scale);
    v = _mm256_min_pd(_mm256_max_pd(v, zero), one);
    if constexpr (crowd == Crowd::left) {
        return _mm256_sub_pd(_mm256_mul_pd(two, _mm256_sqrt_pd(_mm256_sqrt_pd(v))), one);
    } else if constexpr (crowd == Crowd::right) {
        const __m256d root = _mm256_sqrt_pd(_mm256_sqrt_pd(_mm256_sub_pd(one, v)));
        return _mm256_sub_pd(one, _mm256_mul_pd(two, root));
    } else {
        return _mm256_sub_pd(_mm256_mul_pd(two, v), one);
    }
}

template <Crowd crowd>
void placed(const double* x, std::size_t count, double lo, double inverse, double* y) {
    const __m256d start = _mm256_set1_pd(lo);
    const __m256d scale = _mm256_set1_pd(inverse);
    std::size_t l = 0;
    for (; l + 4 <= count; l += 4)
        _mm256_storeu_pd(y + l, place<crowd>(_mm256_loadu_pd(x + l), start, scale));
    if (l < count) portable::positions(x + l, count - l, lo, inverse, crowd, y + l);
}

template <Crowd crowd>
void placed_moments_in(const double* x, const double* d, std::size_t count, double lo,
                       double inverse, std::size_t terms, double* moment) {
    double y[max_placed];
    const auto place = [&](std::size_t j, std::size_t n) {
        placed<crowd>(x + j, n, lo, inverse, y + j);
    };
    moments_kernel<Quad, 4>(y, d, count, terms, moment, place);
}

} // namespace

void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y) {
    if (crowd == Crowd::left)
        placed<Crowd::left>(x, count, lo, inverse, y);
    else if (crowd == Crowd::right)
        placed<Crowd::right>(x, count, lo, inverse, y);
    else
        placed<Crowd::none>(x, count, lo, inverse, y);
}

void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment) {
    if (crowd == Crowd::left)
        placed_moments_in<Crowd::left>(x, d, count, lo, inverse, terms, moment);
    else if (crowd == Crowd::right)
        placed_moments_in<Crowd::right>(x, d, count, lo, inverse, terms, moment);
    else
        placed_moments_in<Crowd::none>(x, d, count, lo, inverse, terms, moment);
}

} // namespace lumagnis::models::fspl::table_moments::avx2

#endif
