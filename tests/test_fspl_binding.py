"""The boundary of lumagnis_fspl: conversion and broadcasting, the bad-input table, NaN and
infinite elements, the gradient tuples, the profile objects, the documentation examples and
the module's exports. Accuracy against references is tested elsewhere."""

import doctest
import inspect
import math
import pickle
import shutil
import struct
import subprocess
import sys
import tomllib

import numpy as np
import pytest

import lumagnis_fspl as fspl
from installed_wheel import REPOSITORY

PROFILES = [
    fspl.Linear(0.6),
    fspl.Quadratic(0.4, 0.3),
    fspl.SquareRoot(0.3, 0.4),
    fspl.Power2(0.6, 0.5),
    fspl.Tabulated([0.0, 0.5, 1.0], [1.0, 0.9, 0.4]),
]

# Each function with arguments in signature order and how many results gradient=True gives.
CALLS = {
    "point_source": ((0.5,), 2),
    "uniform": ((0.5, 0.1), 3),
    "limb_darkened": ((0.5, 0.1, fspl.Linear(0.6)), 3),
    "magnification_curve": ((3.0, 1.0, 0.05, 20.0, 0.1, fspl.Quadratic(0.4, 0.3)), 5),
}
NUMERIC = {"point_source": 1, "uniform": 2, "limb_darkened": 2, "magnification_curve": 5}


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


def call(name, *args, **kwargs):
    return getattr(fspl, name)(*args, **kwargs)


# ---------------------------------------------------------------------------------------------
# Conversion and broadcasting


@pytest.mark.parametrize("name", CALLS)
def test_scalars_give_floats_and_arrays_give_float64_arrays_of_the_broadcast_shape(name):
    args, _ = CALLS[name]
    n = NUMERIC[name]
    scalar = call(name, *args)
    assert type(scalar) is float
    # 0-d arrays and numpy scalars of other dtypes are scalars too.
    zero_d = [np.array(a, dtype=np.float32 if i else np.float64) for i, a in enumerate(args[:n])]
    assert type(call(name, *zero_d, *args[n:])) is float
    # The first argument a column, the last numeric one a row: an outer product.
    column = np.array([[args[0]], [args[0] * 2], [args[0] * 3]])
    row = [args[n - 1], args[n - 1] * 1.5]
    outer = call(name, column, *args[1 : n - 1], row, *args[n:]) if n > 1 else None
    if outer is not None:
        assert outer.shape == (3, 2) and outer.dtype == np.float64
        assert outer.flags.c_contiguous and outer.flags.writeable
        for i in range(3):
            for j in range(2):
                one = call(name, float(column[i, 0]), *args[1 : n - 1], row[j], *args[n:])
                assert bits(outer[i, j]) == bits(one)
    # A list of ints, a strided view and a Fortran-ordered float32 array give the bits of the
    # same values as float64.
    values = np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float64) * args[0]
    expected = call(name, values, *args[1:])
    assert bits(call(name, values.tolist(), *args[1:])).tolist() == bits(expected).tolist()
    wide = np.zeros((2, 6))
    wide[:, ::2] = values
    assert np.array_equal(bits(call(name, wide[:, ::2], *args[1:])), bits(expected))
    single = np.asfortranarray(values.astype(np.float32))
    assert np.array_equal(
        bits(call(name, single, *args[1:])), bits(call(name, single.astype(np.float64), *args[1:]))
    )
    assert call(name, [], *args[1:]).shape == (0,)


def test_results_are_new_arrays_that_own_their_memory_through_numpy():
    u = np.array([0.5, 1.0, 2.0])
    first = fspl.uniform(u, 0.1)
    second = fspl.uniform(u, 0.1)
    assert not np.shares_memory(first, u) and not np.shares_memory(first, second)
    first[:] = 0.0  # writable, and nobody else sees it
    assert np.all(second > 1.0)


def test_integers_and_booleans_convert_like_numpy():
    assert fspl.point_source(2) == fspl.point_source(2.0)
    assert fspl.uniform(np.int64(1), True) == fspl.uniform(1.0, 1.0)


def test_shapes_that_do_not_broadcast_raise_numpy_error():
    with pytest.raises(ValueError, match="broadcast"):
        fspl.uniform([0.5, 1.0], [0.1, 0.2, 0.3])
    with pytest.raises(ValueError, match="broadcast"):
        fspl.magnification_curve([1.0, 2.0], [0.0, 1.0, 2.0], 0.1, 20.0, 0.1)


# ---------------------------------------------------------------------------------------------
# Bad input: ValueError naming the parameter and the rule, TypeError for a non-profile

U = "u must not be negative (NaN is accepted and gives NaN)"
RHO = "rho must be within [1e-100, 1e6] (Einstein radii)"
T0 = "t0 must be finite"
U0 = "u0 must be finite"
TE = "tE must be finite and positive"
PROFILE_OR_NONE = (
    "profile must be None or a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated object"
)
inf, nan = math.inf, math.nan

BAD_CALLS = [
    ("point_source", (-1e-300,), U),
    ("point_source", ([0.5, -inf],), U),
    ("uniform", ([0.5, -1.0], 0.1), U),
    ("uniform", (0.5, 0.0), RHO),
    ("uniform", (0.5, -0.1), RHO),
    ("uniform", (0.5, [0.1, nan]), RHO),
    ("uniform", (0.5, inf), RHO),
    ("uniform", (0.5, math.nextafter(1e6, inf)), RHO),
    ("uniform", (0.5, math.nextafter(1e-100, 0.0)), RHO),
    ("uniform", (-1.0, 0.0), U),  # the first parameter's rule is reported first
    ("limb_darkened", (0.5, 0.0, fspl.Linear(0.6)), RHO),
    ("limb_darkened", (-0.5, 0.1, fspl.Linear(0.6)), U),
    ("magnification_curve", (1.0, nan, 0.1, 20.0, 0.1), T0),
    ("magnification_curve", (1.0, [0.0, inf], 0.1, 20.0, 0.1), T0),
    ("magnification_curve", (1.0, 0.0, -inf, 20.0, 0.1), U0),
    ("magnification_curve", (1.0, 0.0, nan, 20.0, 0.1), U0),
    ("magnification_curve", (1.0, 0.0, 0.1, 0.0, 0.1), TE),
    ("magnification_curve", (1.0, 0.0, 0.1, -20.0, 0.1), TE),
    ("magnification_curve", (1.0, 0.0, 0.1, inf, 0.1), TE),
    ("magnification_curve", (1.0, 0.0, 0.1, 20.0, [0.1, 0.0]), RHO),
]


@pytest.mark.parametrize("name, args, text", BAD_CALLS)
@pytest.mark.parametrize("gradient", [False, True])
def test_bad_values_raise_value_error_naming_parameter_and_rule(name, args, text, gradient):
    with pytest.raises(ValueError) as error:
        call(name, *args, gradient=gradient)
    assert str(error.value) == text


@pytest.mark.parametrize("profile", [0.6, "Linear(0.6)", fspl.Linear, (0.6,)])
def test_a_non_profile_is_a_type_error(profile):
    with pytest.raises(TypeError) as error:
        fspl.limb_darkened(0.5, 0.1, profile)
    assert str(error.value) == PROFILE_OR_NONE
    with pytest.raises(TypeError) as error:
        fspl.magnification_curve(1.0, 0.0, 0.1, 20.0, 0.1, profile)
    assert str(error.value) == PROFILE_OR_NONE


# ---------------------------------------------------------------------------------------------
# NaN and infinite elements cost only themselves


@pytest.mark.parametrize("profile", [None, *PROFILES], ids=repr)
def test_nan_gives_nan_and_infinity_gives_one_for_that_element_only(profile):
    u = np.array([0.5, nan, inf, 0.02])

    def disk(values, **kwargs):
        if profile is None:
            return fspl.uniform(values, 0.1, **kwargs)
        return fspl.limb_darkened(values, 0.1, profile, **kwargs)

    for function in (disk, fspl.point_source):
        value = function(u)
        assert math.isnan(value[1]) and value[2] == 1.0
        assert np.array_equal(bits(value[[0, 3]]), bits([function(0.5), function(0.02)]))
        a, da_du, *rest = function(u, gradient=True)
        assert math.isnan(da_du[1]) and da_du[2] == 0.0
    # Along a trajectory: t = NaN gives NaN, t = +-inf is infinitely far from the lens.
    t = np.array([nan, inf, -inf, 0.0])
    curve = fspl.magnification_curve(t, 0.0, 0.5, 20.0, 0.1, profile)
    assert math.isnan(curve[0]) and curve[1] == curve[2] == 1.0
    assert curve[3] == disk(0.5)


# ---------------------------------------------------------------------------------------------
# The gradient


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("profile", PROFILES, ids=repr)
def test_gradient_is_a_tuple_of_the_shape_whose_first_item_is_the_value_bit_for_bit(
    name, profile
):
    args, count = CALLS[name]
    if name in ("limb_darkened", "magnification_curve"):
        args = (*args[:-1], profile)
    n = NUMERIC[name]
    grid = np.geomspace(1e-3, 30.0, 24).reshape(4, 6) * (1.0 if n > 1 else 0.1)
    for first in (grid, args[0]):
        plain = call(name, first, *args[1:])
        result = call(name, first, *args[1:], gradient=True)
        assert type(result) is tuple and len(result) == count
        for item in result:
            if isinstance(first, float):
                assert type(item) is float
            else:
                assert item.shape == grid.shape and item.dtype == np.float64
        assert np.array_equal(bits(result[0]), bits(plain))


# ---------------------------------------------------------------------------------------------
# Profiles: small immutable values

PROFILE_CASES = [
    (fspl.Linear, (0.6,), {"a": 0.6}),
    (fspl.Quadratic, (0.4, 0.3), {"a": 0.4, "b": 0.3}),
    (fspl.SquareRoot, (0.3, 0.4), {"c": 0.3, "d": 0.4}),
    (fspl.Power2, (0.6, 0.5), {"c": 0.6, "alpha": 0.5}),
    (fspl.Tabulated, ([0.0, 0.5, 1.0], [1.0, 0.9, 0.4]),
     {"r": (0.0, 0.5, 1.0), "intensity": (1.0, 0.9, 0.4)}),
]


@pytest.mark.parametrize("cls, args, fields", PROFILE_CASES, ids=[c[0].__name__ for c in PROFILE_CASES])
def test_profiles_are_immutable_values(cls, args, fields):
    profile = cls(*args)
    assert {name: getattr(profile, name) for name in fields} == fields
    text = repr(profile)
    assert text == f"{cls.__name__}(" + ", ".join(f"{k}={v!r}" for k, v in fields.items()) + ")"
    again = eval(text, vars(fspl))
    assert again == profile and hash(again) == hash(profile) and again is not profile
    assert pickle.loads(pickle.dumps(profile)) == profile
    for name in fields:
        with pytest.raises(AttributeError):
            setattr(profile, name, 0.0)
    with pytest.raises(AttributeError):
        profile.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # Differs from the same law with another coefficient and from other laws.
    changed = cls(*args[:-1], [0.9, 0.8, 0.4]) if cls is fspl.Tabulated else cls(*args[:-1], 0.25)
    assert changed != profile and profile != fspl.Linear(0.5)
    assert len({profile, again, changed}) == 2


def test_linear_from_gamma_is_three_gamma_over_two_plus_gamma():
    for gamma in (0.5, 0.0, 1.0, -1.5, 0.37):
        assert fspl.Linear.from_gamma(gamma).a == 3.0 * gamma / (2.0 + gamma)
    assert fspl.Linear.from_gamma(0.5) == fspl.Linear(0.6)


LINEAR = ("Linear: a must be finite and at most 1 (the intensity 1 - a at the limb must not "
          "be negative)")
QUADRATIC_FINITE = "Quadratic: a and b must be finite"
QUADRATIC = ("Quadratic: a and b must keep the intensity 1 - a (1 - mu) - b (1 - mu)^2 "
             "non-negative for every mu in [0, 1]")
SQUARE_ROOT_FINITE = "SquareRoot: c and d must be finite"
SQUARE_ROOT = ("SquareRoot: c and d must keep the intensity 1 - c (1 - mu) - d (1 - sqrt(mu)) "
               "non-negative for every mu in [0, 1]")
POWER2_ALPHA = "Power2: alpha must be within [0.001, 200]"
POWER2_C = ("Power2: c must be finite and at most 1 (the intensity 1 - c at the limb must not be "
            "negative)")
TAB_LENGTHS = "Tabulated: r and intensity must have the same length, at least 1"
TAB_RADII = "Tabulated: r must be strictly ascending and within [0, 1]"
TAB_INTENSITY = "Tabulated: intensity must be finite and non-negative, and not zero everywhere"
TAB_DIMENSIONS = "Tabulated: r and intensity must be one-dimensional"
GAMMA = ("gamma must be greater than -2 and at most 1 (so that a = 3 gamma / (2 + gamma) is "
         "finite and at most 1)")
AFTER_ONE = math.nextafter(1.0, 2.0)

# Rules at their exact edges. The quadratic laws can dip below zero between mu = 0 and mu = 1
# while both ends stay positive: (1 - 2x)^2 touches zero at x = 1/2, and a hair more slope
# takes it below, which only the exact minimum sees.
PROFILE_RULES = [
    (fspl.Linear, (1.0,), None),
    (fspl.Linear, (-40.0,), None),
    (fspl.Linear, (AFTER_ONE,), LINEAR),
    (fspl.Linear, (nan,), LINEAR),
    (fspl.Linear, (-inf,), LINEAR),
    (fspl.Quadratic, (4.0, -4.0), None),  # 1 - 4x + 4x^2 = (1 - 2x)^2
    (fspl.Quadratic, (math.nextafter(4.0, 5.0), -4.0), QUADRATIC),
    (fspl.Quadratic, (4.1, -4.0), QUADRATIC),  # ends at 1 and 0.9
    (fspl.Quadratic, (2.0, -1.0), None),  # (1 - x)^2: zero only at the limb
    (fspl.Quadratic, (0.6, 0.4), None),
    (fspl.Quadratic, (0.6, math.nextafter(0.4, 1.0)), QUADRATIC),
    (fspl.Quadratic, (0.0, -7.0), None),
    (fspl.Quadratic, (0.5, nan), QUADRATIC_FINITE),
    (fspl.Quadratic, (inf, -inf), QUADRATIC_FINITE),
    (fspl.SquareRoot, (4.0, -4.0), None),  # (1 - 2 sqrt(mu))^2
    (fspl.SquareRoot, (4.0, -3.9), SQUARE_ROOT),  # ends at 0.9 and 1
    (fspl.SquareRoot, (0.5, 0.5), None),
    (fspl.SquareRoot, (0.5, math.nextafter(0.5, 1.0)), SQUARE_ROOT),
    (fspl.SquareRoot, (-3.0, 2.0), None),
    (fspl.SquareRoot, (nan, 0.0), SQUARE_ROOT_FINITE),
    # Coefficients near the largest double: the depth of the dip must not overflow to NaN.
    (fspl.SquareRoot, (1e308, -1e308), SQUARE_ROOT),
    (fspl.Quadratic, (1e308, -1e308), QUADRATIC),
    (fspl.Quadratic, (-1e308, -1e308), None),
    (fspl.Power2, (1.0, 0.05), None),
    (fspl.Power2, (1.0, 0.01), None),
    (fspl.Power2, (AFTER_ONE, 0.5), POWER2_C),
    (fspl.Power2, (0.5, 0.0), POWER2_ALPHA),
    (fspl.Power2, (0.5, -1.0), POWER2_ALPHA),
    (fspl.Power2, (0.5, inf), POWER2_ALPHA),
    (fspl.Power2, (0.5, 0.001), None),
    (fspl.Power2, (0.5, math.nextafter(0.001, 0.0)), POWER2_ALPHA),
    (fspl.Power2, (0.5, 200.0), None),
    (fspl.Power2, (0.5, math.nextafter(200.0, inf)), POWER2_ALPHA),
    (fspl.Power2, (nan, 0.5), POWER2_C),
    (fspl.Tabulated, ([0.3], [2.0]), None),
    (fspl.Tabulated, ([0.0, 1.0], [0.0, 1.0]), None),
    (fspl.Tabulated, ([], []), TAB_LENGTHS),
    (fspl.Tabulated, ([0.0, 1.0], [1.0]), TAB_LENGTHS),
    (fspl.Tabulated, ([0.0, 0.5, 0.5], [1.0, 1.0, 1.0]), TAB_RADII),
    (fspl.Tabulated, ([0.0, 0.7, 0.5], [1.0, 1.0, 1.0]), TAB_RADII),
    (fspl.Tabulated, ([-1e-300, 1.0], [1.0, 1.0]), TAB_RADII),
    (fspl.Tabulated, ([0.0, AFTER_ONE], [1.0, 1.0]), TAB_RADII),
    (fspl.Tabulated, ([0.0, nan], [1.0, 1.0]), TAB_RADII),
    (fspl.Tabulated, ([0.0, 1.0], [1.0, -1e-300]), TAB_INTENSITY),
    (fspl.Tabulated, ([0.0, 1.0], [0.0, 0.0]), TAB_INTENSITY),
    (fspl.Tabulated, ([0.0, 1.0], [1.0, inf]), TAB_INTENSITY),
    (fspl.Tabulated, ([[0.0, 1.0]], [[1.0, 1.0]]), TAB_DIMENSIONS),
    (fspl.Tabulated, (0.5, 1.0), TAB_DIMENSIONS),
    (fspl.Linear.from_gamma, (1.0,), None),
    (fspl.Linear.from_gamma, (-1.99,), None),
    (fspl.Linear.from_gamma, (AFTER_ONE,), GAMMA),
    (fspl.Linear.from_gamma, (-2.0,), GAMMA),
    (fspl.Linear.from_gamma, (-3.0,), GAMMA),
    (fspl.Linear.from_gamma, (nan,), GAMMA),
]


@pytest.mark.parametrize("make, args, text", PROFILE_RULES)
def test_profile_rules_at_their_edges(make, args, text):
    if text is None:
        profile = make(*args)
        assert math.isfinite(fspl.limb_darkened(0.5, 0.1, profile))
        # Unpickling checks the state as construction does.
        assert pickle.loads(pickle.dumps(profile)) == profile
    else:
        with pytest.raises(ValueError) as error:
            make(*args)
        assert str(error.value) == text


def test_unpickling_a_forged_state_is_refused():
    forged = pickle.dumps(fspl.Linear(0.6)).replace(
        b"G" + struct.pack(">d", 0.6), b"G" + struct.pack(">d", 1.5)
    )
    assert forged != pickle.dumps(fspl.Linear(0.6))
    with pytest.raises(ValueError) as error:
        pickle.loads(forged)
    assert str(error.value) == LINEAR


def test_calls_keep_no_references_to_their_arguments():
    u = np.linspace(0.0, 2.0, 50)
    rho = np.array(0.1)
    profile = fspl.Tabulated([0.0, 1.0], [1.0, 0.5])
    before = [sys.getrefcount(x) for x in (u, rho, profile)]
    for _ in range(200):
        fspl.limb_darkened(u, rho, profile, gradient=True)
        fspl.magnification_curve(u, 0.0, rho, 20.0, rho, profile)
        with pytest.raises(ValueError):
            fspl.limb_darkened(u, -rho, profile)
        with pytest.raises(TypeError):
            fspl.magnification_curve(u, 0.0, rho, 20.0, rho, u)
        pickle.loads(pickle.dumps(profile)) == profile
    assert [sys.getrefcount(x) for x in (u, rho, profile)] == before


# ---------------------------------------------------------------------------------------------
# The module: documentation, version, exports


def test_every_docstring_example_holds():
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner()
    documented = [fspl, fspl.Linear.from_gamma] + [getattr(fspl, n) for n in fspl.__all__]
    for obj in documented:
        assert obj.__doc__ and len(obj.__doc__) > 150, obj
        test = parser.get_doctest(obj.__doc__, vars(fspl).copy(), repr(obj), None, 0)
        if obj is not fspl:
            assert test.examples, obj
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_version_is_the_distribution_version():
    with open(REPOSITORY / "pyproject.toml", "rb") as f:
        assert fspl.__version__ == tomllib.load(f)["project"]["version"]


def test_all_lists_the_public_names():
    # A submodule (lumagnis_fspl.jax, once imported) is not one of the package's names.
    names = [n for n in dir(fspl) if not n.startswith("_")]
    assert sorted(fspl.__all__) == sorted(n for n in names if not inspect.ismodule(getattr(fspl, n)))


def test_only_the_initialisation_function_is_exported():
    output = subprocess.run(
        [shutil.which("nm"), "-D", "--defined-only", fspl._native.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    assert [line.split()[-1] for line in output.splitlines()] == ["PyInit__native"]
