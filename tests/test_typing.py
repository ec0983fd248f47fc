"""The type stubs: they match the runtime module, and mypy finds them once the wheel is
installed and judges typed code by them."""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import lumagnis
from installed_wheel import REPOSITORY, installed_wheel, run

STUB = REPOSITORY / "stubs" / "lumagnis-stubs" / "__init__.pyi"

GOOD = """
import array
from fractions import Fraction

import lumagnis

uniform: list[float] = lumagnis.witt_mao_magnification([0.5, 1.5], 1.0, 0.01)
ring: float = lumagnis.heyrovsky_magnification(0.5, 0.25, re=1, rstar=Fraction(1, 100))
table = lumagnis.discrete_flux_map_heyrovsky_magnification(
    (0.5, 2.0), 1.0, 0.01, array.array("d", [0.25, 0.75]), range(2)
)
integrated = lumagnis.integrated_heyrovsky_magnification(l=b"\\x02", re=True, rstar=1)
first: float = table[0] + integrated[0] + max(uniform) + ring
"""

# numpy arrays and scalars wherever the module takes sequences and floats.
WITH_NUMPY = """
import numpy as np

import lumagnis

times = np.linspace(-1.0, 1.0, 11)
l = np.sqrt(0.005**2 + (times / 20.0) ** 2) / 0.01
uniform = np.asarray(lumagnis.witt_mao_magnification(l, 1.0, np.float64(0.01)))
rings = lumagnis.discrete_flux_map_heyrovsky_magnification(
    l[::2], np.int64(1), 0.01, np.array([0.25, 0.75]), np.ones(2, dtype=np.float32)
)
ring: float = lumagnis.heyrovsky_magnification(l[0], 0.25, 1.0, 0.01)
"""

# Each line is a mistake the stubs must catch, with the code mypy reports for it.
BAD = {
    'lumagnis.witt_mao_magnification("0.5", 1.0, 0.01)': "arg-type",
    "lumagnis.witt_mao_magnification({0.5}, 1.0, 0.01)": "arg-type",
    "lumagnis.witt_mao_magnification((x for x in [0.5]), 1.0, 0.01)": "arg-type",
    'lumagnis.witt_mao_magnification([0.5], "1", 0.01)': "arg-type",
    "lumagnis.witt_mao_magnification([0.5], 1.0)": "call-arg",
    "lumagnis.witt_mao_magnification([0.5], 1.0, 0.01, r=0.5)": "call-arg",
    "lumagnis.heyrovsky_magnification([0.5], 0.25, 1.0, 0.01)": "arg-type",
    "x: float = lumagnis.integrated_witt_mao_magnification([0.5], 1.0, 0.01)": "assignment",
    "y: list[float] = lumagnis.heyrovsky_magnification(0.5, 0.25, 1.0, 0.01)": "assignment",
    "lumagnis.PanicException": "attr-defined",
}


def mypy(directory, source, python=None, stub_path=None):
    """Runs mypy (from the test environment) on `source`: for the environment of `python`,
    or for this one with the stub file found through MYPYPATH."""
    (directory / "example.py").write_text(textwrap.dedent(source))
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    if stub_path is not None:
        environment["MYPYPATH"] = str(stub_path)
    target = [] if python is None else ["--python-executable", str(python)]
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *target, "example.py"],
        cwd=directory, capture_output=True, text=True, timeout=300, env=environment,
    )


@pytest.fixture
def stub_directory(tmp_path):
    """The stub file as a single-module stub, for checks in this environment."""
    directory = tmp_path / "stubs"
    directory.mkdir()
    shutil.copy(STUB, directory / "lumagnis.pyi")
    return directory


def test_stubs_match_the_runtime_module(stub_directory, tmp_path):
    """stubtest compares every name and signature of the stubs with the built module."""
    # The module under test, wherever this session imports it from.
    runtime = os.path.dirname(lumagnis.__file__)
    environment = dict(os.environ, MYPYPATH=str(stub_directory), PYTHONPATH=runtime)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "lumagnis"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, env=environment,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_numpy_arrays_and_scalars_type_check(stub_directory, tmp_path):
    result = mypy(tmp_path, WITH_NUMPY, stub_path=stub_directory)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_mypy_accepts_typed_use_of_the_installed_module(tmp_path_factory):
    installed = installed_wheel(tmp_path_factory)
    directory = tmp_path_factory.mktemp("typed")
    result = mypy(directory, GOOD, python=installed.python)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_mypy_rejects_each_mistake_with_the_installed_stubs(tmp_path_factory):
    installed = installed_wheel(tmp_path_factory)
    directory = tmp_path_factory.mktemp("mistyped")
    result = mypy(directory, "import lumagnis\n" + "\n".join(BAD) + "\n", python=installed.python)
    reported = {}
    for line in result.stdout.splitlines():
        match = re.match(r"example\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            reported.setdefault(int(match[1]), set()).add(match[2])
    expected = {number: {code} for number, code in enumerate(BAD.values(), start=2)}
    assert reported == expected, result.stdout


@pytest.mark.slow
def test_without_the_stubs_mypy_cannot_type_the_module(tmp_path_factory):
    """The stubs are what mypy uses: in an environment without them the import is untyped,
    so the check above is not passing by accident."""
    directory = tmp_path_factory.mktemp("untyped")
    bare = directory / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", bare], cwd=directory)
    result = mypy(directory, "import lumagnis\n", python=bare / "bin" / "python")
    assert result.returncode == 1
    assert "import-not-found" in result.stdout or "import-untyped" in result.stdout
