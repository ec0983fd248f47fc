"""The type stubs: they match the runtime module, and mypy finds them once the wheel is
installed and judges typed code by them."""

import ast
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import lumagnis
import lumagnis_fspl
from installed_wheel import REPOSITORY, installed_wheel, run

STUB = REPOSITORY / "stubs" / "lumagnis-stubs" / "__init__.pyi"
FSPL_STUB = REPOSITORY / "stubs" / "lumagnis_fspl-stubs" / "__init__.pyi"

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

# The modeller's module: floats for scalars, arrays otherwise, tuples with the gradient.
FSPL_GOOD = """
import numpy as np
from numpy.typing import NDArray

import lumagnis_fspl as fspl

times = np.linspace(-30.0, 30.0, 61)
profile: fspl.Linear = fspl.Linear.from_gamma(0.5)
curve: NDArray[np.float64] = fspl.magnification_curve(times, 0.0, 0.01, 20.0, 0.01, profile)
a, da_dt0, da_du0, da_dte, da_drho = fspl.magnification_curve(
    times, 0.0, 0.01, 20.0, 0.01, fspl.Quadratic(0.4, 0.3), gradient=True
)
step: NDArray[np.float64] = a - curve + da_dt0 * da_du0 * da_dte * da_drho
peak: float = fspl.limb_darkened(0.0, 0.01, fspl.Tabulated([0.0, 1.0], [1.0, 0.5]))
value, slope = fspl.point_source(1.0, gradient=True)
ring: float = fspl.uniform(1, np.float64(0.5)) + value * slope + fspl.Power2(0.6, 0.5).alpha
radii: tuple[float, ...] | None = fspl.Tabulated([0.0, 1.0], [1.0, 0.5]).r
table = fspl.Tabulated.from_mu([0.0, 1.0], [0.4, 1.0])
value_only, d_samples = fspl.limb_darkened(0.1, 0.1, table, coefficients=True)
*_, d_law = fspl.magnification_curve(times, 0.0, 0.01, 20.0, 0.01, fspl.Nonlinear(0.5, 0.1, 0.1, 0.0),
                                     gradient=True, coefficients=True)
shaped: NDArray[np.float64] = d_samples + d_law[:, 0] * value_only
version: str = fspl.__version__
"""

FSPL_BAD = {
    "x: float = fspl.uniform([0.5], 0.1)": "assignment",
    "y: float = fspl.point_source(0.5, gradient=True)": "assignment",
    "fspl.limb_darkened(0.5, 0.1, 0.6)": "call-overload",
    "fspl.Linear(0.6).a = 0.5": "misc",
}

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
    shutil.copy(FSPL_STUB, directory / "lumagnis_fspl.pyi")
    return directory


# stubtest cannot introspect nanobind's own function and class objects (it reports them as
# "not a function" and "metaclass differs"); their parameter lists are compared below instead,
# with the first line of each docstring, which nanobind writes from the binding.
NANOBIND_OPAQUE = [
    r"lumagnis_fspl\.(point_source|uniform|limb_darkened|magnification_curve)",
    r"lumagnis_fspl\.(Linear|Quadratic|SquareRoot|Power2|Nonlinear|Tabulated)",
    r"lumagnis_fspl\.Linear\.from_gamma",
    r"lumagnis_fspl\.Tabulated\.from_mu",
]


@pytest.mark.parametrize("module", [lumagnis, lumagnis_fspl], ids=lambda m: m.__name__)
def test_stubs_match_the_runtime_module(stub_directory, tmp_path, module):
    """stubtest compares every name and signature of the stubs with the built module."""
    # The module under test, wherever this session imports it from (a package: its parent).
    runtime = os.path.dirname(module.__file__)
    if os.path.basename(module.__file__) == "__init__.py":
        runtime = os.path.dirname(runtime)
    environment = dict(os.environ, MYPYPATH=str(stub_directory), PYTHONPATH=runtime)
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(NANOBIND_OPAQUE) + "\n")
    extra = ["--allowlist", str(allowlist)] if module is lumagnis_fspl else []
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module.__name__, *extra],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, env=environment,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_parameters_are_the_runtime_parameters():
    tree = ast.parse(FSPL_STUB.read_text())
    stubbed = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name in ("__init__", "from_gamma", "from_mu"):
                    stubbed.setdefault(f"{node.name}.{item.name}", set()).add(item)
        elif isinstance(node, ast.FunctionDef) and node.name in lumagnis_fspl.__all__:
            stubbed.setdefault(node.name, set()).add(node)
    assert len(stubbed) == 4 + 6 + 2
    for path, definitions in stubbed.items():
        name, _, method = path.partition(".")
        runtime = getattr(lumagnis_fspl, name)
        if method:
            runtime = getattr(runtime, method)
            # A class's docstring is its own; __init__'s signature is in its own doc line.
        first = runtime.__doc__.splitlines()[0]
        runtime_names = re.findall(r"(\w+)(?::[^,=)]*)?(?:=[^,)]*)?(?=[,)])", first.split("(", 1)[1])
        runtime_names = [n for n in runtime_names if n != "self"]
        for definition in definitions:
            arguments = definition.args
            names = [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs]
            assert [n for n in names if n != "self"] == runtime_names, (path, first)

def test_numpy_arrays_and_scalars_type_check(stub_directory, tmp_path):
    result = mypy(tmp_path, WITH_NUMPY, stub_path=stub_directory)
    assert result.returncode == 0, result.stdout + result.stderr


def test_modeller_module_types_check(stub_directory, tmp_path):
    result = mypy(tmp_path, FSPL_GOOD, stub_path=stub_directory)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
@pytest.mark.parametrize("source", [GOOD, FSPL_GOOD], ids=["lumagnis", "lumagnis_fspl"])
def test_mypy_accepts_typed_use_of_the_installed_module(tmp_path_factory, source):
    installed = installed_wheel(tmp_path_factory)
    directory = tmp_path_factory.mktemp("typed")
    result = mypy(directory, source, python=installed.python)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
@pytest.mark.parametrize(
    "header, mistakes",
    [("import lumagnis", BAD), ("import lumagnis_fspl as fspl", FSPL_BAD)],
    ids=["lumagnis", "lumagnis_fspl"],
)
def test_mypy_rejects_each_mistake_with_the_installed_stubs(tmp_path_factory, header, mistakes):
    installed = installed_wheel(tmp_path_factory)
    directory = tmp_path_factory.mktemp("mistyped")
    source = header + "\n" + "\n".join(mistakes) + "\n"
    result = mypy(directory, source, python=installed.python)
    reported = {}
    for line in result.stdout.splitlines():
        match = re.match(r"example\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            reported.setdefault(int(match[1]), set()).add(match[2])
    expected = {number: {code} for number, code in enumerate(mistakes.values(), start=2)}
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
