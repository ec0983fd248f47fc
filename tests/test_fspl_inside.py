"""A lens inside or just outside a limb-darkened source, 0 <= u/rho <= 1.05: every law's value and
slopes against an mpmath integral by parts (tools/gen_fspl_references.py, 20 digits) on seeded
random and adversarial points, rho from 1e-6 to 1e3."""

import math
import pathlib
import sys

import numpy as np
import pytest
from mpmath import mp

import lumagnis_fspl as fspl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
import gen_fspl_references as reference  # noqa: E402

LAWS = {
    "Linear": (0.6,),
    "Quadratic": (0.4, 0.3),
    "Power2_cubic": (0.7, 3.0),
    "SquareRoot": (0.3, 0.5),
    "Power2": (0.6, 0.6),
    "Nonlinear": (0.7, -0.6, 1.1, -0.45),
    # Terms cancelling at the limb, which magnifies any error there.
    "Nonlinear_cancelling": (0.9, -1.3, 1.6, -0.6),
}
# Everywhere the promise; where a law in whole powers of mu or of sqrt(mu) takes the rules exact
# for the kink's logarithm (0.3 <= u/rho < 1, rho <= 2), the aim (a little wider for the cubic
# term, whose pole at t = +-i is of second order). Slopes where the limb's logarithm does not dominate them,
# relative to the larger of u dA/du and rho dA/drho (dA/du vanishes at the centre); nearer the limb
# than 1e-4 rho, the rounding of u / rho alone moves them by more than the aim.
AIM = {"Linear": 1e-13, "Quadratic": 1e-13, "Power2_cubic": 5e-13, "SquareRoot": 1e-13,
       "Nonlinear": 1e-13, "Nonlinear_cancelling": 1e-13}


def tolerances(name, u, rho):
    z = u / rho
    if name not in AIM or not (0.3 <= z < 1 and rho <= 2):
        return 1e-10, 1e-9
    return AIM[name], (1e-11 if z < 1 - 1e-4 else 1e-9)


# Where the rules change inside (the lens at the kink's t = 0.15 starts the graded panels), the
# centre, and the limb approached from both sides.
T_GRADED = 0.15
EDGES = [0.0, 1e-15, 0.3, 0.7, (1 - T_GRADED**2) / (1 + T_GRADED**2), 1 - 1e-9, 1 - 1e-15, 1.0,
         1 + 1e-15, 1.05 * (1 - 1e-16)]


def points(name):
    rng = np.random.default_rng(sorted(LAWS).index(name) + 100)
    zs = [*rng.uniform(0.0, 1.05, 3), *rng.uniform(0.3, 1.0, 4), *(1 - 10 ** rng.uniform(-12, -1, 2)), *EDGES]
    rhos = 10 ** rng.uniform(-6, 3, len(zs))
    # Half the points at the sizes of most sources, where the aim holds.
    rhos[::2] = 10 ** rng.uniform(-6, math.log10(2), len(rhos[::2]))
    return [(z * rho, rho) for z, rho in zip(zs, rhos)]


@pytest.mark.parametrize("name", LAWS)
def test_values_and_slopes_against_mpmath(name):
    law = name.split("_")[0]
    params = LAWS[name]
    profile = getattr(fspl, law)(*params)
    exact = reference.Profile(law, list(params))
    worst = [0.0, 0.0]
    with mp.workdps(20):
        for u, rho in points(name):
            a, da_du, da_drho = fspl.limb_darkened(u, rho, profile, gradient=True)
            where = f"u/rho = {u / rho!r}, rho = {rho!r}"
            value_tolerance, slope_tolerance = tolerances(name, u, rho)
            error = abs(float(a) / float(reference.value_by_parts(u, rho, exact)) - 1)
            worst[0] = max(worst[0], error)
            assert error <= value_tolerance, f"{where}: A off by {error:.1e}"
            if abs(u - rho) < 1e-6 * rho:
                continue
            ref_du, ref_drho = (float(v) for v in reference.derivatives_under_integral(u, rho, exact))
            scale = math.hypot(ref_du * u, ref_drho * rho)
            for ours, ref, what in ((da_du, ref_du, "dA/du"), (da_drho, ref_drho, "dA/drho")):
                error = abs(float(ours) - ref) * (rho if what == "dA/drho" else u) / scale if scale else 0
                worst[1] = max(worst[1], error)
                assert error <= slope_tolerance, f"{where}: {what} off by {error:.1e}"
    print(f"{name}: worst value {worst[0]:.1e}, slopes {worst[1]:.1e}")
