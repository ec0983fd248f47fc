"""The stored limb-darkened references checked against what must hold whatever computed them:
the centred source as a one-dimensional integral, the far-field expansion, the limb, and the
generator's own recomputation. None of it uses our extension."""

import functools
import math
import pathlib
import subprocess
import sys

import mpmath
import pytest

import fspl_reference as ref

ROWS = ref.load_rows()
GENERATOR = pathlib.Path(__file__).resolve().parent.parent / "tools" / "gen_fspl_references.py"


def intensity(profile, r):
    """The profile's intensity at radius r (source radii), from its definition."""
    name, params = profile
    mu = mpmath.sqrt(1 - r * r)
    if name == "Uniform":
        return mpmath.mpf(1)
    if name == "Linear":
        return 1 - params[0] * (1 - mu)
    if name == "Quadratic":
        return 1 - params[0] * (1 - mu) - params[1] * (1 - mu) ** 2
    if name == "SquareRoot":
        return 1 - params[0] * (1 - mu) - params[1] * (1 - mpmath.sqrt(mu))
    if name == "Power2":
        return 1 - params[0] * (1 - mu ** params[1])
    if name == "Nonlinear":
        return 1 - sum(a * (1 - mu ** (mpmath.mpf(k + 1) / 2)) for k, a in enumerate(params))
    if name == "TabulatedMu":
        # Linear in mu between the samples, the nearest sample's value beyond them.
        nodes, values = params
        if mu <= nodes[0]:
            return mpmath.mpf(values[0])
        k = next(k for k in range(len(nodes) - 1) if mu <= nodes[k + 1])
        return values[k] + (values[k + 1] - values[k]) * (mu - nodes[k]) / (nodes[k + 1] - nodes[k])
    radii, values = params
    # Linear in r between the samples (r spans [0, 1] here, so no end rule is needed).
    k = next(k for k in range(len(radii) - 1) if r <= radii[k + 1])
    return values[k] + (values[k + 1] - values[k]) * (r - radii[k]) / (radii[k + 1] - radii[k])


def disk_mean(profile, weight):
    """int_0^1 I(r) weight(r) 2r dr / int_0^1 I(r) 2r dr, split at the tabulated kinks."""
    points = [0, 1]
    if profile[0] == "Tabulated":
        points = sorted(set(profile[1][0]) | {0, 1})
    if profile[0] == "TabulatedMu":
        points = sorted({mpmath.sqrt(1 - mpmath.mpf(mu) ** 2) for mu in profile[1][0]} | {0, 1})
    flux = mpmath.quad(lambda r: intensity(profile, r) * 2 * r, points)
    return mpmath.quad(lambda r: intensity(profile, r) * weight(r) * 2 * r, points) / flux


def point_lens(s):
    return (s * s + 2) / (s * mpmath.sqrt(s * s + 4))


def point_lens_slope(s):
    return -8 / (s * s * (s * s + 4) ** 1.5)


@functools.cache
def second_moment(profile):
    """m2 = <r^2>, the profile's mean squared radius."""
    with mpmath.workdps(40):
        return disk_mean(profile, lambda r: r * r)


def relative(a, b):
    return abs(a - b) / abs(b)


def rows_where(predicate):
    return [row for row in ROWS if predicate(row)]


def row_id(row):
    return f"{row.profile[0]}-rho{row.rho:g}-l{row.u / row.rho:.10g}"


def test_table_covers_the_grid():
    document = ref.load_document()
    assert document["complete"] is True
    profiles = {row.profile[0] for row in ROWS}
    assert profiles == {"Uniform", "Linear", "Quadratic", "SquareRoot", "Power2", "Tabulated",
                        "Nonlinear", "TabulatedMu"}
    assert len(ROWS) == 8 * 6 * 13
    # The routes agreed far inside the tolerances the generator enforces.
    worst = document["max_relative_difference_between_routes"]
    assert max(worst["value"], worst["value_arcs"]) < 1e-13
    assert max(worst["du"], worst["drho"]) < 1e-10
    # The derivatives in the coefficients: every law but the uniform disk on its own sub-grid.
    coefficients = document["coefficients"]
    assert coefficients["complete"] is True
    assert len(coefficients["rows"]) == 7 * 4 * 6
    assert coefficients["max_relative_difference_between_routes"] < 1e-10


CENTRED = rows_where(lambda row: row.u == 0)


@pytest.mark.parametrize("row", CENTRED, ids=row_id)
def test_centred_source_is_a_radial_integral(row):
    """With the lens at the centre every ring is at one distance: A = <A_ps(rho r)>, and
    dA/drho = <r A_ps'(rho r)>; dA/du = 0 by symmetry."""
    with mpmath.workdps(20):
        rho = mpmath.mpf(row.rho)
        value = disk_mean(row.profile, lambda r: point_lens(rho * r))
        slope = disk_mean(row.profile, lambda r: r * point_lens_slope(rho * r))
    if row.profile[0] == "Uniform":
        # The closed form sqrt(rho^2 + 4)/rho and its derivative, to the stored digits.
        with mpmath.workdps(30):
            rho = mpmath.mpf(row.rho)
            assert relative(mpmath.mpf(row.exact["A"]), mpmath.sqrt(rho**2 + 4) / rho) < 1e-23
            assert relative(mpmath.mpf(row.exact["dA_drho"]), -4 / (rho**2 * mpmath.sqrt(rho**2 + 4))) < 1e-23
    assert relative(mpmath.mpf(row.exact["A"]), value) < 1e-15
    assert relative(mpmath.mpf(row.exact["dA_drho"]), slope) < 1e-12
    assert row.dA_du == 0


FAR = rows_where(lambda row: row.u >= 30 * row.rho)


@pytest.mark.parametrize("row", FAR, ids=row_id)
def test_far_source_follows_the_moment_expansion(row):
    """A source far from the lens (or small: rho -> 0 at fixed u) sees A_ps through its moments:
    A = g + m2 rho^2 Lap(g)/4 + O((rho/u)^4), g = A_ps(u), m2 = <r^2>, Lap g = g'' + g'/u. The
    remainder bounds are relative to g - 1, which is what is left to measure far out. The
    derivatives follow the same expansion; dA/drho starts at order rho, so its remainder is
    (rho/u)^2 relative."""
    with mpmath.workdps(40):
        u, rho = mpmath.mpf(row.u), mpmath.mpf(row.rho)
        m2 = second_moment(row.profile)
        g = [mpmath.diff(point_lens, u, k) for k in range(4)]
        laplacian = g[2] + g[1] / u
        laplacian_du = g[3] + g[2] / u - g[1] / u**2
        ratio = (rho / u) ** 2
        excess = point_lens(u) - 1
        value = mpmath.mpf(row.exact["A"])
        term = m2 * rho**2 * laplacian / 4
        # A is stored to 25 digits, which far out is all that remains of A - 1.
        resolution = value * mpmath.mpf("1e-24")
        assert abs(value - g[0] - term) <= 10 * ratio**2 * excess + resolution
        if abs(term) > 100 * resolution:
            # The finite-source term itself is resolved, not just bounded.
            assert abs(value - g[0]) > abs(term) / 2
        d_du, d_drho = mpmath.mpf(row.exact["dA_du"]), mpmath.mpf(row.exact["dA_drho"])
        assert relative(d_du, g[1] + m2 * rho**2 * laplacian_du / 4) <= 10 * ratio**2
        assert relative(d_drho, m2 * rho * laplacian / 2) <= 6 * ratio


LIMB_SETS = sorted({(row.profile[0], row.rho) for row in ROWS})


@pytest.mark.parametrize("profile, rho", LIMB_SETS)
def test_limb_and_monotonicity(profile, rho):
    """Along u the magnification falls and is continuous through the limb, where its slope
    diverges: stored as the signed infinities at u = rho, left out within 1e-6 rho of it."""
    rows = sorted(rows_where(lambda row: row.profile[0] == profile and row.rho == rho), key=lambda row: row.u)
    values = [row.A for row in rows]
    assert all(a > b for a, b in zip(values, values[1:]))
    assert all(row.dA_du < 0 for row in rows if row.u > 0 and row.dA_du is not None)
    limb = next(row for row in rows if row.u == rho)
    assert (limb.dA_du, limb.dA_drho) == (-math.inf, math.inf)
    near = [row for row in rows if 0 < abs(row.u - rho) < 1e-6 * rho * (1 - 1e-9)]
    assert near and all(row.dA_du is None and row.dA_drho is None for row in near)
    # |A(rho +- 1e-9 rho) - A(rho)| is 1e-9 rho times a slope that grows only like log, so it is
    # bounded by the slopes stored 1e-6 rho away, with room for the logarithm's growth.
    slope = max(abs(row.dA_du) for row in rows if row.dA_du is not None and abs(row.u - rho) <= 2e-6 * rho)
    for row in near:
        assert abs(row.A - limb.A) <= 3 * abs(row.u - rho) * slope


def test_curves_regenerate_and_fall_with_u():
    curves = ref.load_curves()
    assert {(curve.profile[0], curve.rho) for curve in curves} == {
        (name, rho) for name in ("Uniform", "Linear") for rho in (1e-3, 1e-2, 0.1, 1.0)}
    for curve in curves:
        times = ref.curve_times(curve.rho, curve.u0, curve.tE, curve.t0)
        assert curve.index == list(range(0, 2000, 20))
        assert curve.t == [float(times[i]) for i in curve.index]
        for t, u in zip(curve.t, curve.u):
            assert u == pytest.approx(math.hypot(curve.u0, (t - curve.t0) / curve.tE), rel=1e-15)
        assert min(curve.u) / curve.rho < 0.31 and max(curve.u) / curve.rho == pytest.approx(5)
        by_u = [a for _, a in sorted(zip(curve.u, curve.A))]
        assert all(a >= b for a, b in zip(by_u, by_u[1:]))


def cheap_row_indices():
    """A few rows the generator recomputes in seconds: both routes, derivatives included."""
    wanted = [("Uniform", 1e-3, 30.0), ("Quadratic", 100.0, 1000.0), ("Linear", 1.0, 0.0)]
    return [next(i for i, row in enumerate(ROWS)
                 if row.profile[0] == name and row.rho == rho and row.u == ratio * rho)
            for name, rho, ratio in wanted]


@pytest.mark.slow
def test_generator_check_agrees_with_the_table():
    """The generator, rerun on a few rows, reproduces them by both routes (about 10 s)."""
    rows = ",".join(str(i) for i in cheap_row_indices())
    result = subprocess.run([sys.executable, str(GENERATOR), "--rows", rows],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count(": ok") == 9
