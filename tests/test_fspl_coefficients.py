"""Derivatives in the limb-darkening law's coefficients, the four-coefficient law and tables in
mu: against the stored mpmath references, and the identities that tie the laws together."""

import math
import pathlib
import random
import sys

import mpmath
import numpy as np
import pytest

import lumagnis_fspl as fspl
from fspl_reference import load_coefficient_rows

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
import gen_fspl_references as reference  # noqa: E402

COEFFICIENT_ROWS = load_coefficient_rows()


def make_profile(name, params):
    if name == "TabulatedMu":
        return fspl.Tabulated.from_mu(*params)
    return getattr(fspl, name)(*params)


def same_bits(x, y):
    return np.array_equal(np.asarray(x).view(np.int64), np.asarray(y).view(np.int64))


@pytest.mark.parametrize("name", sorted({row.profile[0] for row in COEFFICIENT_ROWS}))
def test_coefficient_derivatives_against_references(name):
    """Every derivative within 1e-8 of the mpmath reference, or, where the derivative is itself
    below the rounding of the value (sources of 10 Einstein radii, where A - 1 is ~1e-5 and the
    coefficients move only its last digits), within 20 ulp of A. The value and the slopes in u
    and rho are the same bits as without the coefficients."""
    failures = []
    for row in (r for r in COEFFICIENT_ROWS if r.profile[0] == name):
        profile = make_profile(*row.profile)
        a, da_du, da_drho, d = fspl.limb_darkened(row.u, row.rho, profile, gradient=True,
                                                   coefficients=True)
        plain = fspl.limb_darkened(row.u, row.rho, profile, gradient=True)
        assert same_bits([a, da_du, da_drho], plain)
        value_only, d_value_only = fspl.limb_darkened(row.u, row.rho, profile, coefficients=True)
        assert same_bits(value_only, a) and same_bits(d_value_only, d)
        assert d.shape == (len(row.dA_dcoefficients),)
        for k, (ours, ref) in enumerate(zip(d, row.dA_dcoefficients)):
            error = abs(ours - ref)
            if not error <= max(1e-8 * abs(ref), 20 * math.ulp(row.A)):
                failures.append(f"d/dp{k} u={row.u!r} rho={row.rho!r}: {ours!r} vs {ref!r}")
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("name", ["Linear", "Quadratic", "Nonlinear"])
def test_centred_references_are_radial_integrals(name):
    """At u = 0 every ring is at one distance rho r from the lens, so with g = dI/dp,
    dA/dp = (int g A_ps(rho r) 2r dr - A int g 2r dr) / N: one-dimensional integrals, an
    independent check of the stored references."""
    for row in (r for r in COEFFICIENT_ROWS if r.profile[0] == name and r.u == 0):
        params = [mpmath.mpf(p) for p in row.profile[1]]
        with mpmath.workdps(30):
            rho = mpmath.mpf(row.rho)

            def mu_of(r):
                return mpmath.sqrt(1 - r * r)

            if name == "Linear":
                basis = [lambda mu: mu - 1]
            elif name == "Quadratic":
                basis = [lambda mu: mu - 1, lambda mu: -(1 - mu) ** 2]
            else:
                basis = [lambda mu, k=k: mu ** (mpmath.mpf(k + 1) / 2) - 1 for k in range(4)]
            def intensity(mu):
                return 1 + sum(p * g(mu) for p, g in zip(params, basis))

            def mean(f):
                # r = 1 - t^2 smooths the square root of mu at the limb.
                return mpmath.quad(lambda t: f(1 - t * t) * 2 * (1 - t * t) * 2 * t, [0, 1])

            def point_lens(s):
                return (s * s + 2) / (s * mpmath.sqrt(s * s + 4))

            flux = mean(lambda r: intensity(mu_of(r)))
            a = mean(lambda r: intensity(mu_of(r)) * point_lens(rho * r)) / flux
            for g, ref in zip(basis, row.exact):
                d = (mean(lambda r: g(mu_of(r)) * point_lens(rho * r))
                     - a * mean(lambda r: g(mu_of(r)))) / flux
                assert abs(d - mpmath.mpf(ref)) <= 1e-15 * abs(d)


def assert_same_magnification(ours, other, u, rho):
    """Two laws that are the same intensity: the value within the promised 1e-10, the slopes
    within 1e-8 away from the limb (within 1e-2 rho of it they diverge like log|u - rho|, and
    the laws' different rules agree only to ~1e-7 there)."""
    np.testing.assert_allclose(ours[0], other[0], rtol=1e-10)
    away = np.abs(u / rho - 1) > 1e-2
    for k in (1, 2):
        np.testing.assert_allclose(ours[k][away], other[k][away], rtol=1e-8)


def random_points(rng, count):
    """Separations and radii over the accepted domain: rho from 1e-5 to 20, u/rho from 0 (and
    its 1e-9 neighbourhood) through the limb (and its) to 100."""
    rho = 10 ** rng.uniform(-5, 1.3, count)
    ratio = np.concatenate([rng.uniform(0, 3, count // 2 - count // 8),
                            10 ** rng.uniform(-9, -2, count // 8),
                            1 + rng.choice([-1, 1], count // 4) * 10 ** rng.uniform(-9, -2, count // 4),
                            10 ** rng.uniform(0, 2, count - count // 2 - count // 4)])
    return ratio * rho, rho


@pytest.mark.parametrize("a2", [0.6, -0.3, 1.0])
def test_nonlinear_with_only_a2_is_linear(a2):
    """I = 1 - a2 (1 - mu) is both laws: the same magnification, slopes and d/da2 (through the
    four-coefficient law's own quartic in sqrt(mu) and its longer rule)."""
    u, rho = random_points(np.random.default_rng(7), 400)
    ours = fspl.limb_darkened(u, rho, fspl.Nonlinear(0.0, a2, 0.0, 0.0), gradient=True,
                              coefficients=True)
    linear = fspl.limb_darkened(u, rho, fspl.Linear(a2), gradient=True, coefficients=True)
    assert_same_magnification(ours, linear, u, rho)
    np.testing.assert_allclose(ours[3][:, 1], linear[3][:, 0], rtol=1e-8,
                               atol=1e-13 * np.max(np.abs(linear[3])))


@pytest.mark.parametrize("gamma", [-1.5, 0.3, 1.0])
def test_gamma_chain_rule_against_a_table_in_mu(gamma):
    """The Gamma convention's intensity 1 - Gamma (1 - 3 mu / 2) is linear in mu, so it is exactly
    a table in mu with two samples, (1 - Gamma) at mu = 0 and (1 + Gamma / 2) at mu = 1. Its
    magnification equals Linear.from_gamma's, and dA/dGamma from the table's two sample
    derivatives equals dA/da 6 / (2 + Gamma)^2 from the linear law's: two independent paths."""
    u, rho = random_points(np.random.default_rng(11), 300)
    a, d_linear = fspl.limb_darkened(u, rho, fspl.Linear.from_gamma(gamma), coefficients=True)
    table = fspl.Tabulated.from_mu([0.0, 1.0], [1 - gamma, 1 + gamma / 2])
    a_table, d_table = fspl.limb_darkened(u, rho, table, coefficients=True)
    np.testing.assert_allclose(a_table, a, rtol=1e-10)
    by_table = -d_table[:, 0] + 0.5 * d_table[:, 1]
    by_linear = d_linear[:, 0] * 6 / (2 + gamma) ** 2
    np.testing.assert_allclose(by_table, by_linear, rtol=1e-8, atol=1e-14 * np.max(np.abs(by_linear)))


def test_mu_table_of_a_linear_law_is_the_law():
    """A table in mu of 1 - a (1 - mu) (in descending mu, and with samples not reaching the
    limb) is the law itself: the same value and slopes, dA/da as the chain rule through the
    samples, and the tables' scale invariance, sum_j I_j dA/dI_j = 0."""
    a = 0.55
    mu = np.linspace(1.0, 0.0, 9)
    table = fspl.Tabulated.from_mu(mu, 1 - a * (1 - mu))
    u, rho = random_points(np.random.default_rng(5), 400)
    ours = fspl.limb_darkened(u, rho, table, gradient=True, coefficients=True)
    law = fspl.limb_darkened(u, rho, fspl.Linear(a), gradient=True, coefficients=True)
    assert_same_magnification(ours, law, u, rho)
    scale = np.max(np.abs(law[3]))
    np.testing.assert_allclose(ours[3] @ (mu - 1), law[3][:, 0], rtol=1e-8, atol=1e-13 * scale)
    np.testing.assert_allclose(ours[3] @ (1 - a * (1 - mu)), 0, atol=1e-13 * scale)


@pytest.mark.parametrize("profile", [
    fspl.SquareRoot(0.3, 0.0),            # the square root's basis needs a variable of its own
    fspl.Power2(0.7, 0.5),                # the exponent's logarithm needs the limb drawn out
    fspl.Power2(0.4, 1.7),
    fspl.Tabulated([0.2, 0.5, 0.9], [1.0, 1.0, 0.4]),   # a flat segment still has derivatives
], ids=repr)
def test_coefficient_derivatives_against_differences(profile):
    """The laws whose derivatives take a pass of their own (or a segment the value skips) agree
    with central differences of the value, at the differences' own accuracy (~1e-12 of the value
    over a step of 1e-6: 1e-6; where the value's rule changes with the coefficient, as at
    alpha = 0.5, somewhat more), away from the limb, where the value's error (up to 1e-11 there)
    over the step would swamp them. The value and
    slopes are the same bits as without the derivatives."""
    u, rho = random_points(np.random.default_rng(3), 60)
    a, da_du, da_drho, d = fspl.limb_darkened(u, rho, profile, gradient=True, coefficients=True)
    assert same_bits(np.array([a, da_du, da_drho]),
                     np.array(fspl.limb_darkened(u, rho, profile, gradient=True)))
    state = profile.__getstate__()
    tabulated = isinstance(profile, fspl.Tabulated)
    params = list(state[1]) if tabulated else list(state)
    for k in range(len(params)):
        h = 1e-6 * max(abs(params[k]), 1)
        shifted = []
        for sign in (1, -1):
            p = list(params)
            p[k] += sign * h
            law = fspl.Tabulated(state[0], p) if tabulated else type(profile)(*p)
            shifted.append(fspl.limb_darkened(u, rho, law))
        difference = (shifted[0] - shifted[1]) / (2 * h)
        away = np.abs(u / rho - 1) > 1e-2
        np.testing.assert_allclose(d[away, k], difference[away], rtol=1e-5,
                                   atol=1e-9 * np.max(np.abs(difference)))


@pytest.mark.parametrize("band", [(1.05, 1.2), (1.2, 1.7), (1.7, 10.0)], ids=str)
def test_power2_outside_against_mpmath(band):
    """A lens outside the source, where Power2's value takes a Gauss rule in mu for its exponent
    and the derivative in alpha rides on that rule's derivative: both derivatives against the
    mpmath ring integrals (tools/gen_fspl_references.py) at random alpha over the range that
    rule serves, at the band's lower edge and at random u / rho within it, rho from 1e-6 to 1e3,
    within 1e-8 or 20 ulp of A (as the stored references); the value and its slopes are the
    same bits as without them."""
    rng = random.Random(int(band[0] * 100))
    lo, hi = band
    ratios = [lo] + [lo * (hi / lo) ** rng.random() for _ in range(3)]
    for z in ratios:
        c, alpha, rho = rng.uniform(0.05, 1.0), rng.uniform(0.5, 3.0), 10 ** rng.uniform(-6, 3)
        profile = fspl.Power2(c, alpha)
        a, da_du, da_drho, d = fspl.limb_darkened(z * rho, rho, profile, gradient=True,
                                                   coefficients=True)
        assert same_bits([a, da_du, da_drho], fspl.limb_darkened(z * rho, rho, profile,
                                                                  gradient=True))
        with mpmath.workdps(25):
            exact = reference.Profile("Power2", [c, alpha])
            value = reference.value_by_rings(z * rho, rho, exact)
            derivatives = reference.coefficient_derivatives_under_integral(z * rho, rho, exact,
                                                                           value)
        for ours, ref in zip(d, derivatives):
            assert abs(ours - float(ref)) <= max(1e-8 * abs(float(ref)), 20 * math.ulp(a)), (
                f"z={z!r} rho={rho!r} alpha={alpha!r}: {ours!r} vs {mpmath.nstr(ref, 17)}")


def test_curve_coefficients_are_the_disk_ones_at_u_of_t():
    """magnification_curve passes the coefficient derivatives through unchanged (the trajectory
    does not depend on them), with one trailing axis per coefficient, and leaves the value and
    the trajectory's derivatives the same bits."""
    profile = fspl.Nonlinear(0.7, -0.6, 1.1, -0.45)
    t = np.linspace(-0.5, 0.5, 101)
    args = (t, 0.05, 0.003, 20.0, 0.01, profile)
    *grad, d = fspl.magnification_curve(*args, gradient=True, coefficients=True)
    assert same_bits(np.array(grad), np.array(fspl.magnification_curve(*args, gradient=True)))
    u = np.hypot(0.003, (t - 0.05) / 20.0)
    _, d_disk = fspl.limb_darkened(u, 0.01, profile, coefficients=True)
    assert d.shape == (101, 4)
    np.testing.assert_allclose(d, d_disk, rtol=1e-12, atol=1e-12)
    value, d_value = fspl.magnification_curve(0.0, 0.0, 0.1, 20.0, 0.1, None, coefficients=True)
    assert d_value.shape == (0,) and value == fspl.uniform(0.1, 0.1)


def exact_minimum_nonnegative(a):
    """Whether 1 + sum a_k (s^k - 1) >= 0 on [0, 1], decided in mpmath at 60 digits through the
    real roots of its derivative."""
    with mpmath.workdps(60):
        a = [mpmath.mpf(x) for x in a]

        def p(s):
            return 1 + sum(a[k] * (s ** (k + 1) - 1) for k in range(4))

        candidates = [mpmath.mpf(0), mpmath.mpf(1)]
        derivative = [a[0], 2 * a[1], 3 * a[2], 4 * a[3]]  # ascending powers
        while derivative and derivative[-1] == 0:
            derivative = derivative[:-1]
        if len(derivative) > 1:
            for root in mpmath.polyroots(derivative, maxsteps=200, extraprec=200, asc=True):
                if abs(mpmath.im(root)) < mpmath.mpf("1e-40") and 0 < mpmath.re(root) < 1:
                    candidates.append(mpmath.re(root))
        return min(p(s) for s in candidates) >= 0


def refused(*a):
    try:
        fspl.Nonlinear(*a)
    except ValueError:
        return True
    return False


@pytest.mark.parametrize("coefficients, accepted", [
    ((-4.0, 4.0, 0.0, 0.0), True),                        # (1 - 2s)^2: zero at mu = 1/4
    ((-4.0, math.nextafter(4.0, 5), 0.0, 0.0), False),    # dips below zero there by 7e-16
    ((0.25, 0.25, 0.25, 0.25), True),                     # zero at the limb
    ((0.25, 0.25, 0.25, math.nextafter(0.25, 1)), False),
    ((-4.0, 4.0, 1e-12, 0.0), False),                     # a dip 1e-6 wide in s
    ((0.7, -0.6, 1.1, -0.45), True),
    ((1e300, 0.0, -1e300, 0.0), True),                    # 1 + 1e300 (s - s^3)
    ((math.inf, 0.0, 0.0, 0.0), False),
])
def test_nonlinear_validator_boundary(coefficients, accepted):
    assert refused(*coefficients) is not accepted


def test_nonlinear_validator_agrees_with_an_exact_decision():
    """On random coefficients of the tables' size, and on ones pushed onto the boundary (a
    double root placed at a random s, then the coefficients rounded), the validator agrees with
    mpmath's decision."""
    rng = random.Random(2026)
    cases = [[rng.uniform(-3, 3) for _ in range(4)] for _ in range(150)]
    for _ in range(50):
        s0, q1 = rng.uniform(0.05, 0.95), rng.uniform(-1, 1)
        # p(s) = (s - s0)^2 (c0 + q1 s + c2 s^2) / p-scale, with p(1) = 1 fixed by c2.
        c0 = rng.uniform(0.1, 2)
        c2 = 1 / (1 - s0) ** 2 - c0 - q1
        poly = np.polynomial.polynomial.polymul([s0 * s0, -2 * s0, 1], [c0, q1, c2])
        cases.append([float(x) for x in poly[1:]])
    disagreements = [a for a in cases if refused(*a) is exact_minimum_nonnegative(a)]
    assert not disagreements
