"""The tanh-sinh quadrature and its node table."""

import math
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import mpmath
import pytest

import lumagnis_testing as T

ROOT = Path(__file__).resolve().parent.parent
TWO_PI = 6.283185307179586


def limb_darkening(x):
    return (1.0 - math.sqrt(1.0 - x * x)) * (-0.6) + 1.0


# ---------------------------------------------------------------------------------------------
# The node table


def node_parameters(level):
    """(h, [t...]) of a level, as exact rationals, derived from the rule's halving."""
    if level == 0:
        return Fraction(1), [Fraction(1), Fraction(2), Fraction(3)]
    h = Fraction(1, 2**level)
    # The nodes halving adds are the odd multiples of the new step inside (0, 3).
    return h, [t * h for t in range(1, 3 * 2**level) if t % 2 == 1]


def exact_node(h, t):
    with mpmath.workdps(60):
        tt = mpmath.mpf(t.numerator) / t.denominator
        u = mpmath.pi / 2 * mpmath.sinh(tt)
        weight = mpmath.mpf(h.numerator) / h.denominator * mpmath.pi / 2 * mpmath.cosh(tt)
        return weight / mpmath.cosh(u) ** 2, mpmath.tanh(u)


def is_nearest_double(stored, exact):
    with mpmath.workdps(60):
        distance = abs(mpmath.mpf(stored) - exact)
        return all(
            distance <= abs(mpmath.mpf(math.nextafter(stored, side)) - exact)
            for side in (-math.inf, math.inf)
        )


def test_node_counts_and_order():
    nodes = T.tanh_sinh_nodes()
    assert [len(level) for level in nodes] == [3, 3, 6, 12, 24, 48, 96]
    for level in nodes:
        weights = [w for w, _ in level]
        abscissae = [x for _, x in level]
        # Increasing t: abscissae rise towards 1 and weights fall.
        assert abscissae == sorted(set(abscissae))
        assert weights == sorted(set(weights), reverse=True)
        assert all(0.0 < x < 1.0 and w > 0.0 for w, x in level)
    # Every node stays about 4.3e-14 of the half-width away from the ends.
    assert 1.0 - max(x for level in nodes for _, x in level) == pytest.approx(4.3e-14, rel=0.01)


@pytest.mark.parametrize(
    "level, index, weight, abscissa",
    [
        (0, 0, 0.23002239451478868, 0.9513679640727469),  # t = 1
        (0, 1, 0.00026620051375271693, 0.9999774771924616),  # t = 2
        (0, 2, 1.3581784274539091e-12, 0.999999999999957),  # t = 3
        (1, 0, 0.4829882897061506, 0.6742714922484359),  # t = 0.5
        (1, 2, 1.071560227847152e-07, 0.9999999888756649),  # t = 2.5
        (2, 0, 0.3474036898118141, 0.3772097381640342),  # t = 0.25
        (3, 0, 0.19041046482933816, 0.19435700332493544),  # t = 0.125
        (6, 0, 0.024531906707493643, 0.02453976357464916),  # t = 1/64
        (6, 95, 3.411862828005251e-14, 0.9999999999999298),  # t = 191/64
    ],
)
def test_node_sample_rows(level, index, weight, abscissa):
    assert T.tanh_sinh_nodes()[level][index] == (weight, abscissa)


def test_every_node_is_correctly_rounded():
    nodes = T.tanh_sinh_nodes()
    wrong = []
    for level, stored in enumerate(nodes):
        h, ts = node_parameters(level)
        assert len(ts) == len(stored)
        for t, (weight, abscissa) in zip(ts, stored):
            exact_weight, exact_abscissa = exact_node(h, t)
            if not is_nearest_double(weight, exact_weight):
                wrong.append((level, str(t), "weight", weight))
            if not is_nearest_double(abscissa, exact_abscissa):
                wrong.append((level, str(t), "abscissa", abscissa))
    assert wrong == []


def test_generated_header_is_current():
    script = ROOT / "tools" / "gen_tanh_sinh_nodes.py"
    run = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


# ---------------------------------------------------------------------------------------------
# Integration: the stated values of the rule on [0, 1] at target 1e-16


@pytest.mark.parametrize(
    "f, estimate, abs_error, count",
    [
        pytest.param(lambda x: 0.0, 0.0, 0.0, 25, id="zero"),
        pytest.param(lambda x: math.nan, 0.0, 0.0, 25, id="nan"),
        pytest.param(lambda x: math.inf, 0.0, 0.0, 25, id="inf"),
        pytest.param(lambda x: -math.inf, 0.0, 0.0, 25, id="-inf"),
        pytest.param(lambda x: 1.0, 0.9999999999999669, 8.2e-15, 385, id="one"),
        pytest.param(lambda x: TWO_PI * x, 3.1415926535896883, None, 385, id="2pi x"),
        pytest.param(
            lambda x: (TWO_PI * x) * limb_darkening(x),
            2.5132741228717936,
            None,
            385,
            id="limb-darkened flux",
        ),
        # The flux of a constant profile of 2: twice the quadrature of 2 pi r.
        pytest.param(lambda x: (TWO_PI * x) * 2.0, 6.283185307179377, None, 385, id="flux of 2"),
        pytest.param(
            lambda x: 1.0 / math.sqrt(x), 1.9999997416581117, 3.2e-8, 385, id="1/sqrt(x)"
        ),
    ],
)
def test_stated_values(f, estimate, abs_error, count):
    result = T.tanh_sinh_integrate(f, 0.0, 1.0, 1e-16)
    assert result[0] == estimate
    assert result[2] == count
    if abs_error is not None:
        assert result[1] == pytest.approx(abs_error, rel=0.03, abs=0.0)


@pytest.mark.parametrize(
    "f, a, b, exact, accuracy",
    [
        pytest.param(math.exp, 0.0, 1.0, mpmath.e - 1, 1e-13, id="exp"),
        pytest.param(math.cos, -1.0, 2.0, mpmath.sin(2) + mpmath.sin(1), 1e-13, id="cos"),
        pytest.param(lambda x: 1 / (1 + x * x), 0.0, 1.0, mpmath.pi / 4, 1e-13, id="lorentz"),
        pytest.param(math.sqrt, 0.0, 1.0, mpmath.mpf(2) / 3, 1e-13, id="sqrt"),
        pytest.param(
            lambda x: x**3 - 2 * x, 2.0, 10.0, mpmath.mpf(10**4 - 2**4) / 4 - (100 - 4),
            1e-13, id="cubic on [2, 10]"
        ),
        # The node range ends 4.3e-14 short of the ends: a log singularity loses more there.
        pytest.param(math.log, 0.0, 1.0, mpmath.mpf(-1), 1e-12, id="log"),
    ],
)
def test_agrees_with_mpmath(f, a, b, exact, accuracy):
    estimate, _, _ = T.tanh_sinh_integrate(f, a, b, 1e-16)
    assert abs(estimate - exact) <= accuracy * max(1.0, abs(exact))


@pytest.mark.parametrize("tolerance", [1e-3, 1e-6, 1e-10])
@pytest.mark.parametrize(
    "f, exact",
    [(math.exp, mpmath.e - 1), (lambda x: 1 / (1 + x * x), mpmath.pi / 4)],
    ids=["exp", "lorentz"],
)
def test_loose_target_stops_early_and_holds(f, exact, tolerance):
    estimate, abs_error, count = T.tanh_sinh_integrate(f, 0.0, 1.0, tolerance)
    assert count < 385
    assert 0.0 <= abs_error < tolerance
    assert abs(estimate - exact) < tolerance


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan], ids=["inf", "-inf", "nan"])
@pytest.mark.parametrize(
    "where",
    [
        pytest.param(lambda x: x == 0.5, id="midpoint"),
        # Right-hand values only: a guard on the pair's sum would also drop the left values.
        pytest.param(lambda x: x > 0.5, id="right half"),
        pytest.param(lambda x: x < 0.5, id="left half"),
    ],
)
def test_non_finite_values_count_as_zero_one_by_one(bad, where):
    def with_bad(x):
        return bad if where(x) else math.exp(x)

    def with_zero(x):
        return 0.0 if where(x) else math.exp(x)

    assert T.tanh_sinh_integrate(with_bad, 0.0, 1.0, 1e-16) == T.tanh_sinh_integrate(
        with_zero, 0.0, 1.0, 1e-16
    )


@pytest.mark.parametrize("a, b", [(0.0, 1.0), (-2.0, 6.0)])
def test_evaluation_order(a, b):
    seen = []
    T.tanh_sinh_integrate(lambda x: seen.append(x) or 1.0, a, b, 1e-16)
    s, m = 0.5 * (b - a), 0.5 * (a + b)
    expected = [m]
    for level in T.tanh_sinh_nodes():
        for _, x in level:
            expected += [m + s * x, m - s * x]
    assert seen == expected


def test_integrand_exception_is_raised_after_integration():
    calls = []

    def f(x):
        calls.append(x)
        if len(calls) in (3, 5):
            raise ValueError(f"call {len(calls)}")
        return 1.0

    with pytest.raises(ValueError, match="^call 3$"):
        T.tanh_sinh_integrate(f, 0.0, 1.0, 1e-16)
    assert len(calls) == 385


# ---------------------------------------------------------------------------------------------
# The stopping rule and the pair sum, on integrands built so that each change is known by hand


def centre_only(value):
    return lambda x: value if x == 0.5 else 0.0


@pytest.mark.parametrize("rate", [1.85, 1.95, 2.05, 2.15])
@pytest.mark.parametrize("stops", [True, False], ids=["just above", "equal"])
def test_stopping_rule(rate, stops):
    # Only the centre is non-zero, so the sum starts at pi * v and every level merely halves
    # it: the changes are d1 = pi v / 4 after level 1 and d2 = d1 / 2 after level 2, the first
    # tested level, whose rate is ln d2 / ln d1. Choosing d1 = 2^(-1/(rate - 1)) sets it.
    v = 4.0 / math.pi * 2.0 ** (-1.0 / (rate - 1.0))
    d2 = (math.pi * v) * 0.125
    assert math.log(d2) / math.log(2.0 * d2) == pytest.approx(rate, abs=1e-12)
    error = d2 * d2 if 1.9 < rate < 2.1 else d2
    # The target on [0, 1] is 0.25 * tolerance / 0.5: exactly `error` for tolerance 2 * error,
    # and the test that stops is strict.
    tolerance = math.nextafter(2.0 * error, math.inf) if stops else 2.0 * error
    estimate, abs_error, count = T.tanh_sinh_integrate(centre_only(v), 0.0, 1.0, tolerance)
    if stops:
        assert (estimate, abs_error, count) == (d2 * 0.5, error * 0.5, 25)
    else:
        assert count > 25


def test_rate_compares_with_the_level_before():
    # Centre only again, now with d2 = 1/2: level 2 (rate ln(1/2) / ln 1, huge) does not stop;
    # level 3 halves to d3 = 1/4 at rate 2 against d2, so its error is d3^2.
    v = 4.0 / math.pi
    d3 = (math.pi * v) * 0.0625
    tolerance = math.nextafter(2.0 * d3 * d3, math.inf)
    result = T.tanh_sinh_integrate(centre_only(v), 0.0, 1.0, tolerance)
    assert result == (d3 * 0.5, d3 * d3 * 0.5, 49)


def test_nan_error_never_stops():
    # 1e308 overflows the pair sums: from level 0 on the change is inf - inf, a NaN.
    estimate, abs_error, count = T.tanh_sinh_integrate(lambda x: 1e308, 0.0, 1.0, 1e300)
    assert count == 385
    assert math.isnan(abs_error)
    assert estimate == math.inf


@pytest.mark.parametrize("right, left", [(1.0, 0.001), (1.5, 0.7), (2.5, 0.3)])
def test_pair_sum_is_weight_times_value_sum(right, left):
    # Non-zero only at the first node of level 0 (weight 0.23002239451478868, x1): its pair sum
    # w * (right + left) is halved by each of the six later levels and scaled by s = 1/2.
    w, x1 = T.tanh_sinh_nodes()[0][0]
    assert w * (right + left) != w * right + w * left

    def f(x):
        return right if x == 0.5 + 0.5 * x1 else left if x == 0.5 - 0.5 * x1 else 0.0

    estimate, _, count = T.tanh_sinh_integrate(f, 0.0, 1.0, 1e-16)
    assert (estimate, count) == ((w * (right + left)) / 128.0, 385)
