"""lumagnis_fspl computes with the interpreter lock released: eight threads get the bits one
thread gets, and another Python thread runs while a long call is in progress. With threads=,
one call's elements are shared with pool threads: the same bits for any number of them, the
pool started once (and again in a forked child) and shared safely by concurrent callers."""

import threading
import time

import numpy as np
import pytest

import lumagnis_fspl as fspl
from conftest import run_python

THREADS = 8


def workload(t):
    """Every function, with and without the gradient, on each thread's own inputs."""
    s = 1 + t / 8
    u = np.linspace(0.0, 3.0, 401) * s
    times = np.linspace(-40.0, 40.0, 401)
    tabulated = fspl.Tabulated([0.0, 0.4, 0.8, 1.0], [1.0, 0.95, 0.7, 0.3 / s])
    return [
        lambda: fspl.point_source(u + 0.01, gradient=t % 2 == 0),
        lambda: fspl.uniform(u, 0.1 * s, gradient=True),
        lambda: fspl.limb_darkened(u, [[0.01 * s], [0.5]], fspl.Linear(0.6 / s)),
        lambda: fspl.limb_darkened(u, 0.1, fspl.Power2(0.6, 0.5 * s), gradient=True),
        lambda: fspl.magnification_curve(times, 1.0, 0.03 * s, 20.0, 0.05, tabulated, gradient=True),
        lambda: fspl.magnification_curve(times, 1.0, 0.03, 20.0 * s, 0.05, fspl.SquareRoot(0.3, 0.4)),
    ]


def as_bits(result):
    items = result if isinstance(result, tuple) else (result,)
    return [np.asarray(item).tobytes() for item in items]


def test_eight_threads_get_single_thread_bits():
    calls = {t: workload(t) for t in range(THREADS)}
    expected = {t: [as_bits(c()) for c in calls[t]] for t in range(THREADS)}
    start = threading.Barrier(THREADS)
    mismatches = []

    def run(t):
        start.wait()
        for r in range(4):
            for i in range(len(calls[t])):
                index = (i + t + r) % len(calls[t])  # different functions overlap
                if as_bits(calls[t][index]()) != expected[t][index]:
                    mismatches.append((t, index))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


def test_another_thread_runs_python_while_a_long_call_computes():
    """While a call holds the lock, no other thread can run a line of Python: the clock
    readings of a spinning thread would stop for the whole call. They go on without a gap."""
    profile = fspl.Tabulated(np.linspace(0.0, 1.0, 50), np.linspace(1.0, 0.2, 50))
    u = np.linspace(0.0, 5.0, 2000)
    # Long enough to see: grown until one call takes a quarter of a second.
    while True:
        began = time.perf_counter()
        fspl.limb_darkened(u, 0.3, profile, gradient=True)
        if time.perf_counter() - began > 0.25 or u.size >= 1 << 24:
            break
        u = np.concatenate([u, u])

    window = []
    done = threading.Event()
    readings = []

    def compute():
        window.append(time.perf_counter())
        fspl.limb_darkened(u, 0.3, profile, gradient=True)
        window.append(time.perf_counter())
        done.set()

    worker = threading.Thread(target=compute)
    worker.start()
    while not done.is_set():
        readings.append(time.perf_counter())
    worker.join()
    duration = window[1] - window[0]
    points = [window[0], *(r for r in readings if window[0] < r < window[1]), window[1]]
    longest = max(b - a for a, b in zip(points, points[1:]))
    assert longest < duration / 3, (longest, duration)


# ---------------------------------------------------------------------------------------------
# threads=: one call's elements shared with pool threads


def strided(values):
    """`values` laid out reversed along every axis inside a twice-as-large buffer: a walk whose
    rows start mid-chunk and whose strides are negative."""
    buffer = np.zeros(tuple(2 * n for n in values.shape))
    view = buffer[tuple(slice(None, None, -2) for _ in values.shape)]
    view[...] = values
    return view


CASES = [
    # (function, profile, coefficients): every function, every kind of kernel loop.
    ("point_source", (), False),
    ("uniform", (), False),
    ("limb_darkened", (fspl.Linear(0.6),), False),
    ("limb_darkened", (fspl.Tabulated([0.0, 0.5, 1.0], [1.0, 0.8, 0.3]),), True),
    ("magnification_curve", (fspl.Power2(0.6, 0.5),), False),
    ("magnification_curve", (fspl.Quadratic(0.4, 0.3),), True),
]


def broadcast_arguments(name, rng):
    """Random arguments of `name` that broadcast to 61 x 233 elements (point_source: 171 x 37
    of a cheaper kernel), read through negative strides and zero strides."""
    if name == "point_source":
        return [strided(rng.uniform(0.0, 3.0, (171, 37)) ** 2)]
    rows, columns = rng.uniform(-1.0, 1.0, (61, 1)), rng.uniform(0.0, 0.2, (1, 233))
    if name == "magnification_curve":
        return [strided(rows * 40.0), 0.3, strided(columns), 20.0, rng.uniform(0.005, 0.1, 233)]
    return [strided(np.abs(rows) * 3.0), strided(columns + 0.01)]


def as_list(result):
    return list(result) if isinstance(result, tuple) else [result]


@pytest.mark.parametrize("gradient", [False, True])
@pytest.mark.parametrize("name, profile, coefficients", CASES)
def test_any_number_of_threads_gives_the_bits_of_one_plain_walk(name, profile, coefficients, gradient):
    """Chunks of a broadcast, strided walk, taken by any number of threads, give the bits of
    one thread reading the expanded inputs in order; and elements called one at a time with
    plain floats give the bits of their places in the array."""
    function = getattr(fspl, name)
    options = {"gradient": gradient, **({"coefficients": True} if coefficients else {})}
    arguments = broadcast_arguments(name, np.random.default_rng(7))
    plain = [np.ascontiguousarray(a).ravel() for a in np.broadcast_arrays(*arguments)]
    reference = as_list(function(*plain, *profile, **options))
    for threads in (1, 2, 3, 4, 0):
        got = as_list(function(*arguments, *profile, **options, threads=threads))
        assert [g.reshape(w.shape).tobytes() for g, w in zip(got, reference)] == [
            w.tobytes() for w in reference], threads
    for i in np.random.default_rng(8).choice(plain[0].size, 12, replace=False):
        one = as_list(function(*(float(a[i]) for a in plain), *profile, **options))
        assert all(type(x) is float for x in one[:len(one) - coefficients])
        assert [np.asarray(x).tobytes() for x in one] == [w[i].tobytes() for w in reference]


@pytest.mark.parametrize("call", [
    lambda u, n: fspl.point_source(u, threads=n),
    lambda u, n: fspl.uniform(u, 0.01, gradient=True, threads=n),
    lambda u, n: fspl.magnification_curve(u * 40.0 - 60.0, 0.0, 0.1, 20.0, 0.01, fspl.Linear(0.6),
                                          threads=n),
])
def test_a_walk_offered_before_its_first_chunk_gives_the_bits_of_one_thread(call):
    """Long enough for the pool threads to be woken before the caller's first chunk: they race
    it for the first chunks, and the chunks change size while they run."""
    u = np.random.default_rng(3).uniform(0.0, 3.0, 70_001)
    want = [w.tobytes() for w in as_list(call(u, 1))]
    for threads in (2, 3, 0, 2, 2):
        assert [g.tobytes() for g in as_list(call(u, threads))] == want, threads


IDLE_SCRIPT = """
import time
import numpy as np
import lumagnis_fspl as fspl

u = np.linspace(0.0, 2.0, 200_000)
for _ in range(5):
    fspl.uniform(u, 0.01, threads=0)
before = time.process_time()
time.sleep(0.3)
print(time.process_time() - before)
"""


def test_the_pool_threads_use_no_cpu_between_calls():
    """Pool threads sleep once a call ends: a process that made threaded calls and then waits
    uses next to no CPU time."""
    process = run_python(IDLE_SCRIPT)
    assert process.returncode == 0, process.stderr
    assert float(process.stdout) < 0.03


POOL_SCRIPT = """
import os
import numpy as np
import lumagnis_fspl as fspl
from conftest import run_python

def tasks():
    return len(os.listdir("/proc/self/task"))

u = np.linspace(0.0, 2.0, 100_000)
linear = fspl.Linear(0.6)
want = fspl.limb_darkened(u, 0.01, linear).tobytes()
before = tasks()
fspl.limb_darkened(u[:1000], 0.01, linear, threads=3)  # too small to hand out
small = tasks() - before
first = fspl.limb_darkened(u, 0.01, linear, threads=3).tobytes() == want
started = tasks() - before
second = fspl.limb_darkened(u, 0.01, linear, threads=3).tobytes() == want
kept = tasks() - before
pid = os.fork()
if pid == 0:  # the pool's threads are not in the child: a new pool
    alone = tasks()
    same = fspl.limb_darkened(u, 0.01, linear, threads=3).tobytes() == want
    os._exit(0 if same and tasks() - alone == 2 else 1)
_, status = os.waitpid(pid, 0)
print(small, first, started, second, kept, os.waitstatus_to_exitcode(status))
"""


def test_pool_threads_start_once_and_again_in_a_forked_child():
    process = run_python(POOL_SCRIPT)
    assert process.returncode == 0, process.stderr
    assert process.stdout.split() == ["0", "True", "2", "True", "2", "0"]


def test_python_threads_calling_with_threads_at_once_get_their_own_bits():
    """One pool, several callers: whichever gets it, and whichever computes alone, each gets
    the bits of its own single-thread call."""
    inputs = [np.linspace(0.0, 2.0 + t, 30_000) for t in range(4)]
    want = [fspl.uniform(u, 0.01, gradient=True)[1].tobytes() for u in inputs]
    start = threading.Barrier(len(inputs))
    mismatches = []

    def run(t):
        start.wait()
        for r in range(8):
            got = fspl.uniform(inputs[t], 0.01, gradient=True, threads=2 + (t + r) % 3)[1]
            if got.tobytes() != want[t]:
                mismatches.append((t, r))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


THREADS_TYPE = "threads must be an int (0 for the CPUs this process may use), not {}"
THREADS_VALUE = "threads must be within [0, 256]: 0 for the CPUs this process may use"
CALLS = {
    "point_source": lambda **k: fspl.point_source([0.1, 1.0], **k),
    "uniform": lambda **k: fspl.uniform(0.5, [0.1, 1.0], True, **k),
    "limb_darkened": lambda **k: fspl.limb_darkened(0.5, 0.1, fspl.Linear(0.6), **k),
    "magnification_curve": lambda **k: fspl.magnification_curve([0.0, 5.0], 0.0, 0.1, 20.0, 0.1, **k),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("threads, error, text", [
    (True, TypeError, THREADS_TYPE.format("bool")),
    (np.True_, TypeError, THREADS_TYPE.format("bool")),
    (2.0, TypeError, THREADS_TYPE.format("float")),
    ("2", TypeError, THREADS_TYPE.format("str")),
    (None, TypeError, THREADS_TYPE.format("NoneType")),
    (-1, ValueError, THREADS_VALUE),
    (257, ValueError, THREADS_VALUE),
    (2**64, ValueError, THREADS_VALUE),
    (np.int8(-3), ValueError, THREADS_VALUE),
    (0, None, None),
    (256, None, None),
    (np.uint16(3), None, None),
])
def test_threads_takes_an_int_within_range(name, threads, error, text):
    call = CALLS[name]
    if error is None:
        assert [np.asarray(r).tobytes() for r in as_list(call(threads=threads))] == [
            np.asarray(r).tobytes() for r in as_list(call())]
        return
    with pytest.raises(error) as raised:
        call(threads=threads)
    assert str(raised.value) == text
