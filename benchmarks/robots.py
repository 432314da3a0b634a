"""Robot description files for the benchmarks, and the handles built from them.

The URDF files come from the installed `example-robot-data` distribution (found
by path; its Python module is not imported). velkor does not accept `<mimic>`
elements, so files that have them are copied to a temporary directory with
those elements removed, and the copy is what both libraries load.
"""

import re
import sysconfig
import tempfile
from dataclasses import dataclass
from pathlib import Path

import velkor

ROBOTS_DIR = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"


@dataclass(frozen=True)
class RobotCase:
    label: str
    file: str  # relative to ROBOTS_DIR
    tool: str  # link used by jacobian and inverse_kinematics
    floating: bool = False
    ik: bool = False


ROBOTS = [
    RobotCase("Panda", "panda_description/urdf/panda.urdf", "panda_hand_tcp", ik=True),
    RobotCase("UR5", "ur_description/urdf/ur5_robot.urdf", "tool0", ik=True),
    RobotCase("Talos (fixed)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link"),
    RobotCase("Talos (floating)", "talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link", floating=True),
    RobotCase("Solo12 (floating)", "solo_description/robots/solo12.urdf", "FL_FOOT", floating=True),
]

_MIMIC = re.compile(r"<mimic\b[^>]*?/>|<mimic\b.*?</mimic>", re.S)
_tmp = tempfile.TemporaryDirectory(prefix="velkor-bench-")
_prepared: dict[str, Path] = {}


def urdf_path(relative: str) -> Path:
    """The file to load for `relative`: the original, or a copy without `<mimic>`."""
    if relative not in _prepared:
        source = ROBOTS_DIR / relative
        text = source.read_text()
        stripped = _MIMIC.sub("", text)
        if stripped == text:
            _prepared[relative] = source
        else:
            target = Path(_tmp.name) / relative.replace("/", "_")
            target.write_text(stripped)
            _prepared[relative] = target
    return _prepared[relative]


def case(label: str) -> RobotCase:
    return next(s for s in ROBOTS if s.label == label)


def velkor_handle(s: RobotCase):
    cls = velkor.FloatingRobot if s.floating else velkor.Robot
    return cls(str(urdf_path(s.file)))


def peer_model(s: RobotCase):
    """The peer's model of the same file, with the same gravity as velkor."""
    import numpy as np
    import pinocchio as pin

    path = str(urdf_path(s.file))
    model = pin.buildModelFromUrdf(path, pin.JointModelFreeFlyer()) if s.floating else pin.buildModelFromUrdf(path)
    model.gravity.linear = np.array([0.0, 0.0, -9.80665])
    return model
