"""A browser viewer of velkor robots, on viser (``pip install 'velkor[viewer]'``).

The scene is the robot's ``<visual>`` (or ``<collision>``) shapes as velkor's own reader gives
them (``robot.visuals``), placed by velkor's forward kinematics: a link's shapes move with the
world pose ``forward_kinematics_all`` gives it. Mesh files are read with trimesh (``.dae``
through pycollada). Distances are metres; world axes are velkor's (gravity along ``-z`` by
default). The page is served by viser's web client from its wheel, with no network access.

``import velkor`` does not import this module.
"""

from __future__ import annotations

import contextlib
import io
import math
import os
import threading
import time
import warnings
from collections.abc import Iterable, Sequence
from pathlib import Path

import numpy as np

try:
    import trimesh
    import viser
except ImportError as error:  # pragma: no cover - the extra is installed in the tests
    raise ImportError("velkor.viewer needs the viewer extra: pip install 'velkor[viewer]'") from error

from velkor import BaseState, ConstraintSet, Contact, FloatingRobot, Pose, Robot, Twist

__all__ = ["MissingMeshWarning", "Viewer", "find_mesh"]

GREY = (0.7, 0.7, 0.7, 1.0)  # shapes without a colour of their own


class MissingMeshWarning(UserWarning):
    """A mesh file of a visual that cannot be found or read; the viewer lists it in
    ``missing_meshes`` and draws nothing for that shape."""


def _search_dirs(urdf_path: str | None, package_dirs: Iterable[str | os.PathLike[str]]) -> list[Path]:
    dirs = [Path(d) for d in package_dirs]
    if urdf_path:
        dirs += list(Path(urdf_path).resolve().parents)
    dirs += [Path(d) for d in os.environ.get("ROS_PACKAGE_PATH", "").split(os.pathsep) if d]
    return dirs


def find_mesh(filename: str, urdf_path: str | None = None,
              package_dirs: Iterable[str | os.PathLike[str]] = ()) -> Path | None:
    """The file a mesh's ``filename`` names, or None when there is none.

    ``package://NAME/REST`` is looked up, in this order, in each of ``package_dirs``, the URDF
    file's folder and its parents, and the folders of ``ROS_PACKAGE_PATH``: as ``DIR/NAME/REST``,
    or as ``DIR/REST`` when the folder is itself named NAME. ``file://PATH`` is PATH. A relative
    path is taken from the URDF file's folder (the working directory without one)."""
    if filename.startswith("package://"):
        package, _, rest = filename[len("package://"):].partition("/")
        for d in _search_dirs(urdf_path, package_dirs):
            for candidate in (d / package / rest, d / rest if d.name == package else None):
                if candidate is not None and candidate.is_file():
                    return candidate
        return None
    if filename.startswith("file://"):
        filename = filename[len("file://"):]
    path = Path(filename)
    if not path.is_absolute():
        path = (Path(urdf_path).parent if urdf_path else Path.cwd()) / path
    return path if path.is_file() else None


def _rgb(color) -> tuple[tuple[int, int, int], float | None]:
    r, g, b, a = color
    return (round(255 * r), round(255 * g), round(255 * b)), None if a >= 1.0 else float(a)


def _wxyz(pose: Pose) -> tuple[float, float, float, float]:
    x, y, z, w = pose.rotation_xyzw
    return (w, x, y, z)


def _quiet(function, *args, **kwargs):
    """Calls function with viser's start and stop banners silenced."""
    with contextlib.redirect_stdout(io.StringIO()):
        return function(*args, **kwargs)


class Viewer:
    """A robot in the browser: ``Viewer(robot)`` serves a page at ``viewer.url`` that shows it.

    ``robot``: a Robot or FloatingRobot (a coupled robot too: the sliders and configurations
    are its free joints). ``host``: the interface to listen on, ``127.0.0.1`` (this machine only)
    unless asked; ``port``: 0 for a free one. ``collision``: show the ``<collision>`` shapes
    instead of the ``<visual>`` ones. ``package_dirs``: folders to look for ``package://``
    meshes in first (see find_mesh); ``urdf_path``: the file relative mesh paths and package
    folders are found from, ``robot.path`` by default (None for a robot loaded from a string).
    ``sliders``: joint sliders in the page's panel, within the position limits (continuous
    joints from -π to π), that move the robot through velkor.

    A mesh that cannot be found or read is a MissingMeshWarning naming the link and the path,
    and is listed in ``missing_meshes`` as (link name, filename) pairs. A plane (infinite) is not
    drawn; ``shape_count`` counts the shapes drawn.

    The robot starts at its neutral configuration (a floating base at the origin). Cost: loading
    the meshes once; each display is one forward_kinematics_all call and one message."""

    def __init__(self, robot: Robot | FloatingRobot, *, host: str = "127.0.0.1", port: int = 0,
                 collision: bool = False, package_dirs: Iterable[str | os.PathLike[str]] = (),
                 sliders: bool = True, urdf_path: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(robot, (Robot, FloatingRobot)):
            raise TypeError(f"robot must be a velkor.Robot or FloatingRobot, not {type(robot).__name__}")
        self.robot = robot
        self.floating = isinstance(robot, FloatingRobot)
        self.missing_meshes: list[tuple[str, str]] = []
        self._undrawn = 0  # planes
        self._lock = threading.RLock()
        self._server = _quiet(viser.ViserServer, host=host, port=port, verbose=False)
        self._host, self._port = host, self._server.get_port()
        self._server.gui.configure_theme(show_logo=False)
        self._links: dict[int, object] = {}  # link id -> frame handle of the link's shapes
        self._frames: dict[int, object] = {}  # link id -> axes shown by show_frames
        self._com = None
        self._forces = None
        self._sliders: list = []
        names = robot.link_names
        shapes = robot.collisions if collision else robot.visuals
        package_dirs = list(package_dirs)
        self._urdf_path = str(urdf_path) if urdf_path is not None else robot.path
        for k, shape in enumerate(shapes):
            if shape.link not in self._links:
                self._links[shape.link] = self._server.scene.add_frame(f"/robot/link{shape.link}", show_axes=False)
            self._add_shape(f"/robot/link{shape.link}/shape{k}", shape, names[shape.link], package_dirs)
        self.shape_count = len(shapes) - len(self.missing_meshes) - self._undrawn
        self._base = BaseState()
        self._q = robot.neutral_configuration()
        self.display(*self._state())
        self._frame_camera()
        if sliders:
            self._add_sliders()

    # ---- the scene ----

    def _add_shape(self, name: str, shape, link: str, package_dirs: list) -> None:
        scene = self._server.scene
        color, opacity = _rgb(shape.color or GREY)
        placement = {"position": shape.origin.translation, "wxyz": _wxyz(shape.origin)}
        if shape.geometry == "box":
            scene.add_box(name, dimensions=shape.size, color=color, opacity=opacity, **placement)
        elif shape.geometry == "cylinder":
            scene.add_cylinder(name, radius=shape.size[0], height=shape.size[1], color=color, opacity=opacity,
                               **placement)
        elif shape.geometry == "sphere":
            scene.add_icosphere(name, radius=shape.size[0], color=color, opacity=opacity, **placement)
        elif shape.geometry == "capsule":  # trimesh's: along z, centred, length between the caps' centres
            mesh = trimesh.creation.capsule(height=shape.size[1], radius=shape.size[0])
            scene.add_mesh_simple(name, vertices=mesh.vertices, faces=mesh.faces, color=color, opacity=opacity,
                                  **placement)
        elif shape.geometry == "plane":  # infinite: not drawn
            self._undrawn += 1
        else:
            mesh = self._load_mesh(shape.filename, link, package_dirs)
            if mesh is None:
                return
            mesh.apply_scale(shape.scale)
            if shape.color is not None:
                scene.add_mesh_simple(name, vertices=mesh.vertices, faces=mesh.faces, color=color, opacity=opacity,
                                      **placement)
            else:
                scene.add_mesh_trimesh(name, mesh, **placement)

    def _load_mesh(self, filename: str, link: str, package_dirs: list):
        path = find_mesh(filename, self._urdf_path, package_dirs)
        reason = "no such file"
        if path is not None:
            try:
                mesh = trimesh.load(path, force="mesh")
                if isinstance(mesh, trimesh.Trimesh) and len(mesh.faces):
                    return mesh
                reason = "no triangles in it"
            except Exception as error:  # trimesh raises many kinds for unreadable files
                reason = f"cannot read it: {error}"
        warnings.warn(f"link {link}: mesh {filename!r} not shown: {reason}", MissingMeshWarning, stacklevel=3)
        self.missing_meshes.append((link, filename))
        return None

    def _frame_camera(self) -> None:
        """Points the page's first view at the robot: from the front right and above, far
        enough to see every link origin, z up."""
        origins = np.asarray(self.robot.forward_kinematics_all(*self._state())).reshape(-1, 7)[:, :3]
        low, high = origins.min(axis=0), origins.max(axis=0)
        center, extent = (low + high) / 2, max(float(np.linalg.norm(high - low)), 0.2)
        camera = self._server.initial_camera
        camera.up = (0.0, 0.0, 1.0)
        camera.look_at = center
        camera.position = center + 1.6 * extent * np.array([0.8, -0.9, 0.5])

    def _state(self) -> tuple:
        return ((self._base,) if self.floating else ()) + (self._q,)

    # ---- moving the robot ----

    def display(self, *state) -> None:
        """Shows the robot at a state: ``display(q)`` for a Robot; ``display(base, q)`` or
        ``display(configuration)`` (7 + n values: position, quaternion x y z w, q) for a
        FloatingRobot. q holds the n joint positions (rad or m) in DOF order. Raises what
        forward_kinematics_all raises for them."""
        base, q = self._split(state)
        lead = (base,) if self.floating else ()
        poses = np.asarray(self.robot.forward_kinematics_all(*lead, q)).reshape(-1, 7)
        with self._lock, self._server.atomic():
            self._base, self._q = base, np.array(q, dtype=float)
            for link, handle in self._links.items():
                handle.position, handle.wxyz = poses[link, :3], poses[link, [6, 3, 4, 5]]
            for link, handle in self._frames.items():
                handle.position, handle.wxyz = poses[link, :3], poses[link, [6, 3, 4, 5]]
            if self._com is not None:
                com = np.asarray(self.robot.center_of_mass(*lead, q))
                ground = np.array([com[0], com[1], 0.0])
                marker, line, disk = self._com
                marker.position, disk.position = com, ground
                line.points = np.array([[com, ground]])
            for handle, value in zip(self._sliders, self._q):
                if handle.value != value:
                    handle.value = float(value)

    def _split(self, state: tuple) -> tuple[BaseState | None, np.ndarray]:
        if not self.floating:
            if len(state) != 1:
                raise TypeError("display() of a Robot takes q")
            return None, np.asarray(state[0], dtype=float)
        if len(state) == 2:
            if not isinstance(state[0], BaseState):
                raise TypeError("display(base, q) needs a velkor.BaseState as base")
            return state[0], np.asarray(state[1], dtype=float)
        if len(state) != 1:
            raise TypeError("display() of a FloatingRobot takes (base, q) or a configuration array")
        configuration = np.asarray(state[0], dtype=float)
        if configuration.shape != (self.robot.configuration_size,):
            raise ValueError(f"expected {self.robot.configuration_size} elements in configuration, "
                             f"found {configuration.size}")
        return BaseState(Pose(configuration[:3], configuration[3:7]), Twist(), Twist()), configuration[7:]

    def play(self, configurations, dt: float, *, loop: bool = False) -> None:
        """Shows the configurations in turn, dt seconds apart (blocking): rows of q for a Robot,
        of 7 + n configuration values for a FloatingRobot (a rollout's first output), so
        ``play(robot.rollout(...)[0], dt)`` replays a rollout. ``loop``: until interrupted."""
        rows = np.asarray(configurations, dtype=float)
        if rows.ndim != 2:
            raise ValueError("configurations must be a 2-D array, one configuration per row")
        if not (math.isfinite(dt) and dt > 0):
            raise ValueError(f"dt must be a finite number above 0, got {dt!r}")
        while True:
            start = time.perf_counter()
            for i, row in enumerate(rows):
                self.display(row)
                time.sleep(max(0.0, start + (i + 1) * dt - time.perf_counter()))
            if not loop:
                return

    # ---- overlays ----

    def show_frames(self, links: Sequence[int | str], *, length: float = 0.1) -> None:
        """Draws the axes (x red, y green, z blue, ``length`` metres) of the given links (ids or
        names) from now on; an empty sequence removes them."""
        with self._lock:
            for handle in self._frames.values():
                handle.remove()
            self._frames = {}
            for link in links:
                index = self.robot.link_id(link) if isinstance(link, str) else int(link)
                self._frames[index] = self._server.scene.add_frame(
                    f"/frames/link{index}", axes_length=length, axes_radius=length / 20)
        self.display(*self._state())

    def show_center_of_mass(self, show: bool = True, *, radius: float = 0.03) -> None:
        """Marks the robot's centre of mass from now on (a yellow sphere, a line straight down to
        the world's z = 0 plane and a disk there, which a robot standing still on flat ground
        keeps inside its feet's support), or removes the mark."""
        with self._lock:
            if self._com is not None:
                for handle in self._com:
                    handle.remove()
                self._com = None
            if show:
                scene = self._server.scene
                self._com = (
                    scene.add_icosphere("/center_of_mass/point", radius=radius, color=(250, 200, 0)),
                    scene.add_line_segments("/center_of_mass/line", points=np.zeros((1, 2, 3)), colors=(250, 200, 0),
                                            thickness=3.0, thickness_units="screen"),
                    scene.add_cylinder("/center_of_mass/ground", radius=2 * radius, height=0.002, color=(250, 200, 0)))
        self.display(*self._state())

    def show_forces(self, constraints: ConstraintSet | None, forces=None, *, scale: float = 0.002) -> None:
        """Draws the constraint forces of the displayed state as arrows, ``scale`` metres per
        newton (torques of frame contacts are not drawn): ``forces`` as constrained_forward_dynamics
        returns them (N, world axes, acting on the robot; a loop closure's on link_a, the
        opposite on link_b), each arrow from the contact point. ``show_forces(None)`` removes them."""
        with self._lock:
            if self._forces is not None:
                self._forces.remove()
                self._forces = None
            if constraints is None:
                return
            values = np.asarray(forces, dtype=float)
            if values.shape != (constraints.count,):
                raise ValueError(f"expected {constraints.count} elements in forces, found {values.size}")
            lead = (self._base,) if self.floating else ()
            segments = []
            for item, rows in zip(constraints.items, constraints.rows):
                force = values[rows][-3:]  # the linear part of a frame's (torque, force)
                sides = [(item.link_id, item.offset, 1.0)] if isinstance(item, Contact) else \
                    [(item.link_a, item.offset_a, 1.0), (item.link_b, item.offset_b, -1.0)]
                for link, offset, sign in sides:
                    pose = self.robot.forward_kinematics(*lead, self._q, link)
                    point = np.asarray((pose @ offset if offset is not None else pose).translation)
                    segments.append([point, point + sign * scale * force])
            if segments:
                self._forces = self._server.scene.add_arrows(
                    "/forces", points=np.array(segments), colors=(220, 30, 30), shaft_radius=0.006,
                    head_radius=0.015, head_length=0.03)

    def _add_sliders(self) -> None:
        robot = self.robot
        lower, upper = robot.lower_limits, robot.upper_limits
        with self._server.gui.add_folder("Joints"):
            for i, name in enumerate(robot.dof_names):
                low = float(lower[i]) if math.isfinite(lower[i]) else -math.pi
                high = float(upper[i]) if math.isfinite(upper[i]) else math.pi
                if high <= low:
                    high = low + 1e-6
                slider = self._server.gui.add_slider(name, min=low, max=high, step=(high - low) / 1000,
                                                     initial_value=float(np.clip(self._q[i], low, high)))

                def moved(_, i=i, slider=slider) -> None:
                    with self._lock:
                        q = self._q.copy()
                        q[i] = slider.value
                        self.display(*((self._base,) if self.floating else ()), q)

                slider.on_update(moved)
                self._sliders.append(slider)

    @property
    def q(self) -> np.ndarray:
        """A copy of the joint positions displayed (rad or m, DOF order)."""
        with self._lock:
            return self._q.copy()

    @property
    def sliders(self) -> tuple:
        """The page's joint sliders (viser slider handles), DOF order; setting one's ``value``
        moves the robot as dragging it does. Empty with ``sliders=False``."""
        return tuple(self._sliders)

    # ---- the page ----

    @property
    def url(self) -> str:
        """The page's address, http://HOST:PORT."""
        return f"http://{self._host}:{self._port}"

    def export_html(self, path: str | os.PathLike[str], configurations=None, dt: float = 0.05) -> None:
        """Writes a self-contained page of the scene that opens from file:// with no server: the
        robot as displayed, or, with ``configurations`` (as play takes them), an animation that
        shows each for dt seconds. The sliders are not part of it."""
        with self._lock:
            serializer = self._server.get_scene_serializer()
            if configurations is not None:
                rows = np.asarray(configurations, dtype=float)
                if rows.ndim != 2:
                    raise ValueError("configurations must be a 2-D array, one configuration per row")
                for row in rows:
                    self.display(row)
                    serializer.insert_sleep(dt)
            Path(path).write_text(serializer.as_html(), encoding="utf-8")

    def close(self) -> None:
        """Stops the server; idempotent."""
        if self._server is not None:
            _quiet(self._server.stop)
            self._server = None

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
