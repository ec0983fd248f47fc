"""lumagnis beside the field's tools: time per point and accuracy on one fixed (u, rho) set.

The set is `points.peer_points()`: for each rho = rstar/re in {1e-3, 1e-2, 0.1, 1}, the lens at
the source centre (l = 0), on the limb (l = 1) and 62 seeded separations l in [0, 5], with
u = l*rho in Einstein radii. Accuracy is the largest relative error against the mpmath references
cached in reference_disk.json (regenerate with `.venv/bin/python benchmarks/reference_disk.py`).

The peers are installed only in the benchmark environment (benchmarks/requirements.txt); a peer
that cannot be imported is listed as unavailable.

    PYTHONPATH=build-bench .venv-bench/bin/python benchmarks/peers.py
"""

import argparse
import decimal
import math
import statistics
import sys
import time
import warnings
from dataclasses import dataclass, field

import lumagnis

import points

try:
    import VBMicrolensing
except ImportError:
    VBMicrolensing = None
try:
    import MulensModel
    import numpy
except ImportError:
    MulensModel = None

# MulensModel writes linear limb darkening as I(mu)/<I> = 1 - gamma*(1 - 1.5 mu), the total flux
# fixed by gamma. Written as 1 - a1*(1 - mu) up to a constant factor, a1 = 3 gamma/(2 + gamma), so
# gamma = 2 a1/(3 - a1) is the same law: 0.5 for a1 = 0.6.
GAMMA = 2 * points.A1 / (3 - points.A1)
BUDGET_NS = 2_000_000_000  # per method, for its repeats
LOG_TINY_U0 = math.log(1e-300)


@dataclass
class Method:
    name: str
    tool: str
    law: str  # "uniform" or "linear LD"
    computes: str
    evaluate: object  # (rho, [l], [u]) -> [float]
    values: list = field(default_factory=list)
    per_point: float = math.nan
    failures: int = 0
    raised: int = 0


def lumagnis_methods():
    bl, bf = points.midpoint_rings(100)
    return [
        Method("`witt_mao_magnification`", "lumagnis", "uniform",
               "uniform disk, closed form (E, K, Π)",
               lambda rho, ls, us: lumagnis.witt_mao_magnification(ls, 1.0, rho)),
        Method("`integrated_witt_mao_magnification`", "lumagnis", "uniform",
               "the uniform-disk value integrated as a constant under the a1 = 0.6 profile: "
               "uniform × (1 + ~7e-12), not limb-darkened",
               lambda rho, ls, us: lumagnis.integrated_witt_mao_magnification(ls, 1.0, rho)),
        Method("`integrated_heyrovsky_magnification`", "lumagnis", "linear LD",
               "ring magnification g in ∫ P(x)·π·d[x²g(x)]/dx dx / N, a1 = 0.6: "
               "its own quantity, not the classical limb-darkened magnification",
               lambda rho, ls, us: lumagnis.integrated_heyrovsky_magnification(ls, 1.0, rho)),
        Method("`discrete_flux_map_heyrovsky_magnification`", "lumagnis", "linear LD",
               "classical limb-darkened magnification as a 100-ring midpoint sum "
               "(weights P(x)·2x·Δx, summing to 1)",
               lambda rho, ls, us: lumagnis.discrete_flux_map_heyrovsky_magnification(ls, 1.0, rho, bl, bf)),
    ]


def vbm_methods():
    if VBMicrolensing is None:
        return []
    version = f"VBMicrolensing {VBMicrolensing.__version__}"

    # Each method gets one object, made here, outside the timed region: an object loads its
    # table on first use, which the untimed warm-up pass of `time_method` then pays for.
    def made(a1):
        vbm = VBMicrolensing.VBMicrolensing()
        vbm.a1 = a1
        return vbm

    def scalar(method_name, a1):
        function = getattr(made(a1), method_name)

        def evaluate(rho, ls, us):
            return [function(u, rho) for u in us]

        return evaluate

    def light_curve(a1):
        vbm = made(a1)

        # The array interface takes a trajectory, [ln u0, ln tE, t0, ln rho], and times. With
        # tE = 1, t0 = 0 and u0 = 1e-300, whose square vanishes beside t², the separation at
        # time t is |t|: the times are the points' u themselves. Only rho goes through exp(ln).
        def evaluate(rho, ls, us):
            return vbm.ESPLLightCurve([LOG_TINY_U0, 0.0, 0.0, math.log(rho)], list(us))[0]

        return evaluate

    tolerance = f"Tol = {made(0.0).Tol:g} (default)"
    return [
        Method("`ESPLMag`", version, "uniform", "uniform disk, from the precomputed table",
               scalar("ESPLMag", 0.0)),
        Method("`ESPLLightCurve`", version, "uniform",
               "uniform disk, the array interface: one call per ρ (parameters as logarithms)",
               light_curve(0.0)),
        Method("`ESPLMag2`, a1 = 0", version, "uniform", f"uniform disk; {tolerance}",
               scalar("ESPLMag2", 0.0)),
        Method("`ESPLMag2`, a1 = 0.6", version, "linear LD", f"limb-darkened; {tolerance}",
               scalar("ESPLMag2", points.A1)),
    ]


def mm_methods():
    if MulensModel is None:
        return []
    version = f"MulensModel {MulensModel.__version__}"
    pointlens = MulensModel.pointlens

    def vectorised(cls, **options):
        def evaluate(rho, ls, us):
            parameters = MulensModel.ModelParameters({"t_0": 0.0, "u_0": 0.0, "t_E": 1.0, "rho": rho})
            # Trajectory coordinates (u, 0): MulensModel's u = sqrt(x^2 + y^2) is then u exactly.
            trajectory = MulensModel.Trajectory(x=numpy.array(us), y=numpy.zeros(len(us)), parameters=parameters)
            return [float(v) for v in cls(trajectory=trajectory, **options).get_magnification()]

        return evaluate

    gamma = f"Γ = {GAMMA:g}"
    return [
        Method("`FiniteSourceUniformGould94Magnification`", version, "uniform",
               "point-lens value × B0(u/ρ), interpolated; meant for ρ ≲ 0.1",
               vectorised(pointlens.FiniteSourceUniformGould94Magnification)),
        Method("`FiniteSourceUniformGould94Magnification`, direct", version, "uniform",
               "as above, B0 computed directly", vectorised(pointlens.FiniteSourceUniformGould94Magnification, direct=True)),
        Method("`FiniteSourceUniformWittMao94Magnification`", version, "uniform",
               "uniform disk, closed form (E, K, Π)",
               vectorised(pointlens.FiniteSourceUniformWittMao94Magnification)),
        Method("`FiniteSourceUniformLee09Magnification`", version, "uniform",
               "uniform disk, 1-D quadrature", vectorised(pointlens.FiniteSourceUniformLee09Magnification)),
        Method("`FiniteSourceLDYoo04Magnification`", version, "linear LD",
               f"point-lens value × (B0 − Γ·B1), interpolated; meant for ρ ≲ 0.1; {gamma}",
               vectorised(pointlens.FiniteSourceLDYoo04Magnification, gamma=GAMMA)),
        Method("`FiniteSourceLDWittMao94Magnification`", version, "linear LD",
               f"30 uniform annuli; {gamma}",
               vectorised(pointlens.FiniteSourceLDWittMao94Magnification, gamma=GAMMA)),
        Method("`FiniteSourceLDLee09Magnification`", version, "linear LD",
               f"2-D quadrature; {gamma}", vectorised(pointlens.FiniteSourceLDLee09Magnification, gamma=GAMMA)),
    ]


def by_rho():
    groups = {}
    for rho, l, u in points.peer_points():
        groups.setdefault(rho, ([], []))
        groups[rho][0].append(l)
        groups[rho][1].append(u)
    return groups


def evaluate_group(method, rho, ls, us):
    """The values for one rho in one call, and the indices of the points the method raises on.

    When a call raises (ours raise for the whole list when one element fails), the points are
    split in halves and retried, down to single points, so only the offending ones are lost; they
    become NaN. Halving keeps the number of calls small for the tools with a large fixed cost per
    call.
    """
    try:
        return [float(v) for v in method.evaluate(rho, ls, us)], []
    except Exception:
        if len(ls) == 1:
            return [math.nan], [0]
    half = len(ls) // 2
    left, left_raised = evaluate_group(method, rho, ls[:half], us[:half])
    right, right_raised = evaluate_group(method, rho, ls[half:], us[half:])
    return left + right, left_raised + [half + i for i in right_raised]


def time_method(method, groups, repeats, quick):
    """Evaluates every point once, keeping the values for the accuracy columns, then times whole
    passes over the points the method does not raise on, one call per rho, as often as the time
    budget allows; time per point is the median pass over the number of points it covers."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rho, (ls, us) = next(iter(groups.items()))
        evaluate_group(method, rho, ls, us)  # warm-up: tables the tools load on first use
        method.values, passes = [], []
        for rho, (ls, us) in groups.items():
            values, raised = evaluate_group(method, rho, ls, us)
            method.values += values
            method.raised += len(raised)
            keep = [i for i in range(len(ls)) if i not in raised]
            passes.append((rho, [ls[i] for i in keep], [us[i] for i in keep]))
        count = sum(len(ls) for _, ls, _ in passes)

        def one_pass():
            start = time.perf_counter_ns()
            for rho, ls, us in passes:
                method.evaluate(rho, ls, us)
            return time.perf_counter_ns() - start

        samples = [one_pass()]
        extra = 0 if quick else min(repeats - 1, BUDGET_NS // max(samples[0], 1))
        samples += [one_pass() for _ in range(extra)]
    method.per_point = statistics.median(samples) / count
    method.failures = sum(1 for v in method.values if not math.isfinite(v))


def failure_note(method, rows):
    """Where a method raised or returned a non-finite value, compactly."""
    bad = [(row["rho"], row["l"]) for value, row in zip(method.values, rows) if not math.isfinite(value)]
    if not bad:
        return None
    what = "raises or returns NaN/inf" if method.raised else "returns NaN/inf"
    separations = sorted({l for _, l in bad})
    if all(sum(1 for _, l in bad if l == s) == len(points.RHOS) for s in separations):
        where = ", ".join(f"l = {s:g}" for s in separations) + ", for every ρ"
    else:
        where = ", ".join(f"(ρ = {rho:g}, l = {l:.6g})" for rho, l in bad[:8])
        if len(bad) > 8:
            where += f" and {len(bad) - 8} more"
    return f"{method.name} ({method.tool}) {what} at {where}."


def errors(method, references, key):
    """Relative errors per point (None where the method gave no finite value), exact in decimal."""
    with decimal.localcontext() as context:
        context.prec = 40
        out = []
        for value, row in zip(method.values, references):
            if not math.isfinite(value):
                out.append(None)
                continue
            reference = decimal.Decimal(row[key])
            out.append(float(abs(decimal.Decimal(value) - reference) / reference))
        return out


def worst(errs, rows, rho=None):
    """The largest error, over all points or those of one rho; the point is named for the
    overall figure."""
    chosen = [(e, row) for e, row in zip(errs, rows) if rho is None or row["rho"] == rho]
    finite = [(e, row) for e, row in chosen if e is not None]
    missing = len(chosen) - len(finite)
    if not finite:
        return "no finite value"
    e, row = max(finite, key=lambda item: item[0])
    text = f"{e:.1e}" if e > 0 else "0"
    if rho is None:
        text += f" (ρ = {row['rho']:g}, l = {row['l']:.6g})"
    if missing:
        text += f"; {missing} non-finite"
    return text


def duration(ns):
    # Switch units where three significant digits would round up to 1000 (999.7 µs is 1 ms).
    for scale, suffix in ((1e6, "ms"), (1e3, "µs")):
        if ns >= 0.9995 * scale:
            return f"{ns / scale:.3g} {suffix}"
    return f"{ns:.3g} ns"


def run(repeats=5, quick=False):
    reference = points.load_references()
    groups = by_rho()
    methods = lumagnis_methods() + vbm_methods() + mm_methods()
    for method in methods:
        time_method(method, groups, repeats, quick)
    rows = reference["points"] if reference else None

    lines = ["| method | tool | brightness | what it computes | time per point | "
             "largest rel. error, uniform disk | largest rel. difference from linear-LD (a1 = 0.6) |",
             "|---|---|---|---|---:|---|---|"]
    per_rho = ["| method | tool | " + " | ".join(f"ρ = {rho:g}" for rho in points.RHOS) + " |",
               "|---|---|" + "---|" * len(points.RHOS)]
    for method in methods:
        key = "uniform" if method.law == "uniform" else "linear_ld"
        if rows is None:
            cell, by = "no reference", ["n/a"] * len(points.RHOS)
        else:
            errs = errors(method, rows, key)
            cell = worst(errs, rows)
            by = [worst(errs, rows, rho) for rho in points.RHOS]
        uniform_cell, ld_cell = (cell, "—") if key == "uniform" else ("—", cell)
        lines.append(f"| {method.name} | {method.tool} | {method.law} | {method.computes} | "
                     f"{duration(method.per_point)} | {uniform_cell} | {ld_cell} |")
        per_rho.append(f"| {method.name} | {method.tool} | " + " | ".join(by) + " |")

    conventions = [f"lumagnis from `{lumagnis.__file__}`"]
    if VBMicrolensing is None:
        conventions.append("VBMicrolensing not installed")
    else:
        conventions.append("VBMicrolensing takes (u, ρ) and its linear law as I(μ) ∝ 1 − a1(1 − μ)")
    if MulensModel is None:
        conventions.append("MulensModel not installed")
    else:
        conventions.append(f"MulensModel takes its linear law as I(μ)/⟨I⟩ = 1 − Γ(1 − 1.5μ); Γ = {GAMMA:g}, "
                           f"which its own `Utils.gamma_to_u` maps to a1 = {MulensModel.Utils.gamma_to_u(GAMMA):g}")
    count = sum(len(ls) for ls, _ in groups.values())
    if reference:
        checks = ", ".join(f"{key} {value:.0e}" for key, value in reference["cross_check"].items())
        ref_note = (f"mpmath {reference['mpmath']} references (uniform at {reference['uniform_digits']} "
                    f"digits, linear LD at {reference['linear_ld_digits']}), cross-checked against "
                    f"independent quadratures (largest relative differences: {checks})")
    else:
        ref_note = "nothing: the reference cache is missing or stale (run `.venv/bin/python benchmarks/reference_disk.py`)"
    notes = [
        f"{count} points: for each ρ ∈ {{{', '.join(f'{r:g}' for r in points.RHOS)}}}, l = 0, l = 1 "
        f"and {points.PEER_DRAWS} seeded l in [0, {points.L_MAX:g}]; u = l·ρ. Ours get l, re = 1, "
        "rstar = ρ; the peers get (u, ρ). Time per point: the median of whole passes over the set "
        "(one call per ρ for the vectorised APIs, VBMicrolensing's `ESPLLightCurve` included, one "
        "Python call per point for its other methods, each of which uses one object made before "
        "timing), "
        "divided by the number of points; points where a method raises are left out of its timing.",
        f"Errors are relative to {ref_note}. Uniform rows are compared with the uniform disk, "
        "limb-darkened rows with the classical linear-LD magnification, I(μ) ∝ 1 − 0.6(1 − μ). "
        "For lumagnis' integrated ring form that column is the difference between two different "
        "quantities, not an error.",
        "; ".join(conventions) + ".",
    ]
    failures = [note for note in (failure_note(m, rows) for m in methods) if note] if rows else []
    text = "\n".join(["### Beside the field's tools", "", *notes, "", *lines, "",
                      "Largest relative error per ρ (against the reference of the row's brightness law):", "",
                      *per_rho, "", *(f"- {note}" for note in failures)])
    return text, methods


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="one pass per method")
    arguments = parser.parse_args(argv)
    text, _ = run(arguments.repeats, arguments.quick)
    print(text)


if __name__ == "__main__":
    sys.exit(main())
