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
``Linear(a)`` with ``a`` sampled, or ``Nonlinear(a1, a2, a3, a4)``), and differentiated: their
derivatives are those the numpy functions give with coefficients=True, asked for only when a
coefficient's tangent is not zero, so that fixed coefficients cost nothing more. Second
derivatives are not available, and raise.
"""

import functools
import inspect
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
    "Nonlinear",
]

X64_REQUIRED = (
    "lumagnis_fspl.jax computes in float64, and JAX is in 32-bit mode: enable 64-bit mode "
    "with jax.config.update('jax_enable_x64', True) at start-up, before any array is made"
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


@jax.tree_util.register_pytree_node_class
class Nonlinear(_Law):
    """The four-coefficient law, intensity 1 - sum_k ak (1 - mu^(k/2)), k = 1..4; any of
    a1 .. a4 may be traced."""

    _native = lumagnis_fspl.Nonlinear
    _names = ("a1", "a2", "a3", "a4")
    a1 = _coefficient(0, "The coefficient a1, of mu^(1/2).")
    a2 = _coefficient(1, "The coefficient a2, of mu.")
    a3 = _coefficient(2, "The coefficient a3, of mu^(3/2).")
    a4 = _coefficient(3, "The coefficient a4, of mu^2.")

    def __init__(self, a1: object, a2: object, a3: object, a4: object) -> None:
        super().__init__(a1, a2, a3, a4)


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


class _Request(NamedTuple):
    """What a native call gives: the value alone, or with the slopes in the data arguments,
    and then, if coefficients, the slopes in the profile's coefficients (a trailing axis)."""

    gradient: bool
    coefficients: bool


_VALUE = _Request(False, False)
_SLOPES = _Request(True, False)
_ALL_SLOPES = _Request(True, True)


def _host(name: str, law: object, request: _Request, *arrays: np.ndarray) -> tuple:
    """The native call on the host: the value, and the slopes the request asks for. Under vmap
    every argument has the same rank (the batch axes lead, 1 where an argument is not
    batched), so numpy's broadcasting is vmap's."""
    operation = _OPERATIONS[name]
    count = len(operation.slopes)
    data, coefficients = arrays[:count], arrays[count:]
    # Only profiles with traced coefficients ask for their slopes, and only the functions that
    # take a profile know the keyword.
    options = {"coefficients": True} if request.coefficients else {}

    def evaluate(parts: tuple[np.ndarray, ...], profile: object) -> tuple[np.ndarray, ...]:
        extra = (profile,) if operation.takes_profile else ()
        result = operation.native(*parts, *extra, gradient=request.gradient, **options)
        results = result if request.gradient or request.coefficients else (result,)
        return tuple(np.asarray(r, dtype=np.float64) for r in results)  # type: ignore[attr-defined]

    if not coefficients:
        results = evaluate(data, law)
    else:
        results = _per_profile(evaluate, law, data, coefficients)  # type: ignore[arg-type]
    return results


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
            # The slopes in the coefficients carry one more axis than the value, after the
            # batch and data axes that `where` selects.
            results = tuple(np.empty(out_shape + p.shape[len(out_shape) :]) for p in pieces)
        for result, piece in zip(results, pieces):
            result[where] = piece
    assert results is not None
    return results


def _result_types(
    name: str, request: _Request, shapes: list[tuple[int, ...]]
) -> tuple[jax.ShapeDtypeStruct, ...]:
    """The shapes of what _host gives, from those of its arguments (all of one rank)."""
    operation = _OPERATIONS[name]
    # The coefficients broadcast too: vmap over a coefficient alone batches the result.
    shape = tuple(jnp.broadcast_shapes(*shapes))
    coefficients = len(shapes) - len(operation.slopes)
    result = jax.ShapeDtypeStruct(shape, jnp.float64)
    results = (result,) * (1 + operation.slope_count if request.gradient else 1)
    if request.coefficients:
        # One slope per coefficient on a trailing axis; vmap's batch axes go in front of it,
        # as of every other result.
        results = (*results, jax.ShapeDtypeStruct(shape + (coefficients,), jnp.float64))
    return results


def _pure_callback(name: str, law: object, request: _Request, *arrays: jax.Array) -> object:
    # The native functions broadcast, and every argument has the same rank, so each call
    # takes the batch whole: the batch axes added by vmap broadcast like any other.
    results = _result_types(name, request, [a.shape for a in arrays])
    return jax.pure_callback(
        functools.partial(_host, name, law, request),
        results,
        *arrays,
        vmap_method="expand_dims",
    )


def _host_primitive() -> object:
    """A primitive whose compiled form calls _host with the buffers XLA hands over, or None
    where this JAX does not offer what it needs, and the host callback serves instead.

    A host callback of the public interface first copies every argument into a new JAX array
    on the CPU (about 0.1 ms each) and hands those over; the primitive gives the native call
    XLA's buffers as numpy arrays, so that crossing to the host costs tens of microseconds.
    A foreign-function target would cost less again, but its handler is compiled against
    jaxlib's C interface, and the module builds without jaxlib."""
    try:
        from jax._src import callback as host_calls
        from jax.extend.core import Primitive
        from jax.interpreters import batching, mlir

        emit = host_calls.emit_python_callback
        placement = host_calls._callback_op_sharding
        # Internal functions may change between versions: those whose parameters are not
        # the ones used below are not used at all.
        expected = {"ctx", "callback", "token", "operands", "operand_avals", "result_avals",
                    "has_side_effect", "returns_token", "sharding"}
        if not expected <= set(inspect.signature(emit).parameters) or list(
            inspect.signature(placement).parameters
        ) != ["axis_context", "sharding", "avals_out"]:
            return None
    except (ImportError, AttributeError, TypeError, ValueError):
        return None
    primitive = Primitive("lumagnis_fspl_host")
    primitive.multiple_results = True

    def abstract(*arrays: object, name: str, law: object, request: _Request) -> list:
        return [
            jax.core.ShapedArray(r.shape, r.dtype)
            for r in _result_types(name, request, [a.shape for a in arrays])  # type: ignore
        ]

    def impl(*arrays: object, name: str, law: object, request: _Request) -> list:
        results = _host(name, law, request, *(np.asarray(a) for a in arrays))
        return [jnp.asarray(r) for r in results]

    def batch(arrays: tuple, axes: tuple, **params: object) -> tuple[list, list[int]]:
        # As vmap_method="expand_dims": the batch axis leads, of length 1 where unbatched.
        arrays = tuple(
            jnp.moveaxis(a, d, 0) if isinstance(d, int) else jnp.expand_dims(a, 0)
            for a, d in zip(arrays, axes)
        )
        results = primitive.bind(*arrays, **params)
        return results, [0] * len(results)

    def lower(ctx: object, *operands: object, name: str, law: object, request: _Request) -> list:
        def call(*arrays: np.ndarray) -> tuple:
            return _host(name, law, request, *arrays)

        results, _, _ = emit(
            ctx,
            call,
            None,
            list(operands),
            ctx.avals_in,  # type: ignore[attr-defined]
            ctx.avals_out,  # type: ignore[attr-defined]
            has_side_effect=False,
            returns_token=False,
            sharding=placement(
                ctx.module_context.axis_context, None, ctx.avals_out  # type: ignore
            ),
        )
        return results

    primitive.def_abstract_eval(abstract)
    primitive.def_impl(impl)
    batching.primitive_batchers[primitive] = batch
    # Not cached: the host function is attached to the module being compiled.
    mlir.register_lowering(primitive, lower, cacheable=False)
    return primitive


_HOST = _host_primitive()


def _callback(name: str, law: object, request: _Request, *arrays: jax.Array) -> object:
    if _HOST is None:
        results = _pure_callback(name, law, request, *arrays)
    else:
        results = _HOST.bind(*arrays, name=name, law=law, request=request)  # type: ignore
    return tuple(results) if request.gradient else results[0]  # type: ignore


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _magnification(name: str, law: object, *arrays: jax.Array) -> jax.Array:
    return _callback(name, law, _VALUE, *arrays)  # type: ignore[return-value]


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _with_slopes(name: str, law: object, *arrays: jax.Array) -> tuple[jax.Array, ...]:
    return _callback(name, law, _SLOPES, *arrays)  # type: ignore[return-value]


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _with_all_slopes(name: str, law: object, *arrays: jax.Array) -> tuple[jax.Array, ...]:
    return _callback(name, law, _ALL_SLOPES, *arrays)  # type: ignore[return-value]


def _magnification_jvp(
    name: str, law: object, primals: tuple[jax.Array, ...], tangents: tuple[object, ...]
) -> tuple[jax.Array, jax.Array]:
    operation = _OPERATIONS[name]
    count = len(operation.slopes)
    terms: list[jax.Array] = []
    # The value and the data slopes are the same bits with the coefficient slopes as without:
    # they are asked for only when some coefficient moves.
    if all(isinstance(t, SymbolicZero) for t in tangents[count:]):
        value, *slopes = _with_slopes(name, law, *primals)
    else:
        value, *slopes, by_coefficient = _with_all_slopes(name, law, *primals)
        for k, dot in enumerate(tangents[count:]):
            if not isinstance(dot, SymbolicZero):
                # The coefficient's tangent has every axis 1 but vmap's, and broadcasts.
                terms.append(by_coefficient[..., k] * dot)
    data_terms = []
    for (slope, negated), dot in zip(operation.slopes, tangents[:count]):
        if isinstance(dot, SymbolicZero):
            continue
        # -(slope) is exact, so jacfwd and jacrev give the native slopes bit for bit.
        data_terms.append((-slopes[slope] if negated else slopes[slope]) * dot)
    terms = data_terms + terms
    if not terms:
        return value, jnp.zeros_like(value)
    tangent = terms[0]
    for term in terms[1:]:
        tangent = tangent + term
    return value, tangent


_magnification.defjvp(_magnification_jvp, symbolic_zeros=True)


def _no_second_derivatives(
    name: str, law: object, primals: tuple[jax.Array, ...], tangents: tuple[jax.Array, ...]
) -> tuple[tuple[jax.Array, ...], tuple[jax.Array, ...]]:
    raise NotImplementedError(SECOND_DERIVATIVES)


_with_slopes.defjvp(_no_second_derivatives)
_with_all_slopes.defjvp(_no_second_derivatives)


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
