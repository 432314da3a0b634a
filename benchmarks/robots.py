"""Robot description files for the benchmarks, and the handles built from them.

The URDF files come from the installed `example-robot-data` distribution and,
for the iiwa, from pybullet's data files (found by path; neither Python module
is imported). Files with `<mimic>` elements are
loaded with mimic="independent", which is how Pinocchio loads them by default.
"""

import sysconfig
from dataclasses import dataclass
from pathlib import Path

import velkor

ROBOTS_DIR = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
# The iiwa comes with pybullet's data files (an absolute path replaces ROBOTS_DIR).
PYBULLET_DATA = Path(sysconfig.get_paths()["purelib"]) / "pybullet_data"


@dataclass(frozen=True)
class RobotCase:
    label: str
    file: str  # relative to ROBOTS_DIR
    tool: str  # link used by jacobian and inverse_kinematics
    floating: bool = False
    ik: bool = False
    mimic: str = "independent"


ROBOTS = [
    RobotCase("Panda", "panda_description/urdf/panda.urdf", "panda_hand_tcp", ik=True),
    RobotCase("UR5", "ur_description/urdf/ur5_robot.urdf", "tool0", ik=True),
    RobotCase("iiwa", str(PYBULLET_DATA / "kuka_iiwa/model.urdf"), "lbr_iiwa_link_7", ik=True),
    RobotCase("Baxter", "baxter_description/urdf/baxter.urdf", "left_gripper"),
    RobotCase("Talos (fixed)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link"),
    RobotCase("Talos (floating)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link", floating=True),
    RobotCase("Solo12 (floating)", "solo_description/robots/solo12.urdf", "FL_FOOT", floating=True),
]

# The same files with their mimic joints following their leaders (Pinocchio's coupled model loads
# the Panda but not Talos, whose mimic joints come before their leaders).
COUPLED = [
    RobotCase("Panda (coupled)", "panda_description/urdf/panda.urdf", "panda_leftfinger", ik=True, mimic="couple"),
    RobotCase("Talos (coupled)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_fingertip_3_link",
              mimic="couple"),
    RobotCase("Talos (coupled, floating)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_fingertip_3_link",
              floating=True, mimic="couple"),
]


def urdf_path(relative: str) -> Path:
    return ROBOTS_DIR / relative


def case(label: str) -> RobotCase:
    return next(s for s in ROBOTS + COUPLED if s.label == label)


def velkor_handle(s: RobotCase):
    cls = velkor.FloatingRobot if s.floating else velkor.Robot
    return cls(str(urdf_path(s.file)), mimic=s.mimic)


def peer_model(s: RobotCase):
    """Pinocchio's model of the same file, with the same gravity as velkor."""
    import numpy as np
    import pinocchio as pin

    path = str(urdf_path(s.file))
    model = pin.buildModelFromUrdf(path, pin.JointModelFreeFlyer()) if s.floating else pin.buildModelFromUrdf(path)
    model.gravity.linear = np.array([0.0, 0.0, -9.80665])
    return model
