"""The module and the interpreters of a process: sub-interpreters, imports, faults from Python."""

import importlib
import json
import sys
import textwrap

import pytest

import lumagnis
from conftest import FUNCTIONS, run_python

MISMATCH_TEXT = "assertion `left == right` failed\n  left: 2\n right: 1"

# Runs `code` in a legacy sub-interpreter (one that lets single-phase modules initialise, so
# that the module's own check decides) and prints what the import there ended with.
IN_LEGACY_SUBINTERPRETER = """
import _testcapi, json, os, sys, tempfile
def import_in_subinterpreter():
    with tempfile.TemporaryDirectory() as directory:
        report = os.path.join(directory, "report")
        code = f'''
import sys
sys.path[:0] = {sys.path!r}
try:
    import lumagnis
    outcome = ["imported", lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)]
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
import json
with open({report!r}, "w") as f:
    json.dump(outcome, f)
'''
        assert _testcapi.run_in_subinterp(code) == 0
        with open(report) as f:
            return json.load(f)
"""


def import_outcome(code):
    process = run_python(IN_LEGACY_SUBINTERPRETER + textwrap.dedent(code))
    assert process.returncode == 0, process.stderr
    return json.loads(process.stdout)


def test_refused_sub_interpreters_leave_the_first_one_working():
    outcome = import_outcome(
        """
        import lumagnis
        before = lumagnis.integrated_witt_mao_magnification([0.5, 2.0], 1.0, 0.5)
        attempts = [import_in_subinterpreter() for _ in range(3)]
        import lumagnis as again
        after = again.integrated_witt_mao_magnification([0.5, 2.0], 1.0, 0.5)
        print(json.dumps([attempts, again is lumagnis, before == after, len(lumagnis.__all__)]))
        """
    )
    attempts, same_module, same_results, names = outcome
    assert [a[0] for a in attempts] == ["ImportError"] * 3
    # The refusal is the module's own, not the interpreter's refusal of single-phase modules.
    assert len({a[1] for a in attempts}) == 1
    assert "lumagnis" in attempts[0][1] and "sub-interpreters" in attempts[0][1]
    assert "does not support loading in subinterpreters" not in attempts[0][1]
    assert same_module and same_results and names == 7


def test_the_first_interpreter_to_initialise_keeps_the_module():
    # The interpreter that runs PyInit_lumagnis first owns the module, and any other is refused,
    # the main one included. Python 3.12 runs it in the sub-interpreter that imports first;
    # 3.13 runs a single-phase module's initialisation in the main interpreter before it runs it
    # again in the sub-interpreter, so there the main interpreter owns the module. Either way the
    # process exits cleanly, the sub-interpreter having ended while the module is cached.
    outcome = import_outcome(
        """
        first = import_in_subinterpreter()
        try:
            import lumagnis
            main = ["imported", lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)]
        except ImportError as error:
            main = ["ImportError", str(error)]
        print(json.dumps([first, main]))
        """
    )
    owner, refused = outcome if sys.version_info < (3, 13) else reversed(outcome)
    assert owner[0] == "imported" and owner[1] > 1.0
    assert refused[0] == "ImportError"
    assert "lumagnis" in refused[1] and "sub-interpreters" in refused[1]


IN_ISOLATED_INTERPRETER = """
import json, os, sys, tempfile
try:
    import _interpreters as interpreters  # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters
with tempfile.TemporaryDirectory() as directory:
    report = os.path.join(directory, "report")
    code = f'''
import sys
sys.path[:0] = {sys.path!r}
try:
    import lumagnis
    outcome = ["imported"]
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
import json
with open({report!r}, "w") as f:
    json.dump(outcome, f)
'''
    interpreter = interpreters.create()  # isolated: its own lock, no single-phase modules
    interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    with open(report) as f:
        isolated = json.load(f)
import lumagnis
print(json.dumps([isolated, lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)]))
"""


def test_an_isolated_interpreter_is_refused_without_being_recorded():
    # An isolated interpreter accepts no single-phase module, but only says so after running
    # PyInit_lumagnis. Its refusal must not make it the interpreter that owns the module: the
    # main interpreter imports the module afterwards as usual.
    process = run_python(IN_ISOLATED_INTERPRETER)
    assert process.returncode == 0, process.stderr
    isolated, value = json.loads(process.stdout)
    assert isolated[0] == "ImportError"
    assert "lumagnis" in isolated[1] and "sub" in isolated[1]
    assert value == lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0)


def test_reimports_and_reloads_run_nothing_again():
    module = sys.modules["lumagnis"]
    functions = [getattr(module, name) for name in FUNCTIONS]
    expected = lumagnis.witt_mao_magnification([0.5, 2.0], 1.0, 0.5)
    references = sys.getrefcount(module)
    try:
        for _ in range(200):
            del sys.modules["lumagnis"]
            assert importlib.import_module("lumagnis") is module
        # A reload runs the initialisation function again, which hands back the cached module
        # without adding its functions a second time.
        assert importlib.reload(module) is module
    finally:
        sys.modules["lumagnis"] = module
    assert sys.getrefcount(module) == references
    assert module.__all__ == FUNCTIONS
    assert [getattr(module, name) for name in FUNCTIONS] == functions
    assert module.witt_mao_magnification([0.5, 2.0], 1.0, 0.5) == expected


# Faults that come back into a call from Python code the call ran.
FAULT_SETUP = """
import lumagnis

def fault():
    lumagnis.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.1, 0.2], [1.0])

def catch(call):
    try:
        call()
    except BaseException as error:
        return error

PanicException = type(catch(fault))

class Unprintable:
    def __str__(self):
        raise ValueError("no text")

def ending(call):
    error = catch(call)
    if error is None:
        return "returned"
    return type(error).__name__ + ": " + repr(str(error)) + " context=" + type(error.__context__).__name__
"""


@pytest.mark.parametrize(
    "code, expected, blocks",
    [
        pytest.param(
            """
            class Nested:
                # The inner call's own argument faults in Python: it comes back twice.
                def __float__(self):
                    class Inner:
                        def __float__(self):
                            fault()
                    return lumagnis.heyrovsky_magnification(Inner(), 0.5, 1.0, 1.0)
            print(ending(lambda: lumagnis.heyrovsky_magnification(Nested(), 0.5, 1.0, 1.0)))
            """,
            "PanicException: " + repr(MISMATCH_TEXT),
            1,
            id="through two calls",
        ),
        pytest.param(
            """
            class Raises:
                def __float__(self):
                    raise PanicException("raised by the caller")
            print(ending(lambda: lumagnis.witt_mao_magnification([Raises()], 1.0, 1.0)))
            """,
            "PanicException: 'raised by the caller'",
            0,
            id="raised by user code",
        ),
        pytest.param(
            """
            class Raises:
                def __float__(self):
                    raise PanicException(Unprintable())
            print(ending(lambda: lumagnis.heyrovsky_magnification(Raises(), 0.5, 1.0, 1.0)))
            """,
            "PanicException: 'Unwrapped panic from Python code'",
            0,
            id="without a text",
        ),
        pytest.param(
            """
            class Keyword(str):
                def __str__(self):
                    fault()
            print(ending(lambda: lumagnis.witt_mao_magnification(**{Keyword("x"): 1})))
            """,
            "PanicException: " + repr(MISMATCH_TEXT),
            1,
            id="rendering an unknown keyword",
        ),
        pytest.param(
            """
            class Swallows:
                # The fault is caught inside the conversion: the outer call goes on normally.
                def __float__(self):
                    catch(fault)
                    return 0.5
            print(lumagnis.heyrovsky_magnification(2.0, Swallows(), 1.0, 1.0)
                  == lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0))
            """,
            "True",
            1,
            id="caught inside the conversion",
        ),
    ],
)
def test_fault_coming_back_from_python(code, expected, blocks):
    next_call = "\nprint(lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0).hex())\n"
    process = run_python(FAULT_SETUP + textwrap.dedent(code) + next_call)
    assert process.returncode == 0, process.stderr
    *_, ended, next_result = process.stdout.splitlines()
    assert ended.split(" context=")[0] == expected
    # The next call on the thread is normal.
    assert next_result == lumagnis.heyrovsky_magnification(2.0, 0.5, 1.0, 1.0).hex()
    # One diagnostic block per fault raised in native code, plus the one made while setting up;
    # a fault resumed from Python writes a notice and the Python traceback, but no block.
    assert process.stderr.count("panicked at") == blocks + 1
    if expected.startswith("PanicException"):
        assert "Python stack trace below:" in process.stderr
