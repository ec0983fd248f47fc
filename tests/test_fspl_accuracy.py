"""lumagnis_fspl against the stored high-precision references, and the properties that tie its
values and slopes together: no sawtooth along a light curve, the point-lens limits, the chain
rule through the trajectory."""

import math

import numpy as np
import pytest

import lumagnis_fspl as fspl
from fspl_reference import load_rows

ROWS = load_rows()
PROFILES = sorted({row.profile[0] for row in ROWS})


def make_profile(name, params):
    if name == "TabulatedMu":
        return fspl.Tabulated.from_mu(*params)
    return None if name == "Uniform" else getattr(fspl, name)(*params)


def evaluate(profile, u, rho):
    if profile is None:
        return fspl.uniform(u, rho, gradient=True)
    return fspl.limb_darkened(u, rho, profile, gradient=True)


def relative_error(ours, ref):
    if math.isinf(ref):
        return 0.0 if ours == ref else math.inf
    return abs(ours - ref) / abs(ref) if ref != 0 else abs(ours)


@pytest.mark.parametrize("name", PROFILES)
def test_reference_grid(name):
    """Value within 1e-10 and each slope within 1e-8 of the reference at every grid point of the
    profile (rho from 1e-5 to 100, u from 0 through the limb to 1000 rho)."""
    failures = []
    for row in (r for r in ROWS if r.profile[0] == name):
        profile = make_profile(*row.profile)
        a, da_du, da_drho = evaluate(profile, row.u, row.rho)
        checks = [("A", a, row.A, 1e-10)]
        checks += [(key, ours, ref, 1e-8) for key, ours, ref in
                   (("dA/du", da_du, row.dA_du), ("dA/drho", da_drho, row.dA_drho))
                   if ref is not None]
        for key, ours, ref, tolerance in checks:
            error = relative_error(ours, ref)
            if not error <= tolerance:
                failures.append(f"{key} u={row.u!r} rho={row.rho!r}: {ours!r} vs {ref!r} ({error:.1e})")
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("profile", [None, fspl.Linear(0.6), fspl.SquareRoot(0.3, 0.5),
                                     fspl.Power2(0.7, 0.6)], ids=repr)
@pytest.mark.parametrize("rho", [1e-3, 1.0])
def test_no_sawtooth_along_a_light_curve(profile, rho):
    """Fourth differences on a fine grid stay at the size of the smooth curve's own: an error
    that jumps from point to point (where quadrature nodes fall, or where a rule changes) would
    show there, up to 16 times its size (a switch between fixed rules leaves a step below 5e-13).
    Away from the limb, whose logarithm dominates them."""
    h = 1e-4 * rho
    for lo, hi in ((0.2, 0.8), (1.2, 3.0)):
        u = np.arange(lo * rho, hi * rho, h)
        a = fspl.magnification_curve(u, 0.0, 0.0, 1.0, rho, profile) if profile else fspl.uniform(u, rho)
        fourth = np.abs(np.diff(a, 4)) / a[4:]
        assert fourth.max() < 5e-12, (lo, hi, fourth.max())


@pytest.mark.parametrize("profile", [None, fspl.Quadratic(0.4, 0.25)], ids=repr)
def test_point_source_limits(profile):
    """A tiny source is a point source, value and slope in u; far from any source, too."""
    for u, rho in ((0.5, 1e-8), (3.0, 1e-7), (1e3, 1.0)):
        a, da_du, _ = evaluate(profile, u, rho)
        ps, dps = fspl.point_source(u, gradient=True)
        assert a == pytest.approx(ps, rel=1e-12)
        assert da_du == pytest.approx(dps, rel=1e-6)
    a, da_du, _ = evaluate(profile, 0.0, 1e-3)
    assert da_du == 0.0 and a > 1.0


def test_curve_gradient_is_the_chain_rule():
    """magnification_curve's slopes are those of limb_darkened carried through
    u = sqrt(u0^2 + ((t - t0) / tE)^2), including u = 0 (slope 0) and a negative u0."""
    t = np.array([-40.0, -5.0, 1.0, 2.0, 2.5, 30.0])
    profile = fspl.Linear(0.6)
    for t0, u0, te, rho in ((2.0, 0.004, 20.0, 0.01), (2.0, 0.0, 20.0, 0.01), (0.0, -0.3, 5.0, 1.0)):
        a, dt0, du0, dte, drho = fspl.magnification_curve(t, t0, u0, te, rho, profile, gradient=True)
        tau = (t - t0) / te
        u = np.sqrt(u0 * u0 + tau * tau)  # the trajectory's own root, to the bit, in this range
        value, slope_u, slope_rho = fspl.limb_darkened(u, rho, profile, gradient=True)
        np.testing.assert_array_equal(a, value)
        np.testing.assert_array_equal(drho, slope_rho)
        with np.errstate(invalid="ignore", divide="ignore"):
            expected = [slope_u * (-tau / (te * u)), slope_u * (u0 / u), slope_u * (-tau**2 / (te * u))]
        for ours, chain in zip((dt0, du0, dte), expected):
            chain = np.where(u == 0, 0.0, chain)
            np.testing.assert_allclose(ours, chain, rtol=1e-14, atol=0)


def test_slope_near_the_limb_grows_like_the_logarithm():
    """Approaching the limb the slope in u diverges like c log|u - rho|: equal steps in the
    logarithm of the distance add equal amounts, on both sides."""
    rho = 0.1
    for profile in (None, fspl.Linear(0.6)):
        for side in (-1, 1):
            slopes = [evaluate(profile, rho * (1 + side * 10.0**-k), rho)[1] for k in (6, 8, 10)]
            first, second = slopes[1] - slopes[0], slopes[2] - slopes[1]
            assert first < 0 and second == pytest.approx(first, rel=5e-3)


def test_chords_give_the_same_bits_on_both_paths():
    """The linear law's limb term by chords: the AVX2 and the portable lanes agree to the bit,
    for sources across every length of rule and separations across each band, its edges, the
    centre, the limb and the far field's start; the value's bits do not depend on the slopes."""
    import lumagnis_testing as T

    rng = np.random.default_rng(11)
    rhos = [1e-20, 1e-3, 1.0000000000000002e-3, 0.05, 0.2, 0.5, 1.0, 2.0] + list(10.0 ** rng.uniform(-8, math.log10(2), 40))
    ratios = [0.0, 0.2, 0.5, 0.8, 1.0, 1 - 1e-15, 1 + 1e-15, 1.05, 1.2, 1.5, 2.2, 4.0]
    paths = (False, True) if T.fspl_vectorised() else (False,)
    for rho in rhos:
        for z in ratios + list(rng.uniform(0, 4, 6)):
            u = min(z * rho, 4 * rho)
            value = [T.fspl_chord_mu(u, rho, avx2, False)[0].hex() for avx2 in paths]
            slopes = [tuple(x.hex() for x in T.fspl_chord_mu(u, rho, avx2, True)) for avx2 in paths]
            assert len(set(value)) == 1 and len(set(slopes)) == 1, (u, rho)
            assert value[0] == slopes[0][0], (u, rho)
            assert all(math.isfinite(float.fromhex(x)) for x in slopes[0]), (u, rho)


def test_dark_limb_slope_is_continuous_at_the_limb():
    """A law dark at the limb has a finite dA/du there, the limit from inside (its second
    derivative is finite inside): on the limb itself it is within 1e-9 of the slope 1e-12 rho
    inside."""
    for rho in (1e-3, 0.3, 1.0, 2.0):
        at, inside = (evaluate(fspl.Linear(1.0), np.array([rho, rho * (1 - 1e-12)]), rho)[1])
        assert at == pytest.approx(inside, rel=1e-9), rho


def test_avx2_lanes_equal_the_portable_lanes():
    """The AVX2 and the portable four-lane closed forms give the same bits, slopes included,
    across separations inside, at and outside the limb, and lanes that stop at different steps;
    and two fours run side by side give each four's bits alone, whichever stops first."""
    import lumagnis_testing as T

    if not T.fspl_vectorised():
        pytest.skip("this processor has no AVX2: only the portable lanes run")
    rng = np.random.default_rng(7)
    for _ in range(500):
        u = float(10.0 ** rng.uniform(-6, 2))
        radii = (u * 10.0 ** rng.uniform(-3, 3, size=8)).tolist()
        for four in (0, 4):
            radii[four + int(rng.integers(4))] = u * (1 + float(rng.choice([-1e-9, 1e-6, 0.3])))
        for gradient in (False, True):
            portable = T.fspl_disk_lanes(u, *radii[:4], False, gradient)
            avx2 = T.fspl_disk_lanes(u, *radii[:4], True, gradient)
            assert [x.hex() for x in avx2] == [x.hex() for x in portable], (u, radii)
            alone = avx2 + T.fspl_disk_lanes(u, *radii[4:], True, gradient)
            for path in (True, False):
                both = T.fspl_disk_lanes_two(u, *radii, path, gradient)
                assert [x.hex() for x in both] == [x.hex() for x in alone], (u, radii, path)

