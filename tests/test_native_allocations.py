"""What a binding call allocates on the C heap, which tracemalloc does not see. A child interpreter
runs with a malloc that counts its calls of one size preloaded (tests/cpp/malloc_watch.cpp, compiled
here): a call that writes into arrays it returns may allocate those arrays, nothing of their size
beside them."""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = [pytest.mark.skipif(sys.platform != "linux", reason="the counting malloc wraps glibc's"),
              pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                 reason="AddressSanitizer owns malloc")]

SOURCE = Path(__file__).parent / "cpp" / "malloc_watch.cpp"

# argv: the robot kind. Prints the calls made and the allocations of A's size they made.
CHILD = """
import ctypes, sys
import numpy as np
from velkor import BaseState, ConstraintTask, Contact, FloatingRobot, Pose, PoseTask, Robot
from velkor.samples import sample_path

libc = ctypes.CDLL(None)
libc.velkor_watched_mallocs.restype = ctypes.c_long
if sys.argv[1] == "fixed":
    robot, lead = Robot(sample_path("arm")), ()
    contacts = [Contact(link, "frame") for link in (5, 6, 7, 8)]
else:
    robot, lead = FloatingRobot(sample_path("quadruped")), (BaseState(Pose([0.0, 0.0, 0.4])),)
    contacts = [Contact(robot.link_id(f"{foot}_foot")) for foot in ("front_left", "front_right", "hind_left")]
tasks = [PoseTask(2, Pose([0.3, 0.0, 0.4])), ConstraintTask(robot.constraint_set(contacts))]
problem = robot.ik_problem(tasks)
q = np.clip(np.full(robot.joint_count, 0.2), robot.lower_limits, robot.upper_limits)
calls = 3
problem.step_qp(*lead, q)
libc.velkor_watch_malloc(ctypes.c_size_t(8 * problem.equality_rows * robot.generalized_count))
for _ in range(calls):
    problem.step_qp(*lead, q)
print(calls, libc.velkor_watched_mallocs(), problem.equality_rows, robot.generalized_count)
"""


@pytest.fixture(scope="module")
def malloc_watch(tmp_path_factory):
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    if not compiler or shutil.which(compiler[0]) is None:
        pytest.skip("no C++ compiler to build the counting malloc")
    library = tmp_path_factory.mktemp("malloc_watch") / "libmalloc_watch.so"
    subprocess.run([*compiler, "-std=c++17", "-O2", "-shared", "-fPIC", str(SOURCE), "-o", str(library)],
                   check=True)
    return library


@pytest.mark.parametrize("kind", ["fixed", "floating"])
def test_step_qp_allocates_no_copy_of_its_constraint_rows(malloc_watch, kind):
    """A (m, N) at most once a call, NumPy's array itself; at least 1 KiB, beyond NumPy's small-block
    cache, and of no other array's size."""
    environment = {**os.environ, "LD_PRELOAD": str(malloc_watch)}
    result = subprocess.run([sys.executable, "-c", CHILD, kind], capture_output=True, text=True, timeout=120,
                            env=environment)
    assert result.returncode == 0, result.stderr
    calls, allocations, m, N = map(int, result.stdout.split())
    assert 8 * m * N >= 1024 and m != N
    assert allocations <= calls
