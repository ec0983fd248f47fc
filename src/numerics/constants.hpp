#pragma once
// The constants every kernel shares, written once: the multiples of pi, and the widths of the
// bands in which the ring and uniform-disk kernels leave their general elliptic forms.

namespace lumagnis::constants {

inline constexpr double pi = 3.141592653589793;
inline constexpr double half_pi = 1.5707963267948966; // pi / 2, exact halving
inline constexpr double two_pi = 6.283185307179586;   // 2 pi, exact doubling
inline constexpr double three_pi = 9.42477796076938;  // 3 pi, rounded once

// Half-width of the band around the ring (|l - r| below it) in which the ring kernel's elliptic
// form loses its accuracy (n and m tend to 1) and the logarithmic expansion about the ring is
// used instead.
inline constexpr double ring_band = 1e-6;
// The expansion is about a ring of finite radius: where l + r is itself tiny, a gap of at least
// this fraction of l + r is not small beside the radii, and the general form is the accurate
// one there (its error grows like epsilon ((l + r) / (l - r))^2, so at most 2e-8 at this ratio).
inline constexpr double ring_band_min_gap = 1e-4;

// Half-width of the limb band of the uniform disk, relative to the source radius. Near u = rho
// the characteristic n tends to 1 and the general form cancels catastrophically; inside the band
// the closed form for a lens exactly on the limb is used. Scaling the band with rho keeps it a
// fixed fraction of the source: a fixed width in Einstein radii would cover most of a small
// source and nothing of a large one.
inline constexpr double limb_band = 1e-5;

// The source radii (Einstein radii) the modeller's module accepts. Above the largest a source
// is no longer physical; below the smallest the closed form's 1 / R^3 in its slopes would
// overflow. Within them every value and slope is finite.
inline constexpr double fspl_rho_min = 1e-100;
inline constexpr double fspl_rho_max = 1e6;
// The exponents of the power-2 law 1 - c (1 - mu^alpha) that the modeller's module accepts.
inline constexpr double power2_alpha_min = 0.001;
inline constexpr double power2_alpha_max = 200.0;

} // namespace lumagnis::constants
