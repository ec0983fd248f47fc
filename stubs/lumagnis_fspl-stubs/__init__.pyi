"""Finite-source point-lens magnification for modelling microlensing light curves.

The separation ``u`` and the source radius ``rho`` are in Einstein radii. Arguments broadcast
like numpy ufuncs; results are float64 arrays, or floats when every argument is a scalar.
"""

from typing import Any, Literal, TypeAlias, final, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: str
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
    "Tabulated",
]

# What gives a float rather than an array: Python and numpy scalars (0-d arrays do too at run
# time, but cannot be told apart from other arrays by type).
_Scalar: TypeAlias = float | int | np.floating[Any] | np.integer[Any]
_Array: TypeAlias = NDArray[np.float64]

@final
class Linear:
    """The linear law: intensity 1 - a (1 - mu), mu = sqrt(1 - r^2); a at most 1."""

    def __init__(self, a: float) -> None: ...
    @property
    def a(self) -> float: ...
    @staticmethod
    def from_gamma(gamma: float) -> Linear:
        """Linear(3 gamma / (2 + gamma)), for -2 < gamma <= 1."""
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[float]: ...
    def __setstate__(self, state: tuple[float], /) -> None: ...

@final
class Quadratic:
    """The quadratic law: intensity 1 - a (1 - mu) - b (1 - mu)^2, never negative."""

    def __init__(self, a: float, b: float) -> None: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[float, float]: ...
    def __setstate__(self, state: tuple[float, float], /) -> None: ...

@final
class SquareRoot:
    """The square-root law: intensity 1 - c (1 - mu) - d (1 - sqrt(mu)), never negative."""

    def __init__(self, c: float, d: float) -> None: ...
    @property
    def c(self) -> float: ...
    @property
    def d(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[float, float]: ...
    def __setstate__(self, state: tuple[float, float], /) -> None: ...

@final
class Power2:
    """The power-2 law: intensity 1 - c (1 - mu^alpha); alpha within [0.001, 200], c at most 1."""

    def __init__(self, c: float, alpha: float) -> None: ...
    @property
    def c(self) -> float: ...
    @property
    def alpha(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[float, float]: ...
    def __setstate__(self, state: tuple[float, float], /) -> None: ...

@final
class Nonlinear:
    """The four-coefficient law: intensity 1 - sum_k a_k (1 - mu^(k/2)), never negative."""

    def __init__(self, a1: float, a2: float, a3: float, a4: float) -> None: ...
    @property
    def a1(self) -> float: ...
    @property
    def a2(self) -> float: ...
    @property
    def a3(self) -> float: ...
    @property
    def a4(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[float, float, float, float]: ...
    def __setstate__(self, state: tuple[float, float, float, float], /) -> None: ...

_TableState: TypeAlias = (
    tuple[tuple[float, ...], tuple[float, ...]] | tuple[None, tuple[float, ...], tuple[float, ...]]
)

@final
class Tabulated:
    """Intensities at radii r (strictly ascending within [0, 1]), linear in r between them; or,
    made by from_mu, at mu (strictly monotonic within [0, 1]), linear in mu."""

    def __init__(self, r: ArrayLike, intensity: ArrayLike) -> None: ...
    @staticmethod
    def from_mu(mu: ArrayLike, intensity: ArrayLike) -> Tabulated:
        """The table in mu; its r is None."""
    @property
    def r(self) -> tuple[float, ...] | None: ...
    @property
    def mu(self) -> tuple[float, ...] | None: ...
    @property
    def intensity(self) -> tuple[float, ...]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> _TableState: ...
    def __setstate__(self, state: _TableState, /) -> None: ...

_Profile: TypeAlias = Linear | Quadratic | SquareRoot | Power2 | Nonlinear | Tabulated

@overload
def point_source(u: _Scalar, gradient: Literal[False] = False, *, threads: int = 1) -> float: ...  # type: ignore[overload-overlap]
@overload
def point_source(u: _Scalar, gradient: Literal[True], *, threads: int = 1) -> tuple[float, float]: ...  # type: ignore[overload-overlap]
@overload
def point_source(u: ArrayLike, gradient: Literal[False] = False, *, threads: int = 1) -> _Array: ...
@overload
def point_source(u: ArrayLike, gradient: Literal[True], *, threads: int = 1) -> tuple[_Array, _Array]: ...
@overload
def uniform(  # type: ignore[overload-overlap]
    u: _Scalar, rho: _Scalar, gradient: Literal[False] = False, *, threads: int = 1
) -> float: ...
@overload
def uniform(  # type: ignore[overload-overlap]
    u: _Scalar, rho: _Scalar, gradient: Literal[True], *, threads: int = 1
) -> tuple[float, float, float]: ...
@overload
def uniform(
    u: ArrayLike, rho: ArrayLike, gradient: Literal[False] = False, *, threads: int = 1
) -> _Array: ...
@overload
def uniform(
    u: ArrayLike, rho: ArrayLike, gradient: Literal[True], *, threads: int = 1
) -> tuple[_Array, _Array, _Array]: ...
@overload
def limb_darkened(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    profile: _Profile | None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> float: ...
@overload
def limb_darkened(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    profile: _Profile | None,
    gradient: Literal[True],
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> tuple[float, float, float]: ...
@overload
def limb_darkened(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    profile: _Profile | None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[float, _Array]: ...
@overload
def limb_darkened(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    profile: _Profile | None,
    gradient: Literal[True],
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[float, float, float, _Array]: ...
@overload
def limb_darkened(
    u: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> _Array: ...
@overload
def limb_darkened(
    u: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None,
    gradient: Literal[True],
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> tuple[_Array, _Array, _Array]: ...
@overload
def limb_darkened(
    u: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[_Array, _Array]: ...
@overload
def limb_darkened(
    u: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None,
    gradient: Literal[True],
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[_Array, _Array, _Array, _Array]: ...
@overload
def magnification_curve(  # type: ignore[overload-overlap]
    t: _Scalar,
    t0: _Scalar,
    u0: _Scalar,
    tE: _Scalar,
    rho: _Scalar,
    profile: _Profile | None = None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> float: ...
@overload
def magnification_curve(  # type: ignore[overload-overlap]
    t: _Scalar,
    t0: _Scalar,
    u0: _Scalar,
    tE: _Scalar,
    rho: _Scalar,
    profile: _Profile | None = None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[float, _Array]: ...
@overload
def magnification_curve(  # type: ignore[overload-overlap]
    t: _Scalar,
    t0: _Scalar,
    u0: _Scalar,
    tE: _Scalar,
    rho: _Scalar,
    profile: _Profile | None = None,
    *,
    gradient: Literal[True],
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> tuple[float, float, float, float, float]: ...
@overload
def magnification_curve(  # type: ignore[overload-overlap]
    t: _Scalar,
    t0: _Scalar,
    u0: _Scalar,
    tE: _Scalar,
    rho: _Scalar,
    profile: _Profile | None = None,
    *,
    gradient: Literal[True],
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[float, float, float, float, float, _Array]: ...
@overload
def magnification_curve(
    t: ArrayLike,
    t0: ArrayLike,
    u0: ArrayLike,
    tE: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None = None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> _Array: ...
@overload
def magnification_curve(
    t: ArrayLike,
    t0: ArrayLike,
    u0: ArrayLike,
    tE: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None = None,
    gradient: Literal[False] = False,
    *,
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[_Array, _Array]: ...
@overload
def magnification_curve(
    t: ArrayLike,
    t0: ArrayLike,
    u0: ArrayLike,
    tE: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None = None,
    *,
    gradient: Literal[True],
    coefficients: Literal[False] = False,
    threads: int = 1,
) -> tuple[_Array, _Array, _Array, _Array, _Array]: ...
@overload
def magnification_curve(
    t: ArrayLike,
    t0: ArrayLike,
    u0: ArrayLike,
    tE: ArrayLike,
    rho: ArrayLike,
    profile: _Profile | None = None,
    *,
    gradient: Literal[True],
    coefficients: Literal[True],
    threads: int = 1,
) -> tuple[_Array, _Array, _Array, _Array, _Array, _Array]: ...
