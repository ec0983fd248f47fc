"""Tabulated profiles against Linear(0.6): time per point near the source.

Tabulated with 6, 17, 100 and 1000 radii and Tabulated.from_mu with 100 and 1000 samples (both
sampled from the linear law), against Linear(0.6) on the same random separations, u / rho
uniform in [0, 10], at rho = 0.01 and 0.1. Rounds interleave the profiles, in a fresh order
each round (a fixed one would charge every profile the cache refill after the same
predecessor); medians over rounds.

    PYTHONPATH=build .venv/bin/python benchmarks/fspl_tables.py [--quick]
"""

import argparse
import statistics
import time

import numpy as np

import lumagnis_fspl as fspl

from bench import call_order


def profiles():
    out = {"Linear(0.6)": fspl.Linear(0.6)}
    for n in (6, 17, 100, 1000):
        r = np.linspace(0.0, 1.0, n)
        out[f"Tabulated, {n} radii"] = fspl.Tabulated(r, 1 - 0.6 * (1 - np.sqrt((1 - r) * (1 + r))))
    for n in (100, 1000):
        mu = np.linspace(0.0, 1.0, n)
        out[f"from_mu, {n} samples"] = fspl.Tabulated.from_mu(mu, 1 - 0.6 * (1 - mu))
    return out


def run(quick=False):
    rng = np.random.default_rng(2024)
    points = 200 if quick else 4000
    rounds = 2 if quick else 25
    laws = profiles()
    lines = [
        "### Tabulated profiles (ns per point, u/rho in [0, 10], medians of interleaved rounds)",
        "",
        "| profile | rho = 0.01 | ratio | gradient | ratio | rho = 0.1 | ratio | gradient | ratio |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    table = {name: [] for name in laws}
    for rho in (0.01, 0.1):
        u = rng.uniform(0.0, 10.0, points) * rho
        for gradient in (False, True):
            times = {name: [] for name in laws}
            orders = call_order(laws, 20261210)
            for _ in range(rounds):
                for name in next(orders):
                    law = laws[name]
                    start = time.perf_counter()
                    fspl.limb_darkened(u, rho, law, gradient=gradient)
                    times[name].append((time.perf_counter() - start) / points * 1e9)
            base = statistics.median(times["Linear(0.6)"])
            for name in laws:
                t = statistics.median(times[name])
                table[name] += [f"{t:.0f}", f"{t / base:.2f}"]
    for name, cells in table.items():
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines), table


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    print(run(quick=parser.parse_args().quick)[0])
