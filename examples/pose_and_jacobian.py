# Needs: pip install velkor
"""End-effector pose and world-aligned Jacobian of the sample arm.

The Jacobian maps joint velocities to the link's twist (angular, then linear velocity of the
link origin), both in world axes. Methods return flat column-major arrays; velkor.as_matrix
views them as 6 x n matrices without copying.
"""

import numpy as np

import velkor
from velkor.samples import sample_path


def main() -> None:
    arm = velkor.Robot(sample_path("arm"))
    tool = arm.link_id("tool")
    q = arm.neutral_configuration() + 0.1

    pose = arm.forward_kinematics(q, tool)
    print("tool position (m):", np.round(pose.translation, 4))
    print("tool rotation (x, y, z, w):", np.round(pose.rotation_xyzw, 4))

    jacobian = velkor.as_matrix(arm.jacobian(q, tool), rows=6)
    qd = np.full(arm.joint_count, 0.2)
    twist = jacobian @ qd
    print("tool twist: angular", np.round(twist[:3], 4), "linear", np.round(twist[3:], 4))

    # The same twist from the motion kinematics, as a check of the layout.
    direct = arm.forward_velocity_kinematics(q, qd, tool)
    assert np.allclose(twist, [*direct.angular, *direct.linear])

    # In a control loop, preallocate: out= calls allocate nothing.
    out = np.empty(6 * arm.joint_count)
    arm.jacobian(q, tool, out=out)


if __name__ == "__main__":
    main()
