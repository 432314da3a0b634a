"""Median time per Python call of every computing method on the sample robots.

    python benchmarks/call_times.py [--calls N]

Each method is called with preallocated `out=` arrays where it has one; the
figure is the median over repeats of N calls, in nanoseconds per call.
"""

import argparse

import numpy as np

import velkor
from velkor._bench import median_ns
from velkor.samples import sample_path


def arm_calls(robot):
    n, L = robot.joint_count, robot.link_count
    rng = np.random.default_rng(0)
    q, qd, qdd = (rng.uniform(-1, 1, n) for _ in range(3))
    tool = robot.link_id("tool")
    out_n, out_j, out_m, out_l = np.empty(n), np.empty(6 * n), np.empty(n * n), np.empty(7 * L)
    desired = robot.forward_kinematics(q, tool)
    start = q + 0.05
    buffer = robot.load_buffer()
    buffer.set(tool, force=[0.0, 0.0, -5.0])
    return {
        "forward_kinematics": lambda: robot.forward_kinematics(q, tool),
        "forward_kinematics_all": lambda: robot.forward_kinematics_all(q, out_l),
        "jacobian": lambda: robot.jacobian(q, tool, out_j),
        "jacobian_derivative": lambda: robot.jacobian_derivative(q, qd, tool, out_j),
        "forward_velocity_kinematics": lambda: robot.forward_velocity_kinematics(q, qd, tool),
        "forward_acceleration_kinematics": lambda: robot.forward_acceleration_kinematics(q, qd, qdd, tool),
        "inverse_kinematics": lambda: robot.inverse_kinematics(start, tool, desired, None, out_n),
        "mass_matrix": lambda: robot.mass_matrix(q, out_m),
        "gravity": lambda: robot.gravity(q, None, out_n),
        "inverse_dynamics": lambda: robot.inverse_dynamics(q, qd, qdd, None, out_n),
        "inverse_dynamics (load buffer)": lambda: robot.inverse_dynamics(q, qd, qdd, buffer, out_n),
        "velocity_product_forces": lambda: robot.velocity_product_forces(q, qd, out_n),
        "forward_dynamics": lambda: robot.forward_dynamics(q, qd, qdd, None, out_n),
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()
    robot = velkor.Robot(sample_path("arm"))
    print(f"sample arm: {robot.joint_count} DOFs, {robot.link_count} links; ns per call (median)")
    for name, call in arm_calls(robot).items():
        calls = args.calls // 20 if name == "inverse_kinematics" else args.calls
        print(f"  {name:<34} {median_ns(call, calls, repeats=7):>10.0f}")


if __name__ == "__main__":
    main()
