"""Instructions the core kernels take per call, counted with callgrind (steady whatever the machine's
load): inverse dynamics, the mass matrix, forward dynamics, their derivatives and the constrained
forward dynamics and derivatives, on the iiwa, the Panda (its fingers coupled) and Solo12 (floating).

    python benchmarks/kernel_instructions.py [--calls N] [--robots iiwa,Panda ...]

Each (robot, method) runs in its own Python process under `valgrind --tool=callgrind`, collecting
only inside the core entry point the binding calls (`--toggle-collect`), so the count is the
kernel's alone: N calls after one warm-up call, divided by N. The constrained methods hold the last
link to a point (the floating robot: its four feet in contact).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROBOTS = {"iiwa": "iiwa", "Panda": "Panda (coupled)", "Solo12": "Solo12 (floating)"}
METHODS = ["inverse_dynamics", "mass_matrix", "forward_dynamics", "inverse_dynamics_derivatives",
           "forward_dynamics_derivatives", "constrained_forward_dynamics", "constrained_dynamics_derivatives"]

SCRIPT = """
import sys
import numpy as np
import velkor
sys.path.insert(0, {benchmarks!r})
import robots

def main(calls):
    case = robots.case({label!r})
    robot = robots.velkor_handle(case)
    n = robot.joint_count
    rng = np.random.default_rng(0)
    q, qd, x = (rng.uniform(-0.5, 0.5, n) for _ in range(3))
    if case.floating:
        base = (velkor.BaseState(velocity=velkor.Twist([0.1, -0.2, 0.3], [0.2, 0.1, -0.1])),)
        tau = rng.uniform(-0.5, 0.5, n + 6)
        feet = [robot.link_id(f) for f in ("FL_FOOT", "FR_FOOT", "HL_FOOT", "HR_FOOT")]
        held = robot.constraint_set([velkor.Contact(f) for f in feet])
    else:
        base = ()
        tau = x
        held = robot.constraint_set([velkor.Contact(robot.link_id(case.tool), "point")])
    method = getattr(robot, {method!r})
    if {method!r} in ("mass_matrix",):
        args = (*base, q)
    elif {method!r}.startswith("constrained"):
        args = (*base, q, qd, tau, held)
    elif {method!r}.startswith("forward"):
        args = (*base, q, qd, tau)
    else:
        args = (*base, q, qd, x)
    method(*args)
    for _ in range(calls):
        method(*args)

main(int(sys.argv[1]))
"""


def total(out_file: Path) -> int:
    text = out_file.read_text()
    match = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
    return int(match[1]) if match else 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--robots", default=",".join(ROBOTS))
    parser.add_argument("--methods", default=",".join(METHODS))
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f (instruction counts do not depend on it)" % os.getloadavg())
    with tempfile.TemporaryDirectory() as work:
        for robot in args.robots.split(","):
            for method in args.methods.split(","):
                script = Path(work) / "calls.py"
                script.write_text(SCRIPT.format(benchmarks=str(Path(__file__).parent), label=ROBOTS[robot],
                                                method=method))
                counts = []
                for calls in (args.calls, 2 * args.calls):
                    out = Path(work) / f"callgrind.{calls}"
                    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                                    f"--toggle-collect=velkor::{method}(velkor::Model const&*",
                                    sys.executable, str(script), str(calls)], check=True, capture_output=True)
                    counts.append(total(out))
                per_call = (counts[1] - counts[0]) / args.calls
                print(f"{robot:<8} {method:<34} {per_call:10.0f} instructions per call")


if __name__ == "__main__":
    main()
