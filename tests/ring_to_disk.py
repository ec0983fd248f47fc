"""The ring-to-disk integration written out in Python, operation for operation, over the
public kernels and the quadrature of the test module: the bit-for-bit reference of the
integrated magnifications."""

import math

import lumagnis
import lumagnis_testing as T

TWO_PI = 6.283185307179586
STEP = 6.0554544523933395e-06  # cbrt(2^-52)


def ring_kernel(l, re, rstar):
    """The ring magnification as a function of ring radius, a failure counting as NaN."""

    def g(x):
        try:
            return lumagnis.heyrovsky_magnification(l, x, re, rstar)
        except RuntimeError:
            return math.nan

    return g


def disk_constant(value):
    """A uniform-disk value as a function of ring radius: constant on the source, 0 below it."""
    return lambda x: 0.0 if x < 0 else value


def ring_to_disk(g, profile, x):
    """P(x) pi d/dx[x^2 g(x)] with a central difference."""
    value = g(x)
    if x < 0:
        slope = 0.0
    else:
        h = (abs(x) + 1) * STEP
        ahead = g(x + h)
        slope = (ahead - g(x - h)) / (h + h)
    return profile(x) * ((TWO_PI * x) * (value + (0.5 * x) * slope))


def integrate(g, profile, normaliser):
    estimate = T.tanh_sinh_integrate(lambda x: ring_to_disk(g, profile, x), 0.0, 1.0, 1e-16)[0]
    return estimate / normaliser
