"""`make bench`: the per-function table, the side-by-side table, the light curves of
lumagnis_fspl near the source and over a survey's season, its far field, its tables of many
samples, its boundary (call overhead, signal checks, memory) and its JAX door, printed and saved
as benchmarks/results.md.

    PYTHONPATH=build-bench .venv-bench/bin/python benchmarks/run.py [--quick] [--no-peers] [--no-jax]
"""

import argparse
import datetime
import pathlib
import sys

import bench
import fspl_bench
import fspl_boundary
import fspl_far
import fspl_survey
import fspl_tables
import jax_bench
import peers

RESULTS = pathlib.Path(__file__).with_name("results.md")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny workloads, one repeat; not saved")
    parser.add_argument("--no-peers", action="store_true", help="without the side-by-side table")
    parser.add_argument("--no-fspl", action="store_true", help="without the lumagnis_fspl light curves")
    parser.add_argument("--no-jax", action="store_true", help="without lumagnis_fspl.jax")
    parser.add_argument("--output", type=pathlib.Path, default=RESULTS)
    arguments = parser.parse_args(argv)

    sections = [f"## Benchmarks ({datetime.date.today().isoformat()})", ""]
    if arguments.quick:
        sections[0] = "## Benchmarks (--quick: smoke run, the figures are not measurements)"
    text, _ = bench.run(quick=arguments.quick)
    sections += [text, ""]
    print(text, flush=True)
    if not arguments.no_peers:
        text, _ = peers.run(quick=arguments.quick)
        sections += [text, ""]
        print("\n" + text, flush=True)
    if not arguments.no_fspl:
        for part in (fspl_bench, fspl_survey, fspl_far, fspl_boundary, fspl_tables):
            text, _ = part.run(quick=arguments.quick)
            sections += [text, ""]
            print("\n" + text, flush=True)
    if not arguments.no_jax:
        text, _ = jax_bench.run(quick=arguments.quick)
        sections += [text, ""]
        print("\n" + text, flush=True)
    if not arguments.quick:
        arguments.output.write_text("\n".join(sections))
        print(f"\nsaved to {arguments.output}")


if __name__ == "__main__":
    sys.exit(main())
