"""Finite-source point-lens magnification for modelling microlensing light curves.

The separation u and the source radius rho are in Einstein radii; the magnification is the
brightness-weighted mean of the point-lens magnification over the source disk. Arguments
broadcast like numpy ufuncs; results are float64 arrays, or floats for scalar arguments.
With gradient=True every function also returns its exact partial derivatives.
"""

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

# The profiles live here: pickles and help() name `lumagnis_fspl.Linear`, not the extension
# inside the package, so a pickle stays loadable however the package is arranged inside.
for _profile in (Linear, Quadratic, SquareRoot, Power2, Nonlinear, Tabulated):
    _profile.__module__ = __name__
del _profile
