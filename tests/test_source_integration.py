"""Source integration: `integrated_heyrovsky_magnification`, `integrated_witt_mao_magnification`
and the machinery they share (profile, normaliser, radial derivative)."""

import math

import mpmath
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumagnis
import lumagnis_testing as T
from magnification_reference import limb_darkened_ring_integral
from ring_to_disk import STEP, TWO_PI, disk_constant, integrate, ring_kernel

FLUX = 2.5132741228717936


# ---------------------------------------------------------------------------------------------
# Profile, normaliser and step


@pytest.mark.parametrize("x", [0.0, 0.1, 0.5, 0.9, 0.999, 1.0, -0.5])
def test_limb_darkening_profile(x):
    with mpmath.workdps(30):
        expected = 1 - mpmath.mpf(0.6) * (1 - mpmath.sqrt(1 - mpmath.mpf(x) ** 2))
    # 1 - x*x loses relative precision near the limb; the square root halves that loss.
    assert T.limb_darkening_profile(x) == pytest.approx(float(expected), rel=0, abs=2e-15)


def test_profile_is_one_at_centre_and_four_tenths_at_limb():
    assert T.limb_darkening_profile(0.0) == 1.0
    assert T.limb_darkening_profile(1.0) == 0.4


@pytest.mark.parametrize("x", [1.0000001, -2.0, math.inf, math.nan])
def test_profile_is_nan_beyond_the_limb(x):
    assert math.isnan(T.limb_darkening_profile(x))


def test_normaliser_is_the_quadratures_own_flux_of_the_profile():
    flux = T.limb_darkened_flux()
    assert flux == FLUX
    estimate = T.tanh_sinh_integrate(
        lambda x: (TWO_PI * x) * T.limb_darkening_profile(x), 0.0, 1.0, 1e-16
    )[0]
    assert estimate == flux
    # Not the exact flux 0.8 pi: they part in the 14th digit.
    assert flux != 0.8 * math.pi
    assert flux == pytest.approx(0.8 * math.pi, rel=3e-14)


def test_derivative_step_is_the_cube_root_of_epsilon():
    step = T.derivative_step()
    assert step == STEP
    assert step == math.cbrt(2.0**-52)
    with mpmath.workdps(40):
        exact = mpmath.cbrt(mpmath.mpf(2) ** -52)
        assert abs(step - exact) <= abs(math.nextafter(step, 1.0) - exact)
        assert abs(step - exact) <= abs(math.nextafter(step, 0.0) - exact)


# ---------------------------------------------------------------------------------------------
# The ring kernel integrated over the source


@pytest.mark.parametrize("l, expected", [(2.0, 1.0912299), (5.0, 1.0031083)])
def test_stated_values(l, expected):
    (value,) = lumagnis.integrated_heyrovsky_magnification([l], 1.0, 1.0)
    assert value == pytest.approx(expected, abs=1e-7)


@pytest.mark.parametrize(
    "l, re, rstar", [(1.5, 1.0, 1.0), (2.0, 1.0, 1.0), (3.0, 1.0, 0.5), (5.0, 100.0, 1.0)]
)
def test_agrees_with_the_integral_in_high_precision(l, re, rstar):
    # Nodes below the cutoff have x - h < 0, where the kernel gives no finite value; they
    # count as zero. What remains is the quadrature's own error, about 5e-12 here; it grows
    # as l nears 1 from above (6e-11 at l = 1.2, 2e-10 at 1.1, 5e-9 at 1.02), where the
    # kernel's log singularity at x = l approaches the limb.
    (value,) = lumagnis.integrated_heyrovsky_magnification([l], re, rstar)
    cutoff = STEP / (1 - STEP)
    reference = limb_darkened_ring_integral(l, re, rstar, cutoff, FLUX)
    assert abs(value - reference) / reference < 1.5e-11


# Separations inside the source (the result then depends on where the nodes fall, and can be
# negative near l = 0.837), on a node's neighbourhood, at the centre, and non-finite ones.
HEYROVSKY_SEPARATIONS = [2.0, 1.0, 0.837, 0.5, 0.25, 1e-7, 0.0, -1.0, math.nan, math.inf, 30.0]


@pytest.mark.parametrize("re, rstar", [(1.0, 1.0), (1.0, 0.5), (0.01, 1.0)])
def test_heyrovsky_follows_the_procedure_bit_for_bit(re, rstar):
    result = lumagnis.integrated_heyrovsky_magnification(HEYROVSKY_SEPARATIONS, re, rstar)
    expected = [
        integrate(ring_kernel(l, re, rstar), T.limb_darkening_profile, FLUX)
        for l in HEYROVSKY_SEPARATIONS
    ]
    assert [x.hex() for x in result] == [x.hex() for x in expected]


def test_nan_separation_gives_zero():
    result = lumagnis.integrated_heyrovsky_magnification([2.0, math.nan, 3.0], 1.0, 1.0)
    assert result[1] == 0.0
    assert result[0] == lumagnis.integrated_heyrovsky_magnification([2.0], 1.0, 1.0)[0]


def test_heyrovsky_never_raises():
    # Every kernel evaluation fails here ("elliprj: Fail to converge"); each counts as zero.
    assert lumagnis.integrated_heyrovsky_magnification([2.0, 0.5], math.inf, 1.0) == [0.0, 0.0]


# ---------------------------------------------------------------------------------------------
# The uniform-disk magnification integrated over the source


def test_witt_mao_stated_value():
    (value,) = lumagnis.integrated_witt_mao_magnification([3.0], 1.0, 0.5)
    assert value == pytest.approx(1.1436850376, rel=1e-10)


@pytest.mark.parametrize("rstar", [1e-3, 0.5, 1.0, 30.0])
def test_witt_mao_is_the_disk_value_slightly_raised(rstar):
    # Below the derivative step the step of the kernel at x = 0 enters the derivative: the
    # excess is about (pi eta^2 / 6) / N ~ 7e-12, discretised by the quadrature.
    l = [0.0, 0.5, 1.0, 1.5, 3.0, 10.0]
    disk = lumagnis.witt_mao_magnification(l, 1.0, rstar)
    integrated = lumagnis.integrated_witt_mao_magnification(l, 1.0, rstar)
    for a, b in zip(integrated, disk):
        assert 5e-12 < a / b - 1 < 8e-12


@pytest.mark.parametrize("rstar", [0.5, 1.0])
def test_witt_mao_follows_the_procedure_bit_for_bit(rstar):
    l = [0.0, 0.5, 1.0, 3.0, 1e300]
    disk = lumagnis.witt_mao_magnification(l, 1.0, rstar)
    expected = [integrate(disk_constant(m), T.limb_darkening_profile, FLUX) for m in disk]
    result = lumagnis.integrated_witt_mao_magnification(l, 1.0, rstar)
    assert [x.hex() for x in result] == [x.hex() for x in expected]


def test_nan_disk_value_gives_zero():
    # Far out the closed form turns to NaN (no failure); every node then counts as zero.
    assert math.isnan(lumagnis.witt_mao_magnification([1e300], 1.0, 1.0)[0])
    assert lumagnis.integrated_witt_mao_magnification([1e300], 1.0, 1.0) == [0.0]


@pytest.mark.parametrize(
    "l, rstar, message",
    [
        ([2.0, math.nan, 3.0], 1.0, "elliprj: Fail to converge"),
        ([2.0, 1.001], 1e-160, "ellippi: m must be less than 1."),
    ],
)
def test_one_failing_element_fails_witt_mao_but_not_heyrovsky(l, rstar, message):
    with pytest.raises(RuntimeError) as info:
        lumagnis.integrated_witt_mao_magnification(l, 1.0, rstar)
    assert info.value.args == (message,)
    result = lumagnis.integrated_heyrovsky_magnification(l, 1.0, rstar)
    assert len(result) == len(l)


# ---------------------------------------------------------------------------------------------
# Properties


@given(
    l=st.lists(st.floats(0.0, 20.0), min_size=1, max_size=3),
    rho=st.floats(1e-2, 1e2),
    scale=st.integers(-40, 40),
)
@settings(max_examples=25, deadline=None)
def test_only_the_ratio_of_radii_enters(l, rho, scale):
    factor = 2.0**scale
    for f in (
        lumagnis.integrated_heyrovsky_magnification,
        lumagnis.integrated_witt_mao_magnification,
    ):
        assert f(l, factor, rho * factor) == f(l, 1.0, rho)


@given(l=st.lists(st.floats(0.0, 20.0), max_size=4), rho=st.floats(1e-2, 1e2))
@settings(max_examples=25, deadline=None)
def test_elements_are_independent_and_in_order(l, rho):
    for f in (
        lumagnis.integrated_heyrovsky_magnification,
        lumagnis.integrated_witt_mao_magnification,
    ):
        whole = f(l, 1.0, rho)
        assert whole == [f([x], 1.0, rho)[0] for x in l]
        assert f(l[::-1], 1.0, rho) == whole[::-1]
