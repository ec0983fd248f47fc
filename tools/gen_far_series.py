"""Write src/models/fspl_far_series.hpp, the far-field series of a finite source.

The mean of the point-lens magnification A(q), q = u^2, over a radially symmetric source of
radius rho is sum_k m_k a_k rho^(2k), with m_k the brightness-weighted mean of r^(2k) (r in
source radii) and a_k = Lap^k A / (4^k (k!)^2), Lap = 4 d/dq (q d/dq) the plane Laplacian of a
radial function. With D = q (q + 4), Lap^k A = P_k(q) D^(-(4k + 1) / 2) for an integer
polynomial P_k, computed here exactly (rationals) by applying Lap to P D^(-n / 2):

    q d/dq (P D^(-n/2))  = q (P' D - (n / 2) P D') D^(-(n + 2) / 2) = R D^(-(n + 2) / 2),
    4 d/dq (R D^(-(n + 2) / 2)) = 4 (R' D - ((n + 2) / 2) R D') D^(-(n + 4) / 2).

P_k = q^k Q_k; its q-derivative's numerator N_k = P_k' D - ((4k + 1) / 2) P_k D' = q^k M_k.
In x = rho^2 / q the k-th terms of the value and of dA/dq are

    m_k x^k c_k Q_k(q) (q + 4)^(-2k) / sqrt(D),   m_k x^k c_k M_k(q) (q + 4)^(-2k-1) / (q sqrt(D)),

c_k = 1 / (4^k (k!)^2). For q <= 4 the kernel takes Q_k, M_k by Horner in q; beyond, as
w^(2k) sum_i Q_ki y^(2k - i), w = q / (q + 4), y = 1 / q, by Horner in y (their coefficients
reversed), which neither overflows for q up to 1e100 nor loses digits: the generator checks
each polynomial's condition number on its half (sum |c_i| t^i / |sum c_i t^i|).

The number of terms comes from a remainder bound; see the header's comment, written below,
for the proof. The generator evaluates the bound's supremum over u on a grid and keeps a
margin of 2 for what lies between grid points (each factor varies by less than 12 % from one
point to the next, and all of them tend to constants as u -> 0 and u -> infinity).

Rerun from the repository root, with the development environment:

    .venv/bin/python tools/gen_far_series.py

It overwrites the header; `--check` only compares and exits 1 on a difference.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
from fractions import Fraction

import numpy as np

OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "src" / "models" / "fspl_far_series.hpp"
# Where the series takes over: for the uniform disk the value from u = 10 rho and the slopes
# from u = 6 rho (nearer, its closed form costs less than the series); for every other source,
# whose alternative is a quadrature that costs several times the series there, both from
# u = 4 rho, the nearest at which MOST_TERMS terms still meet the slopes' tolerance.
VALUE_RATIO = 10.0
SLOPE_RATIO = 6.0
LAW_RATIO = 4.0
# The remainder the term count allows: of A, and of each slope.
VALUE_TOLERANCE = 1e-13
SLOPE_TOLERANCE = 1e-11
# Margin on the bound's supremum over the u grid.
GRID_MARGIN = 2.0
# The moments a source prepares (far_terms). A table in mu takes them by a 16-node Gauss rule,
# exact for polynomials of degree 2 MOST_TERMS only while MOST_TERMS <= 15.
MOST_TERMS = 14
U_GRID = 10.0 ** np.arange(-6.0, 12.0001, 0.05)
CIRCLES = np.arange(0.30, 0.985, 0.02)


# ---------------------------------------------------------------- exact polynomials
def add(a, b):
    n = max(len(a), len(b))
    return [(a[i] if i < len(a) else 0) + (b[i] if i < len(b) else 0) for i in range(n)]


def mul(a, b):
    out = [Fraction(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def der(a):
    return [i * a[i] for i in range(1, len(a))] or [Fraction(0)]


def scale(a, s):
    return [s * x for x in a]


def trim(a):
    a = list(a)
    while len(a) > 1 and a[-1] == 0:
        a.pop()
    return a


D = [Fraction(0), Fraction(4), Fraction(1)]
D_PRIME = [Fraction(4), Fraction(2)]


def laplacians(count):
    """P_0 .. P_(count - 1)."""
    p = [[Fraction(2), Fraction(1)]]
    for k in range(count - 1):
        n = 4 * k + 1
        r = mul([0, 1], add(mul(der(p[-1]), D), scale(mul(p[-1], D_PRIME), Fraction(-n, 2))))
        p.append(
            trim(scale(add(mul(der(r), D), scale(mul(r, D_PRIME), Fraction(-(n + 2), 2))), 4))
        )
    return p


def strip_q(poly, k):
    assert all(c == 0 for c in poly[:k]), "P_k is not divisible by q^k"
    return trim(poly[k:])


def condition(coefficients, ts):
    c = np.array([float(x) for x in coefficients])
    powers = ts[:, None] ** np.arange(len(c))[None, :]
    return float(np.max((np.abs(c) * powers).sum(1) / np.abs((c * powers).sum(1))))


def series_tables(count):
    p = laplacians(count)
    value, slope = [], []
    for k in range(count):
        ck = Fraction(1, 4**k * math.factorial(k) ** 2)
        q_k = strip_q(p[k], k) if k else None
        n_k = trim(add(mul(der(p[k]), D), scale(mul(p[k], D_PRIME), Fraction(-(4 * k + 1), 2))))
        m_k = strip_q(n_k, k)
        # The signs the bound's proof leans on: Lap^1 A decreasing (M_1 <= 0 for q > 0).
        if k == 1:
            assert all(c <= 0 for c in m_k)
        for poly, store in ((q_k, value), (m_k, slope)):
            if poly is None:
                store.append(None)
                continue
            poly = [c * ck for c in poly]
            small = np.linspace(0.0, 4.0, 801)
            large = np.linspace(1e-9, 0.25, 801)
            reverse = poly[::-1]
            # Beyond q = 4 the top coefficients of the later terms alternate: a condition
            # number of up to 80 at k = 13, on a term below 1e-10 of A.
            assert condition(poly, small) < 2 and condition(reverse, large) < 100
            store.append(poly)
    return value, slope


# ---------------------------------------------------------------- the remainder bound
def circle_bound(u, c):
    """Upper bound of |M(r) - const| over complex |r| = c u (const 0 or 1)."""
    low = (u * (1 - c)) ** 2  # |q| >= (u - |r|)^2
    kappa = 1.0 if c * c <= 0.5 else math.sqrt(2 * (1 - c * c))
    g = (low + 2) / np.sqrt(low * np.maximum(low, 4))
    whole = np.maximum(g, 1.5) / math.sqrt(kappa)
    excess = 4 / (kappa * kappa * low * np.maximum(low, 4))
    return np.minimum(whole, excess)


def point(u):
    q = u * u
    return (q + 2) / np.sqrt(q * (q + 4))


def laplacian_1(q):
    return 32 * q * (q + 1) / (q * (q + 4)) ** 2.5


def point_slope(s):
    return 8 / (s * s * (s * s + 4) ** 1.5)


def value_bound(z, terms, c):
    x = 1 / (c * z) ** 2
    if x >= 1:
        return math.inf  # the circle reaches no farther than the source
    return GRID_MARGIN * np.max(circle_bound(U_GRID, c) / point(U_GRID)) * x**terms / (1 - x)


def radius_slope_bound(z, terms, c):
    x = 1 / (c * z) ** 2
    if x >= 1:
        return math.inf  # the circle reaches no farther than the source
    rho = U_GRID / z
    tail = x**terms * (terms - (terms - 1) * x) / (1 - x) ** 2
    lower = rho * rho * laplacian_1((U_GRID + rho) ** 2)
    return GRID_MARGIN * np.max(4 * circle_bound(U_GRID, c) / lower) * tail


def u_slope_bound(z, terms, c, d):
    x = 1 / (c * z) ** 2
    if x >= 1:
        return math.inf  # the circle reaches no farther than the source
    rho = U_GRID / z
    lower = d * U_GRID * point_slope(U_GRID + rho) * (U_GRID - rho) / (U_GRID + rho)
    return GRID_MARGIN * np.max(circle_bound(U_GRID, c + d) / lower) * x**terms / (1 - x)


def u_slope_bound_direct(z, terms, c):
    """The same from Cauchy's estimate in r of the ring mean of dA/du itself."""
    x = 1 / (c * z) ** 2
    if x >= 1:
        return math.inf  # the circle reaches no farther than the source
    rho = U_GRID / z
    low = (U_GRID * (1 - c)) ** 2
    kappa = 1.0 if c * c <= 0.5 else math.sqrt(2 * (1 - c * c))
    # |dA/du| = |A'(q)| |2 (u + r cos theta)| <= 4 |D|^(-3/2) 2 u (1 + c)
    high = 8 * U_GRID * (1 + c) / (kappa * low * np.maximum(low, 4)) ** 1.5
    lower = point_slope(U_GRID + rho) * (U_GRID - rho) / (U_GRID + rho)
    return GRID_MARGIN * np.max(high / lower) * x**terms / (1 - x)


# ---------------------------------------------------------------- the sharper bound
# The terms from K up to BOUND_TERMS - 1 are bounded one by one from their exact polynomials;
# only the tail beyond takes Cauchy's estimate, whose loss (the circle kept inside the
# singularity at r = u) then multiplies a remainder far below the tolerance.
BOUND_TERMS = 24


def absolute_terms(count):
    """Per k < count, upper bounds of |V_k| and |U_k| on U_GRID: each polynomial's sum of
    |c_i| t^i in the variable of its half (q up to 4, y = 1 / q beyond)."""
    q = U_GRID * U_GRID
    near = q <= 4
    w = q / (q + 4)
    y = 1 / q

    def absolute(poly, degree_of_factor, extra):
        c = np.array([abs(float(x)) for x in poly])
        near_sum = (c[None, :] * np.minimum(q, 4)[:, None] ** np.arange(len(c))).sum(1)
        rev = c[::-1]
        far_sum = (rev[None, :] * np.minimum(y, 0.25)[:, None] ** np.arange(len(c))).sum(1)
        # near: P(q) / (q + 4)^n; far: q^deg P_rev(y) / (q + 4)^n = w^n y^(n - deg) P_rev(y).
        n = degree_of_factor
        far = w**n * y ** (n - (len(c) - 1)) * far_sum
        with np.errstate(over="ignore"):  # (q + 4)^n far beyond q = 4, where it is not taken
            return np.where(near, near_sum / (q + 4) ** n, far) * extra

    p = laplacians(count)
    value, slope = [None], [None]
    for k in range(1, count):
        ck = Fraction(1, 4**k * math.factorial(k) ** 2)
        q_k = [c * ck for c in strip_q(p[k], k)]
        n_k = trim(add(mul(der(p[k]), D), scale(mul(p[k], D_PRIME), Fraction(-(4 * k + 1), 2))))
        m_k = [c * ck for c in strip_q(n_k, k)]
        root = np.sqrt(q * (q + 4))
        value.append(absolute(q_k, 2 * k, 1 / root))
        slope.append(absolute(m_k, 2 * k, 1 / ((q + 4) * root)))
    return value, slope


ABSOLUTE_VALUE, ABSOLUTE_SLOPE = absolute_terms(BOUND_TERMS)


def sharp_value_bound(z, terms):
    """|remainder| / A after `terms` terms: sum_(k = terms)^(BOUND_TERMS - 1) x^k |V_k| /
    sqrt(D) with m_k <= 1, then Cauchy's tail from BOUND_TERMS on."""
    x = 1 / (z * z)
    head = sum(x**k * ABSOLUTE_VALUE[k] for k in range(terms, BOUND_TERMS))
    tail = min(value_bound(z, BOUND_TERMS, c) for c in CIRCLES)
    return GRID_MARGIN * np.max(head / point(U_GRID)) + tail


def sharp_radius_slope_bound(z, terms):
    """|remainder of dA/drho| against its lower bound: (2 / rho) sum k x^k |V_k| / sqrt(D)
    (m_k <= m_1, which the lower bound carries too), then Cauchy's tail."""
    x = 1 / (z * z)
    rho = U_GRID / z
    head = sum(k * x**k * ABSOLUTE_VALUE[k] for k in range(terms, BOUND_TERMS))
    lower = rho * rho * laplacian_1((U_GRID + rho) ** 2)
    tail = min(radius_slope_bound(z, BOUND_TERMS, c) for c in CIRCLES)
    return GRID_MARGIN * np.max(4 * head / lower) + tail


def sharp_u_slope_bound(z, terms):
    """|remainder of dA/du| against its lower bound: (2 / u) sum x^k |U_k| / sqrt(D), then
    Cauchy's tail (in r, or in u)."""
    x = 1 / (z * z)
    rho = U_GRID / z
    head = sum(x**k * ABSOLUTE_SLOPE[k] for k in range(terms, BOUND_TERMS))
    lower = point_slope(U_GRID + rho) * (U_GRID - rho) / (U_GRID + rho)
    tail = min(u_slope_bound_direct(z, BOUND_TERMS, c) for c in CIRCLES)
    return GRID_MARGIN * np.max(2 * head / (U_GRID * lower)) + tail


def enough(z, terms, tolerance, slopes):
    if not slopes:
        return sharp_value_bound(z, terms) <= tolerance
    return (
        sharp_radius_slope_bound(z, terms) <= tolerance
        and sharp_u_slope_bound(z, terms) <= tolerance
    )


def thresholds(start, tolerance, slopes):
    """For terms = 1 .. MOST_TERMS, the least z (>= start) from which they suffice; inf if
    they never do within 1e8, start if they do there already."""
    out = []
    for terms in range(1, MOST_TERMS + 1):
        if enough(start, terms, tolerance, slopes):
            out.append(start)
            continue
        lo, hi = start, 1e8
        if not enough(hi, terms, tolerance, slopes):
            out.append(math.inf)
            continue
        for _ in range(30):
            mid = math.sqrt(lo * hi)
            if enough(mid, terms, tolerance, slopes):
                hi = mid
            else:
                lo = mid
        # Rounded up, so that a count is taken only where the bound has been checked.
        out.append(float(f"{hi * 1.0001:.6g}"))
    return out


# ---------------------------------------------------------------- the header
def cxx(x):
    return repr(float(x)) if x != math.inf else "HUGE_VAL"


def flatten(name, polys, reverse):
    rows, offsets, size = [], [], 0
    for poly in polys:
        offsets.append(size)
        if poly is not None:
            row = poly[::-1] if reverse else poly
            rows.append("    " + ", ".join(repr(float(c)) for c in row) + ",")
            size += len(row)
    offsets.append(size)
    return "\n".join(
        [f"inline constexpr std::array<double, {size}> {name}{{"]
        + rows
        + [
            "};",
            f"inline constexpr std::array<int, {len(offsets)}> {name}_at{{"
            + ", ".join(map(str, offsets))
            + "};\n",
        ]
    )


HEADER = """\
// Generated by tools/gen_far_series.py; do not edit.
// clang-format off
#pragma once
//
// The far-field series of a radially symmetric source (A(q) the point-lens magnification,
// q = u^2, D = q (q + 4), x = (rho / u)^2, m_k the source's means of r^(2k)):
//   A = 1 + [4 / (q + 2 + sqrt D) + sum_(k >= 1) m_k x^k V_k(q)] / sqrt D,
//   dA/du = (2 / u) sum_(k >= 0) m_k x^k U_k(q) / sqrt D,   dA/drho = (2 / rho) sum k (...V_k),
// V_k = c_k Q_k(q) / (q + 4)^(2k), U_k = c_k M_k(q) / (q + 4)^(2k + 1), c_k = 1 / (4^k k!^2);
// the polynomials' coefficients below carry c_k (ascending in q for q <= 4; ascending in
// y = 1 / q, to be multiplied by w^(2k) y^(2k - degree) with w = q / (q + 4), beyond).
//
// How many terms: a proof. The mean of A over the circle of radius r about the lens's
// distance u is M(r) = sum a_k r^(2k). For complex r with |r| = c u, c < 1, and real theta,
// q = (u + r e^(i theta)) (u + r e^(-i theta)): each factor lies within |.| in
// [u (1 - c), u (1 + c)] and argument asin(c), so |q| >= L = u^2 (1 - c)^2 and |arg q| <=
// alpha = 2 asin(c) < pi. A is analytic off q in [-4, 0], so M is analytic for |r| <= c u.
// Two complex numbers at most alpha apart in argument have |a + b| >= kappa max(|a|, |b|),
// kappa = 1 for alpha <= pi / 2, else sqrt(1 + cos alpha) = sqrt(2 (1 - c^2)). Hence
// |q + 4| >= kappa max(|q|, 4), and with g(s) = (s + 2) / sqrt(s max(s, 4)), which on
// [L, inf) stays below max(g(L), 3 / 2):
//   |A| <= max(g(L), 3 / 2) / sqrt(kappa),  |A - 1| = |4 / (sqrt D (q + 2 + sqrt D))|
//        <= 4 / (kappa^2 L max(L, 4))    (q + 2 and sqrt D are within alpha of each other).
// Cauchy's estimate with B(u, c) the lesser of the two gives |a_k| <= B / (c u)^(2k), k >= 1.
// A non-negative intensity has 0 <= m_k <= m_1 <= 1 (k >= 1), so with x_c = x / c^2:
//   value:  |remainder after K terms| <= B x_c^K / (1 - x_c), against A >= A(u) (A is
//           subharmonic, Lap A = 32 q (q + 1) D^(-5/2) > 0, so every ring mean exceeds A(u));
//   dA/drho: the remainder <= (2 / rho) m_1 B sum_(k >= K) k x_c^k, against dA/drho >=
//           (rho / 2) m_1 Lap A((u + rho)^2) (Green: M'(s) = (1 / (2 pi s)) times the integral
//           of Lap A over the disk of radius s, and Lap A decreases with q);
//   dA/du:  for complex u within d u0 of u0 the same argument holds with c + d for c, and
//           Cauchy in u gives the remainder's slope <= B(u0, c + d) x_c^K / ((1 - x_c) d u0),
//           against |dA/du| >= |A'(u + rho)| (u - rho) / (u + rho) (every part of the source
//           pulls the same way, |A'(s)| = 8 / (s^2 (s^2 + 4)^(3/2)) decreases).
// Cauchy's estimate keeps the circle inside the singularity at |r| = u and so overstates
// each a_k; it serves only for the tail from k = @B on. The terms before, from K, are bounded
// one by one from their exact polynomials: |V_k| <= c_k sum |coefficient| t^i over the half's
// variable t (q <= 4, or y = 1 / q), and likewise U_k, with m_k <= 1 (for the value and
// dA/du) or m_k <= m_1 (dA/drho, whose lower bound carries m_1); the remainders are
//   value:  sum_k x^k |V_k| / sqrt D,   dA/drho: (2 / rho) sum_k k x^k |V_k| / sqrt D,
//   dA/du:  (2 / u) sum_k x^k |U_k| / sqrt D,   plus Cauchy's tail from k = @B,
// against the same lower bounds. For each count the generator finds the least z = u / rho at
// which the bound, maximised over u (and the tail's minimised over c), meets the tolerance;
// a count K is used from terms_from[K - 1] on. A difference of two sources' series (for the
// derivatives in a law's coefficients) takes the slopes' count.
"""


def render(value, slope, value_from, slope_from):
    parts = [HEADER.replace("@B", str(BOUND_TERMS))]
    parts.append("#include <array>\n#include <cmath>\n")
    parts.append("namespace lumagnis::models::fspl::far_series {\n")
    parts.append(
        f"// Where the series takes over: for the uniform disk the value from u = {VALUE_RATIO:g} rho,\n"
        f"// the slopes from u = {SLOPE_RATIO:g} rho (nearer, its closed form is cheaper); for every\n"
        f"// other source both from u = {LAW_RATIO:g} rho (nearer than 10 rho the series costs a\n"
        f"// fraction of a quadrature). The remainder allowed: {VALUE_TOLERANCE:g} of A, "
        f"{SLOPE_TOLERANCE:g} of a slope.\n"
        f"inline constexpr double value_ratio = {VALUE_RATIO!r};\n"
        f"inline constexpr double slope_ratio = {SLOPE_RATIO!r};\n"
        f"inline constexpr double law_ratio = {LAW_RATIO!r};\n"
        f"inline constexpr int most_terms = {MOST_TERMS};\n"
    )
    parts.append(
        "// value_terms_from[K - 1]: the least u / rho from which K terms (k = 0 .. K - 1) meet\n"
        "// the tolerance of the value; slope_terms_from likewise for both slopes.\n"
        f"inline constexpr std::array<double, {MOST_TERMS}> value_terms_from{{"
        + ", ".join(cxx(v) for v in value_from)
        + "};\n"
        f"inline constexpr std::array<double, {MOST_TERMS}> slope_terms_from{{"
        + ", ".join(cxx(v) for v in slope_from)
        + "};\n"
    )
    degree_value = [len(p) - 1 if p else 0 for p in value]
    degree_slope = [len(p) - 1 if p else 0 for p in slope]
    parts.append(
        "// Degrees of Q_k and M_k (k = 0 .. most_terms - 1; Q_0 unused).\n"
        f"inline constexpr std::array<int, {MOST_TERMS}> value_degree{{"
        + ", ".join(map(str, degree_value))
        + "};\n"
        f"inline constexpr std::array<int, {MOST_TERMS}> slope_degree{{"
        + ", ".join(map(str, degree_slope))
        + "};\n"
    )
    parts.append(flatten("value_near", value, False))
    parts.append(flatten("value_far", value, True))
    parts.append(flatten("slope_near", slope, False))
    parts.append(flatten("slope_far", slope, True))
    parts.append("\n} // namespace lumagnis::models::fspl::far_series\n")
    return "\n".join(parts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    value, slope = series_tables(MOST_TERMS)
    nearest = min(VALUE_RATIO, SLOPE_RATIO, LAW_RATIO)
    value_from = thresholds(nearest, VALUE_TOLERANCE, slopes=False)
    slope_from = thresholds(nearest, SLOPE_TOLERANCE, slopes=True)
    assert value_from[-1] == nearest and slope_from[-1] == nearest, "too few moments"
    # Wherever the series gives the value, the slopes' count is at least the value's, so that
    # one pass computes both and the value is the same with and without them.
    assert all(max(s, nearest) >= v for v, s in zip(value_from, slope_from))
    text = render(value, slope, value_from, slope_from)
    if args.check:
        if OUTPUT.read_text() != text:
            print(f"{OUTPUT} differs from the generator's output", file=sys.stderr)
            return 1
        return 0
    OUTPUT.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
