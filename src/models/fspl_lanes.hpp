#pragma once
// The uniform disk's closed form for four radii side by side, on the widest vectors the
// processor has: AVX2 where it runs (chosen once, at run time), the portable four-lane type
// elsewhere. Both give the same bits: every lane is computed by the same correctly rounded
// operations, and the lanes stop together.

#include "models/fspl_disk.hpp"

namespace lumagnis::models::fspl::lanes {

// Whether the AVX2 lanes run on this processor.
bool vectorised();

// The general closed form (not the limb's) for radius[0..3], into `out`.
namespace portable {
template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out);
} // namespace portable
namespace avx2 {
template <bool WithGradient> void closed_lanes(double u, const double* radius, DiskLanes& out);
} // namespace avx2

} // namespace lumagnis::models::fspl::lanes
