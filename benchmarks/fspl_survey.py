"""lumagnis_fspl where a survey spends its time: whole-season light curves beside VBMicrolensing,
and the cost of every law by band of u/rho against the point lens on the same separations.

- Survey curves: 4000 epochs evenly over t0 +- 3 tE (tE = 20 days, t0 = 0), for rho in
  {1e-3, 1e-2, 0.05} and u0/rho in {0.3, 3}: the lens crosses or passes the source once, and
  nearly every epoch is baseline, u >> rho. Every law of the module against `ESPLLightCurve`
  (a1 = 0 for the uniform disk, 0.6 for the others), one call per curve, interleaved curve by
  curve in each repeat; the point lens on the curve's separations beside them for scale.
- Bands: rho = 0.01 and separations drawn at random (seeded) in each band of u/rho, uniformly
  where the band spans less than a decade, log-uniformly where it spans more. Every law's value
  and value with gradient=True as a multiple of `point_source` on the same separations, measured
  in the same repeats.

    PYTHONPATH=build-bench .venv-bench/bin/python benchmarks/fspl_survey.py [--quick]
"""

import gc
import math
import statistics
import sys
import time

import numpy

import lumagnis_fspl as fspl

from bench import call_order, duration, machine, ratio, script_main

try:
    import VBMicrolensing
except ImportError:
    VBMicrolensing = None

TE = 20.0
T0 = 0.0
EPOCHS = 4000
SPAN_TE = 3.0
SURVEY_RHOS = (1e-3, 1e-2, 0.05)
SURVEY_U0_OVER_RHO = (0.3, 3.0)
LINEAR_A = 0.6

BAND_RHO = 0.01
BANDS = ((0.0, 0.9), (0.9, 1.1), (1.1, 6.0), (6.0, 15.0), (15.0, 100.0), (100.0, 1e4))
BAND_POINTS = 2000

REPEATS = 7
BUDGET_NS = 40_000_000_000  # per table, for all its repeats together

# The 17 angles of a common stellar-atmosphere grid, with a four-coefficient law's intensities:
# a from_mu table of the size the modeller actually meets.
ATMOSPHERE_MU = (0.01, 0.025, 0.05, 0.075, 0.1, 0.125, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0)
NONLINEAR = (0.7, -0.6, 1.1, -0.45)
TABLE_RADII = (0.0, 0.3, 0.6, 0.8, 0.95, 1.0)


def nonlinear_intensity(mu):
    return 1.0 - sum(a * (1.0 - mu ** (k / 2)) for k, a in enumerate(NONLINEAR, start=1))


def linear_intensity(r):
    return 1.0 - LINEAR_A * (1.0 - math.sqrt(1.0 - r * r))


PROFILES = {
    "uniform": None,
    "Linear(0.6)": fspl.Linear(LINEAR_A),
    "Quadratic(0.4, 0.25)": fspl.Quadratic(0.4, 0.25),
    "SquareRoot(0.3, 0.5)": fspl.SquareRoot(0.3, 0.5),
    "Power2(0.6, 0.6)": fspl.Power2(0.6, 0.6),
    "Nonlinear(0.7, -0.6, 1.1, -0.45)": fspl.Nonlinear(*NONLINEAR),
    "Tabulated, 6 radii": fspl.Tabulated(list(TABLE_RADII), [linear_intensity(r) for r in TABLE_RADII]),
    "Tabulated.from_mu, 17 angles": fspl.Tabulated.from_mu(list(ATMOSPHERE_MU),
                                                           [nonlinear_intensity(m) for m in ATMOSPHERE_MU]),
}
# The laws held to 2x faster than the peer's same law; every other is held to no slower than a1 = 0.6.
TWICE_AS_FAST = ("uniform", "Linear(0.6)")


def magnification(profile, u, rho, gradient=False):
    if profile is None:
        return fspl.uniform(u, rho, gradient=gradient)
    return fspl.limb_darkened(u, rho, profile, gradient=gradient)


def timed_repeats(cases, contenders, repeats, quick):
    """samples[name][repeat][case]: ns of one call, every contender on every case in each repeat."""
    for case in cases:
        for evaluate in contenders.values():
            evaluate(case)  # warm-up: the peers load their tables, the caches fill
    samples = {name: [] for name in contenders}
    enabled = gc.isenabled()
    gc.disable()
    try:
        started = time.perf_counter_ns()
        orders = call_order(contenders, 20261210)
        for done in range(repeats):
            for name in contenders:
                samples[name].append([])
            for case in cases:
                for name in next(orders):
                    evaluate = contenders[name]
                    start = time.perf_counter_ns()
                    evaluate(case)
                    samples[name][-1].append(time.perf_counter_ns() - start)
            if not quick and done >= 2 and time.perf_counter_ns() - started > BUDGET_NS:
                break
    finally:
        if enabled:
            gc.enable()
    return samples


def median_ratio(samples, a, b, case):
    return statistics.median(x[case] / y[case] for x, y in zip(samples[a], samples[b]))


def median_ns(samples, name, case, points):
    return statistics.median(s[case] for s in samples[name]) / points


def survey_cases(epochs):
    t = numpy.linspace(T0 - SPAN_TE * TE, T0 + SPAN_TE * TE, epochs)
    cases = []
    for rho in SURVEY_RHOS:
        for k in SURVEY_U0_OVER_RHO:
            u0 = k * rho
            u = numpy.sqrt(u0 * u0 + ((t - T0) / TE) ** 2)
            cases.append({"rho": rho, "k": k, "u0": u0, "t": t, "t_list": t.tolist(), "u": u})
    return cases


def survey_contenders():
    contenders = {}
    for key, profile in PROFILES.items():
        contenders[key] = (lambda p: lambda c: fspl.magnification_curve(c["t"], T0, c["u0"], TE, c["rho"], p))(profile)
    contenders["point_source"] = lambda c: fspl.point_source(c["u"])
    if VBMicrolensing is not None:
        for a1 in (0.0, LINEAR_A):
            vbm = VBMicrolensing.VBMicrolensing()
            vbm.a1 = a1
            contenders[f"VBM a1 = {a1:g}"] = (lambda v: lambda c: v.ESPLLightCurve(
                [math.log(c["u0"]), math.log(TE), T0, math.log(c["rho"])], c["t_list"])[0])(vbm)
    return contenders


def peer_of(key):
    return "VBM a1 = 0" if key == "uniform" else f"VBM a1 = {LINEAR_A:g}"


def survey_table(repeats, quick):
    cases = survey_cases(200 if quick else EPOCHS)
    contenders = survey_contenders()
    samples = timed_repeats(cases, contenders, repeats, quick)
    points = len(cases[0]["t"])
    have_peers = VBMicrolensing is not None
    lines = ["| ρ | u0/ρ | point source | ESPLLightCurve a1 = 0 | a1 = 0.6 | "
             + " | ".join(f"{key}" for key in PROFILES) + " |",
             "|---|---|---:|---:|---:|" + "---:|" * len(PROFILES)]
    failures = []
    for i, case in enumerate(cases):
        cells = [f"{case['rho']:g}", f"{case['k']:g}", duration(median_ns(samples, "point_source", i, points))]
        for a1 in (0.0, LINEAR_A):
            name = f"VBM a1 = {a1:g}"
            cells.append(duration(median_ns(samples, name, i, points)) if have_peers else "n/a")
        for key in PROFILES:
            cell = duration(median_ns(samples, key, i, points))
            if have_peers:
                r = median_ratio(samples, peer_of(key), key, i)  # the peer's time over ours
                target = 2.0 if key in TWICE_AS_FAST else 1.0
                cell += f" ({r:.2f}×)" if r >= target else f" (**{r:.2f}×**)"
                if r < target:
                    failures.append((key, i))
            cells.append(cell)
        lines.append("| " + " | ".join(cells) + " |")
    if not have_peers:
        verdicts = ["- targets: n/a (VBMicrolensing not installed)"]
    else:
        verdicts = [f"- `uniform` and `Linear(0.6)` at least 2× faster than `ESPLLightCurve` (a1 = 0 and 0.6) on "
                    f"every curve, every other law no slower than a1 = 0.6: "
                    + ("met" if not failures else f"**not met** on {len(failures)} of "
                       f"{len(cases) * len(PROFILES)} law × curve cells (bold above)")]
    notes = [f"{points} epochs evenly over t0 ± {SPAN_TE:g} tE, tE = {TE:g} d, t0 = {T0:g}; one call per "
             "curve (`magnification_curve` with numpy times, `ESPLLightCurve` with a list of times and "
             "[ln u0, ln tE, t0, ln ρ]); `point_source` on the curve's separations, computed beforehand. "
             f"Time per point, medians of {len(samples['point_source'])} interleaved repeats; in parentheses "
             "the peer's time over ours (above 1: we are faster), median of the per-repeat ratios, against "
             f"a1 = 0 for the uniform disk and a1 = {LINEAR_A:g} for every other law; bold where below target."]
    return lines, verdicts, notes


def band_cases(points):
    generator = numpy.random.default_rng(20261209)
    cases = []
    for low, high in BANDS:
        if low > 0 and high / low > 10:
            x = numpy.exp(generator.uniform(math.log(low), math.log(high), points))
        else:
            x = generator.uniform(low, high, points)
        cases.append({"band": (low, high), "u": x * BAND_RHO})
    return cases


def band_table(repeats, quick):
    cases = band_cases(100 if quick else BAND_POINTS)
    contenders = {"point_source": lambda c: fspl.point_source(c["u"])}
    for key, profile in PROFILES.items():
        contenders[key] = (lambda p: lambda c: magnification(p, c["u"], BAND_RHO))(profile)
        contenders[key + " gradient"] = (lambda p: lambda c: magnification(p, c["u"], BAND_RHO, True))(profile)
    samples = timed_repeats(cases, contenders, repeats, quick)
    points = len(cases[0]["u"])
    lines = ["| u/ρ | point source | " + " | ".join(PROFILES) + " |", "|---|---:|" + "---:|" * len(PROFILES)]
    for i, case in enumerate(cases):
        low, high = case["band"]
        cells = [f"{low:g}–{high:g}", duration(median_ns(samples, "point_source", i, points))]
        for key in PROFILES:
            cells.append(f"{ratio(median_ratio(samples, key, 'point_source', i))} / "
                         f"{ratio(median_ratio(samples, key + ' gradient', 'point_source', i))}")
        lines.append("| " + " | ".join(cells) + " |")
    notes = [f"ρ = {BAND_RHO:g}; {points} separations per band, seeded, uniform in u/ρ within a band spanning "
             "less than a decade, log-uniform otherwise. Each cell: the law's value, then its value with "
             "gradient=True, as multiples of `point_source` (value only) on the same separations; medians of "
             f"the per-repeat ratios over {len(samples['point_source'])} interleaved repeats. The point source's "
             "own time per point is in the second column."]
    return lines, notes


def run(quick=False, repeats=REPEATS):
    if quick:
        repeats = 1
    header = machine()
    survey_lines, verdicts, survey_notes = survey_table(repeats, quick)
    band_lines, band_notes = band_table(repeats, quick)
    text = ["### lumagnis_fspl on survey light curves", "", f"Machine: {header}.", "", *survey_notes, "",
            *survey_lines, "", "Targets:", "", *verdicts, "",
            "#### Cost by band of u/ρ, against the point lens", "", *band_notes, "", *band_lines]
    return "\n".join(text), None


def main(argv=None):
    script_main(__doc__, run, argv, quick_help="short curves, one repeat",
                repeats_help=f"repeats (default {REPEATS})", repeats=REPEATS)


if __name__ == "__main__":
    sys.exit(main())
