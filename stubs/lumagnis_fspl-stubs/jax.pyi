"""The finite-source magnification as JAX operations (the extra ``lumagnis[jax]``).

Values and first derivatives (in the data and in traced limb-darkening coefficients) are those
of lumagnis_fspl, bit for bit; 64-bit mode must be on.
"""

from typing import Any, TypeAlias

import jax
from numpy.typing import ArrayLike

from lumagnis_fspl import Linear as _Linear
from lumagnis_fspl import Nonlinear as _Nonlinear
from lumagnis_fspl import Power2 as _Power2
from lumagnis_fspl import Quadratic as _Quadratic
from lumagnis_fspl import SquareRoot as _SquareRoot
from lumagnis_fspl import Tabulated as _Tabulated

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

X64_REQUIRED: str
SECOND_DERIVATIVES: str

# What the functions take: JAX arrays and tracers, numpy arrays, numbers.
_Input: TypeAlias = jax.Array | ArrayLike
_Coefficient: TypeAlias = jax.Array | float

class _Law:
    def __init__(self, *coefficients: Any) -> None: ...
    def tree_flatten(self) -> tuple[tuple[Any, ...], None]: ...
    @classmethod
    def tree_unflatten(cls, aux: None, children: tuple[Any, ...]) -> _Law: ...

class Linear(_Law):
    """The linear law, intensity 1 - a (1 - mu); a may be a traced value."""

    def __init__(self, a: _Coefficient) -> None: ...
    @property
    def a(self) -> _Coefficient: ...

class Quadratic(_Law):
    """The quadratic law, intensity 1 - a (1 - mu) - b (1 - mu)^2; a, b may be traced."""

    def __init__(self, a: _Coefficient, b: _Coefficient) -> None: ...
    @property
    def a(self) -> _Coefficient: ...
    @property
    def b(self) -> _Coefficient: ...

class SquareRoot(_Law):
    """The square-root law, intensity 1 - c (1 - mu) - d (1 - sqrt(mu)); c, d may be traced."""

    def __init__(self, c: _Coefficient, d: _Coefficient) -> None: ...
    @property
    def c(self) -> _Coefficient: ...
    @property
    def d(self) -> _Coefficient: ...

class Power2(_Law):
    """The power-2 law, intensity 1 - c (1 - mu^alpha); c, alpha may be traced."""

    def __init__(self, c: _Coefficient, alpha: _Coefficient) -> None: ...
    @property
    def c(self) -> _Coefficient: ...
    @property
    def alpha(self) -> _Coefficient: ...

class Nonlinear(_Law):
    """The four-coefficient law, intensity 1 - sum_k ak (1 - mu^(k/2)), k = 1..4; any of
    a1 .. a4 may be traced."""

    def __init__(
        self, a1: _Coefficient, a2: _Coefficient, a3: _Coefficient, a4: _Coefficient
    ) -> None: ...
    @property
    def a1(self) -> _Coefficient: ...
    @property
    def a2(self) -> _Coefficient: ...
    @property
    def a3(self) -> _Coefficient: ...
    @property
    def a4(self) -> _Coefficient: ...

_Profile: TypeAlias = (
    Linear
    | Quadratic
    | SquareRoot
    | Power2
    | Nonlinear
    | _Linear
    | _Quadratic
    | _SquareRoot
    | _Power2
    | _Nonlinear
    | _Tabulated
)

def point_source(u: _Input) -> jax.Array: ...
def uniform(u: _Input, rho: _Input) -> jax.Array: ...
def limb_darkened(u: _Input, rho: _Input, profile: _Profile) -> jax.Array: ...
def magnification_curve(
    t: _Input,
    t0: _Input,
    u0: _Input,
    tE: _Input,
    rho: _Input,
    profile: _Profile | None = None,
) -> jax.Array: ...
