"""Instructions the binding adds to a computing call, counted with callgrind (steady whatever the
machine's load): per method kind on the iiwa (7 DOFs), the inclusive count of the binding's entry
minus that of the core function it calls, per call.

    python benchmarks/binding_instructions.py [--calls N]

Each kind runs in its own Python process under `valgrind --tool=callgrind`, twice, with N and
6·N calls in a function's loop; the difference over 5·N calls leaves out start-up and import.
Kinds: one array result with out= (inverse_dynamics), a tuple of arrays (the derivatives of
inverse dynamics, out= a tuple), a value result (forward_kinematics, a Pose), a batch row
(RobotBatch.inverse_dynamics on one thread, 64 rows a call, counted per row) and one step of a
whole-body IK problem (IkProblem.step_qp, seven new arrays); then the same calls on
tests/data/coupled_hand.urdf loaded with mimic="couple" (the core takes and returns its free
coordinates). The interpreter's own loop and call dispatch are outside both counts.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

CASES = {
    # kind: (call set-up and statement, binding entry symbol, core symbol, rows per call)
    "one array (inverse_dynamics, out=)": (
        "out = np.empty(n)\n    call = lambda: robot.inverse_dynamics(q, q, q, None, out)",
        "computing_method<velkor::Robot, velkor::py::methods::inverse_dynamics>", "velkor::inverse_dynamics(", 1),
    "out tuple (inverse_dynamics_derivatives)": (
        "out = (np.empty(n * n), np.empty(n * n))\n    call = lambda: robot.inverse_dynamics_derivatives(q, q, q, None, out)",
        "computing_method<velkor::Robot, velkor::py::methods::inverse_dynamics_derivatives>",
        "velkor::inverse_dynamics_derivatives(", 1),
    "value result (forward_kinematics)": (
        "call = lambda: robot.forward_kinematics(q, 7)",
        "computing_method<velkor::Robot, velkor::py::methods::forward_kinematics>", "velkor::forward_kinematics(", 1),
    "batch row (RobotBatch.inverse_dynamics, 64 rows)": (
        "batch = robot.batch(1); Q = np.full((64, n), 0.3); out = np.empty((64, n))\n"
        "    call = lambda: batch.inverse_dynamics(Q, Q, Q, None, out)",
        "batch_method<velkor::Robot, velkor::py::methods::inverse_dynamics>", "velkor::inverse_dynamics(", 64),
    "IK step (IkProblem.step_qp, a pose and a contact)": (
        "problem = robot.ik_problem([velkor.PoseTask(7, velkor.Pose([0.3, 0.0, 0.5])),\n"
        "        velkor.ConstraintTask(robot.constraint_set([velkor.Contact(3)]))])\n"
        "    call = lambda: problem.step_qp(q)",
        "step_qp<velkor::Robot>", "velkor::IkProblem::step_qp(", 1),
}
COUPLED = "robot = velkor.Robot({hand!r}, mimic='couple')\n    n = robot.joint_count\n    q = np.full(n, 0.3)\n    "
for kind, (setup, entry, core, rows) in list(CASES.items()):
    CASES["coupled hand: " + kind.split(" (")[0] + " (" + kind.split(" (")[1]] = (COUPLED + setup, entry, core, rows)
CASES["coupled hand: square (mass_matrix, out=)"] = (
    COUPLED + "out = np.empty(n * n)\n    call = lambda: robot.mass_matrix(q, out)",
    "computing_method<velkor::Robot, velkor::py::methods::mass_matrix>", "velkor::mass_matrix(", 1)
CASES["coupled hand: columns (jacobian, out=)"] = (
    COUPLED + "out = np.empty(6 * n)\n    call = lambda: robot.jacobian(q, robot.link_count - 1, out)",
    "computing_method<velkor::Robot, velkor::py::methods::jacobian>", "velkor::jacobian(", 1)

SCRIPT = """
import sys
import numpy as np
import velkor
sys.path.insert(0, {benchmarks!r})
import robots

def main(calls):
    robot = velkor.Robot(str(robots.urdf_path(robots.case("iiwa").file)))
    n = robot.joint_count
    q = np.full(n, 0.3)
    {setup}
    for _ in range(calls):
        call()

main(int(sys.argv[1]))
"""


def inclusive(out_file: Path) -> dict[str, int]:
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out_file)],
                          capture_output=True, text=True, check=True).stdout
    counts: dict[str, int] = {}
    for line in text.splitlines():
        if match := re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)", line):
            name = match[2]
            counts[name] = counts.get(name, 0) + int(match[1].replace(",", ""))
    return counts


def symbol(counts: dict[str, int], part: str) -> int:
    """The largest inclusive count of a symbol containing `part` (its outermost, not recursive, entry)."""
    found = [v for k, v in counts.items() if part in k and "'" not in k.split("[")[0]]
    return max(found, default=0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f (instruction counts do not depend on it)" % os.getloadavg())
    with tempfile.TemporaryDirectory() as work:
        for kind, (setup, entry, core, rows) in CASES.items():
            script = Path(work) / "calls.py"
            hand = str(Path(__file__).resolve().parents[1] / "tests/data/coupled_hand.urdf")
            script.write_text(SCRIPT.format(benchmarks=str(Path(__file__).parent), setup=setup.format(hand=hand)))
            measured = []
            for calls in (args.calls, 6 * args.calls):
                out = Path(work) / f"callgrind.{calls}"
                subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                                str(script), str(calls)], check=True, capture_output=True)
                counts = inclusive(out)
                measured.append((symbol(counts, entry), symbol(counts, core)))
            calls = 5 * args.calls * rows
            binding = ((measured[1][0] - measured[0][0]) - (measured[1][1] - measured[0][1])) / calls
            kernel = (measured[1][1] - measured[0][1]) / calls
            print(f"{kind:<58} binding {binding:7.0f} instructions per {'row' if rows > 1 else 'call'}, "
                  f"core {kernel:7.0f}")


if __name__ == "__main__":
    main()
