"""Rigid-body kinematics and dynamics of robots described in URDF files.

Everything lives in the native extension ``_velkor``; this package is its
public home, so ``velkor.Pose`` is the class whose ``__module__`` is "velkor".
"""

from _velkor import (
    BaseState,
    FloatingRobot,
    IkOptions,
    Load,
    LoadBuffer,
    ModelError,
    PanicError,
    Pose,
    Robot,
    SolverError,
    Twist,
    VelkorError,
)

__version__ = "0.1.0"

__all__ = [
    "BaseState",
    "FloatingRobot",
    "IkOptions",
    "Load",
    "LoadBuffer",
    "ModelError",
    "PanicError",
    "Pose",
    "Robot",
    "SolverError",
    "Twist",
    "VelkorError",
]
