"""lumagnis_fspl.jax against the numpy call it wraps: what a jitted JAX program pays.

The light curve: 4000 times over which u/rho runs from 5 down to 0.3 and back (rho = 0.01,
u0 = 0.3 rho, tE = 20 days), the linear law Linear(0.6). Contenders, interleaved in every
repeat so that a change of the machine's load hits them alike:
- the numpy call, magnification_curve(..., gradient=False) and gradient=True;
- under jax.jit, the curve; and the value of a Gaussian log-likelihood of the curve with its
  gradient in (t0, u0, tE, rho), what a gradient-based sampler asks for at every step;
- the same on a single time, which shows the fixed cost of crossing into the host.
Targets: the jitted curve at most 1.2x the numpy call plus 30 us; the value with its gradient
at most 1.3x gradient=True plus 30 us. Times are medians over the repeats.

    PYTHONPATH=build .venv/bin/python benchmarks/jax_bench.py [--quick]
"""

import argparse
import math
import statistics
import sys
import time

import jax
import jax.numpy as jnp
import numpy

import lumagnis_fspl as fspl
import lumagnis_fspl.jax as lensing

from bench import duration, machine

TIMES = 4000
RHO = 0.01
U0 = 0.3 * RHO
TE = 20.0
T0 = 0.0
PROFILE = fspl.Linear(0.6)
REPEATS = 25
CALLS = 20  # calls per contender per repeat, timed together
ALLOWANCE_NS = 30_000.0  # the additive part of the targets


def curve_times(count):
    tau = math.sqrt((5.0 * RHO) ** 2 - U0**2)
    return numpy.linspace(-tau, tau, count) * TE + T0


def contenders(t):
    """name -> a call with no arguments that computes and waits for its result."""
    parameters = jnp.array([T0, U0, TE, RHO])
    observed = jnp.asarray(fspl.magnification_curve(t, T0, U0, TE, RHO, PROFILE))
    sigma = 0.01 * observed
    t_jax = jnp.asarray(t)

    def curve(p):
        return lensing.magnification_curve(t_jax, p[0], p[1], p[2], p[3], PROFILE)

    def log_likelihood(p):
        return -0.5 * jnp.sum(((curve(p) - observed) / sigma) ** 2)

    jitted_curve = jax.jit(curve)
    value_and_gradient = jax.jit(jax.value_and_grad(log_likelihood))
    return {
        "numpy": lambda: fspl.magnification_curve(t, T0, U0, TE, RHO, PROFILE),
        "numpy, gradient=True": lambda: fspl.magnification_curve(
            t, T0, U0, TE, RHO, PROFILE, gradient=True),
        "jit": lambda: jitted_curve(parameters).block_until_ready(),
        "jit, value and gradient": lambda: jax.block_until_ready(value_and_gradient(parameters)),
    }


def measure(calls, repeats):
    for call in calls.values():
        call()  # compile, and warm the caches
    samples = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                call()
            samples[name].append((time.perf_counter_ns() - start) / CALLS)
    return {name: statistics.median(times) for name, times in samples.items()}


def run(quick=False, repeats=REPEATS):
    jax.config.update("jax_enable_x64", True)
    if quick:
        repeats = 1
    lines = [
        "### lumagnis_fspl.jax against the numpy call",
        "",
        f"Machine: {machine()}; jax {jax.__version__}. Light curve: Linear(0.6), ρ = {RHO:g}, "
        f"u0 = {U0:g}, tE = {TE:g} d, u/ρ from 5 to 0.3 and back. Medians of {repeats} "
        f"interleaved repeats of {CALLS} calls each; the value and gradient is that of a "
        "Gaussian log-likelihood of the curve in (t0, u0, tE, ρ).",
        "",
        "| times | numpy | jit | jit ÷ numpy | numpy, gradient=True | jit, value and gradient "
        "| ÷ gradient=True |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    verdicts = []
    for count in (1, 100 if quick else TIMES):
        medians = measure(contenders(curve_times(count)), repeats)
        value, gradient = medians["numpy"], medians["numpy, gradient=True"]
        jit, both = medians["jit"], medians["jit, value and gradient"]
        lines.append(
            f"| {count} | {duration(value)} | {duration(jit)} | {jit / value:.2f}× | "
            f"{duration(gradient)} | {duration(both)} | {both / gradient:.2f}× |"
        )
        if count == TIMES or quick:
            verdicts.append(
                f"- jitted curve ≤ 1.2 × numpy + 30 µs: {duration(jit)} against "
                f"{duration(1.2 * value + ALLOWANCE_NS)}: "
                f"{'yes' if jit <= 1.2 * value + ALLOWANCE_NS else '**no**'}")
            verdicts.append(
                f"- value and gradient ≤ 1.3 × gradient=True + 30 µs: {duration(both)} against "
                f"{duration(1.3 * gradient + ALLOWANCE_NS)}: "
                f"{'yes' if both <= 1.3 * gradient + ALLOWANCE_NS else '**no**'}")
    lines += ["", *verdicts]
    text = "\n".join(lines)
    return text, verdicts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny workloads, one repeat")
    arguments = parser.parse_args(argv)
    text, _ = run(quick=arguments.quick)
    print(text)


if __name__ == "__main__":
    sys.exit(main())
