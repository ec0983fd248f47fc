"""Check the uniform disk's derivatives dA/du and dA/dR against mpmath, on a grid of radii R and
ratios z = u / R, and print the relative errors as a table.

Two references that share no formula, each at high precision, must agree first:

- under the integral: moving or growing the disk changes the mean of A only through its rim, so
  dA/du = (2 / (pi R)) int_0^pi g cos(alpha) dalpha and dA/dR = (2 / R) (rim mean of g - (A - 1)),
  g = A - 1, with A - 1 as the integral over the distance s from the lens of g(s) s times the arc
  of the circle of radius s inside the disk;
- a fourth-order central difference, with a step of 1e-30, of the closed form in E, K and Pi
  evaluated by mpmath at 90 digits.

Columns: `closed`, the closed form's forward-mode derivatives; `rim`, the rim integrals (the
far-field series beyond u = 6R); `used`, the one the kernels take (the rim's for R >= 2,
u > 6R or u < R / 100, else the closed form's). Takes about five minutes. Run from the repository root after
`make build`:

    PYTHONPATH=build .venv/bin/python tools/check_disk_gradient.py
"""

from __future__ import annotations

import argparse
import sys

import mpmath
from mpmath import mp, mpf

import lumagnis_testing as T

RADII = (1e-5, 1e-3, 0.1, 1, 2, 5, 10, 30, 100)
RATIOS = (0, 1e-8, 1e-3, 0.3, 0.9, 1 - 1e-6, 1 + 1e-6, 1.1, 2, 5, 5.9, 6.1, 30, 1000)
AGREEMENT = mpf(10) ** -25


def excess_point(s):
    """A - 1 of a point source at distance s from the lens."""
    return (s * s + 2) / (s * mpmath.sqrt(s * s + 4)) - 1


def disk_excess(u, radius):
    """A - 1 of the uniform disk: integral over the distance s from the lens of the circle's
    arc inside the disk, plus the whole circles when the lens is inside."""
    total = mpf(0)
    if u < radius:
        inner = radius - u  # whole circles: int_0^S g(s) s ds = S (sqrt(S^2 + 4) - S) / 2
        total += mp.pi * inner * (mpmath.sqrt(inner * inner + 4) - inner)
    if u > 0:

        def arc(s):
            c = (s * s + u * u - radius * radius) / (2 * u * s)
            return excess_point(s) * s * 2 * mpmath.acos(max(-1, min(1, c)))

        total += mpmath.quad(arc, [abs(u - radius), u + radius])
    return total / (mp.pi * radius * radius)


def rim_integral(u, radius, weight):
    """int_0^pi g(s(a)) weight(a) da, a the angle at the centre from the point nearest the lens;
    split towards a = 0, where g peaks within about |u - R| / max(u, R) when the lens is near."""
    d = u - radius

    def integrand(a):
        s = mpmath.sqrt(d * d + 4 * u * radius * mpmath.sin(a / 2) ** 2)
        return excess_point(s) * weight(a)

    width = abs(d) / max(u, radius)
    points = sorted({mpf(0), mp.pi, *(w for w in (width, 10 * width, 100 * width) if 0 < w < 1)})
    return mpmath.quad(integrand, points)


def by_rim(u, radius):
    du = -2 / (mp.pi * radius) * rim_integral(u, radius, mpmath.cos) if u > 0 else mpf(0)
    mean = rim_integral(u, radius, lambda a: 1) / mp.pi
    return du, 2 / radius * (mean - disk_excess(u, radius))


def closed_form(u, radius):
    r2 = radius * radius
    d = u - radius
    s = mpmath.sqrt(d * d + 4)
    n = 4 * u * radius / (u + radius) ** 2
    m = 4 * n / (s * s)
    e = mpmath.ellipe(m) * s * (u + radius) / (2 * r2)
    k = d * (u * u - r2 + 8) / (2 * r2 * s) * mpmath.ellipk(m)
    p = 2 * d * d * (1 + r2) / (r2 * (u + radius) * s) * mpmath.ellippi(n, m)
    return (e - k + p) / mp.pi


def by_difference(u, radius):
    def difference(f, x):
        h = mpf(10) ** -30 * max(x, 1)
        return (-f(x + 2 * h) + 8 * f(x + h) - 8 * f(x - h) + f(x - 2 * h)) / (12 * h)

    du = difference(lambda x: closed_form(x, radius), u) if u > 0 else mpf(0)
    return du, difference(lambda x: closed_form(u, x), radius)


def references(u, radius):
    with mp.workdps(45):
        rim = by_rim(mpf(u), mpf(radius))
    with mp.workdps(90):
        diff = by_difference(mpf(u), mpf(radius))
    for a, b in zip(rim, diff):
        if a != b and abs(a - b) > AGREEMENT * abs(a):
            sys.exit(f"references disagree at u={u!r}, R={radius!r}: {a} vs {b}")
    return rim


def rim_used(u, radius):
    return radius >= 2 or u > 6 * radius or u < radius / 100


def relative(value, reference):
    if reference == 0:
        return abs(value)
    return float(abs((mpf(value) - reference) / reference))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--limit", type=float, default=1e-8, help="the required relative error")
    args = parser.parse_args()
    names = ("closed", "rim", "used")
    print(f"{'R':>6} {'u/R':>10} " + " ".join(f"{n + ' du':>10} {n + ' dR':>10}" for n in names))
    worst = dict.fromkeys(names, 0.0)
    for radius in RADII:
        for ratio in RATIOS:
            u = ratio * radius
            ref = references(u, radius)
            closed = T.uniform_disk_closed_gradient(u, radius)[1:]
            rim = T.uniform_disk_rim_gradient(u, radius)[1:]
            row = {"closed": closed, "rim": rim, "used": rim if rim_used(u, radius) else closed}
            errors = {n: [relative(v, r) for v, r in zip(row[n], ref)] for n in names}
            for n in names:
                worst[n] = max(worst[n], *errors[n])
            cells = " ".join(f"{e:10.1e}" for n in names for e in errors[n])
            print(f"{radius:>6g} {ratio:>10.7g} {cells}", flush=True)
    print("worst: " + ", ".join(f"{n} {worst[n]:.1e}" for n in names))
    return 0 if worst["used"] <= args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
