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
import operator
import os
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, TypeVar

import numpy as np
import numpy.typing as npt

try:
    import trimesh
    import viser
except ImportError as error:  # pragma: no cover - the extra is installed in the tests
    raise ImportError("velkor.viewer needs the viewer extra: pip install 'velkor[viewer]'") from error

from velkor import BaseState, ConstraintSet, Contact, FloatingRobot, Pose, Robot, _address

if TYPE_CHECKING:
    from _velkor import _Joint, _Shape

__all__ = ["READY_ATTRIBUTE", "MissingMeshWarning", "Viewer", "find_mesh"]

GREY = (0.7, 0.7, 0.7, 1.0)  # shapes without a colour of their own
START_TIMEOUT = 60.0
"""Seconds the server may take to listen before Viewer() gives up with TimeoutError; far above
what a start takes on a loaded machine (under a second)."""
READY_ATTRIBUTE = "data-velkor-ready"
"""The attribute the page sets on its ``<html>`` element once the robot's first frame has been
drawn, every shape loaded and every link where velkor put it: ``html[data-velkor-ready]`` for
scripts and screenshots (Playwright: ``page.wait_for_selector("html[data-velkor-ready]",
state="attached")``). Exported pages set it too."""

# Run by the page (served or exported) when it reaches the end of the scene's first messages
# (viser's message for running a script on the client, queued last by Viewer()): polls the
# client's state, which it exposes as window.__viserMutable and __viserSceneTree for browser
# tests, until SHAPES shape nodes hold a mesh (meshes are parsed asynchronously) and LINKS link
# frames have taken their poses, asks for a frame, and marks the page two animation frames later. In an automated browser (navigator.webdriver) or an exported
# page it hides the client's "Software WebGL rendering detected" notice, which would cover
# every screenshot of a headless browser.
_READY_SCRIPT = """
const root = document.documentElement;
const exported = window.__VISER_EMBED_DATA__ !== undefined;
if ((navigator.webdriver || exported) && !window.__velkorNoticeHidden) {
  window.__velkorNoticeHidden = true;
  const hide = () => {
    for (const notice of document.querySelectorAll(".mantine-Notification-root")) {
      if (notice.textContent.includes("Software WebGL rendering")) notice.style.display = "none";
    }
  };
  new MutationObserver(hide).observe(document.body, {childList: true, subtree: true});
  hide();
}
if (root.hasAttribute("ATTRIBUTE") || window.__velkorWaiting) return;
window.__velkorWaiting = true;
const shapes = /^\\/robot\\/link[0-9]+\\/shape[0-9]+$/, links = /^\\/robot\\/link[0-9]+$/;
const loaded = () => {
  const state = window.__viserMutable, tree = window.__viserSceneTree;
  if (!state || !tree || state.messageQueue.length > 0) return false;
  let shapeCount = 0, linkCount = 0;
  for (const name of Object.keys(tree.getState())) {
    if (shapes.test(name)) {
      const node = state.nodeRefFromName[name];
      let mesh = false;
      if (node) node.traverse((child) => { mesh = mesh || child.isMesh === true; });
      if (!mesh) return false;
      shapeCount++;
    } else if (links.test(name)) {
      const pose = state.nodePoseData[name];
      if (!state.nodeRefFromName[name] || (pose && pose.poseUpdateState !== "updated")) return false;
      linkCount++;
    }
  }
  return shapeCount >= SHAPES && linkCount >= LINKS;
};
const poll = () => {
  if (!loaded()) { setTimeout(poll, 50); return; }
  window.__viserMutable.requestRender();
  requestAnimationFrame(() => requestAnimationFrame(() => {
    root.setAttribute("ATTRIBUTE", "");
    window.__velkorWaiting = false;
  }));
};
poll();
"""


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


def _rgb(color: Sequence[float]) -> tuple[tuple[int, int, int], float | None]:
    r, g, b, a = color
    return (round(255 * r), round(255 * g), round(255 * b)), None if a >= 1.0 else float(a)


def _wxyz(pose: Pose) -> tuple[float, float, float, float]:
    x, y, z, w = pose.rotation_xyzw
    return (w, x, y, z)


_T = TypeVar("_T")


def _quiet(function: Callable[[], _T]) -> _T:
    """Calls function with viser's start and stop banners silenced."""
    with contextlib.redirect_stdout(io.StringIO()):
        return function()


# viser (1.1) offers no public way to queue a message for every client, recorded by exported pages
# too (the page's ready script), nor to see its server thread (a start that failed). Both come from
# its websocket server: _websock is the one place that reads it off viser's private attribute, and
# _server_thread the one place that reads that server's private thread.

def _websock(server: viser.ViserServer) -> viser.infra.WebsockServer | None:
    """viser's websocket server of `server` (its private ``_websock_server``); None before viser's
    constructor has made it, or when a viser release keeps it elsewhere. Then the start-up watch
    sees no server thread (a server that cannot listen ends in TimeoutError instead of OSError)
    and the page is served without its ready script (a warning says so)."""
    found = vars(server).get("_websock_server")
    return found if isinstance(found, viser.infra.WebsockServer) else None


def _server_thread(server: viser.ViserServer) -> threading.Thread | None:
    """The thread viser's websocket server listens on, once it has made it; else None."""
    thread = getattr(_websock(server), "_server_thread", None)
    return thread if isinstance(thread, threading.Thread) else None


def _start_server(host: str, port: int, timeout: float | None = None) -> viser.ViserServer:
    """A viser server listening on host and port (or, when port is taken, a later one).

    viser's constructor waits for its server thread without a bound, and that thread ends
    without a word when it cannot listen (a port past 65535 once every port from `port` up is
    taken, an address that stops binding). So the constructor runs on a thread of its own,
    watched here: OSError naming host and port when viser's server thread has ended first,
    TimeoutError when neither happens within `timeout` seconds (START_TIMEOUT). A server that
    starts after it was given up is stopped."""
    timeout = START_TIMEOUT if timeout is None else timeout
    server = viser.ViserServer.__new__(viser.ViserServer)
    started = threading.Event()
    outcome: dict[str, BaseException | bool] = {}  # "error": what the constructor raised; "given up": the caller left
    decided = threading.Lock()  # the start-up ends one way: started, or given up before it

    def construct() -> None:
        try:
            viser.ViserServer.__init__(server, host=host, port=port, verbose=False)
        except BaseException as error:  # handed to the waiting thread
            outcome["error"] = error
        with decided:
            started.set()
            late = "given up" in outcome and "error" not in outcome
        if late:
            server.stop()

    def give_up(error: OSError) -> OSError | None:
        with decided:
            if started.is_set():
                return None
            outcome["given up"] = True
            return error

    where = _address.describe(host, port)
    deadline = time.monotonic() + timeout
    with contextlib.redirect_stdout(io.StringIO()):  # viser's banners; restored even if given up
        threading.Thread(target=construct, name="velkor-viewer-start", daemon=True).start()
        while not started.wait(0.02):
            worker = _server_thread(server)
            error = None
            if worker is not None and not worker.is_alive() and _has_ended(worker):
                error = give_up(OSError(f"the viewer's server could not listen on {where}: viser's server thread "
                                        "ended while starting (every port from there up to 65535 taken?)"))
            elif time.monotonic() > deadline:
                error = give_up(TimeoutError(f"the viewer's server did not start listening on {where} "
                                             f"within {timeout:g} s"))
            if error is not None:
                raise error
    failure = outcome.get("error")
    if isinstance(failure, BaseException):
        raise failure
    return server


def _has_ended(thread: threading.Thread) -> bool:
    """Whether a thread that is not alive has run and ended (rather than not started yet)."""
    try:
        thread.join(0)  # RuntimeError before the thread has started; returns at once after its end
    except RuntimeError:
        return False
    return True


class Viewer:
    """A robot in the browser: ``Viewer(robot)`` serves a page at ``viewer.url`` that shows it.

    ``robot``: a Robot or FloatingRobot (a coupled robot too: the sliders and configurations
    are its free joints). ``host``: the interface to listen on, ``127.0.0.1`` (this machine only)
    unless asked; ``""``, ``"0.0.0.0"`` or ``"::"`` listen on every interface. ``port``: 0 for a
    free one (a port in use makes the server try the next ones). ``collision``: show the
    ``<collision>`` shapes instead of the ``<visual>`` ones. ``package_dirs``: folders to look
    for ``package://`` meshes in first (see find_mesh); ``urdf_path``: the file relative mesh
    paths and package folders are found from, ``robot.path`` by default (None for a robot
    loaded from a string). ``sliders``: joint sliders in the page's panel, within the position
    limits (continuous joints from -π to π), that move the robot through velkor; a branched
    robot's come in a folder per limb (each unbranched run of joints, in depth-first order,
    named after its joints), a chain's in one list.

    Errors: TypeError for a robot of another kind, a host that is not a str, a port that is not
    an int (bools refused); ValueError for a port outside 0-65535 or a host this machine cannot
    listen on (a name that does not resolve, a dotted number that is no IPv4 address, an
    address of no interface here); OSError naming the host and port when the server ends while
    starting (every port from ``port`` up taken), TimeoutError when it has not listened within
    START_TIMEOUT seconds. After close() every method raises RuntimeError("viewer is closed"),
    as a closed Robot does.

    A mesh that cannot be found or read is a MissingMeshWarning naming the link and the path,
    and is listed in ``missing_meshes`` as (link name, filename) pairs. A plane (infinite) is not
    drawn; ``shape_count`` counts the shapes drawn.

    The page marks itself once the robot is drawn: see READY_ATTRIBUTE.

    The robot starts at its neutral configuration (a floating base at the origin). Cost: loading
    the meshes once; each display is one forward_kinematics_all call and one message, whose poses
    the frames reuse (the centre-of-mass mark adds a center_of_mass call); show_forces is one
    constraint_poses call."""

    def __init__(self, robot: Robot | FloatingRobot, *, host: str = "127.0.0.1", port: int = 0,
                 collision: bool = False, package_dirs: Iterable[str | os.PathLike[str]] = (),
                 sliders: bool = True, urdf_path: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(robot, (Robot, FloatingRobot)):
            raise TypeError(f"robot must be a velkor.Robot or FloatingRobot, not {type(robot).__name__}")
        port, host = _address.check_port(port), _address.check_host(host)
        if port == 0 and host == "":
            port = _address.free_port_on_every_interface()
        self.robot = robot
        self.floating = isinstance(robot, FloatingRobot)
        self.missing_meshes: list[tuple[str, str]] = []
        self._undrawn = 0  # planes
        self._lock = threading.RLock()
        self._server: viser.ViserServer | None = None
        self._server = _start_server(host, port)
        try:
            self._host, self._port = host, self._server.get_port()
            self._build(collision, list(package_dirs), urdf_path, sliders)
        except BaseException:
            self.close()
            raise

    def _build(self, collision: bool, package_dirs: list[str | os.PathLike[str]],
               urdf_path: str | os.PathLike[str] | None, sliders: bool) -> None:
        robot, server = self.robot, self._open()
        server.gui.configure_theme(show_logo=False)
        self._links: dict[int, viser.FrameHandle] = {}  # link id -> frame handle of the link's shapes
        self._frames: dict[int, viser.FrameHandle] = {}  # link id -> axes shown by show_frames
        self._com: tuple[viser.IcosphereHandle, viser.LineSegmentsHandle, viser.CylinderHandle] | None = None
        self._forces: viser.ArrowsHandle | None = None
        self._sliders: list[viser.GuiSliderHandle[float]] = []
        names = robot.link_names
        shapes = robot.collisions if collision else robot.visuals
        self._urdf_path = str(urdf_path) if urdf_path is not None else robot.path
        for k, shape in enumerate(shapes):
            if shape.link not in self._links:
                self._links[shape.link] = server.scene.add_frame(f"/robot/link{shape.link}", show_axes=False)
            self._add_shape(f"/robot/link{shape.link}/shape{k}", shape, names[shape.link], package_dirs)
        self.shape_count = len(shapes) - len(self.missing_meshes) - self._undrawn
        self._base = BaseState()  # a Robot's stays unused
        self._q = robot.neutral_configuration()
        self._show(self._base, self._q)
        self._frame_camera()
        if sliders:
            self._add_sliders()
        script = _READY_SCRIPT.replace("ATTRIBUTE", READY_ATTRIBUTE).replace("SHAPES", str(self.shape_count))
        websock = _websock(server)
        if websock is None:
            warnings.warn(f"viser {viser.__version__} keeps its websocket server where velkor does not look: the "
                          f"page will not set {READY_ATTRIBUTE}", RuntimeWarning, stacklevel=3)
        else:
            websock.queue_message(viser._messages.RunJavascriptMessage(source=script.replace("LINKS",
                                                                                              str(len(self._links)))))

    # ---- the scene ----

    def _add_shape(self, name: str, shape: _Shape, link: str, package_dirs: list[str | os.PathLike[str]]) -> None:
        scene = self._open().scene
        color, opacity = _rgb(shape.color or GREY)
        position, wxyz, size = shape.origin.translation, _wxyz(shape.origin), shape.size
        if shape.geometry == "box":
            scene.add_box(name, dimensions=np.asarray(size), color=color, opacity=opacity, position=position,
                          wxyz=wxyz)
        elif shape.geometry == "cylinder":
            scene.add_cylinder(name, radius=size[0], height=size[1], color=color, opacity=opacity, position=position,
                               wxyz=wxyz)
        elif shape.geometry == "sphere":
            scene.add_icosphere(name, radius=size[0], color=color, opacity=opacity, position=position, wxyz=wxyz)
        elif shape.geometry == "capsule":  # trimesh's: along z, centred, length between the caps' centres
            mesh = trimesh.creation.capsule(height=size[1], radius=size[0])
            scene.add_mesh_simple(name, vertices=mesh.vertices, faces=mesh.faces, color=color, opacity=opacity,
                                  position=position, wxyz=wxyz)
        elif shape.geometry == "plane":  # infinite: not drawn
            self._undrawn += 1
        else:
            loaded = self._load_mesh(shape.filename or "", link, package_dirs)
            if loaded is None:
                return
            loaded.apply_transform(np.diag([*shape.scale, 1.0]))  # a reflection (negative scale) keeps faces outward
            if shape.color is not None:
                scene.add_mesh_simple(name, vertices=loaded.vertices, faces=loaded.faces, color=color,
                                      opacity=opacity, position=position, wxyz=wxyz)
            else:
                scene.add_mesh_trimesh(name, loaded, position=position, wxyz=wxyz)

    def _load_mesh(self, filename: str, link: str,
                   package_dirs: list[str | os.PathLike[str]]) -> trimesh.Trimesh | None:
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
        origins = self._poses[:, :3]  # as the first display placed them
        low, high = origins.min(axis=0), origins.max(axis=0)
        center, extent = (low + high) / 2, max(float(np.linalg.norm(high - low)), 0.2)
        camera = self._open().initial_camera
        camera.up = (0.0, 0.0, 1.0)
        camera.look_at = center
        camera.position = center + 1.6 * extent * np.array([0.8, -0.9, 0.5])

    def _open(self) -> viser.ViserServer:
        """The server, or RuntimeError once closed; called under the lock."""
        if self._server is None:
            raise RuntimeError("viewer is closed")
        return self._server

    # ---- moving the robot ----

    def display(self, *state: BaseState | npt.ArrayLike) -> None:
        """Shows the robot at a state: ``display(q)`` for a Robot; ``display(base, q)`` or
        ``display(configuration)`` (7 + n values: position, quaternion x y z w, q) for a
        FloatingRobot. q holds the n joint positions (rad or m) in DOF order. Raises what
        forward_kinematics_all raises for them; RuntimeError("viewer is closed") after close()."""
        with self._lock:
            self._open()
        self._show(*self._split(state))

    def _show(self, base: BaseState, q: npt.NDArray[np.float64]) -> None:
        """Shows the robot at (base, q), a Robot's base unused: one forward_kinematics_all call."""
        robot = self.robot
        if isinstance(robot, FloatingRobot):
            poses = robot.forward_kinematics_all(base, q).reshape(-1, 7)
        else:
            poses = robot.forward_kinematics_all(q).reshape(-1, 7)
        with self._lock:
            self._base, self._q, self._poses = base, np.array(q, dtype=float), poses
            self._place()

    def _place(self) -> None:
        """Moves the scene to the state shown (its poses as _show computed them); under the lock."""
        poses = self._poses
        with self._open().atomic():
            for link, handle in self._links.items():
                handle.position, handle.wxyz = poses[link, :3], poses[link, [6, 3, 4, 5]]
            for link, handle in self._frames.items():
                handle.position, handle.wxyz = poses[link, :3], poses[link, [6, 3, 4, 5]]
            if self._com is not None:
                robot = self.robot
                com = (robot.center_of_mass(self._base, self._q) if isinstance(robot, FloatingRobot)
                       else robot.center_of_mass(self._q))
                ground = np.array([com[0], com[1], 0.0])
                marker, line, disk = self._com
                marker.position, disk.position = com, ground
                line.points = np.array([[com, ground]])
            for slider, value in zip(self._sliders, self._q):
                if slider.value != value:
                    # viser 1.1 declares the setter apart from the getter, so mypy reads the property as read-only
                    slider.value = float(value)  # type: ignore[misc]

    def _split(self, state: tuple[BaseState | npt.ArrayLike, ...]) -> tuple[BaseState, npt.NDArray[np.float64]]:
        if not self.floating:
            if len(state) != 1:
                raise TypeError("display() of a Robot takes q")
            return BaseState(), np.asarray(state[0], dtype=float)
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
        return BaseState.from_configuration(configuration), configuration[7:]

    def play(self, configurations: npt.ArrayLike, dt: float, *, loop: bool = False) -> None:
        """Shows the configurations in turn, dt seconds apart (blocking): rows of q for a Robot,
        of 7 + n configuration values for a FloatingRobot (a rollout's first output), so
        ``play(robot.rollout(...)[0], dt)`` replays a rollout. ``loop``: until interrupted."""
        with self._lock:
            self._open()
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
        names) from now on, in place of those drawn before; an empty sequence removes them.

        Every link is checked before anything changes: TypeError for an id that is not an int (a
        bool, a float) or for a single str in place of a sequence, ValueError "invalid link id
        100" for an id outside 0 to link_count - 1 (negative ids too), the ValueError of link_id
        for an unknown name, ValueError for a length that is not a finite number above 0."""
        if isinstance(links, (str, bytes)):
            raise TypeError("links must be a sequence of link ids or names, not a single str")
        if not (math.isfinite(length) and length > 0):
            raise ValueError(f"length must be a finite number above 0, got {length!r}")
        indices = [self._link_index(link) for link in links]
        with self._lock:
            scene = self._open().scene
            for handle in self._frames.values():
                handle.remove()
            self._frames = {}
            for index in indices:
                self._frames[index] = scene.add_frame(f"/frames/link{index}", axes_length=length,
                                                      axes_radius=length / 20)
            self._place()

    def _link_index(self, link: int | str) -> int:
        if isinstance(link, str):
            return self.robot.link_id(link)
        if isinstance(link, (bool, np.bool_)):
            raise TypeError(f"expected a link id or name, got {type(link).__name__}")
        try:
            index = operator.index(link)
        except TypeError:
            raise TypeError(f"expected a link id or name, got {type(link).__name__}") from None
        if not 0 <= index < self.robot.link_count:
            raise ValueError(f"invalid link id {index}")
        return index

    def show_center_of_mass(self, show: bool = True, *, radius: float = 0.03) -> None:
        """Marks the robot's centre of mass from now on (a yellow sphere, a line straight down to
        the world's z = 0 plane and a disk there, which a robot standing still on flat ground
        keeps inside its feet's support), or removes the mark."""
        with self._lock:
            self._open()
            if self._com is not None:
                for handle in self._com:
                    handle.remove()
                self._com = None
            if show:
                scene = self._open().scene
                self._com = (
                    scene.add_icosphere("/center_of_mass/point", radius=radius, color=(250, 200, 0)),
                    scene.add_line_segments("/center_of_mass/line", points=np.zeros((1, 2, 3)), colors=(250, 200, 0),
                                            thickness=3.0, thickness_units="screen"),
                    scene.add_cylinder("/center_of_mass/ground", radius=2 * radius, height=0.002, color=(250, 200, 0)))
            self._place()

    def show_forces(self, constraints: ConstraintSet | None, forces: npt.ArrayLike | None = None, *,
                    scale: float = 0.002) -> None:
        """Draws the constraint forces of the displayed state as arrows, ``scale`` metres per
        newton (torques of frame contacts are not drawn): ``forces`` as constrained_forward_dynamics
        returns them (N, world axes, acting on the robot; a loop closure's on link_a, the
        opposite on link_b), each arrow from the constraint point where the robot's
        constraint_poses places it. A set made on another handle (the same file loaded again) is
        drawn by its items' link ids on this robot. ``show_forces(None)`` removes them. Raises
        ValueError for forces of another length or an item's link this robot does not have
        ("items[0]: invalid link id 99")."""
        with self._lock:
            self._open()
            if self._forces is not None:
                self._forces.remove()
                self._forces = None
            if constraints is None:
                return
            segments = self._force_segments(constraints, forces, scale)
            if len(segments):
                self._forces = self._open().scene.add_arrows(
                    "/forces", points=segments, colors=(220, 30, 30), shaft_radius=0.006,
                    head_radius=0.015, head_length=0.03)

    def _force_segments(self, constraints: ConstraintSet, forces: npt.ArrayLike | None,
                        scale: float) -> npt.NDArray[np.float64]:
        """The arrows of show_forces in the state shown, (sides, 2, 3): from each side's world point
        (constraint_poses, side a, then a loop closure's side b) along sign·scale·force; under the lock."""
        values = np.asarray(forces, dtype=float)
        if values.shape != (constraints.count,):
            raise ValueError(f"expected {constraints.count} elements in forces, found {values.size}")
        try:
            poses = self._constraint_poses(constraints)
        except ValueError:  # a set of another handle's model (the file loaded again): its items on this robot
            constraints = self.robot.constraint_set(constraints.items)
            poses = self._constraint_poses(constraints)
        segments = np.empty((len(poses), 2, 3))
        side = 0
        for item, rows in zip(constraints.items, constraints.rows):
            force = values[rows][-3:]  # the linear part of a frame's (torque, force)
            for sign in (1.0,) if isinstance(item, Contact) else (1.0, -1.0):
                point = poses[side, :3]
                segments[side] = point, point + sign * scale * force
                side += 1
        return segments

    def _constraint_poses(self, constraints: ConstraintSet) -> npt.NDArray[np.float64]:
        """The world pose of each constraint side in the state shown, (sides, 7); under the lock."""
        robot = self.robot
        if isinstance(robot, FloatingRobot):
            return robot.constraint_poses(self._base, self._q, constraints).reshape(-1, 7)
        return robot.constraint_poses(self._q, constraints).reshape(-1, 7)

    def _add_sliders(self) -> None:
        gui = self._open().gui
        limbs = _limbs(self.robot)
        sliders: dict[int, viser.GuiSliderHandle[float]] = {}
        with gui.add_folder("Joints"):
            for label, dofs in limbs:
                with gui.add_folder(label) if len(limbs) > 1 else contextlib.nullcontext():
                    for i in dofs:
                        sliders[i] = self._add_slider(i)
        self._sliders = [sliders[i] for i in range(self.robot.joint_count)]  # DOF order, whatever the page's

    def _add_slider(self, i: int) -> viser.GuiSliderHandle[float]:
        robot = self.robot
        lower, upper = robot.lower_limits[i], robot.upper_limits[i]
        low = float(lower) if math.isfinite(lower) else -math.pi
        high = float(upper) if math.isfinite(upper) else math.pi
        if high <= low:
            high = low + 1e-6
        slider = self._open().gui.add_slider(robot.dof_names[i], min=low, max=high, step=(high - low) / 1000,
                                             initial_value=float(np.clip(self._q[i], low, high)))

        def moved(_: viser.GuiEvent[viser.GuiSliderHandle[float]]) -> None:
            with self._lock:
                if self._server is None:
                    return
                q = self._q.copy()
                q[i] = slider.value
                self._show(self._base, q)

        slider.on_update(moved)
        return slider

    @property
    def q(self) -> np.ndarray:
        """A copy of the joint positions displayed (rad or m, DOF order)."""
        with self._lock:
            return self._q.copy()

    @property
    def sliders(self) -> tuple[viser.GuiSliderHandle[float], ...]:
        """The page's joint sliders (viser slider handles), DOF order; setting one's ``value``
        moves the robot as dragging it does. Empty with ``sliders=False``."""
        return tuple(self._sliders)

    # ---- the page ----

    @property
    def url(self) -> str:
        """The page's address as a browser on this machine opens it: http://HOST:PORT, an IPv6
        address in brackets (http://[::1]:PORT). A server listening on every interface (host
        ``""``, ``"0.0.0.0"`` or ``"::"``, see every_interface) is reached here at the loopback
        address, http://127.0.0.1:PORT (http://[::1]:PORT for ``"::"``); from other machines at
        any address of this one. RuntimeError("viewer is closed") after close()."""
        with self._lock:
            self._open()
            return _address.url(self._host, self._port)

    @property
    def every_interface(self) -> bool:
        """True when the server listens on every interface of this machine (host ``""``,
        ``"0.0.0.0"`` or ``"::"``), so that other machines reach the page too."""
        return self._host in _address.EVERY_INTERFACE

    def export_html(self, path: str | os.PathLike[str], configurations: npt.ArrayLike | None = None,
                    dt: float = 0.05) -> None:
        """Writes a self-contained page of the scene that opens from file:// with no server: the
        robot as displayed, or, with ``configurations`` (as play takes them), an animation that
        shows each for dt seconds, looping, with viser's playback bar. The sliders are not part
        of it. The page sets READY_ATTRIBUTE as the served one does. Raises OSError when the
        file cannot be written (FileNotFoundError for ``""``); the viewer is left displaying the
        last configuration."""
        rows = None if configurations is None else np.asarray(configurations, dtype=float)
        if rows is not None and rows.ndim != 2:
            raise ValueError("configurations must be a 2-D array, one configuration per row")
        if not (math.isfinite(dt) and dt >= 0):  # checked before the serializer starts recording
            raise ValueError(f"dt must be a finite number, 0 or above, got {dt!r}")
        with self._lock:
            serializer = self._open().get_scene_serializer()  # records from here until as_html
            if rows is not None:
                for row in rows:
                    self.display(row)
                    serializer.insert_sleep(dt)
            page = serializer.as_html()
        with open(os.fspath(path), "w", encoding="utf-8") as file:  # "" is no file, not the folder "."
            file.write(page)

    def close(self) -> None:
        """Stops the server; idempotent. Every other method then raises RuntimeError("viewer is
        closed")."""
        with self._lock:
            server, self._server = self._server, None
        if server is not None:
            _quiet(server.stop)

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _limbs(robot: Robot | FloatingRobot) -> list[tuple[str, list[int]]]:
    """The robot's free joints by limb: (label, DOF indices) for each unbranched run of joints,
    in depth-first order of the tree (so a limb's joints come together, where the DOF order is
    breadth-first and interleaves the limbs). A run starts at the root and wherever the tree
    branches into more than one subtree holding free joints; it is labelled with what its
    joints' names share (its first two's, or its first joint's name)."""
    joints = robot.joints
    children: list[list[_Joint]] = [[] for _ in range(robot.link_count)]
    for joint in joints:
        children[joint.parent].append(joint)
    moves = [False] * robot.link_count  # the subtree below the link holds a free joint
    for joint in sorted(joints, key=lambda j: -j.child):  # children before parents (links are breadth-first)
        moves[joint.parent] = moves[joint.parent] or moves[joint.child] or joint.dof is not None
    runs: list[list[_Joint]] = []
    # (link, the joint into it, a run starts here); a loop, not recursion
    stack: list[tuple[int, _Joint | None, bool]] = [(0, None, False)]
    while stack:
        link, into, starts = stack.pop()
        if starts:
            runs.append([])
        if into is not None and into.dof is not None:
            runs[-1].append(into)
        branches = [j for j in children[link] if j.dof is not None or moves[j.child]]
        for branch in reversed(branches):
            stack.append((branch.child, branch, len(branches) > 1 or not runs))
    return [(_limb_label([j.name for j in run]), [j.dof for j in run if j.dof is not None]) for run in runs if run]


def _limb_label(names: list[str]) -> str:
    def shared(words: list[str]) -> str:
        prefix = os.path.commonprefix(words).rstrip("_-. 0123456789")
        return prefix.removesuffix("_joint") if len(prefix) >= 2 else ""

    return shared(names) or shared(names[:2]) or names[0]
