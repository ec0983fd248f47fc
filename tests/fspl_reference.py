"""The stored high-precision references of the limb-darkened magnification, as floats.

The tables are written by tools/gen_fspl_references.py (two independent mpmath routes that must
agree); this module only reads them. u and rho are the exact doubles the references were
computed for, so a test feeds exactly those inputs.
"""

from __future__ import annotations

import json
import math
import pathlib
from typing import NamedTuple

ROOT = pathlib.Path(__file__).resolve().parent.parent
GRID_FILE = ROOT / "tests" / "data" / "fspl_reference.json"
CURVE_FILE = ROOT / "benchmarks" / "fspl_curve_reference.json"


class Row(NamedTuple):
    """One grid point. `profile` is (name, params): params is () for Uniform, the coefficients
    for the analytic laws, and (radii, intensities) for Tabulated. The derivatives are None
    where 0 < |u - rho| < 1e-6 rho, and -inf / +inf at u = rho."""

    profile: tuple[str, tuple]
    u: float
    rho: float
    A: float
    dA_du: float | None
    dA_drho: float | None
    # The stored decimal strings, for checks finer than a double.
    exact: dict


def as_params(name: str, params: list) -> tuple:
    if name in ("Tabulated", "TabulatedMu"):
        return (tuple(params[0]), tuple(params[1]))
    return tuple(params)


def as_float(text: str | None) -> float | None:
    return None if text is None else float(text)


def load_document() -> dict:
    return json.loads(GRID_FILE.read_text())


def load_rows() -> list[Row]:
    """Every grid row, in the table's order (profile, then rho, then u/rho)."""
    rows = []
    for row in load_document()["rows"]:
        rows.append(Row(
            profile=(row["profile"], as_params(row["profile"], row["params"])),
            u=float.fromhex(row["u"]),
            rho=float.fromhex(row["rho"]),
            A=float(row["A"]),
            dA_du=as_float(row["dA_du"]),
            dA_drho=as_float(row["dA_drho"]),
            exact={key: row[key] for key in ("A", "dA_du", "dA_drho")},
        ))
    return rows


class CoefficientRow(NamedTuple):
    """The derivatives of A in each coefficient of the law (for the tables, each intensity
    sample), in the constructor's order, at one point of a subset of the grid."""

    profile: tuple[str, tuple]
    u: float
    rho: float
    A: float
    dA_dcoefficients: tuple[float, ...]
    exact: tuple[str, ...]


def load_coefficient_rows() -> list[CoefficientRow]:
    rows = []
    for row in load_document()["coefficients"]["rows"]:
        rows.append(CoefficientRow(
            profile=(row["profile"], as_params(row["profile"], row["params"])),
            u=float.fromhex(row["u"]),
            rho=float.fromhex(row["rho"]),
            A=float(row["A"]),
            dA_dcoefficients=tuple(float(x) for x in row["dA_dcoefficients"]),
            exact=tuple(row["dA_dcoefficients"]),
        ))
    return rows


class Curve(NamedTuple):
    """The reference points of one benchmark light curve: t, u and A at the times
    numpy.linspace(-tau_max, tau_max, 2000) * tE + t0 of index `index`."""

    profile: tuple[str, tuple]
    rho: float
    u0: float
    tE: float
    t0: float
    index: list[int]
    t: list[float]
    u: list[float]
    A: list[float]


def load_curves() -> list[Curve]:
    document = json.loads(CURVE_FILE.read_text())
    curves = []
    for curve in document["curves"]:
        curves.append(Curve(
            profile=(curve["profile"], as_params(curve["profile"], curve["params"])),
            rho=curve["rho"], u0=curve["u0"], tE=document["tE"], t0=document["t0"],
            index=curve["index"], t=curve["t"], u=[float(x) for x in curve["u"]],
            A=[float(x) for x in curve["A"]],
        ))
    return curves


def curve_times(rho: float, u0: float, tE: float, t0: float, count: int = 2000):
    """The benchmark's times for one curve, as the generator made them."""
    import numpy

    tau_max = math.sqrt((5 * rho) ** 2 - u0**2)
    return numpy.linspace(-tau_max, tau_max, count) * tE + t0
