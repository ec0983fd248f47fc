"""Fuzzing of the call boundary: any arguments a caller can pass, in any call layout.

Every call is compared with a prediction made without the module. Binding follows the rules of
a Python signature of required parameters. A float parameter converts the way the
interpreter's own double conversion does (array.array("d") runs the same conversion and raises
the same errors); a sequence parameter refuses str and non-sequences and otherwise converts what
iteration yields. A conversion error that is exactly TypeError is reported with the parameter's
name in front, any other passes unchanged, and the first parameter in signature order that
fails decides. When every argument converts, the call must give, bit for bit, what the same call
gives with plain lists of Python floats, and whatever it raises must be the documented numeric
failure or length fault. After every example the next call on the thread must be undisturbed.
"""

import array
import ctypes
import math
import os
import struct
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import lumagnis
from conftest import FLUX_MAP_FUNCTIONS, FUNCTIONS, PARAMETERS, SEQUENCE_PARAMETERS, fault_type, quoted, run_python

SANITIZED = bool(os.environ.get("LUMAGNIS_SANITIZED"))
EXAMPLES = 50 if SANITIZED else 200

SPECIAL_FUNCTION_NAMES = ("elliprf", "elliprd", "elliprj", "elliprc", "ellipk", "ellipe", "ellippi")


FAULT_TYPE = fault_type()


# --- objects a caller might pass ------------------------------------------------------------


class UserFloat:
    """__float__ returns whatever it was given: a float, -1.0, an int, a float subclass, a str."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"UserFloat({self.value!r})"


class UserIndex:
    """__index__ returns whatever it was given: a small or huge int, a bool, a str."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"UserIndex({self.value!r})"


class UserError(Exception):
    pass


class UserTypeError(TypeError):
    pass


class UserBaseException(BaseException):
    pass


RAISED_TYPES = [ValueError, TypeError, UserTypeError, UserError, OverflowError, ZeroDivisionError,
                MemoryError, LookupError, StopIteration, SystemExit, UserBaseException]


class RaisingFloat:
    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise self.kind(f"{self.kind.__name__} from __float__")

    def __repr__(self):
        return f"RaisingFloat({self.kind.__name__})"


class RaisingIndex:
    def __init__(self, kind):
        self.kind = kind

    def __index__(self):
        raise self.kind(f"{self.kind.__name__} from __index__")

    def __repr__(self):
        return f"RaisingIndex({self.kind.__name__})"


class FloatSubclass(float):
    pass


class FloatSubclassWithFloat(float):
    # A float subclass is read for its stored value; this method is never consulted.
    def __float__(self):
        return 12345.0


class IntWithFloat(int):
    def __float__(self):
        return 0.125


class FaultFromPython:
    """Its conversion runs a call that faults, so the fault comes back from Python code."""

    def __float__(self):
        lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
        return 1.0

    def __repr__(self):
        return "FaultFromPython()"


class UserSequence:
    """A sequence whose length query and iteration can each disagree, raise or misbehave.

    `length` is what __len__ returns (or the exception type it raises); `items` what iteration
    yields; `error` is raised by the iterator after the items; `iterator`, when not None, is
    what __iter__ returns instead of an iterator.
    """

    def __init__(self, items, length, error=None, iterator=None):
        self.items = items
        self.length = length
        self.error = error
        self.iterator = iterator

    def __len__(self):
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("from __len__")
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iterator is not None:
            return self.iterator
        return self.generate()

    def generate(self):
        yield from self.items
        if self.error is not None:
            raise self.error(f"{self.error.__name__} from __iter__")

    def __repr__(self):
        return (f"UserSequence({self.items!r}, length={self.length!r}, error={self.error!r}, "
                f"iterator={self.iterator!r})")


class GetItemSequence:
    """Old-style sequence: iteration calls __getitem__ until IndexError; no __len__."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __repr__(self):
        return f"GetItemSequence({self.items!r})"


class ReversedArray(np.ndarray):
    """A subclass whose iteration differs from its buffer: iteration is what counts."""

    def __iter__(self):
        return iter(np.asarray(self)[::-1].tolist())


class DoubledArray(array.array):
    def __iter__(self):
        return iter([2 * x for x in array.array.__iter__(self)])


# --- strategies --------------------------------------------------------------------------------

SPECIAL_FLOATS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324,
                  2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
                  -1.0, 1.0, 1e-300, 1e300]

typical_floats = st.floats(0.01, 4.0)
any_floats = st.one_of(typical_floats, typical_floats, st.sampled_from(SPECIAL_FLOATS), st.floats())
nan_with_payload = st.integers(1, 2**51 - 1).map(
    lambda payload: struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000 | payload))[0])

float_range_ints = st.one_of(st.integers(-5, 5), st.integers(-(2**64), 2**64))
huge_ints = st.one_of(  # beyond the largest float: OverflowError
    st.integers(2**1024, 2**1100), st.integers(-(2**1100), -(2**1024)))

# Everything below converts to a float, whatever path it takes.
convertible_scalars = st.one_of(
    any_floats, any_floats, any_floats, any_floats, nan_with_payload, float_range_ints,
    st.booleans(),
    any_floats.map(np.float64),
    st.floats(width=32).map(np.float32),
    st.floats(width=16).map(np.float16),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    st.booleans().map(np.bool_),
    any_floats.map(np.longdouble),
    any_floats.map(UserFloat),
    float_range_ints.map(UserIndex),
    any_floats.map(FloatSubclass),
    any_floats.map(FloatSubclassWithFloat),
    st.integers(-10, 10).map(IntWithFloat),
    st.just(UserFloat(FloatSubclass(2.5))),  # deprecated, still accepted
    st.just(UserIndex(True)),  # deprecated, still accepted
    st.builds(complex, typical_floats, typical_floats).map(np.complex128),  # drops the imaginary part
)

# Everything below fails to convert, each in its own way.
failing_scalars = st.one_of(
    huge_ints,
    st.sampled_from([UserFloat(1), UserFloat("1.0"), UserFloat(None), UserIndex("3"),
                     UserIndex(2.5), np.str_("1.5"), None, "1.0", "", b"\x01", [1.0], (), {},
                     {1.0}, object(), 1j, FaultFromPython()]),
    huge_ints.map(UserIndex),
    st.sampled_from(RAISED_TYPES).map(RaisingFloat),
    st.sampled_from(RAISED_TYPES).map(RaisingIndex),
)

# What a hostile caller passes for a float parameter or a sequence element.
scalars = st.one_of(convertible_scalars, convertible_scalars, failing_scalars)

NUMPY_DTYPES = ["<f8", "<f8", ">f8", "<f4", "<f2", "<i8", ">i4", "u1", "?", "<c16", "O"]


@st.composite
def numpy_arrays(draw, elements, max_size, dimensions):
    dtype = np.dtype(draw(st.sampled_from(NUMPY_DTYPES)))
    shape = draw(hnp.array_shapes(min_dims=dimensions[0], max_dims=dimensions[1], min_side=0,
                                  max_side=max_size))
    result = draw(hnp.arrays(dtype, shape, elements=elements if dtype.kind == "O" else None))
    view = draw(st.sampled_from(["as is", "reversed", "stepped", "fortran", "subclass"]))
    if result.ndim >= 1 and view == "reversed":
        result = result[::-1]
    elif result.ndim >= 1 and view == "stepped":
        result = np.repeat(result, 2, axis=0)[::2]
    elif view == "fortran":
        result = np.asfortranarray(result)
    elif view == "subclass" and result.ndim == 1:
        result = result.view(ReversedArray)
    return result


@st.composite
def float64_views(draw, max_size):
    """One-dimensional float64 arrays laid out every way a buffer can be: what iteration would
    yield, element by element, is what counts."""
    base = np.array(draw(st.lists(any_floats, max_size=max_size)), dtype=np.float64)
    layout = draw(st.sampled_from(
        ["contiguous", "reversed", "every other", "every other, reversed", "column", "unaligned",
         "read-only", "big-endian", "empty stride"]))
    if layout == "reversed":
        return base[::-1]
    if layout == "every other":
        return np.repeat(base, 2)[::2]
    if layout == "every other, reversed":
        return np.repeat(base, 2)[::-2]
    if layout == "column":
        return np.column_stack([base, -base, base])[:, 1]
    if layout == "unaligned":
        raw = bytearray(base.size * 8 + 1)
        view = np.frombuffer(raw, dtype=np.float64, count=base.size, offset=1)
        view[:] = base
        return view
    if layout == "read-only":
        base.flags.writeable = False
        return base
    if layout == "big-endian":
        return base.astype(">f8")
    if layout == "empty stride":
        return np.broadcast_to(base[:1], (3,)) if base.size else base
    return base


@st.composite
def std_arrays(draw, max_size):
    code = draw(st.sampled_from(["d", "d", "f", "i", "b", "q"]))
    if code == "d":
        items = draw(st.lists(any_floats, max_size=max_size))
    elif code == "f":
        items = draw(st.lists(st.floats(width=32), max_size=max_size))
    else:
        items = draw(st.lists(st.integers(-100, 100), max_size=max_size))
    made = (DoubledArray if draw(st.booleans()) else array.array)(code, items)
    return memoryview(made) if draw(st.booleans()) and code in "db" else made


@st.composite
def user_sequences(draw, elements, max_size, hostile):
    items = draw(st.lists(elements, max_size=max_size))
    # A length that lies or fails is only a hint, and is discarded.
    length = draw(st.one_of(
        st.just(len(items)), st.integers(0, 8), st.sampled_from([sys.maxsize, 2**70, -1, "3", None]),
        st.sampled_from([ValueError, TypeError, UserError])))
    error = iterator = None
    if hostile:
        error = draw(st.one_of(st.none(), st.sampled_from(RAISED_TYPES)))
        iterator = draw(st.one_of(st.none(), st.none(), st.sampled_from([3, "abc"])))
    return UserSequence(items, length, error, iterator)


def convertible_sequences(max_size):
    elements = convertible_scalars
    return st.one_of(
        st.lists(elements, max_size=max_size),
        st.lists(elements, max_size=max_size),
        st.lists(elements, max_size=max_size).map(tuple),
        st.builds(range, st.integers(-3, 3), st.integers(-3, 3 + max_size)),
        st.builds(range, st.just(2**60), st.just(2**60 + 2)),
        st.binary(max_size=max_size),
        st.binary(max_size=max_size).map(bytearray),
        numpy_arrays(elements, max_size, (1, 1)),
        float64_views(max_size),
        float64_views(max_size),
        std_arrays(max_size),
        user_sequences(elements, max_size, hostile=False),
        st.lists(elements, max_size=max_size).map(GetItemSequence),
    )


def hostile_sequences(max_size):
    elements = st.one_of(convertible_scalars, convertible_scalars, failing_scalars)
    return st.one_of(
        st.lists(elements, max_size=max_size),
        st.lists(elements, max_size=max_size).map(tuple),
        numpy_arrays(elements, max_size, (0, 2)),
        user_sequences(elements, max_size, hostile=True),
        st.lists(elements, max_size=max_size).map(GetItemSequence),
        st.lists(elements, max_size=max_size).map(lambda items: (x for x in items)),
        st.lists(convertible_scalars, max_size=max_size).map(set),
        st.lists(convertible_scalars, max_size=max_size).map(
            lambda items: dict.fromkeys(range(len(items)))),
        st.text(max_size=3),
        st.text(max_size=3).map(np.str_),
        scalars,
    )


# The integrals of the ring kernel cost about a millisecond per separation: keep `l` short there.
def max_items(function_name, parameter):
    if parameter == "l" and function_name in (
            "integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification"):
        return 2
    return 5


def argument(function_name, parameter, hostile):
    if parameter in SEQUENCE_PARAMETERS and function_name != "heyrovsky_magnification":
        size = max_items(function_name, parameter)
        return hostile_sequences(size) if hostile else convertible_sequences(size)
    return scalars if hostile else convertible_scalars


keyword_names = st.text(
    alphabet=st.characters(exclude_categories=("Cs",)), min_size=1, max_size=6)


@st.composite
def calls(draw, function_name):
    """(positional arguments, keyword arguments as a list of pairs) for one call.

    Half the calls have arguments that all convert; the others have one hostile argument, all
    hostile arguments, or a binding error (an eighth each, the first twice as often).
    """
    parameters = PARAMETERS[function_name]
    mode = draw(st.sampled_from(["convertible"] * 4 + ["one hostile"] * 2 + ["all hostile"] +
                                ["binding error"]))
    hostile = {
        "convertible": set(),
        "binding error": set(),
        "one hostile": {draw(st.sampled_from(parameters))},
        "all hostile": set(parameters),
    }[mode]
    values = [draw(argument(function_name, p, p in hostile)) for p in parameters]
    if function_name in FLUX_MAP_FUNCTIONS and mode == "convertible" and draw(st.booleans()):
        # Equal lengths more often than chance gives them, so that calls get to compute.
        bl = draw(st.lists(convertible_scalars, max_size=4))
        bf = draw(st.lists(convertible_scalars, min_size=len(bl), max_size=len(bl)))
        values[3:5] = [bl, bf]
    split = draw(st.integers(0, len(parameters)))
    positional = values[:split]
    keywords = draw(st.permutations(list(zip(parameters[split:], values[split:]))))
    if mode == "binding error":
        change = draw(st.sampled_from(["missing", "extra", "unknown", "twice"]))
        if change == "twice" and split == 0:
            change = "unknown"
        if change == "missing":
            if keywords and (not positional or draw(st.booleans())):
                del keywords[draw(st.integers(0, len(keywords) - 1))]
            else:
                positional = positional[:-1]
        elif change == "extra":
            positional = values + draw(st.lists(scalars, min_size=1, max_size=2))
        elif change == "unknown":
            name = draw(keyword_names.filter(lambda k: k not in parameters))
            keywords.insert(draw(st.integers(0, len(keywords))), (name, draw(scalars)))
        else:
            keywords.insert(draw(st.integers(0, len(keywords))),
                            (parameters[draw(st.integers(0, split - 1))], draw(scalars)))
    return positional, keywords


# --- the prediction -------------------------------------------------------------------------


def binding_error(function_name, nargs, keyword_names):
    parameters = PARAMETERS[function_name]
    n = len(parameters)
    if nargs > n:
        return f"{function_name}() takes {n} positional arguments but {nargs} were given"
    filled = [i < nargs for i in range(n)]
    for name in keyword_names:
        if name not in parameters:
            return f"{function_name}() got an unexpected keyword argument '{name}'"
        index = parameters.index(name)
        if filled[index]:
            return f"{function_name}() got multiple values for argument '{name}'"
        filled[index] = True
    missing = [p for p, f in zip(parameters, filled) if not f]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return f"{function_name}() missing {len(missing)} required positional {word}: {quoted(missing)}"
    return None


class Expected(Exception):
    """A predicted exception: exactly this type, with exactly these arguments."""

    def __init__(self, kind, args):
        super().__init__(kind, args)
        self.kind = kind
        self.args_ = args


# The interpreter's own sequence test, called directly.
sequence_check = ctypes.pythonapi.PySequence_Check
sequence_check.argtypes = [ctypes.py_object]
sequence_check.restype = ctypes.c_int


def expected_float(obj):
    # array.array("d") stores an item through the interpreter's own double conversion.
    return array.array("d", [obj])[0]


def expected_vector(obj):
    if issubclass(type(obj), str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not sequence_check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    return [expected_float(item) for item in obj]


def convert(parameter, obj, sequence):
    try:
        return expected_vector(obj) if sequence else expected_float(obj)
    except BaseException as error:  # noqa: BLE001 -- anything a caller's code raises
        if type(error) is TypeError:
            raise Expected(TypeError, (f"argument '{parameter}': {error}",)) from None
        raise Expected(type(error), error.args) from None


def predict(function_name, positional, keywords):
    """The converted arguments in signature order, or raises the predicted Expected."""
    text = binding_error(function_name, len(positional), [k for k, _ in keywords])
    if text is not None:
        raise Expected(TypeError, (text,))
    bound = dict(zip(PARAMETERS[function_name], positional))
    bound.update(keywords)
    sequence = function_name != "heyrovsky_magnification"
    return [convert(p, bound[p], sequence and p in SEQUENCE_PARAMETERS)
            for p in PARAMETERS[function_name]]


def outcome(call):
    """('value', bits) or (exception type, args) of a call."""
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001
        return type(error), error.args
    if isinstance(result, list):
        return "value", [struct.pack("<d", x) for x in result]
    return "value", struct.pack("<d", result)


# --- the next call is undisturbed -------------------------------------------------------------

NEXT_CALL = {
    "witt_mao_magnification": ([0.5, 1.0, 2.0], 1.0, 0.5),
    "integrated_witt_mao_magnification": ([0.5, 2.0], 1.0, 0.5),
    "integrated_flux_map_witt_mao_magnification": ([0.5, 2.0], 1.0, 0.5, [0.2, 0.9], [1.0, 0.5]),
    "heyrovsky_magnification": (2.0, 0.5, 1.0, 1.0),
    "integrated_heyrovsky_magnification": ([2.0], 1.0, 1.0),
    "integrated_flux_map_heyrovsky_magnification": ([2.0], 1.0, 1.0, [0.2, 0.9], [1.0, 0.5]),
    "discrete_flux_map_heyrovsky_magnification": ([0.5, 2.0], 1.0, 0.5, [0.2, 0.9], [1.0, 0.5]),
}


@pytest.fixture(scope="module")
def fresh_results():
    """Each function's NEXT_CALL result, computed by a fresh interpreter that saw no failure."""
    process = run_python(
        f"""
        import lumagnis, struct
        for name, args in {NEXT_CALL!r}.items():
            result = getattr(lumagnis, name)(*args)
            values = result if isinstance(result, list) else [result]
            print(name, *[struct.pack("<d", x).hex() for x in values])
        """
    )
    assert process.returncode == 0, process.stderr
    results = {}
    for line in process.stdout.splitlines():
        name, *values = line.split()
        results[name] = [bytes.fromhex(v) for v in values]
    assert set(results) == set(FUNCTIONS)
    return results


def next_call_bits(function_name):
    result = getattr(lumagnis, function_name)(*NEXT_CALL[function_name])
    values = result if isinstance(result, list) else [result]
    return [struct.pack("<d", x) for x in values]


# --- the fuzz tests ---------------------------------------------------------------------------

FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def check_call(function_name, positional, keywords, fresh):
    function = getattr(lumagnis, function_name)
    try:
        converted = predict(function_name, positional, keywords)
    except Expected as expected:
        got = outcome(lambda: function(*positional, **dict(keywords)))
        event(f"raises {expected.kind.__name__}"
              + (" in binding" if expected.kind is TypeError
                 and expected.args_[0].startswith(f"{function_name}()") else ""))
        assert got == (expected.kind, expected.args_)
    else:
        got = outcome(lambda: function(*positional, **dict(keywords)))
        reference = outcome(lambda: function(*converted))
        event("computes" if got[0] == "value" else f"computes, raises {got[0].__name__}")
        assert got == reference
        if function_name in FLUX_MAP_FUNCTIONS and len(converted[3]) != len(converted[4]):
            text = (f"assertion `left == right` failed\n  left: {len(converted[3])}\n"
                    f" right: {len(converted[4])}")
            assert got == (FAULT_TYPE, (text,))
        elif got[0] != "value":
            # Only the numeric failure can end a call whose arguments all converted.
            assert got[0] is RuntimeError, got
            (text,) = got[1]
            assert text.split(":")[0] in SPECIAL_FUNCTION_NAMES
            assert function_name not in (
                "integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification")
    assert next_call_bits(function_name) == fresh[function_name]


@pytest.mark.filterwarnings("ignore")  # numpy and the interpreter warn about lossy conversions
@pytest.mark.parametrize("function_name", FUNCTIONS)
@FUZZ_SETTINGS
@given(data=st.data())
def test_fuzzed_calls_end_as_predicted(function_name, fresh_results, data):
    positional, keywords = data.draw(calls(function_name))
    check_call(function_name, positional, keywords, fresh_results)
