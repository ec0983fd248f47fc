"""Finite-source point-lens magnification for modelling microlensing light curves.

The separation u and the source radius rho are in Einstein radii; the magnification is the
brightness-weighted mean of the point-lens magnification over the source disk. Arguments
broadcast like numpy ufuncs; results are float64 arrays, or floats for scalar arguments.
With gradient=True every function also returns its exact partial derivatives.
"""

import inspect as _inspect

from lumagnis_fspl._native import (
    Linear,
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
    Tabulated: ("r", "intensity"),
}
for _public, _names in _PARAMETERS.items():
    _public.__module__ = __name__
    _public.__signature__ = _inspect.Signature(
        [_inspect.Parameter(n, _inspect.Parameter.POSITIONAL_OR_KEYWORD) for n in _names]
    )
del _public, _names, _PARAMETERS, _inspect
