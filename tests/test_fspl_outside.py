"""A lens outside a limb-darkened source, 1 < u/rho < 10: every law against an mpmath
integral by parts (tools/gen_fspl_references.py, 20 digits) on seeded random and adversarial
points, and no jump where the number of nodes changes."""

import math
import pathlib
import sys

import numpy as np
import pytest
from mpmath import mp

import lumagnis_fspl as fspl
from test_fspl_invariants import assert_no_jump, evaluate, straddle

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
import gen_fspl_references as reference  # noqa: E402

LAWS = {
    "Linear": (0.6,),
    "Quadratic": (0.4, 0.3),
    "SquareRoot": (0.3, 0.5),
    "Power2": (0.6, 0.6),
    "Power2_steep_limb": (0.6, 0.01),
    "Power2_cubic": (0.7, 3.0),
    "Nonlinear": (0.7, -0.6, 1.1, -0.45),
}

# Where the rules change outside the source, and the ends of the range.
EDGES = [1 + 1e-12, 1 + 1e-6, 1.05, 1.1, 1.2, 1.6, 1.7, 8.0, 10 * (1 - 1e-15)]


def profile_of(name):
    law = name.split("_")[0]
    return law, LAWS[name], getattr(fspl, law)(*LAWS[name])


def points(name):
    """(u, rho): z = u/rho log-uniform in z - 1 from 1e-12 to 9 and rho from 1e-6 to 1e3, and the
    edges at random rho (those of the node counts only for the laws in whole powers of mu or of
    its square root, the others' rules having none there)."""
    rng = np.random.default_rng(sorted(LAWS).index(name))
    edges = EDGES if name in ("Linear", "Quadratic", "SquareRoot", "Nonlinear") else EDGES[::3]
    out = [(1 + 10 ** rng.uniform(-12, math.log10(9)), 10 ** rng.uniform(-6, 3)) for _ in range(3)]
    out += [(z, 10 ** rng.uniform(-6, 3)) for z in edges]
    return [(z * rho, rho) for z, rho in out]


@pytest.mark.parametrize("name", LAWS)
def test_values_against_mpmath(name):
    law, params, profile = profile_of(name)
    exact = reference.Profile(law, list(params))
    worst = 0.0
    with mp.workdps(20):
        for u, rho in points(name):
            ours = float(fspl.limb_darkened(u, rho, profile))
            error = abs(ours / float(reference.value_by_parts(u, rho, exact)) - 1)
            worst = max(worst, error)
            assert error <= 2e-13, f"u/rho = {u / rho!r}, rho = {rho!r}: {error:.1e}"
    print(f"{name}: worst {worst:.1e}")


@pytest.mark.parametrize("name", ["Linear", "Quadratic", "SquareRoot", "Nonlinear", "Power2",
                                  "Power2_steep_limb"])
def test_no_jump_where_the_nodes_change(name):
    """Nor in the derivatives in Power2's coefficients, whose exponent's rides on the rule in mu
    from u/rho = 1.05 out (where they are not mostly rounding, rho below 1e3)."""
    profile = profile_of(name)[2]
    for rho in (1e-6, 0.5, 2.0, 1e3):
        for z in EDGES[2:-1]:
            u = straddle(z * rho, 2)
            assert_no_jump(evaluate(profile, u, rho), f"{name} rho={rho} u/rho={z}")
            if name.startswith("Power2") and rho < 1e3:
                a, d = fspl.limb_darkened(u, rho, profile, coefficients=True)
                assert_no_jump([a, d[:, 0], d[:, 1]], f"{name} rho={rho} u/rho={z}: d/dc, d/dalpha")
