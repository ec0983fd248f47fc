"""High-precision reference magnifications of limb-darkened sources, for lumagnis_fspl's tests.

The quantity is the brightness-weighted mean of the point-lens magnification
A_ps(s) = (s^2 + 2)/(s sqrt(s^2 + 4)) over a source disk of radius rho (Einstein radii) whose centre
lies at distance u from the lens, with a radial intensity I(r), r in source radii:

    A(u, rho) = int_0^1 I(r) 2r A_ring(u, rho r) dr / N,    N = int_0^1 2r I(r) dr,

where A_ring(u, R) is the mean of A_ps over the circle of radius R about the source centre.

Every value is computed by two routes, and the run stops if they differ:

- ring route: A_ring in closed form, reduced (through Carlson's R_F and R_J) to one general
  complete elliptic integral cel(kc, p, a, b), evaluated by Bulirsch's quadratically convergent
  iteration; its arguments carry the exact complements, products with (u - R)^2, so a ring
  passing near the lens keeps its digits. Then the radial integral above, weighted by I, with
  the normalisation N by quadrature.
- disk route: the uniform disk A_U(u, R) in its Legendre closed form through E(m), K(m) and
  Pi(n, m) (evaluated as cel with the exact complements 1 - n = (u - R)^2/(u + R)^2 and
  1 - m = ((u - R)^2 + 4(1 - n))/((u - R)^2 + 4)), and the limb-darkened mean by parts,
  weighted by the slope I'(r), since d[R^2 A_U]/dR = 2R A_ring:
      N A = I(1) A_U(u, rho) - int_0^1 I'(r) r^2 A_U(u, rho r) dr,
  with N in closed form per law. For the uniform disk a third route that uses no elliptic
  integral at all is compared too: the lens-centred integral over the distance s from the lens
  of s A_ps(s) times the arc of the circle of radius s that lies inside the source.
  The two closed forms share only the cel evaluator, which is checked at start-up against
  mpmath's own K, E and Pi; the ring means against direct quadrature over the ring's angle.

The derivatives dA/du and dA/drho, also two ways:

- analytically, under the integral: dA/drho from the by-parts form, with
  dA_U/dR = 2 (A_ring - A_U)/R; dA/du from the scaling of A_ps about the lens,
      u dA/du + rho dA/drho = int_0^1 I(r) 2r <s dA_ps/ds>_ring(u, rho r) dr / N,
  where the ring mean of s dA_ps/ds = -8/(s (s^2 + 4)^(3/2)) is again one cel. Both integrands
  are only logarithmically singular at the lens crossing (dA_ring/du itself is not integrable
  there, so the ring route cannot simply be differentiated under the integral).
- a central difference of the ring route's value, with a step of 1e-15 of the local scale, at
  50 digits: the truncation, ~1e-30, and the rounding, ~1e-35, are far below the tolerance, and
  a kink of the tabulated profile under the stencil costs only ~h log h.

Every integral is split where its integrand is singular (the radius u/rho where the ring crosses
the lens, the limb for laws in mu, the tabulated nodes) and graded geometrically towards
singular points that lie just outside an interval (the lens just outside the limb, or the
complex singularities a distance 2/rho off the lens crossing), so tanh-sinh sees each piece
as analytic inside.

Writes tests/data/fspl_reference.json (the grid) and benchmarks/fspl_curve_reference.json
(the light-curve subset). Rerun from the repository root with the development environment:

    nice .venv/bin/python tools/gen_fspl_references.py            # all, ~35 min on 2 cores
    .venv/bin/python tools/gen_fspl_references.py --check 6       # recompute 6 seeded rows, compare

`--check N` recomputes N rows chosen with a fixed seed (by both routes) and exits 1 if one
differs from the stored table by more than the stated tolerances; `--rows i,j,...` picks rows.
"""

from __future__ import annotations

import argparse
import bisect
import json
import math
import multiprocessing
import pathlib
import random
import sys
import time

import mpmath
from mpmath import mp, mpf

ROOT = pathlib.Path(__file__).resolve().parent.parent
GRID_FILE = ROOT / "tests" / "data" / "fspl_reference.json"
CURVE_FILE = ROOT / "benchmarks" / "fspl_curve_reference.json"

# Working precision of the values; the difference quotients run at DIFF_DPS with a step of
# DIFF_STEP times the local scale. Far from a large source the interesting part A - 1 ~ 2/u^4
# is small, so the precision grows with u (see point_extra_dps).
VALUE_DPS = 30
DIFF_DPS = 50
DIFF_STEP = mpf("1e-15")
DIGITS_STORED = 25

# The two routes must agree to these relative tolerances, or the run stops.
VALUE_TOLERANCE = 1e-13
DERIVATIVE_TOLERANCE = 1e-10

PROFILES = [
    ("Uniform", []),
    ("Linear", [0.6]),
    ("Quadratic", [0.4, 0.25]),
    ("SquareRoot", [0.3, 0.5]),
    ("Power2", [0.7, 0.6]),
    ("Tabulated", [[0.0, 0.3, 0.6, 0.85, 1.0], [1.0, 0.95, 0.8, 0.55, 0.3]]),
    ("Nonlinear", [0.7, -0.6, 1.1, -0.45]),
    ("TabulatedMu", [[0.05, 0.15, 0.3, 0.5, 0.75, 1.0], [0.394, 0.479, 0.598, 0.738, 0.884, 1.0]]),
]
# The derivatives in the laws' coefficients, on a subset of the grid: every profile but the
# uniform disk, these radii and these u/rho (the centre, inside, on the limb, just outside, and
# the closed form's and the far-field series' ranges outside).
COEFFICIENT_RHOS = [1e-3, 0.1, 1.0, 10.0]
COEFFICIENT_RATIOS = [0.0, 0.5, 1.0, 1.1, 2.0, 30.0]
RHOS = [1e-5, 1e-3, 0.1, 1.0, 10.0, 100.0]
# u/rho; the limb itself and its 1e-6 and 1e-9 neighbourhoods included.
LENS_RATIOS = [0.0, 0.3, 0.9, 1 - 1e-9, 1 - 1e-6, 1.0, 1 + 1e-9, 1 + 1e-6, 1.1, 2.0, 5.0, 30.0, 1000.0]
# Where |u - rho| is below this many rho, the derivatives are not stored (they diverge like
# log|u - rho|); at u = rho exactly they are stored as the signed infinities.
LIMB_EXCLUSION = 1e-6

CURVE_RHOS = [1e-3, 1e-2, 0.1, 1.0]
CURVE_PROFILES = [("Uniform", []), ("Linear", [0.6])]
CURVE_TIMES = 2000
CURVE_STRIDE = 20
CURVE_TE = 20.0
CURVE_T0 = 0.0
CURVE_U0_OVER_RHO = 0.3
CURVE_SPAN_OVER_RHO = 5.0


# --- profiles ------------------------------------------------------------------------------


class Profile:
    """A radial intensity law, evaluated in mpmath from r and mu = sqrt(1 - r^2) (both passed in,
    so that near the limb mu keeps its relative precision): intensity I, slope dI/dr, flux N in
    closed form, and the radii (source radii) inside the disk where I is not analytic."""

    def __init__(self, name, params):
        self.name = name
        self.params = params
        if name in ("Tabulated", "TabulatedMu"):
            pairs = sorted(zip(params[0], params[1]))
            self.nodes = [mpf(x) for x, _ in pairs]
            self.values = [mpf(y) for _, y in pairs]
        else:
            self.c = [mpf(x) for x in params]
        # The laws in mu have a square-root branch point at the limb.
        self.limb_singular = name not in ("Uniform", "Tabulated")
        # A power law mu^alpha with alpha < 1 is integrated near the limb in v = mu^alpha, in
        # which its slope's share c alpha mu^(alpha - 1) dmu is the constant c dv.
        self.limb_power = self.c[1] if name == "Power2" and self.c[1] < 1 else None

    def inner_breaks(self):
        if self.name == "Tabulated":
            return [x for x in self.nodes if 0 < x < 1]
        if self.name == "TabulatedMu":
            return sorted(mpmath.sqrt(1 - x * x) for x in self.nodes if 0 < x < 1)
        if self.limb_power is not None:
            # mu = 1/2: the limb piece in v = mu^alpha stays clear of r = 0, where dr/dv is singular.
            return [mpmath.sqrt(3) / 2]
        return []

    def table_at(self, x):
        """The table's value at its abscissa x (r or mu) and its slope there."""
        nodes, y = self.nodes, self.values
        if x <= nodes[0]:
            return y[0], mpf(0)
        if x >= nodes[-1]:
            return y[-1], mpf(0)
        k = self.segment(x)
        s = (y[k + 1] - y[k]) / (nodes[k + 1] - nodes[k])
        return y[k] + s * (x - nodes[k]), s

    def intensity(self, r, mu):
        name, c = self.name, getattr(self, "c", None)
        if name == "Uniform":
            return mpf(1)
        if name == "Linear":
            return 1 - c[0] * (1 - mu)
        if name == "Quadratic":
            return 1 - c[0] * (1 - mu) - c[1] * (1 - mu) ** 2
        if name == "SquareRoot":
            return 1 - c[0] * (1 - mu) - c[1] * (1 - mpmath.sqrt(mu))
        if name == "Power2":
            return 1 - c[0] * (1 - mu ** c[1])
        if name == "Nonlinear":
            return 1 - sum(c[k] * (1 - mu ** (mpf(k + 1) / 2)) for k in range(4))
        if name == "TabulatedMu":
            return self.table_at(mu)[0]
        x, y = self.nodes, self.values
        if r <= x[0]:
            return y[0]
        if r >= x[-1]:
            return y[-1]
        k = self.segment(r)
        return y[k] + (y[k + 1] - y[k]) * (r - x[k]) / (x[k + 1] - x[k])

    def segment(self, r):
        """The first k with r <= x[k + 1], clamped to the last segment."""
        x = self.nodes
        return min(bisect.bisect_left(x, r, 1) - 1, len(x) - 2)

    def slope(self, r, mu):
        """dI/dr; for the laws in mu, dI/dmu times dmu/dr = -r/mu."""
        name, c = self.name, getattr(self, "c", None)
        if name == "Uniform":
            return mpf(0)
        if name == "Tabulated":
            x, y = self.nodes, self.values
            if r <= x[0] or r >= x[-1]:
                return mpf(0)
            k = self.segment(r)
            return (y[k + 1] - y[k]) / (x[k + 1] - x[k])
        if name == "Linear":
            d_mu = c[0]
        elif name == "Quadratic":
            d_mu = c[0] + 2 * c[1] * (1 - mu)
        elif name == "SquareRoot":
            d_mu = c[0] + c[1] / (2 * mpmath.sqrt(mu))
        elif name == "Nonlinear":
            d_mu = sum(c[k] * (mpf(k + 1) / 2) * mu ** (mpf(k - 1) / 2) for k in range(4))
        elif name == "TabulatedMu":
            d_mu = self.table_at(mu)[1]
        else:
            d_mu = c[0] * c[1] * mu ** (c[1] - 1)
        return -d_mu * r / mu

    def flux(self):
        """N = int_0^1 2r I(r) dr in closed form (int_0^1 2r mu^k dr = 2/(k + 2))."""
        name, c = self.name, getattr(self, "c", None)
        if name == "Uniform":
            return mpf(1)
        if name == "Linear":
            return 1 - c[0] / 3
        if name == "Quadratic":
            # (1 - mu)^2 = 1 - 2 mu + mu^2 integrates to 1 - 4/3 + 1/2 = 1/6.
            return 1 - c[0] / 3 - c[1] / 6
        if name == "SquareRoot":
            # 1 - sqrt(mu) integrates to 1 - 2/(5/2) = 1/5.
            return 1 - c[0] / 3 - c[1] / 5
        if name == "Power2":
            return 1 - c[0] * (1 - 2 / (c[1] + 2))
        if name == "Nonlinear":
            return 1 - sum(c[k] * (1 - 2 / (mpf(k + 1) / 2 + 2)) for k in range(4))
        if name == "TabulatedMu":
            # r dr = -mu dmu: N = int_0^1 2 mu I(mu) dmu, each piece a polynomial in mu.
            x, y = self.nodes, self.values
            total = y[0] * x[0] ** 2 + y[-1] * (1 - x[-1] ** 2)
            for k in range(len(x) - 1):
                s = (y[k + 1] - y[k]) / (x[k + 1] - x[k])
                a, b = x[k], x[k + 1]
                total += (y[k] - s * a) * (b * b - a * a) + s * 2 * (b**3 - a**3) / 3
            return total
        # Tabulated: constant beyond the end samples, int 2r (y_k + s (r - x_k)) dr between them.
        x, y = self.nodes, self.values
        total = y[0] * x[0] ** 2 + y[-1] * (1 - x[-1] ** 2)
        for k in range(len(x) - 1):
            s = (y[k + 1] - y[k]) / (x[k + 1] - x[k])
            a, b = x[k], x[k + 1]
            total += (y[k] - s * a) * (b * b - a * a) + s * 2 * (b**3 - a**3) / 3
        return total


# --- quadrature ----------------------------------------------------------------------------


def graded_points(lo, hi, features):
    """Break points for [lo, hi]: every real singular point inside, and geometric grading (ratio
    4) towards singular points just outside a piece or off the real axis, so that each piece
    sees its nearest singularity at a distance comparable to its length. `features` are
    (position, distance off the real axis)."""
    primary = sorted({lo, hi} | {p for p, off in features if off == 0 and lo < p < hi})
    points = set(primary)
    for s0, s1 in zip(primary, primary[1:]):
        length = s1 - s0
        for p, off in features:
            q = min(max(p, s0), s1)
            gap = mpmath.sqrt((p - q) ** 2 + off**2)
            if gap == 0 or gap * 8 > length:
                continue
            step = gap
            while step * 2 < length:
                if q == s0:
                    points.add(s0 + step)
                if q == s1:
                    points.add(s1 - step)
                step *= 4
    return sorted(points)


def radial_integral(g, u, rho, profile):
    """int_0^1 g(r, mu) dr, split at the lens crossing r = u/rho and the profile's kinks, graded
    towards the lens when it lies just outside the disk and towards A_ps's complex singularities
    2/rho off the crossing. For a law in mu the piece that ends at the limb is integrated in t,
    r = 1 - t^4: the branch point becomes smooth and mu = t^2 sqrt(2 - t^4) keeps its digits
    (in r, tanh-sinh nodes within an ulp of 1 would cost 1e-8 for a (1 - r)^(-3/4) slope)."""
    lens = u / rho
    features = [(lens, 0), (lens, 2 / rho)] + [(x, 0) for x in profile.inner_breaks()]
    primary = sorted({mpf(0), mpf(1)} | {p for p, off in features if off == 0 and 0 < p < 1})
    total = mpf(0)
    for s0, s1 in zip(primary, primary[1:]):
        if s1 == 1 and profile.limb_power is not None:
            total += limb_piece_in_power(g, s0, features, profile.limb_power)
        elif s1 == 1 and profile.limb_singular:
            top = mpmath.root(1 - s0, 4)
            mapped = []
            for p, off in features:
                z = mpmath.root(mpmath.mpc(1 - p, -off), 4)
                mapped.append((z.real, abs(z.imag)))

            def in_t(t):
                t2 = t * t
                t4 = t2 * t2
                return g(1 - t4, t2 * mpmath.sqrt(2 - t4)) * 4 * t * t2

            total += mpmath.quad(in_t, graded_points(mpf(0), top, mapped))
        else:
            total += mpmath.quad(lambda r: g(r, mpmath.sqrt(1 - r * r)), graded_points(s0, s1, features))
    return total


def limb_piece_in_power(g, s0, features, alpha):
    """int_s0^1 g(r, mu) dr in v = mu^alpha (alpha < 1): dr = -mu^2 / (alpha v r) dv, which turns
    a law's mu^(alpha - 1) at the limb into a constant and leaves every other factor smooth (a
    fractional power of t in r = 1 - t^4 would stay at the limb, too rough for the quadrature
    when alpha is small). The features are mapped into v, off the real axis where they land."""
    top = mpmath.sqrt(1 - s0 * s0) ** alpha
    mapped = []
    for p, off in features:
        z = mpmath.sqrt(1 - mpmath.mpc(p, off) ** 2) ** alpha
        mapped.append((z.real, abs(z.imag)))

    def in_v(v):
        mu = v ** (1 / alpha)
        r = mpmath.sqrt(1 - mu * mu)
        return g(r, mu) * mu * mu / (alpha * v * r)

    return mpmath.quad(in_v, graded_points(mpf(0), top, mapped))


# --- ring route ----------------------------------------------------------------------------


def cel(kc, p, a, b):
    """int_0^{pi/2} (a cos^2 t + b sin^2 t) / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt
    for kc > 0, p > 0, by Bulirsch's iteration (quadratic convergence: the test on half the
    precision leaves the last step's error below the working epsilon)."""
    tolerance = mpf(2) ** (-(mp.prec // 2 + 8))
    qc = kc
    e = qc
    m = mpf(1)
    p = mpmath.sqrt(p)
    b = b / p
    while True:
        f = a
        a = a + b / p
        g = e / p
        b = 2 * (b + f * g)
        p = g + p
        g = m
        m = m + qc
        if abs(g - qc) <= g * tolerance:
            break
        qc = 2 * mpmath.sqrt(e)
        e = qc * m
    return mp.pi / 2 * (b + a * m) / (m * (m + p))


def ring_arguments(u, radius):
    """a = (u - R)^2, b = (u + R)^2, Y = b (a + 4) and kc = sqrt(a (b + 4) / Y)."""
    a = (radius - u) ** 2
    b = (u + radius) ** 2
    y = b * (a + 4)
    return a, b, y, mpmath.sqrt(a * (b + 4) / y)


def ring(u, radius):
    """Mean of A_ps over the circle of radius R about a point at distance u from the lens.

    With x = a cos^2 t + b sin^2 t the squared distance, the mean is
    (2/pi) int_0^{pi/2} (x + 2)/sqrt(x (x + 4)) dt; w = cot^2 t turns it into Carlson's
    (2/pi) [(a + 2) R_F(0, Y, Z) + 4uR a(a + 4)/3 R_J(0, Y, Z, a(a + 4))], Z = a(b + 4), and that
    into one cel with kc^2 = Z/Y, p = a/b, weights a + 2 and a(b + 2)/b. Both complements are
    products with a, so a ring just off the lens keeps every digit.
    """
    a, b, y, kc = ring_arguments(u, radius)
    if a == 0:
        # The ring runs through the lens: a logarithmic singularity of zero measure, met only at
        # quadrature nodes that round onto it, whose weights are far below the working epsilon.
        return mpf(0)
    return 2 / (mp.pi * mpmath.sqrt(y)) * cel(kc, a / b, a + 2, a * (b + 2) / b)


def ring_scaling(u, radius):
    """Mean over the same circle of s dA_ps/ds = -8/(sqrt(x) (x + 4)^(3/2)), x = s^2.

    The same substitution gives (2/pi)(-8)[R_F(0, Y, Z)/(a + 4) - 4uR a/(3(a + 4)) R_D(0, Y, Z)],
    with R_D(0, Y, Z) = 3 Y^(-3/2) cel(kc, kc^2, 0, 1), which folds into
    -(16/pi) cel(kc, kc^2, 1, a(a + 4)/Y) / ((a + 4) sqrt(Y)).
    """
    a, b, y, kc = ring_arguments(u, radius)
    if a == 0:
        return mpf(0)
    return -16 / mp.pi * cel(kc, kc * kc, 1, a * (a + 4) / y) / ((a + 4) * mpmath.sqrt(y))


def value_by_rings(u, rho, profile):
    u, rho = mpf(u), mpf(rho)
    total = radial_integral(lambda r, mu: profile.intensity(r, mu) * 2 * r * ring(u, rho * r), u, rho, profile)
    flux = radial_integral(lambda r, mu: profile.intensity(r, mu) * 2 * r, u, rho, profile)
    return total / flux


# --- disk route ----------------------------------------------------------------------------


def uniform_disk(u, radius):
    """Uniform-disk mean of A_ps in closed form:

        pi A_U = E(m) s h/(2R^2) - d (u^2 - R^2 + 8)/(2R^2 s) K(m) + 2 d^2 (1 + R^2)/(R^2 h s) Pi(n, m)

    with d = u - R, h = u + R, s = sqrt(d^2 + 4), n = 4uR/h^2, m = 4n/s^2. Near the limb n and m
    approach 1; their complements have the exact forms 1 - n = d^2/h^2 and
    1 - m = (d^2 + 4(1 - n))/s^2, which go to cel (K = cel(kc, 1, 1, 1),
    E = cel(kc, 1, 1, kc^2), Pi = cel(kc, 1 - n, 1, 1)) without a subtraction. The limb itself,
    n = 1, has its own form.
    """
    r2 = radius * radius
    d = u - radius
    h = u + radius
    if d == 0:
        return (2 / radius + (1 + r2) / r2 * (mp.pi / 2 + mpmath.asin((r2 - 1) / (r2 + 1)))) / mp.pi
    s2 = d * d + 4
    s = mpmath.sqrt(s2)
    n_complement = d * d / (h * h)
    kc = mpmath.sqrt((d * d + 4 * n_complement) / s2)
    weight_e = s * h / (2 * r2)
    weight_k = d * (u * u - r2 + 8) / (2 * r2 * s)
    weight_pi = 2 * d * d * (1 + r2) / (r2 * h * s)
    e_minus_k = cel(kc, 1, weight_e - weight_k, weight_e * kc * kc - weight_k)
    return (e_minus_k + weight_pi * cel(kc, n_complement, 1, 1)) / mp.pi


def uniform_disk_by_arcs(u, rho):
    """Uniform-disk mean as a lens-centred integral: the circle of radius s about the lens lies
    inside the disk along an arc of angle 2 alpha(s), so the disk integral of A_ps is
    int s A_ps(s) 2 alpha(s) ds, whose integrand (s^2 + 2)/sqrt(s^2 + 4) 2 alpha(s) is finite."""
    u, rho = mpf(u), mpf(rho)

    def arc(s):
        if u == 0 or s <= rho - u:
            return mp.pi
        c = (s * s + u * u - rho * rho) / (2 * s * u)
        return mpmath.acos(max(-1, min(1, c)))

    def integrand(s):
        return (s * s + 2) / mpmath.sqrt(s * s + 4) * 2 * arc(s)

    if u == 0:
        breaks = [mpf(0), rho]
    elif u < rho:
        breaks = [mpf(0), rho - u, rho + u]
    else:
        breaks = [u - rho, u + rho]
    return mpmath.quad(integrand, breaks) / (mp.pi * rho * rho)


def value_by_parts(u, rho, profile):
    u, rho = mpf(u), mpf(rho)
    edge = profile.intensity(mpf(1), mpf(0)) * uniform_disk(u, rho)
    if profile.name == "Uniform":
        return edge
    inner = radial_integral(lambda r, mu: profile.slope(r, mu) * r * r * uniform_disk(u, rho * r), u, rho, profile)
    return (edge - inner) / profile.flux()


# --- derivatives under the integral --------------------------------------------------------


def uniform_disk_dradius(u, radius):
    """dA_U/dR = 2 (A_ring - A_U)/R, from d[R^2 A_U]/dR = 2R A_ring."""
    return 2 * (ring(u, radius) - uniform_disk(u, radius)) / radius


def derivatives_under_integral(u, rho, profile):
    """(dA/du, dA/drho).

    dA/drho: the by-parts form differentiated under the integral (N does not depend on rho),
        N dA/drho = I(1) dA_U/dR(u, rho) - int_0^1 I'(r) r^3 dA_U/dR(u, rho r) dr.
    dA/du: A_ps(lambda s) scaled about the lens moves u and rho together, so
        u dA/du + rho dA/drho = int_0^1 I(r) 2r <s dA_ps/ds>_ring(u, rho r) dr / N,
    whose integrand is only logarithmically singular at the lens crossing (dA_ring/du alone is
    not integrable there). At u = 0, dA/du = 0 by symmetry.
    """
    u, rho = mpf(u), mpf(rho)
    edge = profile.intensity(mpf(1), mpf(0))
    d_drho = edge * uniform_disk_dradius(u, rho)
    if profile.name != "Uniform":
        d_drho -= radial_integral(
            lambda r, mu: profile.slope(r, mu) * r**3 * uniform_disk_dradius(u, rho * r), u, rho, profile)
    d_drho /= profile.flux()
    if u == 0:
        return mpf(0), d_drho
    scaling = radial_integral(
        lambda r, mu: profile.intensity(r, mu) * 2 * r * ring_scaling(u, rho * r), u, rho, profile) / profile.flux()
    return (scaling - rho * d_drho) / u, d_drho


def derivative_scale(u, rho):
    """Length over which A(u, rho) is analytic around the point: the distance to the limb, the
    source radius, and the distance to the lens for a far source."""
    scales = [rho, max(u, rho)]
    if u != rho:
        scales.append(abs(u - rho))
    return min(scales)


def derivatives_by_differences(u, rho, profile):
    """Central differences of the ring route's value, at DIFF_DPS digits."""
    u, rho = mpf(u), mpf(rho)
    with mp.workdps(DIFF_DPS + point_extra_dps(u, rho)):
        h = DIFF_STEP * derivative_scale(u, rho)
        if u == 0:
            d_du = mpf(0)
        else:
            d_du = (value_by_rings(u + h, rho, profile) - value_by_rings(u - h, rho, profile)) / (2 * h)
        d_drho = (value_by_rings(u, rho + h, profile) - value_by_rings(u, rho - h, profile)) / (2 * h)
    return d_du, d_drho


# --- derivatives in the coefficients -------------------------------------------------------


def with_param(name, params, index, value):
    """The profile with its coefficient `index` (for the tables, sample `index`) set to value."""
    if name in ("Tabulated", "TabulatedMu"):
        samples = list(params[1])
        samples[index] = value
        return Profile(name, [params[0], samples])
    changed = list(params)
    changed[index] = value
    return Profile(name, changed)


def coefficient_count(name, params):
    return len(params[1]) if name in ("Tabulated", "TabulatedMu") else len(params)


def intensity_derivative(profile, index):
    """dI/dp for the coefficient `index`, a function of (r, mu)."""
    name, c = profile.name, getattr(profile, "c", None)
    if name in ("Tabulated", "TabulatedMu"):
        # The hat function of sample `index`, in the table's own abscissa.
        ordered = sorted(range(len(profile.params[0])), key=lambda k: profile.params[0][k])
        position = ordered.index(index)
        nodes = profile.nodes

        def hat(r, mu):
            x = mu if name == "TabulatedMu" else r
            if x <= nodes[0]:
                return mpf(position == 0)
            if x >= nodes[-1]:
                return mpf(position == len(nodes) - 1)
            k = profile.segment(x)
            w = (x - nodes[k]) / (nodes[k + 1] - nodes[k])
            return (1 - w) * (position == k) + w * (position == k + 1)

        return hat
    if name == "Linear":
        return lambda r, mu: mu - 1
    if name == "Quadratic":
        return [lambda r, mu: mu - 1, lambda r, mu: -(1 - mu) ** 2][index]
    if name == "SquareRoot":
        return [lambda r, mu: mu - 1, lambda r, mu: mpmath.sqrt(mu) - 1][index]
    if name == "Power2":
        if index == 0:
            return lambda r, mu: mu ** c[1] - 1
        return lambda r, mu: c[0] * mu ** c[1] * mpmath.log(mu) if mu > 0 else mpf(0)
    if name == "Nonlinear":
        return lambda r, mu: mu ** (mpf(index + 1) / 2) - 1
    raise ValueError(name)


def coefficient_derivatives_under_integral(u, rho, profile, value):
    """dA/dp = (F[g] - A N[g]) / N for g = dI/dp, F the ring route's numerator, linear in I."""
    u, rho = mpf(u), mpf(rho)
    flux = radial_integral(lambda r, mu: profile.intensity(r, mu) * 2 * r, u, rho, profile)
    result = []
    for index in range(coefficient_count(profile.name, profile.params)):
        g = intensity_derivative(profile, index)
        f_g = radial_integral(lambda r, mu: g(r, mu) * 2 * r * ring(u, rho * r), u, rho, profile)
        n_g = radial_integral(lambda r, mu: g(r, mu) * 2 * r, u, rho, profile)
        result.append((f_g - value * n_g) / flux)
    return result


def coefficient_derivatives_by_differences(u, rho, profile):
    """Central differences of the by-parts value in each coefficient, at DIFF_DPS digits."""
    u, rho = mpf(u), mpf(rho)
    name, params = profile.name, profile.params
    result = []
    with mp.workdps(DIFF_DPS + point_extra_dps(u, rho)):
        for index in range(coefficient_count(name, params)):
            base = mpf(params[1][index] if name in ("Tabulated", "TabulatedMu") else params[index])
            h = DIFF_STEP * max(abs(base), 1)
            up = value_by_parts(u, rho, with_param(name, params, index, base + h))
            down = value_by_parts(u, rho, with_param(name, params, index, base - h))
            result.append((up - down) / (2 * h))
    return result


def compute_coefficient_row(task):
    name, params, u, rho = task
    profile = Profile(name, params)
    started = time.time()
    with mp.workdps(VALUE_DPS + point_extra_dps(u, rho)):
        value = value_by_rings(u, rho, profile)
        under = coefficient_derivatives_under_integral(u, rho, profile, value)
        diffs = coefficient_derivatives_by_differences(u, rho, profile)
    worst = max(relative(a, b) for a, b in zip(under, diffs))
    if worst > DERIVATIVE_TOLERANCE:
        raise RuntimeError(f"coefficient routes disagree for {name}{params} u={u!r} rho={rho!r}: "
                           f"{mpmath.nstr(worst, 3)}")
    return {"A": mpmath.nstr(value, DIGITS_STORED, strip_zeros=False),
            "dA_dcoefficients": [mpmath.nstr(d, DIGITS_STORED, strip_zeros=False) for d in under],
            "difference": float(worst), "seconds": time.time() - started}


def coefficient_tasks(only_profiles=None):
    return [(name, params, ratio * rho, rho) for name, params in PROFILES if name != "Uniform"
            if not only_profiles or name in only_profiles
            for rho in COEFFICIENT_RHOS for ratio in COEFFICIENT_RATIOS]


def run_coefficients(processes, only_profiles=None):
    tasks = coefficient_tasks(only_profiles)
    rows, worst = [], 0.0
    total = len(coefficient_tasks())
    if only_profiles:
        # Recompute those profiles only; the stored rows of the others are kept as they are.
        stored = json.loads(GRID_FILE.read_text()).get("coefficients", {"rows": [], "max_relative_difference_between_routes": 0.0})
        rows = [row for row in stored["rows"] if row["profile"] not in only_profiles]
        worst = stored["max_relative_difference_between_routes"]
    started = time.time()
    with multiprocessing.Pool(processes, initializer=init_worker) as pool:
        for task, result in zip(tasks, pool.imap(compute_coefficient_row, tasks)):
            name, params, u, rho = task
            rows.append({"profile": name, "params": params, "u": u.hex(), "rho": rho.hex(),
                         "A": result["A"], "dA_dcoefficients": result["dA_dcoefficients"]})
            worst = max(worst, result["difference"])
            print(f"coefficients {name:11s} rho={rho:<7g} u/rho={u / rho:<6g} {result['seconds']:7.1f}s "
                  f"routes {result['difference']:.1e}", flush=True)
            if len(rows) % 6 == 0:
                store_coefficients(rows, worst, time.time() - started, len(rows) == total)
    return rows, worst, time.time() - started


def store_coefficients(rows, worst, seconds, complete):
    document = json.loads(GRID_FILE.read_text())
    document["coefficients"] = {
        "description": (
            "Derivatives of A in each coefficient of the law, in the constructor's order (for the "
            "tables, in each intensity sample, in the order given), on a subset of the grid: by "
            "the ring route under the integral, dA/dp = (F[dI/dp] - A N[dI/dp]) / N, checked "
            "against central differences of the by-parts value."),
        "complete": complete,
        "max_relative_difference_between_routes": worst,
        "generation_seconds": round(seconds),
        "rows": rows,
    }
    GRID_FILE.write_text(json.dumps(document, indent=1) + "\n")


# --- one row -------------------------------------------------------------------------------


def point_extra_dps(u, rho):
    """Extra digits for a far source: A - 1 ~ 2/u^4 and its variation over the disk, (rho/u)^2
    smaller again, are what the derivatives measure."""
    u, rho = float(u), float(rho)
    extra = 0.0
    if u > 1:
        extra += 4 * math.log10(u)
    if u > rho:
        extra += 2 * math.log10(u / rho)
    return int(math.ceil(extra))


def relative(a, b):
    if a == b:
        return mpf(0)
    return abs(a - b) / max(abs(a), abs(b))


def compute_row(task):
    """Values and derivatives of one grid point, by both routes; raises if they disagree."""
    name, params, u, rho, with_derivatives = task
    profile = Profile(name, params)
    started = time.time()
    with mp.workdps(VALUE_DPS + point_extra_dps(u, rho)):
        by_rings = value_by_rings(u, rho, profile)
        by_parts = value_by_parts(u, rho, profile)
        differences = {"value": relative(by_rings, by_parts)}
        if name == "Uniform":
            differences["value_arcs"] = relative(by_rings, uniform_disk_by_arcs(u, rho))
        row = {"value": by_rings}
        if with_derivatives:
            under = derivatives_under_integral(u, rho, profile)
            diffs = derivatives_by_differences(u, rho, profile)
            differences["du"] = relative(under[0], diffs[0])
            differences["drho"] = relative(under[1], diffs[1])
            row["du"], row["drho"] = under
    bad = [key for key, diff in differences.items()
           if diff > (VALUE_TOLERANCE if key.startswith("value") else DERIVATIVE_TOLERANCE)]
    if bad:
        raise RuntimeError(f"routes disagree for {name}{params} u={u!r} rho={rho!r}: "
                           + ", ".join(f"{k} {mpmath.nstr(differences[k], 3)}" for k in bad))
    return {
        "row": {k: mpmath.nstr(v, DIGITS_STORED, strip_zeros=False) for k, v in row.items()},
        "differences": {k: float(v) for k, v in differences.items()},
        "seconds": time.time() - started,
    }


def grid_tasks(only_profiles=None):
    tasks = []
    for name, params in PROFILES:
        if only_profiles and name not in only_profiles:
            continue
        for rho in RHOS:
            for ratio in LENS_RATIOS:
                u = ratio * rho
                near_limb = abs(u - rho) < LIMB_EXCLUSION * rho * (1 - 1e-12)
                tasks.append((name, params, u, rho, not near_limb))
    return tasks


def curve_times(rho):
    """The benchmark's times: numpy.linspace(-tau_max, tau_max, 2000) * tE + t0 in double,
    tau_max = sqrt((5 rho)^2 - u0^2), u0 = 0.3 rho."""
    import numpy

    u0 = CURVE_U0_OVER_RHO * rho
    tau_max = math.sqrt((CURVE_SPAN_OVER_RHO * rho) ** 2 - u0**2)
    return u0, numpy.linspace(-tau_max, tau_max, CURVE_TIMES) * CURVE_TE + CURVE_T0


def curve_tasks():
    tasks = []
    mp.dps = VALUE_DPS + 10
    for rho in CURVE_RHOS:
        u0, times = curve_times(rho)
        for index in range(0, CURVE_TIMES, CURVE_STRIDE):
            t = float(times[index])
            tau = (t - CURVE_T0) / CURVE_TE
            # The exact separation of the double inputs, not of their rounded combination.
            u_exact = mpmath.sqrt(mpf(u0) ** 2 + (mpf(t) - CURVE_T0) ** 2 / mpf(CURVE_TE) ** 2)
            for name, params in CURVE_PROFILES:
                tasks.append((name, params, u_exact, rho, False, index, t, u0, tau))
    return tasks


def compute_curve_point(task):
    name, params, u_exact, rho, _, index, t, u0, _ = task
    result = compute_row((name, params, u_exact, rho, False))
    result["curve"] = {"rho": rho, "index": index, "t": t, "u0": u0, "u": mpmath.nstr(u_exact, DIGITS_STORED),
                       "profile": name}
    return result


def init_worker():
    mp.dps = VALUE_DPS


def run_grid(processes, only_profiles=None):
    tasks = grid_tasks(only_profiles)
    rows, worst = [], {}
    if only_profiles:
        # Recompute those profiles only; the stored rows of the others are kept as they are.
        document = json.loads(GRID_FILE.read_text())
        rows = [row for row in document["rows"] if row["profile"] not in only_profiles]
        worst = document["max_relative_difference_between_routes"]
        tasks_total = len(rows) + len(tasks)
    else:
        tasks_total = len(tasks)
    started = time.time()
    with multiprocessing.Pool(processes, initializer=init_worker) as pool:
        for task, result in zip(tasks, pool.imap(compute_row, tasks)):
            name, params, u, rho, with_derivatives = task
            row = {"profile": name, "params": params, "u": u.hex(), "rho": rho.hex(),
                   "u_repr": repr(u), "rho_repr": repr(rho), "A": result["row"]["value"]}
            if with_derivatives:
                row["dA_du"] = result["row"]["du"]
                row["dA_drho"] = result["row"]["drho"]
            elif u == rho:
                row["dA_du"] = "-inf"
                row["dA_drho"] = "inf"
            else:
                row["dA_du"] = None
                row["dA_drho"] = None
            rows.append(row)
            for key, diff in result["differences"].items():
                worst[key] = max(worst.get(key, 0.0), diff)
            if len(rows) % 13 == 0 and len(rows) < tasks_total:
                # A partial table on the way, so an interrupted run leaves what it has.
                write_grid(rows, worst, time.time() - started, complete=False)
            print(f"{name:10s} rho={rho:<7g} u/rho={u / rho:<12.10g} {result['seconds']:7.1f}s "
                  + " ".join(f"{k}={v:.1e}" for k, v in result["differences"].items()), flush=True)
    return rows, worst, time.time() - started


def write_grid(rows, worst, seconds, complete=True):
    GRID_FILE.parent.mkdir(parents=True, exist_ok=True)
    previous = json.loads(GRID_FILE.read_text()) if GRID_FILE.exists() else {}
    document = {
        "description": (
            "Brightness-weighted mean of the point-lens magnification over a source disk, with its "
            "derivatives in u and rho (Einstein radii), generated by tools/gen_fspl_references.py. "
            "u and rho are stored as float.hex of the exact doubles used; A, dA_du, dA_drho as "
            "decimal strings of the exact values for those inputs. dA_du and dA_drho are null where "
            "0 < |u - rho| < 1e-6 rho (they diverge like log|u - rho|) and the signed infinities at "
            "u = rho. Intensities as functions of mu = sqrt(1 - r^2): Uniform 1; Linear(a) "
            "1 - a(1 - mu); Quadratic(a, b) 1 - a(1 - mu) - b(1 - mu)^2; SquareRoot(c, d) "
            "1 - c(1 - mu) - d(1 - sqrt(mu)); Power2(c, alpha) 1 - c(1 - mu^alpha); Tabulated(r, I) "
            "linear in r between the samples; Nonlinear(a1, a2, a3, a4) "
            "1 - sum a_k (1 - mu^(k/2)); TabulatedMu(mu, I) linear in mu between the samples."
        ),
        "value_dps": VALUE_DPS,
        "complete": complete,
        "max_relative_difference_between_routes": worst,
        "generation_seconds": round(seconds),
        "rows": rows,
    }
    if "coefficients" in previous:
        document["coefficients"] = previous["coefficients"]
    GRID_FILE.write_text(json.dumps(document, indent=1) + "\n")


def run_curves(processes):
    tasks = curve_tasks()
    points, worst = [], {}
    started = time.time()
    with multiprocessing.Pool(processes, initializer=init_worker) as pool:
        for result in pool.imap(compute_curve_point, tasks):
            points.append({**result["curve"], "A": result["row"]["value"]})
            for key, diff in result["differences"].items():
                worst[key] = max(worst.get(key, 0.0), diff)
    return points, worst, time.time() - started


def write_curves(points, worst, seconds):
    curves = []
    for rho in CURVE_RHOS:
        for name, params in CURVE_PROFILES:
            selected = [p for p in points if p["rho"] == rho and p["profile"] == name]
            curves.append({
                "rho": rho, "u0": CURVE_U0_OVER_RHO * rho, "profile": name, "params": params,
                "index": [p["index"] for p in selected], "t": [p["t"] for p in selected],
                "u": [p["u"] for p in selected], "A": [p["A"] for p in selected],
            })
    document = {
        "description": (
            "Reference magnifications along the benchmark's light curves, generated by "
            "tools/gen_fspl_references.py. For each rho: u0 = 0.3 rho, tE = 20, t0 = 0, "
            "tau_max = math.sqrt((5 * rho)**2 - u0**2), times = numpy.linspace(-tau_max, tau_max, "
            "2000) * tE + t0 (in double); every 20th time (index 0, 20, ..., 1980) has a reference. "
            "u is the exact separation sqrt(u0^2 + ((t - t0)/tE)^2) of the double inputs; A is "
            "the exact mean for that u, as decimal strings."
        ),
        "tE": CURVE_TE, "t0": CURVE_T0, "times": CURVE_TIMES, "stride": CURVE_STRIDE,
        "value_dps": VALUE_DPS,
        "max_relative_difference_between_routes": worst,
        "generation_seconds": round(seconds),
        "curves": curves,
    }
    CURVE_FILE.write_text(json.dumps(document, indent=1) + "\n")


def check(count, rows_wanted):
    """Recompute rows of the stored grid by both routes and compare with the table."""
    document = json.loads(GRID_FILE.read_text())
    rows = document["rows"]
    indices = rows_wanted if rows_wanted else random.Random(20261208).sample(range(len(rows)), count)
    failures = 0
    mp.dps = VALUE_DPS
    for index in indices:
        row = rows[index]
        u, rho = float.fromhex(row["u"]), float.fromhex(row["rho"])
        with_derivatives = row["dA_du"] not in (None, "inf", "-inf")
        result = compute_row((row["profile"], row["params"], u, rho, with_derivatives))
        pairs = [("A", "value", VALUE_TOLERANCE)]
        if with_derivatives:
            pairs += [("dA_du", "du", DERIVATIVE_TOLERANCE), ("dA_drho", "drho", DERIVATIVE_TOLERANCE)]
        for stored_key, key, tolerance in pairs:
            stored, fresh = mpf(row[stored_key]), mpf(result["row"][key])
            diff = relative(stored, fresh)
            status = "ok" if diff <= tolerance else "DIFFERS"
            failures += status != "ok"
            print(f"row {index} {row['profile']} u={u!r} rho={rho!r} {stored_key}: {status} ({float(diff):.1e})")
    return failures


def self_check():
    """cel against mpmath's own complete integrals, and the two ring means against direct
    quadrature over the ring's angle; raises on a disagreement."""
    with mp.workdps(VALUE_DPS):
        worst = mpf(0)
        for m in (mpf("0.1"), mpf("0.9"), 1 - mpf("1e-12")):
            kc = mpmath.sqrt(1 - m)
            worst = max(worst, relative(cel(kc, 1, 1, 1), mpmath.ellipk(m)),
                        relative(cel(kc, 1, 1, kc * kc), mpmath.ellipe(m)))
            for n in (mpf("-0.5"), mpf("0.3"), mpf("0.97")):
                worst = max(worst, relative(cel(kc, 1 - n, 1, 1), mpmath.ellippi(n, m)))
        for u, radius in ((mpf("0.3"), mpf("0.2")), (mpf(2), mpf("2.001")), (mpf(50), mpf(7))):

            def mean(function):
                return mpmath.quad(lambda t: function((u - radius) ** 2 + 4 * u * radius * mpmath.sin(t) ** 2),
                                   [0, mp.pi / 4, mp.pi / 2]) * 2 / mp.pi

            worst = max(worst, relative(ring(u, radius), mean(lambda x: (x + 2) / mpmath.sqrt(x * (x + 4)))),
                        relative(ring_scaling(u, radius), mean(lambda x: -8 / (mpmath.sqrt(x) * (x + 4) ** 1.5))))
    if worst > mpf("1e-25"):
        raise RuntimeError(f"elliptic self-check failed: {mpmath.nstr(worst, 3)}")
    return worst


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", type=int, metavar="N", help="recompute N seeded rows and compare")
    parser.add_argument("--rows", help="with --check: comma-separated row indices instead")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--only", choices=["grid", "curves", "coefficients"])
    parser.add_argument("--profiles", help="with --only grid or coefficients: recompute these profiles' rows only")
    args = parser.parse_args(argv)
    print(f"self-check: cel and ring means within {mpmath.nstr(self_check(), 2)}", flush=True)
    if args.check is not None or args.rows:
        wanted = [int(x) for x in args.rows.split(",")] if args.rows else None
        return 1 if check(args.check or 0, wanted) else 0
    if args.only in (None, "grid"):
        only = set(args.profiles.split(",")) if args.profiles else None
        rows, worst, seconds = run_grid(args.processes, only)
        write_grid(rows, worst, seconds)
        print(f"grid: {len(rows)} rows in {seconds:.0f} s; worst relative differences {worst}", flush=True)
    if args.only in (None, "coefficients"):
        only = set(args.profiles.split(",")) if args.profiles else None
        rows, worst, seconds = run_coefficients(args.processes, only)
        store_coefficients(rows, worst, seconds, len(rows) == len(coefficient_tasks()))
        print(f"coefficients: {len(rows)} rows in {seconds:.0f} s; worst relative difference {worst:.1e}",
              flush=True)
    if args.only in (None, "curves"):
        points, worst, seconds = run_curves(args.processes)
        write_curves(points, worst, seconds)
        print(f"curves: {len(points)} points in {seconds:.0f} s; worst relative differences {worst}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
