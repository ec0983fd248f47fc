"""Many microlensing light curves at once, spread over processes with Dask.

Every lumagnis call holds the interpreter lock for its whole computation, so Python threads
in one process take turns and gain nothing. Separate processes, on one machine or on the
workers of a cluster, run side by side. This example cuts a batch of events into chunks,
makes one Dask task per chunk, and computes the tasks with Dask's process scheduler; with a
`dask.distributed` client active the same tasks run on the cluster instead (see README.md).

Each light curve is the limb-darkened magnification of the classical kind, computed as a ring
sum with `discrete_flux_map_heyrovsky_magnification`.

Run: `python examples/dask_batch.py [events] [workers]`.
"""

from __future__ import annotations

import sys
import time

import dask
import numpy as np

import lumagnis

LINEAR_COEFFICIENT = 0.6
RING_COUNT = 200


def rings(count: int = RING_COUNT) -> tuple[np.ndarray, np.ndarray]:
    """Ring radii and flux shares of a linearly limb-darkened source (Gauss-Legendre)."""
    x, c = np.polynomial.legendre.leggauss(count)
    radii = 0.5 * (x + 1)
    profile = 1 - LINEAR_COEFFICIENT * (1 - np.sqrt(1 - radii * radii))
    flux = 2 * np.pi * radii * profile * (0.5 * c)
    return radii, flux / flux.sum()


def events(count: int, seed: int = 1) -> np.ndarray:
    """A batch of events, one row each: t0 [d], tE [d], u0, rho."""
    generator = np.random.default_rng(seed)
    return np.column_stack(
        [
            generator.uniform(-1.0, 1.0, count),
            generator.uniform(5.0, 60.0, count),
            generator.uniform(0.0, 0.02, count),
            generator.uniform(0.003, 0.03, count),
        ]
    )


def light_curve(
    times: np.ndarray, event: np.ndarray, radii: np.ndarray, weights: np.ndarray
) -> np.ndarray:
    """Magnification of one event at the given times."""
    t0, te, u0, rho = event
    l = np.sqrt(u0 * u0 + ((times - t0) / te) ** 2) / rho
    return np.asarray(
        lumagnis.discrete_flux_map_heyrovsky_magnification(l, 1.0, rho, radii, weights)
    )


def chunk_of_curves(
    times: np.ndarray, batch: np.ndarray, radii: np.ndarray, weights: np.ndarray
) -> np.ndarray:
    """One task: the light curves of a chunk of events, one row per event."""
    return np.array([light_curve(times, event, radii, weights) for event in batch])


def light_curves(
    times: np.ndarray,
    batch: np.ndarray,
    chunk: int = 16,
    scheduler: str | None = "processes",
    num_workers: int | None = None,
) -> np.ndarray:
    """The light curves of every event in `batch`, one row per event, in batch order.

    `scheduler` is handed to `dask.compute`: "processes" for the local process pool, or
    None to use the active `dask.distributed` client.
    """
    radii, weights = rings()
    tasks = [
        dask.delayed(chunk_of_curves)(times, batch[first : first + chunk], radii, weights)
        for first in range(0, len(batch), chunk)
    ]
    options = {} if num_workers is None else {"num_workers": num_workers}
    chunks = dask.compute(*tasks, scheduler=scheduler, **options)
    return np.concatenate(chunks) if chunks else np.empty((0, len(times)))


def main(count: int = 256, workers: int = 2) -> None:
    times = np.linspace(-2.0, 2.0, 400)
    batch = events(count)

    start = time.perf_counter()
    serial = chunk_of_curves(times, batch, *rings())
    serial_seconds = time.perf_counter() - start

    start = time.perf_counter()
    parallel = light_curves(times, batch, scheduler="processes", num_workers=workers)
    parallel_seconds = time.perf_counter() - start

    print(f"{count} light curves of {len(times)} points, {RING_COUNT} rings each")
    print(f"  one process:          {serial_seconds:6.2f} s")
    print(f"  {workers} Dask processes:     {parallel_seconds:6.2f} s (start-up included)")
    print(f"  identical results:    {np.array_equal(serial, parallel)}")
    print(f"  peak magnification:   {parallel.max():.1f}")


if __name__ == "__main__":
    main(*(int(argument) for argument in sys.argv[1:3]))
