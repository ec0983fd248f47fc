"""Light curve of a microlensing event in which a point lens crosses the face of the source.

The lens passes at u0 = 0.004 Einstein radii from the centre of a source of radius
rho = 0.01 Einstein radii, so it enters the disk, and the finite size of the source shapes the
peak. The separation at time t is u(t) = sqrt(u0^2 + ((t - t0)/tE)^2) in Einstein radii, and
l = u/rho in source radii is what lumagnis takes.

Models drawn (upper panels):
  * the point source, A(u) = (u^2 + 2) / (u sqrt(u^2 + 4));
  * the uniformly bright disk, `witt_mao_magnification`;
  * a limb-darkened source (linear law, coefficient 0.6) as a discrete sum over rings, with
    rings and weights from a Gauss-Legendre quadrature of the profile,
    `discrete_flux_map_heyrovsky_magnification`;
  * a source whose profile is given as a table (intensity at 21 radii), interpolated onto
    the same rings: a flux map through the same function.
The integrated forms go in a panel of their own (see its caption).

Writes light_curve.png (or the path given as the first argument), prints a short table of
magnifications and the time each model took.

Run with `make demo`, or `python examples/light_curve.py [output.png]` once lumagnis, numpy
and matplotlib are installed; with tqdm installed too, slow models show a progress bar.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

import numpy as np

import lumagnis

# The event. Times in days; re and rstar in one common unit, of which only the ratio enters.
T0 = 0.0
TE = 20.0
U0 = 0.004
RHO = 0.01
RE = 1.0
RSTAR = RHO * RE

# The limb-darkening law built into the integrated forms: I(mu) = 1 - 0.6 (1 - mu).
LINEAR_COEFFICIENT = 0.6
# Rings of the discrete sums. Where the lens lies inside the source the ring magnification
# has a logarithmic peak at the ring through the lens; a Gauss-Legendre sum then converges
# like 1/n (about 0.4/n relative), and like n^-3 or faster outside the source.
RING_COUNT = 1000
# Separations per call when a model is computed piecewise for its progress bar.
CHUNK = 40


def separation(t: np.ndarray) -> np.ndarray:
    """Lens-source separation in source radii at times t (days)."""
    u = np.sqrt(U0**2 + ((t - T0) / TE) ** 2)
    return u / RHO


def point_source(l: np.ndarray) -> np.ndarray:
    u = l * RHO
    return (u * u + 2) / (u * np.sqrt(u * u + 4))


def linear_profile(r: np.ndarray) -> np.ndarray:
    """Intensity at radius r (source radii) of the linear limb-darkening law."""
    mu = np.sqrt(1 - r * r)
    return 1 - LINEAR_COEFFICIENT * (1 - mu)


def tabulated_profile() -> tuple[np.ndarray, np.ndarray]:
    """A profile as a table of radii and intensities, as a model atmosphere would give it.

    Here the table samples a strongly darkened quadratic law, I(mu) = 1 - 0.5 (1 - mu)
    - 0.3 (1 - mu)^2, at 21 radii.
    """
    radii = np.linspace(0.0, 1.0, 21)
    mu = np.sqrt(1 - radii * radii)
    return radii, 1 - 0.5 * (1 - mu) - 0.3 * (1 - mu) ** 2


def rings(profile: Callable[[np.ndarray], np.ndarray], count: int) -> tuple[np.ndarray, np.ndarray]:
    """Ring radii and flux shares for the discrete ring sum.

    Gauss-Legendre nodes r_i on [0, 1] with weights c_i; ring i carries the flux
    2 pi r_i I(r_i) c_i, normalised so that the shares add up to 1. The ring sum
    sum_i w_i A_ring(l, r_i) is then the flux-weighted mean magnification over the disk.
    """
    x, c = np.polynomial.legendre.leggauss(count)
    radii = 0.5 * (x + 1)
    flux = 2 * np.pi * radii * profile(radii) * (0.5 * c)
    return radii, flux / flux.sum()


def models() -> dict[str, Callable[[np.ndarray], list[float]]]:
    """Each model as a function of the separations l, in plotting order."""
    ld_radii, ld_weights = rings(linear_profile, RING_COUNT)
    table_radii, table_intensity = tabulated_profile()
    tab_radii, tab_weights = rings(
        lambda r: np.interp(r, table_radii, table_intensity), RING_COUNT
    )
    return {
        "uniform disk": lambda l: lumagnis.witt_mao_magnification(l, RE, RSTAR),
        "limb-darkened, ring sum": lambda l: lumagnis.discrete_flux_map_heyrovsky_magnification(
            l, RE, RSTAR, ld_radii, ld_weights
        ),
        "tabulated profile, ring sum": lambda l: (
            lumagnis.discrete_flux_map_heyrovsky_magnification(l, RE, RSTAR, tab_radii, tab_weights)
        ),
        "integrated Witt-Mao": lambda l: lumagnis.integrated_witt_mao_magnification(l, RE, RSTAR),
        "integrated flux-map Witt-Mao": lambda l: (
            lumagnis.integrated_flux_map_witt_mao_magnification(
                l, RE, RSTAR, table_radii, table_intensity
            )
        ),
        "integrated Heyrovsky": lambda l: lumagnis.integrated_heyrovsky_magnification(
            l, RE, RSTAR
        ),
        "integrated flux-map Heyrovsky": lambda l: (
            lumagnis.integrated_flux_map_heyrovsky_magnification(
                l, RE, RSTAR, table_radii, table_intensity
            )
        ),
    }


INTEGRATED = (
    "integrated Witt-Mao",
    "integrated flux-map Witt-Mao",
    "integrated Heyrovsky",
    "integrated flux-map Heyrovsky",
)


def run(model: Callable[[np.ndarray], list[float]], l: np.ndarray, name: str, progress: bool
        ) -> tuple[np.ndarray, float]:
    """One model's values at the separations l, and the seconds spent inside lumagnis.

    With `progress` the model is computed in pieces under a progress bar, which appears only
    once the model has taken more than a second.
    """
    if not progress:
        start = time.perf_counter()
        values = model(l)
        return np.asarray(values), time.perf_counter() - start

    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a nicety, not something the demo needs
        return run(model, l, name, progress=False)

    pieces: list[float] = []
    elapsed = 0.0
    with tqdm(total=len(l), desc=name, unit="point", delay=1.0, leave=False) as bar:
        for first in range(0, len(l), CHUNK):
            start = time.perf_counter()
            pieces.extend(model(l[first : first + CHUNK]))
            elapsed += time.perf_counter() - start
            bar.update(min(CHUNK, len(l) - first))
    return np.asarray(pieces), elapsed


def compute(
    l: np.ndarray, progress: bool = False
) -> tuple[dict[str, np.ndarray], dict[str, float]]:
    """Every model at the separations l, and the seconds each took."""
    curves = {"point source": point_source(l)}
    seconds = {}
    for name, model in models().items():
        curves[name], seconds[name] = run(model, l, name, progress)
    return curves, seconds


CAPTION = (
    "Neither integrated form is the classical limb-darkened magnification. The Witt-Mao ones "
    "return the uniform-disk value normalised by the\nprofile's flux, and lie on the uniform "
    "disk. The Heyrovsky ones integrate the disk-to-ring transform P(x)\u00b7\u03c0\u00b7"
    "d/dx[x\u00b2 A_ring(x)] of the\nring kernel itself: while the lens is inside the source "
    "(l < 1) they depend on where the quadrature nodes fall, and swing or go negative\n"
    "(symmetric log scale). For a limb-darkened source use the ring sum of the upper panels."
)


def plot(t: np.ndarray, curves: dict[str, np.ndarray], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (top, middle, bottom) = plt.subplots(
        3, 1, figsize=(9, 11), sharex=True, height_ratios=[3, 2, 3]
    )
    styles = {
        "point source": dict(color="0.45", linestyle=":"),
        "uniform disk": dict(color="C0"),
        "limb-darkened, ring sum": dict(color="C1"),
        "tabulated profile, ring sum": dict(color="C2", linestyle="--"),
    }
    for name, style in styles.items():
        top.plot(t, curves[name], label=name, **style)
        if name != "point source":
            middle.plot(t, curves[name] / curves["point source"], label=name, **style)
    top.set_ylabel("magnification A")
    top.set_title(
        f"Point lens crossing the source: u0 = {U0}, \u03c1 = {RHO}, tE = {TE:g} d"
    )
    top.legend()
    middle.axhline(1.0, color="0.45", linestyle=":", linewidth=1)
    middle.set_ylabel("A / A(point source)")

    bottom.plot(t, curves["uniform disk"], color="0.7", linewidth=3, label="uniform disk")
    for name, color in zip(INTEGRATED, ("C0", "C4", "C3", "C6")):
        bottom.plot(t, curves[name], label=name, color=color, linewidth=1)
    bottom.axhline(0.0, color="0.45", linewidth=0.5)
    bottom.set_yscale("symlog", linthresh=100.0)
    bottom.set_ylabel("magnification")
    bottom.set_xlabel("t \u2212 t0 [days]")
    bottom.set_title("The integrated forms", fontsize="medium")
    bottom.legend(fontsize="small", ncols=2, loc="lower left")
    figure.text(0.02, 0.01, CAPTION, fontsize=7.5, va="bottom", ha="left")
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(path, dpi=120)
    plt.close(figure)


def print_table(t: np.ndarray, l: np.ndarray, curves: dict[str, np.ndarray]) -> None:
    columns = ["point source", "uniform disk", "limb-darkened, ring sum",
               "tabulated profile, ring sum", "integrated Heyrovsky"]
    short = ["point", "uniform", "LD rings", "table rings", "int. Heyr."]
    print(f"{'t - t0 [d]':>10} {'l':>7} " + " ".join(f"{s:>11}" for s in short))
    for when in (0.0, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4):
        i = int(np.argmin(np.abs(t - when)))
        row = " ".join(f"{curves[c][i]:11.4f}" for c in columns)
        print(f"{t[i]:10.3f} {l[i]:7.3f} {row}")


def main(path: str = "light_curve.png") -> None:
    t = np.linspace(-0.4, 0.4, 801)
    l = separation(t)
    curves, seconds = compute(l, progress=True)
    print_table(t, l, curves)
    print()
    print(f"time per model for {len(l)} points:")
    for name, elapsed in seconds.items():
        print(f"  {name:32s} {elapsed * 1e3:9.1f} ms  ({elapsed / len(l) * 1e6:7.1f} \u00b5s per point)")
    plot(t, curves, path)
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
