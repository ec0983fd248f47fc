"""lumagnis_fspl on a modeller's light curves, beside VBMicrolensing: time per point, accuracy
against mpmath, and what the gradient and the derivatives in the law's coefficients cost.

The curves: for rho in {1e-3, 1e-2, 0.1, 1} (Einstein radii), u0 = 0.3 rho, tE = 20 days,
t0 = 0 and 2000 times numpy.linspace(-tau_max, tau_max, 2000) * tE + t0, tau_max =
sqrt((5 rho)^2 - u0^2): u/rho runs from 5 down to 0.3 and back, so the lens crosses the limb
twice and passes near the centre. Every contender computes all four curves in each repeat, the
contenders interleaved, so a change of the machine's load hits them alike; ratios are medians of
the per-repeat ratios of the totals over the four curves.

The references are benchmarks/fspl_curve_reference.json (written by
tools/gen_fspl_references.py: the mpmath magnification at every 20th time of each curve, for the
uniform disk and the linear law with a = 0.6).

    PYTHONPATH=build-bench .venv-bench/bin/python benchmarks/fspl_bench.py [--quick]
"""

import decimal
import gc
import json
import math
import pathlib
import statistics
import sys
import time
from dataclasses import dataclass, field

import numpy

import lumagnis_fspl as fspl

from bench import call_order, duration, machine, ratio, script_main

try:
    import VBMicrolensing
except ImportError:
    VBMicrolensing = None

REFERENCE_FILE = pathlib.Path(__file__).with_name("fspl_curve_reference.json")

CURVE_RHOS = (1e-3, 1e-2, 0.1, 1.0)
U0_OVER_RHO = 0.3
SPAN_OVER_RHO = 5.0
TE = 20.0
T0 = 0.0
TIMES = 2000

# The linear law of the comparison, intensity 1 - a (1 - mu): VBMicrolensing's a1 is this a.
LINEAR_A = 0.6

REPEATS = 15
BUDGET_NS = 60_000_000_000  # for all the repeats of the timing loop together

# The profiles timed on the same curves: the coefficients are those of the reference grid, so the
# accuracy table and the speed table speak of the same laws.
PROFILES = {
    "uniform": None,
    "Linear(0.6)": fspl.Linear(LINEAR_A),
    "Quadratic(0.4, 0.25)": fspl.Quadratic(0.4, 0.25),
    "SquareRoot(0.3, 0.5)": fspl.SquareRoot(0.3, 0.5),
    "Power2(0.7, 0.6)": fspl.Power2(0.7, 0.6),
    "Tabulated, 5 radii": fspl.Tabulated([0.0, 0.3, 0.6, 0.85, 1.0], [1.0, 0.95, 0.8, 0.55, 0.3]),
    "Nonlinear(0.7, -0.6, 1.1, -0.45)": fspl.Nonlinear(0.7, -0.6, 1.1, -0.45),
    "Tabulated in μ, 6 samples": fspl.Tabulated.from_mu([0.05, 0.15, 0.3, 0.5, 0.75, 1.0],
                                                         [0.394, 0.479, 0.598, 0.738, 0.884, 1.0]),
}
# The profiles the references cover, by the name the reference file gives them.
REFERENCE_NAMES = {"uniform": "Uniform", "Linear(0.6)": "Linear"}


def curve_times(rho):
    """u0 and the 2000 times of the curve of source radius rho (computed exactly as the reference
    generator computes them, so that the reference times are these doubles)."""
    u0 = U0_OVER_RHO * rho
    tau_max = math.sqrt((SPAN_OVER_RHO * rho) ** 2 - u0**2)
    return u0, numpy.linspace(-tau_max, tau_max, TIMES) * TE + T0


@dataclass
class Curve:
    rho: float
    u0: float
    t: numpy.ndarray
    t_list: list  # the same times, for the peers' list interfaces
    u: list  # the separations, for the per-point peers


def curves(count=TIMES):
    out = []
    for rho in CURVE_RHOS:
        u0, t = curve_times(rho)
        if count < TIMES:
            t = t[:: TIMES // count]
        u = numpy.sqrt(u0 * u0 + ((t - T0) / TE) ** 2)
        out.append(Curve(rho, u0, t, t.tolist(), u.tolist()))
    return out


@dataclass
class Contender:
    """One way to compute the four curves: `evaluate(curve)` gives the curve's magnifications."""

    name: str
    tool: str
    law: str  # the profile key of PROFILES whose quantity it computes
    evaluate: object
    samples: list = field(default_factory=list)  # per repeat, per curve: ns
    values: list = field(default_factory=list)  # per curve
    points: int = TIMES  # per curve

    def per_point(self, curve_index=None):
        """Median time per point over the repeats, of one curve; of the four together, the sum of
        the four medians, which a repeat slowed by the machine's other users does not move."""
        if curve_index is None:
            return sum(self.per_point(i) for i in range(len(CURVE_RHOS))) / len(CURVE_RHOS)
        return statistics.median(s[curve_index] for s in self.samples) / self.points

    def ratio_to(self, other, curve_index=None):
        def part(samples):
            return sum(samples) if curve_index is None else samples[curve_index]

        return statistics.median(part(a) / part(b) for a, b in zip(self.samples, other.samples))


def ours(profile, gradient=False, coefficients=False):
    def evaluate(curve):
        return fspl.magnification_curve(curve.t, T0, curve.u0, TE, curve.rho, profile, gradient=gradient,
                                        coefficients=coefficients)

    return evaluate


def finite_difference(profile):
    """The value and its four derivatives by central differences: the value and two more light
    curves per parameter, nine in all. The steps are relative; only the cost matters here."""

    def evaluate(curve):
        base = {"t0": T0, "u0": curve.u0, "tE": TE, "rho": curve.rho}
        # Each step moves u by about 1e-6 rho at most, small beside the curve's features.
        steps = {"t0": 1e-6 * curve.rho * TE, "u0": 1e-6 * curve.u0, "tE": 1e-6 * TE, "rho": 1e-6 * curve.rho}
        value = fspl.magnification_curve(curve.t, T0, curve.u0, TE, curve.rho, profile)
        slopes = []
        for name, h in steps.items():
            up, down = dict(base), dict(base)
            up[name] += h
            down[name] -= h
            a = fspl.magnification_curve(curve.t, up["t0"], up["u0"], up["tE"], up["rho"], profile)
            b = fspl.magnification_curve(curve.t, down["t0"], down["u0"], down["tE"], down["rho"], profile)
            slopes.append((a - b) / (2 * h))
        return value, *slopes

    return evaluate


def peer_contenders():
    """VBMicrolensing's array interface and its per-point calls, each with one object made here,
    outside the timed region, and its table loaded by the untimed warm-up evaluation."""
    if VBMicrolensing is None:
        return []
    tool = f"VBMicrolensing {VBMicrolensing.__version__}"

    def made(a1):
        vbm = VBMicrolensing.VBMicrolensing()
        vbm.a1 = a1
        return vbm

    def light_curve(a1):
        vbm = made(a1)
        log_te = math.log(TE)

        def evaluate(curve):
            # Its parameters are [ln u0, ln tE, t0, ln rho]; the times go as the list it takes.
            return vbm.ESPLLightCurve([math.log(curve.u0), log_te, T0, math.log(curve.rho)], curve.t_list)[0]

        return evaluate

    def per_point(method, a1):
        function = getattr(made(a1), method)

        def evaluate(curve):
            rho = curve.rho
            return [function(u, rho) for u in curve.u]

        return evaluate

    return [
        Contender("`ESPLLightCurve`, a1 = 0", tool, "uniform", light_curve(0.0)),
        Contender(f"`ESPLLightCurve`, a1 = {LINEAR_A:g}", tool, "Linear(0.6)", light_curve(LINEAR_A)),
        Contender("`ESPLMag`, per point", tool, "uniform", per_point("ESPLMag", 0.0)),
        Contender("`ESPLMag2`, a1 = 0, per point", tool, "uniform", per_point("ESPLMag2", 0.0)),
        Contender(f"`ESPLMag2`, a1 = {LINEAR_A:g}, per point", tool, "Linear(0.6)",
                  per_point("ESPLMag2", LINEAR_A)),
    ]


def our_contenders():
    value = [Contender(f"`magnification_curve`, {key}", "lumagnis_fspl", key, ours(profile))
             for key, profile in PROFILES.items()]
    gradient = [Contender(f"`magnification_curve`, {key}, gradient=True", "lumagnis_fspl", key,
                          ours(profile, gradient=True)) for key, profile in PROFILES.items()]
    differences = [Contender(f"central differences, {key}", "lumagnis_fspl", key, finite_difference(profile))
                   for key, profile in PROFILES.items()]
    coefficients = [Contender(f"`magnification_curve`, {key}, gradient=True, coefficients=True", "lumagnis_fspl",
                              key, ours(profile, gradient=True, coefficients=True))
                    for key, profile in PROFILES.items() if profile is not None]
    return value, gradient, differences, coefficients


def measure(contenders, the_curves, repeats, quick):
    """Evaluates every contender once (the values, and the warm-up that loads the peers'
    tables), then times repeats in which each curve is computed by every contender in turn."""
    for contender in contenders:
        contender.values = [contender.evaluate(curve) for curve in the_curves]
        contender.points = len(the_curves[0].t)
    enabled = gc.isenabled()
    gc.disable()
    try:
        started = time.perf_counter_ns()
        orders = call_order(contenders, 20261210)
        for done in range(repeats):
            for contender in contenders:
                contender.samples.append([])
            for index, curve in enumerate(the_curves):
                for contender in next(orders):
                    start = time.perf_counter_ns()
                    contender.evaluate(curve)
                    contender.samples[-1].append(time.perf_counter_ns() - start)
            if not quick and done >= 2 and time.perf_counter_ns() - started > BUDGET_NS:
                break
    finally:
        if enabled:
            gc.enable()


def load_references():
    """The reference file's curves by (profile key, rho), or None when it is missing or was made
    for other times than these."""
    if not REFERENCE_FILE.exists():
        return None
    document = json.loads(REFERENCE_FILE.read_text())
    keys = {name: key for key, name in REFERENCE_NAMES.items()}
    references = {}
    for curve in document["curves"]:
        rho = curve["rho"]
        u0, t = curve_times(rho)
        if curve["u0"] != u0 or any(float(t[i]) != when for i, when in zip(curve["index"], curve["t"])):
            return None
        if curve["profile"] == "Linear" and curve["params"] != [LINEAR_A]:
            return None
        references[(keys[curve["profile"]], rho)] = (curve["index"], curve["A"])
    return references


def largest_error(values, reference):
    """The largest relative error at the reference points, and how many of them are not finite.
    The difference is taken in decimal from the exact double, so the reference's digits count."""
    indices, exact = reference
    worst, missing = 0.0, 0
    with decimal.localcontext() as context:
        context.prec = 40
        for i, text in zip(indices, exact):
            value = float(values[i])
            if not math.isfinite(value):
                missing += 1
                continue
            truth = decimal.Decimal(text)
            worst = max(worst, float(abs(decimal.Decimal(value) - truth) / truth))
    return worst, missing


def error_cell(worst, missing):
    text = f"{worst:.1e}"
    return text + (f"; {missing} non-finite" if missing else "")


def speed_table(value, peers):
    """Our value rows and the peers' rows: time per point over the four curves and per curve, and
    our time as a ratio of each peer's of the same law, measured in the same repeats."""
    by_name = {p.name: p for p in peers}
    curve_peer = {"uniform": "`ESPLLightCurve`, a1 = 0"}
    point_peer = {"uniform": "`ESPLMag2`, a1 = 0, per point"}
    ld = f"`ESPLLightCurve`, a1 = {LINEAR_A:g}"
    ld_point = f"`ESPLMag2`, a1 = {LINEAR_A:g}, per point"
    header = ("| method | tool | per point, four curves | "
              + " | ".join(f"ρ = {rho:g}" for rho in CURVE_RHOS)
              + f" | ÷ `ESPLLightCurve` (a1 = 0 for uniform, {LINEAR_A:g} otherwise) | ÷ `ESPLMag2` per point (same) |")
    lines = [header, "|---|---|---:|" + "---:|" * len(CURVE_RHOS) + "---:|---:|"]
    for contender in value + peers:
        cells = [duration(contender.per_point(i)) for i in range(len(CURVE_RHOS))]
        ratios = ["—", "—"]
        if contender.tool == "lumagnis_fspl":
            for column, names in enumerate(((curve_peer, ld), (point_peer, ld_point))):
                peer = by_name.get(names[0].get(contender.law, names[1]))
                if peer is not None:
                    per_curve = ", ".join(f"{contender.ratio_to(peer, i):.2g}" for i in range(len(CURVE_RHOS)))
                    ratios[column] = f"{ratio(contender.ratio_to(peer))} ({per_curve})"
        lines.append(f"| {contender.name} | {contender.tool} | {duration(contender.per_point())} | "
                     + " | ".join(cells) + f" | {ratios[0]} | {ratios[1]} |")
    return lines


def accuracy_table(contenders, references):
    lines = ["| method | tool | " + " | ".join(f"ρ = {rho:g}" for rho in CURVE_RHOS) + " |",
             "|---|---|" + "---|" * len(CURVE_RHOS)]
    for contender in contenders:
        if contender.law not in REFERENCE_NAMES:
            continue
        cells = []
        for curve_values, rho in zip(contender.values, CURVE_RHOS):
            reference = references.get((contender.law, rho)) if references else None
            cells.append("no reference" if reference is None else error_cell(*largest_error(curve_values, reference)))
        law = "uniform disk" if contender.law == "uniform" else f"linear, a = {LINEAR_A:g}"
        lines.append(f"| {contender.name} | {contender.tool}, {law} | " + " | ".join(cells) + " |")
    return lines


def gradient_table(value, gradient, differences):
    lines = ["| profile | value | value + gradient | ÷ value | ÷ value, per ρ | central differences "
             "(9 curves) | value + gradient ÷ central differences | target: ≤ 3× value | met |",
             "|---|---:|---:|---:|---|---:|---:|---|---|"]
    verdicts = []
    for v, g, d in zip(value, gradient, differences):
        cost = g.ratio_to(v)
        per_rho = ", ".join(f"{g.ratio_to(v, i):.2g}" for i in range(len(CURVE_RHOS)))
        met = cost <= 3.0
        verdicts.append(met)
        lines.append(f"| {v.law} | {duration(v.per_point())} | {duration(g.per_point())} | {ratio(cost)} | "
                     f"{per_rho} | {duration(d.per_point())} | {ratio(g.ratio_to(d))} | ≤ 3× | "
                     f"{'yes' if met else '**no**'} |")
    return lines, verdicts


def coefficient_table(gradient, coefficients):
    """What the derivatives in the coefficients add to gradient=True, from the same repeats."""
    lines = ["| profile | value + gradient | with the coefficients too | ÷ value + gradient | per ρ | "
             "target: ≤ 1.5× | met |", "|---|---:|---:|---:|---|---|---|"]
    verdicts = []
    by_law = {g.law: g for g in gradient}
    for c in coefficients:
        g = by_law[c.law]
        cost = c.ratio_to(g)
        per_rho = ", ".join(f"{c.ratio_to(g, i):.2g}" for i in range(len(CURVE_RHOS)))
        met = cost <= 1.5
        verdicts.append(met)
        lines.append(f"| {c.law} | {duration(g.per_point())} | {duration(c.per_point())} | {ratio(cost)} | "
                     f"{per_rho} | ≤ 1.5× | {'yes' if met else '**no**'} |")
    return lines, verdicts


def gradient_agreement(the_curves, gradient, differences):
    """The largest relative difference between the exact derivatives and the central differences,
    over the points where the difference quotient is itself trustworthy: away from the limb,
    where the derivative has a logarithmic singularity that a step of 1e-6 straddles."""
    worst = 0.0
    for g, d in zip(gradient, differences):
        for curve, exact, approximate in zip(the_curves, g.values, d.values):
            u = numpy.sqrt(curve.u0**2 + ((curve.t - T0) / TE) ** 2)
            away = numpy.abs(u / curve.rho - 1) > 1e-2
            for e, a in zip(exact[1:], approximate[1:]):
                scale = numpy.maximum(numpy.abs(e[away]), 1e-3 * numpy.max(numpy.abs(e[away])))
                worst = max(worst, float(numpy.max(numpy.abs(e[away] - a[away]) / scale)))
    return worst


def verdict(met):
    return "met" if met else "**not met**"


def run(quick=False, repeats=REPEATS):
    if quick:
        repeats = 1
    header = machine()
    the_curves = curves(count=100 if quick else TIMES)
    peers = peer_contenders()
    value, gradient, differences, coefficients = our_contenders()
    everything = value + peers + gradient + differences + coefficients
    measure(everything, the_curves, repeats, quick)
    references = None if quick else load_references()

    by_name = {c.name: c for c in everything}
    verdicts = []
    for key, peer_name in (("uniform", "`ESPLLightCurve`, a1 = 0"),
                           ("Linear(0.6)", f"`ESPLLightCurve`, a1 = {LINEAR_A:g}")):
        ours_row = by_name[f"`magnification_curve`, {key}"]
        peer = by_name.get(peer_name)
        if peer is None:
            verdicts.append(f"- `magnification_curve`, {key} no slower than {peer_name}: n/a (VBMicrolensing "
                            "not installed)")
            continue
        r = ours_row.ratio_to(peer)
        verdicts.append(f"- `magnification_curve`, {key} no slower than {peer_name}, total over the four "
                        f"curves: {duration(ours_row.per_point())} against {duration(peer.per_point())} per "
                        f"point, ratio {r:.2f}: {verdict(r <= 1.0)}")
        # Per curve, as the peer's time over ours: the curves differ in where the time goes.
        speedups = [1.0 / ours_row.ratio_to(peer, i) for i in range(len(CURVE_RHOS))]
        verdicts.append(f"- `magnification_curve`, {key} at least 2× faster than {peer_name} on every curve "
                        f"(ρ = {', '.join(f'{rho:g}' for rho in CURVE_RHOS)}): "
                        f"{', '.join(f'{x:.2f}×' for x in speedups)}: {verdict(min(speedups) >= 2.0)}")
    gradient_lines, gradient_met = gradient_table(value, gradient, differences)
    verdicts.append(f"- value + gradient ≤ 3× the value, total over the four curves: "
                    f"{verdict(all(gradient_met))} ({sum(gradient_met)} of {len(gradient_met)} profiles within it)")
    coefficient_lines, coefficient_met = coefficient_table(gradient, coefficients)
    verdicts.append(f"- with the coefficients' derivatives ≤ 1.5× value + gradient, total over the four curves: "
                    f"{verdict(all(coefficient_met))} ({sum(coefficient_met)} of {len(coefficient_met)} profiles "
                    "within it)")

    repeats_done = len(value[0].samples)
    notes = [
        f"Machine: {header}.",
        f"Light curves: for each ρ ∈ {{{', '.join(f'{r:g}' for r in CURVE_RHOS)}}}, u0 = {U0_OVER_RHO:g}ρ, "
        f"tE = {TE:g} d, t0 = {T0:g}, {len(the_curves[0].t)} times spanning u/ρ from {SPAN_OVER_RHO:g} down to "
        f"{U0_OVER_RHO:g} and back. One call per curve for `magnification_curve` (numpy times) and "
        "`ESPLLightCurve` (a list of times, its parameters [ln u0, ln tE, t0, ln ρ]), one Python call per "
        "point for `ESPLMag` and `ESPLMag2` (Tol = its default); every peer object is made, and its table "
        "loaded, before timing.",
        f"Medians of {repeats_done} repeats, every contender on every curve in each repeat, interleaved; "
        "ratios are medians of the per-repeat ratios (over the four curves together, and per ρ in "
        "parentheses).",
    ]
    text = ["### lumagnis_fspl: light curves beside VBMicrolensing", "", *notes, "",
            *speed_table(value, peers), "", "Targets:", "", *verdicts, ""]
    if references is None:
        text += ["Accuracy: " + ("not measured in a smoke run." if quick else
                                 f"no reference for these curves ({REFERENCE_FILE.name} missing or stale; "
                                 "run tools/gen_fspl_references.py)."), ""]
    else:
        text += ["Largest relative error against the mpmath references (every 20th time of each curve, "
                 f"{TIMES // 20} points per curve):", "",
                 *accuracy_table(value + peers, references), ""]
    text += ["#### The gradient", "",
             "`magnification_curve(..., gradient=True)` returns A and its derivatives in t0, u0, tE and ρ; "
             "central differences compute the value and two more curves per parameter. Time per point of "
             "the light curve; ratios as above, from the same repeats.", "",
             *gradient_lines, "",
             f"The exact derivatives agree with those central differences (steps moving u by about 1e-6 ρ) to "
             f"{gradient_agreement(the_curves, gradient, differences):.0e} relative, away from the limb (|u/ρ − 1| > 1e-2).",
             "", "#### The derivatives in the coefficients", "",
             "`magnification_curve(..., gradient=True, coefficients=True)` adds dA/dp for every coefficient of "
             "the law (every intensity sample of a table), from the same uniform disks as the value. Time per "
             "point; ratios to gradient=True alone, from the same repeats.", "",
             *coefficient_lines]
    return "\n".join(text), everything


def main(argv=None):
    script_main(__doc__, run, argv, quick_help="short curves, one repeat",
                repeats_help=f"repeats (default {REPEATS})", repeats=REPEATS)


if __name__ == "__main__":
    sys.exit(main())
