"""High-precision reference magnifications for the side-by-side table, cached as JSON.

For each (rho, l) of `points.peer_points()`, with u = l*rho the separation in Einstein radii:

- uniform: the mean of the point-lens magnification (x^2 + 2)/(x sqrt(x^2 + 4)) over the disk of
  radius rho centred at distance u from the lens, in the closed form through the complete elliptic
  integrals E, K and Pi, at 40 digits;
- linear_ld: the same mean weighted by the linear limb-darkening profile 1 - a1*(1 - mu) with
  a1 = 0.6, as the integral over the ring radius of the ring-averaged magnification (closed form
  through K and Pi), at 30 digits.

Before writing, each form is cross-checked on a few points against quadratures that share no
formula with it: the uniform disk as a 1-D integral over the distance from the lens with the exact
arc angle, and as a direct 2-D integral over the disk; the ring average as a direct integral over
the ring's angle; the limb-darkened mean as a direct 2-D integral over the disk.

Regenerate (about five minutes) after changing the inputs in points.py:
    .venv/bin/python benchmarks/reference_disk.py
"""

import argparse
import json
import pathlib
import sys
import time

import mpmath
from mpmath import mp, mpf

import points

UNIFORM_DPS = 40
LD_DPS = 30


def point_lens(x):
    """Magnification of a point source at distance x (Einstein radii) from the lens."""
    return (x * x + 2) / (x * mpmath.sqrt(x * x + 4))


def separation(u, r, phi):
    """Distance from the lens of the point at radius r and angle phi about a centre at distance
    u; written as (u - r)^2 + 4ur cos^2(phi/2) so it keeps its relative precision near the lens
    (r = u, phi = pi), where u^2 + r^2 + 2ur cos(phi) cancels."""
    c = mpmath.cos(phi / 2)
    return mpmath.sqrt((u - r) ** 2 + 4 * u * r * c * c)


def uniform_disk(u, rho):
    """Uniform-disk mean of the point-lens magnification, closed form."""
    u, rho = mpf(u), mpf(rho)
    rho2 = rho * rho
    if u == rho:
        # Lens on the limb: n = 1, where the Pi term's weight (u - rho)^2 vanishes.
        return (2 / rho + (1 + rho2) / rho2 * (mp.pi / 2 + mpmath.asin((rho2 - 1) / (rho2 + 1)))) / mp.pi
    d = u - rho
    s = mpmath.sqrt(d * d + 4)
    n = 4 * u * rho / (u + rho) ** 2
    m = 4 * n / (s * s)
    term_e = mpmath.ellipe(m) * s * (u + rho) / (2 * rho2)
    term_k = d * (u * u - rho2 + 8) / (2 * rho2 * s) * mpmath.ellipk(m)
    term_pi = 2 * d * d * (1 + rho2) / (rho2 * (u + rho) * s) * mpmath.ellippi(n, m)
    return (term_e - term_k + term_pi) / mp.pi


def uniform_disk_by_arcs(u, rho):
    """Uniform-disk mean as a 1-D integral over the distance x from the lens.

    The circle of radius x about the lens runs inside the disk along an arc of angle 2*alpha(x),
    so the area integral of A(x) is the integral of A(x) * x * 2 alpha(x) dx, whose integrand
    (x^2 + 2)/sqrt(x^2 + 4) * 2 alpha(x) has no singularity.
    """
    u, rho = mpf(u), mpf(rho)

    def arc(x):
        if u == 0 or x <= rho - u:
            return mp.pi
        c = (x * x + u * u - rho * rho) / (2 * x * u)
        return mpmath.acos(max(-1, min(1, c)))

    def integrand(x):
        return (x * x + 2) / mpmath.sqrt(x * x + 4) * 2 * arc(x)

    if u < rho:
        breaks = [0, rho - u, rho + u] if u > 0 else [0, rho]
    else:
        breaks = [u - rho, u + rho]
    return mpmath.quad(integrand, breaks) / (mp.pi * rho * rho)


def uniform_disk_2d(u, rho):
    """Uniform-disk mean as a direct 2-D integral over the disk, in polar coordinates about
    its centre; split where a ring passes through the lens (r = u, phi = pi)."""
    u, rho = mpf(u), mpf(rho)

    def integrand(r, phi):
        return point_lens(separation(u, r, phi)) * r

    r_breaks = [0, u, rho] if 0 < u < rho else [0, rho]
    total = mpmath.quad(integrand, r_breaks, [0, mp.pi, 2 * mp.pi])
    return total / (mp.pi * rho * rho)


def ring(u, r):
    """Mean of the point-lens magnification over the circle of radius r about a point at
    distance u from the lens (both in Einstein radii), closed form through K and Pi.

    K and Pi are taken in Carlson's form with 1 - m and 1 - n written out, (u - r)^2 times a
    positive factor, so that a ring passing within 1e-30 of the lens keeps its digits instead of
    rounding m to 1.
    """
    u, r = mpf(u), mpf(r)
    d = u - r
    if d == 0:
        # The ring runs through the lens: a logarithmic singularity of zero measure, met only
        # at quadrature nodes that round onto it, whose weight is far below the working epsilon.
        return mpf(0)
    g = d * d + 4
    h = u + r
    n = 4 * u * r / (h * h)
    m_complement = d * d * (4 + h * h) / (g * h * h)
    n_complement = d * d / (h * h)
    k = mpmath.elliprf(0, m_complement, 1)
    pi_third_kind = k + n / 3 * mpmath.elliprj(0, m_complement, 1, n_complement)
    return (2 * k + d * d * pi_third_kind) * 4 / (h * mpmath.sqrt(g)) / (2 * mp.pi)


def ring_by_angle(u, r):
    """The ring mean as a direct integral over the ring's angle."""
    u, r = mpf(u), mpf(r)

    def integrand(phi):
        return point_lens(separation(u, r, phi))

    return mpmath.quad(integrand, [0, mp.pi / 2, mp.pi]) / mp.pi


def profile(x):
    """Linear limb darkening at radius x (source radii), 1 at the centre."""
    return 1 - mpf(points.A1) * (1 - mpmath.sqrt(1 - x * x))


# The profile's flux in units of pi: the integral of P(x) 2x dx over [0, 1] is 1 - a1/3.
def profile_flux():
    return 1 - mpf(points.A1) / 3


def linear_ld_disk(u, rho, error=False):
    """Limb-darkened mean: the integral of P(x) 2x ring(u, x rho) dx over [0, 1], over the flux.

    The ring mean has a logarithmic singularity where the ring passes through the lens
    (x = u/rho); the quadrature is split there so it sits at an end point.
    """
    u, rho = mpf(u), mpf(rho)

    def integrand(x):
        return profile(x) * 2 * x * ring(u, x * rho)

    lens = u / rho
    breaks = [0, lens, 1] if 0 < lens < 1 else [0, 1]
    value, estimate = mpmath.quad(integrand, breaks, error=True)
    if error:
        return value / profile_flux(), estimate / profile_flux()
    return value / profile_flux()


def linear_ld_disk_2d(u, rho):
    """Limb-darkened mean as a direct 2-D integral over the disk (source radii x, angle phi)."""
    u, rho = mpf(u), mpf(rho)
    lens = u / rho

    def integrand(x, phi):
        return profile(x) * point_lens(rho * separation(lens, x, phi)) * x

    x_breaks = [0, lens, 1] if 0 < lens < 1 else [0, 1]
    total = mpmath.quad(integrand, x_breaks, [0, mp.pi, 2 * mp.pi])
    return total / (mp.pi * profile_flux())


def relative(a, b):
    return abs(a - b) / abs(b)


def cross_check():
    """Largest relative differences between the closed forms and the independent quadratures."""
    report = {}
    with mp.workdps(UNIFORM_DPS):
        cases = [(rho, l * rho) for rho in points.RHOS for l in (0.0, 0.4, 1.0, 1.7, 4.5)]
        report["uniform_vs_arcs"] = float(max(relative(uniform_disk(u, rho), uniform_disk_by_arcs(u, rho))
                                              for rho, u in cases))
        rings = [(u, r) for u in (mpf("0.003"), mpf("0.7"), mpf(2)) for r in (mpf("0.001"), mpf("0.5"), mpf("1.9"))]
        report["ring_vs_angle"] = float(max(relative(ring(u, r), ring_by_angle(u, r)) for u, r in rings))
    with mp.workdps(20):
        cases_2d = [(0.01, 0.004), (0.1, 0.25), (1.0, 1.0), (1.0, 2.5)]
        report["uniform_vs_2d"] = float(max(relative(uniform_disk(u, rho), uniform_disk_2d(u, rho))
                                            for rho, u in cases_2d))
        report["linear_ld_vs_2d"] = float(max(relative(linear_ld_disk(u, rho), linear_ld_disk_2d(u, rho))
                                              for rho, u in cases_2d))
    return report


def generate():
    started = time.monotonic()
    check = cross_check()
    # The closed forms must agree with the quadratures far beyond double precision; the 2-D
    # integrals run at 20 digits and have the corner singularity where the lens lies inside.
    limits = {"uniform_vs_arcs": 1e-30, "ring_vs_angle": 1e-25, "uniform_vs_2d": 1e-12, "linear_ld_vs_2d": 1e-12}
    for key, limit in limits.items():
        if not check[key] < limit:
            sys.exit(f"cross-check {key} failed: {check[key]:.3e} >= {limit:.0e}")
    rows = []
    worst_estimate = 0.0
    for rho, l, u in points.peer_points():
        with mp.workdps(UNIFORM_DPS):
            uniform = uniform_disk(u, rho)
            uniform_text = mpmath.nstr(uniform, 25, strip_zeros=False)
        with mp.workdps(LD_DPS):
            ld, estimate = linear_ld_disk(u, rho, error=True)
            worst_estimate = max(worst_estimate, float(estimate / ld))
            ld_text = mpmath.nstr(ld, 22, strip_zeros=False)
        rows.append({"rho": rho, "l": l, "u": u, "uniform": uniform_text, "linear_ld": ld_text})
    return {
        "generated_by": "benchmarks/reference_disk.py",
        "mpmath": mpmath.__version__,
        "uniform_digits": UNIFORM_DPS,
        "linear_ld_digits": LD_DPS,
        "a1": points.A1,
        "seed": points.SEED,
        "cross_check": check,
        "linear_ld_worst_quadrature_estimate": worst_estimate,
        "seconds": round(time.monotonic() - started, 1),
        "points": rows,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path, default=points.REFERENCE_CACHE)
    arguments = parser.parse_args(argv)
    data = generate()
    arguments.output.write_text(json.dumps(data, indent=1) + "\n")
    print(f"wrote {len(data['points'])} references to {arguments.output} in {data['seconds']} s; "
          f"cross-check {data['cross_check']}")


if __name__ == "__main__":
    main()
