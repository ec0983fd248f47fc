"""The finite-source magnification as JAX operations: jit, vmap, grad, jacfwd and jacrev.

The functions take JAX arrays (or anything jax.numpy accepts) that broadcast together, and give
the values of the numpy functions of lumagnis_fspl, bit for bit. Their derivatives in u, rho,
t, t0, u0 and tE are the exact derivatives those functions compute with gradient=True, handed
to JAX through a custom JVP rule: nothing of the numerics is traced.

Everything runs in double precision, so 64-bit mode must be on:
``jax.config.update("jax_enable_x64", True)``. Inputs of other dtypes (float32, integers) are
converted to float64, and the results are float64.

The computation runs on the host, through a host callback into the compiled module, whatever
the backend: on a GPU the arguments are copied to the host and the results back.

Limb-darkening coefficients may be traced values (give a profile of this module, e.g.
``Linear(a)`` with ``a`` sampled); derivatives with respect to them are not available yet and
asking for one raises. Second derivatives are not available either, and raise.
"""

import functools
import math
from collections.abc import Callable
from typing import NamedTuple

import jax
import jax.numpy as jnp
import numpy as np
from jax.custom_derivatives import SymbolicZero

import lumagnis_fspl

__all__ = [
    "point_source",
    "uniform",
    "limb_darkened",
    "magnification_curve",
    "Linear",
    "Quadratic",
    "SquareRoot",
    "Power2",
]

X64_REQUIRED = (
    "lumagnis_fspl.jax computes in float64, and JAX is in 32-bit mode: enable 64-bit mode "
    "with jax.config.update('jax_enable_x64', True) at start-up, before any array is made"
)
COEFFICIENT_DERIVATIVES = (
    "derivatives with respect to limb-darkening coefficients are not available yet: "
    "hold the coefficients fixed (jax.lax.stop_gradient, or plain numbers)"
)
SECOND_DERIVATIVES = (
    "second derivatives of the finite-source magnification are not available: "
    "lumagnis_fspl.jax gives exact first derivatives only"
)


class _Operation(NamedTuple):
    native: Callable[..., object]
    # The native function's profile argument: none, required, or optional (None is uniform).
    takes_profile: bool
    # For each differentiable argument, which of the native gradient's slopes is its
    # derivative, and whether that slope is negated (d/dt = -d/dt0 along a trajectory).
    slopes: tuple[tuple[int, bool], ...]
    # How many slopes the native gradient gives after the value.
    slope_count: int


_OPERATIONS = {
    "point_source": _Operation(lumagnis_fspl.point_source, False, ((0, False),), 1),
    "uniform": _Operation(lumagnis_fspl.uniform, False, ((0, False), (1, False)), 2),
    "limb_darkened": _Operation(lumagnis_fspl.limb_darkened, True, ((0, False), (1, False)), 2),
    "magnification_curve": _Operation(
        lumagnis_fspl.magnification_curve,
        True,
        ((0, True), (0, False), (1, False), (2, False), (3, False)),
        4,
    ),
}


# Profiles whose coefficients may be traced: pytrees whose leaves are the coefficients.
class _Law:
    _native: type
    _names: tuple[str, ...]

    def __init__(self, *coefficients: object) -> None:
        self._coefficients = coefficients
        # Concrete numbers are checked now, by the native profile's own rules; traced ones
        # when the computation runs.
        if all(_is_number(c) for c in coefficients):
            self._native(*(float(c) for c in coefficients))  # type: ignore[arg-type]

    def tree_flatten(self) -> tuple[tuple[object, ...], None]:
        return self._coefficients, None

    @classmethod
    def tree_unflatten(cls, aux: None, children: tuple[object, ...]) -> "_Law":
        # JAX rebuilds with placeholders and tracers, which must not be checked as numbers.
        law = object.__new__(cls)
        law._coefficients = tuple(children)
        return law

    def __repr__(self) -> str:
        fields = ", ".join(f"{n}={c!r}" for n, c in zip(self._names, self._coefficients))
        return f"lumagnis_fspl.jax.{type(self).__name__}({fields})"


def _coefficient(index: int, doc: str) -> property:
    return property(lambda law: law._coefficients[index], doc=doc)


@jax.tree_util.register_pytree_node_class
class Linear(_Law):
    """The linear law, intensity 1 - a (1 - mu); a may be a traced value."""

    _native = lumagnis_fspl.Linear
    _names = ("a",)
    a = _coefficient(0, "The coefficient a.")

    def __init__(self, a: object) -> None:
        super().__init__(a)


@jax.tree_util.register_pytree_node_class
class Quadratic(_Law):
    """The quadratic law, intensity 1 - a (1 - mu) - b (1 - mu)^2; a, b may be traced."""

    _native = lumagnis_fspl.Quadratic
    _names = ("a", "b")
    a = _coefficient(0, "The coefficient a.")
    b = _coefficient(1, "The coefficient b.")

    def __init__(self, a: object, b: object) -> None:
        super().__init__(a, b)


@jax.tree_util.register_pytree_node_class
class SquareRoot(_Law):
    """The square-root law, intensity 1 - c (1 - mu) - d (1 - sqrt(mu)); c, d may be traced."""

    _native = lumagnis_fspl.SquareRoot
    _names = ("c", "d")
    c = _coefficient(0, "The coefficient c.")
    d = _coefficient(1, "The coefficient d.")

    def __init__(self, c: object, d: object) -> None:
        super().__init__(c, d)


@jax.tree_util.register_pytree_node_class
class Power2(_Law):
    """The power-2 law, intensity 1 - c (1 - mu^alpha); c, alpha may be traced."""

    _native = lumagnis_fspl.Power2
    _names = ("c", "alpha")
    c = _coefficient(0, "The coefficient c.")
    alpha = _coefficient(1, "The exponent alpha.")

    def __init__(self, c: object, alpha: object) -> None:
        super().__init__(c, alpha)


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)


def _split_profile(profile: object) -> tuple[object, tuple[object, ...]]:
    """The static part of a profile (a native profile, or the native class whose coefficients
    follow as arguments) and its traced coefficients."""
    if isinstance(profile, _Law):
        coefficients = profile._coefficients
        if all(_is_number(c) for c in coefficients):
            return profile._native(*(float(c) for c in coefficients)), ()
        return profile._native, coefficients
    # None (the uniform disk) and the native profiles, Tabulated included, are static; the
    # native function rejects anything else with its own TypeError.
    return profile, ()


def _host(name: str, law: object, gradient: bool, *arrays: np.ndarray) -> object:
    """The native call on the host. Under vmap every argument has the same rank (the batch
    axes lead, 1 where an argument is not batched), so numpy's broadcasting is vmap's."""
    operation = _OPERATIONS[name]
    count = len(operation.slopes)
    data, coefficients = arrays[:count], arrays[count:]

    def evaluate(parts: tuple[np.ndarray, ...], profile: object) -> tuple[np.ndarray, ...]:
        extra = (profile,) if operation.takes_profile else ()
        result = operation.native(*parts, *extra, gradient=gradient)
        results = result if gradient else (result,)
        return tuple(np.asarray(r, dtype=np.float64) for r in results)  # type: ignore[union-attr]

    if not coefficients:
        results = evaluate(data, law)
    else:
        results = _per_profile(evaluate, law, data, coefficients)  # type: ignore[arg-type]
    return results if gradient else results[0]


def _per_profile(
    evaluate: Callable[[tuple[np.ndarray, ...], object], tuple[np.ndarray, ...]],
    law: Callable[..., object],
    data: tuple[np.ndarray, ...],
    coefficients: tuple[np.ndarray, ...],
) -> tuple[np.ndarray, ...]:
    """Traced coefficients: one native call per distinct profile (one, unless vmap batches
    the coefficients), each on the slice of the data that profile covers."""
    shape = np.broadcast_shapes(*(c.shape for c in coefficients))
    if math.prod(shape) == 1:
        return evaluate(data, law(*(float(c.reshape(-1)[0]) for c in coefficients)))
    coefficients = tuple(np.broadcast_to(c, shape) for c in coefficients)
    out_shape = np.broadcast_shapes(shape, *(d.shape for d in data))
    results: tuple[np.ndarray, ...] | None = None
    for index in np.ndindex(shape):
        where = tuple(slice(i, i + 1) if n > 1 else slice(None) for i, n in zip(index, shape))
        parts = tuple(
            d[tuple(w if d.shape[k] > 1 else slice(None) for k, w in enumerate(where))]
            for d in data
        )
        pieces = evaluate(parts, law(*(float(c[index]) for c in coefficients)))
        if results is None:
            results = tuple(np.empty(out_shape) for _ in pieces)
        for result, piece in zip(results, pieces):
            result[where] = piece
    assert results is not None
    return results


def _callback(name: str, law: object, gradient: bool, *arrays: jax.Array) -> object:
    operation = _OPERATIONS[name]
    shape = jnp.broadcast_shapes(*(a.shape for a in arrays[: len(operation.slopes)]))
    result = jax.ShapeDtypeStruct(shape, jnp.float64)
    # A host callback rather than a foreign-function target: a target's handler is compiled
    # against jaxlib's C interface, and the module builds without jaxlib. It costs a fixed
    # crossing per call, small beside a light curve of thousands of points.
    # The native functions broadcast, and every argument has the same rank, so each call
    # takes the batch whole: the batch axes added by vmap broadcast like any other.
    return jax.pure_callback(
        functools.partial(_host, name, law, gradient),
        (result,) * (1 + operation.slope_count) if gradient else result,
        *arrays,
        vmap_method="expand_dims",
    )


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _magnification(name: str, law: object, *arrays: jax.Array) -> jax.Array:
    return _callback(name, law, False, *arrays)  # type: ignore[return-value]


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _with_slopes(name: str, law: object, *arrays: jax.Array) -> tuple[jax.Array, ...]:
    return _callback(name, law, True, *arrays)  # type: ignore[return-value]


def _magnification_jvp(
    name: str, law: object, primals: tuple[jax.Array, ...], tangents: tuple[object, ...]
) -> tuple[jax.Array, jax.Array]:
    operation = _OPERATIONS[name]
    count = len(operation.slopes)
    if not all(isinstance(t, SymbolicZero) for t in tangents[count:]):
        raise NotImplementedError(COEFFICIENT_DERIVATIVES)
    value, *slopes = _with_slopes(name, law, *primals)
    tangent = None
    for (slope, negated), dot in zip(operation.slopes, tangents[:count]):
        if isinstance(dot, SymbolicZero):
            continue
        # -(slope) is exact, so jacfwd and jacrev give the native slopes bit for bit.
        term = (-slopes[slope] if negated else slopes[slope]) * dot
        tangent = term if tangent is None else tangent + term
    if tangent is None:
        tangent = jnp.zeros_like(value)
    return value, tangent


_magnification.defjvp(_magnification_jvp, symbolic_zeros=True)


def _with_slopes_jvp(
    name: str, law: object, primals: tuple[jax.Array, ...], tangents: tuple[jax.Array, ...]
) -> tuple[tuple[jax.Array, ...], tuple[jax.Array, ...]]:
    raise NotImplementedError(SECOND_DERIVATIVES)


_with_slopes.defjvp(_with_slopes_jvp)


def _apply(name: str, data: tuple[object, ...], profile: object = None) -> jax.Array:
    if not jax.config.jax_enable_x64:
        raise RuntimeError(X64_REQUIRED)
    arrays = [jnp.asarray(x, dtype=jnp.float64) for x in data]
    law, coefficients = _split_profile(profile)
    shape = jnp.broadcast_shapes(*(a.shape for a in arrays))
    rank = len(shape)
    # Every argument gets the result's rank, so that the batch axes vmap puts in front line up
    # on the host; a reshape adding leading 1s costs nothing, unlike a broadcast.
    arrays = [a.reshape((1,) * (rank - a.ndim) + a.shape) for a in arrays]
    traced = []
    for c in coefficients:
        c = jnp.asarray(c, dtype=jnp.float64)
        if c.ndim != 0:
            raise ValueError(
                "a limb-darkening coefficient must be a scalar; "
                "for many profiles, jax.vmap over the coefficient"
            )
        traced.append(c.reshape((1,) * rank))
    return _magnification(name, law, *arrays, *traced)


def point_source(u: object) -> jax.Array:
    """The point-source magnification (u^2 + 2)/(u sqrt(u^2 + 4)), u in Einstein radii."""
    return _apply("point_source", (u,))


def uniform(u: object, rho: object) -> jax.Array:
    """A uniform source of radius rho at separation u (both in Einstein radii)."""
    return _apply("uniform", (u, rho))


def limb_darkened(u: object, rho: object, profile: object) -> jax.Array:
    """A radially symmetric source: profile is a lumagnis_fspl profile (fixed) or a profile of
    this module (coefficients may be traced)."""
    return _apply("limb_darkened", (u, rho), profile)


def magnification_curve(
    t: object, t0: object, u0: object, tE: object, rho: object, profile: object = None
) -> jax.Array:
    """The magnification along the trajectory u(t) = sqrt(u0^2 + ((t - t0)/tE)^2); profile
    None is the uniform disk."""
    return _apply("magnification_curve", (t, t0, u0, tE, rho), profile)
