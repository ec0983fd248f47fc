"""Finite-source point-lens magnification for modelling microlensing light curves.

The separation u and the source radius rho are in Einstein radii; the magnification is the
brightness-weighted mean of the point-lens magnification over the source disk. Arguments
broadcast like numpy ufuncs; results are float64 arrays, or floats for scalar arguments.
With gradient=True every function also returns its exact partial derivatives.
"""

import inspect as _inspect

from lumagnis_fspl._native import (
    Linear,
    Nonlinear,
    Power2,
    Quadratic,
    SquareRoot,
    Tabulated,
    __version__,
    limb_darkened,
    magnification_curve,
    point_source,
    uniform,
)

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

# The public names live here: pickles and help() name `lumagnis_fspl.Linear`, not the extension
# inside the package, so a pickle stays loadable however the package is arranged inside.
for _public in (point_source, uniform, limb_darkened, magnification_curve):
    _public.__module__ = __name__

# A class's parameters are those of its constructor, which the binding's own __init__ does not
# tell inspect (nor so help(), IDEs and notebooks): they are written here, once per class.
_PARAMETERS = {
    Linear: ("a",),
    Quadratic: ("a", "b"),
    SquareRoot: ("c", "d"),
    Power2: ("c", "alpha"),
    Nonlinear: ("a1", "a2", "a3", "a4"),
    Tabulated: ("r", "intensity"),
}
for _public, _names in _PARAMETERS.items():
    _public.__module__ = __name__
    _public.__signature__ = _inspect.Signature(
        [_inspect.Parameter(n, _inspect.Parameter.POSITIONAL_OR_KEYWORD) for n in _names]
    )
del _public, _names, _PARAMETERS, _inspect


def _from_mu(mu, intensity):
    """A table of the intensity in mu = sqrt(1 - r^2): the samples intensity[i] at mu[i]
    (strictly ascending or strictly descending within [0, 1]), interpolated linearly in mu, which
    represents a stellar-atmosphere table far better near the limb than a table in r; beyond the
    first and last sample the intensity is that of the nearest sample. The intensities must be
    finite, non-negative and not all zero. With coefficients=True the derivatives follow the
    samples in the order given.

    >>> Tabulated.from_mu([0.0, 0.5, 1.0], [0.4, 0.7, 1.0])
    Tabulated.from_mu(mu=(0.0, 0.5, 1.0), intensity=(0.4, 0.7, 1.0))
    """
    return Tabulated._from_mu(mu, intensity)


_from_mu.__name__ = "from_mu"
_from_mu.__qualname__ = "Tabulated.from_mu"
Tabulated.from_mu = staticmethod(_from_mu)
del _from_mu
