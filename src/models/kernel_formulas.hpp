#pragma once
// The general cases of the ring and uniform-disk kernels, written once as templates over the
// lane type (numerics/lanes.hpp): the scalar kernels and the AVX2 kernels evaluate these very
// expressions, so that every lane gives the scalar bits. The elliptic integrals enter as
// values; the callers compute them (with the scalar routines, or the lane-generic fits).
//
// The operation order and parenthesisation of every expression here is part of the result:
// rewriting an expression into an algebraically equal one moves the last bits.

#include <cmath>

#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"

namespace lumagnis::models::formulas {

// --- The ring kernel: a ring of radius r, the lens at separation l (source radii).

// Whether the ring kernel takes the logarithmic expansion about the ring, with delta = l - r and
// h = l + r. The expansion is about a ring of finite radius, so a gap that is not small beside
// the radii (0 < l + r below 1e-2) leaves the band for the general form. l == r, a negative
// l + r, and radii whose square underflows (where the general form cannot work) stay in it.
template <class L> typename L::Mask near_ring(typename L::Value delta, typename L::Value h) {
    using T = typename L::Value;
    const T zero = L::splat(0.0);
    const typename L::Mask wide_gap =
        L::both(L::both(L::not_equal(delta, zero), L::greater(h, zero)),
                L::both(L::greater(h * h, zero),
                        L::greater_equal(L::abs(delta), constants::ring_band_min_gap * h)));
    return L::but_not(L::less(L::abs(delta), L::splat(constants::ring_band)), wide_gap);
}

template <class L> struct RingGeometry {
    typename L::Value g; // 4 kappa^2 + delta^2
    typename L::Value h; // l + r
    typename L::Value m; // the parameter of the elliptic integrals
    typename L::Value n; // the characteristic 4 l r / (l + r)^2
};

// `kappa` is re / rstar and `kappa2` its square, formed once per call.
template <class L>
RingGeometry<L> ring_geometry(typename L::Value l, typename L::Value r, typename L::Value delta,
                              double kappa, double kappa2) {
    using T = typename L::Value;
    const T g = kappa2 * 4 + delta * delta;
    const T h = l + r;
    const T k = L::sqrt((l * r) / g) * ((kappa * 4) / h);
    const T n = ((l * 4) * r) / (h * h);
    return RingGeometry<L>{.g = g, .h = h, .m = k * k, .n = n};
}

// The ring average off the band, from K(m) and Pi(n, m). The order is the definition of the
// result, not a matter of taste: 2 kappa^2 K + delta^2 Pi is summed first, the common factor
// 4 / (h sqrt g) is one rounded quotient applied to the sum, and the division by 2 pi comes last.
// Folding 2 pi into that factor, or applying it to each term, is equal in exact arithmetic and
// differs in the last bits; the scalar path, the lanes and the tests' transcription all keep
// this one order.
template <class L>
typename L::Value ring_value(const RingGeometry<L>& ring, typename L::Value delta, double kappa2,
                             typename L::Value big_k, typename L::Value big_pi) {
    return (((kappa2 + kappa2) * big_k + (delta * delta) * big_pi) *
            (4 / (ring.h * L::sqrt(ring.g)))) /
           constants::two_pi;
}

// --- The uniform disk: the lens at separation l (source radii), u = l rho.

template <class L> struct DiskPosition {
    typename L::Value u;     // the separation in Einstein radii
    typename L::Value delta; // u - rho
};

template <class L> DiskPosition<L> disk_position(typename L::Value l, const WittMaoSource& source) {
    const typename L::Value u = l * source.rho;
    return DiskPosition<L>{.u = u, .delta = u - source.rho};
}

// Whether the lens is taken to lie on the limb. Written as a product, not as |l - 1| or a
// quotient: those choose the other case at the band edges. delta == 0 keeps rho = 0 (an empty
// band) on the limb form.
template <class L> typename L::Mask on_limb(typename L::Value delta, const WittMaoSource& source) {
    return L::either(L::less(L::abs(delta), L::splat(constants::limb_band * std::fabs(source.rho))),
                     L::equal(delta, L::splat(0.0)));
}

template <class L> struct DiskGeometry {
    typename L::Value s; // sqrt(delta^2 + 4)
    typename L::Value n; // the characteristic 4 rho u / (rho + u)^2
    typename L::Value m; // the parameter 4 n / s^2
};

template <class L>
DiskGeometry<L> disk_geometry(const DiskPosition<L>& at, const WittMaoSource& source) {
    using T = typename L::Value;
    const T rho_u = source.rho + at.u;
    const T s = L::sqrt(at.delta * at.delta + 4);
    const T n = (source.four_rho * at.u) / (rho_u * rho_u);
    const T t = L::sqrt(n * 4) / s;
    return DiskGeometry<L>{.s = s, .n = n, .m = t * t};
}

// The closed form off the limb, from E(m), K(m) and Pi(n, m). Each term keeps its own grouping,
// and the sum S is divided by pi as (S - pi) / 2 pi + (S + pi) / 2 pi: S / pi in exact
// arithmetic, but the two quotients are what is computed, and they differ from S / pi in the
// last bits.
template <class L>
typename L::Value disk_value(const DiskPosition<L>& at, const DiskGeometry<L>& disk,
                             const WittMaoSource& source, typename L::Value e, typename L::Value k,
                             typename L::Value p) {
    using T = typename L::Value;
    using constants::pi;
    using constants::two_pi;
    const double rho = source.rho;
    const double rho2 = source.rho2;
    const T u = at.u;
    const T delta = at.delta;
    const T term_e = e * ((disk.s * (rho + u)) / source.two_rho2);
    const T term_k = ((delta * ((u * u - rho2) * 0.5 + 4)) / (rho2 * disk.s)) * k;
    const T term_p = p * ((source.one_plus_rho2 * (delta * delta + delta * delta)) /
                          ((rho2 * (rho + u)) * disk.s));
    const T sum = term_p + (term_e - term_k);
    return (sum - pi) / two_pi + (sum + pi) / two_pi;
}

} // namespace lumagnis::models::formulas
