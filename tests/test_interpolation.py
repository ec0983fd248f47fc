"""Piecewise-linear interpolation: `interp` and its cached form."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumagnis_testing as T

NAN, INF = math.nan, math.inf


def bits(value):
    return struct.pack("<d", value)


def reference_interp(xs, ys, x, outside_value):
    """The rule written out independently in Python float arithmetic (IEEE doubles too)."""
    n = len(xs)
    if n == 0:
        return 0.0
    if n == 1:
        return ys[0]
    k = 0
    if x > xs[0]:
        j = 1
        while j < n and x > xs[j]:
            j += 1
        k = j - 1
    k = min(k, n - 2)
    dx = xs[k + 1] - xs[k]
    dy = ys[k + 1] - ys[k]
    # Python raises on division by zero where C gives inf or NaN.
    if dx == 0.0:
        slope = NAN if (dy == 0.0 or math.isnan(dy)) else math.copysign(INF, dy) * math.copysign(
            1.0, dx
        )
    else:
        slope = dy / dx
    intercept = ys[k] - slope * xs[k]
    value = slope * x + intercept
    if x < xs[0] or x > xs[-1]:
        return outside_value
    return value


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


EDGE_CASES = [
    # id, xs, ys, x, outside_value, expected
    ("inside", [0.0, 1.0], [1.0, 3.0], 0.5, 0.0, 2.0),
    ("first abscissa", [0.0, 1.0], [1.0, 3.0], 0.0, 0.0, 1.0),
    ("last abscissa", [0.0, 1.0], [1.0, 3.0], 1.0, 0.0, 3.0),
    ("below", [0.0, 1.0], [1.0, 3.0], -0.25, 0.0, 0.0),
    ("above", [0.0, 1.0], [1.0, 3.0], 1.5, 0.0, 0.0),
    ("-inf", [0.0, 1.0], [1.0, 3.0], -INF, -7.0, -7.0),
    ("+inf", [0.0, 1.0], [1.0, 3.0], INF, -7.0, -7.0),
    ("below, outside value", [0.0, 1.0], [1.0, 3.0], -0.25, 9.5, 9.5),
    ("NaN query", [0.0, 1.0], [1.0, 3.0], NAN, 9.5, NAN),
    ("knot takes left segment", [0.0, 0.5, 1.0], [1.0, 1.0, 0.0], 0.5, 0.0, 1.0),
    ("second segment", [0.0, 0.5, 1.0], [1.0, 1.0, 0.0], 0.75, 0.0, 0.5),
    ("NaN query, three", [0.0, 0.5, 1.0], [1.0, 1.0, 0.0], NAN, 0.0, NAN),
    ("one sample, far", [0.3], [2.0], 5.0, 0.0, 2.0),
    ("one sample, NaN query", [0.3], [2.0], NAN, 9.5, 2.0),
    ("one sample, -inf", [0.3], [2.0], -INF, 9.5, 2.0),
    ("one NaN sample", [0.3], [NAN], 0.3, 0.0, NAN),
    ("empty", [], [], 0.5, 9.5, 0.0),
    ("empty, NaN query", [], [], NAN, 9.5, 0.0),
    # A duplicated first abscissa: infinite slope, and 0 * inf in the line gives NaN.
    ("duplicate first abscissa", [0.0, 0.0, 1.0], [1.0, 2.0, 3.0], 0.0, 0.0, NAN),
    # The same duplicate elsewhere is never selected on a sorted table.
    ("duplicate inner abscissa", [0.0, 0.5, 0.5, 1.0], [0.0, 1.0, 5.0, 5.0], 0.5, 0.0, 1.0),
    ("past duplicate", [0.0, 0.5, 0.5, 1.0], [0.0, 1.0, 5.0, 5.0], 0.75, 0.0, 5.0),
    # The scan stops at the first element not exceeded, whatever follows.
    ("unsorted", [0.0, 5.0, 1.0, 4.0], [0.0, 10.0, 1.0, 4.0], 3.0, 0.0, 6.0),
    ("NaN abscissa stops the scan", [0.0, NAN, 2.0], [0.0, 1.0, 2.0], 1.5, 0.0, NAN),
]


@pytest.mark.parametrize(
    "xs, ys, x, outside_value, expected",
    [case[1:] for case in EDGE_CASES],
    ids=[case[0] for case in EDGE_CASES],
)
def test_edge_cases(xs, ys, x, outside_value, expected):
    assert same(T.interp(xs, ys, x, outside_value), expected)
    if outside_value == 0.0:
        assert same(T.piecewise_linear(xs, ys, [x])[0], expected)


@pytest.mark.parametrize("function", ["interp", "piecewise_linear"])
def test_line_form_is_slope_times_x_plus_intercept(function):
    # On this segment the algebraically equal point-slope form rounds differently.
    xs, ys, x = [0.1, 0.2], [0.1, 2.0], 0.125
    slope = (ys[1] - ys[0]) / (xs[1] - xs[0])
    assert ys[0] + slope * (x - xs[0]) == 0.5749999999999998
    expected = slope * x + (ys[0] - slope * xs[0])
    assert expected == 0.575
    if function == "interp":
        assert T.interp(xs, ys, x, 0.0) == expected
    else:
        assert T.piecewise_linear(xs, ys, [x]) == [expected]


@pytest.mark.parametrize("function", ["interp", "piecewise_linear"])
def test_unequal_lengths_are_refused(function):
    args = ([0.0, 1.0], [1.0], 0.5, 0.0) if function == "interp" else ([0.0, 1.0], [1.0], [0.5])
    with pytest.raises(RuntimeError):
        getattr(T, function)(*args)


# ---------------------------------------------------------------------------------------------
# Properties: the cached form against `interp`, and `interp` against the reference


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)


@st.composite
def tables(draw):
    n = draw(st.sampled_from([0, 1, 2, 3, 5, 17]) | st.integers(0, 40))
    kind = draw(st.sampled_from(["ascending", "non-decreasing", "unsorted", "with NaN", "wild"]))
    if kind == "wild":
        xs = draw(st.lists(any_float, min_size=n, max_size=n))
    else:
        xs = draw(st.lists(finite, min_size=n, max_size=n))
    if kind == "ascending":
        xs = sorted(set(xs))
    elif kind == "non-decreasing":
        xs = sorted(xs + xs[: n // 3])
    elif kind == "with NaN" and xs:
        xs = sorted(xs)
        xs[draw(st.integers(0, len(xs) - 1))] = NAN
    ys = draw(st.lists(st.one_of(finite, any_float), min_size=len(xs), max_size=len(xs)))
    return xs, ys


@st.composite
def table_and_queries(draw):
    xs, ys = draw(tables())
    near = []
    for x in xs:
        near += [x, math.nextafter(x, -INF), math.nextafter(x, INF)]
    queries = draw(
        st.lists(st.sampled_from(near) | any_float | st.sampled_from([NAN, INF, -INF, 0.0, -0.0])
                 if near else any_float, max_size=30)
    )
    return xs, ys, queries + near


@settings(max_examples=400, deadline=None)
@given(table_and_queries())
def test_cached_form_equals_interp_bit_for_bit(case):
    xs, ys, queries = case
    cached = T.piecewise_linear(xs, ys, queries)
    direct = [T.interp(xs, ys, x, 0.0) for x in queries]
    assert [bits(v) for v in cached] == [bits(v) for v in direct]


@settings(max_examples=200, deadline=None)
@given(table_and_queries(), st.sampled_from([0.0, -1.5, NAN]))
def test_interp_matches_reference(case, outside_value):
    xs, ys, queries = case
    for x in queries:
        assert same(T.interp(xs, ys, x, outside_value), reference_interp(xs, ys, x, outside_value))


def test_large_ascending_table():
    # Exact on a straight line sampled at 10,000 points, at knots and between them.
    n = 10_000
    xs = [i / (n - 1) for i in range(n)]
    ys = [2.0 * x + 1.0 for x in xs]
    queries = [xs[0], xs[1] * 0.5, xs[4999], (xs[4999] + xs[5000]) / 2, xs[-1], 1.0000001]
    got = T.piecewise_linear(xs, ys, queries)
    assert got == [T.interp(xs, ys, x, 0.0) for x in queries]
    assert got[:-1] == pytest.approx([2.0 * x + 1.0 for x in queries[:-1]], rel=1e-15)
    assert got[-1] == 0.0
