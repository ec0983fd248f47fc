#include "models/fspl_table_moments.hpp"

#include "models/batch.hpp"

namespace lumagnis::models::fspl::table_moments {

// The same processor test as the other vectorised kernels, made once.
bool vectorised() { return batch::vectorised(); }

void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment) {
    if (vectorised())
        avx2::moments(y, d, count, terms, moment);
    else
        portable::moments(y, d, count, terms, moment);
}

void positions(const double* x, std::size_t count, double lo, double inverse, Crowd crowd,
               double* y) {
    if (vectorised())
        avx2::positions(x, count, lo, inverse, crowd, y);
    else
        portable::positions(x, count, lo, inverse, crowd, y);
}

void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment) {
    if (vectorised())
        avx2::placed_moments(x, d, count, lo, inverse, crowd, terms, moment);
    else
        portable::placed_moments(x, d, count, lo, inverse, crowd, terms, moment);
}

void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu) {
    if (vectorised())
        avx2::node_weights(reads, mu, terms, nodes, nu);
    else
        portable::node_weights(reads, mu, terms, nodes, nu);
}

namespace portable {
// Two doubles side by side: the baseline's vectors.
using Pair = double __attribute__((vector_size(16)));
void node_weights(const double* reads, const double* mu, std::size_t terms, std::size_t nodes,
                  double* nu) {
    node_weights_kernel<Pair, 2>(reads, mu, terms, nodes, nu);
}
void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment) {
    moments_kernel<Pair, 2>(y, d, count, terms, moment, taken);
}

// Here the roots are taken a vector at a time by positions() (see the build's options for its
// file), and then the moments.
void placed_moments(const double* x, const double* d, std::size_t count, double lo, double inverse,
                    Crowd crowd, std::size_t terms, double* moment) {
    double y[max_placed];
    portable::positions(x, count, lo, inverse, crowd, y);
    portable::moments(y, d, count, terms, moment);
}
} // namespace portable

#if !defined(LUMAGNIS_HAVE_AVX2)
namespace avx2 {
// Never called where the AVX2 file is not built: vectorised() is false there.
void node_weights(const double*, const double*, std::size_t, std::size_t, double*) {}
void moments(const double*, const double*, std::size_t, std::size_t, double*) {}
void positions(const double*, std::size_t, double, double, Crowd, double*) {}
void placed_moments(const double*, const double*, std::size_t, double, double, Crowd, std::size_t,
                    double*) {}
} // namespace avx2
#endif

} // namespace lumagnis::models::fspl::table_moments
