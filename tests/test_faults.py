"""How numeric failures and internal faults reach the caller."""

import os
import sys

import pytest

import lumagnis
from conftest import FLUX_MAP_FUNCTIONS, run_python

MISMATCH = ([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
MISMATCH_TEXT = "assertion `left == right` failed\n  left: 2\n right: 1"
SANITIZED = bool(os.environ.get("LUMAGNIS_SANITIZED"))
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
    (fault,) = types_seen
    assert fault.__doc__ and "BaseException" in fault.__doc__
    assert set(vars(fault)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


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



def test_only_the_first_fault_writes_the_note_whatever_the_variable_says():
    # The first fault writes a backtrace instead of the note; it is the first fault all the
    # same, so the later one, with the variable gone, writes no note either.
    process = run_python(
        """
        import os
        import lumagnis

        def fault():
            try:
                lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])
            except BaseException:
                pass

        os.environ["LUMAGNIS_BACKTRACE"] = "1"
        fault()
        del os.environ["LUMAGNIS_BACKTRACE"]
        fault()
        """
    )
    assert process.returncode == 0, process.stderr
    first, second = diagnostic_blocks(process.stderr)
    assert "stack backtrace:" in first
    assert second.split("\n")[1:] == [*MISMATCH_TEXT.split("\n"), ""]


# The call's vectors and result list fit under the address-space limit, but only about half of
# the result's float objects do.
EXHAUSTED_WHILE_BUILDING_THE_RESULT = """
import array, resource
import lumagnis

count = 4_000_000
l = array.array("d", bytes(8 * count))
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + 3 * 8 * count + 12 * count, resource.RLIM_INFINITY))
try:
    lumagnis.discrete_flux_map_heyrovsky_magnification(l, 1.0, 1.0, [], [])
except BaseException as error:
    print(type(error).__name__, repr(str(error)))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's reservations leave an address-space limit meaningless")
def test_memory_exhausted_while_building_the_result_reports_the_fixed_text():
    process = run_python(EXHAUSTED_WHILE_BUILDING_THE_RESULT)
    assert process.returncode == 0, process.stderr
    assert process.stdout == "PanicException 'Python API call failed'\n"
    # The interpreter prints its MemoryError as best it can, then comes the fault's own block.
    printed, _, rest = process.stderr.partition("\n\nthread")
    assert "MemoryError" in printed
    (block,) = diagnostic_blocks("\nthread" + rest)
    assert block.split("\n")[1] == "Python API call failed"
