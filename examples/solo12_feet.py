# Needs: pip install 'velkor[examples]'
"""Place Solo12's feet from joint angles given leg by leg.

velkor numbers links breadth-first, so its degrees of freedom run hip, hip, hip, hip, then
thigh... The file and most people list them leg by leg. `dof_order` turns either order into
velkor's in one indexing step; forgetting it gives wrong feet and no error.
"""

import sysconfig
from pathlib import Path

import numpy as np

import velkor

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"


def main() -> None:
    solo = velkor.FloatingRobot(str(ROBOTS / "solo_description/robots/solo12.urdf"))
    print(solo)
    print("velkor's DOF order:", ", ".join(solo.dof_names))

    # A standing pose, leg by leg as the file lists the joints: (HAA, HFE, KFE) per leg.
    leg_by_leg = ["FL_HAA", "FL_HFE", "FL_KFE", "FR_HAA", "FR_HFE", "FR_KFE",
                  "HL_HAA", "HL_HFE", "HL_KFE", "HR_HAA", "HR_HFE", "HR_KFE"]
    q_theirs = np.array([0.0, 0.8, -1.6, 0.0, 0.8, -1.6, 0.0, -0.8, 1.6, 0.0, -0.8, 1.6])
    q = q_theirs[solo.dof_order(leg_by_leg)]  # now in velkor's order

    base = velkor.BaseState(velkor.Pose([0.0, 0.0, 0.25]))  # the body 25 cm above the ground
    for foot in ("FL_FOOT", "FR_FOOT", "HL_FOOT", "HR_FOOT"):
        position = solo.forward_kinematics(base, q, solo.link_id(foot)).translation
        print(f"{foot}: x {position[0]:+.3f}  y {position[1]:+.3f}  z {position[2]:+.3f} m")

    # Matrices without copying the flat results: a foot Jacobian (6 x 18) and the mass matrix
    # (18 x 18; the 6 base coordinates first, angular then linear, world axes).
    jacobian = velkor.as_matrix(solo.jacobian(base, q, solo.link_id("FL_FOOT")), rows=6)
    mass = velkor.as_matrix(solo.mass_matrix(base, q), rows=solo.generalized_count)
    print("FL_FOOT Jacobian:", jacobian.shape, " mass matrix:", mass.shape)
    print(f"total mass {mass[3, 3]:.4f} kg = {solo.total_mass:.4f} kg")


if __name__ == "__main__":
    main()
