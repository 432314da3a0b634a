"""Python-side cost of a computing call: the time of a Python call of inverse
dynamics (out= preallocated, a 7-DOF arm) minus the time of the same C++ kernel
alone, alternated batch by batch in one process.

    python benchmarks/overhead.py [--calls N] [--batches B]

Needs the test-only module (VELKOR_TESTING=ON builds). Prints the median and
the 10th percentile of each and the load average.
"""

import argparse
import os
import statistics
import time

import numpy as np

import _velkor_testing
import robots
import velkor


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--batches", type=int, default=30)
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    for label in ("iiwa", "UR5"):
        path = str(robots.urdf_path(robots.case(label).file))
        robot = velkor.Robot(path)
        q = np.full(robot.joint_count, 0.3)
        out = np.empty(robot.joint_count)
        call = robot.inverse_dynamics
        python, kernel = [], []
        for _ in range(args.batches):
            start = time.perf_counter_ns()
            for _ in range(args.calls):
                call(q, q, q, None, out)
            python.append((time.perf_counter_ns() - start) / args.calls)
            kernel.append(_velkor_testing.kernel_ns(path, 0.3, args.calls))
        p10 = lambda v: sorted(v)[len(v) // 10]
        mp, mk = statistics.median(python), statistics.median(kernel)
        print(f"{label} (n={robot.joint_count}) inverse dynamics: Python call {mp:.0f} ns (p10 {p10(python):.0f}), "
              f"kernel {mk:.0f} ns (p10 {p10(kernel):.0f}), overhead {mp - mk:.0f} ns (p10 {p10(python) - p10(kernel):.0f})")


if __name__ == "__main__":
    main()
