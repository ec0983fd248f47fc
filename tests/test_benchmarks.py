"""The benchmark scripts: they run, their bit comparison catches a differing path, and the
mpmath references they measure accuracy against are the quantities they claim to be."""

import math
import os
import pathlib
import subprocess
import sys

import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))

import bench  # noqa: E402
import points  # noqa: E402

import mpmath  # noqa: E402
import reference_disk  # noqa: E402


def test_quick_run_prints_both_tables_without_the_peers(tmp_path):
    output = tmp_path / "results.md"
    process = subprocess.run(
        [sys.executable, str(BENCHMARKS / "run.py"), "--quick", "--output", str(output)],
        capture_output=True, text=True, timeout=300,
        env=dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p)))
    assert process.returncode == 0, process.stderr
    for name in ("integrated_heyrovsky_magnification", "witt_mao_magnification",
                 "heyrovsky_magnification", "discrete_flux_map_heyrovsky_magnification",
                 "10,000-entry map", "Beside the field's tools",
                 "lumagnis_fspl: light curves", "gradient=True", "lumagnis_fspl at its boundary",
                 "lumagnis_fspl on survey light curves", "Cost by band of u/ρ",
                 "lumagnis_fspl.jax against the numpy call"):
        assert name in process.stdout
    assert not output.exists()  # a smoke run is not a measurement and is not saved


@pytest.mark.parametrize(
    "a, b, same",
    [
        (1.0, 1.0, True),
        (0.0, -0.0, False),
        (math.nan, math.nan, True),
        ([1.0, 2.0], [1.0, 2.0], True),
        ([1.0, 2.0], [1.0, math.nextafter(2.0, 3.0)], False),
        ([1.0], [1.0, 1.0], False),
        (RuntimeError("ellippi: n must be below 1"), RuntimeError("ellippi: n must be below 1"), True),
        (RuntimeError("ellippi: n must be below 1"), RuntimeError("ellipk: m must be below 1"), False),
        (RuntimeError("x"), 1.0, False),
    ],
)
def test_bit_comparison(a, b, same):
    assert bench.same_bits(a, b) is same


@pytest.mark.parametrize("perturb, verdict", [(False, "identical"), (True, "**differ**")])
def test_plain_path_column_reports_bit_identity(monkeypatch, perturb, verdict):
    import lumagnis

    def stand_in(name):
        public = getattr(lumagnis, name)
        if not perturb:
            return public
        if name == "heyrovsky_magnification":
            return lambda *args: math.nextafter(public(*args), math.inf)
        return lambda *args: [math.nextafter(v, math.inf) for v in public(*args)]

    monkeypatch.setattr(bench, "plain_path", stand_in)
    _, rows = bench.run(quick=True)
    assert {row.bits for row in rows} == {verdict}
    assert all(math.isfinite(row.plain) and row.speedup > 0 for row in rows)


def point_lens(u):
    return (u * u + 2) / (u * mpmath.sqrt(u * u + 4))


@pytest.mark.parametrize(
    "u, rho, expected, tolerance",
    [
        # Lens at the centre: sqrt(rho^2 + 4)/rho exactly.
        (0, 0.5, lambda: mpmath.sqrt(mpmath.mpf(0.5) ** 2 + 4) / mpmath.mpf(0.5), 1e-35),
        (0, 1e-3, lambda: mpmath.sqrt(mpmath.mpf(1e-3) ** 2 + 4) / mpmath.mpf(1e-3), 1e-35),
        # On the limb with rho = 1: (pi + 2)/pi.
        (1, 1, lambda: (mpmath.pi + 2) / mpmath.pi, 1e-35),
        # u = 1.5, rho = 0.5, to the ten digits published for this case.
        (1.5, 0.5, lambda: mpmath.mpf("1.1436850376"), 1e-10),
    ],
)
def test_uniform_disk_reference_at_known_values(u, rho, expected, tolerance):
    with mpmath.workdps(40):
        assert abs(reference_disk.uniform_disk(u, rho) / expected() - 1) < tolerance


@pytest.mark.parametrize("rho", [1e-4, 1e-3])
@pytest.mark.parametrize("u", [0.05, 1.0, 3.0])
def test_small_sources_approach_the_point_lens(u, rho):
    # The disk mean exceeds the point value by about rho^2/8 times the Laplacian of A(u).
    with mpmath.workdps(30):
        for reference in (reference_disk.uniform_disk(u, rho), reference_disk.linear_ld_disk(u, rho)):
            assert 0 < reference / point_lens(mpmath.mpf(u)) - 1 < 10 * rho**2 / u**2


@pytest.mark.parametrize("u, r", [(0.3, 0.0), (0.3, 0.2999), (2.0, 0.7), (0.01, 3.0)])
def test_ring_reference_against_its_angular_integral(u, r):
    with mpmath.workdps(30):
        assert abs(reference_disk.ring(u, r) / reference_disk.ring_by_angle(u, r) - 1) < 1e-25


def test_cache_matches_the_point_set_and_its_formulas():
    data = points.load_references()
    assert data is not None, "stale cache: run .venv/bin/python benchmarks/reference_disk.py"
    rows = data["points"]
    # Spot checks: the lens on the limb, at the centre, and the last draw of the largest source.
    chosen = [rows[1], rows[64], rows[-1]]
    for row in chosen:
        with mpmath.workdps(40):
            uniform = reference_disk.uniform_disk(row["u"], row["rho"])
            assert abs(uniform / mpmath.mpf(row["uniform"]) - 1) < 1e-24
    with mpmath.workdps(30):
        row = rows[-1]
        assert abs(reference_disk.linear_ld_disk(row["u"], row["rho"]) / mpmath.mpf(row["linear_ld"]) - 1) < 1e-20


import peers  # noqa: E402


@pytest.mark.parametrize("bad", [[], [0], [5], [6], [2, 3], [0, 6], list(range(7))])
def test_a_raising_point_costs_only_itself(bad):
    ls = [float(i) for i in range(7)]
    calls = []

    def evaluate(rho, l_values, u_values):
        calls.append(len(l_values))
        if any(int(l) in bad for l in l_values):
            raise ValueError("math domain error")
        return [10 * l for l in l_values]

    method = peers.Method("m", "tool", "uniform", "", evaluate)
    values, raised = peers.evaluate_group(method, 0.1, ls, [0.1 * l for l in ls])
    assert raised == bad
    for i, value in enumerate(values):
        assert (math.isnan(value) if i in bad else value == 10 * i)
    if len(bad) == 1:
        assert len(calls) <= 2 * 3 + 1  # halving, not one call per point


@pytest.mark.parametrize(
    "value, reference, expected",
    [
        (1.5, "1.5", 0.0),
        (math.nextafter(1.0, 2.0), "1", 2.0**-52),
        # The double nearest 0.1 is 0.1000000000000000055511151231257827...
        (0.1, "0.1", 5.551115123125783e-17),
        (math.nan, "1", None),
        (math.inf, "1", None),
    ],
)
def test_errors_are_exact_against_the_decimal_reference(value, reference, expected):
    method = peers.Method("m", "tool", "uniform", "", None, values=[value])
    (error,) = peers.errors(method, [{"uniform": reference}], "uniform")
    if expected is None:
        assert error is None
    else:
        assert error == pytest.approx(expected, rel=1e-12, abs=0)


def targets():
    return {row.function + " " + row.workload: row for row in bench.build_rows(bench.QUICK)}


@pytest.mark.parametrize(
    "row, ours, speedup, verdict",
    [
        ("integrated_heyrovsky_magnification l in [0, 5]", 70_000, 4.2, True),
        ("integrated_heyrovsky_magnification l in [0, 5]", 70_000, 3.6, False),
        ("integrated_heyrovsky_magnification l in [0, 5]", 85_000, 5.0, False),
        ("integrated_heyrovsky_magnification l in [0, 5]", 70_000, math.nan, None),
        ("witt_mao_magnification list in, list out", 120, math.nan, True),
        ("witt_mao_magnification list in, list out", 121, math.nan, False),
        ("heyrovsky_magnification one call from Python", 299, 0.5, True),
    ],
)
def test_target_verdicts(row, ours, speedup, verdict):
    assert targets()[row].check(ours, speedup, {}) is verdict


def test_flux_map_targets_are_relative_to_their_baseline_row():
    rows = targets()
    by_key = {row.key: row for row in rows.values() if row.key}
    by_key["ring"].ours, by_key["map100"].ours = 100_000, 130_000
    map100 = rows["integrated_flux_map_heyrovsky_magnification 100-entry map, same l"]
    map10k = rows["integrated_flux_map_heyrovsky_magnification 10,000-entry map, same l"]
    assert map100.check(120_000, math.nan, by_key) is True
    assert map100.check(121_000, math.nan, by_key) is False
    assert map10k.check(156_000, math.nan, by_key) is True
    assert map10k.check(157_000, math.nan, by_key) is False


def test_inputs_are_the_same_in_every_process():
    code = "import points; print(points.separations('peers', 0.1, 3), points.ring_radii('single', 1.0, 2))"
    outputs = {
        subprocess.run([sys.executable, "-c", code], cwd=BENCHMARKS, capture_output=True, text=True,
                       env={"PYTHONHASHSEED": seed, "PATH": "/usr/bin:/bin"}).stdout
        for seed in ("0", "1", "12345")
    }
    assert len(outputs) == 1
    assert str(points.separations("peers", 0.1, 3)) in outputs.pop()


def test_midpoint_rings_give_the_classical_limb_darkened_magnification():
    # Away from the source (l >= 1.5) the ring magnification is smooth in the radius, so the
    # 100-ring midpoint sum must agree with the mpmath reference to the rule's O(dx^2) error,
    # about 1e-5; a wrong profile or normalisation is off by 1e-3 or more.
    import lumagnis

    data = points.load_references()
    assert data is not None
    bl, bf = points.midpoint_rings(100)
    for rho in points.RHOS:
        rows = [row for row in data["points"] if row["rho"] == rho and row["l"] >= 1.5]
        values = lumagnis.discrete_flux_map_heyrovsky_magnification([row["l"] for row in rows], 1.0, rho, bl, bf)
        for value, row in zip(values, rows):
            assert value == pytest.approx(float(row["linear_ld"]), rel=3e-5)


def test_fspl_bench_measures_errors_on_the_stored_reference_curves():
    import fspl_bench

    references = fspl_bench.load_references()
    # The bench's times are the very doubles the references were computed for.
    assert references is not None
    assert set(references) == {(key, rho) for key in fspl_bench.REFERENCE_NAMES for rho in fspl_bench.CURVE_RHOS}
    indices, exact = references[("uniform", 0.1)]
    values = [math.nan] * fspl_bench.TIMES
    for i, text in zip(indices, exact):
        values[i] = float(text) * (1 + 3e-12)
    values[indices[5]] = math.inf
    worst, missing = fspl_bench.largest_error(values, (indices, exact))
    assert abs(worst - 3e-12) < 1e-15 and missing == 1
