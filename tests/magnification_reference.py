"""High-precision references for the magnification tests, computed with mpmath.

Each is written from the physics, not from our formulas: averages of the point-lens
magnification over a circle or a disk, evaluated by quadrature at 30 digits. They are slow
(milliseconds each), so the tests use them at a few dozen points.
"""

import math

import mpmath

DPS = 30


def point_lens(x, kappa=1):
    """Point-lens magnification at distance x from the lens, kappa the Einstein radius."""
    x, kappa = mpmath.mpf(x), mpmath.mpf(kappa)
    return (x * x + 2 * kappa**2) / (x * mpmath.sqrt(x * x + 4 * kappa**2))


def ring_average(l, r, re, rstar):
    """Mean of the point-lens magnification over the circle of radius r about the source
    centre, the lens at distance l from it (both in source radii)."""
    with mpmath.workdps(DPS):
        l, r = mpmath.mpf(l), mpmath.mpf(r)
        kappa = mpmath.mpf(re) / mpmath.mpf(rstar)

        def magnification(phi):
            # Distance of the point at angle phi, in a form that keeps its precision near phi = 0.
            x = mpmath.sqrt((l - r) ** 2 + 4 * l * r * mpmath.sin(phi / 2) ** 2)
            return point_lens(x, kappa)

        # Near the ring the integrand peaks within about |l - r| / sqrt(l r) of phi = 0.
        width = abs(l - r) / mpmath.sqrt(l * r) if l * r > 0 else mpmath.pi
        points = [0, width, mpmath.pi] if 0 < width < 0.5 else [0, mpmath.pi]
        return mpmath.quad(magnification, points) / mpmath.pi


def ring_average_elliptic(l, r, re, rstar, dps=DPS):
    """The same ring average through mpmath's complete elliptic integrals; much faster than
    the quadrature, and checked against it in the tests of the ring kernel."""
    with mpmath.workdps(dps):
        l, r = mpmath.mpf(l), mpmath.mpf(r)
        kappa = mpmath.mpf(re) / mpmath.mpf(rstar)
        d, h = l - r, l + r
        g = 4 * kappa**2 + d * d
        m = 16 * kappa**2 * l * r / (g * h * h)
        n = 4 * l * r / (h * h)
        total = 2 * kappa**2 * mpmath.ellipk(m) + d * d * mpmath.ellippi(n, m)
        return total * 4 / (h * mpmath.sqrt(g)) / (2 * mpmath.pi)


def disk_average(l, re, rstar):
    """Mean of the point-lens magnification over the source disk, the lens at l source radii
    from its centre.

    Integrated in polar coordinates about the lens: the circle of radius x about the lens
    meets the disk in an arc of angle theta(x), so the mean is
    (1 / (pi rho^2)) * integral of A(x) x theta(x) dx, and A(x) x = (x^2 + 2) / sqrt(x^2 + 4)
    is smooth.
    """
    with mpmath.workdps(DPS):
        rho = mpmath.mpf(rstar) / mpmath.mpf(re)
        u = mpmath.mpf(l) * rho

        def weight(x):
            return (x * x + 2) / mpmath.sqrt(x * x + 4)

        if u == 0:
            return mpmath.sqrt(rho**2 + 4) / rho

        def arc(x):
            c = (x * x + u * u - rho * rho) / (2 * x * u)
            return weight(x) * 2 * mpmath.acos(max(-1, min(1, c)))

        total = 0
        if u < rho:
            total += 2 * mpmath.pi * mpmath.quad(weight, [0, rho - u])
        total += mpmath.quad(arc, [abs(u - rho), u + rho])
        return total / (mpmath.pi * rho * rho)


def relative_error(value, reference):
    with mpmath.workdps(DPS):
        return float(abs((mpmath.mpf(value) - reference) / reference))


def log_uniform(rng, low, high):
    return 10.0 ** rng.uniform(math.log10(low), math.log10(high))


def limb_darkened_ring_integral(l, re, rstar, cutoff, normaliser):
    """The integral of P(x) pi d/dx[x^2 g(x)] over [cutoff, 1], divided by `normaliser`, with
    g the ring average at radius x and P the linear limb darkening 1 - 0.6 (1 - sqrt(1 - x^2)).

    Integrated by parts, with no derivative of g: over [0, 1] the integral is
    0.4 pi g(1) + 0.6 pi * integral of x^3 g(x) / sqrt(1 - x^2), and x = sin(theta) removes
    the square root. The part below `cutoff` is pi P x^2 g to within cutoff^3. Needs l > 1,
    where g is smooth on the whole source.
    """
    with mpmath.workdps(20):
        x0 = mpmath.mpf(cutoff)

        def g(x):
            return ring_average_elliptic(l, x, re, rstar, dps=20)

        def tail(theta):
            return mpmath.sin(theta) ** 3 * g(mpmath.sin(theta))

        whole = 0.4 * mpmath.pi * g(1) + 0.6 * mpmath.pi * mpmath.quad(
            tail, [0, mpmath.pi / 2], method="gauss-legendre"
        )
        profile_at_cutoff = 1 - 0.6 * (1 - mpmath.sqrt(1 - x0 * x0))
        below = mpmath.pi * profile_at_cutoff * x0 * x0 * g(x0)
        return (whole - below) / mpmath.mpf(normaliser)
