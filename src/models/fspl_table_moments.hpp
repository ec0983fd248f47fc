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
// positions of a group of samples are taken while the moments of the group before are, so that
// the roots, which use a unit of their own, cost little beside the products.
void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment);

// The weights of an N-node rule's reads, nu[i] = sum_k reads[k][i] mu[k] over the rule's
// terms = N + 1 moments, with reads stored a row of N per k and N a multiple of four: each
// weight a chain of products added in k's order from +0, so the same bits at any width.
void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu);

namespace portable {
void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu);
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment);
} // namespace portable
namespace avx2 {
void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu);
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment);
void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y);
void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment);
} // namespace avx2

// The kernel, written once over a vector type V of `width` doubles (the compiler's vector
// extension): element-wise, correctly rounded operations only. The positions y[j] are read a
// group of 32 at a time; place(j, n) is called first to make y[j .. j + n - 1] ready (a group,
// or the last one's samples), a group before the moments need them, so that positions taken
// there (see placed_moments) overlap the moments of the group before.
template <class V, std::size_t width, class Place>
void moments_kernel(const double* y, const double* d, std::size_t count, std::size_t terms,
                    double* moment, Place place) {
    constexpr std::size_t vectors = lanes / width;
    // Lane L and lane L + 16 of a group of 32 samples are added before their sum is: the first
    // pairing of the halving, taken a group at a time so that only half the sums go through
    // memory. A pair is a vector of a group with its partner half a group on.
    constexpr std::size_t halves = vectors / 2;
    // A block (at most four pairs) then lies in two groups at most, both placed before it starts
    // (see place_to).
    static_assert(halves >= 4);
    if (count == 0) {
        for (std::size_t m = 0; m < terms; ++m) moment[m] = 0.0;
        return;
    }
    // sum[q]: the moments of the pairs whose first vector is vector q of its group.
    V sum[halves][max_terms];
    for (std::size_t q = 0; q < halves; ++q)
        for (std::size_t m = 0; m < terms; ++m) sum[q][m] = V{};
    // The pairs are walked in order, p = group * halves + q, a block of them at a time across
    // the ends of groups: a pair's sums follow those of the pair before it in the same row,
    // whose block came earlier, so each row adds its groups in order. A pair whose first
    // vector starts past the last sample would add only zeros (and a sum that starts at +0
    // never becomes -0), so it is left out; and a pair whose partner does would add the
    // partner's zeros, so it is taken alone.
    const std::size_t groups = (count + lanes - 1) / lanes;
    const std::size_t last = count - (groups - 1) * lanes; // the samples of the last group
    const std::size_t partnered = (groups - 1) * halves + (last > halves * width ? halves : 0);
    const std::size_t pairs =
        last > halves * width ? partnered : partnered + (last - 1) / width + 1;
    std::size_t ready = 0; // the groups placed
    const auto place_to = [&](std::size_t group) {
        for (; ready <= group && ready < groups; ++ready)
            place(ready * lanes, ready + 1 < groups ? lanes : last);
    };
    const auto read = [&](const double* from, std::size_t j0) {
        V at = {};
        if (j0 + width <= count)
            __builtin_memcpy(&at, from + j0, sizeof(V));
        else
            for (std::size_t k = 0; j0 + k < count; ++k) at[k] = from[j0 + k];
        return at;
    };
    // Each moment is a product then a difference on every recurrence, about eight cycles on the
    // chain: six recurrences (three pairs) keep both arithmetic ports busy through them, and
    // their twelve vectors of state stay in sixteen registers (the doubled positions are read
    // from memory). Fewer where fewer remain.
    const auto run = [&]<std::size_t block, std::size_t sides>(std::size_t p0) {
        constexpr std::size_t chains = block * sides;
        V twice[chains];
        V previous[chains]; // d T_m-1, then d T_m-2 as the recurrence takes its step
        V current[chains];  // d T_m
        V* row[block];
#pragma GCC unroll 6
        for (std::size_t b = 0; b < chains; ++b) {
            const std::size_t p = p0 + b % block;
            const std::size_t j0 = (p / halves) * lanes + (p % halves + b / block * halves) * width;
            const V at = read(y, j0);
            previous[b] = read(d, j0);
            twice[b] = at + at;
            current[b] = previous[b] * at;
        }
#pragma GCC unroll 6
        for (std::size_t c = 0; c < block; ++c) row[c] = sum[(p0 + c) % halves];
        // The next block's samples, placed while this one's moments are taken.
        place_to((p0 + block) / halves + 1);
        // A pair's two vectors added, then their sum to its row's.
        const auto add = [&](const V* at, std::size_t m) {
#pragma GCC unroll 6
            for (std::size_t c = 0; c < block; ++c) {
                if constexpr (sides == 2)
                    row[c][m] += at[c] + at[c + block];
                else
                    row[c][m] += at[c];
            }
        };
        add(previous, 0);
        add(current, 1);
        // The recurrence T_m+1 = 2 y T_m - T_m-1 carried on d T_m itself, which it keeps
        // (being linear): one product fewer per moment. Two moments a turn, the roles of the
        // two vectors swapped between them, so that no vector is copied.
        std::size_t m = 2;
        for (; m + 1 < terms; m += 2) {
#pragma GCC unroll 6
            for (std::size_t b = 0; b < chains; ++b)
                previous[b] = twice[b] * current[b] - previous[b];
            add(previous, m);
#pragma GCC unroll 6
            for (std::size_t b = 0; b < chains; ++b)
                current[b] = twice[b] * previous[b] - current[b];
            add(current, m + 1);
        }
        if (m < terms) {
#pragma GCC unroll 6
            for (std::size_t b = 0; b < chains; ++b)
                previous[b] = twice[b] * current[b] - previous[b];
            add(previous, m);
        }
    };
    place_to(1);
    std::size_t p0 = 0;
    for (; p0 + 3 <= partnered; p0 += 3) run.template operator()<3, 2>(p0);
    if (partnered - p0 == 2) run.template operator()<2, 2>(p0);
    if (partnered - p0 == 1) run.template operator()<1, 2>(p0);
    // The pairs alone, of the last group.
    for (p0 = partnered; p0 < pairs;) {
        const std::size_t left = pairs - p0;
        if (left >= 4) {
            run.template operator()<4, 1>(p0);
            p0 += 4;
        } else if (left >= 2) {
            run.template operator()<2, 1>(p0);
            p0 += 2;
        } else {
            run.template operator()<1, 1>(p0);
            p0 += 1;
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

// node_weights over a vector type V of `width` doubles: every node's chain at once, the rows read
// a vector at a time, so that the chains, being independent, keep the arithmetic ports busy.
template <class V, std::size_t width>
void node_weights_kernel(const double* reads, const double* mu, std::size_t terms,
                         std::size_t nodes, double* nu) {
    constexpr std::size_t most = 32 / width;
    V sum[most];
    const std::size_t vectors = nodes / width;
    for (std::size_t q = 0; q < vectors; ++q) sum[q] = V{};
    for (std::size_t k = 0; k < terms; ++k) {
        const double weight = mu[k];
        for (std::size_t q = 0; q < vectors; ++q) {
            V row;
            __builtin_memcpy(&row, reads + k * nodes + q * width, sizeof(V));
            sum[q] += row * weight;
        }
    }
    for (std::size_t q = 0; q < vectors; ++q) __builtin_memcpy(nu + q * width, &sum[q], sizeof(V));
}

// The place of moments_kernel for positions already taken.
inline void taken(std::size_t, std::size_t) {}

} // namespace lumagnis::models::fspl::table_moments
