// The far-field row compiled for AVX2 (never FMA), called only where the processor has it.

#include "models/fspl_far_row.hpp"

#if defined(__AVX2__)

namespace lumagnis::models::fspl::far_rows::avx2 {

template <bool WithGradient>
bool row(const double* u, const double* radius, const Moments& moments, DiskLanes& out) {
    return far_row::row<WithGradient>(u, radius, moments, out);
}
template bool row<false>(const double*, const double*, const Moments&, DiskLanes&);
template bool row<true>(const double*, const double*, const Moments&, DiskLanes&);

} // namespace lumagnis::models::fspl::far_rows::avx2

#endif
