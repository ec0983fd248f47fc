"""How numeric failures and internal faults reach the caller."""

import sys

import pytest

import lumagnis
from conftest import FLUX_MAP_FUNCTIONS, run_python

MISMATCH = ([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
MISMATCH_TEXT = "assertion `left == right` failed\n  left: 2\n right: 1"
NOTE = "note: run with `LUMAGNIS_BACKTRACE=1` environment variable to display a backtrace"


def catch_fault(function, *args):
    try:
        function(*args)
    except BaseException as error:  # noqa: BLE001 -- the fault type is not importable
        return error
    raise AssertionError("no fault was raised")


@pytest.mark.parametrize("name", FLUX_MAP_FUNCTIONS)
def test_length_mismatch_is_an_internal_fault(name):
    error = catch_fault(getattr(lumagnis, name), *MISMATCH)
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__name__ == "PanicException"
    assert type(error).__qualname__ == "PanicException"
    assert isinstance(error, BaseException)
    assert not isinstance(error, Exception)
    assert type(error).__bases__ == (BaseException,)
    assert error.args == (MISMATCH_TEXT,)
    assert str(error) == MISMATCH_TEXT


@pytest.mark.parametrize("name", FLUX_MAP_FUNCTIONS)
@pytest.mark.parametrize("l", [[], [0.5, 2.0]])
def test_length_mismatch_whatever_l_holds(name, l):
    error = catch_fault(getattr(lumagnis, name), l, 1.0, 1.0, [0.1, 0.2, 0.3], [1.0, 2.0])
    assert str(error) == "assertion `left == right` failed\n  left: 3\n right: 2"


def test_every_fault_is_an_instance_of_one_type():
    types_seen = {type(catch_fault(getattr(lumagnis, n), *MISMATCH)) for n in FLUX_MAP_FUNCTIONS}
    assert len(types_seen) == 1
    (panic,) = types_seen
    assert panic.__doc__ and "BaseException" in panic.__doc__
    assert set(vars(panic)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


def test_next_call_after_a_fault_is_normal():
    expected = lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)
    catch_fault(lumagnis.discrete_flux_map_heyrovsky_magnification, *MISMATCH)
    assert lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0) == expected
    assert sys.exc_info() == (None, None, None)


FAULT_TWICE = """
import lumagnis
for name in ["discrete_flux_map_heyrovsky_magnification",
             "integrated_flux_map_heyrovsky_magnification",
             "integrated_flux_map_witt_mao_magnification"]:
    try:
        getattr(lumagnis, name)([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
    except BaseException as e:
        print(type(e).__name__)
"""


def diagnostic_blocks(stderr):
    """Splits standard error into the diagnostic blocks, each starting with an empty line."""
    assert stderr.startswith("\nthread '<unnamed>' panicked at ")
    return stderr.split("\nthread '<unnamed>' panicked at ")[1:]


def test_diagnostic_blocks_on_standard_error():
    process = run_python(FAULT_TWICE)
    assert process.returncode == 0, process.stderr
    assert process.stdout.split() == ["PanicException"] * 3
    blocks = diagnostic_blocks(process.stderr)
    assert len(blocks) == 3
    locations = []
    for index, block in enumerate(blocks):
        lines = block.split("\n")
        location = lines[0]
        assert location.startswith("src/models/flux_map.cpp:") and location.endswith(":")
        file, line, column = location[:-1].split(":")
        assert int(line) > 0 and int(column) > 0
        locations.append(location)
        assert lines[1:4] == MISMATCH_TEXT.split("\n")
        if index == 0:
            assert lines[4:] == [NOTE, ""]
        else:
            assert lines[4:] == [""]
    # Each function checks the lengths at its own place.
    assert len(set(locations)) == 3


def test_backtrace_on_request():
    process = run_python(FAULT_TWICE, env={"LUMAGNIS_BACKTRACE": "1"})
    assert process.returncode == 0, process.stderr
    assert NOTE not in process.stderr
    blocks = diagnostic_blocks(process.stderr)
    assert len(blocks) == 3
    for block in blocks:
        assert "stack backtrace:" in block


def test_argument_errors_and_numeric_failures_write_nothing():
    process = run_python(
        """
        import lumagnis
        for call in [lambda: lumagnis.witt_mao_magnification("x", 1.0, 1.0),
                     lambda: lumagnis.witt_mao_magnification(),
                     lambda: lumagnis.heyrovsky_magnification(1.0, 1.0, 1.0, 1.0, 1.0),
                     lambda: lumagnis.heyrovsky_magnification(1.0, 0.5, 1.0, 0.0)]:
            try:
                call()
            except Exception as e:
                print(type(e).__name__)
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stderr == ""


RESUME = """
import lumagnis

class CallsBack:
    def __float__(self):
        lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
        return 1.0

try:
    lumagnis.heyrovsky_magnification(CallsBack(), 0.5, 1.0, 1.0)
except BaseException as e:
    print(type(e).__name__, repr(str(e)), type(e.__context__).__name__)
"""


def test_fault_coming_back_from_python_is_resumed():
    process = run_python(RESUME)
    assert process.returncode == 0, process.stderr
    name, rest = process.stdout.strip().split(" ", 1)
    assert name == "PanicException"
    assert rest.startswith(repr(MISMATCH_TEXT))
    stderr = process.stderr
    # The inner fault writes its block once; the resumption writes a notice and the traceback,
    # but no second block.
    assert stderr.count("panicked at") == 1
    assert "Python stack trace below:\n" in stderr
    assert "Traceback (most recent call last)" in stderr
    assert stderr.index("panicked at") < stderr.index("Python stack trace below:")


@pytest.mark.parametrize(
    "make_argument",
    [
        "lambda: [CallsBack()]",  # during iteration of a sequence
        "lambda: Lying()",  # in the discarded length query
    ],
)
def test_fault_resumed_in_sequence_conversion(make_argument):
    code = RESUME.replace(
        "lumagnis.heyrovsky_magnification(CallsBack(), 0.5, 1.0, 1.0)",
        f"lumagnis.witt_mao_magnification(({make_argument})(), 1.0, 1.0)",
    ).replace(
        "try:",
        """class Lying:
    def __len__(self):
        lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
    def __getitem__(self, i):
        raise IndexError
    def __iter__(self):
        return iter([1.0])

try:""",
        1,
    )
    process = run_python(code)
    assert process.returncode == 0, process.stderr
    assert process.stdout.startswith("PanicException " + repr(MISMATCH_TEXT))
    assert "Python stack trace below:" in process.stderr

