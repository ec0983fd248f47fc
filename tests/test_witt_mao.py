"""The uniform-disk magnification `witt_mao_magnification`."""

import math
import random

import mpmath
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumagnis
import lumagnis_testing as T
from conftest import run_python
from magnification_reference import disk_average, log_uniform, point_lens, relative_error

PI = 3.141592653589793
HALF_PI = 1.5707963267948966
TWO_PI = 6.283185307179586


def witt_mao(l, re, rstar):
    return lumagnis.witt_mao_magnification([l], re, rstar)[0]


def transcribed(l, re, rstar):
    """The closed form written out step by step in double precision, operation for operation."""
    rho = rstar / re
    rho2 = rho * rho
    u = l * rho
    delta = u - rho
    if abs(delta) < 1e-5 * abs(rho) or delta == 0.0:
        w = (1 + rho2) / rho2
        q = (-1 + rho2) / (1 + rho2)
        return ((math.asin(q) + HALF_PI) * w + 2 / rho) / PI
    s = math.sqrt(delta * delta + 4)
    n = (4 * rho * u) / ((rho + u) * (rho + u))
    t = math.sqrt(n * 4) / s
    m = t * t
    e, k, p = T.ellipe(m), T.ellipk(m), T.ellippi(n, m)
    term_e = e * ((s * (rho + u)) / (rho2 + rho2))
    term_k = ((delta * ((u * u - rho2) * 0.5 + 4)) / (rho2 * s)) * k
    term_p = p * (((1 + rho2) * (delta * delta + delta * delta)) / ((rho2 * (rho + u)) * s))
    total = term_p + (term_e - term_k)
    return (total - PI) / TWO_PI + (total + PI) / TWO_PI


def limb_value(rho):
    """The exact magnification with the lens on the limb, from the high-precision average."""
    return disk_average(1, 1, rho)


# ---------------------------------------------------------------------------------------------
# Stated values and closed forms


@pytest.mark.parametrize(
    "l, re, rstar, expected, rel",
    [
        (0.0, 1.0, 0.5, 4.1231056256, 1e-10),  # sqrt(rho^2 + 4) / rho
        (3.0, 1.0, 0.5, 1.1436850376, 1e-10),
        (1.000011, 1.0, 1.0, 1.63654, 1e-5),  # just outside the limb band
    ],
)
def test_stated_values(l, re, rstar, expected, rel):
    assert witt_mao(l, re, rstar) == pytest.approx(expected, rel=rel)


@pytest.mark.parametrize("l", [1.0, 1.000009, 0.999991])
def test_limb_band_at_unit_radius_is_the_limb_closed_form(l):
    # q = 0, w = 2: ((0 + pi/2) 2 + 2) / pi, exactly this double.
    assert witt_mao(l, 1.0, 1.0) == 1.6366197723675813


def test_source_of_zero_radius_is_nan_not_a_failure():
    # The band is empty, but every separation is then on the limb (delta = 0 exactly), whose
    # closed form gives NaN; the general form would feed NaN into the elliptic integrals.
    result = lumagnis.witt_mao_magnification([1.0, 0.0, 2.0], 1.0, 0.0)
    assert len(result) == 3 and all(math.isnan(x) for x in result)


@pytest.mark.parametrize("rstar", [1e-4, 1e-2, 0.5, 1.0, 3.0, 1e2, 1e4])
def test_lens_at_centre(rstar):
    # Every point of the disk lies within rho of the lens: sqrt(rho^2 + 4) / rho.
    with mpmath.workdps(30):
        expected = mpmath.sqrt(mpmath.mpf(rstar) ** 2 + 4) / rstar
    assert relative_error(witt_mao(0.0, 1.0, rstar), expected) < 1e-15


@pytest.mark.parametrize("rho", [1e-4, 1e-2, 1.0, 1e2, 1e4])
def test_limb_closed_form_is_the_average_at_the_limb(rho):
    # asin(q) + pi/2 cancels as q -> -1 (small sources) and asin is ill-conditioned as
    # q -> 1 (large ones): about 4e-10 at rho = 1e-4 and 5e-14 at rho = 1e4.
    tolerance = 2e-15 + 1e-17 * rho + 1e-17 / rho**2
    assert relative_error(witt_mao(1.0, 1.0, rho), limb_value(rho)) < tolerance


# ---------------------------------------------------------------------------------------------
# Agreement with the high-precision disk average


def random_points(seed, count):
    rng = random.Random(seed)
    points = []
    while len(points) < count:
        l = log_uniform(rng, 1e-3, 1e3)
        if abs(l - 1) > 1e-3:
            points.append((l, log_uniform(rng, 1e-4, 1e4)))
    return points


def envelope(l):
    """Attainable accuracy: the closed form cancels near the limb, where n -> 1, and far out,
    where its three terms grow like u^2 and nearly cancel."""
    return 1e-13 + 1e-15 / (l - 1) ** 2 + 2e-16 * l * l


@pytest.mark.parametrize("l, rho", random_points(20240611, 40))
def test_agrees_with_disk_average(l, rho):
    assert relative_error(witt_mao(l, 1.0, rho), disk_average(l, 1.0, rho)) < envelope(l)


@pytest.mark.parametrize("rho", [1e-4, 1e-2, 1.0, 1e2, 1e4])
@pytest.mark.parametrize("offset", [-3e-5, -1.1e-5, -9e-6, -1e-7, 1e-9, 5e-6, 1.1e-5, 2e-5])
def test_near_the_limb(rho, offset):
    # Inside the band the limb value stands in for the whole band; just outside it the
    # general form is still cancelling. Both stay within 7e-5 of the true average.
    l = 1.0 + offset
    assert relative_error(witt_mao(l, 1.0, rho), disk_average(l, 1.0, rho)) < 7e-5


@pytest.mark.parametrize("rho", [1e-3, 1e-1, 1.0, 1e2])
@pytest.mark.parametrize("side", [-1.0, 1.0])
def test_limb_band_scales_with_the_source(rho, side):
    limb = witt_mao(1.0, 1.0, rho)
    assert witt_mao(1.0 + side * 0.9e-5, 1.0, rho) == limb
    outside = witt_mao(1.0 + side * 1.1e-5, 1.0, rho)
    assert outside != limb
    assert outside == pytest.approx(limb, rel=1e-4)


def fine_grid_near_limb():
    grid = set()
    for lo, hi, count in [(0.9, 1.1, 20001), (0.99, 1.01, 20001), (0.999, 1.001, 20001)]:
        grid.update(lo + (hi - lo) * i / (count - 1) for i in range(count))
    for i in range(4001):
        e = 10.0 ** (-12 + 9 * i / 4000)
        grid.update((1 + e, 1 - e))
    grid.add(1.0)
    return sorted(grid)


@pytest.mark.parametrize("rho", [1e-4, 1e-3, 1.0, 1e2, 1e4])
def test_no_step_across_the_limb(rho):
    # A band of fixed width in Einstein radii covers most of a small source (a jump of
    # percents where it ends) and none of a large one (the general form then cancels
    # catastrophically or fails). The relative band leaves only its own edge jump.
    grid = fine_grid_near_limb()
    values = lumagnis.witt_mao_magnification(grid, 1.0, rho)
    jumps = [abs(b - a) / min(a, b) for a, b in zip(values, values[1:])]
    assert max(jumps) < 1e-4


@given(
    l=st.floats(10.0, 1e3),
    rho=st.floats(1e-3, 1e3),
)
@settings(max_examples=200, deadline=None)
def test_far_field_tends_to_point_lens(l, rho):
    # The disk average exceeds the value at the centre (the magnification is subharmonic
    # away from the lens) by at most about 1 / (8 l^2).
    excess = witt_mao(l, 1.0, rho) / float(point_lens(l * rho)) - 1
    tolerance = 1e-14 + 2e-16 * l * l
    assert -tolerance <= excess <= 0.13 / (l * l) + tolerance


# ---------------------------------------------------------------------------------------------
# The arithmetic, bit for bit


def bit_points():
    rng = random.Random(7)
    points = [(0.0, 1.0, 0.5), (3.0, 1.0, 0.5), (1.000011, 1.0, 1.0), (1.0, 1.0, 1e-3)]
    points += [(0.999995, 1.0, 1e3), (1e4, 1.0, 0.01), (2.0, 3.0, -1.0), (0.5, -1.0, 2.0)]
    for _ in range(40):
        points.append((log_uniform(rng, 1e-3, 1e3), 1.0, log_uniform(rng, 1e-4, 1e4)))
    return points


def test_follows_the_closed_form_bit_for_bit():
    for l, re, rstar in bit_points():
        assert witt_mao(l, re, rstar).hex() == transcribed(l, re, rstar).hex(), (l, re, rstar)


@given(
    l=st.lists(st.floats(0.0, 50.0), max_size=8),
    rho=st.floats(1e-3, 1e3),
    scale=st.integers(-60, 60),
)
@settings(max_examples=100, deadline=None)
def test_only_the_ratio_of_radii_enters(l, rho, scale):
    factor = 2.0**scale
    assert lumagnis.witt_mao_magnification(l, factor, rho * factor) == (
        lumagnis.witt_mao_magnification(l, 1.0, rho)
    )


@given(l=st.lists(st.floats(0.0, 50.0), max_size=10), rho=st.floats(1e-3, 1e3))
@settings(max_examples=100, deadline=None)
def test_elements_are_independent_and_in_order(l, rho):
    whole = lumagnis.witt_mao_magnification(l, 1.0, rho)
    assert [x.hex() for x in whole] == [witt_mao(x, 1.0, rho).hex() for x in l]
    assert lumagnis.witt_mao_magnification(l[::-1], 1.0, rho) == whole[::-1]


# ---------------------------------------------------------------------------------------------
# Failures

FAILING = [
    # A NaN separation reaches the duplication loop of R_J and never meets its stopping test.
    ([math.nan], 1.0, 1.0, "elliprj: Fail to converge"),
    # rho^2 underflows: E and K accept m = 1, Pi refuses it.
    ([1.001], 1.0, 1e-160, "ellippi: m must be less than 1."),
    ([-1.0], 1.0, 1.0, "elliprj: Fail to converge"),
]


@pytest.mark.parametrize("l, re, rstar, message", FAILING)
def test_numeric_failure_raises_with_its_text(l, re, rstar, message):
    with pytest.raises(RuntimeError) as info:
        lumagnis.witt_mao_magnification(l, re, rstar)
    assert info.value.args == (message,)


@pytest.mark.parametrize("position", [0, 1, 3])
def test_one_failing_element_fails_the_whole_call(position):
    l = [0.5, 2.0, 3.0]
    l.insert(position, math.nan)
    with pytest.raises(RuntimeError, match="^elliprj: Fail to converge$"):
        lumagnis.witt_mao_magnification(l, 1.0, 1.0)


def test_failures_write_nothing_to_standard_error():
    process = run_python(
        """
        import lumagnis
        for l, re, rstar in [([0.5, float("nan")], 1.0, 1.0), ([1.001], 1.0, 1e-160)]:
            for f in (lumagnis.witt_mao_magnification, lumagnis.integrated_witt_mao_magnification):
                try:
                    f(l, re, rstar)
                except RuntimeError as e:
                    print(e)
            try:
                lumagnis.integrated_flux_map_witt_mao_magnification(l, re, rstar, [0, 1], [1, 1])
            except RuntimeError as e:
                print(e)
        """
    )
    assert process.returncode == 0
    assert process.stderr == ""
    assert process.stdout.splitlines() == ["elliprj: Fail to converge"] * 3 + [
        "ellippi: m must be less than 1."
    ] * 3
