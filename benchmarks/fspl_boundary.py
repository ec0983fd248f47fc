"""lumagnis_fspl at its boundary: what a call costs beside its computation, what looking for
Ctrl-C costs, and the memory a broadcast call needs beside its results.

- Call overhead: the time of an all-scalar call (Python floats) less the time per element of
  the same function over a 100,000-element array, the computation being the same; beside it,
  np.sqrt on a float and, when VBMicrolensing is importable, its ESPLMag, timed in the same
  rounds (interleaved; the ratio is the median of the rounds' ratios).
- Threads: one call on 1e3 .. 1e6 elements with threads=1 and threads=2, interleaved; the
  speed-up is the median of the rounds' ratios. Beside it, in the same rounds, two threads=1
  calls at once on the two halves of the elements, from two interpreter threads: what the
  machine gives two independent computations, the ceiling of a shared call. The machine's
  load is printed beside it: on a machine whose cores are busy with other work, a second
  thread has no core to run on.
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
import timeit

import numpy

import lumagnis_fspl as fspl

try:
    import VBMicrolensing
except ImportError:  # the side-by-side column is left out
    VBMicrolensing = None

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


def call_overhead(quick):
    namespace = {"fspl": fspl, "numpy": numpy, "linear": fspl.Linear(0.6),
                 "u": numpy.full(1000 if quick else 100_000, 0.5)}  # the very element of the scalar call
    cases = [
        ("point_source({})", "point_source(0.5)"),
        ("uniform({}, 0.1)", "uniform(0.5, 0.1)"),
        ("limb_darkened({}, 0.1, linear)", "limb_darkened(0.5, 0.1, Linear(0.6))"),
        ("magnification_curve({}, 0.0, 0.1, 20.0, 0.01, linear)",
         "magnification_curve(0.5, 0.0, 0.1, 20.0, 0.01, Linear(0.6))"),
    ]
    timers = {name: timeit.Timer("fspl." + call.format("0.5"), globals=namespace)
              for call, name in cases}
    timers["numpy.sqrt(0.5)"] = timeit.Timer("numpy.sqrt(0.5)", globals=namespace)
    if VBMicrolensing is not None:
        namespace["vbm"] = VBMicrolensing.VBMicrolensing()
        namespace["vbm"].ESPLMag(0.5, 0.1)  # loads its table
        timers["VBMicrolensing ESPLMag(0.5, 0.1)"] = timeit.Timer("vbm.ESPLMag(0.5, 0.1)",
                                                                  globals=namespace)
    number = 200 if quick else 20_000
    rounds = {name: [] for name in timers}
    for _ in range(3 if quick else REPEATS):
        for name, timer in timers.items():
            rounds[name].append(timer.timeit(number) / number)
    esplmag = rounds.get("VBMicrolensing ESPLMag(0.5, 0.1)")
    lines = ["| call, Python floats | per call (best) | per element of an array | overhead | "
             "uniform ÷ ESPLMag (median of rounds) |", "|---|---|---|---|---|"]
    for name, times in rounds.items():
        call = next((c for c, n in cases if n == name), None)
        element = overhead = ""
        if call is not None:
            array = timeit.Timer("fspl." + call.format("u"), globals=namespace)
            per_element = min(array.repeat(3 if quick else REPEATS, 1)) / namespace["u"].size
            element = f"{per_element * 1e9:.0f} ns"
            overhead = f"{(min(times) - per_element) * 1e9:.0f} ns"
        # The uniform disk is what ESPLMag computes.
        ratio = ""
        if esplmag is not None and name.startswith("uniform"):
            ratio = f"{statistics.median(t / e for t, e in zip(times, esplmag)):.2f}"
        lines.append(f"| `{name}` | {min(times) * 1e9:.0f} ns | {element} | {overhead} | {ratio} |")
    return lines


class _Pair:
    """A second interpreter thread that runs one call while the caller runs another: the
    machine's own speed-up for two independent calls, with no pool, the ceiling a shared call
    can reach (the calls release the interpreter lock)."""

    def __init__(self):
        self.go, self.done, self.job = threading.Semaphore(0), threading.Semaphore(0), None
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            self.go.acquire()
            self.job()
            self.done.release()

    def both(self, mine, theirs):
        self.job = theirs
        self.go.release()
        mine()
        self.done.acquire()


def threads(quick, sizes=None):
    rng = numpy.random.default_rng(19)
    linear = fspl.Linear(0.6)
    pair = _Pair()
    if sizes is None:
        sizes = [1000, 10_000] if quick else [1000, 10_000, 100_000, 1_000_000]
    lines = ["| call | elements | threads=1 | threads=2 | speed-up (median) | two calls at once on "
             "halves (median) |", "|---|---|---|---|---|---|"]
    for size in sizes:
        u = rng.uniform(0.0, 3.0, size) * 0.01  # u/rho within 0 .. 3: near the source
        t = numpy.linspace(-60.0, 60.0, size)
        # A light curve through the source: the far field (tens of ns an element) on both
        # sides of a stretch of near-source quadrature (a microsecond an element).
        crossing = numpy.linspace(-6.0, 6.0, size)  # u/rho from 30 down to 0.1 and back
        cases = [("uniform(u, 0.01)", lambda x, n: fspl.uniform(x, 0.01, threads=n), u),
                 ("limb_darkened(u, 0.01, Linear(0.6))",
                  lambda x, n: fspl.limb_darkened(x, 0.01, linear, threads=n), u),
                 ("magnification_curve(t, 0, 0.1, 20, 0.01, Linear(0.6))",
                  lambda x, n: fspl.magnification_curve(x, 0.0, 0.1, 20.0, 0.01, linear, threads=n),
                  t),
                 ("magnification_curve(t, 0, 0.001, 20, 0.01, Linear(0.6)), through the source",
                  lambda x, n: fspl.magnification_curve(
                      x, 0.0, 0.001, 20.0, 0.01, linear, threads=n), crossing)]
        for name, call, x in cases:
            call(x, 2)  # the pool's threads start on first use, not in the timed rounds
            first, second = x[: size // 2], x[size // 2 :]
            single = timed(lambda: call(x, 1))
            one, two, halves = [], [], []
            # About a second of each, and never fewer than 7 rounds.
            for _ in range(3 if quick else max(7, min(101, int(1.0 / single)))):
                one.append(timed(lambda: call(x, 1)))
                two.append(timed(lambda: call(x, 2)))
                halves.append(timed(lambda: pair.both(lambda: call(first, 1),
                                                      lambda: call(second, 1))))
            ratio = statistics.median(a / b for a, b in zip(one, two))
            ceiling = statistics.median(a / b for a, b in zip(one, halves))
            lines.append(f"| `{name}` | {size:.0e} | {statistics.median(one) * 1e3:.3f} ms | "
                         f"{statistics.median(two) * 1e3:.3f} ms | {ratio:.2f} | {ceiling:.2f} |")
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
            f"One call shared with a pool thread (threads=2) on {len(os.sched_getaffinity(0))} "
            f"CPUs, load average {os.getloadavg()[0]:.2f} when the table began:", "",
            *threads(quick), "",
            f"Load average {os.getloadavg()[0]:.2f} when the table ended.", "",
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
    parser.add_argument("--threads-only", type=int, nargs="+", metavar="SIZE",
                        help="only the threads table, on these element counts: on a shared "
                             "machine, quick to repeat whenever its load is low")
    arguments = parser.parse_args(argv)
    if arguments.threads_only:
        print(f"load average {os.getloadavg()[0]:.2f}")
        print("\n".join(threads(arguments.quick, arguments.threads_only)))
        print(f"load average {os.getloadavg()[0]:.2f}")
        return
    print(run(arguments.quick)[0])


if __name__ == "__main__":
    sys.exit(main())
