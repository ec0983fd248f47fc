"""Light curve of a microlensing event in which a point lens crosses the face of the source.

The lens passes at u0 = 0.004 Einstein radii from the centre of a source of radius
rho = 0.01 Einstein radii, so it enters the disk, and the finite size of the source shapes the
peak. The separation at time t is u(t) = sqrt(u0^2 + ((t - t0)/tE)^2) in Einstein radii.

The figure (light_curve.png, or the path given as the first argument) draws, from
`lumagnis_fspl`:
  * the point source, `point_source(u)`;
  * the uniformly bright disk, `magnification_curve(t, t0, u0, tE, rho)`;
  * a limb-darkened source, linear law with a = 0.6, `Linear(0.6)`;
  * a source whose profile is given as a table (a quadratic law sampled at 11 radii, as a
    model atmosphere would give it), `Tabulated(r, intensity)`;
and each one's ratio to the point source.

A second figure beside it (light_curve_integrated.png) shows what the integrated forms of
`lumagnis` compute along the same event: other quantities than the limb-darkened magnification.

Prints a short table of magnifications and the time each model took. Run with `make demo`, or
`python examples/light_curve.py [output.png]` once lumagnis, numpy and matplotlib are installed.
"""

from __future__ import annotations

import pathlib
import sys
import time
from collections.abc import Callable

import numpy as np

import lumagnis
import lumagnis_fspl

# The event. Times in days; u0 and rho in Einstein radii.
T0 = 0.0
TE = 20.0
U0 = 0.004
RHO = 0.01

LINEAR = lumagnis_fspl.Linear(0.6)
# The tabulated source: I(mu) = 1 - 0.5 (1 - mu) - 0.3 (1 - mu)^2 at 11 radii.
TABLE_A, TABLE_B = 0.5, 0.3
TABLE_RADII = np.linspace(0.0, 1.0, 11)
_mu = np.sqrt(1 - TABLE_RADII**2)
TABLE_INTENSITY = 1 - TABLE_A * (1 - _mu) - TABLE_B * (1 - _mu) ** 2
TABULATED = lumagnis_fspl.Tabulated(TABLE_RADII, TABLE_INTENSITY)

# The names of the models, which the legends show: each states its profile and coefficients.
POINT = "point source"
UNIFORM = "uniform disk"
LIMB_DARKENED = "linear limb darkening, Linear(a=0.6)"
TABLE = f"tabulated: quadratic law a = {TABLE_A}, b = {TABLE_B} at {len(TABLE_RADII)} radii"

# The integrated forms of lumagnis, for the second figure. They take the separation in source
# radii, l = u / rho, and re, rstar with rstar / re = rho; the flux-map ones the same table.
INTEGRATED = {
    "integrated Witt-Mao": lambda l: lumagnis.integrated_witt_mao_magnification(l, 1.0, RHO),
    "integrated flux-map Witt-Mao": lambda l: lumagnis.integrated_flux_map_witt_mao_magnification(
        l, 1.0, RHO, TABLE_RADII, TABLE_INTENSITY),
    "integrated Heyrovsky": lambda l: lumagnis.integrated_heyrovsky_magnification(l, 1.0, RHO),
    "integrated flux-map Heyrovsky": lambda l: lumagnis.integrated_flux_map_heyrovsky_magnification(
        l, 1.0, RHO, TABLE_RADII, TABLE_INTENSITY),
}


def separation(t: np.ndarray) -> np.ndarray:
    """Lens-source separation in Einstein radii at times t (days)."""
    return np.sqrt(U0**2 + ((t - T0) / TE) ** 2)


def timed(model: Callable[[], object]) -> tuple[np.ndarray, float]:
    start = time.perf_counter()
    values = model()
    return np.asarray(values), time.perf_counter() - start


def compute(t: np.ndarray) -> tuple[dict[str, np.ndarray], dict[str, float]]:
    """Every model at the times t, in plotting order, and the seconds each took."""
    models = {
        POINT: lambda: lumagnis_fspl.point_source(separation(t)),
        UNIFORM: lambda: lumagnis_fspl.magnification_curve(t, T0, U0, TE, RHO),
        LIMB_DARKENED: lambda: lumagnis_fspl.magnification_curve(t, T0, U0, TE, RHO, LINEAR),
        TABLE: lambda: lumagnis_fspl.magnification_curve(t, T0, U0, TE, RHO, TABULATED),
    }
    l = separation(t) / RHO
    models.update({name: (lambda f=f: f(l)) for name, f in INTEGRATED.items()})
    curves, seconds = {}, {}
    for name, model in models.items():
        curves[name], seconds[name] = timed(model)
    return curves, seconds


STYLES = {
    POINT: dict(color="0.45", linestyle=":"),
    UNIFORM: dict(color="C0"),
    LIMB_DARKENED: dict(color="C1"),
    TABLE: dict(color="C2", linestyle="--"),
}

CAPTION = (
    "Neither integrated form of lumagnis is the limb-darkened magnification. The Witt-Mao ones "
    "return the uniform-disk value normalised by the\nprofile's flux, and lie on the uniform "
    "disk. The Heyrovsky ones integrate the disk-to-ring transform P(x)\u00b7\u03c0\u00b7"
    "d/dx[x\u00b2 A_ring(x)] of the\nring kernel itself: while the lens is inside the source "
    "(u < \u03c1) they depend on where the quadrature nodes fall, and swing or go negative\n"
    "(symmetric log scale). For a limb-darkened source use lumagnis_fspl, drawn dashed."
)


def plot(t: np.ndarray, curves: dict[str, np.ndarray], path: str) -> str:
    """The main figure at `path`, the integrated forms beside it; returns the second path."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    title = f"Point lens crossing the source: u0 = {U0}, \u03c1 = {RHO}, tE = {TE:g} d"
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 8), sharex=True, height_ratios=[3, 2])
    for name, style in STYLES.items():
        top.plot(t, curves[name], label=name, **style)
        if name != POINT:
            bottom.plot(t, curves[name] / curves[POINT], label=name, **style)
    top.set_ylabel("magnification A")
    top.set_title(title)
    # Head room above the peak for the legend, clear of the curves.
    top.set_ylim(top=1.3 * np.max(curves[POINT]))
    top.legend(title="lumagnis_fspl", fontsize="small", loc="upper left")
    bottom.axhline(1.0, color="0.45", linestyle=":", linewidth=1)
    bottom.set_ylabel("A / A(point source)")
    bottom.set_xlabel("t \u2212 t0 [days]")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)

    output = pathlib.Path(path)
    second = str(output.with_name(f"{output.stem}_integrated{output.suffix}"))
    figure, axes = plt.subplots(figsize=(9, 6))
    axes.plot(t, curves[UNIFORM], color="0.7", linewidth=3, label=f"{UNIFORM} (lumagnis_fspl)")
    axes.plot(t, curves[LIMB_DARKENED], color="k", linestyle="--", linewidth=1,
              label=f"{LIMB_DARKENED} (lumagnis_fspl)")
    for name, color in zip(INTEGRATED, ("C0", "C4", "C3", "C6")):
        axes.plot(t, curves[name], label=name, color=color, linewidth=1)
    axes.axhline(0.0, color="0.45", linewidth=0.5)
    axes.set_yscale("symlog", linthresh=100.0)
    axes.set_ylabel("magnification")
    axes.set_xlabel("t \u2212 t0 [days]")
    axes.set_title("The integrated forms of lumagnis, as specified: not limb-darkened magnifications\n"
                   f"{title}", fontsize="medium")
    axes.legend(fontsize="small", ncols=2, loc="lower left")
    figure.text(0.02, 0.01, CAPTION, fontsize=7.5, va="bottom", ha="left")
    figure.tight_layout(rect=(0, 0.1, 1, 1))
    figure.savefig(second, dpi=120)
    plt.close(figure)
    return second


def print_table(t: np.ndarray, curves: dict[str, np.ndarray]) -> None:
    columns = [POINT, UNIFORM, LIMB_DARKENED, TABLE, "integrated Heyrovsky"]
    short = ["point", "uniform", "Linear(0.6)", "tabulated", "int. Heyr."]
    u = separation(t)
    print(f"{'t - t0 [d]':>10} {'u/rho':>7} " + " ".join(f"{s:>11}" for s in short))
    for when in (0.0, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4):
        i = int(np.argmin(np.abs(t - when)))
        row = " ".join(f"{curves[c][i]:11.4f}" for c in columns)
        print(f"{t[i]:10.3f} {u[i] / RHO:7.3f} {row}")
    print("int. Heyr.: lumagnis.integrated_heyrovsky_magnification, one of the integrated forms of "
          "lumagnis;\n  not a limb-darkened magnification (see light_curve_integrated.png).")


def main(path: str = "light_curve.png") -> None:
    t = np.linspace(-0.4, 0.4, 801)
    curves, seconds = compute(t)
    print_table(t, curves)
    print()
    print(f"time per model for {len(t)} points:")
    for name, elapsed in seconds.items():
        print(f"  {name:64s} {elapsed * 1e3:8.2f} ms  ({elapsed / len(t) * 1e6:7.2f} \u00b5s per point)")
    second = plot(t, curves, path)
    print(f"\nwrote {path} and {second}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
