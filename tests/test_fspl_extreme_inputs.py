"""lumagnis_fspl at the edges of what it accepts: separations next to zero and beyond 1e77,
source radii at the ends of their range, power-2 limbs from alpha = 0.01 to 100, tables whose
flux sits in a sliver of the disk or whose intensities are near the ends of the doubles, and
coefficients near the largest double. References are closed forms, mpmath quadratures, or the
source's own symmetries; never our own output."""

import math

import mpmath
import numpy as np
import pytest

import lumagnis_fspl as fspl

mpmath.mp.dps = 30


def centre_reference(rho, intensity, flux):
    """A at u = 0: every ring about the centre has the point magnification of its radius, so
    A = int_0^1 2 r I(r) A_ps(rho r) dr / N, with I a function of mu = sqrt(1 - r^2)."""
    def integrand(r):
        s = rho * r
        return 2 * r * intensity(mpmath.sqrt(1 - r * r)) * (s * s + 2) / (s * mpmath.sqrt(s * s + 4))
    return float(mpmath.quad(integrand, [0, 0.5, 1]) / flux)


def power2_centre(c, alpha, rho):
    c, alpha = mpmath.mpf(c), mpmath.mpf(alpha)
    return centre_reference(rho, lambda mu: 1 - c * (1 - mu**alpha), 1 - c * alpha / (alpha + 2))


@pytest.mark.parametrize("profile, reference", [
    (fspl.Linear(0.6), lambda rho: centre_reference(rho, lambda mu: 0.4 + 0.6 * mu, mpmath.mpf(0.8))),
    (fspl.Power2(0.6, 0.01), lambda rho: power2_centre(0.6, 0.01, rho)),
    (fspl.Power2(0.6, 0.1), lambda rho: power2_centre(0.6, 0.1, rho)),
    (fspl.Power2(0.8, 50.0), lambda rho: power2_centre(0.8, 50.0, rho)),
    (fspl.Power2(0.9, 100.0), lambda rho: power2_centre(0.9, 100.0, rho)),
], ids=repr)
@pytest.mark.parametrize("rho", [3.9e-4, 0.7, 40.0])
def test_centre_and_its_tiny_neighbourhood_match_the_centre_quadrature(profile, reference, rho):
    # The value at u = 0, and at separations down to the smallest subnormal, is the u -> 0 limit
    # (it moves like (u / rho)^2, below rounding here).
    expected = reference(rho)
    u = rho * np.array([0.0, 5e-324 / rho, 1e-300, 5.6e-17, 1e-15, 8e-13, 1e-9])
    values = fspl.limb_darkened(u, rho, profile)
    np.testing.assert_allclose(values, expected, rtol=1e-12, atol=0)
    slopes = fspl.limb_darkened(u, rho, profile, gradient=True)[1]
    assert np.all(np.isfinite(slopes))


def test_power2_small_exponent_never_demagnifies_far_out():
    # The mean of the point magnification, which exceeds 1 everywhere, exceeds 1.
    for law in (fspl.Power2(0.6, 0.01), fspl.Power2(1.0, 0.05), fspl.Power2(0.6, 0.3)):
        z = np.array([1.2, 1.7, 5.9, 6.1, 14.9, 15.0, 15.1, 1e3])
        assert np.all(fspl.limb_darkened(z, 1.0, law) > 1)


@pytest.mark.parametrize("eps", [1e-4, 1e-6, 1e-8, 1e-10])
def test_table_concentrated_towards_the_centre_is_a_smaller_source(eps):
    # Tabulated([0, eps, 1], [1, 0, 0]) at radius rho is Tabulated([0, 1], [1, 0]) at eps rho.
    rho = 0.03
    u = rho * np.array([0.0, 0.5 * eps, eps, 3 * eps, 0.3, 1.0, 5.0])
    small = fspl.limb_darkened(u, rho, fspl.Tabulated([0, eps, 1], [1, 0, 0]), gradient=True)
    same = fspl.limb_darkened(u, eps * rho, fspl.Tabulated([0, 1], [1, 0]), gradient=True)
    np.testing.assert_allclose(small[0], same[0], rtol=1e-12)
    np.testing.assert_allclose(small[1], same[1], rtol=1e-9)
    np.testing.assert_allclose(small[2], eps * same[2], rtol=1e-9)


@pytest.mark.parametrize("table", [
    ([0.0, 1.0], [1e308, 1e308]),
    ([0.0, 1.0], [5e-324, 5e-324]),
    ([0.0, 0.4, 1.0], [1e-300, 1e-300, 1e-300]),
    ([0.0, 5e-324, 1.0], [0.5, 0.5, 0.5]),
    ([0.0, 5e-324, 1.0], [1.0, 0.5, 0.5]),  # differs from a uniform disk at one point only
])
def test_tables_that_are_uniform_disks_at_any_scale(table):
    u = np.array([0.0, 0.05, 0.1, 0.2, 3.0])
    np.testing.assert_allclose(fspl.limb_darkened(u, 0.1, fspl.Tabulated(*table)), fspl.uniform(u, 0.1),
                               rtol=1e-13)


def test_sharp_edge_is_the_smaller_disk_at_the_centre():
    # A ramp 1e-9 wide at r = 0.5: within 1e-9 of the uniform disk of radius 0.5 rho, whose
    # value at the centre is sqrt(R^2 + 4) / R.
    value = fspl.limb_darkened(0.0, 1.0, fspl.Tabulated([0, 0.5, 0.5 + 1e-9, 1], [1, 1, 0, 0]))
    assert value == pytest.approx(math.sqrt(0.25 + 4) / 0.5, rel=3e-9)


@pytest.mark.parametrize("huge, limit", [
    (fspl.Linear(-1.79e308), fspl.Linear(-1e15)),
    (fspl.Quadratic(-1e308, -1e308), fspl.Quadratic(-1e15, -1e15)),
    (fspl.Power2(-1.7e308, 0.5), fspl.Power2(-1e15, 0.5)),
], ids=repr)
def test_coefficients_near_the_largest_double_give_the_limit_law(huge, limit):
    u = np.array([0.0, 0.05, 0.1, 0.3])
    np.testing.assert_allclose(fspl.limb_darkened(u, 0.1, huge), fspl.limb_darkened(u, 0.1, limit), rtol=1e-13)


def test_magnitudes_at_the_ends_of_the_ranges():
    assert fspl.point_source(-0.0) == math.inf
    # Tiny sources at the centre: the uniform disk's sqrt(rho^2 + 4) / rho, finite.
    assert fspl.uniform(0.0, 1e-100) == pytest.approx(2e100, rel=1e-15)
    assert fspl.limb_darkened(0.0, 1e-100, fspl.Linear(0.0)) == pytest.approx(2e100, rel=1e-13)
    # Separations beyond 1e77: A - 1 = 2 / u^4 is below the last bit.
    for u in (1.3e77, 1e90, 1e100, 1e300):
        for profile in (None, fspl.Linear(0.6), fspl.Tabulated([0, 1], [1, 0.2])):
            value, slope, _ = (fspl.uniform(u, 1e6, gradient=True) if profile is None
                               else fspl.limb_darkened(u, 1e6, profile, gradient=True))
            assert value == 1.0
            assert slope == pytest.approx(-8 * (1 / u) ** 5, rel=1e-12, abs=1e-320)


def test_light_curve_through_the_centre_and_over_the_limb():
    # An ordinary grid with u0 = 0 has an epoch at t = -2.2e-16.
    curve = fspl.magnification_curve(np.arange(-1, 1, 0.1), 0, 0, 1, 0.1, fspl.Linear(0.6))
    assert np.all(np.isfinite(curve))
    # At t = t0 with |u0| = rho, u is stationary in t0 and tE: those slopes are 0 by symmetry.
    for profile in (None, fspl.Linear(0.5)):
        _, d_t0, _, d_te, _ = fspl.magnification_curve(0.0, 0.0, 0.01, 20.0, 0.01, profile, gradient=True)
        assert d_t0 == 0 and d_te == 0


@pytest.mark.parametrize("profile", [fspl.Linear(0.6), fspl.Power2(0.7, 0.6),
                                     fspl.Tabulated.from_mu([0.0, 0.5, 1.0], [0.3, 0.8, 1.0])])
@pytest.mark.parametrize("rho", [1e-70, 1e-95])
def test_slope_near_the_centre_of_a_tiny_source_scales_like_one_over_rho_squared(profile, rho):
    # Below rho ~ 1e-50 the point magnification is 1/u to far below rounding, so
    # A(k rho, rho) = G(k) / rho exactly in double precision and rho^2 dA/du depends on k only.
    k = np.array([1e-9, 1e-6, 1e-4, 9e-4])
    _, slope, _ = fspl.limb_darkened(k * rho, rho, profile, gradient=True)
    _, moderate, _ = fspl.limb_darkened(k * 1e-40, 1e-40, profile, gradient=True)
    assert np.all(slope < 0)
    np.testing.assert_allclose(slope * rho**2, moderate * 1e-80, rtol=1e-10)


def test_power2_exponent_slope_with_a_coefficient_near_the_largest_double():
    c, rho = -1.79e308, 0.1

    def centre(alpha):
        return mpmath.quad(lambda r: 2 * r * (1 - c * (1 - mpmath.sqrt(1 - r * r) ** alpha))
                           * (rho * rho * r * r + 2) / (rho * r * mpmath.sqrt(rho * rho * r * r + 4)),
                           [0, 0.5, 1]) / (1 - c * alpha / (alpha + 2))

    _, d = fspl.limb_darkened(0.0, rho, fspl.Power2(c, 1.3), coefficients=True)
    assert d[1] == pytest.approx(float(mpmath.diff(centre, mpmath.mpf(1.3))), rel=1e-9)


@pytest.mark.parametrize("t0, tE", [(1e300, 20.0), (0.0, 5e-324), (-1e300, 1e-300)])
def test_curve_slopes_stay_finite_where_the_trajectory_factors_overflow(t0, tE):
    # At t = t0 the separation is u0 and stationary in t0 and tE; far from t0, A = 1 to the
    # last bit and every slope is below the smallest double.
    t = np.array([t0, 0.0 if t0 > 0 else 1e300])
    a, d_t0, d_u0, d_tE, d_rho = fspl.magnification_curve(t, t0, 0.004, tE, 0.01, fspl.Linear(0.6),
                                                          gradient=True)
    at_u0, slope, _ = fspl.limb_darkened(0.004, 0.01, fspl.Linear(0.6), gradient=True)
    assert (a[0], d_t0[0], d_u0[0], d_tE[0]) == (at_u0, 0.0, slope, 0.0)
    assert a[1] == 1.0 and d_t0[1] == d_u0[1] == d_tE[1] == d_rho[1] == 0.0


@pytest.mark.parametrize("c, alpha", [(0.6, 1.0), (0.7, 0.6)])
@pytest.mark.parametrize("rho", [1e-100, 3e-99])
def test_lens_near_the_centre_of_the_smallest_sources(c, alpha, rho):
    # Within 1e-8 rho of the centre A differs from A(0) by ~(u / rho)^2.
    u = np.array([5e-324, 1e-12 * rho, 1e-8 * rho])
    a, *slopes, d_coefficients = fspl.limb_darkened(u, rho, fspl.Power2(c, alpha), gradient=True,
                                                    coefficients=True)
    np.testing.assert_allclose(a, power2_centre(c, alpha, rho), rtol=1e-10)
    assert all(np.all(np.isfinite(s)) for s in [*slopes, d_coefficients])


@pytest.mark.parametrize("rho", [1e-5, 0.1, 1.0])
def test_table_with_the_lens_a_hair_from_the_centre(rho):
    # Within 1e-100 of the centre a table's A and its slopes in the samples are those at the
    # centre: A = sum I_j F_j / sum I_j N_j over the hat functions, each by mpmath.
    r, intensity = [0.0, 0.5, 1.0], [1.0, 0.8, 0.3]
    hats = [lambda x: mpmath.mpf(1) - 2 * x if x < 0.5 else mpmath.mpf(0),
            lambda x: 2 * x if x < 0.5 else 2 - 2 * x,
            lambda x: mpmath.mpf(0) if x < 0.5 else 2 * x - 1]
    point = lambda s: (s * s + 2) / (s * mpmath.sqrt(s * s + 4))  # noqa: E731
    F = [mpmath.quad(lambda x: 2 * x * h(x) * point(rho * x), [0, 0.5, 1]) for h in hats]
    N = [mpmath.quad(lambda x: 2 * x * h(x), [0, 0.5, 1]) for h in hats]
    flux = sum(i * n for i, n in zip(intensity, N))
    a = sum(i * f for i, f in zip(intensity, F)) / flux
    slopes = [float((f - a * n) / flux) for f, n in zip(F, N)]
    u = np.array([5e-324, 1e-140, 1e-120, 1e-108])
    value, d_intensity = fspl.limb_darkened(u, rho, fspl.Tabulated(r, intensity), coefficients=True)
    np.testing.assert_allclose(value, float(a), rtol=1e-12)
    np.testing.assert_allclose(d_intensity, np.broadcast_to(slopes, (4, 3)), rtol=1e-10)


@pytest.mark.parametrize("rho", [1e-100, 1e-59, 1e-40])
def test_table_on_a_source_so_small_that_the_lens_sees_one_over_x(rho):
    # Below ~1e-20 the point magnification is 1/x over the disk; with the lens next to the
    # centre, A = 2 int I dr / (rho int 2 r I dr) = 174 / (73 rho) for this table, and
    # dA/drho = -A / rho.
    u = rho * np.array([1e-130, 1e-110, 1e-100])
    a, da_du, da_drho = fspl.limb_darkened(u, rho, fspl.Tabulated([0.0, 0.5, 1.0], [1.0, 0.8, 0.3]),
                                           gradient=True)
    np.testing.assert_allclose(a * rho, 174 / 73, rtol=1e-12)
    np.testing.assert_allclose(da_drho * rho**2, -174 / 73, rtol=1e-10)
    assert np.all(np.isfinite(da_du)) and np.all(da_du <= 0)
