"""lumagnis_fspl.jax: the numpy module's values and exact derivatives, bit for bit, under jit,
vmap, grad, jacfwd and jacrev, in the data and in the laws' coefficients; a first-order check
against JAX's own differences; the rules for 32-bit mode and second derivatives; a short NUTS
run."""

import importlib.util
import os
import pathlib

import numpy as np
import pytest

from conftest import run_python

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"

jax = pytest.importorskip("jax")
import jax.numpy as jnp  # noqa: E402
from jax.test_util import check_grads  # noqa: E402

import lumagnis_fspl as fspl  # noqa: E402
import lumagnis_fspl.jax as lj  # noqa: E402

SANITIZED = bool(os.environ.get("LUMAGNIS_SANITIZED"))


@pytest.fixture(scope="module", autouse=True)
def x64():
    previous = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", True)
    yield
    jax.config.update("jax_enable_x64", previous)


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.int64)


def separations(rho, n=200, seed=0):
    """Random separations over the whole domain, with the adversarial ones: the centre, the
    limb and its neighbours, the far field, infinity and NaN."""
    rng = np.random.default_rng(seed)
    random = rho * np.exp(rng.uniform(np.log(1e-3), np.log(1e3), n))
    limb = rho * np.array([1 - 1e-9, 1.0, 1 + 1e-9, 1 - 1e-6, 1 + 1e-6])
    return np.concatenate([[0.0, np.inf, np.nan], limb, random])


# (name, numpy function, door function, profile given to the door): fixed profiles, and
# profiles of the door with coefficients as traced arguments.
CASES = [
    ("point_source", lambda u, rho: fspl.point_source(u, gradient=True),
     lambda u, rho: lj.point_source(u)),
    ("uniform", lambda u, rho: fspl.uniform(u, rho, gradient=True), lj.uniform),
    ("linear_fixed", lambda u, rho: fspl.limb_darkened(u, rho, fspl.Linear(0.6), gradient=True),
     lambda u, rho: lj.limb_darkened(u, rho, fspl.Linear(0.6))),
    ("quadratic_traced",
     lambda u, rho: fspl.limb_darkened(u, rho, fspl.Quadratic(0.4, 0.25), gradient=True),
     lambda u, rho: lj.limb_darkened(u, rho, lj.Quadratic(jnp.float64(0.4), jnp.float64(0.25)))),
    ("tabulated",
     lambda u, rho: fspl.limb_darkened(
         u, rho, fspl.Tabulated([0.0, 0.5, 1.0], [1.0, 0.8, 0.3]), gradient=True),
     lambda u, rho: lj.limb_darkened(u, rho, fspl.Tabulated([0.0, 0.5, 1.0], [1.0, 0.8, 0.3]))),
]


@pytest.mark.parametrize("rho", [1e-4, 0.1, 30.0])
@pytest.mark.parametrize("name, numpy_function, door", CASES, ids=[c[0] for c in CASES])
def test_values_and_derivatives_are_the_numpy_modules_bit_for_bit(name, numpy_function, door, rho):
    u = separations(rho)
    rhos = np.full_like(u, rho)
    value, *slopes = numpy_function(u, rhos)
    assert np.array_equal(bits(jax.jit(door)(u, rhos)), bits(value))
    # The per-element derivatives, from reverse mode (one cotangent of 1 per element).
    argnums = (0,) if name == "point_source" else (0, 1)
    gradients = jax.jit(jax.vmap(jax.grad(door, argnums=argnums)))(u, rhos)
    finite = np.isfinite(u)
    for gradient, slope in zip(gradients, slopes):
        assert np.array_equal(bits(gradient)[finite], bits(slope)[finite])


@pytest.mark.parametrize("argnum", [0, 1, 2, 3, 4], ids=["t", "t0", "u0", "tE", "rho"])
@pytest.mark.parametrize("jacobian", [jax.jacfwd, jax.jacrev], ids=["jacfwd", "jacrev"])
def test_light_curve_jacobians_are_the_exact_derivatives(jacobian, argnum):
    rng = np.random.default_rng(argnum)
    t = np.concatenate([[0.1], rng.uniform(-0.5, 0.7, 60)])
    arguments = [jnp.asarray(t), 0.1, -0.004, 20.0, 0.01]
    if argnum == 0:
        arguments[0] = jnp.asarray(t[:8])  # a square Jacobian, kept small

    def curve(*p):
        return lj.magnification_curve(*p, lj.Linear(0.6))

    columns = jax.jit(jacobian(curve, argnums=argnum))(*arguments)
    value, *slopes = fspl.magnification_curve(*arguments, fspl.Linear(0.6), gradient=True)
    if argnum == 0:
        # d/dt along the trajectory is -d/dt0, on the diagonal.
        assert np.array_equal(bits(np.diag(columns)), bits(-slopes[0]))
        assert np.count_nonzero(columns - np.diag(np.diag(columns))) == 0
    else:
        assert np.array_equal(bits(columns), bits(slopes[argnum - 1]))
    assert np.array_equal(bits(jax.jit(curve)(*arguments)), bits(value))


@pytest.fixture(params=["primitive", "host_callback"])
def route(request, monkeypatch):
    """The two ways onto the host: the module's own primitive (with the pinned JAX it must be
    there, or every call pays the slow crossing) and the public host callback it falls back
    to."""
    assert lj._HOST is not None
    if request.param == "host_callback":
        monkeypatch.setattr(lj, "_HOST", None)


@pytest.mark.usefixtures("route")
def test_nested_vmap_on_any_axis_and_over_coefficients():
    rng = np.random.default_rng(7)
    u = rng.uniform(0.0, 0.3, (3, 4, 5))
    rho = rng.uniform(0.01, 0.2, 4)
    profile = fspl.Quadratic(0.4, 0.25)
    expected = fspl.limb_darkened(u, rho[None, :, None], profile)
    # The outer map takes the middle axis of u with rho, the inner one the last axis of u.
    inner = jax.vmap(lambda v, r: lj.limb_darkened(v, r, profile), in_axes=(1, None), out_axes=1)
    outer = jax.vmap(inner, in_axes=(1, 0), out_axes=1)
    assert np.array_equal(bits(jax.jit(outer)(u, rho)), bits(expected))
    # A batch of traced coefficients: one native call per profile, each its own bits.
    a = jnp.array([0.1, 0.4, 0.9])
    b = jnp.array([0.3, 0.25, 0.05])
    curves = jax.jit(jax.vmap(lambda a, b: lj.limb_darkened(u[0], rho[:, None], lj.Quadratic(a, b))))(a, b)
    for i in range(3):
        one = fspl.limb_darkened(u[0], rho[:, None], fspl.Quadratic(float(a[i]), float(b[i])))
        assert np.array_equal(bits(curves[i]), bits(one))
    # And the gradient in u, batched over the coefficients.
    slopes = jax.vmap(jax.grad(lambda u, a: lj.limb_darkened(u, 0.1, lj.Linear(a))), (None, 0))(
        0.05, a)
    for i in range(3):
        assert bits(slopes[i]) == bits(fspl.limb_darkened(0.05, 0.1, fspl.Linear(float(a[i])),
                                                          gradient=True)[1])


# (door law, numpy law, coefficient sets): the first set is differentiated alone, the three
# together under vmap, each then a profile of its own on the host. Sets on the edge of validity
# (an intensity zero at the limb or the centre) included.
LAWS = [
    (lj.Linear, fspl.Linear, [[0.6], [1.0], [-0.4]]),
    (lj.Quadratic, fspl.Quadratic, [[0.4, 0.25], [1.2, -0.2], [0.0, 1.0]]),
    (lj.SquareRoot, fspl.SquareRoot, [[0.3, 0.4], [-0.2, 1.2], [0.6, 0.4]]),
    (lj.Power2, fspl.Power2, [[0.7, 0.6], [1.0, 0.001], [0.4, 200.0]]),
    (lj.Nonlinear, fspl.Nonlinear,
     [[0.5, -0.2, 0.6, -0.2], [0.0, 0.0, 0.0, 1.0], [2.0, -1.0, 0.0, 0.0]]),
]


@pytest.mark.parametrize("rho", [1e-3, 0.5, 30.0])
@pytest.mark.parametrize("door_law, numpy_law, sets", LAWS, ids=[law[1].__name__ for law in LAWS])
def test_coefficient_derivatives_are_the_numpy_modules_bit_for_bit(door_law, numpy_law, sets, rho):
    u = separations(rho, n=60, seed=len(sets[0]))
    u = u[np.isfinite(u)]

    def curve(c, u=u):
        return lj.limb_darkened(u, rho, door_law(*c))

    c = jnp.asarray(sets[0])
    value, expected = fspl.limb_darkened(u, rho, numpy_law(*sets[0]), coefficients=True)
    assert expected.shape == u.shape + (len(sets[0]),)
    for jacobian in (jax.jacfwd, jax.jacrev):
        assert np.array_equal(bits(jax.jit(jacobian(curve))(c)), bits(expected))
    # Per element, in reverse mode, with the value that comes with it.
    values, gradients = jax.vmap(jax.value_and_grad(lambda v, c: curve(c, v), argnums=1),
                                 (0, None))(u, c)
    assert np.array_equal(bits(values), bits(value))
    assert np.array_equal(bits(gradients), bits(expected))
    # Profiles batched by vmap: the slopes keep their trailing axis through the host's slicing.
    batched = jax.jit(jax.vmap(jax.jacfwd(curve)))(jnp.asarray(sets))
    for one, coefficients in zip(batched, sets):
        _, slopes = fspl.limb_darkened(u, rho, numpy_law(*coefficients), coefficients=True)
        assert np.array_equal(bits(one), bits(slopes))


@pytest.mark.usefixtures("route")
def test_light_curve_jacobian_in_data_and_coefficients_together():
    t = np.linspace(-0.3, 0.5, 40)
    p = jnp.array([0.1, -0.004, 20.0, 0.01, 0.5, -0.2, 0.6, -0.2])

    def curve(p):
        return lj.magnification_curve(t, p[0], p[1], p[2], p[3], lj.Nonlinear(*p[4:]))

    profile = fspl.Nonlinear(*np.asarray(p[4:]))
    _, *slopes, by_coefficient = fspl.magnification_curve(
        t, *np.asarray(p[:4]), profile, gradient=True, coefficients=True)
    expected = np.column_stack([*slopes, by_coefficient])
    for jacobian in (jax.jacfwd, jax.jacrev):
        assert np.array_equal(bits(jax.jit(jacobian(curve))(p)), bits(expected))


# numpy arrays: these are made before 64-bit mode is switched on.
@pytest.mark.parametrize(
    "function, arguments",
    [
        (lambda t0, u0, tE, rho: lj.magnification_curve(
            jnp.linspace(-0.3, 0.5, 40), t0, u0, tE, rho, lj.Linear(0.6)),
         (0.1, 0.004, 20.0, 0.01)),
        (lambda u, rho: lj.uniform(u, rho), (np.array([0.02, 0.05, 0.3, 2.0]), 0.1)),
        (lambda u, rho: lj.limb_darkened(u, rho, fspl.Power2(0.7, 0.6)),
         (np.array([0.05, 0.3, 2.0]), np.array([0.1, 1.5, 20.0]))),
        # Traced coefficients, the exponent among them, moved with the trajectory.
        (lambda t0, tE, rho, c, alpha: lj.magnification_curve(
            jnp.linspace(-0.3, 0.5, 40), t0, 0.004, tE, rho, lj.Power2(c, alpha)),
         (0.1, 20.0, 0.01, 0.7, 0.6)),
    ],
    ids=["curve", "uniform", "power2", "power2_coefficients"],
)
def test_first_order_derivatives_match_differences(function, arguments):
    # Random directions through every argument at once: the JVP's sum and the VJP's
    # transposition both, against central differences.
    check_grads(function, arguments, order=1, modes=("fwd", "rev"), eps=1e-7, rtol=1e-5)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: jax.hessian(lambda u: lj.uniform(u, 0.1))(0.05), lj.SECOND_DERIVATIVES),
        (lambda: jax.hessian(lambda c: lj.limb_darkened(0.05, 0.1, lj.Quadratic(*c)))(
            jnp.array([0.4, 0.25])), lj.SECOND_DERIVATIVES),
        (lambda: jax.grad(jax.grad(lambda tE: lj.magnification_curve(0.1, 0.0, 0.01, tE, 0.01)))(
            20.0), lj.SECOND_DERIVATIVES),
    ],
    ids=["hessian", "hessian_in_coefficients", "grad_of_grad"],
)
def test_derivatives_that_do_not_exist_raise(call, text):
    with pytest.raises(NotImplementedError) as error:
        call()
    assert str(error.value) == text


def test_float32_input_is_computed_in_float64_and_32_bit_mode_raises():
    u = np.array([0.011, 0.5], dtype=np.float32)
    result = lj.uniform(u, jnp.float32(0.01))
    assert result.dtype == np.float64
    assert np.array_equal(bits(result), bits(fspl.uniform(u.astype(np.float64), np.float32(0.01))))
    process = run_python(
        """
        import jax, lumagnis_fspl.jax as lj
        try:
            jax.jit(lj.point_source)(1.0)
        except RuntimeError as error:
            print(str(error) == lj.X64_REQUIRED)
        """
    )
    assert process.stdout.split() == ["True"], process.stderr


# Minutes under the sanitizers, for native calls the other tests make already.
@pytest.mark.skipif(SANITIZED, reason="slow under the sanitizers; no native path of its own")
def test_nuts_recovers_the_event():
    pytest.importorskip("numpyro")
    spec = importlib.util.spec_from_file_location("fit_nuts", EXAMPLES / "fit_nuts.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    posterior = example.sample(epochs=400, warmup=150, samples=150)
    for name in example.NAMES:
        deviation = abs(posterior[name].mean() - example.TRUTH[name]) / posterior[name].std()
        assert deviation < 4.0, (name, deviation)
