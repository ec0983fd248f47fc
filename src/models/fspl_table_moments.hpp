#pragma once
// The Chebyshev moments of a table's samples in one piece, sum_j d_j T_m(y_j): the per-sample
// work of reading the radial integral (fspl_table_reads.cpp). Thirty-two samples at a time: lane
// j and lane j + 16 added, that sum added in order to the sixteen lanes' own, which are summed
// at the end by halves (lane j with lane j + 8, then j + 4, ... j + 1): the same pairs, and so
// the same bits, on the portable two-wide vectors and on AVX2's four-wide ones, and a few vector
// additions per moment where lane-by-lane sums would chain 32 dependent ones.

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

// How a piece [lo, hi] is drawn towards an end: x = lo + (hi - lo) v(tau), with v = tau^4
// (towards lo), 1 - (1 - tau)^4 (towards hi) or tau.
enum class Crowd { none, left, right };

// y[l] = 2 tau - 1 in [-1, 1] for the samples x[l], l < count, of the piece that starts at lo
// and has 1 / inverse for its length, with tau that of a point at fraction v = (x - lo) inverse
// of it (clamped to [0, 1]). The two roots per sample of a crowded piece cost about as much as
// its moments, so they too are taken four at a time where AVX2 serves; the roots are correctly
// rounded, and the bits the same, either way.
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);

namespace portable {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
} // namespace portable
namespace avx2 {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
} // namespace avx2

// The kernel, written once over a vector type V of `width` doubles (the compiler's vector
// extension): element-wise, correctly rounded operations only.
template <class V, std::size_t width>
void moments_kernel(const double* y, const double* d, std::size_t count, std::size_t terms,
                    double* moment) {
    constexpr std::size_t vectors = lanes / width;
    // Lane L and lane L + 16 of a group of 32 samples are added before their sum is: the first
    // pairing of the halving, taken a group at a time so that only half the sums go through
    // memory.
    constexpr std::size_t halves = vectors / 2;
    V sum[max_terms][halves];
    for (std::size_t m = 0; m < terms; ++m)
        for (std::size_t q = 0; q < halves; ++q) sum[m][q] = V{};
    // The vectors are taken two pairs at a time, their four recurrences held in registers
    // through all the moments, independent of one another so that each one's latency hides
    // behind the others'.
    constexpr std::size_t block = 2;
    static_assert(halves % block == 0);
    for (std::size_t first = 0; first < count; first += lanes) {
        // A block past the last sample would add only zeros (and a sum that starts at +0
        // never becomes -0), so it is skipped.
        for (std::size_t q0 = 0; q0 < halves; q0 += block) {
            if (first + q0 * width >= count) break;
            V twice[2 * block] = {};
            V previous[2 * block] = {};
            V current[2 * block] = {};
#pragma GCC unroll 4
            for (std::size_t b = 0; b < 2 * block; ++b) {
                // b < block: vector q0 + b; else its partner, half a group on.
                const std::size_t q = q0 + b % block + (b / block) * halves;
                V at = {};
                const std::size_t j0 = first + q * width;
                if (j0 + width <= count) {
                    __builtin_memcpy(&at, y + j0, sizeof(V));
                    __builtin_memcpy(&previous[b], d + j0, sizeof(V));
                } else {
                    for (std::size_t k = 0; j0 + k < count; ++k) {
                        at[k] = y[j0 + k];
                        previous[b][k] = d[j0 + k];
                    }
                }
                twice[b] = at + at;
                current[b] = previous[b] * at;
            }
#pragma GCC unroll 2
            for (std::size_t b = 0; b < block; ++b) {
                sum[0][q0 + b] += previous[b] + previous[b + block];
                sum[1][q0 + b] += current[b] + current[b + block];
            }
            // The recurrence T_m+1 = 2 y T_m - T_m-1 carried on d T_m itself, which it keeps
            // (being linear): one product fewer per moment.
#pragma GCC unroll 2
            for (std::size_t m = 2; m < terms; ++m) {
#pragma GCC unroll 4
                for (std::size_t b = 0; b < 2 * block; ++b) {
                    const V following = twice[b] * current[b] - previous[b];
                    previous[b] = current[b];
                    current[b] = following;
                }
#pragma GCC unroll 2
                for (std::size_t b = 0; b < block; ++b)
                    sum[m][q0 + b] += current[b] + current[b + block];
            }
        }
    }
    for (std::size_t m = 0; m < terms; ++m) {
        V* s = sum[m];
        for (std::size_t half = halves / 2; half >= 1; half /= 2)
            for (std::size_t q = 0; q < half; ++q) s[q] = s[q] + s[q + half];
        double part[width];
        for (std::size_t k = 0; k < width; ++k) part[k] = s[0][k];
        for (std::size_t half = width / 2; half >= 1; half /= 2)
            for (std::size_t k = 0; k < half; ++k) part[k] = part[k] + part[k + half];
        moment[m] = part[0];
    }
}

} // namespace lumagnis::models::fspl::table_moments
