"""Eight threads on shared handles, forks, a handle being closed or pickled, a load buffer being
changed, batch evaluators (their own and shared ones), one shared constraint set, Python lists
refilled by one thread while others pass them in, and arrays used as input by one thread and as
`out` by another. Every result is compared bit for bit with a single-threaded computation, every
refusal must be the documented one, and a watchdog turns a deadlock into a failure with every
thread's stack on stderr. On a free-threaded interpreter (PYTHON_GIL=0) the threads run at once.

The engine is stress/common.py and is shared with the long-running stress/thread_stress.py.
Each thread runs a fixed number of operations; nothing here depends on how fast they run.
"""

import subprocess
import sys
import textwrap

import pytest

from stress import common as shared


def run_profile(profile, calls_per_thread, seed):
    stress = shared.ThreadStress(seed=seed, threads=8, profile=profile)
    try:
        logs = stress.run(calls_per_thread=calls_per_thread)
    finally:
        stress.close()
    summary, calls, refusals, problems = shared.stress_summary(logs)
    assert not problems, "\n" + summary
    return calls, refusals


def test_mixed_operations_on_shared_handles_forks_buffers_and_arrays():
    calls, _ = run_profile("mixed", 8000, seed=1)
    assert set(calls) == set(shared.PROFILES["mixed"]), "every kind of operation ran"


@pytest.mark.parametrize(("profile", "calls_per_thread"),
                         [("close", 5000), ("buffer", 5000), ("arrays", 5000), ("batch", 1500), ("lists", 4000)])
def test_focused_races(profile, calls_per_thread):
    calls, _ = run_profile(profile, calls_per_thread, seed=2)
    assert set(calls) == set(shared.PROFILES[profile])


# A finalizer that uses a handle can run in the middle of that handle's own call: creating the
# exception object of a refused call may start the cycle collector. The call must still end (with
# its error), and so must the finalizer's call; neither may wait forever for the handle's lock.
REENTRY = textwrap.dedent("""
    import faulthandler, gc
    import numpy as np
    from velkor import Robot
    from velkor.samples import sample_path

    faulthandler.dump_traceback_later(10, exit=True)  # a deadlock ends the process with its stack
    robot = Robot(sample_path("arm"))
    short = np.zeros(5)
    seen = []

    class Finalized:
        def __init__(self):
            self.cycle = self          # freed by the cycle collector only

        def __del__(self):
            try:
                seen.append(robot.link_count)
            except BaseException as error:
                seen.append(type(error).__name__)

    gc.set_threshold(1, 1, 1)
    for _ in range(20):
        try:
            raise KeyError("an exception being handled")
        except KeyError:
            Finalized()
            try:
                robot.gravity(short)    # refused by the core while the handle is locked
            except ValueError as error:
                assert str(error) == "expected 7 elements in q, found 5", error
    gc.set_threshold(700, 10, 10)
    gc.collect()
    print("finished", len(seen))
""")


def test_finalizer_using_the_handle_during_its_own_call_does_not_deadlock():
    try:
        done = subprocess.run([sys.executable, "-c", REENTRY], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"deadlock: the process was still running after 60 s\n{expired.stderr or ''}")
    assert done.returncode == 0, f"deadlock or crash:\n{done.stderr}"
    assert done.stdout.startswith("finished"), done.stdout
