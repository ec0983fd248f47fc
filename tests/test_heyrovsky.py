"""The ring magnification `heyrovsky_magnification`."""

import math
import random

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import lumagnis
import lumagnis_testing as T
from conftest import run_python
from magnification_reference import (
    log_uniform,
    point_lens,
    relative_error,
    ring_average,
    ring_average_elliptic,
)

TWO_PI = 6.283185307179586
H = lumagnis.heyrovsky_magnification


def in_band(delta, h, mended=True):
    """Whether the expansion about the ring is taken. Unmended, it was also taken where both
    radii are tiny and the gap is not small beside them."""
    if not mended:
        return abs(delta) < 1e-6
    return abs(delta) < 1e-6 and not (delta != 0.0 and h > 0.0 and h * h > 0.0 and abs(delta) >= 1e-4 * h)


def transcribed(l, r, re, rstar, mended=True):
    """The ring kernel written out step by step in double precision, operation for operation."""
    kappa = re / rstar
    kappa2 = kappa * kappa
    delta = l - r
    if in_band(delta, l + r, mended):
        d = abs(delta)
        l2 = l * l
        try:
            big_l = math.log(((8 * kappa) * l) / (math.sqrt(l2 + kappa2) * d))
        except ZeroDivisionError:
            big_l = math.inf
        b = (1 - d / (l + l)) * ((kappa + kappa) / l)
        big_d = (((l2 + l2) + kappa2) * kappa) / ((l2 + kappa2) * l2)
        return ((big_l * b + math.atan(l / kappa) * 4) + big_d * d) / TWO_PI
    g = kappa2 * 4 + delta * delta
    h = l + r
    k = math.sqrt((l * r) / g) * ((kappa * 4) / h)
    m = k * k
    big_k = T.ellipk(m)
    n = ((l * 4) * r) / (h * h)
    big_pi = T.ellippi(n, m)
    scale = 4 / (h * math.sqrt(g))
    return (((kappa2 + kappa2) * big_k + (delta * delta) * big_pi) * scale) / TWO_PI


# ---------------------------------------------------------------------------------------------
# Stated values and closed forms


@pytest.mark.parametrize(
    "l, r, re, rstar, expected, rel",
    [
        (1.0, 0.0, 1.0, 1.0, 3 / math.sqrt(5), 1e-15),
        (2.0, 0.5, 1.0, 1.0, 1.0679400618, 1e-10),
        (3.0, 1.0, 2.0, 1.0, 1.1545542152, 1e-10),
        (1.0, 0.9999995, 1.0, 1.0, 5.66984, 1e-6),
        # Inside the ring, as close as outside: the same size, not zero.
        (1.0, 1.0000005, 1.0, 1.0, 5.66984, 1e-6),
    ],
)
def test_stated_values(l, r, re, rstar, expected, rel):
    assert H(l, r, re, rstar) == pytest.approx(expected, rel=rel)


@pytest.mark.parametrize("l", [1e-3, 0.5, 1.0, 7.0])
@pytest.mark.parametrize("re", [0.1, 1.0, 10.0])
def test_lens_on_the_ring_is_infinite(l, re):
    assert H(l, l, re, 1.0) == math.inf


@given(l=st.floats(1e-3, 1e3), kappa=st.floats(1e-3, 1e3))
@settings(max_examples=100, deadline=None)
def test_ring_of_radius_zero_is_the_point_source(l, kappa):
    expected = point_lens(l, kappa)
    assert relative_error(H(l, 0.0, kappa, 1.0), expected) < 1e-14


@given(r=st.floats(1e-3, 1e3), kappa=st.floats(1e-3, 1e3))
@settings(max_examples=100, deadline=None)
def test_lens_at_the_centre_sees_the_ring_at_one_distance(r, kappa):
    assert relative_error(H(0.0, r, kappa, 1.0), point_lens(r, kappa)) < 1e-14


@pytest.mark.parametrize("l, r", [(1e-6, 0.0), (0.0, 1e-6)])
def test_delta_of_exactly_the_band_width_takes_the_general_form(l, r):
    # The general form at r = 0 or l = 0 is the point-source value; the expansion about
    # the ring would be far off (it assumes |delta| much smaller than l).
    assert relative_error(H(l, r, 1.0, 1.0), point_lens(1e-6)) < 1e-14


# ---------------------------------------------------------------------------------------------
# Agreement with the high-precision ring average

def envelope(l, r):
    # The elliptic form cancels as the circle nears the lens (n and m tend to 1).
    return 1e-13 + 3e-16 * ((l + r) / (l - r)) ** 2


@pytest.mark.parametrize(
    "l, r, kappa",
    [
        (5e-7, 0.0, 1.0), (0.0, 5e-7, 1.0), (2e-7, 1e-7, 1.0), (1e-8, 4e-8, 0.3),
        (1e-12, 0.0, 5.0), (3e-3, 3e-3 - 9e-7, 0.01), (1e-3, 1e-3 + 5e-7, 1.0),
        (4e-3, 4e-3 + 9.9e-7, 200.0),
    ],
)
def test_tiny_radii_agree_with_ring_average(l, r, kappa):
    # Both radii tiny and the gap not small beside them: the expansion about a ring of finite
    # radius does not apply there, the general form does.
    assert relative_error(H(l, r, kappa, 1.0), ring_average(l, r, kappa, 1.0)) < envelope(l, r)


def test_ring_sum_through_the_disk_centre():
    # At l = 0 each ring sits at one distance from the lens, and the sum over Gauss-Legendre
    # rings of 2 x A(x) (smooth) is the uniform-disk value sqrt(rho^2 + 4) / rho; the
    # innermost rings lie within the band's width of the lens.
    import numpy

    nodes, weights = numpy.polynomial.legendre.leggauss(2048)
    x = (nodes + 1) / 2
    bf = list(weights * x)  # 2 x w / 2
    (value,) = lumagnis.discrete_flux_map_heyrovsky_magnification([0.0], 1.0, 1.0, list(x), bf)
    assert abs(value / math.sqrt(5) - 1) < 1e-13


@settings(max_examples=300, deadline=None)
@given(
    h=st.floats(1e-2, 1e3),
    gap=st.one_of(st.floats(-2e-6, 2e-6), st.floats(-10.0, 10.0)),
    kappa=st.floats(1e-3, 1e3),
)
def test_nothing_changes_where_l_plus_r_is_at_least_1e_2(h, gap, kappa):
    l = h / 2 + gap / 2
    r = l - gap
    assume(l + r >= 1e-2 and l >= 0.0 and r >= 0.0)
    assert in_band(l - r, l + r) == in_band(l - r, l + r, mended=False)
    try:
        unmended = transcribed(l, r, kappa, 1.0, mended=False).hex()
    except RuntimeError:
        return
    assert H(l, r, kappa, 1.0).hex() == unmended
    paths = [T.portable_ring_values] + ([T.vector_ring_values] if T.vectorised() else [])
    for path in paths:
        assert path([r, r, r, r, r], l, kappa, 1.0)[4].hex() == unmended



def random_points(seed, count):
    rng = random.Random(seed)
    points = []
    for _ in range(count):
        l = log_uniform(rng, 1e-3, 1e2)
        r = rng.uniform(0.0, 1.0) * rng.choice([1.0, 3.0])
        points.append((l, r, log_uniform(rng, 1e-3, 1e3)))
    return points


@pytest.mark.parametrize("l, r, kappa", random_points(20240612, 30))
def test_agrees_with_ring_average(l, r, kappa):
    assert relative_error(H(l, r, kappa, 1.0), ring_average(l, r, kappa, 1.0)) < envelope(l, r)


@pytest.mark.parametrize(
    "l, r, kappa", random_points(1, 4) + [(1.0, 1.0 - 1e-7, 1.0), (0.5, 0.5 + 1e-6, 0.3)]
)
def test_elliptic_reference_is_the_ring_average(l, r, kappa):
    # The faster reference, used near the ring and by the source-integration tests.
    reference = ring_average(l, r, kappa, 1.0)
    assert relative_error(ring_average_elliptic(l, r, kappa, 1.0), reference) < 1e-16


@pytest.mark.parametrize("l, kappa", [(1.0, 1.0), (0.5, 0.3), (2.0, 5.0), (3.0, 0.2), (0.5, 100.0)])
@pytest.mark.parametrize("offset", [1e-7, 5e-7, 9.9e-7])
def test_near_ring_expansion(l, kappa, offset):
    inside = l + offset  # the lens inside the circle, delta < 0
    outside = l - offset
    # The expansion is that of the lens inside the circle to second order; on the outside
    # its linear terms have the other sign, which leaves a first-order error.
    reference = ring_average_elliptic(l, inside, kappa, 1.0)
    assert relative_error(H(l, inside, kappa, 1.0), reference) < 1e-11
    reference = ring_average_elliptic(l, outside, kappa, 1.0)
    assert relative_error(H(l, outside, kappa, 1.0), reference) < 3e-6


@pytest.mark.parametrize("l", [1.0, 0.5, 3.0, 0.75])
@pytest.mark.parametrize("d", [2.0**-21, 2.0**-30, 2.0**-45])
@pytest.mark.parametrize("re", [0.01, 1.0, 100.0])
def test_near_ring_value_is_its_mirror(l, d, re):
    # d and both differences are exact, so the two rings lie at exactly +-d from the lens.
    assert l - (l + d) == -(l - (l - d))
    inside = H(l, l + d, re, 1.0)
    assert inside > 0.0
    assert inside.hex() == H(l, l - d, re, 1.0).hex()


@given(
    l=st.floats(1e-3, 1e3),
    r=st.floats(0.0, 1.0),
    kappa=st.floats(1e-3, 1e3),
)
@settings(max_examples=200, deadline=None)
def test_far_field_tends_to_point_lens(l, r, kappa):
    assume(l > 10.0 * max(r, 1e-300))
    # The ring average exceeds the value at the centre by at most about r^2 / (4 l^2).
    excess = H(l, r, kappa, 1.0) / float(point_lens(l, kappa)) - 1
    ratio = r / l
    assert -1e-13 <= excess <= 0.26 * ratio * ratio + 1e-13


# ---------------------------------------------------------------------------------------------
# The arithmetic, bit for bit


def bit_points():
    rng = random.Random(11)
    points = [(1.0, 0.0, 1.0, 1.0), (2.0, 0.5, 1.0, 1.0), (3.0, 1.0, 2.0, 1.0)]
    points += [(1.0, 0.9999995, 1.0, 1.0), (1.0, 1.0000005, 1.0, 1.0), (0.3, 0.3 + 1e-9, 7.0, 2.0)]
    points += [(1e-6, 0.0, 1.0, 1.0), (5.0, 5.0 + 1e-6, 1.0, 3.0), (2.0, 0.5, -1.0, 1.0)]
    # Tiny radii on either side of the band's edge, and a square that underflows (in the band).
    points += [(5e-7, 0.0, 1.0, 1.0), (2e-7, 1e-7, 1.0, 1.0), (1e-3, 1e-3 + 1e-7, 1.0, 1.0)]
    points += [(1e-3, 1e-3 + 3e-7, 1.0, 1.0), (1e-160, 0.0, 1.0, 1.0), (3e-7, 3e-7, 2.0, 1.0)]
    for _ in range(40):
        l = log_uniform(rng, 1e-3, 1e2)
        points.append((l, rng.uniform(0.0, 2.0), log_uniform(rng, 1e-3, 1e3), 1.0))
    return points


def test_follows_the_formulas_bit_for_bit():
    for args in bit_points():
        assert H(*args).hex() == transcribed(*args).hex(), args


@given(
    l=st.floats(0.0, 50.0),
    r=st.floats(0.0, 2.0),
    kappa=st.floats(1e-3, 1e3),
    scale=st.integers(-60, 60),
)
@settings(max_examples=200, deadline=None)
def test_only_the_ratio_of_radii_enters(l, r, kappa, scale):
    factor = 2.0**scale

    def outcome(re, rstar):
        try:
            return H(l, r, re, rstar).hex()
        except RuntimeError as e:
            return str(e)

    assert outcome(kappa * factor, factor) == outcome(kappa, 1.0)


# ---------------------------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize(
    "args, message",
    [
        ((2.0, 0.5, math.inf, 1.0), "elliprj: Fail to converge"),
        ((math.nan, 0.5, 1.0, 1.0), "elliprj: Fail to converge"),
        # Far from the centre a ring 2e-6 from the lens rounds n = 4lr/(l+r)^2 to 1 or above,
        # and with a large Einstein radius m as well; K is evaluated first.
        ((100.0, 99.999998, 1.0, 1.0), "elliprj: p must be non-zero"),
        ((1000.0, 999.999997, 1.0, 1.0), "ellippi: n must be less than 1."),
        ((100.0, 99.999998, 1e3, 1.0), "ellippi: m must be less than 1."),
        ((100.0, 99.999998, 1e8, 1.0), "ellipk: m must be less than 1."),
    ],
)
def test_numeric_failure_raises_with_its_text(args, message):
    with pytest.raises(RuntimeError) as info:
        H(*args)
    assert info.value.args == (message,)


def test_failures_write_nothing_to_standard_error():
    process = run_python(
        """
        import lumagnis
        for args in [(2.0, 0.5, float("inf"), 1.0), (100.0, 99.999998, 1e8, 1.0)]:
            try:
                lumagnis.heyrovsky_magnification(*args)
            except RuntimeError as e:
                print(e)
        try:
            lumagnis.discrete_flux_map_heyrovsky_magnification([1.0, 100.0], 1.0, 1.0,
                                                                [0.5, 99.999998], [1.0, 1.0])
        except RuntimeError as e:
            print(e)
        """
    )
    assert process.returncode == 0
    assert process.stderr == ""
    assert process.stdout.splitlines() == [
        "elliprj: Fail to converge",
        "ellipk: m must be less than 1.",
        "elliprj: p must be non-zero",
    ]
