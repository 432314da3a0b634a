"""Rigid-body kinematics and dynamics of robots described in URDF files.

``Robot`` (a fixed base placed in the world by its base frame) and
``FloatingRobot`` (a free root link whose ``BaseState``, its world pose,
velocity and acceleration, comes first in every call) load a URDF file
(``Robot(path)``, ``from_urdf``, ``from_urdf_string``; keyword-only
``mimic=``, ``inertia_tolerance=`` and, floating only, ``massless_root=``)
and compute:

- kinematics: link poses, twists and accelerations, Jacobians and their time
  derivative, inverse kinematics (``Robot`` only, settings in ``IkOptions``);
- dynamics: inverse and forward dynamics, mass matrix, gravity and
  velocity-product forces, with loads on links (a list of ``Load``, or a
  reusable ``LoadBuffer`` from ``robot.load_buffer()``);
- derivatives: ``inverse_dynamics_derivatives``,
  ``forward_dynamics_derivatives`` and ``gravity_derivatives``;
- whole-body quantities: centre of mass, its velocity and Jacobian,
  centroidal momentum and its matrix, kinetic and potential energy;
- constraints: contacts (``Contact``) and closed loops (``LoopClosure``) in a
  ``ConstraintSet`` from ``robot.constraint_set(items)``, for
  ``constrained_forward_dynamics``, ``impulse_dynamics``,
  ``constraint_jacobian``, ``constraint_acceleration_bias``,
  ``constrained_dynamics_derivatives`` and ``constraint_poses`` (where each
  constrained point or frame is in the world);
- whole-body inverse kinematics: ``robot.ik_problem(tasks)`` checks ``PoseTask``,
  ``CenterOfMassTask`` and ``ConstraintTask`` values into an ``IkProblem`` (several
  targets at once, the contacts of a ``ConstraintSet`` held exactly, joint limits
  respected), whose ``solve`` and ``solve_many`` (many starts on native threads)
  return the solution with ``IkResult`` records, and ``step_qp`` one iteration's QP;
- time: configuration arrays (``configuration_size``; a ``FloatingRobot``'s
  root position and quaternion, then q) moved by ``integrate``, compared by
  ``difference`` and ``interpolate``, with ``integrate_derivatives`` and
  ``difference_derivatives``; ``rollout`` steps a state through time by
  semi-implicit Euler, optionally under a ``ConstraintSet``, and
  ``BaseState.from_configuration`` gives the base argument of a configuration.

``robot.batch(threads)`` evaluates the array methods over many states at once,
one state per row, on native threads; ``robot.fork()`` gives another thread a
handle of its own on the same model. ``robot.joint_vector({name: value})`` and
``robot.joint_dict(q)`` build and read q by joint name, and
``robot.dof_order(names)`` maps q from another library's joint order. Handles
and the values ``Pose``, ``Twist``, ``BaseState``, ``Load``, ``IkOptions``,
``Contact``, ``LoopClosure``, ``PoseTask`` and ``CenterOfMassTask`` pickle and copy (a handle travels as its
URDF document, load options, base frame and gravity vector).
``velkor.samples.sample_path("arm")`` and ``sample_path("quadruped")`` locate
the two sample robots that ship with the package.

Conventions: SI units (m, rad, kg, N, N·m, s); world axes unless stated;
six-dimensional quantities angular first; quaternions (x, y, z, w); q in DOF
order (``robot.dof_names``), a ``FloatingRobot``'s generalized vectors with
the 6 base coordinates first; links numbered breadth-first from the root
(link 0), joint k leading to link k + 1. Array results are flat float64
arrays: link poses rows of 7 ``[tx, ty, tz, qx, qy, qz, qw]``, matrices
column-major (``as_matrix`` gives the 2-D view); batch results have one row
per state. Methods returning arrays accept ``out=`` and then allocate nothing.

Errors: ``ModelError`` (loading), ``SolverError`` (inverse kinematics, forward
dynamics, numerical failures), ``PanicError`` (internal faults), all
``VelkorError``, a ``RuntimeError``; ``ValueError`` and ``TypeError`` for bad
arguments; ``RuntimeError("robot is closed")`` after ``close()``.

Command line: ``velkor`` (or ``python -m velkor``) prints the model and link
poses of the sample robots or of a URDF file; ``velkor info ROBOT`` lists
joints, limits and link masses, ``velkor check FILE...`` reports the problems
of URDF files with a fix, ``velkor bench ROBOT`` times every computing method,
and ``velkor view ROBOT`` shows the robot in the browser with joint sliders
(the ``velkor[viewer]`` extra; ``velkor.viewer.Viewer`` from Python).

Everything lives in the native extension ``_velkor``; this package is its
public home, so ``velkor.Pose`` is the class whose ``__module__`` is "velkor".
"""

import typing as _typing
from importlib import metadata as _metadata

from _velkor import (
    BaseState,
    CenterOfMassTask,
    ConstraintSet,
    ConstraintTask,
    Contact,
    FloatingRobot,
    IkOptions,
    IkProblem,
    IkResult,
    Load,
    LoadBuffer,
    LoopClosure,
    ModelError,
    PanicError,
    Pose,
    PoseTask,
    Robot,
    SolverError,
    Twist,
    VelkorError,
)

from . import _pickling  # noqa: F401  (registers the value classes with pickle and copy)

if _typing.TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

try:  # the version is written once, in pyproject.toml
    __version__ = _metadata.version("velkor")
except _metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"


def as_matrix(result: "npt.ArrayLike", rows: int) -> "npt.NDArray[np.float64]":
    """The flat column-major result of a computing method as a 2-D matrix, without a copy.

    Jacobians and Jacobian derivatives are 6 x N (``rows=6``), mass matrices N x N
    (``rows=robot.generalized_count``); the flat arrays hold them column after column
    (entry (r, c) at ``c * rows + r``). The returned array is a view of ``result``
    (Fortran order): writing into it writes into ``result``, and ``out=`` arrays keep
    working unchanged. Link poses are row-major instead: ``poses.reshape(-1, 7)``.

    Raises ValueError when ``result`` is not one-dimensional, ``rows`` is not positive
    or the length is not a multiple of ``rows``. Costs no copy and no computation.
    """
    import numpy as np

    flat = np.asarray(result)
    if flat.ndim != 1 or rows <= 0 or flat.size % rows != 0:
        raise ValueError(f"expected a one-dimensional result whose length is a multiple of {rows}, "
                         f"got shape {flat.shape}")
    return flat.reshape(-1, rows).T

__all__ = [
    "as_matrix",
    "BaseState",
    "CenterOfMassTask",
    "ConstraintSet",
    "ConstraintTask",
    "Contact",
    "FloatingRobot",
    "IkOptions",
    "IkProblem",
    "IkResult",
    "Load",
    "LoadBuffer",
    "LoopClosure",
    "ModelError",
    "PanicError",
    "Pose",
    "PoseTask",
    "Robot",
    "SolverError",
    "Twist",
    "VelkorError",
]
