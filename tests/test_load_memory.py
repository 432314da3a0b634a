"""Loading takes memory linear in the file: long chains, plain and coupled, load under an address-space
cap that a table of n² entries (or n² per workspace) would break. Each case runs in its own
interpreter with RLIMIT_AS set just above what it holds before the load."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the address sanitizer reserves far more address space than the cap")

CHILD = """
import resource, sys
import numpy as np
import velkor

INERTIA = '<inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/>'

def chain(n, mimic):
    links = "".join(f'<link name="l{i}"><inertial><mass value="1"/>{INERTIA}</inertial></link>'
                    for i in range(n + 1))
    joints = []
    for i in range(n):
        leader = {"pairs": i - 1 if i % 2 else -1, "follow": i - 1,
                  "nested": n - 1 - i if n - 1 - i < i else -1}.get(mimic, -1)
        element = f'<mimic joint="j{leader}" multiplier="0.5"/>' if leader >= 0 else ""
        joints.append(f'<joint name="j{i}" type="revolute"><parent link="l{i}"/><child link="l{i + 1}"/>'
                      f'<origin xyz="0 0 0.1"/><axis xyz="{i % 2} {(i + 1) % 2} 0"/>'
                      f'<limit lower="-3" upper="3" effort="1" velocity="1"/>{element}</joint>')
    return f'<robot name="chain">{links}{"".join(joints)}</robot>'

n, mimic, budget = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]) << 20
text = chain(n, mimic)
size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + budget, resource.getrlimit(resource.RLIMIT_AS)[1]))
cls = velkor.FloatingRobot if mimic == "floating" else velkor.Robot
robot = cls.from_urdf_string(text, mimic="reject" if mimic in ("plain", "floating") else "couple")
q = np.full(robot.joint_count, 0.1)
state = (velkor.BaseState(),) if cls is velkor.FloatingRobot else ()
# the first forward dynamics sizes what only it needs (a coupled model's open groups)
qdd = robot.forward_dynamics(*state, q, q, np.zeros(robot.generalized_count))
print(len(robot.joints), robot.link_count, bool(np.isfinite(qdd).all()))
"""


def load_under_cap(n: int, mimic: str, budget_mib: int):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(n), mimic, str(budget_mib)],
                            capture_output=True, text=True, timeout=600)
    return result.returncode, result.stdout, result.stderr


# A 100k chain's file is 25 MB; what it takes beyond the file grows with n. n² doubles per workspace
# (or pairs of joints) would be 80 GB.
@pytest.mark.parametrize("n, mimic, budget_mib", [
    (100_000, "plain", 1024),
    (30_000, "floating", 512),
    (100_000, "pairs", 1024),    # every second joint follows the one before it
    (100_000, "follow", 1024),   # one mimic chain through every joint
    (1_200, "nested", 256),      # 600 nested pairs: 600 groups open at once in the middle
])
def test_long_chains_load_in_memory_linear_in_the_file(n, mimic, budget_mib):
    status, out, err = load_under_cap(n, mimic, budget_mib)
    assert status == 0, err[-2000:]
    assert out == f"{n} {n + 1} True\n"
