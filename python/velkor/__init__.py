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

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

from importlib.metadata import PackageNotFoundError, version

try:  # the version is written once, in pyproject.toml
    __version__ = version("velkor")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"


def as_matrix(result: "npt.ArrayLike", rows: int) -> "npt.NDArray[np.float64]":
    """The flat column-major result of a computing method as a 2-D matrix, without a copy.

    Jacobians and Jacobian derivatives are 6 x N (``rows=6``), mass matrices N x N
    (``rows=robot.generalized_count``); the flat arrays hold them column after column
    (entry (r, c) at ``c * rows + r``). The returned array is a view of ``result``
    (Fortran order): writing into it writes into ``result``, and ``out=`` arrays keep
    working unchanged. Link poses are row-major instead: ``poses.reshape(-1, 7)``.

    Raises ValueError when ``result`` is not one-dimensional or its length is not a
    multiple of ``rows``. Costs no copy and no computation.
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
