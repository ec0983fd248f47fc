"""The points of tools/fspl_sweep.py: laws with random valid coefficients (their edges of
validity included), random tables, radii and separations by region, and a light curve through
each point. Point i of seed S is drawn from a generator seeded by "S:i" alone."""

from __future__ import annotations

import hashlib
import json
import math
import random
from fractions import Fraction

LAWS = ["Uniform", "Linear", "Quadratic", "SquareRoot", "Power2", "Tabulated"]
REGIONS = ["centre", "inside", "limb_in", "limb", "limb_out", "outside", "far"]
# The drawing code's version: a change here invalidates the cached references.
DRAW_VERSION = 1


def log_uniform(rng, lo, hi):
    return 10 ** rng.uniform(math.log10(lo), math.log10(hi))


def draw_linear(rng):
    kind = rng.random()
    if kind < 0.5:
        return [rng.uniform(-1.0, 1.0)]
    if kind < 0.7:
        return [-log_uniform(rng, 1.0, 1e12)]
    if kind < 0.8:
        return [-log_uniform(rng, 1e12, 1.7e308)]
    return [rng.choice([1.0, math.nextafter(1.0, 0.0), 1.0 - 10 ** -rng.randint(1, 15)])]


def shrink(value, rng):
    """value pulled towards zero by a relative 10^-k (k in 1..15) or left on it."""
    if rng.random() < 0.4:
        return value
    return value * (1 - 10 ** -rng.randint(1, 15))


def quadratic_valid(a, b):
    """1 - a x - b x^2 >= 0 on [0, 1], exactly (in rationals)."""
    a, b = Fraction(a), Fraction(b)
    least = min(Fraction(1), 1 - a - b)
    if b < 0 and 0 < -a / (2 * b) < 1:
        least = min(least, 1 + a * a / (4 * b))
    return least >= 0


def square_root_valid(c, d):
    """(1 - c - d) + d s + c s^2 >= 0 on s in [0, 1], exactly."""
    c, d = Fraction(c), Fraction(d)
    least = min(Fraction(1), 1 - c - d)
    if c > 0 and 0 < -d / (2 * c) < 1:
        least = min(least, 1 - c - d - d * d / (4 * c))
    return least >= 0


def draw_quadratic(rng):
    for _ in range(1000):
        kind = rng.random()
        if kind < 0.5:
            a, b = rng.uniform(-3, 3), rng.uniform(-3, 3)
        elif kind < 0.65:  # on or just inside the limb edge 1 - a - b = 0
            a = rng.uniform(-3, 3)
            b = shrink(1 - a, rng) if 1 - a > 0 else 1 - a
        elif kind < 0.8:  # the vertex edge b = -a^2/4, a > 2
            a = rng.uniform(2, 50)
            b = shrink(-a * a / 4, rng)
        else:
            a, b = -log_uniform(rng, 1, 1e308), -log_uniform(rng, 1, 1e308)
        if quadratic_valid(a, b):
            return [a, b]
    raise RuntimeError("no valid quadratic drawn")


def draw_square_root(rng):
    for _ in range(1000):
        kind = rng.random()
        if kind < 0.5:
            c, d = rng.uniform(-3, 3), rng.uniform(-3, 3)
        elif kind < 0.65:
            c = rng.uniform(-3, 3)
            d = shrink(1 - c, rng) if 1 - c > 0 else 1 - c
        elif kind < 0.8:  # the vertex edge d = 2 sqrt(c) - 2c, c > 1
            c = log_uniform(rng, 1, 1e6)
            d = shrink(2 * math.sqrt(c) - 2 * c, rng)
        else:
            c, d = -log_uniform(rng, 1, 1e308), -log_uniform(rng, 1, 1e308)
        if square_root_valid(c, d):
            return [c, d]
    raise RuntimeError("no valid square-root law drawn")


def draw_power2(rng):
    kind = rng.random()
    alpha = rng.choice([0.01, 50.0, 1.0]) if kind < 0.15 else log_uniform(rng, 0.01, 50.0)
    c = rng.choice([1.0, math.nextafter(1.0, 0.0)]) if rng.random() < 0.2 else rng.uniform(-2.0, 1.0)
    return [c, alpha]


def draw_table(rng):
    """2..1000 radii with geometric gaps from the centre (the first down to 1e-6), intensities of
    a smooth darkening, a rough random walk or a spike at the centre, scaled by 1e-300..1e300."""
    n = max(2, round(log_uniform(rng, 2, 1000)))
    first = 0.0 if rng.random() < 0.6 else rng.uniform(0.0, 0.5)
    end = 1.0 if rng.random() < 0.6 else rng.uniform(first + 0.1, 1.0)
    gap = log_uniform(rng, 1e-6, (end - first) / (n - 1))
    # Gaps gap q^i, i < n - 1, summing to end - first: q >= 1 (gap is at most the mean gap), by
    # bisection on log q; the last radius is set to `end` itself.
    def total(log_q):
        return gap * sum(math.exp(min(i * log_q, 700.0)) for i in range(n - 1))

    lo, hi = 0.0, 1.0
    while total(hi) < end - first and hi < 700:
        hi *= 2
    for _ in range(100):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if total(mid) < end - first else (lo, mid)
    radii = [first]
    for i in range(n - 2):
        radii.append(radii[-1] + gap * math.exp(i * lo))
    radii.append(end)
    if any(not (b - a >= 1e-6 * 0.999) for a, b in zip(radii, radii[1:])):
        radii = [first + (end - first) * i / (n - 1) for i in range(n)]
    kind = rng.random()
    if kind < 0.4:
        a = rng.uniform(0, 1)
        values = [1 - a * (1 - math.sqrt(max(0.0, 1 - r * r))) for r in radii]
    elif kind < 0.8:
        values, v = [], rng.uniform(0, 1)
        for _ in radii:
            v = max(0.0, v + rng.gauss(0, 0.2))
            values.append(0.0 if rng.random() < 0.1 else v)
        if not any(values):
            values[0] = 1.0
    else:  # bright only within the first few radii
        cut = rng.randint(1, max(1, min(3, n - 1)))
        values = [1.0] * cut + [0.0] * (n - cut)
    scale = 10 ** rng.uniform(-300, 300)
    return [radii, [v * scale for v in values]]


DRAWS = {"Uniform": lambda rng: [], "Linear": draw_linear, "Quadratic": draw_quadratic,
         "SquareRoot": draw_square_root, "Power2": draw_power2, "Tabulated": draw_table}


def draw_separation(rng, region, rho):
    if region == "centre":
        kind = rng.random()
        if kind < 0.2:
            return 0.0
        if kind < 0.4:
            return rng.choice([5e-324, rng.uniform(5e-324, 2.2e-308)])
        return rho * log_uniform(rng, 1e-20, 1e-3)
    if region == "inside":
        return rho * rng.uniform(1e-3, 0.9)
    if region in ("limb_in", "limb_out"):
        k = rng.randint(1, 15)
        d = 10 ** -k * rng.uniform(1, 10)
        return rho * (1 - d if region == "limb_in" else 1 + d)
    if region == "limb":
        return rho
    if region == "outside":
        return rho * log_uniform(rng, 1.1, 20)
    return math.inf if rng.random() < 0.1 else rho * log_uniform(rng, 20, 1e6)


def draw_curve(rng, u):
    """A trajectory whose separation is exactly u: u0 = 0, t0 = 0, tE = 2^j and t = +-u tE, or
    t = t0 and u0 = +-u. None for u = +inf."""
    if math.isinf(u):
        return None
    te = 2.0 ** rng.randint(0, 6)
    sign = rng.choice([1.0, -1.0])
    if rng.random() < 0.5 and (u * te) / te == u and math.isfinite(u * te):
        return {"t": sign * u * te, "t0": 0.0, "u0": 0.0, "tE": te}
    t0 = rng.uniform(-100, 100)
    return {"t": t0, "t0": t0, "u0": sign * u, "tE": rng.uniform(0.5, 50)}


def draw_point(seed, index):
    """Point `index` of the sweep with seed `seed`: law and region cycle with the index, the rest
    is drawn from a generator seeded by (seed, index), so every point is reproducible alone."""
    rng = random.Random(f"{seed}:{index}")
    law = LAWS[index % len(LAWS)]
    region = REGIONS[(index // len(LAWS)) % len(REGIONS)]
    params = DRAWS[law](rng)
    rho = log_uniform(rng, 1e-6, 1e3)
    u = draw_separation(rng, region, rho)
    point = {"key": f"{seed}:{index}", "law": law, "params": params, "region": region,
             "u": u.hex(), "rho": rho.hex(), "curve": draw_curve(rng, u)}
    point["hash"] = hashlib.sha1(json.dumps([DRAW_VERSION, law, params, u.hex(), rho.hex()]).encode()).hexdigest()[:16]
    return point


def select_points(seed, count, law=None, region=None):
    points, index = [], 0
    while len(points) < count:
        if (law is None or LAWS[index % len(LAWS)] == law) and (
                region is None or REGIONS[(index // len(LAWS)) % len(REGIONS)] == region):
            points.append(draw_point(seed, index))
        index += 1
    return points


