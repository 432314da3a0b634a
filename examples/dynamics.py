"""Inverse and forward dynamics of the sample arm, with a load on the tool.

inverse_dynamics gives the joint forces for given accelerations; forward_dynamics gives the
accelerations for given forces. One undoes the other.
"""

import numpy as np

import velkor
from velkor.samples import sample_path


def main() -> None:
    arm = velkor.Robot(sample_path("arm"))
    rng = np.random.default_rng(0)
    q = arm.random_configuration(rng)
    qd = rng.uniform(-1.0, 1.0, arm.joint_count)
    qdd = rng.uniform(-1.0, 1.0, arm.joint_count)

    tau = arm.inverse_dynamics(q, qd, qdd)
    print("joint forces (N·m):", np.round(tau, 3))
    print("gravity part (N·m):", np.round(arm.gravity(q), 3))

    back = arm.forward_dynamics(q, qd, tau)
    print("accelerations recovered to", float(np.max(np.abs(back - qdd))))

    # A 2 kg payload on the tool: a downward force of 2 g at the link origin, in link axes.
    tool = arm.link_id("tool")
    down = arm.forward_kinematics(q, tool).inverse().rotation_matrix @ np.array([0.0, 0.0, -2 * 9.80665])
    loads = [velkor.Load(tool, force=down)]
    print("with payload (N·m):", np.round(arm.inverse_dynamics(q, qd, qdd, loads=loads), 3))

    # Reusable loads for control loops, and the gravity another library may assume.
    buffer = arm.load_buffer()
    buffer.set(tool, force=down)
    arm.gravity_vector = [0.0, 0.0, -9.81]
    print("g = 9.81 (N·m):", np.round(arm.inverse_dynamics(q, qd, qdd, loads=buffer), 3))


if __name__ == "__main__":
    main()
