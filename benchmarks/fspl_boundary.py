"""lumagnis_fspl at its boundary: what a call costs beside its computation, what looking for
Ctrl-C costs, and the memory a broadcast call needs beside its results.

- Call overhead: the time of an all-scalar call less the time per element of the same function
  over a 100,000-element array, the computation being the same.
- Signal checks: a call on the main thread looks at pending signals every few milliseconds;
  one on another thread never does. The same 1e6-element call is timed on both, interleaved.
- Memory: magnification_curve(t, 0, u0, 20, 0.01) with t of shape (n, 1) and u0 of shape (1, m),
  in a fresh process: the peak resident memory during the call less the resident memory before
  it, as a multiple of the bytes of its results.

    PYTHONPATH=build-bench .venv-bench/bin/python benchmarks/fspl_boundary.py [--quick]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy

import lumagnis_fspl as fspl

REPEATS = 15

MEMORY_SCRIPT = """
import json, resource, sys
import numpy
import lumagnis_fspl as fspl

rows, columns, gradient = json.loads(sys.argv[1])
t = numpy.linspace(-1.0, 1.0, rows).reshape(rows, 1)
u0 = numpy.linspace(0.0, 0.1, columns).reshape(1, columns)
fspl.magnification_curve(t[:2], 0.0, u0[:, :2], 20.0, 0.01, gradient=gradient)  # warm up

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

before = resident()
results = fspl.magnification_curve(t, 0.0, u0, 20.0, 0.01, gradient=gradient)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
produced = sum(r.nbytes for r in (results if gradient else (results,)))
print(json.dumps([peak - before, produced]))
"""


def best_per_call(function, number):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        for _ in range(number):
            function()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def call_overhead(quick):
    linear = fspl.Linear(0.6)
    u = numpy.full(1000 if quick else 100_000, 0.5)  # the very element of the scalar call
    cases = [
        ("point_source(u)", lambda x: fspl.point_source(x)),
        ("uniform(u, 0.1)", lambda x: fspl.uniform(x, 0.1)),
        ("limb_darkened(u, 0.1, Linear(0.6))", lambda x: fspl.limb_darkened(x, 0.1, linear)),
        ("magnification_curve(t, 0, 0.1, 20, 0.01, Linear(0.6))",
         lambda x: fspl.magnification_curve(x, 0.0, 0.1, 20.0, 0.01, linear)),
    ]
    lines = ["| call | all-scalar call | per element of an array | overhead |", "|---|---|---|---|"]
    for name, call in cases:
        scalar = best_per_call(lambda: call(0.5), 200 if quick else 20_000)
        element = best_per_call(lambda: call(u), 1) / u.size
        lines.append(f"| `{name}` | {scalar * 1e9:.0f} ns | {element * 1e9:.0f} ns | "
                     f"{(scalar - element) * 1e9:.0f} ns |")
    return lines


def on_another_thread(function):
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(timed(function)))
    worker.start()
    worker.join()
    return outcome[0]


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def signal_checks(quick):
    size = 10_000 if quick else 1_000_000
    u = numpy.linspace(0.0, 2.0, size)
    cases = [("point_source", lambda: fspl.point_source(u)),
             ("uniform", lambda: fspl.uniform(u, 0.1))]
    lines = ["| 1e6-element call | main thread | another thread | ratio (median of repeats) |",
             "|---|---|---|---|"]
    for name, call in cases:
        main, other, ratios = [], [], []
        for _ in range(3 if quick else REPEATS):
            main.append(timed(call))
            other.append(on_another_thread(call))
            ratios.append(main[-1] / other[-1])
        lines.append(f"| `{name}` | {statistics.median(main) * 1e3:.2f} ms | "
                     f"{statistics.median(other) * 1e3:.2f} ms | {statistics.median(ratios):.3f} |")
    return lines


def memory(quick):
    cases = [(500, 400, False), (200, 200, True)] if quick else [(5000, 4000, False), (2000, 2000, True)]
    lines = ["| t, u0 | gradient | results | peak extra memory | ratio |", "|---|---|---|---|---|"]
    for rows, columns, gradient in cases:
        process = subprocess.run(
            [sys.executable, "-c", MEMORY_SCRIPT, json.dumps([rows, columns, gradient])],
            capture_output=True, text=True, check=True, env=dict(os.environ))
        extra, produced = json.loads(process.stdout)
        lines.append(f"| ({rows}, 1), (1, {columns}) | {gradient} | {produced / 2**20:.0f} MiB | "
                     f"{extra / 2**20:.0f} MiB | {extra / produced:.2f} |")
    return lines


def run(quick=False):
    text = ["### lumagnis_fspl at its boundary", "",
            "What a call costs beside its computation (best of repeats):", "",
            *call_overhead(quick), "",
            "Looking for pending signals (Ctrl-C) every few milliseconds, on the main thread only; "
            "the same call on another thread, which never looks, is the baseline:", "",
            *signal_checks(quick), "",
            "Memory beside the results of a call whose inputs broadcast along different axes, in a "
            "fresh process (the inputs are read through their strides, never expanded):", "",
            *memory(quick)]
    return "\n".join(text), None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small workloads, few repeats")
    arguments = parser.parse_args(argv)
    print(run(arguments.quick)[0])


if __name__ == "__main__":
    sys.exit(main())
