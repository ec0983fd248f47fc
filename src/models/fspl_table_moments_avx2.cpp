// Compiled for AVX2 (never FMA): run only where vectorised() found it.
#include "models/fspl_table_moments.hpp"

#if defined(LUMAGNIS_HAVE_AVX2)

#include <immintrin.h>

namespace lumagnis::models::fspl::table_moments::avx2 {

using Quad = double __attribute__((vector_size(32)));

void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment) {
    moments_kernel<Quad, 4>(y, d, count, terms, moment);
}

// The portable loop's operations in the same order, four samples at a time; the clamp by
// min and max differs from it only in the sign of a zero fraction, which no position keeps.
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y) {
    const __m256d start = _mm256_set1_pd(lo);
    const __m256d scale = _mm256_set1_pd(inverse);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    std::size_t l = 0;
    for (; l + 4 <= count; l += 4) {
        __m256d v = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(x + l), start), scale);
        v = _mm256_min_pd(_mm256_max_pd(v, zero), one);
        __m256d out;
        if (crowd == Crowd::left) {
            out = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_sqrt_pd(_mm256_sqrt_pd(v))), one);
        } else if (crowd == Crowd::right) {
            const __m256d root = _mm256_sqrt_pd(_mm256_sqrt_pd(_mm256_sub_pd(one, v)));
            out = _mm256_sub_pd(one, _mm256_mul_pd(two, root));
        } else {
            out = _mm256_sub_pd(_mm256_mul_pd(two, v), one);
        }
        _mm256_storeu_pd(y + l, out);
    }
    if (l < count) portable::positions(x + l, count - l, lo, inverse, crowd, y + l);
}

} // namespace lumagnis::models::fspl::table_moments::avx2

#endif
