"""The fixed, seeded inputs shared by every benchmark script.

Separations l are in source radii, drawn uniformly from [0, 5] (a light curve from the lens at the
source centre out to well past the limb); source sizes rho = rstar/re in Einstein radii. Every
call passes re = 1.0 and rstar = rho, so rho reaches the code exactly and the separation in
Einstein radii is u = l*rho, rounded once, the same product the peers are given.
"""

import json
import pathlib
import random

REFERENCE_CACHE = pathlib.Path(__file__).with_name("reference_disk.json")

RHOS = (1e-3, 1e-2, 0.1, 1.0)
SEED = "lumagnis-bench-1"
L_MAX = 5.0

# Linear limb darkening used by every limb-darkened comparison: I(mu) = 1 - a1*(1 - mu).
A1 = 0.6

# Points per rho in the side-by-side table: the lens at the centre, on the limb, and 62 draws.
PEER_DRAWS = 62


def separations(purpose, rho, count):
    """`count` separations in [0, L_MAX], fixed by (purpose, rho) and nothing else.

    A string seed makes `random.Random` hash it with SHA-512, so the draws are the same on every
    machine and every run, and independent between purposes.
    """
    generator = random.Random(f"{SEED}:{purpose}:{rho!r}")
    return [generator.uniform(0.0, L_MAX) for _ in range(count)]


def ring_radii(purpose, rho, count):
    """`count` ring radii in [0, 1] (source radii), fixed like `separations`."""
    generator = random.Random(f"{SEED}:{purpose}:rings:{rho!r}")
    return [generator.uniform(0.0, 1.0) for _ in range(count)]


def peer_points():
    """The (rho, l, u) set of the side-by-side table, in a fixed order."""
    points = []
    for rho in RHOS:
        for l in [0.0, 1.0] + separations("peers", rho, PEER_DRAWS):
            points.append((rho, l, l * rho))
    return points


def limb_darkening(x):
    """Brightness at radius x (source radii) relative to the centre: 1 - a1*(1 - sqrt(1 - x^2))."""
    return 1.0 - A1 * (1.0 - (1.0 - x * x) ** 0.5)


def sampled_profile(count):
    """A flux map of `count` entries sampling the limb-darkening profile evenly on [0, 1]."""
    bl = [i / (count - 1) for i in range(count)]
    return bl, [limb_darkening(x) for x in bl]


def midpoint_rings(count):
    """Rings for a classical limb-darkened magnification as a weighted ring sum.

    `count` annuli of equal width in x; each ring sits at its annulus' midpoint with weight
    P(x) * 2x * dx, the weights scaled to sum to 1 so that a constant magnification comes back
    unchanged. The midpoint rule's error is largest where a ring passes near the lens.
    """
    width = 1.0 / count
    bl = [(i + 0.5) * width for i in range(count)]
    raw = [limb_darkening(x) * 2.0 * x * width for x in bl]
    total = sum(raw)
    return bl, [w / total for w in raw]


def load_references(path=REFERENCE_CACHE):
    """The cached mpmath references (written by reference_disk.py), or None when the file is
    missing or was made for another point set."""
    try:
        data = json.loads(path.read_text())
    except FileNotFoundError:
        return None
    cached = [(row["rho"], row["l"], row["u"]) for row in data["points"]]
    return data if cached == peer_points() else None
