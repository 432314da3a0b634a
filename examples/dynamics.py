# Needs: pip install velkor
"""Inverse and forward dynamics of the sample arm, with a payload held by the tool.

inverse_dynamics gives the joint forces for given accelerations; forward_dynamics gives the
accelerations for given forces. One undoes the other. Gravity points along gravity_vector, by
default (0, 0, -9.80665) m/s² in world axes (z up).
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

    # A 2 kg payload held by the tool. A velkor.Load is the wrench a link exerts on its
    # surroundings (force at the link origin, link axes). Held still, the tool pushes the payload
    # up with a force equal to its weight, so a payload of mass m is the load with force +m·g
    # upward: -m·gravity_vector, turned into the tool's axes. (The payload's weight presses down
    # on the tool; that is the reaction to this load, not the load.)
    tool = arm.link_id("tool")
    to_tool = arm.forward_kinematics(q, tool).rotation_matrix.T   # world axes -> tool axes
    mass = 2.0
    held = [velkor.Load(tool, force=(to_tool @ (-mass * arm.gravity_vector)).tolist())]
    print("holding the payload still (N·m):", np.round(arm.gravity(q, held), 3))

    # In motion the tool must also accelerate it: for a small payload at the tool origin the tool
    # exerts m·(a - g), with a the classical acceleration of the tool origin in world axes.
    a = np.array(arm.forward_acceleration_kinematics(q, qd, qdd, tool).linear)
    carried = [velkor.Load(tool, force=(to_tool @ (mass * (a - arm.gravity_vector))).tolist())]
    tau_carrying = arm.inverse_dynamics(q, qd, qdd, loads=carried)
    print("moving the payload (N·m):", np.round(tau_carrying, 3))

    # The same payload as a 2 kg link welded to the tool origin gives the same joint forces.
    payload_link = (
        f'<link name="payload"><inertial><mass value="{mass}"/>'
        '<inertia ixx="0" ixy="0" ixz="0" iyy="0" iyz="0" izz="0"/></inertial></link>'
        '<joint name="hold" type="fixed"><parent link="tool"/><child link="payload"/></joint>'
    )
    with open(sample_path("arm")) as file:
        heavier = velkor.Robot.from_urdf_string(file.read().replace("</robot>", payload_link + "</robot>"))
    print("payload as a link, largest difference (N·m):",
          float(np.max(np.abs(heavier.inverse_dynamics(q, qd, qdd) - tau_carrying))))

    # Reusable loads for control loops, and the gravity another library may assume: the load
    # follows gravity_vector, since it is what holds the payload against it.
    buffer = arm.load_buffer()
    arm.gravity_vector = [0.0, 0.0, -9.81]
    buffer.set(tool, force=(to_tool @ (mass * (a - arm.gravity_vector))).tolist())
    print("g = 9.81 (N·m):", np.round(arm.inverse_dynamics(q, qd, qdd, loads=buffer), 3))


if __name__ == "__main__":
    main()
