"""The type stubs: they match the runtime module, and mypy finds them once the wheel is
installed and judges typed code by them."""

import ast
import inspect
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

JAX_GOOD = """
import jax
import jax.numpy as jnp
import lumagnis_fspl as fspl
import lumagnis_fspl.jax as lj

times = jnp.linspace(-1.0, 1.0, 9)


def model(a: jax.Array) -> jax.Array:
    return lj.magnification_curve(times, 0.0, 0.01, 20.0, 0.01, lj.Linear(a))


curve: jax.Array = jax.jit(model)(jnp.float64(0.6))
fixed: jax.Array = lj.limb_darkened(times, 0.1, fspl.Tabulated([0.0, 1.0], [1.0, 0.5]))
slope: jax.Array = jax.grad(lambda u: lj.uniform(u, 0.1))(0.05) + lj.point_source(1.0)
four: jax.Array = jax.grad(lambda a: lj.limb_darkened(0.05, 0.1, lj.Nonlinear(a, 0, 0, 0)))(0.3)
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
    # lumagnis_fspl as the package it is, with its submodule jax.
    shutil.copytree(FSPL_STUB.parent, directory / "lumagnis_fspl")
    return directory


# stubtest cannot introspect the binding library's classes (it reports "metaclass differs" and
# finds no signature in their __init__); their signatures, which the package gives them as
# __signature__, are compared through inspect below.
NANOBIND_OPAQUE = [
    r"lumagnis_fspl\.(Linear|Quadratic|SquareRoot|Power2|Nonlinear|Tabulated)",
    r"lumagnis_fspl\.(Linear|Quadratic|SquareRoot|Power2|Nonlinear|Tabulated)\.__signature__",
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


def test_jax_door_types_check(stub_directory, tmp_path):
    """Typed use of lumagnis_fspl.jax (stubtest above compares its stub with the module)."""
    result = mypy(tmp_path, JAX_GOOD, stub_path=stub_directory)
    assert result.returncode == 0, result.stdout + result.stderr


def stub_signatures():
    """Every public callable of the stubs, as {path: [its definitions]}: the functions (with
    their overloads), the classes (by __init__) and Linear.from_gamma."""
    tree = ast.parse(FSPL_STUB.read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "__init__":
                    found.setdefault(node.name, []).append(item)
                elif isinstance(item, ast.FunctionDef) and item.name in ("from_gamma", "from_mu"):
                    found.setdefault(f"{node.name}.{item.name}", []).append(item)
        elif isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def test_inspect_signature_of_every_public_callable_agrees_with_the_stubs():
    """What help(), IDEs and notebooks show: parameter names in order, how each may be passed,
    and defaults. Each overload of a function may narrow a parameter to keyword-only or leave
    out a default, never rename or reorder one."""
    stubbed = stub_signatures()
    assert set(stubbed) == set(lumagnis_fspl.__all__) | {"Linear.from_gamma", "Tabulated.from_mu"}
    any_kind = {inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY}
    for path, definitions in stubbed.items():
        runtime = lumagnis_fspl
        for part in path.split("."):
            runtime = getattr(runtime, part)
        parameters = list(inspect.signature(runtime).parameters.values())
        for definition in definitions:
            arguments = definition.args
            positional = [a for a in arguments.args if a.arg != "self"]
            names = [a.arg for a in positional + arguments.kwonlyargs]
            assert [p.name for p in parameters] == names, path
            defaults = dict(zip([a.arg for a in positional][::-1], arguments.defaults[::-1]))
            defaults.update({a.arg: d for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults) if d})
            for parameter in parameters:
                assert parameter.kind in any_kind, (path, parameter)
                if parameter.name in defaults:
                    assert parameter.default == ast.literal_eval(defaults[parameter.name]), (path, parameter)
        # A default at run time that no overload has would allow a call the stubs refuse.
        stub_defaults = set()
        for definition in definitions:
            arguments = definition.args
            positional = [a.arg for a in arguments.args if a.arg != "self"]
            stub_defaults |= set(positional[len(positional) - len(arguments.defaults):])
            stub_defaults |= {a.arg for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults) if d}
        assert {p.name for p in parameters if p.default is not p.empty} == stub_defaults, path


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
