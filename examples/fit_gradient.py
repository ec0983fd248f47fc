"""Fitting a finite-source event with the exact gradient of lumagnis_fspl.

A synthetic light curve: a lens crossing a limb-darkened source (linear law, a = 0.6), 400
magnifications over two days with 0.5 % Gaussian noise. `scipy.optimize.least_squares` fits t0,
u0, tE, rho and the limb-darkening coefficient a, once with the exact Jacobian from
`magnification_curve(..., gradient=True, coefficients=True)` and once letting it difference the
model itself, and prints both fits, the recovered coefficient against the truth, and what each
fit cost.

    python examples/fit_gradient.py        (needs lumagnis, numpy and scipy)
"""

from __future__ import annotations

import numpy as np
from scipy.optimize import least_squares

import lumagnis_fspl

NAMES = ("t0", "u0", "tE", "rho", "a")
# days, Einstein radii, days, Einstein radii, and the linear law's coefficient
TRUTH = np.array([0.1, 0.004, 22.0, 0.01, 0.6])
START = np.array([0.0, 0.006, 18.0, 0.013, 0.3])
NOISE = 0.005  # relative


def magnification(t: np.ndarray, p: np.ndarray) -> np.ndarray:
    """The model: the light curve of a source with the linear law of coefficient p[4]."""
    return lumagnis_fspl.magnification_curve(t, *p[:4], lumagnis_fspl.Linear(p[4]))


def synthetic_event(seed: int = 3, noise: float = NOISE) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Times (days), observed magnifications and their standard deviations (NOISE of the
    magnification; `noise` is what is drawn, 0 for exact data)."""
    rng = np.random.default_rng(seed)
    t = np.sort(rng.uniform(-1.0, 1.0, 400))
    model = magnification(t, TRUTH)
    return t, model * (1 + noise * rng.standard_normal(t.size)), NOISE * model


def fit(t: np.ndarray, observed: np.ndarray, sigma: np.ndarray, start: np.ndarray = START,
        gradient: bool = True):
    """The least-squares fit of (t0, u0, tE, rho, a), with the exact Jacobian or without."""

    def residuals(p):
        return (magnification(t, p) - observed) / sigma

    def jacobian(p):
        # The derivatives in t0, u0, tE and rho, then the one in the law's coefficient.
        _, *columns, d_coefficients = lumagnis_fspl.magnification_curve(
            t, *p[:4], lumagnis_fspl.Linear(p[4]), gradient=True, coefficients=True)
        return np.column_stack([*columns, d_coefficients[:, 0]]) / sigma[:, None]

    # tE and rho must stay positive (the model rejects rho <= 0), and a at most 1 (a darker limb
    # than zero intensity is refused).
    bounds = ([-np.inf, -np.inf, 1e-3, 1e-6, -np.inf], [np.inf, np.inf, np.inf, np.inf, 1.0])
    return least_squares(residuals, start, jac=jacobian if gradient else "2-point", bounds=bounds,
                         x_scale="jac", xtol=1e-12, ftol=1e-12, gtol=1e-12)


def uncertainties(result) -> np.ndarray:
    """One-sigma errors of the parameters from the Jacobian at the optimum."""
    return np.sqrt(np.diag(np.linalg.inv(result.jac.T @ result.jac)))


def evaluations(result, gradient: bool) -> int:
    """Light curves computed by a fit: least_squares counts the differencing ones apart."""
    return result.nfev + (0 if gradient else len(NAMES) * result.njev)


def main() -> None:
    t, observed, sigma = synthetic_event()
    with_gradient, without = fit(t, observed, sigma), fit(t, observed, sigma, gradient=False)
    errors = uncertainties(with_gradient)
    print(f"{'':>5} {'truth':>10} {'fit':>10} {'± 1 sigma':>10}")
    for name, true, found, error in zip(NAMES, TRUTH, with_gradient.x, errors):
        print(f"{name:>5} {true:10.6g} {found:10.6g} {error:10.2g}")
    print(f"chi^2 = {2 * with_gradient.cost:.1f} for {t.size - len(NAMES)} degrees of freedom")
    a, error_a = with_gradient.x[4], errors[4]
    print(f"limb darkening: a = {a:.4f} ± {error_a:.4f}, truth {TRUTH[4]:g}: off by {a - TRUTH[4]:+.4f}, "
          f"{abs(a - TRUTH[4]) / error_a:.1f} sigma\n")
    print(f"exact gradient:     {evaluations(with_gradient, True)} light curves, each with its gradient")
    print(f"finite differences: {evaluations(without, False)} light curves "
          f"({without.njev} Jacobians of {len(NAMES)} each); same chi^2 to "
          f"{abs(without.cost / with_gradient.cost - 1):.0e}")


if __name__ == "__main__":
    main()
