"""The far field, u > 4 rho (10 rho for the uniform disk's value): the moment series against an
independent quadrature, its remainder bound against the truncation error it bounds, and
continuity where it takes over and wherever its term count changes.

The reference is the disk mean of the point-lens magnification computed directly with mpmath:
the ring mean by the trapezoidal rule in the angle (exact to below 1e-18 for rings within a
quarter of the lens's distance: the integrand's nearest complex singularity lies 1.38 off the
real angles), then tanh-sinh in mu (or in r, piece by piece, for a table in
r) against the intensity. Nothing of it comes from the series.
"""

from __future__ import annotations

import math
import pathlib
import re
import subprocess
import sys

import mpmath
import numpy as np
import pytest

import lumagnis_fspl as lf

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import gen_far_series  # noqa: E402

ANGLES = 32

LAWS = {
    "uniform": (None, lambda mu: 1),
    "linear": (lf.Linear(0.6), lambda mu: 1 - 0.6 * (1 - mu)),
    "quadratic": (lf.Quadratic(0.4, 0.3), lambda mu: 1 - 0.4 * (1 - mu) - 0.3 * (1 - mu) ** 2),
    "square_root": (lf.SquareRoot(0.2, 0.6), lambda mu: 1 - 0.2 * (1 - mu) - 0.6 * (1 - mpmath.sqrt(mu))),
    "rough_power2": (lf.Power2(0.6, 0.01), lambda mu: 1 - 0.6 * (1 - mu**0.01)),
    "steep_power2": (lf.Power2(0.9, 40.0), lambda mu: 1 - 0.9 * (1 - mu**40)),
    # mu^2 raises the order of the poles at t = +-i that limit the quadrature of the near side.
    "mu_squared": (lf.Power2(0.9, 2.0), lambda mu: 1 - 0.9 * (1 - mu**2)),
    "nonlinear": (
        lf.Nonlinear(0.5, -0.2, 0.6, -0.3),
        lambda mu: 1 - sum(a * (1 - mu ** (k / 2)) for k, a in ((1, 0.5), (2, -0.2), (3, 0.6), (4, -0.3))),
    ),
    "table_mu": (
        lf.Tabulated.from_mu([0.0, 0.1, 0.4, 1.0], [0.2, 0.5, 0.8, 1.0]),
        lambda mu: np.interp(float(mu), [0.0, 0.1, 0.4, 1.0], [0.2, 0.5, 0.8, 1.0]),
    ),
}
# Tables in r, integrated piece by piece in r: a smooth one and one concentrated at the centre.
TABLES = {
    "table_r": ([0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.3]),
    "concentrated": ([0.0, 0.01, 1.0], [1.0, 0.0, 0.0]),
}
ALL_LAWS = list(LAWS) + list(TABLES)


def profile(name):
    if name in TABLES:
        return lf.Tabulated(*TABLES[name])
    return LAWS[name][0]


def ring_means(u, s):
    """The ring mean of A, of its derivative in u and in the ring's radius s."""
    a = du = ds = mpmath.mpf(0)
    for j in range(ANGLES):
        c = mpmath.cos(mpmath.pi * (j + mpmath.mpf(1) / 2) / ANGLES)
        w2 = u * u + s * s + 2 * u * s * c
        w = mpmath.sqrt(w2)
        a += (w2 + 2) / (w * mpmath.sqrt(w2 + 4))
        slope = -8 / (w2 * (w2 + 4) ** mpmath.mpf(1.5)) / w  # A'(w) / w
        du += slope * (u + s * c)
        ds += slope * (s + u * c)
    return a / ANGLES, du / ANGLES, ds / ANGLES


def reference(name, u, rho, exact=False):
    """(A, dA/du, dA/drho) by direct quadrature over the source (mpmath numbers if exact)."""
    u, rho = mpmath.mpf(u), mpmath.mpf(rho)
    cache = {}

    def shares(r, weight):
        if r not in cache:
            cache[r] = ring_means(u, rho * r)
        a, du, ds = cache[r]
        return weight * a, weight * du, weight * r * ds

    def integrate(f, pieces):
        # quad's tolerance is absolute: each integrand is scaled to order one first (the
        # slopes can be 1e-40). Tables are smooth on each piece, where Gauss-Legendre is faster.
        mids = [mpmath.mpf(a + b) / 2 for a, b in zip(pieces, pieces[1:])]
        scale = max(abs(f(m)) for m in mids) or 1
        if name in TABLES or name == "table_mu":
            # 48 nodes per piece: the rings' terms fall like (rho / u)^(2k) <= 1e-2k.
            return scale * mpmath.quad(
                lambda x: f(x) / scale, pieces, method="gauss-legendre", maxdegree=5
            )
        return scale * mpmath.quad(lambda x: f(x) / scale, pieces)

    if name in TABLES:
        radii, values = TABLES[name]

        def intensity(r):
            return mpmath.mpf(np.interp(float(r), radii, values))

        flux = integrate(lambda r: 2 * r * intensity(r), radii)
        sums = [integrate(lambda r, i=i: shares(r, 2 * r * intensity(r))[i], radii) for i in range(3)]
    else:
        law = LAWS[name][1]
        pieces = [0, 0.1, 0.4, 1] if name == "table_mu" else [0, 1]
        flux = integrate(lambda m: 2 * m * law(m), pieces)
        sums = [
            integrate(lambda m, i=i: shares(mpmath.sqrt(1 - m * m), 2 * m * law(m))[i], pieces)
            for i in range(3)
        ]
    return [x / flux if exact else float(x / flux) for x in sums]


def far_points(seed, count):
    rng = np.random.default_rng(seed)
    ratio = 10 ** rng.uniform(math.log10(4), 6, count)
    rho = 10 ** rng.uniform(-100, 6, count)
    return list(zip(ratio * rho, rho))


@pytest.mark.parametrize("name", ALL_LAWS)
def test_far_field_matches_quadrature(name):
    mpmath.mp.dps = 25
    # Nearest the switch, and large sources, where the point lens's complex singularities
    # (q = 0, -4) come nearest the source's circle in units of its radius.
    rng = np.random.default_rng(len(name))
    near = [(z * rho, rho) for z, rho in zip(4 * 10 ** rng.uniform(0, 0.4, 3), (1e-3, 2.0, 700.0))]
    points = far_points(sum(map(ord, name)), 4) + near + [(10.0 * 0.01, 0.01), (4.0 * 3.0, 3.0)]
    for u, rho in points:
        a, du, drho = lf.limb_darkened(u, rho, profile(name), gradient=True)
        ref = reference(name, u, rho)
        assert a == pytest.approx(ref[0], rel=1e-12, abs=0), (u, rho)
        assert du == pytest.approx(ref[1], rel=1e-10, abs=0), (u, rho)
        assert drho == pytest.approx(ref[2], rel=1e-10, abs=0), (u, rho)


def header_thresholds():
    text = (ROOT / "src" / "models" / "fspl_far_series.hpp").read_text()
    found = []
    for name in ("value_terms_from", "slope_terms_from"):
        body = re.search(name + r"\{([^}]*)\}", text).group(1)
        found += [float(x) for x in body.split(",") if "HUGE" not in x]
    return sorted({z for z in found if z < 1e7})


@pytest.mark.parametrize("name", ALL_LAWS)
def test_continuous_where_the_series_or_its_count_changes(name):
    """Where the series takes over (4 rho for a law against its quadrature; 6 and 10 rho for the
    uniform disk's closed form) and at every change of term count, for sources from 1e-100 to
    1e6 Einstein radii."""
    rng = np.random.default_rng(7)
    law = profile(name)
    points = [(z, 10 ** rng.uniform(-6, 1)) for z in [6.0, 10.0] + header_thresholds()]
    points += [(4.0, rho) for rho in (1e-100, 10 ** rng.uniform(-60, -6), 1.0, 30.0, 1e3, 1e6)]
    for z, rho in points:
        below = np.nextafter(z, 0) * rho
        above = np.nextafter(z, math.inf) * rho
        lo = lf.limb_darkened(below, rho, law, gradient=True)
        hi = lf.limb_darkened(above, rho, law, gradient=True)
        assert hi[0] == pytest.approx(lo[0], rel=1e-12, abs=0), (z, rho)
        assert hi[1] == pytest.approx(lo[1], rel=1e-9, abs=0), (z, rho)
        assert hi[2] == pytest.approx(lo[2], rel=1e-9, abs=0), (z, rho)


def truncated_series(u, rho, terms):
    """The uniform disk's series after `terms` terms, and its derivative in rho, in exact
    polynomials and mpmath."""
    q = mpmath.mpf(u) ** 2
    d = q * (q + 4)
    total = slope = mpmath.mpf(0)
    for k, poly in enumerate(gen_far_series.laplacians(terms)):
        value = sum(mpmath.mpf(c.numerator) / c.denominator * q**i for i, c in enumerate(poly))
        coefficient = mpmath.mpf(1) / (4**k * math.factorial(k) ** 2 * (k + 1))
        term = coefficient * mpmath.mpf(rho) ** (2 * k) * value / d ** ((4 * k + 1) / mpmath.mpf(2))
        total += term
        slope += 2 * k * term / rho
    return total, slope


def test_remainder_bounds_hold():
    """The bounds the term counts rest on exceed the actual truncation errors of the value and
    of both slopes (uniform disk, random separations from 1e-4 to 1e4 Einstein radii and 4 to 300
    source radii, every count from 1 to 10)."""
    mpmath.mp.dps = 40
    rng = np.random.default_rng(11)
    checked = 0
    for _ in range(12):
        z = 10 ** rng.uniform(math.log10(4), 2.5)
        u = 10 ** rng.uniform(-4, 4)
        exact, exact_du, exact_slope = reference("uniform", u, u / z, exact=True)
        for terms in range(1, 11):
            value, slope = truncated_series(u, u / z, terms)
            du = mpmath.diff(lambda s: truncated_series(s, u / z, terms)[0], mpmath.mpf(u))
            pairs = (
                (abs(value - exact) / exact, gen_far_series.sharp_value_bound),
                (abs(slope - exact_slope) / exact_slope, gen_far_series.sharp_radius_slope_bound),
                (abs(du - exact_du) / abs(exact_du), gen_far_series.sharp_u_slope_bound),
            )
            for error, bound in pairs:
                if error > 1e-28 and terms > 1:
                    assert error <= bound(z, terms)
                    checked += 1
    assert checked > 60


def test_series_header_is_the_generators():
    """The coefficients and term counts compiled in are those the generator proves."""
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_far_series.py"), "--check"],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
