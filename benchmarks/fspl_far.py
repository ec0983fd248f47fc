"""lumagnis_fspl far from the source: time per point of every law at u >= 4 rho, as a ratio
to point_source on the same separations.

For rho = 0.01 and u / rho drawn uniformly from [4, 10], [10, 15], [15, 100] and [100, 1e4]
(the first band the series' for every law but the uniform disk, whose closed form serves there
and which the targets do not cover), each law is
timed with the value alone and with gradient=True, on one array of separations; point_source
(value only) on the same array is the baseline. The contenders are interleaved in every round,
so a change of the machine's load hits them alike (and the clock is the thread's CPU time); each ratio is the median over the rounds of
the per-round ratios. Targets: 3x with the value, 6x with gradient=True.

    PYTHONPATH=build .venv/bin/python benchmarks/fspl_far.py [--quick]
"""

import argparse
import statistics
import sys
import time

import numpy

import lumagnis_fspl as fspl

from bench import duration, machine, ratio

RHO = 0.01
REGIONS = ((4.0, 10.0), (10.0, 15.0), (15.0, 100.0), (100.0, 1e4))
TARGETS_FROM = 10.0  # the targets hold from u = 10 rho on
POINTS = 20_000
ROUNDS = 9
VALUE_TARGET = 3.0
GRADIENT_TARGET = 6.0

LAWS = {
    "uniform": None,
    "Linear(0.6)": fspl.Linear(0.6),
    "Quadratic(0.4, 0.25)": fspl.Quadratic(0.4, 0.25),
    "SquareRoot(0.2, 0.6)": fspl.SquareRoot(0.2, 0.6),
    "Power2(0.6, 0.6)": fspl.Power2(0.6, 0.6),
    "Power2(0.6, 0.01)": fspl.Power2(0.6, 0.01),
    "Nonlinear(0.5, -0.2, 0.6, -0.3)": fspl.Nonlinear(0.5, -0.2, 0.6, -0.3),
    "Tabulated, 6 radii": fspl.Tabulated(
        [0.0, 0.2, 0.4, 0.6, 0.8, 1.0], [1.0, 0.98, 0.93, 0.85, 0.7, 0.4]
    ),
    "Tabulated.from_mu, 17 angles": fspl.Tabulated.from_mu(
        numpy.linspace(0.0, 1.0, 17), 0.3 + 0.7 * numpy.linspace(0.0, 1.0, 17) ** 0.5
    ),
}


def timed(call):
    # The thread's CPU time: on a machine shared with other work, the time the call was
    # actually run, which a wall clock would mix with the others' turns.
    start = time.thread_time_ns()
    call()
    return time.thread_time_ns() - start


def measure(u, rounds):
    """Per law: (ns per point with the value, ratio to point_source, the same with gradient)."""
    calls = {"point_source": lambda: fspl.point_source(u)}
    for name, law in LAWS.items():
        calls[(name, False)] = lambda law=law: fspl.limb_darkened(u, RHO, law)
        calls[(name, True)] = lambda law=law: fspl.limb_darkened(u, RHO, law, gradient=True)
    for call in calls.values():  # warm-up
        call()
    samples = {key: [] for key in calls}
    for _ in range(rounds):
        for key, call in calls.items():
            samples[key].append(timed(call))
    base = samples["point_source"]
    out = {}
    for name in LAWS:
        value = statistics.median(t / b for t, b in zip(samples[(name, False)], base))
        gradient = statistics.median(t / b for t, b in zip(samples[(name, True)], base))
        ns = statistics.median(samples[(name, False)]) / len(u)
        out[name] = (ns, value, gradient)
    return statistics.median(base) / len(u), out


def run(quick=False):
    points = 2000 if quick else POINTS
    rounds = 2 if quick else ROUNDS
    rng = numpy.random.default_rng(2024)
    text = [
        "### lumagnis_fspl in the far field (u >= 4 rho)",
        "",
        f"rho = {RHO}, {points} random u per region, medians of {rounds} interleaved rounds; "
        f"ratios to point_source on the same u (targets: {VALUE_TARGET:g}× with the value, "
        f"{GRADIENT_TARGET:g}× with gradient=True, from u = {TARGETS_FROM:g} rho). {machine()}",
        "",
    ]
    results = []
    for lo, hi in REGIONS:
        u = RHO * rng.uniform(lo, hi, points)
        results.append(measure(u, rounds))
    header = "| law | " + " | ".join(f"u/ρ {lo:g}–{hi:g}: value, gradient" for lo, hi in REGIONS)
    text += [header + " |", "|---" * (len(REGIONS) + 1) + "|"]
    base_row = "| point_source ns/pt | " + " | ".join(duration(b) for b, _ in results) + " |"
    for name in LAWS:
        cells = []
        for (lo, _), (_, out) in zip(REGIONS, results):
            ns, value, gradient = out[name]
            met = value <= VALUE_TARGET and gradient <= GRADIENT_TARGET
            flag = "" if met or lo < TARGETS_FROM else " **over**"
            cells.append(f"{ratio(value)}, {ratio(gradient)} ({duration(ns)}/pt){flag}")
        text.append(f"| {name} | " + " | ".join(cells) + " |")
    text.append(base_row)
    return "\n".join(text), results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    arguments = parser.parse_args(argv)
    text, _ = run(quick=arguments.quick)
    print(text)


if __name__ == "__main__":
    sys.exit(main())
