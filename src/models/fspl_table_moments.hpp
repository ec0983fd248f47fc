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

// The most samples placed_moments takes in one call.
inline constexpr std::size_t max_placed = 1024;

// The moments of the samples x[j], j < count <= max_placed, at their positions in the piece (as
// positions() gives them): the same bits as positions() then moments(). Where AVX2 serves, the
// positions of a block of samples are taken while the moments of the block before are, so that
// the roots, which use a unit of their own, cost little beside the products.
void placed_moments(const double* x, const double* d, std::size_t count, double lo,
                    double inverse, Crowd crowd, std::size_t terms, double* moment);

namespace portable {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
void placed_moments(const double* x, const double* d, std::size_t count, double lo,
                    double inverse, Crowd crowd, std::size_t terms, double* moment);
} // namespace portable
namespace avx2 {
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
void placed_moments(const double* x, const double* d, std::size_t count, double lo,
                    double inverse, Crowd crowd, std::size_t terms, double* moment);
} // namespace avx2

// The kernel, written once over a vector type V of `width` doubles (the compiler's vector
// extension): element-wise, correctly rounded operations only. load(j, n) gives the positions
// of samples j .. j + n - 1 (0 < n <= width) in a vector, its lanes past n zero.
template <class V, std::size_t width, class Load>
void moments_kernel(Load load, const double* d, std::size_t count, std::size_t terms,
                    double* moment) {
    constexpr std::size_t vectors = lanes / width;
    // Lane L and lane L + 16 of a group of 32 samples are added before their sum is: the first
    // pairing of the halving, taken a group at a time so that only half the sums go through
    // memory. A pair is a vector of a group with its partner half a group on.
    constexpr std::size_t halves = vectors / 2;
    // Each moment is a product then a difference on every recurrence, about eight cycles on the
    // chain: three pairs, six recurrences, keep both arithmetic ports busy through them, and
    // their twelve vectors of state stay in sixteen registers (the doubled positions are read
    // from memory).
    constexpr std::size_t block = 3;
    // sum[q]: the moments of the pairs whose first vector is vector q of its group; a row more
    // takes the adds of a last block's empty places.
    V sum[halves + 1][max_terms];
    for (std::size_t q = 0; q <= halves; ++q)
        for (std::size_t m = 0; m < terms; ++m) sum[q][m] = V{};
    // The pairs are walked in order, p = group * halves + q, a block of them at a time across
    // the ends of groups: a pair's sums follow those of the pair before it in the same row,
    // whose block came earlier, so each row adds its groups in order. A pair whose first
    // vector starts past the last sample would add only zeros (and a sum that starts at +0
    // never becomes -0), so it is left out.
    const std::size_t pairs = [&] {
        const std::size_t groups = count / lanes;
        const std::size_t rest = count - groups * lanes;
        return groups * halves + (rest > halves * width ? halves : (rest + width - 1) / width);
    }();
    // The first sample of vector h (0 or 1) of pair p.
    const auto first = [](std::size_t p, std::size_t h) {
        return (p / halves) * lanes + (p % halves + h * halves) * width;
    };
    // The positions of a block's vectors, taken one block ahead (see placed_moments).
    const auto place = [&](std::size_t p0, V* at) {
#pragma GCC unroll 6
        for (std::size_t b = 0; b < 2 * block; ++b) {
            const std::size_t p = p0 + b % block;
            const std::size_t j0 = first(p, b / block);
            at[b] = p < pairs && j0 < count ? load(j0, count - j0 < width ? count - j0 : width)
                                            : V{};
        }
    };
    V ahead[2 * block];
    place(0, ahead);
    for (std::size_t p0 = 0; p0 < pairs; p0 += block) {
        V twice[2 * block];
        V previous[2 * block]; // d T_m-1, then d T_m-2 as the recurrence takes its step
        V current[2 * block];  // d T_m
        V* row[block];
#pragma GCC unroll 6
        for (std::size_t b = 0; b < 2 * block; ++b) {
            const std::size_t p = p0 + b % block;
            const std::size_t j0 = first(p, b / block);
            previous[b] = V{};
            if (p < pairs && j0 + width <= count) {
                __builtin_memcpy(&previous[b], d + j0, sizeof(V));
            } else if (p < pairs) {
                for (std::size_t k = 0; j0 + k < count; ++k) previous[b][k] = d[j0 + k];
            }
            twice[b] = ahead[b] + ahead[b];
            current[b] = previous[b] * ahead[b];
        }
#pragma GCC unroll 3
        for (std::size_t c = 0; c < block; ++c)
            row[c] = p0 + c < pairs ? sum[(p0 + c) % halves] : sum[halves];
        if (p0 + block < pairs) place(p0 + block, ahead);
#pragma GCC unroll 3
        for (std::size_t c = 0; c < block; ++c) {
            row[c][0] += previous[c] + previous[c + block];
            row[c][1] += current[c] + current[c + block];
        }
        // The recurrence T_m+1 = 2 y T_m - T_m-1 carried on d T_m itself, which it keeps
        // (being linear): one product fewer per moment. Two moments a turn, the roles of the
        // two vectors swapped between them, so that no vector is copied.
        std::size_t m = 2;
        for (; m + 1 < terms; m += 2) {
#pragma GCC unroll 6
            for (std::size_t b = 0; b < 2 * block; ++b)
                previous[b] = twice[b] * current[b] - previous[b];
#pragma GCC unroll 3
            for (std::size_t c = 0; c < block; ++c) row[c][m] += previous[c] + previous[c + block];
#pragma GCC unroll 6
            for (std::size_t b = 0; b < 2 * block; ++b)
                current[b] = twice[b] * previous[b] - current[b];
#pragma GCC unroll 3
            for (std::size_t c = 0; c < block; ++c)
                row[c][m + 1] += current[c] + current[c + block];
        }
        if (m < terms) {
#pragma GCC unroll 6
            for (std::size_t b = 0; b < 2 * block; ++b)
                previous[b] = twice[b] * current[b] - previous[b];
#pragma GCC unroll 3
            for (std::size_t c = 0; c < block; ++c) row[c][m] += previous[c] + previous[c + block];
        }
    }
    for (std::size_t m = 0; m < terms; ++m) {
        V s[halves];
        for (std::size_t q = 0; q < halves; ++q) s[q] = sum[q][m];
        for (std::size_t half = halves / 2; half >= 1; half /= 2)
            for (std::size_t q = 0; q < half; ++q) s[q] = s[q] + s[q + half];
        double part[width];
        for (std::size_t k = 0; k < width; ++k) part[k] = s[0][k];
        for (std::size_t half = width / 2; half >= 1; half /= 2)
            for (std::size_t k = 0; k < half; ++k) part[k] = part[k] + part[k + half];
        moment[m] = part[0];
    }
}

// The load of moments_kernel for positions already taken, y[j].
template <class V, std::size_t width>
auto stored(const double* y) {
    return [y](std::size_t j, std::size_t n) {
        V at = {};
        if (n == width)
            __builtin_memcpy(&at, y + j, sizeof(V));
        else
            for (std::size_t k = 0; k < n; ++k) at[k] = y[j + k];
        return at;
    };
}

} // namespace lumagnis::models::fspl::table_moments
