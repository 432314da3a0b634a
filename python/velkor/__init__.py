"""Rigid-body kinematics and dynamics of robots described in URDF files.

``Robot`` (a fixed base placed by its base frame) and ``FloatingRobot`` (a free
root link whose ``BaseState`` comes with every call) load a URDF file and
compute link poses, Jacobians and their derivatives, link twists and
accelerations, inverse kinematics (``Robot``), inverse and forward dynamics,
mass matrices, gravity and velocity-product forces. ``Pose``, ``Twist``,
``BaseState``, ``Load``, ``LoadBuffer`` and ``IkOptions`` are the values they
take and return.

Conventions: SI units (m, rad, kg, N, N·m, s); world axes unless stated;
six-dimensional quantities angular first; quaternions (x, y, z, w); links
numbered breadth-first from the root (link 0), joint k leading to link k + 1;
q in DOF order (``robot.dof_names``). Array results are flat float64 arrays:
link poses rows of 7 ``[tx, ty, tz, qx, qy, qz, qw]``, matrices column-major
(``as_matrix`` gives the 2-D view). Methods returning arrays accept ``out=``
and then allocate nothing.

Errors: ``ModelError`` (loading), ``SolverError`` (inverse kinematics, forward
dynamics, numerical failures), ``PanicError`` (internal faults), all
``VelkorError``, a ``RuntimeError``; ``ValueError`` and ``TypeError`` for bad
arguments; ``RuntimeError("robot is closed")`` after ``close()``.

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

from . import _pickling  # noqa: F401  (registers the value classes with pickle and copy)

import typing as _typing
from importlib import metadata as _metadata

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
