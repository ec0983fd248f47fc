#include "models/fspl_lanes.hpp"

namespace lumagnis::models::fspl::lanes {
namespace {

bool detect_vectorised() {
#if defined(LUMAGNIS_HAVE_AVX2)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

} // namespace

bool vectorised() {
    static const bool answer = detect_vectorised();
    return answer;
}

#if !defined(LUMAGNIS_HAVE_AVX2)
namespace avx2 {
// Never called where the AVX2 file is not built: vectorised() is false there.
template <bool WithGradient> void closed_lanes(double, const double*, DiskLanes&) {}
template void closed_lanes<false>(double, const double*, DiskLanes&);
template void closed_lanes<true>(double, const double*, DiskLanes&);
} // namespace avx2
#endif

} // namespace lumagnis::models::fspl::lanes
