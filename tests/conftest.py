"""Shared fixtures: URDF writers, the sample arm, and Ctrl-C. The repository root goes on the import
path, so the tests import the stress engines as `stress.common`."""

import os
import pathlib
import re
import signal
import sys
import threading
import time

import numpy as np
import pytest

from velkor import Pose
from velkor.samples import sample_path

ROOT = str(pathlib.Path(__file__).resolve().parents[1])
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)



def names_package(reason, package):
    """Whether a skip's reason names the package: "pin" stands alone, not inside "pin-pink" or "pinocchio"."""
    return re.search(rf"(?<![\w-]){re.escape(package)}(?![\w-])", reason, re.IGNORECASE) is not None


def pytest_sessionfinish(session, exitstatus):
    """With VELKOR_NO_SKIPS=1 (the README's test command, where the test extra installs every peer) a
    skipped test fails the run: a peer that stops installing must not turn its checks into skips. Where
    some requirements have no wheel for the interpreter, VELKOR_MISSING_PACKAGES lists them (PyPI names,
    separated by spaces or commas): a skip whose reason names one of them is listed and allowed, any
    other still fails the run. With VELKOR_NO_GIL=1 (a free-threaded interpreter) the run fails if the
    interpreter lock is on when it ends."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is None:
        return
    if os.environ.get("VELKOR_NO_GIL") == "1" and getattr(sys, "_is_gil_enabled", lambda: True)():
        reporter.ensure_newline()
        reporter.write_line("VELKOR_NO_GIL=1: the interpreter lock is on at the end of the run, the run fails", red=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    skipped = reporter.stats.get("skipped", [])
    if os.environ.get("VELKOR_NO_SKIPS") != "1" or not skipped:
        return
    missing = os.environ.get("VELKOR_MISSING_PACKAGES", "").replace(",", " ").split()

    def reason(report):
        return str(report.longrepr[-1]) if isinstance(report.longrepr, tuple) else str(report.longrepr or "")

    allowed = {package: [r for r in skipped if names_package(reason(r), package)] for package in missing}
    others = [r for r in skipped if not any(r in reports for reports in allowed.values())]
    reporter.ensure_newline()
    for package, reports in allowed.items():
        reporter.write_line(f"VELKOR_MISSING_PACKAGES: {len(reports)} tests skipped, needing {package}, "
                            "which has no wheel for this interpreter:", yellow=True)
        for report in reports:
            reporter.write_line(f"  skipped: {report.nodeid} ({reason(report)})")
    if others and session.exitstatus == 0:
        reporter.write_line(f"VELKOR_NO_SKIPS=1: {len(others)} tests skipped, the run fails", red=True)
        for report in others[:20]:
            reporter.write_line(f"  skipped: {report.nodeid} ({reason(report)})")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


INERTIA = '<inertia ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"/>'


def link_xml(name, mass=1.0):
    if mass is None:
        return f'<link name="{name}"/>'
    return f'<link name="{name}"><inertial><mass value="{mass}"/>{INERTIA}</inertial></link>'


def joint_xml(name, kind, parent, child, xyz=(0, 0, 0), rpy=(0, 0, 0), axis=(1, 0, 0)):
    def fmt(v):
        return " ".join(repr(float(x)) for x in v)

    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
            f'<origin xyz="{fmt(xyz)}" rpy="{fmt(rpy)}"/><axis xyz="{fmt(axis)}"/>'
            f'<limit lower="-3" upper="3" velocity="1"/></joint>')


def urdf_text(links, joints, name="test_robot"):
    """links: names or (name, mass) pairs; joints: tuples accepted by joint_xml, in file order."""
    parts = [link_xml(*((item,) if isinstance(item, str) else item)) for item in links]
    parts += [joint_xml(*j) for j in joints]
    return f'<?xml version="1.0"?>\n<robot name="{name}">{"".join(parts)}</robot>\n'


def chain_urdf(kinds, name="chain"):
    """A serial chain l0 - l1 - ... joined by joints of the given kinds about z, 0.1 m apart."""
    links = [f"l{i}" for i in range(len(kinds) + 1)]
    joints = [(f"j{i}", k, links[i], links[i + 1], (0, 0, 0.1), (0, 0, 0), (0, 0, 1))
              for i, k in enumerate(kinds)]
    return urdf_text(links, joints, name)


@pytest.fixture
def write_urdf(tmp_path):
    count = iter(range(1_000_000))

    def write(text):
        path = tmp_path / f"robot{next(count)}.urdf"
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def make_urdf(write_urdf):
    """make_urdf(links, joints, name=...) -> path of a new URDF file."""
    return lambda links, joints, name="test_robot": write_urdf(urdf_text(links, joints, name))


@pytest.fixture
def chain(write_urdf):
    """chain(kinds, name=...) -> path of a serial chain with joints of the given kinds."""
    return lambda kinds, name="chain": write_urdf(chain_urdf(kinds, name))


@pytest.fixture(scope="session")
def arm_path():
    return sample_path("arm")


# ---------------------------------------------------------------------------------------------
# Ctrl-C. A process started with SIGINT ignored (a background job of a non-interactive shell,
# nohup, some CI runners) keeps it ignored, and Python then installs no handler of its own: the
# tests that press Ctrl-C install Python's default handler for their duration.

@pytest.fixture
def default_sigint():
    """SIGINT raises KeyboardInterrupt during the test, whatever the process started with."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        if previous is not None:  # None: a handler not set from Python, which cannot be put back
            signal.signal(signal.SIGINT, previous)


def press_ctrl_c_during(call, started):
    """Calls call() and sends SIGINT to the main thread once started() is true, which a watching
    thread checks every millisecond while the call runs; passes when the call ends in
    KeyboardInterrupt. The signal goes only once the call has shown progress, so it neither
    lands before the call nor depends on how fast the machine is; whether the call stopped early
    is for the caller to check in what it wrote. Everything that can raise the KeyboardInterrupt
    runs inside pytest.raises, so a signal that comes late fails this test and nothing else.
    Needs the default_sigint fixture."""
    finished, sent = threading.Event(), threading.Event()
    main = threading.main_thread().ident

    def watch():
        while not finished.is_set():
            if started():
                signal.pthread_kill(main, signal.SIGINT)
                sent.set()
                return
            time.sleep(0.001)

    watcher = threading.Thread(target=watch, daemon=True)
    with pytest.raises(KeyboardInterrupt):
        watcher.start()
        try:
            call()
        finally:
            finished.set()
            watcher.join()
        if sent.is_set():
            # The call returned as the signal came: the interpreter runs the pending handler at
            # a loop iteration, here rather than after the block.
            for _ in range(1_000_000):
                pass


# ---------------------------------------------------------------------------------------------
# Rotation helpers and a branching model shared by the Jacobian, motion and inverse-kinematics
# tests. Quaternions are (x, y, z, w) like everywhere at the Python boundary.

def quat_matrix(xyzw):
    x, y, z, w = np.asarray(xyzw, float) / np.linalg.norm(xyzw)
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def matrix_quat(R):
    """(x, y, z, w) of a rotation matrix, by the branch of the largest of w, x, y, z (w >= 0 when the
    trace is positive)."""
    R = np.asarray(R, float)
    trace = R[0, 0] + R[1, 1] + R[2, 2]
    if trace > 0:
        t = np.sqrt(trace + 1.0)
        w, t = 0.5 * t, 0.5 / t
        return np.array([(R[2, 1] - R[1, 2]) * t, (R[0, 2] - R[2, 0]) * t, (R[1, 0] - R[0, 1]) * t, w])
    i = 1 if R[1, 1] > R[0, 0] else 0
    i = 2 if R[2, 2] > R[i, i] else i
    j, k = (i + 1) % 3, (i + 2) % 3
    t = np.sqrt(R[i, i] - R[j, j] - R[k, k] + 1.0)
    q = np.zeros(4)
    q[i], t = 0.5 * t, 0.5 / t
    q[3], q[j], q[k] = (R[k, j] - R[j, k]) * t, (R[j, i] + R[i, j]) * t, (R[k, i] + R[i, k]) * t
    return q


def rotation_log(R):
    """The rotation vector θ·axis of a rotation matrix (θ in [0, π])."""
    q = matrix_quat(R)
    q = -q if q[3] < 0 else q
    s = np.linalg.norm(q[:3])
    return q[:3] * (2.0 if s == 0 else 2.0 * np.arctan2(s, q[3]) / s)


def quat_mul(a, b):
    """Hamilton product a·b."""
    ax, ay, az, aw = a
    bx, by, bz, bw = b
    return (aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx,
            aw * bz + ax * by - ay * bx + az * bw,
            aw * bw - ax * bx - ay * by - az * bz)


def quat_from_rotvec(v):
    v = np.asarray(v, float)
    angle = np.linalg.norm(v)
    if angle == 0:
        return (0.0, 0.0, 0.0, 1.0)
    return (*(np.sin(angle / 2) * v / angle), np.cos(angle / 2))


def rotation_angle(a, b):
    """Angle of the rotation between two (not necessarily unit) quaternions."""
    a, b = np.asarray(a, float) / np.linalg.norm(a), np.asarray(b, float) / np.linalg.norm(b)
    x, y, z, w = quat_mul(a, (-b[0], -b[1], -b[2], b[3]))
    return 2 * np.arctan2(np.linalg.norm([x, y, z]), abs(w))


def compose(a, b):
    """Pose a∘b: b applied first."""
    t = quat_matrix(a.rotation_xyzw) @ b.translation + a.translation
    return Pose(t, quat_mul(a.rotation_xyzw, b.rotation_xyzw))


# Revolute, continuous, prismatic and fixed joints, rpy origins and non-coordinate axes on two
# branches; each branch ends in a link hung from a fixed joint.
BRANCH_LINKS = ["root", "a", "b", "c", "d", "e", "f", "g"]
BRANCH_JOINTS = [
    ("j_a", "revolute", "root", "a", (0.1, -0.2, 0.3), (0.3, -0.5, 0.7), (1, 2, 2)),
    ("j_b", "prismatic", "root", "b", (-0.3, 0.1, 0.0), (0.0, 0.9, 0.0), (0.3, -0.4, 0)),
    ("j_c", "fixed", "a", "c", (0.0, 0.2, 0.1), (1.0, 0.0, 0.5), (0, 0, 1)),
    ("j_d", "continuous", "c", "d", (0.05, 0.1, -0.2), (0.2, 0.4, -1.1), (0.3, -0.5, 0.8)),
    ("j_e", "revolute", "b", "e", (0.2, 0.0, 0.0), (0.0, 0.0, 0.0), (0, 0, -3)),
    ("j_f", "prismatic", "d", "f", (0.0, 0.0, 0.4), (-0.6, 0.2, 0.3), (0.6, 0.8, 0)),
    ("j_g", "fixed", "f", "g", (0.1, 0.2, 0.3), (0.5, 0.5, 0.5), (1, 0, 0)),
]


@pytest.fixture
def branch_path(make_urdf):
    return make_urdf(BRANCH_LINKS, BRANCH_JOINTS, "branches")


@pytest.fixture
def lever_path(make_urdf):
    """A revolute joint about z at the root, then the target 1 m along x through a fixed joint."""
    return make_urdf(["l0", "l1", "l2"], [("spin", "revolute", "l0", "l1", (0, 0, 0), (0, 0, 0), (0, 0, 1)),
                                          ("arm", "fixed", "l1", "l2", (1, 0, 0), (0, 0, 0), (1, 0, 0))])


@pytest.fixture(params=["arm", "quadruped", "branches", "welded"])
def any_path(request, arm_path, branch_path, make_urdf):
    """Sample robots, the branching model, and a model whose only joint is fixed."""
    if request.param == "branches":
        return branch_path
    if request.param == "welded":
        return make_urdf(["p", "c"], [("weld", "fixed", "p", "c", (0.3, -0.2, 0.5), (0.1, 0.2, 0.3), (1, 0, 0))])
    return sample_path(request.param)

