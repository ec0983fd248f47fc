#pragma once
// Kernel values for many points at once: the optimised path behind the public functions.
//
// Each value is that of the scalar kernel, bit for bit, or NaN where the scalar kernel fails
// (or where its outcome is known to be NaN or a failure without evaluating it). Callers that
// must report a failure's text re-evaluate the NaN points with the scalar kernel.

#include <cstddef>

namespace lumagnis::models {
struct WittMaoSource;
} // namespace lumagnis::models

namespace lumagnis::models::batch {

// heyrovsky_kernel(l, r[i], re, rstar) for i < count.
void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count);

// The values of witt_mao_kernel for the separations l[i], i < count.
void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count);

// The scalar kernels, with NaN for a failure: the lanes that leave the common path.
double scalar_ring_value(double l, double r, double re, double rstar);
double scalar_disk_value(double l, const WittMaoSource& source);
// R_C(1, 1 + e) of an R_J duplication step; `failed` is set where it fails.
double scalar_rj_correction(double e, double d, double rx, double ry, double rz, double rp,
                            double p, bool& failed);

// Whether the vectorised kernels run on this processor.
bool vectorised();

namespace portable {
// The same, point by point, on any processor.
void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count);
void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count);
} // namespace portable

namespace avx2 {
// The same, four points at a time; only on processors with AVX2.
void heyrovsky_values(double l, double re, double rstar, const double* r, double* out,
                      std::size_t count);
void witt_mao_values(const double* l, double re, double rstar, double* out, std::size_t count);
} // namespace avx2

} // namespace lumagnis::models::batch
