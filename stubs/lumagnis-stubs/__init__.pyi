"""Magnification of a finite source star by a single point-mass gravitational lens.

Separations ``l`` and ring radii ``r`` are in units of the source radius; the Einstein radius
``re`` and the source radius ``rstar`` are in any one common unit (only their ratio enters).
"""

from collections.abc import Iterator
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# What a float parameter accepts: float and its subclasses (numpy.float64), int, bool, and
# anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _RealSequence(Protocol):
    """A sequence (list, tuple, range, array.array, 1-D numpy array, ...) of real numbers.

    Anything indexable that iterates over reals is accepted; str, sets, dicts, generators
    and other non-sequences are not.
    """

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_Real]: ...

def witt_mao_magnification(l: _RealSequence, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a uniformly bright disk source, one value per separation in ``l``.

    Raises RuntimeError on a numeric failure of the elliptic integrals.
    """

def integrated_witt_mao_magnification(l: _RealSequence, re: _Real, rstar: _Real) -> list[float]:
    """The uniform-disk magnification normalised by the built-in linear limb-darkening
    profile (coefficient 0.6); equal to ``witt_mao_magnification`` to about 1e-11.

    Raises RuntimeError on a numeric failure of the uniform-disk kernel.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """As ``integrated_witt_mao_magnification``, with the profile interpolated linearly
    through the table (``bl`` radii, ``bf`` brightness).

    Raises RuntimeError on a numeric failure; pyo3_runtime.PanicException (a BaseException)
    if ``bl`` and ``bf`` differ in length.
    """

def heyrovsky_magnification(l: _Real, r: _Real, re: _Real, rstar: _Real) -> float:
    """Magnification of a thin uniformly bright ring of radius ``r`` at separation ``l``.

    Raises RuntimeError on a numeric failure of the elliptic integrals.
    """

def integrated_heyrovsky_magnification(
    l: _RealSequence, re: _Real, rstar: _Real
) -> list[float]:
    """The disk-to-ring transform of the ring kernel, integrated over the source radius with
    the built-in linear limb-darkening profile. Not the classical limb-darkened
    magnification; for ``l < 1`` it depends on the quadrature nodes. Never raises a numeric
    failure.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """As ``integrated_heyrovsky_magnification``, with the profile interpolated linearly
    through the table (``bl`` radii, ``bf`` brightness).

    Raises pyo3_runtime.PanicException (a BaseException) if ``bl`` and ``bf`` differ in
    length.
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """Weighted sum of ring magnifications: sum over i of ``bf[i]`` times the magnification
    of the ring of radius ``bl[i]``; the weights are used as given, not normalised.

    Raises RuntimeError on a numeric failure; pyo3_runtime.PanicException (a BaseException)
    if ``bl`` and ``bf`` differ in length.
    """
