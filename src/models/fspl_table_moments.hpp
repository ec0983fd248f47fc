#pragma once
// The Chebyshev moments of a table's samples in one piece, sum_j d_j T_m(y_j): the per-sample
// work of reading the radial integral (fspl_table_reads.cpp). Sixteen samples at a time, each
// in a lane of its own that adds its samples in order, the lanes summed in a fixed order at the
// end: the same bits on the portable two-wide vectors and on AVX2's four-wide ones.

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
    V sum[max_terms][vectors] = {};
    for (std::size_t first = 0; first < count; first += lanes) {
        V twice[vectors] = {};
        V weight[vectors] = {};
        V previous[vectors] = {};
        V current[vectors] = {};
        for (std::size_t q = 0; q < vectors; ++q) {
            for (std::size_t k = 0; k < width; ++k) {
                const std::size_t j = first + q * width + k;
                current[q][k] = j < count ? y[j] : 0.0;
                weight[q][k] = j < count ? d[j] : 0.0;
                previous[q][k] = 1.0;
            }
            twice[q] = current[q] + current[q];
            sum[0][q] += weight[q];
            sum[1][q] += weight[q] * current[q];
        }
        // T_m+1 = 2 y T_m - T_m-1.
        for (std::size_t m = 2; m < terms; ++m) {
            for (std::size_t q = 0; q < vectors; ++q) {
                const V following = twice[q] * current[q] - previous[q];
                previous[q] = current[q];
                current[q] = following;
                sum[m][q] += weight[q] * following;
            }
        }
    }
    for (std::size_t m = 0; m < terms; ++m) {
        double total = 0.0;
        for (std::size_t q = 0; q < vectors; ++q)
            for (std::size_t k = 0; k < width; ++k) total += sum[m][q][k];
        moment[m] = total;
    }
}

} // namespace lumagnis::models::fspl::table_moments
