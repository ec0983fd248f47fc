import os
import subprocess
import sys
import textwrap

import pytest

import lumagnis

FUNCTIONS = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

PARAMETERS = {
    "witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_witt_mao_magnification": ("l", "re", "rstar", "bl", "bf"),
    "heyrovsky_magnification": ("l", "r", "re", "rstar"),
    "integrated_heyrovsky_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
    "discrete_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
}

SEQUENCE_PARAMETERS = {"l", "bl", "bf"}
FLUX_MAP_FUNCTIONS = [name for name in FUNCTIONS if "flux_map" in name]


def valid_arguments(name):
    """Arguments of the right types for `name`, in signature order."""
    if name == "heyrovsky_magnification":
        return [2.0, 0.5, 1.0, 1.0]
    values = {"l": [2.0], "re": 1.0, "rstar": 0.5, "bl": [0.25, 0.75], "bf": [1.0, 0.5]}
    return [values[p] for p in PARAMETERS[name]]


def run_python(code, env=None):
    """Runs `code` in a fresh interpreter that imports the same lumagnis; returns the process."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    environment.pop("LUMAGNIS_BACKTRACE", None)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )


def quoted(names):
    """Parameter names as the binding messages list them: 'a', 'a' and 'b', 'a', 'b', and 'c'."""
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return f"{names[0]} and {names[1]}"
    return ", ".join(names[:-1]) + ", and " + names[-1]


def fault_type():
    """The type of the internal-fault exception, which no module exposes."""
    try:
        lumagnis.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [1.0], [])
    except BaseException as error:  # noqa: BLE001 -- the fault type is not importable
        return type(error)
    raise AssertionError("no fault was raised")


def pytest_report_header(config):
    return f"lumagnis: {lumagnis.__file__}"


@pytest.fixture(params=FUNCTIONS)
def function_name(request):
    return request.param
