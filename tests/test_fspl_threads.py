"""lumagnis_fspl computes with the interpreter lock released: eight threads get the bits one
thread gets, and another Python thread runs while a long call is in progress."""

import threading
import time

import numpy as np

import lumagnis_fspl as fspl

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
