"""Eight threads calling every function at once get what one thread gets, bit for bit.

The module never releases the interpreter lock during a computation, but the interpreter does
switch threads while a call is converting its arguments whenever that runs Python code (a
caller's __float__ or __iter__). The calls below do that on purpose, so that calls of different
threads interleave in the middle of binding and conversion.
"""

import json
import os
import struct
import sys
import threading
import time

import pytest

import lumagnis
from conftest import run_python

THREADS = 8
ROUNDS = 3 if os.environ.get("LUMAGNIS_SANITIZED") else 12


class YieldingFloat:
    """Gives up the interpreter lock in the middle of a conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


# How often another thread ran between two items of one conversion.
switches_mid_conversion = 0


class YieldingSequence:
    last_thread = None

    def __init__(self, items, error=None):
        self.items = items
        self.error = error

    def __len__(self):
        time.sleep(0)
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        global switches_mid_conversion
        me = threading.get_ident()
        for index, item in enumerate(self.items):
            YieldingSequence.last_thread = me
            time.sleep(0)
            if index > 0 and YieldingSequence.last_thread != me:
                switches_mid_conversion += 1
            yield item
        if self.error is not None:
            raise self.error(f"stopped after {len(self.items)} items")


class ReentrantFloat:
    """Its conversion is itself a call into the module, made in the middle of another call of
    the same function: nothing of the outer call may live where the inner one can reach it."""

    def __init__(self, l, inner):
        self.l = l
        self.inner = inner

    def __float__(self):
        if self.inner == "heyrovsky":
            return lumagnis.heyrovsky_magnification(self.l, 0.5, 1.0, 1.0)
        return lumagnis.witt_mao_magnification([self.l, 2 * self.l], 1.0, 0.5)[1]


def workload(t):
    """The calls thread `t` makes: every function, and every way a call can fail."""
    L = lumagnis
    s = 1 + t / 8  # each thread its own inputs
    l = [0.3 * s, 1.1 * s, 2.5 * s]
    bl = [0.1 * s, 0.5, 0.9]
    bf = [1.0, 0.8 / s, 0.5]
    return [
        lambda: L.witt_mao_magnification(l, 1.0, 0.5 * s),
        lambda: L.integrated_witt_mao_magnification(l, 1.0, 0.5 * s),
        lambda: L.integrated_flux_map_witt_mao_magnification(l, 1.0, 0.5 * s, bl, bf),
        lambda: L.heyrovsky_magnification(2.0 * s, 0.5, 1.0, 1.0),
        lambda: L.integrated_heyrovsky_magnification([2.0 * s], 1.0, 1.0),
        lambda: L.integrated_flux_map_heyrovsky_magnification([1.5 * s], 1.0, 1.0, bl, bf),
        lambda: L.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.5 * s, bl, bf),
        # Failures of every kind, each thread its own.
        lambda: L.heyrovsky_magnification(s, 0.5, 1.0, 0.0),
        lambda: L.witt_mao_magnification(l + [-1.0], -s, -1.0),
        lambda: L.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl[: t % 3], bf),
        lambda: L.witt_mao_magnification(l + ["x" * (t + 1)], 1.0, 0.5),
        lambda: L.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0, **{f"k{t}": 1}),
        # Conversions that let other threads run in the middle of the call.
        lambda: L.witt_mao_magnification(YieldingSequence(l), 1.0, YieldingFloat(0.5 * s)),
        lambda: L.discrete_flux_map_heyrovsky_magnification(
            YieldingSequence(l), YieldingFloat(1.0), 0.5 * s, YieldingSequence(bl), bf),
        lambda: L.witt_mao_magnification(YieldingSequence(l, LookupError), 1.0, 0.5),
        lambda: L.witt_mao_magnification(YieldingSequence(l + [None]), 1.0, 0.5),
        lambda: L.witt_mao_magnification([ReentrantFloat(s, "witt_mao"), 1.0], 1.0,
                                         ReentrantFloat(2 * s, "witt_mao")),
        lambda: L.heyrovsky_magnification(ReentrantFloat(s, "heyrovsky"), 0.5, 1.0,
                                          ReentrantFloat(2 * s, "heyrovsky")),
    ]


def outcome(call):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 -- every ending is compared
        return type(error), error.args
    if isinstance(result, list):
        return "value", [struct.pack("<d", x) for x in result]
    return "value", struct.pack("<d", result)


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_eight_threads_get_single_thread_results(frequent_switches):
    calls = {t: workload(t) for t in range(THREADS)}
    expected = {t: [outcome(c) for c in calls[t]] for t in range(THREADS)}
    kinds = {o[0] for t in expected for o in expected[t]}
    assert {"value", RuntimeError, TypeError, LookupError} <= kinds
    assert any(k.__name__ == "PanicException" for k in kinds if k != "value")

    start = threading.Barrier(THREADS)
    mismatches = []
    counts = [0] * THREADS

    def run(t):
        start.wait()
        for r in range(ROUNDS):
            # Each thread starts its rounds at another call, so that different functions overlap.
            for i in range(len(calls[t])):
                index = (i + t + r) % len(calls[t])
                got = outcome(calls[t][index])
                counts[t] += 1
                if got != expected[t][index]:
                    mismatches.append((t, index, got, expected[t][index]))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
    assert counts == [ROUNDS * len(calls[t]) for t in range(THREADS)]
    # The calls did interleave in the middle of conversions.
    assert switches_mid_conversion > 0
    assert sys.exc_info() == (None, None, None)


# The first import, the first fault (which creates the exception type and writes the backtrace
# note) and the first source integration (which computes the derivative step) all happen in
# eight threads at once, in a fresh interpreter.
FIRST_CALLS_AT_ONCE = """
import json, struct, sys, threading
sys.setswitchinterval(1e-6)
start = threading.Barrier(8)
seen = [None] * 8

def bits(values):
    return [struct.pack("<d", x).hex() for x in values]

def run(t):
    start.wait()
    import lumagnis
    s = 1 + t / 8
    try:
        lumagnis.integrated_flux_map_witt_mao_magnification([1.0], 1.0, 0.1, [0.1] * (t + 2), [1.0])
    except BaseException as error:
        fault = error
    seen[t] = {
        "module": id(lumagnis),
        "fault type": id(type(fault)),
        "fault": [type(fault).__module__, type(fault).__name__, str(fault)],
        "heyrovsky": bits(lumagnis.integrated_heyrovsky_magnification([2.0 * s], 1.0, 1.0)),
        "witt_mao": bits(lumagnis.integrated_witt_mao_magnification([2.0 * s], 1.0, 0.5)),
    }

threads = [threading.Thread(target=run, args=(t,)) for t in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

import lumagnis
single = [
    {
        "heyrovsky": bits(lumagnis.integrated_heyrovsky_magnification([2.0 * (1 + t / 8)], 1.0, 1.0)),
        "witt_mao": bits(lumagnis.integrated_witt_mao_magnification([2.0 * (1 + t / 8)], 1.0, 0.5)),
    }
    for t in range(8)
]
print(json.dumps({"threads": seen, "single": single, "module": id(lumagnis), "all": lumagnis.__all__}))
"""


def test_one_time_initialisations_happen_once_under_eight_threads():
    process = run_python(FIRST_CALLS_AT_ONCE)
    assert process.returncode == 0, process.stderr
    report = json.loads(process.stdout)
    threads = report["threads"]
    assert {t["module"] for t in threads} == {report["module"]}
    assert len(report["all"]) == 7 and len(set(report["all"])) == 7
    assert len({t["fault type"] for t in threads}) == 1
    for t, seen in enumerate(threads):
        assert seen["fault"] == [
            "pyo3_runtime", "PanicException",
            f"assertion `left == right` failed\n  left: {t + 2}\n right: 1",
        ]
        assert seen["heyrovsky"] == report["single"][t]["heyrovsky"]
        assert seen["witt_mao"] == report["single"][t]["witt_mao"]
    # Eight blocks, and the note that only the first fault of the process writes, once.
    assert process.stderr.count("panicked at src/models/flux_map.cpp:") == 8
    assert process.stderr.count("note: run with `LUMAGNIS_BACKTRACE=1`") == 1


SMALL_STACK = """
import threading
import numpy as np
import lumagnis

table = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.4])
calls = [
    lambda: lumagnis.witt_mao_magnification(np.linspace(0, 5, 37), 1.0, 0.1),
    lambda: lumagnis.integrated_witt_mao_magnification([0.3, 2.0], 1.0, 0.1),
    lambda: lumagnis.integrated_flux_map_witt_mao_magnification([0.3, 2.0], 1.0, 0.1, *table),
    lambda: lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0),
    lambda: lumagnis.integrated_heyrovsky_magnification([0.3, 2.0], 1.0, 0.1),
    lambda: lumagnis.integrated_flux_map_heyrovsky_magnification([0.3, 2.0], 1.0, 0.1, *table),
    lambda: lumagnis.discrete_flux_map_heyrovsky_magnification([0.3, 2.0], 1.0, 0.1, *table),
    lambda: lumagnis.witt_mao_magnification([float("nan")], 1.0, 0.1),
    lambda: lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0]),
    lambda: lumagnis.witt_mao_magnification("x", 1.0, 0.1),
]


def outcomes():
    results = []
    for call in calls:
        try:
            results.append(repr(call()))
        except BaseException as error:
            results.append(type(error).__name__ + repr(error.args))
    return results


expected = outcomes()
threading.stack_size(32 * 1024)  # the smallest stack Python lets a thread have
seen = []
thread = threading.Thread(target=lambda: seen.append(outcomes()))
thread.start()
thread.join()
print(seen == [expected])
"""


def test_every_function_runs_on_the_smallest_thread_stack():
    # Large per-call tables belong on the heap: a Python thread's stack can be 32 KiB.
    process = run_python(SMALL_STACK)
    assert process.returncode == 0, process.stderr[-2000:]
    assert process.stdout.strip() == "True"
