"""lumagnis_fspl at its boundary: interpreter exit with a thread inside a call, Ctrl-C, forged
and uninitialised profiles, inputs that do not mean real numbers, flags, and broadcasting read
through strides."""

import concurrent.futures
import math
import pickle
import struct

import numpy as np
import pytest

import lumagnis_fspl as fspl
from conftest import run_python

LINEAR = fspl.Linear(0.6)

# ---------------------------------------------------------------------------------------------
# Interpreter exit with daemon threads inside calls

EXIT_SCRIPT = """
import random, sys, threading, time
import numpy as np
import lumagnis_fspl as fspl

class Slow:
    # Gives the lock away inside the conversion, and must take it back to return.
    def __float__(self):
        time.sleep(0.001)
        return 0.5

u = np.linspace(0.0, 2.0, 3000)
CALLS = [
    (fspl.point_source, lambda x: (x,)),
    (fspl.uniform, lambda x: (x, 0.1)),
    (fspl.limb_darkened, lambda x: (x, 0.1, fspl.Linear(0.6))),
    (fspl.magnification_curve, lambda x: (x, 0.0, 0.1, 20.0, 0.01, fspl.Quadratic(0.4, 0.3))),
]

def spin(function, arguments, gradient, threads=1):
    while True:
        try:
            function(*arguments, gradient=gradient, threads=threads)
        except BaseException as error:
            print(f"{function.__name__}: {error!r}", file=sys.stderr)
            return

for function, make in CALLS:
    for gradient in (False, True):
        # Inside the element loop, with the lock released, alone or beside pool threads...
        for threads in (1, 2):
            threading.Thread(target=spin, args=(function, make(u), gradient, threads),
                             daemon=True).start()
        # ...and inside a conversion that runs Python code.
        slow = make(np.array([Slow(), Slow()], dtype=object))
        threading.Thread(target=spin, args=(function, slow, gradient), daemon=True).start()
time.sleep(random.uniform(0.05, 0.2))
"""

RUNS = 8


def test_daemon_threads_inside_calls_at_exit_end_cleanly():
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        processes = list(pool.map(lambda _: run_python(EXIT_SCRIPT), range(RUNS)))
    assert [(p.returncode, p.stderr) for p in processes] == [(0, "")] * RUNS


# ---------------------------------------------------------------------------------------------
# Ctrl-C

INTERRUPT_SCRIPT = """
import os, signal, threading, time
import numpy as np
import lumagnis_fspl as fspl

# Seconds of work even with every core: a source of half an Einstein radius keeps the whole curve
# near it, where the far field's series cannot shorten the call below the interrupt's delay.
u = np.linspace(0.0, 2.0, 5_000_000)
sent = []
def interrupt():
    time.sleep(0.3)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
result = None
try:
    result = fspl.{call}
    print("finished")
except KeyboardInterrupt:
    delay = time.perf_counter() - sent[0]
    # The pool threads left the interrupted call: the next one shares its work again.
    again = fspl.limb_darkened(u[:20_000], 0.1, fspl.Linear(0.6), threads=2)
    same = again.tobytes() == fspl.limb_darkened(u[:20_000], 0.1, fspl.Linear(0.6)).tobytes()
    print(delay, result is None, same)
"""


# The quadratic law: the linear law's chords now finish these in less than the interrupt's delay.
@pytest.mark.parametrize("call", [
    "limb_darkened(u, 0.5, fspl.Quadratic(0.4, 0.25))",
    "magnification_curve(u, 0.0, 0.1, 1.0, 0.5, fspl.Quadratic(0.4, 0.25), gradient=True)",
    "limb_darkened(u, 0.5, fspl.Quadratic(0.4, 0.25), threads=2)",
    "magnification_curve(u, 0.0, 0.1, 1.0, 0.5, fspl.Quadratic(0.4, 0.25), gradient=True, threads=0)",
])
def test_ctrl_c_interrupts_a_long_call_promptly_and_returns_nothing(call):
    process = run_python(INTERRUPT_SCRIPT.replace("{call}", call))
    assert process.returncode == 0, process.stderr
    assert process.stdout != "finished\n", "the call ended before the interrupt reached it"
    delay, nothing, same = process.stdout.split()
    # 0.1 s on an idle machine; the margin is for a loaded one.
    assert float(delay) < 0.5 and nothing == "True" and same == "True"


# ---------------------------------------------------------------------------------------------
# Profiles: states, pickles, uninitialised instances

STATE_FLOATS = "{} state must be a tuple ({}) of floats"
TABLES = (
    "Tabulated state must be a tuple (r, intensity), or (None, intensity, mu) for a table in mu, "
    "of one-dimensional sequences of floats"
)

BAD_STATES = [
    (fspl.Linear, (), STATE_FLOATS.format("Linear", "a,")),
    (fspl.Linear, ("0.6",), STATE_FLOATS.format("Linear", "a,")),
    (fspl.Linear, [0.6], STATE_FLOATS.format("Linear", "a,")),
    (fspl.Quadratic, (0.4,), STATE_FLOATS.format("Quadratic", "a, b")),
    (fspl.SquareRoot, (0.3, None), STATE_FLOATS.format("SquareRoot", "c, d")),
    (fspl.Power2, (0.6, 0.5, 1.0), STATE_FLOATS.format("Power2", "c, alpha")),
    (fspl.Tabulated, ((0.0, 1.0),), TABLES),
    (fspl.Tabulated, None, TABLES),
]


@pytest.mark.parametrize("cls, state, text", BAD_STATES)
def test_a_malformed_state_is_a_type_error_that_says_what_it_must_hold(cls, state, text):
    profile = cls.__new__(cls)
    with pytest.raises(TypeError) as error:
        profile.__setstate__(state)
    assert str(error.value) == text
    # Still uninitialised: refused by name where a profile is taken.
    with pytest.raises(TypeError, match=f"this {cls.__name__} object is not initialised"):
        fspl.limb_darkened(0.5, 0.1, profile)
    with pytest.raises(TypeError, match=f"this {cls.__name__} object is not initialised"):
        fspl.magnification_curve([1.0, 2.0], 0.0, 0.1, 20.0, 0.1, profile, gradient=True)


def test_a_truncated_pickle_of_the_state_form_is_refused():
    # GLOBAL lumagnis_fspl.Power2, (), NEWOBJ, then a state of one float where two belong.
    forged = b"\x80\x02clumagnis_fspl\nPower2\n)\x81G" + struct.pack(">d", 0.6) + b"\x85b."
    with pytest.raises(TypeError, match="Power2 state must be a tuple"):
        pickle.loads(forged)
    whole = forged.replace(b"\x85b.", b"G" + struct.pack(">d", 0.5) + b"\x86b.")
    assert pickle.loads(whole) == fspl.Power2(0.6, 0.5)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol_round_trips(protocol):
    profiles = [fspl.Linear(-0.1), fspl.Quadratic(0.4, 0.3), fspl.SquareRoot(0.3, 0.4),
                fspl.Power2(0.6, 1 / 3), fspl.Tabulated([0.0, 0.1, 1.0], [1.0, 0.9, 1e-300])]
    again = pickle.loads(pickle.dumps(profiles, protocol=protocol))
    assert again == profiles
    assert [repr(p) for p in again] == [repr(p) for p in profiles]


# ---------------------------------------------------------------------------------------------
# Inputs that do not mean real numbers, and the flag


def test_a_masked_array_complex_or_time_values_are_refused_by_name():
    masked = np.ma.masked_array([0.5, 1.0], mask=[False, True])
    days = np.array(["2026-01-01", "2026-01-02"], dtype="datetime64[D]")
    cases = [
        (lambda: fspl.point_source(masked), "u is a masked array"),
        (lambda: fspl.uniform(0.5, np.ma.masked_array(0.1)), "rho is a masked array"),
        (lambda: fspl.uniform(0.5 + 0j, 0.1), "u must be real numbers"),
        (lambda: fspl.limb_darkened(np.array([0.5, 1.0], dtype=np.complex64), 0.1, LINEAR),
         "u must be real numbers"),
        (lambda: fspl.magnification_curve(days, 0.0, 0.1, 20.0, 0.01), "t must be numbers, not datetime64"),
        (lambda: fspl.magnification_curve(0.0, days[0], 0.1, 20.0, 0.01), "t0 must be numbers, not datetime64"),
        (lambda: fspl.magnification_curve(1.0, 0.0, 0.1, np.timedelta64(20, "D"), 0.01),
         "tE must be numbers, not datetime64 or timedelta64 values: pass times as numbers, say days"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as error:
            call()
        assert str(error.value).startswith(text)


@pytest.mark.parametrize("flag, expected", [(np.True_, True), (np.False_, False), (1, None),
                                            (0.0, None), ("yes", None), (None, None),
                                            (np.array(True), None)])
def test_gradient_takes_bool_and_numpy_bool_only(flag, expected):
    u = np.array([0.05, 0.5])
    calls = [lambda g: fspl.point_source(u, gradient=g),
             lambda g: fspl.limb_darkened(u, 0.1, LINEAR, g),
             lambda g: fspl.magnification_curve(u, 0.0, 0.1, 20.0, 0.1, None, gradient=g)]
    for call in calls:
        if expected is None:
            with pytest.raises(TypeError) as error:
                call(flag)
            assert str(error.value) == ("gradient must be True or False (a bool or numpy.bool_), "
                                        f"not {type(flag).__name__}")
        else:
            got, want = call(flag), call(expected)
            assert type(got) is type(want)
            np.testing.assert_array_equal(np.asarray(got), np.asarray(want))


# ---------------------------------------------------------------------------------------------
# Consistency: None is the uniform disk everywhere; every argument is checked, even when the
# broadcast result is empty


def test_none_profile_is_the_uniform_disk_in_both_functions():
    u = np.array([0.0, 0.05, 0.1, 0.3])
    for gradient in (False, True):
        np.testing.assert_array_equal(fspl.limb_darkened(u, 0.1, None, gradient),
                                      fspl.uniform(u, 0.1, gradient))


@pytest.mark.parametrize("call, text", [
    (lambda: fspl.uniform([], -1.0), "rho must be within"),
    (lambda: fspl.uniform(np.empty((0, 3)), [0.1, math.nan, 0.2]), "rho must be within"),
    (lambda: fspl.uniform([-1.0], np.empty(0)), "u must not be negative"),
    (lambda: fspl.magnification_curve([], math.inf, 0.1, 20.0, 0.1), "t0 must be finite"),
    (lambda: fspl.magnification_curve(np.empty((2, 0)), 0.0, [[0.1], [math.nan]], 20.0, 0.1),
     "u0 must be finite"),
    (lambda: fspl.magnification_curve([], 0.0, 0.1, -20.0, 0.1, LINEAR, True), "tE must be finite"),
])
def test_an_empty_result_still_checks_every_argument(call, text):
    with pytest.raises(ValueError, match=text):
        call()


# ---------------------------------------------------------------------------------------------
# Broadcasting through strides: any layout gives the bits of the same values laid out plainly


def layouts(rng, shape):
    """The same random values in layouts numpy hands over: strided, reversed, big-endian,
    unaligned, and broadcast views with zero strides."""
    values = rng.uniform(0.0, 0.3, size=shape)
    strided = np.zeros(tuple(2 * n for n in shape))[tuple(slice(None, None, 2) for _ in shape)]
    strided[...] = values
    reversed_ = np.ascontiguousarray(values[::-1])[::-1]
    unaligned = np.frombuffer(b"\0" + values.astype(np.float64).tobytes(), np.float64, values.size, 1)
    return values, [strided, reversed_, values.astype(">f8"), unaligned.reshape(shape)]


@pytest.mark.parametrize("seed", range(4))
def test_broadcast_inputs_read_in_place_give_the_bits_of_expanded_ones(seed):
    rng = np.random.default_rng(seed)
    t_shape, u0_shape = ((5, 1, 3), (1, 4, 1)) if seed % 2 else ((7, 1), (1, 6))
    t, t_layouts = layouts(rng, t_shape)
    u0, u0_layouts = layouts(rng, u0_shape)
    rho = rng.uniform(0.01, 0.2, size=u0_shape[-1:])
    profile = [None, LINEAR, fspl.Power2(0.6, 0.5), fspl.Tabulated([0.0, 1.0], [1.0, 0.4])][seed]
    expanded = [np.ascontiguousarray(a) for a in np.broadcast_arrays(t, 0.0, u0, 20.0, rho)]
    want = fspl.magnification_curve(*expanded, profile, gradient=True)
    for t_view, u0_view in zip(t_layouts, u0_layouts):
        got = fspl.magnification_curve(t_view, 0.0, u0_view, 20.0, rho, profile, gradient=True)
        for g, w in zip(got, want):
            assert g.shape == w.shape and g.flags.c_contiguous
            np.testing.assert_array_equal(g, w)
    broadcast_view = np.broadcast_to(t, expanded[0].shape)  # zero strides handed in
    np.testing.assert_array_equal(fspl.uniform(broadcast_view, 0.1), fspl.uniform(expanded[0], 0.1))


# ---------------------------------------------------------------------------------------------
# All-scalar calls: plain numbers take their own path, which must be the array path's in all but
# its cost


def scalar_calls(rng):
    """(function, plain-number arguments, trailing arguments, options) at random valid points:
    every function, with and without the gradient and the coefficients."""
    u = float(rng.choice([0.0, 10 ** rng.uniform(-6, 3)]))
    rho = 10 ** rng.uniform(-4, 0.5)
    t, u0, te = rng.uniform(-60, 60), rng.uniform(-0.5, 0.5), rng.uniform(1, 100)
    law = fspl.Power2(0.6, 0.5)
    calls = []
    for gradient in (False, True):
        calls += [(fspl.point_source, [u], [], {"gradient": gradient}),
                  (fspl.uniform, [u, rho], [], {"gradient": gradient})]
        for coefficients in (False, True):
            options = {"gradient": gradient, "coefficients": coefficients}
            calls += [(fspl.limb_darkened, [u, rho], [LINEAR], options),
                      (fspl.magnification_curve, [t, 1.0, u0, te, rho], [law], options)]
    return calls


def outcome(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - compared as type and text
        return type(error), str(error)
    return [(type(r), np.asarray(r).shape, np.asarray(r).tobytes()) for r in
            (result if isinstance(result, tuple) else (result,))]


@pytest.mark.parametrize("seed", range(6))
def test_plain_numbers_give_the_bits_and_types_of_zero_dimensional_arrays(seed):
    for function, numbers, rest, options in scalar_calls(np.random.default_rng(seed)):
        plain = outcome(lambda: function(*numbers, *rest, **options))
        arrays = outcome(lambda: function(*map(np.array, numbers), *rest, **options))
        assert plain == arrays
        assert plain[0][0] is float


@pytest.mark.parametrize("call", [
    lambda x: fspl.point_source(x(-1.0)),
    lambda x: fspl.uniform(x(0.5), x(0.0)),
    lambda x: fspl.uniform(x(-0.0), x(math.nan), gradient=True),
    lambda x: fspl.uniform(x(10**400), x(0.1)),
    lambda x: fspl.limb_darkened(x(-1.0), x(2e6), LINEAR),
    lambda x: fspl.limb_darkened(x(0.5), x(0.1), "linear"),
    lambda x: fspl.limb_darkened(x(3), x(1), LINEAR, coefficients=True),
    lambda x: fspl.magnification_curve(x(1.0), x(math.inf), x(0.1), x(20.0), x(0.1)),
    lambda x: fspl.magnification_curve(x(1.0), x(0.0), x(math.nan), x(20.0), x(0.1)),
    lambda x: fspl.magnification_curve(x(1.0), x(0.0), x(0.1), x(0), x(0.1), LINEAR, True),
    lambda x: fspl.magnification_curve(x(1.0), x(0.0), x(0.1), x(20.0), x(-0.1), None),
    lambda x: fspl.magnification_curve(x(1), x(0), x(0), x(1), x(1), fspl.Quadratic(0.4, 0.3)),
])
def test_plain_numbers_are_checked_as_arrays_are(call):
    """Exact ints, ints too large for a float, and every refused value: the same outcome, text
    included, as for the same values as 0-d arrays (Python's own big ints become object arrays,
    whose conversion numpy refuses the same way)."""
    to_array = lambda v: np.array(v, dtype=object if isinstance(v, int) and abs(v) > 2**63 else None)  # noqa: E731
    assert outcome(lambda: call(lambda v: v)) == outcome(lambda: call(to_array))
