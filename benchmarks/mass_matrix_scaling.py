"""How the mass matrix's cost grows with the number of joints, on generated trees (mostly chains
with some branching, random hinge axes) of 100, 300 and 1000 DOFs.

    python benchmarks/mass_matrix_scaling.py [--repeats R]

Prints the median and 10th percentile time per call with out= preallocated, the load average,
and the growth exponent between consecutive sizes (2 means the cost follows the n·n output).
"""

import argparse
import math
import os
import statistics
import time

import numpy as np

import velkor

INERTIA = 'ixx="{0}" iyy="{0}" izz="{0}" ixy="0" ixz="0" iyz="0"'


def tree_urdf(n: int, seed: int = 0) -> str:
    rng = np.random.default_rng(seed)
    links = [f'<link name="l0"><inertial><mass value="1"/><inertia {INERTIA.format(0.1)}/></inertial></link>']
    joints = []
    for i in range(1, n + 1):
        parent = max(0, i - 1 - int(rng.integers(0, 3)))
        axis = rng.normal(size=3)
        axis /= np.linalg.norm(axis)
        links.append(f'<link name="l{i}"><inertial><origin xyz="0.05 0 0"/><mass value="1"/>'
                     f'<inertia {INERTIA.format(0.01)}/></inertial></link>')
        joints.append(f'<joint name="j{i}" type="revolute"><parent link="l{parent}"/><child link="l{i}"/>'
                      f'<origin xyz="0.1 0 0"/><axis xyz="{axis[0]} {axis[1]} {axis[2]}"/>'
                      '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>')
    return f'<robot name="tree{n}">{"".join(links)}{"".join(joints)}</robot>'


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=25)
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    previous = None
    for n in (100, 300, 1000):
        robot = velkor.Robot.from_urdf_string(tree_urdf(n))
        q, out = np.full(n, 0.1), np.empty(n * n)
        calls = max(2, 20000 // n)
        samples = []
        for _ in range(args.repeats):
            start = time.perf_counter_ns()
            for _ in range(calls):
                robot.mass_matrix(q, out)
            samples.append((time.perf_counter_ns() - start) / calls / 1000)
        median, p10 = statistics.median(samples), sorted(samples)[len(samples) // 10]
        growth = "" if previous is None else \
            f"  exponent from n={previous[0]}: {math.log(median / previous[1]) / math.log(n / previous[0]):.2f}"
        print(f"n={n:5d}: {median:9.1f} us (p10 {p10:.1f}){growth}")
        previous = (n, median)


if __name__ == "__main__":
    main()
