"""The module object: its functions, attributes, one-time initialisation and interpreters."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
import tempfile
import types

import lumagnis
from conftest import FUNCTIONS, PARAMETERS, run_python


def test_all_lists_the_seven_functions_in_table_order():
    assert lumagnis.__all__ == FUNCTIONS
    assert type(lumagnis.__all__) is list
    for name in FUNCTIONS:
        assert name in dir(lumagnis)


def test_module_attributes():
    assert lumagnis.__name__ == "lumagnis"
    assert isinstance(lumagnis.__doc__, str) and "\n" not in lumagnis.__doc__.strip()
    assert not hasattr(lumagnis, "PanicException")
    assert "pyo3_runtime" not in sys.modules


def test_function_attributes(function_name):
    function = getattr(lumagnis, function_name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == function_name
    assert function.__qualname__ == function_name
    assert function.__module__ == "lumagnis"
    assert function.__self__ is lumagnis
    assert function.__doc__ is None
    assert function.__text_signature__ == "(" + ", ".join(PARAMETERS[function_name]) + ")"


def test_signatures_have_plain_required_parameters(function_name):
    signature = inspect.signature(getattr(lumagnis, function_name))
    assert tuple(signature.parameters) == PARAMETERS[function_name]
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_reimport_gives_the_identical_module():
    first = sys.modules["lumagnis"]
    functions = [getattr(first, name) for name in FUNCTIONS]
    del sys.modules["lumagnis"]
    try:
        again = importlib.import_module("lumagnis")
        assert again is first
        assert [getattr(again, name) for name in FUNCTIONS] == functions
    finally:
        sys.modules["lumagnis"] = first


def test_second_interpreter_is_refused_with_import_error():
    import _testcapi  # CPython's own test module: builds without it cannot run this suite
    with tempfile.TemporaryDirectory() as directory:
        report = os.path.join(directory, "report.txt")
        code = f"""
import sys
sys.path[:0] = {[p for p in sys.path if p]!r}
try:
    import lumagnis
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
except BaseException as error:
    outcome = type(error).__name__ + ": " + str(error)
with open({report!r}, "w") as f:
    f.write(outcome)
"""
        assert _testcapi.run_in_subinterp(code) == 0
        with open(report) as f:
            outcome = f.read()
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreters" in outcome
    # The main interpreter's module is unaffected.
    assert lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0) > 1.0


def test_only_the_initialisation_function_is_exported():
    nm = shutil.which("nm")
    assert nm is not None, "nm comes with binutils, which the compiler that built the module needs"
    output = subprocess.run(
        [nm, "-D", "--defined-only", lumagnis.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == ["PyInit_lumagnis"]


def test_the_reference_path_is_in_the_test_module_only():
    """The straightforward path the optimised one is checked against ships with the tests alone:
    none of its functions is in lumagnis's shared object, local symbols included."""
    import lumagnis_testing

    def symbols(path):
        listing = subprocess.run(["nm", "-C", path], capture_output=True, text=True, check=True)
        return listing.stdout

    ours = symbols(lumagnis.__file__)
    # The symbol table is there to be read (not stripped), and the pattern finds the path where
    # it is built.
    assert "lumagnis::models::heyrovsky_kernel(" in ours
    assert "lumagnis::testing::reference::integrated_heyrovsky_magnification(" in symbols(
        lumagnis_testing.__file__
    )
    leaked = [line for line in ours.splitlines()
              if "reference::" in line or "integrate_ring_to_disk" in line]
    assert leaked == []


def test_import_in_a_fresh_process_prints_nothing():
    process = run_python("import lumagnis; print(lumagnis.__all__)")
    assert process.returncode == 0
    assert process.stderr == ""
    assert process.stdout.strip() == repr(FUNCTIONS)
