"""Per-function timings of lumagnis on fixed, seeded inputs.

Every figure is the median of several repeats, and comes with two ratios measured in the same run
on the same inputs:

- against the plain scalar path, `lumagnis_testing.scalar_<function>` (same signature as the
  public function), when the test-only module provides it; its outputs are also compared with
  ours bit for bit;
- against a fixed cheap baseline that always exists: a Python loop calling `math.hypot` once per
  unit of work (per call, element or separation). It moves with the interpreter and the machine,
  not with lumagnis, so the ratio is comparable between runs on different machines.

Run with the extension importable, e.g. PYTHONPATH=build-bench:
    python benchmarks/bench.py [--quick] [--repeats N]
"""

import argparse
import gc
import math
import os
import pathlib
import platform
import random
import statistics
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field

import lumagnis

import points

try:
    import lumagnis_testing
except ImportError:  # the installed module ships without the test-only one
    lumagnis_testing = None


def plain_path(name):
    """The straightforward scalar implementation of `name`, or None where it is not exposed."""
    return getattr(lumagnis_testing, "scalar_" + name, None)


@dataclass
class Case:
    """One timed workload for one rho: `run(function)` does `units` units of work."""

    rho: float
    units: int
    run: object


@dataclass
class Row:
    function: str
    workload: str
    unit: str
    cases: list
    target: str = ""
    # Checks the row's figures against its target: (ns per unit, speed-up over the plain path,
    # rows by key) -> True, False, or None when the figure it needs is missing.
    check: object = None
    key: str = ""
    ours: float = math.nan  # ns per unit, over all cases
    plain: float = math.nan
    speedup: float = math.nan  # plain path time over ours
    hypot_ratio: float = math.nan  # ours over the math.hypot loop
    per_rho: dict = field(default_factory=dict)
    bits: str = "n/a"


@dataclass
class Sizes:
    calls: int  # single heyrovsky_magnification calls per rho
    elements: int  # separations per rho for the list-in, list-out uniform disk
    integrated_disk: int  # separations per rho for the integrated uniform-disk forms
    integrated_ring: int  # separations per rho for the integrated ring forms
    discrete: int  # separations per rho for the ring sum
    rings: int  # rings in the discrete flux map
    repeats: int


FULL = Sizes(calls=2500, elements=2500, integrated_disk=500, integrated_ring=25, discrete=100,
             rings=100, repeats=11)
QUICK = Sizes(calls=20, elements=20, integrated_disk=4, integrated_ring=1, discrete=2, rings=10,
              repeats=1)

# A run of one workload is repeated until about this much time is spent on it (at least three
# repeats outside --quick), so slow workloads keep the whole benchmark within minutes.
BUDGET_NS = 1_500_000_000


def list_case(rho, ls, extra=()):
    def run(function):
        return function(ls, 1.0, rho, *extra)

    return Case(rho, len(ls), run)


def scalar_case(rho, pairs):
    def run(function):
        return [function(l, r, 1.0, rho) for l, r in pairs]

    return Case(rho, len(pairs), run)


def hypot_loop(case, pairs):
    """The cheap baseline for `case`: one math.hypot call per unit, in a Python loop."""
    hypot = math.hypot
    values = pairs[: case.units]

    def run():
        for a, b in values:
            hypot(a, b)

    return run


def build_rows(sizes):
    rhos = points.RHOS
    bl100, bf100 = points.sampled_profile(100)
    bl10k, bf10k = points.sampled_profile(10_000)
    rings = points.sampled_profile(sizes.rings)

    def per_rho(purpose, count, extra=()):
        return [list_case(rho, points.separations(purpose, rho, count), extra) for rho in rhos]

    single = [
        scalar_case(rho, list(zip(points.separations("single", rho, sizes.calls),
                                  points.ring_radii("single", rho, sizes.calls))))
        for rho in rhos
    ]
    discrete = per_rho("discrete", sizes.discrete, rings)
    for case in discrete:
        case.units *= sizes.rings  # per ring per separation

    def at_most(limit):
        return lambda ours, speedup, rows: ours <= limit

    def heyrovsky_target(ours, speedup, rows):
        if not ours <= 80_000:
            return False
        return None if math.isnan(speedup) else speedup >= 4.0

    def relative_to(key, factor):
        return lambda ours, speedup, rows: ours <= factor * rows[key].ours

    return [
        Row("integrated_heyrovsky_magnification", "l in [0, 5]", "separation",
            per_rho("integrated", sizes.integrated_ring),
            "≤ 80 µs and ≥ 4× plain", heyrovsky_target, key="ring"),
        Row("integrated_flux_map_heyrovsky_magnification", "100-entry map, same l", "separation",
            per_rho("integrated", sizes.integrated_ring, (bl100, bf100)),
            "≤ 1.2× integrated_heyrovsky", relative_to("ring", 1.2), key="map100"),
        Row("integrated_flux_map_heyrovsky_magnification", "10,000-entry map, same l", "separation",
            per_rho("integrated", sizes.integrated_ring, (bl10k, bf10k)),
            "≤ 1.2× the 100-entry map", relative_to("map100", 1.2)),
        Row("witt_mao_magnification", "list in, list out", "element",
            per_rho("elements", sizes.elements), "≤ 120 ns", at_most(120)),
        Row("integrated_witt_mao_magnification", "l in [0, 5]", "separation",
            per_rho("integrated_disk", sizes.integrated_disk), "≤ 1 µs", at_most(1000)),
        Row("integrated_flux_map_witt_mao_magnification", "100-entry map", "separation",
            per_rho("integrated_disk", sizes.integrated_disk, (bl100, bf100))),
        Row("discrete_flux_map_heyrovsky_magnification", f"{sizes.rings} rings", "ring × separation",
            discrete, "≤ 90 ns", at_most(90)),
        Row("heyrovsky_magnification", "one call from Python", "call", single,
            "≤ 300 ns incl. call", at_most(300)),
    ]


def same_bits(a, b):
    """Whether two outcomes (float, list of floats or exception) are identical to the bit."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and a.args == b.args
    if isinstance(a, float):
        a, b = [a], [b]
    return len(a) == len(b) and all(struct.pack("<d", x) == struct.pack("<d", y) for x, y in zip(a, b))


def outcome(run, function):
    try:
        return run(function)
    except Exception as error:  # a numeric failure is an outcome to compare, not a crash
        return error


def timed(run):
    start = time.perf_counter_ns()
    run()
    return time.perf_counter_ns() - start


def measure_row(row, repeats, quick):
    """Times ours, the plain path and the baseline on every case of the row.

    One repeat is a pass over every case (rho) with the contenders interleaved, so a change of
    machine load hits all of them alike. Absolute figures add up each case's median; ratios are
    medians of the per-repeat ratios, which cancel most of the load that the machine's other
    users add to one repeat.
    """
    ours = getattr(lumagnis, row.function)
    plain = plain_path(row.function)
    contenders = []  # per case: name -> zero-argument callable
    identical = plain is not None
    for case in row.cases:
        pairs = [(float(i), case.rho) for i in range(case.units)]
        named = {"ours": lambda c=case: c.run(ours), "hypot": hypot_loop(case, pairs)}
        if plain is not None:
            named["plain"] = lambda c=case: c.run(plain)
            identical &= same_bits(outcome(case.run, ours), outcome(case.run, plain))
        contenders.append(named)
    first = sum(timed(run) for named in contenders for run in named.values())  # warm-up
    if not quick:
        repeats = max(3, min(repeats, BUDGET_NS // max(first, 1)))
    samples = [{name: [] for name in named} for named in contenders]
    for _ in range(repeats):
        for named, times in zip(contenders, samples):
            for name, run in named.items():
                times[name].append(timed(run))

    def total(name, i):
        return sum(times[name][i] for times in samples)

    def per_unit(name):
        return sum(statistics.median(times[name]) for times in samples) / units

    units = sum(case.units for case in row.cases)
    row.ours = per_unit("ours")
    row.hypot_ratio = statistics.median(total("ours", i) / total("hypot", i) for i in range(repeats))
    for case, times in zip(row.cases, samples):
        row.per_rho[case.rho] = (statistics.median(times["ours"]) / case.units,
                                 statistics.median(times["plain"]) / case.units if plain else math.nan)
    if plain is not None:
        row.plain = per_unit("plain")
        row.speedup = statistics.median(total("plain", i) / total("ours", i) for i in range(repeats))
        row.bits = "identical" if identical else "**differ**"


def call_order(names, seed):
    """A fresh seeded order of the contenders for every pass over a case. A call made just
    after another tool's (whose working set has displaced ours from the caches) pays for the
    refill; a fixed or merely rotated order would charge that to the same contender every time,
    since rotating keeps each one's predecessor."""
    generator = random.Random(seed)
    while True:
        order = list(names)
        generator.shuffle(order)
        yield order


def duration(ns):
    if math.isnan(ns):
        return "n/a"
    # Switch units where three significant digits would round up to 1000 (999.7 µs is 1 ms).
    for scale, suffix in ((1e6, "ms"), (1e3, "µs")):
        if ns >= 0.9995 * scale:
            return f"{ns / scale:.3g} {suffix}"
    return f"{ns:.3g} ns"


def ratio(value):
    if math.isnan(value):
        return "n/a"
    return f"{value:.3g}×" if value < 1000 else f"{value / 1000:.3g}k×"


def verdict(row, rows):
    if row.check is None:
        return "—"
    met = row.check(row.ours, row.speedup, rows)
    return {True: "yes", False: "**no**", None: "n/a"}[met]


def source_tree():
    """The commit the measured module was built from, marked -dirty when files differed."""
    try:
        described = subprocess.run(["git", "describe", "--always", "--dirty"], capture_output=True,
                                   text=True, timeout=10, cwd=pathlib.Path(__file__).parent)
    except OSError:
        return "unknown"
    return described.stdout.strip() or "unknown"


def machine():
    model, flags = platform.processor() or "unknown CPU", ""
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags"):
                    flags = line
                    break
    except OSError:
        pass
    avx2 = "AVX2" if " avx2" in flags else "no AVX2"
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"{model}, {os.cpu_count()} logical CPUs, {avx2}; Python {platform.python_version()}; "
            f"load average at start {load}; source tree {source_tree()}")


def table(rows, sizes):
    by_key = {row.key: row for row in rows if row.key}
    lines = [
        "| function | workload | per | lumagnis | plain scalar path | speed-up vs plain | "
        "÷ `math.hypot` loop | bits vs plain | target | met |",
        "|---|---|---|---:|---:|---:|---:|---|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| `{row.function}` | {row.workload} | {row.unit} | {duration(row.ours)} | "
            f"{duration(row.plain)} | {ratio(row.speedup)} | {ratio(row.hypot_ratio)} | "
            f"{row.bits} | {row.target or '—'} | {verdict(row, by_key)} |")
    lines += ["", "Per source size ρ = rstar/re, lumagnis (plain scalar path) per unit:", "",
              "| function | workload | " + " | ".join(f"ρ = {rho:g}" for rho in points.RHOS) + " |",
              "|---|---|" + "---:|" * len(points.RHOS)]
    for row in rows:
        cells = []
        for rho in points.RHOS:
            ours, plain = row.per_rho[rho]
            cells.append(duration(ours) + ("" if math.isnan(plain) else f" ({duration(plain)})"))
        lines.append(f"| `{row.function}` | {row.workload} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run(quick=False, repeats=None):
    sizes = QUICK if quick else FULL
    repeats = repeats or sizes.repeats
    header = machine()
    rows = build_rows(sizes)
    enabled = gc.isenabled()
    gc.disable()
    try:
        for row in rows:
            measure_row(row, repeats, quick)
    finally:
        if enabled:
            gc.enable()
    plain_note = ("plain scalar path from `lumagnis_testing`" if plain_path(rows[0].function)
                  else "plain scalar path not exposed by this build (`lumagnis_testing.scalar_*`): n/a")
    notes = [
        f"Machine: {header}.",
        f"Inputs: l uniform in [0, {points.L_MAX:g}] (seeded), ρ ∈ {{{', '.join(f'{r:g}' for r in points.RHOS)}}}, "
        f"re = 1, rstar = ρ; medians of up to {repeats} interleaved repeats, ratios as medians of the per-repeat ratios; {plain_note}.",
        "Times are per unit of work (the `per` column), with the Python call and list conversion "
        "included; `÷ math.hypot loop` divides by one `math.hypot` call in a Python loop, per unit, "
        "measured alongside.",
    ]
    return "\n".join(["### lumagnis, per function", "", *notes, "", table(rows, sizes)]), rows


def script_main(doc, run, argv=None, quick_help="tiny workloads, one repeat (smoke test)",
                repeats_help="repeats per workload (default 11, 1 with --quick)", repeats=None):
    """A benchmark script's command line: --quick and --repeats, then run(quick, repeats)'s text."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--repeats", type=int, default=repeats, help=repeats_help)
    arguments = parser.parse_args(argv)
    text, _ = run(arguments.quick, arguments.repeats)
    print(text)


def main(argv=None):
    script_main(__doc__, run, argv)


if __name__ == "__main__":
    sys.exit(main())
