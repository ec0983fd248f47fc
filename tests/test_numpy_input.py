"""numpy arrays and array.array as sequence arguments.

Exact one-dimensional float64 ndarrays and array.array('d') are read as buffers instead of
being iterated. Every array must give what iterating it gives: the same results, bit for bit,
and the same errors.
"""

import array
import struct
import timeit

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import lumagnis


def outcome(function, *arguments):
    """A call's result as bit patterns, or its exception as (type, args)."""
    try:
        value = function(*arguments)
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return ("raised", type(error), error.args)
    return ("returned", [struct.pack("<d", v) for v in value])


def witt_mao(l):
    return outcome(lumagnis.witt_mao_magnification, l, 1.0, 0.5)


def ring_sum(bl, bf):
    return outcome(lumagnis.discrete_flux_map_heyrovsky_magnification, [0.3, 2.0], 1.0, 0.5, bl, bf)


def iterated(a):
    """What conversion by iteration sees: the items `iter(a)` yields, in a list."""
    return list(iter(a))


# Separations the uniform-disk kernel evaluates without failing, so that a call compares every
# element; zeros of both signs and subnormals included.
separations = st.one_of(
    st.floats(0.0, 1e6), st.sampled_from([-0.0, 5e-324, 2.2250738585072014e-308, 1.0])
)
any_float = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
steps = st.sampled_from([1, 2, 3, -1, -2])


@settings(max_examples=200, deadline=None)
@given(hnp.arrays(np.float64, st.integers(0, 24), elements=separations), steps)
def test_float64_array_gives_what_iterating_its_floats_gives(a, step):
    view = a[::step]
    expected = witt_mao(list(map(float, view)))
    assert expected[0] == "returned"
    assert witt_mao(view) == expected
    assert witt_mao(array.array("d", view)) == expected


@settings(max_examples=100, deadline=None)
@given(
    hnp.arrays(np.float64, 6, elements=any_float),
    hnp.arrays(np.float64, 6, elements=st.floats(0.0, 2.0)),
    steps,
)
def test_any_float64_values_give_what_lists_give(a, radii, step):
    """NaN, infinities, huge and negative values: as separations most calls fail, and must
    fail alike; as ring weights they never fail, and reach the sums unchanged."""
    view = a[::step]
    assert witt_mao(view) == witt_mao(list(map(float, view)))
    assert ring_sum(radii[::step], view) == ring_sum(
        list(map(float, radii[::step])), list(map(float, view))
    )


def values():
    return np.array([0.0, -0.0, 0.5, 1.0, 3.0, 5e-324, 1e-310, 7.25, 1e10, 2.0])


class Reversed(np.ndarray):
    """A subclass whose iteration differs from its buffer."""

    def __iter__(self):
        return iter(np.asarray(self)[::-1].tolist())


class ReversedArray(array.array):
    def __iter__(self):
        return iter(list(array.array("d", self))[::-1])


def unaligned():
    raw = bytearray(1) + values().tobytes()
    return np.frombuffer(bytes(raw), dtype=np.float64, offset=1)


def structured_field():
    table = np.zeros(len(values()), dtype=[("x", "f8"), ("flag", "i4")])
    table["x"] = values()
    return table["x"]


ARRAYS = {
    "contiguous": lambda: values(),
    "every other": lambda: values()[::2],
    "reversed": lambda: values()[::-1],
    "stride of three, reversed": lambda: values()[::-3],
    "read-only": lambda: np.frombuffer(values().tobytes()),
    "unaligned": unaligned,
    "field of a structured array": structured_field,
    "broadcast, stride 0": lambda: np.broadcast_to(np.float64(0.75), (4,)),
    "column of a 2-D array": lambda: np.arange(12.0).reshape(4, 3)[:, 1],
    "empty": lambda: np.empty(0),
    "with NaN and infinity": lambda: np.array([1.0, np.nan, np.inf]),
    "float32": lambda: values().astype(np.float32),
    "big-endian float64": lambda: values().astype(">f8"),
    "float16": lambda: values()[:-2].astype(np.float16),
    "int64": lambda: np.array([3, 2**53 + 1, 12], dtype=np.int64),
    "bool": lambda: np.array([True, False]),
    "object": lambda: np.array([0.5, 2, True], dtype=object),
    "2-D": lambda: values().reshape(2, 5),
    "2-D, one column": lambda: values().reshape(10, 1),
    "0-d": lambda: np.array(2.0),
    "complex": lambda: np.array([1 + 2j]),
    "strings": lambda: np.array(["1.5", "x"]),
    "subclass": lambda: values().view(Reversed),
    "masked": lambda: np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0]),
    "array('d')": lambda: array.array("d", values()),
    "array('f')": lambda: array.array("f", values()),
    "array('q')": lambda: array.array("q", [7, 2**60]),
    "array('d') subclass": lambda: ReversedArray("d", values()),
    "memoryview of doubles": lambda: memoryview(values()),
}


# Converting some of these items warns (complex parts dropped, masked items as NaN, ...); the
# warnings are numpy's, the same on both paths.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
def test_every_array_gives_what_iterating_it_gives(make):
    a = make()
    try:
        items = iterated(a)
    except TypeError as error:
        # The object cannot be iterated at all (0-d arrays, memoryviews of some formats):
        # the call reports that, under the parameter's name.
        expected = ("raised", TypeError, (f"argument 'l': {error}",))
    else:
        expected = witt_mao(items)
    assert witt_mao(a) == expected
    if expected[0] == "returned":
        assert len(expected[1]) == len(items)


@pytest.mark.parametrize("make", [values, lambda: array.array("d", values())], ids=["ndarray", "array"])
def test_arrays_go_through_the_same_argument_checks(make):
    a = make()
    with pytest.raises(TypeError) as raised:
        lumagnis.witt_mao_magnification(a, "1.0", 0.5)
    assert str(raised.value).startswith("argument 're': ")
    with pytest.raises(BaseException) as fault:
        lumagnis.integrated_flux_map_witt_mao_magnification([], 1.0, 0.5, a, a[:3])
    assert type(fault.value).__name__ == "PanicException"
    assert str(fault.value) == f"assertion `left == right` failed\n  left: {len(a)}\n right: 3"


def conversion_seconds(sequence):
    """Best time of converting `sequence` twice, as bl and bf, with no computation after."""
    call = lambda: lumagnis.discrete_flux_map_heyrovsky_magnification([], 1.0, 0.5, sequence, sequence)  # noqa: E731
    return min(timeit.repeat(call, number=3, repeat=7))


class Plain(np.ndarray):
    """A subclass that changes nothing, so it is iterated like any other sequence."""


def test_exact_float64_arrays_are_not_iterated():
    # Iterating creates one numpy scalar per element; reading the buffer creates none. The
    # margin between the two is tens of times, far above the factor asked here.
    a = np.linspace(0.0, 1.0, 200_000)
    assert conversion_seconds(a) * 4 < conversion_seconds(a.view(Plain))
