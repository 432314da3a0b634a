"""Per-call times of this build of the extension beside another build of it (an earlier commit,
say), on the sample arm, alternated batch by batch in one process.

    python benchmarks/against_build.py OTHER_EXTENSION_FILE [--calls N] [--batches B]

OTHER_EXTENSION_FILE is another build's _velkor*.so; build one from a commit with
`pip install --no-deps --no-build-isolation --target DIR .` in a checkout of it, and link
DIR/cmeel.prefix to this environment's site-packages/cmeel.prefix so it finds its XML parser.
Calls pass preallocated `out=` arrays. For each method the median and the 10th percentile of the
per-batch times are printed in nanoseconds per call, with the ratio of medians (this / other).
"""

import argparse
import importlib
import os
import statistics
import sys
import time

import numpy as np

import _velkor
from velkor.samples import sample_path


def load_other(path):
    """Imports the other build's extension beside this one: both stay loaded in one process."""
    ours = sys.modules.pop("_velkor")
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    try:
        return importlib.import_module("_velkor")
    finally:
        sys.path.pop(0)
        sys.modules["_velkor"] = ours


def arm_calls(module):
    robot = module.Robot(sample_path("arm"))
    n = robot.joint_count
    tool = robot.link_id("tool")
    rng = np.random.default_rng(0)
    q, qd, qdd = (rng.uniform(-0.5, 0.5, n) for _ in range(3))
    out_n, out_m, out_j = np.empty(n), np.empty(n * n), np.empty(6 * n)
    start = np.zeros(n)
    desired = robot.forward_kinematics(np.full(n, 0.05), tool)
    return {
        "inverse_kinematics": lambda: robot.inverse_kinematics(start, tool, desired, None, out_n),
        "gravity": lambda: robot.gravity(q, None, out_n),
        "inverse_dynamics": lambda: robot.inverse_dynamics(q, qd, qdd, None, out_n),
        "velocity_product_forces": lambda: robot.velocity_product_forces(q, qd, out_n),
        "forward_dynamics": lambda: robot.forward_dynamics(q, qd, qdd, None, out_n),
        "mass_matrix": lambda: robot.mass_matrix(q, out_m),
        "jacobian": lambda: robot.jacobian(q, tool, out_j),
        "inverse_dynamics (new out)": lambda: robot.inverse_dynamics(q, qd, qdd),
    }


def batch_ns(call, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        call()
    return (time.perf_counter_ns() - start) / calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("other")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--batches", type=int, default=101)
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    this, other = arm_calls(_velkor), arm_calls(load_other(args.other))
    print(f"{'method':28} {'this median':>12} {'this p10':>9} {'other median':>13} {'other p10':>10} {'ratio':>6}")
    for name in this:
        times = {"this": [], "other": []}
        for _ in range(10):
            this[name](), other[name]()
        for _ in range(args.batches):
            times["this"].append(batch_ns(this[name], args.calls))
            times["other"].append(batch_ns(other[name], args.calls))
        a, b = (statistics.median(times[k]) for k in ("this", "other"))
        p10 = {k: statistics.quantiles(times[k], n=10)[0] for k in times}
        print(f"{name:28} {a:12.0f} {p10['this']:9.0f} {b:13.0f} {p10['other']:10.0f} {a / b:6.3f}")


if __name__ == "__main__":
    main()
