"""A daemon thread inside a call while the interpreter exits.

Such a thread, when it tries to take the interpreter lock back during finalisation, is ended
by the interpreter with pthread_exit, which unwinds the module's frames. The unwind must pass
untouched, and nothing may touch a Python object on its way (the thread no longer holds the
lock). Every function's conversion paths are exercised at once, one daemon thread each, and
the process must end cleanly every time."""

import concurrent.futures

import pytest

from conftest import FUNCTIONS, PARAMETERS, run_python, valid_arguments

SCRIPT = """
import random, sys, threading, time
import lumagnis

class Slow:
    # Gives the lock away inside the conversion, and must take it back to return.
    def __float__(self):
        time.sleep(0.001)
        return 2.0

class SlowLength:
    def __len__(self):
        time.sleep(0.001)
        return 1
    def __getitem__(self, index):
        return [2.0][index]

class SlowIteration:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        return [2.0][index]
    def __iter__(self):
        time.sleep(0.001)
        yield 2.0

def spin(function, arguments):
    while True:
        try:
            function(*arguments)
        except BaseException as error:  # noqa: BLE001 - reported through the exit code
            print(f"{function.__name__}: {error!r}", file=sys.stderr)
            return

for name, position, value in SCENARIOS:
    arguments = list(VALID[name])
    arguments[position] = value()
    threading.Thread(target=spin, args=(getattr(lumagnis, name), arguments), daemon=True).start()
time.sleep(random.uniform(0.05, 0.2))
"""

RUNS = 12


def scenarios():
    """(function, parameter position, argument maker): a slow float in place of the first float
    parameter, and for a sequence parameter a slow element, a slow length and a slow
    iteration."""
    found = []
    for name in FUNCTIONS:
        parameters = PARAMETERS[name]
        first_float = next(i for i, p in enumerate(parameters) if p not in ("l", "bl", "bf"))
        found.append((name, first_float, "Slow"))
        if parameters[0] == "l" and name != "heyrovsky_magnification":
            found += [(name, 0, "lambda: [Slow()]"), (name, 0, "SlowLength"), (name, 0, "SlowIteration")]
        else:
            found.append((name, 0, "Slow"))
    return found


def test_daemon_threads_inside_calls_at_exit_end_cleanly():
    valid = {name: valid_arguments(name) for name in FUNCTIONS}
    listed = ", ".join(f"({name!r}, {position}, {maker})" for name, position, maker in scenarios())
    code = SCRIPT.replace("for name, position", f"VALID = {valid!r}\nSCENARIOS = [{listed}]\nfor name, position")
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        processes = list(pool.map(lambda _: run_python(code), range(RUNS)))
    outcomes = [(p.returncode, p.stderr) for p in processes]
    assert outcomes == [(0, "")] * RUNS


# The same unwind at the last possible moment: the daemon thread is blocked, without the lock,
# in a conversion when the interpreter and its runtime are finalised, and is woken from an exit
# handler of the process. At that point the interpreter's own test of the lock (its thread-state
# key deleted) answers yes for every thread, so an owner that trusted it would drop a reference,
# here the last one, into an interpreter that no longer exists. The handler waits until the
# thread is gone, and exits with status 3 if it is not, so the test cannot pass without the
# unwind having run.
WAKE_SCRIPT = """
import os, threading
import numpy as np
import lumagnis, lumagnis_fspl, lumagnis_testing

read_end, write_end = os.pipe()
woken = []
ready = threading.Event()

def block():
    woken.append(threading.get_native_id())
    ready.set()
    os.read(read_end, 1)  # without the lock, until the process ends

class WokenAtExit:
    def __float__(self):
        block()
        return 0.1

class WokenInIteration:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        return [2.0][index]
    def __iter__(self):
        block()
        yield 2.0

threading.Thread(target=CALL, args=ARGUMENTS, daemon=True).start()
assert ready.wait(30)
lumagnis_testing.wake_at_process_exit(write_end, woken[0], 30.0)
"""


@pytest.mark.parametrize(
    "call, arguments",
    [
        # A generator held only by the call's iterator reference.
        ("lumagnis.integrated_heyrovsky_magnification", "(WokenInIteration(), 0.1, 0.5)"),
        # A list iterator, and the element it gave, held by the call.
        ("lumagnis.integrated_witt_mao_magnification", "([WokenAtExit()], 1.0, 0.5)"),
        # An array converted from a list, owned by the call alone.
        ("lumagnis_fspl.uniform", "([0.5, 1.0], np.array([WokenAtExit()], dtype=object))"),
    ],
)
def test_thread_ended_after_the_runtime_is_finalised_touches_nothing(call, arguments):
    code = WAKE_SCRIPT.replace("CALL, args=ARGUMENTS", f"{call}, args={arguments}")
    process = run_python(code)
    assert (process.returncode, process.stderr) == (0, "")
