// Compiled for AVX2 (never FMA): run only where vectorised() found it.
#include "models/fspl_table_moments.hpp"

#if defined(LUMAGNIS_HAVE_AVX2)

namespace lumagnis::models::fspl::table_moments::avx2 {

using Quad = double __attribute__((vector_size(32)));

void moments(const double* y, const double* d, std::size_t count, std::size_t terms,
             double* moment) {
    moments_kernel<Quad, 4>(y, d, count, terms, moment);
}

} // namespace lumagnis::models::fspl::table_moments::avx2

#endif
