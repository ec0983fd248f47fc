"""References of tools/fspl_sweep.py, by the two mpmath routes of gen_fspl_references.py, and
their cache: one JSON line a point, keyed by the point's key and a hash of its inputs."""

from __future__ import annotations

import json
import math
import multiprocessing
import pathlib
import sys
import time

import mpmath
from mpmath import mp, mpf

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import gen_fspl_references as routes  # noqa: E402

# Below this z the slope dA/du (~ z) is extrapolated linearly from z = CENTRE_PROBE: computed
# there directly, it would cancel 2 log10(1/z) digits; the extrapolation's error is ~CENTRE_PROBE.
CENTRE_PROBE = 1e-12


def relative(a, b):
    return routes.relative(mpf(a), mpf(b))


class ScaledProfile(routes.Profile):
    """A law whose intensity is scaled to order one: the magnification does not change, and the
    routes' quadrature, whose tolerance is absolute, keeps its relative precision (intensities of
    1e-200 would pass it at once, 1e200 never)."""

    def __init__(self, name, params):
        if name == "Tabulated":
            top = max(mpf(v) for v in params[1])
            params = [params[0], [mpf(v) / top for v in params[1]]]
        super().__init__(name, params)
        self.scale = mpf(1) if name == "Tabulated" else 1 / max([mpf(1), *(abs(c) for c in getattr(self, "c", []))])

    def intensity(self, r, mu):
        return super().intensity(r, mu) * self.scale

    def slope(self, r, mu):
        return super().slope(r, mu) * self.scale

    def flux(self):
        return super().flux() * self.scale


def slopes_by_differences(u, rho, profile, extra_dps):
    """Central differences of the ring route's value as gen_fspl_references takes them, with the
    flux, the same at the four points, in closed form (half the integrals)."""
    with mp.workdps(routes.DIFF_DPS + routes.point_extra_dps(u, rho) + extra_dps):
        flux = profile.flux()

        def value(u, rho):
            return routes.radial_integral(
                lambda r, mu: profile.intensity(r, mu) * 2 * r * routes.ring(u, rho * r), u, rho, profile) / flux

        h = routes.DIFF_STEP * routes.derivative_scale(u, rho)
        d_du = mpf(0) if u == 0 else (value(u + h, rho) - value(u - h, rho)) / (2 * h)
        d_drho = (value(u, rho + h) - value(u, rho - h)) / (2 * h)
    return d_du, d_drho


def routes_for(profile, u, rho, with_slopes, extra_dps=0):
    """(value, du, drho, differences) by both routes, with extra_dps more digits than the point
    needs on its own; du and drho are None without slopes."""
    digits = routes.VALUE_DPS + routes.point_extra_dps(u, rho) + extra_dps
    with mp.workdps(digits):
        by_rings = routes.value_by_rings(u, rho, profile)
        by_parts = routes.value_by_parts(u, rho, profile)
        differences = {"value": float(relative(by_rings, by_parts))}
        if not with_slopes:
            return by_rings, None, None, differences
        under = routes.derivatives_under_integral(u, rho, profile)
    diffs = slopes_by_differences(u, rho, profile, extra_dps)
    differences["du"] = float(relative(under[0], diffs[0]))
    differences["drho"] = float(relative(under[1], diffs[1]))
    return by_rings, under[0], under[1], differences


def compute_reference(point):
    """The point's reference as decimal strings, with the routes' relative differences."""
    started = time.time()
    mp.dps = routes.VALUE_DPS
    u, rho = float.fromhex(point["u"]), float.fromhex(point["rho"])
    profile = ScaledProfile(point["law"], point["params"])
    result = {"key": point["key"], "hash": point["hash"]}
    if math.isinf(u):
        result.update(A="1", dA_du="0", dA_drho="0", differences={})
    elif u == rho and profile.intensity(mpf(1), mpf(0)) != 0:
        # On the limb of a source bright there, the slopes are the signed infinities.
        value, _, _, differences = routes_for(profile, mpf(u), mpf(rho), False)
        result.update(A=mpmath.nstr(value, 25), dA_du="-inf", dA_drho="inf", differences=differences)
    else:
        z = mpf(u) / mpf(rho)
        if u != 0 and z < CENTRE_PROBE:
            # The value and dA/drho at u itself; dA/du, odd in u, from its ratio to u at the probe.
            value, _, d_rho, differences = routes_for(profile, mpf(u), mpf(rho), True)
            probe = mpf(rho) * CENTRE_PROBE
            extra = int(2 * -math.log10(CENTRE_PROBE)) + 2
            _, d_u_probe, _, probe_differences = routes_for(profile, probe, mpf(rho), True, extra)
            d_u = d_u_probe * mpf(u) / probe
            differences["du"] = probe_differences["du"]
        else:
            # Near the centre dA/du ~ z is the difference of two O(1) terms: carry the digits lost.
            extra = int(2 * -mpmath.log10(z)) + 2 if 0 < z < 1e-3 else 0
            value, d_u, d_rho, differences = routes_for(profile, mpf(u), mpf(rho), True, extra)
        result.update(A=mpmath.nstr(value, 25), dA_du=mpmath.nstr(d_u, 25), dA_drho=mpmath.nstr(d_rho, 25),
                      differences=differences)
    result["agree"] = (result["differences"].get("value", 0) <= routes.VALUE_TOLERANCE
                       and result["differences"].get("du", 0) <= routes.DERIVATIVE_TOLERANCE
                       and result["differences"].get("drho", 0) <= routes.DERIVATIVE_TOLERANCE)
    result["seconds"] = round(time.time() - started, 2)
    return result


def value_agreed(reference):
    """Whether the two routes gave the value, within their tolerance."""
    return "error" not in reference and reference["differences"].get("value", 0) <= routes.VALUE_TOLERANCE


def slopes_agreed(reference):
    """Whether they gave the slopes too: on the limb of a law dark there (I ~ sqrt(1 - r)),
    central differences straddle a kink they cannot resolve, and only the value is kept."""
    return value_agreed(reference) and all(
        reference["differences"].get(key, 0) <= routes.DERIVATIVE_TOLERANCE for key in ("du", "drho"))


def safe_reference(point):
    try:
        return compute_reference(point)
    except Exception as error:  # a route that fails is reported, not fatal to the sweep
        return {"key": point["key"], "hash": point["hash"], "error": repr(error), "agree": False}


def init_worker():
    mp.dps = routes.VALUE_DPS


def load_cache(path):
    cache = {}
    if path.exists():
        for line in path.read_text().splitlines():
            if line.strip():
                entry = json.loads(line)
                cache[(entry["key"], entry["hash"])] = entry
    return cache


def references_for(points, cache_path, processes, cached_only=False):
    cache = load_cache(cache_path)
    if cached_only:
        points[:] = [p for p in points if (p["key"], p["hash"]) in cache]
    missing = [p for p in points if (p["key"], p["hash"]) not in cache]
    # The cheap points first, so that an interrupted run covers every law and region: a table
    # costs in proportion to its radii, the centre its extra digits.
    missing.sort(key=lambda p: (max(1, len(p["params"][0]) / 8) if p["law"] == "Tabulated" else 1)
                 * (3 if p["region"] == "centre" else 1))
    if missing:
        print(f"computing {len(missing)} references ({len(points) - len(missing)} cached) ...", flush=True)
        cache_path.parent.mkdir(parents=True, exist_ok=True)
        started = time.time()
        with multiprocessing.Pool(processes, initializer=init_worker) as pool, cache_path.open("a") as out:
            for done, result in enumerate(pool.imap_unordered(safe_reference, missing), 1):
                cache[(result["key"], result["hash"])] = result
                out.write(json.dumps(result) + "\n")
                out.flush()
                if done % 20 == 0 or done == len(missing):
                    print(f"  {done}/{len(missing)} in {time.time() - started:.0f} s", flush=True)
    return [cache[(p["key"], p["hash"])] for p in points]


