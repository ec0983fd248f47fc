"""lumagnis_fspl against a fixed-seed slice of its accuracy sweep (tools/fspl_sweep.py): random
laws (edges of validity included) and tables, rho from 1e-6 to 1e3, u from 0 and subnormal
through 10^-k of the limb on both sides to 1e6 rho and +inf; references agreed by two
independent mpmath routes. Value within 1e-10, slopes within 1e-8 wherever |u/rho - 1| >= 1e-10,
the same along a light curve through the point, and nothing non-finite but the limb's
documented infinities."""

import json
import math
import pathlib

import pytest

import lumagnis_fspl as fspl

ROWS = json.loads((pathlib.Path(__file__).parent / "data" / "fspl_sweep.json").read_text())["rows"]
LAWS = sorted({row["law"] for row in ROWS})


def error(ours, ref, scale):
    """Relative error; against a zero reference, relative to `scale`; infinities must match."""
    if math.isinf(ref) or not math.isfinite(ours):
        return 0.0 if ours == ref else math.inf
    if ref == 0:
        return abs(ours) / scale
    # A result near or below the least normal double is held to 2^-1074 absolute only.
    return abs(ours - ref) / max(abs(ref), 2.0**-970)


def curve_slopes(row, du):
    """The chain rule through the point's trajectory, whose separation is exactly u: either
    u0 = 0 and tau = +-u, or tau = 0 and u0 = +-u; a slope whose du/dx is zero is zero."""
    c = row["curve"]
    tau = (c["t"] - c["t0"]) / c["tE"]
    u = abs(tau) if c["u0"] == 0 else abs(c["u0"])
    if u == 0:
        return [0.0, 0.0, 0.0]
    return [0.0 if tau == 0 else du * (-tau / (c["tE"] * u)),
            0.0 if c["u0"] == 0 else du * (c["u0"] / u),
            0.0 if tau == 0 else du * (-(tau * tau) / (c["tE"] * u))]


@pytest.mark.parametrize("law", LAWS)
def test_sweep_slice(law):
    failures = []
    for row in (r for r in ROWS if r["law"] == law):
        u, rho = float.fromhex(row["u"]), float.fromhex(row["rho"])
        profile = None if law == "Uniform" else getattr(fspl, law)(*row["params"])
        if profile is None:
            ours = fspl.uniform(u, rho, gradient=True)
        else:
            ours = fspl.limb_darkened(u, rho, profile, gradient=True)
        # The slopes are null where the references' routes did not agree on them.
        refs = [math.nan if row[k] is None else float(row[k]) for k in ("A", "dA_du", "dA_drho")]
        slopes = row["dA_du"] is not None
        scale = refs[0] / (max(u, rho) if math.isfinite(u) else rho)
        off_limb = not math.isfinite(u) or abs(u / rho - 1) >= 1e-10
        checks = [("A", ours[0], refs[0], 1e-10)]
        if slopes and (off_limb or math.isinf(refs[1])):
            checks += [("dA_du", ours[1], refs[1], 1e-8), ("dA_drho", ours[2], refs[2], 1e-8)]
        if row["curve"]:
            c = row["curve"]
            curve = fspl.magnification_curve(c["t"], c["t0"], c["u0"], c["tE"], rho, profile, gradient=True)
            checks.append(("curve A", curve[0], refs[0], 1e-10))
            if slopes and (off_limb or math.isinf(refs[1])):
                names = ("curve dA_dt0", "curve dA_du0", "curve dA_dtE")
                checks += [(n, o, r, 1e-8) for n, o, r in zip(names, curve[1:4], curve_slopes(row, refs[1]))]
                checks.append(("curve dA_drho", curve[4], refs[2], 1e-8))
        for name, value, ref, tolerance in checks:
            e = error(value, ref, scale / (row["curve"]["tE"] if "curve d" in name else 1))
            if not e <= tolerance:
                failures.append(f"{row['key']} {name} u={u!r} rho={rho!r}: {value!r} vs {ref!r} ({e:.1e})")
    assert not failures, f"{len(failures)} beyond the tolerances:\n" + "\n".join(failures)
