"""High-precision references for lumagnis_fspl at the inputs where it once failed: rough power-2
limbs, the lens beside the limb, a law that darkens to zero at the limb. Writes
tests/data/fspl_edge_reference.json, read by tests/test_fspl_edge_reference.py.

Both routes of gen_fspl_references.py are used and must agree (value 1e-13, slopes 1e-10
relative): the ring route and the by-parts route for the value; the slopes under the integral
and by central differences of the ring route. For a power-2 law with alpha < 1 the by-parts
integrand, mu^(alpha - 2) at the limb, is too singular for the quadrature, so there the ring
route is the only value route, checked against itself at 15 more digits, and the slopes come
from central differences checked at a second step ten times larger.

    .venv/bin/python tools/gen_fspl_edge_references.py        # about two minutes
"""

import json
import pathlib
import sys

from mpmath import mp, mpf

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import gen_fspl_references as routes  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "fspl_edge_reference.json"

# (law, parameters, u, rho): the points named where each fault was found, and their neighbours.
POINTS = [
    ("Power2", [0.6, 0.01], 0.0004894133083867687, 0.0003935573796119338),
    ("Power2", [0.6, 0.1], 0.01, 0.01),
    ("Power2", [0.6, 0.1], 0.014, 0.01),
    ("Power2", [0.6, 10.0], 0.1 * (1 + 1e-6), 0.1),
    ("Power2", [0.6, 50.0], 0.3, 0.3),
    ("Uniform", [], 0.3 * (1 - 1e-9), 0.3),
    ("Uniform", [], 0.3 * (1 + 1e-9), 0.3),
    ("Linear", [0.6], 0.01 * (1 + 1e-9), 0.01),
    ("Linear", [1.0], 0.01 * (1 + 5e-5), 0.01),
    ("Linear", [1.0], 1e-5 * 1.001, 1e-5),
]


def agree(a, b, tolerance, what):
    difference = routes.relative(a, b)
    if difference > tolerance:
        raise RuntimeError(f"{what}: routes differ by {float(difference):.1e}")
    return float(difference)


def reference(name, params, u, rho):
    profile = routes.Profile(name, params)
    on_limb = u == rho
    rough = name == "Power2" and params[1] < 1
    row = {"law": name, "params": params, "u": u, "rho": rho}
    with mp.workdps(routes.VALUE_DPS + routes.point_extra_dps(u, rho)):
        value = routes.value_by_rings(u, rho, profile)
        if rough:
            with mp.workdps(mp.dps + 15):
                agree(value, routes.value_by_rings(u, rho, profile), 1e-13, "value at more digits")
        else:
            agree(value, routes.value_by_parts(u, rho, profile), 1e-13, "value by parts")
        row["value"] = mp.nstr(value, 25)
        if not on_limb:
            differences = routes.derivatives_by_differences(u, rho, profile)
            if rough:
                saved = routes.DIFF_STEP
                routes.DIFF_STEP = saved * 10
                try:
                    wider = routes.derivatives_by_differences(u, rho, profile)
                finally:
                    routes.DIFF_STEP = saved
                second = wider
            else:
                second = routes.derivatives_under_integral(u, rho, profile)
            agree(differences[0], second[0], 1e-10, "dA/du")
            agree(differences[1], second[1], 1e-10, "dA/drho")
            row["du"], row["drho"] = mp.nstr(differences[0], 20), mp.nstr(differences[1], 20)
    return row


def main():
    rows = []
    for point in POINTS:
        rows.append(reference(*point))
        print(rows[-1], flush=True)
    OUT.write_text(json.dumps({"generator": "tools/gen_fspl_edge_references.py", "rows": rows}, indent=1) + "\n")


if __name__ == "__main__":
    main()
