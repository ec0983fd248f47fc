"""Agreement of the special functions with mpmath at 40 digits on seeded random grids, one grid
per regime, each with its own bound in ulps."""

import math
import random

import mpmath as mp
import pytest

import lumagnis_testing as T

mp.mp.dps = 40


def log_uniform(rng, lo, hi):
    return 10.0 ** rng.uniform(lo, hi)


def principal_rj(x, y, z, p):
    # mpmath continues R_J to p < 0 as a complex value whose real part is the principal value.
    return mp.re(mp.elliprj(x, y, z, p))


def rj_near_p_scale(x, y, z, p):
    # With y = z and p just beyond the 1.2 ratio, R_J is a difference quotient of two R_C
    # values; its rounding error is that of the quotient's terms, not of the small result.
    return 3 * mp.elliprc(x, y) / abs(p - y)


def rj_principal_scale(x, y, z, p):
    # The principal value is a sum of cancelling terms and crosses zero; R_J at |p| measures
    # the size of those terms.
    return mp.elliprj(x, y, z, -p)


# name: (function, reference, draw(rng) -> args, points, bound in ulps, error scale or None)
GRIDS = {
    "rf": (T.elliprf, mp.elliprf, lambda r: [log_uniform(r, -3, 3) for _ in "xyz"], 150, 6, None),
    "rf_zero": (T.elliprf, mp.elliprf, lambda r: (0.0, log_uniform(r, -3, 3), 1.0), 150, 6, None),
    "rf_extreme_ratio": (
        T.elliprf, mp.elliprf, lambda r: (log_uniform(r, -8, 0), 1.0, log_uniform(r, 0, 3)),
        150, 6, None),
    "rf_extreme_scale": (
        T.elliprf, mp.elliprf,
        lambda r: (lambda s: [s * log_uniform(r, -1, 1) for _ in "xyz"])(
            10.0 ** r.choice([-300, 300])),
        60, 6, None),
    "rc": (T.elliprc, mp.elliprc, lambda r: (log_uniform(r, -6, 6), log_uniform(r, -6, 6)),
           150, 6, None),
    "rc_near_equal": (T.elliprc, mp.elliprc, lambda r: (1.0, 1 + r.uniform(-0.6, 0.6)),
                      150, 4, None),
    "rc_principal": (T.elliprc, mp.elliprc, lambda r: (log_uniform(r, -6, 6),
                                                       -log_uniform(r, -6, 6)), 150, 6, None),
    "rd": (T.elliprd, mp.elliprd, lambda r: [log_uniform(r, -3, 3) for _ in "xyz"], 120, 12, None),
    "rd_zero": (T.elliprd, mp.elliprd, lambda r: (0.0, log_uniform(r, -3, 3),
                                                  log_uniform(r, -3, 3)), 120, 12, None),
    "rd_extreme_ratio": (
        T.elliprd, mp.elliprd, lambda r: (log_uniform(r, -12, 0), 1.0, log_uniform(r, -3, 8)),
        120, 12, None),
    "rj": (T.elliprj, mp.elliprj, lambda r: [log_uniform(r, -3, 3) for _ in "xyzp"],
           100, 10, None),
    "rj_zero": (T.elliprj, mp.elliprj, lambda r: [0.0] + [log_uniform(r, -3, 3) for _ in "yzp"],
                100, 10, None),
    "rj_extreme_ratio": (
        T.elliprj, mp.elliprj,
        lambda r: (log_uniform(r, -10, 0), 1.0, log_uniform(r, 0, 6), log_uniform(r, -6, 6)),
        100, 10, None),
    "rj_p_near_y": (
        T.elliprj, mp.elliprj,
        lambda r: (lambda y: (log_uniform(r, -2, 2), y, y, y * (1 + r.uniform(-0.5, 0.5))))(
            log_uniform(r, -2, 2)),
        100, 8, rj_near_p_scale),
    "rj_principal": (T.elliprj, principal_rj,
                     lambda r: [log_uniform(r, -2, 2) for _ in "xyz"] + [-log_uniform(r, -2, 2)],
                     20, 8, rj_principal_scale),
    "k": (T.ellipk, mp.ellipk, lambda r: (r.random(),), 200, 4, None),
    "k_near_one": (T.ellipk, mp.ellipk, lambda r: (1 - log_uniform(r, -16, -1),), 200, 4, None),
    # 1 - m/(m - 1) rounds off bits in proportion to |m|; the bound holds for |m| <= 10.
    "k_negative": (T.ellipk, mp.ellipk, lambda r: (-log_uniform(r, -6, 1),), 200, 6, None),
    "e": (T.ellipe, mp.ellipe, lambda r: (r.random(),), 200, 3, None),
    "e_near_one": (T.ellipe, mp.ellipe, lambda r: (1 - log_uniform(r, -16, -1),), 200, 3, None),
    "e_negative": (T.ellipe, mp.ellipe, lambda r: (-log_uniform(r, -6, 3),), 200, 5, None),
    "pi": (T.ellippi, mp.ellippi, lambda r: (r.random(), r.random()), 100, 8, None),
    "pi_n_near_one": (T.ellippi, mp.ellippi, lambda r: (1 - log_uniform(r, -12, -1), r.random()),
                      100, 8, None),
    "pi_m_near_one": (T.ellippi, mp.ellippi, lambda r: (r.random(), 1 - log_uniform(r, -12, -1)),
                      100, 8, None),
    "pi_negative_n": (T.ellippi, mp.ellippi, lambda r: (-log_uniform(r, -6, 3), r.random()),
                      100, 8, None),
    "pi_small_n": (T.ellippi, mp.ellippi,
                   lambda r: (r.choice([-1, 1]) * log_uniform(r, -12, -1), r.random()), 100, 8,
                   None),
}


@pytest.mark.parametrize("grid", GRIDS)
def test_agrees_with_mpmath(grid):
    function, reference, draw, points, bound, scale = GRIDS[grid]
    rng = random.Random(grid)
    worst, worst_args = 0.0, None
    for _ in range(points):
        args = tuple(draw(rng))
        exact = reference(*args)
        size = abs(exact) if scale is None else max(abs(exact), scale(*args))
        error = float(abs(mp.mpf(function(*args)) - exact)) / math.ulp(float(size))
        if error > worst:
            worst, worst_args = error, args
    assert worst <= bound, f"{worst:.2f} ulps at {worst_args}"
