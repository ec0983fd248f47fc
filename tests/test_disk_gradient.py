"""The uniform disk's derivatives dA/du and dA/dR against a high-precision central difference of
its closed form in E, K and Pi (mpmath, 90 digits): from the rim integrals for large disks, far out
and near the centre, from the closed form's forward-mode derivatives for small disks elsewhere."""

import pathlib
import sys

import pytest
from mpmath import mp, mpf

import lumagnis_testing as T

# The closed form in mpmath, written once, in the tool that prints the whole grid.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from check_disk_gradient import closed_form  # noqa: E402

LIMIT = 1e-9  # the derivatives are needed to 1e-8; this leaves a margin for the rules' variation


def reference_slopes(u, radius):
    """Fourth-order central differences with a step of 1e-25 relative: where a derivative is as
    small as 1e-27 of the value (u = 1000 R = 1e5) the difference spends 50 digits, and the
    closed form's cancellation 2 log10(u / R) more, which leaves 30 of the 90."""

    def difference(f, x):
        h = mpf(10) ** -25 * max(x, 1)
        return (-f(x + 2 * h) + 8 * f(x + h) - 8 * f(x - h) + f(x - 2 * h)) / (12 * h)

    with mp.workdps(90):
        u, radius = mpf(u), mpf(radius)
        du = difference(lambda x: closed_form(x, radius), u) if u > 0 else mpf(0)
        return du, difference(lambda x: closed_form(u, x), radius)


def assert_slopes(values, u, radius):
    for value, reference in zip(values, reference_slopes(u, radius)):
        if reference == 0:
            assert value == 0.0  # dA/du at u = 0, by symmetry
        else:
            assert abs((mpf(value) - reference) / reference) < LIMIT, (value, reference)


# Radius, u / R: the lens at and near the centre (where dA/du tends to 0), inside, near the rim
# on either side (where the rim integrals take their finest panels), outside, and beyond the
# far-field threshold. The closed form's derivatives lose up to 1e-5 at most of the points with
# R >= 5, and 1e-8 at u = 1e-8 R.
@pytest.mark.parametrize(
    "radius, ratio",
    [(2, 0.0), (1e-3, 0.0), (1, 1e-8), (100, 1e-3), (30, 0.3), (5, 0.9), (100, 0.9)]
    + [(100, 1 - 1e-6), (2, 1 + 1e-6), (30, 1 + 2e-7), (10, 1.1), (100, 2.0), (7.3, 3.7)]
    + [(100, 5.0), (10, 5.9), (100, 6.1), (0.1, 30.0), (100, 1000.0)],
)
def test_rim_slopes(radius, ratio):
    u = ratio * radius
    assert_slopes(T.uniform_disk_rim_gradient(u, radius)[1:], u, radius)


# Below R = 2 and up to the far-field threshold, the closed form's own derivatives.
@pytest.mark.parametrize("radius, ratio", [(1e-5, 0.9), (0.1, 1 + 1e-6), (1, 0.3), (1.9, 5.9)])
def test_closed_slopes_of_small_disks(radius, ratio):
    u = ratio * radius
    assert_slopes(T.uniform_disk_closed_gradient(u, radius)[1:], u, radius)
