"""The examples a user copies: the README's code, examples/light_curve.py,
examples/fit_gradient.py and examples/dask_batch.py. The limb-darkened ring sum is checked against an independent
mpmath integral of the point-lens magnification over the disk."""

import functools
import importlib.util
import os
import re
import subprocess
import sys

import mpmath
import numpy as np
import pytest

import lumagnis

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(REPOSITORY, "examples")
RHO = 0.01
COEFFICIENT = 0.6


def readme_example(name):
    """The Python block that follows the marker `<!-- README example: name -->`."""
    with open(os.path.join(REPOSITORY, "README.md"), encoding="utf-8") as readme:
        text = readme.read()
    match = re.search(
        rf"<!-- README example: {re.escape(name)} -->\s*```python\n(.*?)```", text, re.DOTALL
    )
    assert match, f"README has no example {name!r}"
    return match[1]


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(EXAMPLES, f"{name}.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@functools.cache
def limb_darkened_reference(l):
    """Flux-weighted mean of the point-lens magnification over a disk of radius rho with
    linear limb darkening: a 2-D mpmath integral in polar coordinates about the source
    centre, split at the lens's radius, where the integrand is singular."""
    with mpmath.workdps(15):
        rho, gamma, l = mpmath.mpf(RHO), mpmath.mpf(COEFFICIENT), mpmath.mpf(l)

        def intensity(r):
            return 1 - gamma * (1 - mpmath.sqrt(1 - r * r))

        def point_lens(u):
            return (u * u + 2) / (u * mpmath.sqrt(u * u + 4))

        def ring(r):
            # Distance from the lens written without cancellation near the lens.
            distance = lambda phi: mpmath.sqrt((r - l) ** 2 + 4 * r * l * mpmath.sin(phi / 2) ** 2)  # noqa: E731
            return r * intensity(r) * mpmath.quad(lambda phi: point_lens(rho * distance(phi)), [0, mpmath.pi])

        split = [0, l, 1] if 0 < l < 1 else [0, 1]
        flux = mpmath.quad(lambda r: r * intensity(r) * mpmath.pi, [0, 1])
        return float(mpmath.quad(ring, split) / flux)


@pytest.fixture(scope="module")
def readme_limb_darkening():
    namespace = {}
    exec(readme_example("limb darkening"), namespace)  # noqa: S102 - the README's own code
    return namespace["limb_darkened_magnification"]


# (separation, rings, largest relative error). Inside the source the ring sum converges like
# 1/n because of the logarithmic peak of the ring magnification at r = l; outside it
# converges fast.
ACCURACY = [
    (0.5, 64, 1e-2),
    (0.5, 256, 2.5e-3),
    (1.5, 16, 1e-5),
    (1.5, 64, 2e-7),
]


@pytest.mark.parametrize(("l", "rings", "tolerance"), ACCURACY)
def test_readme_ring_sum_is_the_limb_darkened_magnification(readme_limb_darkening, l, rings, tolerance):
    (value,) = readme_limb_darkening([l], 1.0, RHO, coefficient=COEFFICIENT, rings=rings)
    assert abs(value / limb_darkened_reference(l) - 1) < tolerance


def test_readme_ring_sum_error_falls_like_one_over_the_ring_count(readme_limb_darkening):
    reference = limb_darkened_reference(0.5)
    errors = [abs(readme_limb_darkening([0.5], 1.0, RHO, rings=n)[0] / reference - 1) for n in (64, 256)]
    assert 3 < errors[0] / errors[1] < 5.5


def test_readme_states_the_mpmath_values_it_compares_with(capsys):
    code = readme_example("limb darkening")
    exec(code, {})  # noqa: S102
    printed = eval(capsys.readouterr().out)  # noqa: S307 - the list the example prints
    stated = [float(v) for v in re.search(r"# mpmath.*: ([\d.]+), ([\d.]+)", code).groups()]
    for value, claim, l in zip(printed, stated, (0.5, 1.5), strict=True):
        reference = limb_darkened_reference(l)
        assert abs(claim / reference - 1) < 1e-9
        assert abs(value / reference - 1) < 2.5e-3


def test_readme_quick_start_prints_what_its_comments_say(capsys):
    code = readme_example("quick start")
    exec(code, {})  # noqa: S102
    printed = capsys.readouterr().out.splitlines()
    claimed = re.findall(r"print\(.*\)\s+# (.*)", code)
    assert printed == claimed


@pytest.fixture(scope="module")
def light_curve():
    return load_example("light_curve")


def test_light_curve_shapes_the_peak_as_a_finite_source_does(light_curve):
    t = np.array([-0.4, -0.2, 0.0, 0.06, 0.4])
    curves, seconds = light_curve.compute(t)
    assert set(seconds) == set(curves)
    assert all(values.shape == t.shape for values in curves.values())
    point, disk = curves[light_curve.POINT], curves[light_curve.UNIFORM]
    darkened, table = curves[light_curve.LIMB_DARKENED], curves[light_curve.TABLE]
    centre = 2  # the lens inside the source, at u = 0.4 rho
    # A finite source flattens the peak; limb darkening brings the light, and so the
    # magnification, back towards the centre, where the lens is; the tabulated law darkens more.
    assert disk[centre] < darkened[centre] < table[centre] < point[centre]
    # Far from the source every model tends to the point source.
    for model in (disk, darkened, table):
        assert abs(model[0] / point[0] - 1) < 0.05 and abs(model[-1] / point[-1] - 1) < 0.05
    # The demo's limb-darkened curve is the magnification of an independent mpmath integral.
    assert abs(light_curve.separation(t)[3] / light_curve.RHO - 0.5) < 1e-12
    assert abs(darkened[3] / limb_darkened_reference(0.5) - 1) < 1e-9
    # The integrated Witt-Mao forms return the uniform-disk value, to about 1e-11.
    np.testing.assert_allclose(curves["integrated Witt-Mao"], disk, rtol=1e-10)
    np.testing.assert_allclose(curves["integrated flux-map Witt-Mao"], disk, rtol=1e-10)


def test_light_curve_demo_writes_its_figures_and_table(tmp_path):
    output = tmp_path / "light_curve.png"
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(lumagnis.__file__))
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "light_curve.py"), str(output)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600, env=environment,
    )
    assert result.returncode == 0, result.stderr
    for figure in (output, tmp_path / "light_curve_integrated.png"):
        assert figure.read_bytes().startswith(b"\x89PNG")
    assert "Linear(a=0.6)" in result.stdout and "integrated flux-map Heyrovsky" in result.stdout


@pytest.fixture(scope="module")
def fit_gradient():
    return load_example("fit_gradient")


def test_fit_with_the_gradient_finds_exact_data_parameters(fit_gradient):
    t, observed, sigma = fit_gradient.synthetic_event(noise=0.0)
    result = fit_gradient.fit(t, observed, sigma)
    assert result.success
    np.testing.assert_allclose(result.x, fit_gradient.TRUTH, rtol=1e-7)


# Seed 2's path evaluates a point at u = (1 - 7.9e-7) rho, just inside the limb, where a node of
# the source integral can land on the ring through the lens.
@pytest.mark.parametrize("seed", [2, 3])
def test_fit_with_the_gradient_recovers_a_noisy_event_in_fewer_light_curves(fit_gradient, seed):
    t, observed, sigma = fit_gradient.synthetic_event(seed)
    exact = fit_gradient.fit(t, observed, sigma)
    differenced = fit_gradient.fit(t, observed, sigma, gradient=False)
    errors = fit_gradient.uncertainties(exact)
    assert np.all(np.abs(exact.x - fit_gradient.TRUTH) < 4 * errors), (exact.x, errors)
    assert np.all(errors < [1e-3, 1e-4, 0.05, 1e-4, 0.05])  # the data constrain every parameter
    # Both reach the same optimum; the exact Jacobian gets there computing fewer light curves.
    assert abs(differenced.cost / exact.cost - 1) < 1e-8
    assert fit_gradient.evaluations(exact, True) < fit_gradient.evaluations(differenced, False)


@pytest.fixture
def dask_batch(monkeypatch):
    # Worker processes are spawned: they find the example, like lumagnis, on sys.path.
    monkeypatch.syspath_prepend(EXAMPLES)
    import dask_batch

    return dask_batch


def test_dask_batch_gives_each_event_its_own_light_curve_in_order(dask_batch):
    times = np.linspace(-1.0, 1.0, 41)
    events = dask_batch.events(7, seed=3)
    curves = dask_batch.light_curves(times, events, chunk=3, scheduler="processes", num_workers=2)
    radii, weights = dask_batch.rings()
    for (t0, te, u0, rho), curve in zip(events, curves, strict=True):
        l = np.sqrt(u0 * u0 + ((times - t0) / te) ** 2) / rho
        expected = lumagnis.discrete_flux_map_heyrovsky_magnification(l, 1.0, rho, radii, weights)
        assert curve.tolist() == expected


def readme_python_blocks():
    with open(os.path.join(REPOSITORY, "README.md"), encoding="utf-8") as readme:
        return re.findall(r"```python\n(.*?)```", readme.read(), re.DOTALL)


@pytest.mark.parametrize("index", range(len(readme_python_blocks())))
def test_every_readme_python_block_runs_as_written(tmp_path, index):
    """Each block as a script of its own, with only its own imports; the examples directory is
    on the path, as the cluster recipe says. Where a print states its output, that is what it
    prints."""
    code = readme_python_blocks()[index]
    script = tmp_path / "block.py"
    script.write_text(code)
    path = [os.path.dirname(lumagnis.__file__), EXAMPLES]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    result = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
        timeout=600, env=environment,
    )
    assert result.returncode == 0, result.stderr
    claimed = re.findall(r"^[ \t]*print\(.*\)[ \t]+# (.*)$", code, re.MULTILINE)
    if claimed:
        assert result.stdout.splitlines() == claimed


def test_dask_cluster_of_two_worker_processes_gives_the_serial_result_bit_for_bit(dask_batch):
    from dask.distributed import Client, LocalCluster

    times = np.linspace(-1.5, 1.5, 61)
    events = dask_batch.events(12, seed=5)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        parallel = dask_batch.light_curves(times, events, chunk=3, scheduler=None)
        workers = len(client.scheduler_info()["workers"])
    serial = dask_batch.chunk_of_curves(times, events, *dask_batch.rings())
    assert workers == 2
    assert parallel.shape == serial.shape and parallel.tobytes() == serial.tobytes()
