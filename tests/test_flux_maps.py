"""Flux maps: the discrete ring sum and the two forms integrated over a tabulated profile."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumagnis
import lumagnis_testing as T
from ring_to_disk import STEP, TWO_PI, disk_constant, integrate, ring_kernel

H = lumagnis.heyrovsky_magnification
DISCRETE = lumagnis.discrete_flux_map_heyrovsky_magnification
INTEGRATED_HEYROVSKY = lumagnis.integrated_flux_map_heyrovsky_magnification
INTEGRATED_WITT_MAO = lumagnis.integrated_flux_map_witt_mao_magnification
INTEGRATED = [INTEGRATED_HEYROVSKY, INTEGRATED_WITT_MAO]

radii = st.floats(0.0, 2.0)
# No subnormal weights: scaling those by a power of two would round.
weights = st.floats(-10.0, 10.0).filter(lambda w: w == 0.0 or abs(w) > 1e-200)


def table(min_size=0, max_size=5):
    return st.lists(st.tuples(radii, weights), min_size=min_size, max_size=max_size).map(
        lambda pairs: ([r for r, _ in pairs], [w for _, w in pairs])
    )


def tabulated(bl, bf):
    return lambda r: T.interp(bl, bf, r, 0.0)


def table_flux(bl, bf):
    profile = tabulated(bl, bf)
    return T.tanh_sinh_integrate(lambda r: (TWO_PI * r) * profile(r), 0.0, 1.0, 1e-16)[0]


# ---------------------------------------------------------------------------------------------
# The discrete ring sum


@given(
    l=st.lists(st.floats(0.0, 20.0), max_size=4),
    r=radii,
    kappa=st.floats(1e-2, 1e2),
)
@settings(max_examples=100, deadline=None)
def test_one_ring_of_unit_weight_is_the_ring_kernel(l, r, kappa):
    result = DISCRETE(l, kappa, 1.0, [r], [1.0])
    assert [x.hex() for x in result] == [H(x, r, kappa, 1.0).hex() for x in l]


@given(l=st.lists(st.floats(0.0, 20.0), max_size=3), tab=table(), kappa=st.floats(1e-2, 1e2))
@settings(max_examples=100, deadline=None)
def test_ring_sum_in_table_order(l, tab, kappa):
    bl, bf = tab
    expected = []
    for x in l:
        total = 0.0
        for r, w in zip(bl, bf):
            total = total + H(x, r, kappa, 1.0) * w
        expected.append(total)
    assert [x.hex() for x in DISCRETE(l, kappa, 1.0, bl, bf)] == [x.hex() for x in expected]


@given(
    l=st.lists(st.floats(0.0, 20.0), min_size=1, max_size=3),
    tab=table(min_size=1),
    scale=st.integers(-30, 30),
)
@settings(max_examples=100, deadline=None)
def test_weights_are_used_unchanged(l, tab, scale):
    # No normalisation: scaling every weight scales the result, exactly for a power of two.
    bl, bf = tab
    factor = 2.0**scale
    scaled = DISCRETE(l, 1.0, 0.3, bl, [w * factor for w in bf])
    expected = [x * factor for x in DISCRETE(l, 1.0, 0.3, bl, bf)]
    assert [x.hex() for x in scaled] == [x.hex() for x in expected]


def test_empty_table_gives_zero():
    assert DISCRETE([0.5, 2.0, math.nan], 1.0, 1.0, [], []) == [0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "l, message",
    [
        # j then i: the first separation's rings are all evaluated before the second's.
        ([1000.0, 100.0], "ellippi: n must be less than 1."),
        ([100.0, 1000.0], "elliprj: p must be non-zero"),
    ],
)
def test_first_failure_in_ring_order_ends_the_call(l, message):
    bl, bf = [99.999998, 999.999997], [1.0, 1.0]
    with pytest.raises(RuntimeError) as info:
        DISCRETE(l, 1.0, 1.0, bl, bf)
    assert info.value.args == (message,)


def test_integrated_ring_form_never_raises():
    # Every kernel evaluation fails here ("elliprj: Fail to converge"); each counts as zero.
    assert INTEGRATED_HEYROVSKY([2.0, 0.5], math.inf, 1.0, [0.0, 1.0], [1.0, 0.4]) == [0.0, 0.0]


# ---------------------------------------------------------------------------------------------
# The integrated forms


@pytest.mark.parametrize("bl, bf", [([], []), ([0.0, 1.0], [0.0, 0.0]), ([0.5], [0.0])])
@pytest.mark.parametrize("function", INTEGRATED)
def test_profile_without_flux_gives_nan(function, bl, bf):
    result = function([0.5, 2.0], 1.0, 1.0, bl, bf)
    assert len(result) == 2 and all(math.isnan(x) for x in result)


@pytest.mark.parametrize("bl", [[1.0, 2.0], [-1.0, 0.0], [-1.0, -0.5, 0.0]])
@pytest.mark.parametrize("function", INTEGRATED)
def test_table_outside_the_source_gives_nan(function, bl):
    # The profile is zero on the open interval (0, 1), where every node lies.
    (value,) = function([2.0], 1.0, 1.0, bl, [1.0] * len(bl))
    assert math.isnan(value)


def test_one_entry_flux():
    assert table_flux([0.7], [2.0]) == 6.283185307179377


@pytest.mark.parametrize("function", INTEGRATED)
@pytest.mark.parametrize("rstar", [0.5, 1.0])
def test_one_entry_table_is_a_constant_profile(function, rstar):
    l = [0.0, 0.5, 2.0, 5.0]
    unit = function(l, 1.0, rstar, [0.0], [1.0])
    # Where the single sample lies does not matter.
    assert function(l, 1.0, rstar, [5.0], [1.0]) == unit
    # Its value matters only through the quadrature's absolute target: a scaled integrand
    # can meet the stopping test at another level (with bf = 0.25 the ring form stops after
    # 49 evaluations at l = 5), which moves the result by about 1e-11.
    for bf in (2.0, 0.25):
        assert function(l, 1.0, rstar, [0.7], [bf]) == pytest.approx(unit, rel=5e-11)


@pytest.mark.parametrize("l", [2.0, 5.0, 30.0])
@pytest.mark.parametrize("rstar", [0.01, 1.0, 100.0])
def test_constant_profile_integrates_to_the_limb_ring(l, rstar):
    # The integrand is pi d/dx[x^2 g(x)], so a constant profile gives pi g(1), less what the
    # nodes below the derivative step leave out (pi x0^2 g(x0)), over the flux pi.
    (value,) = INTEGRATED_HEYROVSKY([l], 1.0, rstar, [0.0], [1.0])
    x0 = STEP / (1 - STEP)
    flux = table_flux([0.0], [1.0])
    expected = math.pi * (H(l, 1.0, 1.0, rstar) - x0 * x0 * H(l, x0, 1.0, rstar)) / flux
    assert value == pytest.approx(expected, rel=1e-11)


def limb_darkening_table(samples):
    bl = [i / (samples - 1) for i in range(samples)]
    return bl, [T.limb_darkening_profile(x) for x in bl]


@pytest.mark.parametrize("l", [1.05, 1.5, 2.0, 5.0])
def test_fine_table_of_the_built_in_profile(l):
    # The chord lies below the concave profile, most of all in the last segment, where the
    # profile has a square-root slope; the gap shrinks like h^(3/2).
    builtin = lumagnis.integrated_heyrovsky_magnification([l], 1.0, 1.0)[0]
    errors = []
    for samples in (1001, 10001):
        (value,) = INTEGRATED_HEYROVSKY([l], 1.0, 1.0, *limb_darkening_table(samples))
        errors.append(abs(value / builtin - 1))
    assert errors[1] < 1e-6
    assert errors[1] < errors[0] / 10


@pytest.mark.parametrize(
    "bl, bf",
    [
        ([0.0, 1.0], [1.0, 0.4]),
        ([0.063, 0.285, 0.854], [2.949, -1.557, 2.003]),
        ([0.5, 1.0], [1.0, 1.0]),
        ([0.7], [2.0]),
        ([0.3], [0.25]),
    ],
)
@pytest.mark.parametrize("rstar", [0.5, 1.0])
def test_integrated_forms_follow_the_procedure_bit_for_bit(bl, bf, rstar):
    l = [0.0, 0.5, 0.837, 1.0, 3.0, math.nan]
    profile = tabulated(bl, bf)
    flux = table_flux(bl, bf)
    expected = [integrate(ring_kernel(x, 1.0, rstar), profile, flux) for x in l]
    result = INTEGRATED_HEYROVSKY(l, 1.0, rstar, bl, bf)
    assert [x.hex() for x in result] == [x.hex() for x in expected]

    disk = lumagnis.witt_mao_magnification(l[:-1], 1.0, rstar)
    expected = [integrate(disk_constant(m), profile, flux) for m in disk]
    result = INTEGRATED_WITT_MAO(l[:-1], 1.0, rstar, bl, bf)
    assert [x.hex() for x in result] == [x.hex() for x in expected]


def test_witt_mao_stated_excess():
    # The disk value is exactly 1 here: sqrt(rho^2 + 4) rounds to rho for rho = 1e9.
    assert lumagnis.witt_mao_magnification([0.0], 1.0, 1e9) == [1.0]
    assert INTEGRATED_WITT_MAO([0.0], 1.0, 1e9, [0.0, 1.0], [1.0, 0.4]) == [1.0000000000088218]


@pytest.mark.parametrize("rstar", [0.01, 0.5, 1.0, 100.0])
def test_witt_mao_against_the_disk_value(rstar):
    l = [0.0, 0.5, 1.0, 1.5, 3.0, 10.0]
    disk = lumagnis.witt_mao_magnification(l, 1.0, rstar)
    # A profile that is not zero near the centre picks up the derivative of the step there.
    for a, b in zip(INTEGRATED_WITT_MAO(l, 1.0, rstar, [0.0, 1.0], [1.0, 0.4]), disk):
        assert 8e-12 < a / b - 1 < 1e-11
    # One that is zero there does not: equal up to rounding.
    for a, b in zip(INTEGRATED_WITT_MAO(l, 1.0, rstar, [0.5, 1.0], [1.0, 1.0]), disk):
        assert a == pytest.approx(b, rel=5e-16, abs=0)


@pytest.mark.parametrize("l", [[math.nan], [2.0, -1.0]])
def test_witt_mao_failure_ends_the_call(l):
    with pytest.raises(RuntimeError) as info:
        INTEGRATED_WITT_MAO(l, 1.0, 1.0, [0.0, 1.0], [1.0, 0.4])
    assert info.value.args == ("elliprj: Fail to converge",)
    assert len(INTEGRATED_HEYROVSKY(l, 1.0, 1.0, [0.0, 1.0], [1.0, 0.4])) == len(l)


@given(
    l=st.lists(st.floats(0.0, 20.0), min_size=1, max_size=2),
    rho=st.floats(1e-2, 1e2),
    scale=st.integers(-40, 40),
    tab=table(min_size=1, max_size=3),
)
@settings(max_examples=20, deadline=None)
def test_only_the_ratio_of_radii_enters(l, rho, scale, tab):
    factor = 2.0**scale
    bl, bf = sorted(tab[0]), tab[1]
    for function in [DISCRETE, INTEGRATED_HEYROVSKY, INTEGRATED_WITT_MAO]:
        scaled = function(l, factor, rho * factor, bl, bf)
        plain = function(l, 1.0, rho, bl, bf)
        assert [x.hex() for x in scaled] == [x.hex() for x in plain]
