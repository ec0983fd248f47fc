"""Binding of call arguments to parameters, and their conversion, with the exact TypeError texts."""

import array
import sys

import numpy as np
import pytest

import lumagnis
from conftest import FLUX_MAP_FUNCTIONS, FUNCTIONS, PARAMETERS, quoted, valid_arguments


def call(name, *args, **kwargs):
    return getattr(lumagnis, name)(*args, **kwargs)


def type_error_text(name, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


# --- binding ------------------------------------------------------------------------------


def test_too_many_positional(function_name):
    n = len(PARAMETERS[function_name])
    args = valid_arguments(function_name) + [1.0, 2.0]
    assert type_error_text(function_name, *args) == (
        f"{function_name}() takes {n} positional arguments but {n + 2} were given"
    )


@pytest.mark.parametrize("given", [0, 1, 2])
def test_missing_positional(function_name, given):
    params = PARAMETERS[function_name]
    missing = params[given:]
    word = "argument" if len(missing) == 1 else "arguments"
    assert type_error_text(function_name, *valid_arguments(function_name)[:given]) == (
        f"{function_name}() missing {len(missing)} required positional {word}: {quoted(missing)}"
    )


def test_missing_names_skip_those_given_by_keyword(function_name):
    params = PARAMETERS[function_name]
    args = valid_arguments(function_name)
    # Only the last parameter is given, by keyword: every other one is reported, in order.
    text = type_error_text(function_name, **{params[-1]: args[-1]})
    missing = params[:-1]
    assert text == (
        f"{function_name}() missing {len(missing)} required positional arguments: {quoted(missing)}"
    )
    # Only one missing: the singular form.
    text = type_error_text(function_name, *args[:-1])
    assert text == f"{function_name}() missing 1 required positional argument: '{params[-1]}'"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("witt_mao_magnification", "missing 3 required positional arguments: 'l', 're', and 'rstar'"),
        ("heyrovsky_magnification", "missing 4 required positional arguments: 'l', 'r', 're', and 'rstar'"),
        (
            "discrete_flux_map_heyrovsky_magnification",
            "missing 5 required positional arguments: 'l', 're', 'rstar', 'bl', and 'bf'",
        ),
    ],
)
def test_missing_everything(name, expected):
    assert type_error_text(name) == f"{name}() {expected}"


def test_two_missing_joined_with_and():
    assert type_error_text("heyrovsky_magnification", 1.0, 0.5) == (
        "heyrovsky_magnification() missing 2 required positional arguments: 're' and 'rstar'"
    )


def test_multiple_values(function_name):
    params = PARAMETERS[function_name]
    args = valid_arguments(function_name)
    assert type_error_text(function_name, *args, **{params[1]: 1.0}) == (
        f"{function_name}() got multiple values for argument '{params[1]}'"
    )


@pytest.mark.parametrize("keyword", ["x", "L", "re_", "r", "\u00e9t\u00e9"])
def test_unexpected_keyword(keyword):
    assert type_error_text("witt_mao_magnification", [1.0], 1.0, 1.0, **{keyword: 1}) == (
        f"witt_mao_magnification() got an unexpected keyword argument '{keyword}'"
    )


def test_unexpected_keyword_that_is_not_utf8():
    # A lone surrogate cannot be encoded: the name matches nothing and is rendered lossily.
    text = type_error_text("witt_mao_magnification", [1.0], 1.0, 1.0, **{"\udc80": 1})
    assert text == "witt_mao_magnification() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"


def test_first_keyword_failure_ends_binding():
    text = type_error_text("witt_mao_magnification", [1.0], 1.0, x=1, re=2.0)
    assert text.endswith("unexpected keyword argument 'x'")
    text = type_error_text("witt_mao_magnification", [1.0], 1.0, re=2.0, x=1)
    assert text.endswith("got multiple values for argument 're'")


def test_positional_count_is_checked_before_keywords():
    text = type_error_text("witt_mao_magnification", [1.0], 1.0, 1.0, 1.0, x=1)
    assert text == "witt_mao_magnification() takes 3 positional arguments but 4 were given"


def test_unknown_keyword_is_reported_before_missing_arguments():
    text = type_error_text("witt_mao_magnification", [1.0], x=1)
    assert text == "witt_mao_magnification() got an unexpected keyword argument 'x'"


def test_binding_finishes_before_conversion():
    text = type_error_text("witt_mao_magnification", "not a sequence", 1.0)
    assert text == "witt_mao_magnification() missing 1 required positional argument: 'rstar'"


# --- conversion of float parameters --------------------------------------------------------


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 3


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, 2.0),
        (True, 1.0),
        (False, 0.0),
        (np.float64(2.5), 2.5),
        (np.float32(0.5), 0.5),
        (np.int64(7), 7.0),
        (Floaty(-1.0), -1.0),
        (Floaty(4.25), 4.25),
        (Indexy(), 3.0),
        (float("inf"), float("inf")),
    ],
)
def test_float_parameter_accepts(value, expected):
    def outcome(re):
        try:
            return repr(lumagnis.heyrovsky_magnification(2.0, 0.5, re, 1.0))
        except RuntimeError as error:
            return error.args

    assert outcome(value) == outcome(expected)


def test_nan_and_infinity_pass_unchanged():
    # A NaN separation reaches the integral, where every node counts as zero.
    assert lumagnis.integrated_heyrovsky_magnification([float("nan")], 1.0, 1.0) == [0.0]


@pytest.mark.parametrize("position", range(4))
def test_float_parameter_rejects_str(position):
    args = [2.0, 0.5, 1.0, 1.0]
    args[position] = "1.0"
    name = PARAMETERS["heyrovsky_magnification"][position]
    assert type_error_text("heyrovsky_magnification", *args) == (
        f"argument '{name}': must be real number, not str"
    )


def test_int_too_large_raises_overflow_without_prefix():
    with pytest.raises(OverflowError) as info:
        lumagnis.heyrovsky_magnification(2.0, 0.5, 10**400, 1.0)
    assert str(info.value) == "int too large to convert to float"


@pytest.mark.parametrize(
    "error",
    [ValueError("bad value"), ZeroDivisionError("x"), KeyError("k"), type("TE", (TypeError,), {})("sub")],
    ids=["ValueError", "ZeroDivisionError", "KeyError", "TypeError-subclass"],
)
def test_other_conversion_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        lumagnis.heyrovsky_magnification(2.0, RaisingFloat(error), 1.0, 1.0)
    assert info.value is error


def test_type_error_from_user_conversion_is_prefixed_and_keeps_its_cause():
    cause = KeyError("root")
    error = TypeError("nope")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        lumagnis.heyrovsky_magnification(2.0, RaisingFloat(error), 1.0, 1.0)
    assert str(info.value) == "argument 'r': nope"
    assert info.value is not error
    assert info.value.__cause__ is cause


def test_type_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        lumagnis.heyrovsky_magnification(2.0, RaisingFloat(TypeError("x")), 1.0, 1.0)
    assert info.value.__cause__ is None


def test_unprintable_type_error_goes_to_the_unraisable_hook(monkeypatch):
    class Boom:
        def __str__(self):
            raise RuntimeError("cannot render")

    # str() of an exception with one argument is str() of that argument, which fails here.
    error = TypeError(Boom())
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as info:
        lumagnis.heyrovsky_magnification(RaisingFloat(error), 0.5, 1.0, 1.0)
    assert str(info.value) == "argument 'l': <unprintable TypeError object>"
    assert len(seen) == 1
    assert isinstance(seen[0].exc_value, RuntimeError)
    assert seen[0].object is error


# --- conversion of sequence parameters -----------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ([0.5, 2.0], [0.5, 2.0]),
        ((0.5, 2.0), [0.5, 2.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x00\x02", [0.0, 2.0]),
        (bytearray(b"\x03"), [3.0]),
        (array.array("d", [0.5, 2.0]), [0.5, 2.0]),
        (array.array("i", [1, 2]), [1.0, 2.0]),
        (np.array([0.5, 2.0]), [0.5, 2.0]),
        (np.array([1, 2], dtype=np.int32), [1.0, 2.0]),
        (memoryview(b"\x01"), [1.0]),
        ([True, 3, np.float64(0.25)], [1.0, 3.0, 0.25]),
    ],
)
def test_sequence_parameter_accepts(value, expected):
    assert lumagnis.witt_mao_magnification(value, 1.0, 0.5) == lumagnis.witt_mao_magnification(
        expected, 1.0, 0.5
    )


@pytest.mark.parametrize("parameter", ["l", "bl", "bf"])
@pytest.mark.parametrize(
    "value, type_name",
    [
        ({1.0}, "set"),
        ({1.0: 2.0}, "dict"),
        (3, "int"),
        (2.5, "float"),
        (np.float64(2.5), "float64"),
        ((x for x in [1.0]), "generator"),
        (None, "NoneType"),
        (iter([1.0]), "list_iterator"),
    ],
)
def test_sequence_parameter_rejects_non_sequences(parameter, value, type_name):
    args = dict(zip(PARAMETERS["discrete_flux_map_heyrovsky_magnification"], valid_arguments("discrete_flux_map_heyrovsky_magnification")))
    args[parameter] = value
    assert type_error_text("discrete_flux_map_heyrovsky_magnification", **args) == (
        f"argument '{parameter}': '{type_name}' object cannot be converted to 'Sequence'"
    )


def test_qualified_type_name_is_used():
    class Outer:
        class Inner:
            pass

    text = type_error_text("witt_mao_magnification", Outer.Inner(), 1.0, 1.0)
    assert text == (
        "argument 'l': 'test_qualified_type_name_is_used.<locals>.Outer.Inner' object "
        "cannot be converted to 'Sequence'"
    )


@pytest.mark.parametrize("value", ["abc", "", type("S", (str,), {})("x")])
def test_str_is_not_a_sequence_of_floats(value):
    assert type_error_text("witt_mao_magnification", value, 1.0, 1.0) == (
        "argument 'l': Can't extract `str` to `Vec`"
    )


@pytest.mark.parametrize(
    "items, message",
    [
        ([1.0, "x"], "must be real number, not str"),
        ([None], "must be real number, not NoneType"),
        ([[1.0]], "must be real number, not list"),
    ],
)
def test_sequence_element_that_is_not_a_number(items, message):
    assert type_error_text("witt_mao_magnification", items, 1.0, 1.0) == f"argument 'l': {message}"


class LyingLength:
    """A sequence whose __len__ says one thing and whose iteration yields another."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "length",
    [0, 1, 5, 1000, sys.maxsize, 2**40, ValueError("no length"), TypeError("no length")],
    ids=str,
)
def test_vector_length_is_what_iteration_yields(length):
    items = [0.5, 2.0, 3.0]
    result = lumagnis.witt_mao_magnification(LyingLength(items, length), 1.0, 0.5)
    assert result == lumagnis.witt_mao_magnification(items, 1.0, 0.5)


def test_length_query_overflowing_is_discarded():
    class Huge(LyingLength):
        def __len__(self):
            return 2**70  # raises OverflowError inside the length query

    assert lumagnis.witt_mao_magnification(Huge([1.5], 0), 1.0, 0.5) == (
        lumagnis.witt_mao_magnification([1.5], 1.0, 0.5)
    )


class FailingIteration(LyingLength):
    def __init__(self, error, after):
        super().__init__([], 2)
        self.error = error
        self.after = after

    def __iter__(self):
        for value in [1.0] * self.after:
            yield value
        raise self.error


@pytest.mark.parametrize("after", [0, 2])
def test_iteration_errors_pass_unchanged_unless_exact_type_error(after):
    error = ValueError("broken iteration")
    with pytest.raises(ValueError) as info:
        lumagnis.witt_mao_magnification(FailingIteration(error, after), 1.0, 0.5)
    assert info.value is error
    text = type_error_text("witt_mao_magnification", FailingIteration(TypeError("t"), after), 1.0, 0.5)
    assert text == "argument 'l': t"


def test_iter_itself_raising():
    class NoIter(LyingLength):
        def __iter__(self):
            raise LookupError("no iterator")

    with pytest.raises(LookupError):
        lumagnis.witt_mao_magnification(NoIter([], 0), 1.0, 0.5)


@pytest.mark.parametrize("function_name", [n for n in FUNCTIONS if n != "heyrovsky_magnification"])
def test_empty_sequence_gives_empty_list(function_name):
    args = valid_arguments(function_name)
    args[0] = []
    assert call(function_name, *args) == []


def test_conversion_stops_at_first_parameter_in_signature_order():
    # Written in another order at the call site; `l` is converted first all the same.
    text = type_error_text(
        "discrete_flux_map_heyrovsky_magnification", bf="x", bl={1}, rstar="s", re=1.0, l=[None]
    )
    assert text == "argument 'l': must be real number, not NoneType"
    text = type_error_text(
        "discrete_flux_map_heyrovsky_magnification", bf="x", bl={1}, rstar="s", re=1.0, l=[1.0]
    )
    assert text == "argument 'rstar': must be real number, not str"
    text = type_error_text(
        "discrete_flux_map_heyrovsky_magnification", bf="x", bl={1}, rstar=1.0, re=1.0, l=[1.0]
    )
    assert text == "argument 'bl': 'set' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("name", FLUX_MAP_FUNCTIONS)
def test_bad_bf_is_reported_before_a_length_mismatch(name):
    text = type_error_text(name, [1.0], 1.0, 0.1, [0.1, 0.2], "x")
    assert text == "argument 'bf': Can't extract `str` to `Vec`"


def test_keywords_in_any_order_equal_positional():
    assert lumagnis.witt_mao_magnification(rstar=0.1, re=1.0, l=[0.5]) == (
        lumagnis.witt_mao_magnification([0.5], 1.0, 0.1)
    )
    assert lumagnis.heyrovsky_magnification(rstar=1.0, re=1.0, r=0.5, l=2.0) == (
        lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)
    )


def test_result_types(function_name):
    result = call(function_name, *valid_arguments(function_name))
    if function_name == "heyrovsky_magnification":
        assert type(result) is float
    else:
        assert type(result) is list
        assert all(type(x) is float for x in result)
        assert len(result) == 1
