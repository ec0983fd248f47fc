#pragma once
// The Chebyshev moments of a table's samples in one piece, sum_j d_j T_m(y_j): the per-sample
// work of reading the radial integral (fspl_table_reads.cpp). Thirty-two samples at a time, each
// in a lane of its own that adds its samples in order, the lanes summed at the end by halves
// (lane j with lane j + 16, then j + 8, ... j + 1): the same pairs, and so the same bits, on
// the portable two-wide vectors and on AVX2's four-wide ones, and a few vector additions per
// moment where lane-by-lane sums would chain 32 dependent ones.

#include <cstddef>

namespace lumagnis::models::fspl::table_moments {

inline constexpr std::size_t lanes = 32;
inline constexpr std::size_t max_terms = 65;

// Whether the AVX2 kernel runs on this processor.
bool vectorised();

// moment[m] = sum_j d[j] T_m(y[j]), m = 0 .. terms - 1 (2 <= terms <= max_terms), over the
// samples j < count, with |y| <= 1.
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);

namespace portable {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
} // namespace portable
namespace avx2 {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
} // namespace avx2

// The kernel, written once over a vector type V of `width` doubles (the compiler's vector
// extension): element-wise, correctly rounded operations only.
template <class V, std::size_t width>
void moments_kernel(const double* y, const double* d, std::size_t count, std::size_t terms,
                    double* moment) {
    constexpr std::size_t vectors = lanes / width;
    V sum[max_terms][vectors];
    for (std::size_t m = 0; m < terms; ++m)
        for (std::size_t q = 0; q < vectors; ++q) sum[m][q] = V{};
    // The vectors are taken a block at a time, each block's recurrences held in registers
    // through all the moments, so that only the sums go through memory.
    constexpr std::size_t block = 4;
    static_assert(vectors % block == 0);
    for (std::size_t first = 0; first < count; first += lanes) {
        // A block past the last sample would add only zeros (and a sum that starts at +0
        // never becomes -0), so it is skipped.
        for (std::size_t q0 = 0; q0 < vectors && first + q0 * width < count; q0 += block) {
            V twice[block] = {};
            V previous[block] = {};
            V current[block] = {};
#pragma GCC unroll 4
            for (std::size_t b = 0; b < block; ++b) {
                V at = {};
                for (std::size_t k = 0; k < width; ++k) {
                    const std::size_t j = first + (q0 + b) * width + k;
                    at[k] = j < count ? y[j] : 0.0;
                    previous[b][k] = j < count ? d[j] : 0.0;
                }
                twice[b] = at + at;
                current[b] = previous[b] * at;
                sum[0][q0 + b] += previous[b];
                sum[1][q0 + b] += current[b];
            }
            // The recurrence T_m+1 = 2 y T_m - T_m-1 carried on d T_m itself, which it keeps
            // (being linear): one product fewer per moment.
            for (std::size_t m = 2; m < terms; ++m) {
#pragma GCC unroll 4
                for (std::size_t b = 0; b < block; ++b) {
                    const V following = twice[b] * current[b] - previous[b];
                    previous[b] = current[b];
                    current[b] = following;
                    sum[m][q0 + b] += following;
                }
            }
        }
    }
    for (std::size_t m = 0; m < terms; ++m) {
        V* s = sum[m];
        for (std::size_t half = vectors / 2; half >= 1; half /= 2)
            for (std::size_t q = 0; q < half; ++q) s[q] = s[q] + s[q + half];
        double part[width];
        for (std::size_t k = 0; k < width; ++k) part[k] = s[0][k];
        for (std::size_t half = width / 2; half >= 1; half /= 2)
            for (std::size_t k = 0; k < half; ++k) part[k] = part[k] + part[k + half];
        moment[m] = part[0];
    }
}

} // namespace lumagnis::models::fspl::table_moments
