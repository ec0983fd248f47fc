"""The memory checkers: the sanitized build is what the sanitize target tests, and valgrind
memcheck over a representative set of calls finds no invalid access and no native leak.

The memcheck script runs every outcome class of the leak tests (success, both kinds of
TypeError, numeric failure, internal fault, a fault coming back from Python, exceptions from
user code), the integrals of the ring kernel, calls from several threads and a refused
sub-interpreter. Python's allocator is switched to malloc so that memcheck sees every block.
Memcheck must report no error at all other than leaks, and no definitely lost block allocated
under the module's frames: the interpreter's own exit-time leaks (immortal objects are never
freed) are not ours.
"""

import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

import lumagnis

SANITIZED = bool(os.environ.get("LUMAGNIS_SANITIZED"))


@pytest.mark.skipif(not SANITIZED, reason="only the sanitize target builds with the sanitizers")
def test_the_module_under_test_is_instrumented():
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan.so" in maps and "libubsan.so" in maps
    with open(lumagnis.__file__, "rb") as f:
        library = f.read()
    assert b"__asan_init" in library and b"__ubsan_handle_" in library


SCRIPT = """
import sys, threading
sys.path.insert(0, {tests!r})
import test_leaks
import lumagnis as L

classes, _ = test_leaks.outcome_classes()
for calls in classes.values():
    test_leaks.check_outcomes(calls)
    test_leaks.run_calls(calls, 2)

ring = L.integrated_heyrovsky_magnification([0.5, 2.0], 1.0, 1.0)
mapped = L.integrated_flux_map_heyrovsky_magnification([0.5, 2.0], 1.0, 1.0, [0.2, 0.9], [1.0, 0.5])

def in_thread(t):
    for call, _ in classes["success"] + classes["RuntimeError"] + classes["PanicException"]:
        try:
            call()
        except BaseException:
            pass

threads = [threading.Thread(target=in_thread, args=(t,)) for t in range(3)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

import _testcapi
_testcapi.run_in_subinterp("import sys; sys.path[:0] = " + repr(sys.path) + "\\ntry:\\n import lumagnis\\nexcept ImportError:\\n pass")
print("done", len(ring), len(mapped))
"""


def frames(error):
    return [(f.findtext("obj") or "", f.findtext("fn") or "") for f in error.findall("./stack/frame")]


def describe(error):
    return (error.findtext("kind"), error.findtext("./xwhat/text") or error.findtext("what"),
            frames(error)[:12])


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtimes and valgrind cannot share a process")
def test_memcheck_finds_no_invalid_access_and_no_leak_from_the_module(tmp_path):
    assert shutil.which("valgrind") is not None, "valgrind memcheck is part of the test run"
    report = tmp_path / "memcheck.xml"
    tests = os.path.dirname(os.path.abspath(__file__))
    environment = dict(os.environ, PYTHONMALLOC="malloc",
                       PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    environment.pop("LUMAGNIS_BACKTRACE", None)
    process = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes",
         f"--xml-file={report}", sys.executable, "-c", SCRIPT.format(tests=tests)],
        capture_output=True, text=True, env=environment, timeout=1800,
    )
    assert process.returncode == 0, process.stderr[-4000:]
    assert process.stdout.split() == ["done", "2", "2"]

    root = ElementTree.parse(report).getroot()
    module_file = os.path.realpath(lumagnis.__file__)
    errors = root.findall("error")
    not_leaks = [describe(e) for e in errors if not e.findtext("kind").startswith("Leak_")]
    assert not_leaks == []
    ours = [
        describe(e) for e in errors
        if e.findtext("kind") == "Leak_DefinitelyLost"
        and any(os.path.realpath(obj) == module_file or "lumagnis" in os.path.basename(obj)
                for obj, _ in frames(e))
    ]
    assert ours == []
    # The leak check did run: the interpreter's own exit-time leaks are in the report.
    assert any(e.findtext("kind") == "Leak_DefinitelyLost" for e in errors)
