"""The optimised path (batched, and vectorised where the processor allows) against the
straightforward scalar path, bit for bit, failures included."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumagnis
import lumagnis_testing as T

NAN = float("nan")
INF = float("inf")

EDGE_VALUES = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, -5e-324, 1e-6, 1 - 2**-53, 1 + 2**-52,
    6.0554544523933395e-06, 1e300, -1e300, INF, -INF, NAN,
]


def outcome(function, *args):
    """The result as exact bit patterns, or the exception's type and arguments."""
    try:
        result = function(*args)
    except RuntimeError as error:
        return ("RuntimeError", error.args)
    if isinstance(result, float):
        return result.hex()
    return [x.hex() for x in result]


def ring_batch_paths():
    paths = [T.portable_ring_values]
    if T.vectorised():
        paths.append(T.vector_ring_values)
    return paths


def disk_batch_paths():
    paths = [T.portable_disk_values]
    if T.vectorised():
        paths.append(T.vector_disk_values)
    return paths


def scalar_ring(l, r, re, rstar):
    """The scalar kernel, with a failure as NaN: what the batch kernels promise."""
    try:
        return T.scalar_heyrovsky_magnification(l, r, re, rstar)
    except RuntimeError:
        return NAN


def same_or_both_nan(batch, scalar):
    """Bit-equal, except that the batch may say NaN where the scalar outcome is NaN or fails."""
    return batch.hex() == scalar.hex() or (math.isnan(batch) and math.isnan(scalar))


def radii_near(l, count, rng):
    radii = [rng.uniform(0, 1) for _ in range(count)]
    # Points on and beside the band around the ring, and the radii of the derivative.
    for d in (0.0, 1e-7, 5e-7, 1e-6, 2e-6, 2**-21):
        radii += [l + d, l - d]
    radii += [x for x in EDGE_VALUES]
    return radii


@pytest.mark.parametrize("rho", [1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0, 1e4])
@pytest.mark.parametrize("seed", range(3))
def test_ring_batches_equal_the_scalar_kernel(rho, seed):
    rng = random.Random(seed * 1000 + int(1 / rho if rho < 1 else rho))
    for l in [rng.uniform(0, 5) for _ in range(6)] + [0.0, 1.0, 1e-7, 0.5, NAN, -1.0, 1e3]:
        radii = radii_near(l, 60, rng)
        scalar = [scalar_ring(l, r, 1.0, rho) for r in radii]
        for path in ring_batch_paths():
            batch = path(radii, l, 1.0, rho)
            for r, b, s in zip(radii, batch, scalar):
                assert same_or_both_nan(b, s), (path.__name__, l, r, rho, b, s)


@pytest.mark.parametrize("rho", [1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0, 1e4])
def test_disk_batches_equal_the_scalar_kernel(rho):
    rng = random.Random(int(rho * 1e4))
    ls = [rng.uniform(0, 5) for _ in range(400)] + [rng.uniform(0.99, 1.01) for _ in range(100)]
    ls += [1.0, 1 + 1e-5, 1 - 1e-5, 1 + 2e-5, 1 + 9e-6] + EDGE_VALUES
    for path in disk_batch_paths():
        batch = path(ls, 1.0, rho)
        for l, b in zip(ls, batch):
            s = outcome(T.scalar_witt_mao_magnification, [l], 1.0, rho)
            if isinstance(s, tuple):
                assert math.isnan(b), (path.__name__, l, rho)
            else:
                assert same_or_both_nan(b, float.fromhex(s[0])), (path.__name__, l, rho, b, s)


finite = st.floats(allow_nan=False, allow_infinity=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)


@settings(max_examples=300, deadline=None)
@given(l=st.floats(-1, 8), r=st.lists(st.floats(-0.5, 1.5), min_size=1, max_size=13),
       rho=st.floats(1e-4, 1e3), re=st.sampled_from([1.0, 2.0, 0.37]))
def test_ring_batches_property(l, r, rho, re):
    rstar = rho * re
    scalar = [scalar_ring(l, x, re, rstar) for x in r]
    for path in ring_batch_paths():
        for b, s in zip(path(r, l, re, rstar), scalar):
            assert same_or_both_nan(b, s)


@settings(max_examples=200, deadline=None)
@given(l=st.lists(any_float, min_size=1, max_size=9), re=any_float, rstar=any_float)
def test_disk_batches_with_any_floats(l, re, rstar):
    for path in disk_batch_paths():
        batch = path(l, re, rstar)
        for x, b in zip(l, batch):
            s = outcome(T.scalar_witt_mao_magnification, [x], re, rstar)
            assert math.isnan(b) if isinstance(s, tuple) else same_or_both_nan(b, float.fromhex(s[0]))


PUBLIC = {
    "witt_mao_magnification": T.scalar_witt_mao_magnification,
    "integrated_witt_mao_magnification": T.scalar_integrated_witt_mao_magnification,
    "integrated_heyrovsky_magnification": T.scalar_integrated_heyrovsky_magnification,
}
FLUX_MAPS = {
    "discrete_flux_map_heyrovsky_magnification": T.scalar_discrete_flux_map_heyrovsky_magnification,
    "integrated_flux_map_heyrovsky_magnification": T.scalar_integrated_flux_map_heyrovsky_magnification,
    "integrated_flux_map_witt_mao_magnification": T.scalar_integrated_flux_map_witt_mao_magnification,
}


def separations(count, seed):
    rng = random.Random(seed)
    ls = [rng.uniform(0, 5) for _ in range(count)]
    return ls + [0.0, 1.0, 0.837, 1 + 1e-6, 1 - 3e-6, 2.0, 6.0554544523933395e-06]


@pytest.mark.parametrize("name", sorted(PUBLIC))
@pytest.mark.parametrize("rho", [1e-3, 1e-2, 0.1, 1.0, 5.0])
def test_public_functions_equal_the_scalar_path(name, rho):
    count = 12 if "heyrovsky" in name else 300
    ls = separations(count, int(rho * 1000))
    assert outcome(getattr(lumagnis, name), ls, 1.0, rho) == outcome(PUBLIC[name], ls, 1.0, rho)


TABLES = {
    "limb-darkened-100": ([i / 99 for i in range(100)],
                          [1 - 0.6 * (1 - math.sqrt(1 - (i / 99) ** 2)) for i in range(100)]),
    "two-point": ([0.0, 1.0], [1.0, 0.4]),
    "outer-half": ([0.5, 1.0], [1.0, 1.0]),
    "one-entry": ([0.3], [2.0]),
    "empty": ([], []),
    "unsorted": ([0.9, 0.1, 0.5, 0.5], [1.0, 3.0, -1.0, 2.0]),
    "with-nan": ([0.0, NAN, 1.0], [1.0, 1.0, NAN]),
    "beyond-source": ([0.5, 1.5, 2.5], [1.0, 0.5, 0.25]),
}


@pytest.mark.parametrize("name", sorted(FLUX_MAPS))
@pytest.mark.parametrize("table", sorted(TABLES))
@pytest.mark.parametrize("rho", [1e-2, 1.0])
def test_flux_maps_equal_the_scalar_path(name, table, rho):
    bl, bf = TABLES[table]
    ls = separations(6 if "integrated_flux_map_heyrovsky" in name else 40, 7)
    expected = outcome(FLUX_MAPS[name], ls, 1.0, rho, bl, bf)
    assert outcome(getattr(lumagnis, name), ls, 1.0, rho, bl, bf) == expected


@pytest.mark.parametrize(
    "name, args",
    [
        ("witt_mao_magnification", ([2.0, NAN, 3.0], 1.0, 0.5)),
        ("witt_mao_magnification", ([1.001, 2.0], 1.0, 1e-160)),
        ("witt_mao_magnification", ([2.0] * 9 + [NAN] + [3.0] * 5, 1.0, 0.5)),
        ("integrated_witt_mao_magnification", ([2.0, NAN], 1.0, 0.5)),
        ("discrete_flux_map_heyrovsky_magnification", ([2.0, 3.0], INF, 1.0, [0.5], [1.0])),
        ("discrete_flux_map_heyrovsky_magnification", ([2.0, 1.0], 1.0, 1.0, [0.5, 1.0, -1.0], [1.0, 2.0, 3.0])),
        ("discrete_flux_map_heyrovsky_magnification", ([100.0], 1e8, 1.0, [0.5, 99.999998], [1.0, 1.0])),
        ("integrated_flux_map_witt_mao_magnification", ([1.001], 1.0, 1e-160, [0.0, 1.0], [1.0, 1.0])),
    ],
)
def test_failures_equal_the_scalar_path(name, args):
    scalar = getattr(T, "scalar_" + name)
    expected = outcome(scalar, *args)
    assert isinstance(expected, tuple), "the case must fail"
    assert outcome(getattr(lumagnis, name), *args) == expected


@settings(max_examples=60, deadline=None)
@given(
    ls=st.lists(st.one_of(st.floats(0, 6), st.sampled_from(EDGE_VALUES)), max_size=6),
    re=st.one_of(st.floats(1e-3, 1e3), st.sampled_from(EDGE_VALUES)),
    rstar=st.one_of(st.floats(1e-3, 1e3), st.sampled_from(EDGE_VALUES)),
)
def test_public_witt_mao_property(ls, re, rstar):
    for name in ("witt_mao_magnification", "integrated_witt_mao_magnification"):
        assert outcome(getattr(lumagnis, name), ls, re, rstar) == outcome(PUBLIC[name], ls, re, rstar)


@settings(max_examples=25, deadline=None)
@given(
    ls=st.lists(st.one_of(st.floats(0, 6), st.sampled_from(EDGE_VALUES)), max_size=2),
    rho=st.one_of(st.floats(1e-3, 10), st.sampled_from(EDGE_VALUES)),
    table=st.lists(st.tuples(st.floats(-0.2, 1.2), st.floats(-1, 2)), max_size=5),
)
def test_public_heyrovsky_property(ls, rho, table):
    bl = sorted(x for x, _ in table)
    bf = [y for _, y in table]
    assert outcome(lumagnis.integrated_heyrovsky_magnification, ls, 1.0, rho) == outcome(
        T.scalar_integrated_heyrovsky_magnification, ls, 1.0, rho
    )
    for name, scalar in FLUX_MAPS.items():
        assert outcome(getattr(lumagnis, name), ls, 1.0, rho, bl, bf) == outcome(scalar, ls, 1.0, rho, bl, bf)


def test_only_the_avx2_kernels_use_vex_instructions():
    """The installed module must run on baseline x86-64: AVX code lives in the AVX2 kernels
    alone, which run only where the processor has AVX2."""
    import platform
    import shutil
    import subprocess

    if platform.machine() != "x86_64":
        # Elsewhere the AVX2 kernels are not compiled at all, so nothing may dispatch to them.
        assert not T.vectorised()
        return
    objdump = shutil.which("objdump")
    assert objdump is not None, "objdump comes with binutils, which the compiler that built the module needs"
    listing = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", "-C", lumagnis.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    function = None
    users = set()
    for line in listing.splitlines():
        if line.endswith(">:"):
            function = line.split("<", 1)[1][:-2]
        elif "\t" in line:
            mnemonic = line.split("\t")[1].split()[0] if len(line.split("\t")) > 1 else ""
            if mnemonic.startswith("v") or "%ymm" in line:
                users.add(function)
    assert users, "no AVX code at all: the vectorised kernels are missing"
    assert all("::avx2::" in name for name in users), sorted(u for u in users if "::avx2::" not in u)
