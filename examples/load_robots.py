# Needs: pip install 'velkor[examples]'
"""Load robots from example-robot-data: fixed and floating bases, and the loader options.

The collection installs its URDF files under site-packages/cmeel.prefix; velkor loads them by
path. Files with <mimic> joints need mimic="independent"; quadrupeds whose root link is a
massless frame fixed to the trunk need massless_root="allow" to float.
"""

import sysconfig
from pathlib import Path

import velkor

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"


def main() -> None:
    ur5 = velkor.Robot(str(ROBOTS / "ur_description/urdf/ur5_robot.urdf"))
    print(ur5, "DOFs:", ", ".join(ur5.dof_names))

    # Panda's fingers are coupled by a <mimic> element: load them as two free fingers.
    panda = velkor.Robot(str(ROBOTS / "panda_description/urdf/panda.urdf"), mimic="independent")
    print(panda, "loosened couplings:", panda.mimic_joints)

    # A1's root link "base" has no mass; the trunk fixed to it does.
    a1 = velkor.FloatingRobot(str(ROBOTS / "a1_description/urdf/a1.urdf"), massless_root="allow")
    print(a1, f"total mass {a1.total_mass:.2f} kg")

    # A document held in memory loads the same way.
    text = (ROBOTS / "double_pendulum_description/urdf/double_pendulum_continuous.urdf").read_text()
    pendulum = velkor.Robot.from_urdf_string(text)
    for joint in pendulum.joints:
        print(f"  joint {joint.name}: {joint.type}, link {joint.parent} -> {joint.child}, DOF {joint.dof}")


if __name__ == "__main__":
    main()
