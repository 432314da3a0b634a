"""External loads: the Load value, the reusable LoadBuffer and the loads= argument of the dynamics
methods, with load contributions checked against link Jacobians."""

import math
import re
import threading

import numpy as np
import pytest

from conftest import BRANCH_JOINTS, BRANCH_LINKS, quat_matrix
from velkor import FloatingRobot, Load, LoadBuffer, Pose, Robot, SolverError
from velkor.samples import sample_path

NAN, BIG = math.nan, 1.7976931348623157e308
FRAME = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])
Q, QD, QDD = np.random.default_rng(11).uniform(-2, 2, (3, 7))
FOREIGN = "link identifier does not belong to this robot model"


def exactly(message):
    return f"^{re.escape(message)}$"


@pytest.fixture
def arm(arm_path):
    robot = Robot(arm_path)
    robot.set_base_frame(FRAME)
    return robot


@pytest.fixture(params=["arm", "branch"])
def any_robot(request, arm, make_urdf):
    if request.param == "arm":
        return arm
    robot = Robot(make_urdf(BRANCH_LINKS, BRANCH_JOINTS, "branches"))
    robot.set_base_frame(FRAME)
    return robot


def results(robot, loads):
    """Gravity, inverse dynamics and forward dynamics (fed the unloaded inverse dynamics) under loads."""
    q, qd, qdd = Q[:robot.generalized_count], QD[:robot.generalized_count], QDD[:robot.generalized_count]
    accel = robot.forward_dynamics(q, qd, robot.inverse_dynamics(q, qd, qdd), loads)
    return robot.gravity(q, loads), robot.inverse_dynamics(q, qd, qdd, loads), accel


def same(a, b, atol=0.0):
    return all(np.allclose(x, y, rtol=0, atol=atol) if atol else np.array_equal(x, y) for x, y in zip(a, b))


# --- what a load contributes -------------------------------------------------------------------

def test_contribution_is_jacobian_transpose(any_robot):
    robot = any_robot
    n = robot.generalized_count
    q, qd, qdd = Q[:n], QD[:n], QDD[:n]
    bare, rng = robot.inverse_dynamics(q, qd, qdd), np.random.default_rng(12)
    for link in range(robot.link_count):
        torque, force = rng.normal(size=3), rng.normal(size=3)
        loads = [Load(link, torque=torque, force=force)]
        jac = robot.jacobian(q, link).reshape(-1, 6).T
        rot = quat_matrix(robot.forward_kinematics(q, link).rotation_xyzw)
        term = jac.T @ np.concatenate([rot @ torque, rot @ force])  # link-frame wrench at the link origin
        assert np.allclose(robot.gravity(q, loads) - robot.gravity(q), term, rtol=0, atol=1e-12)
        assert np.allclose(robot.inverse_dynamics(q, qd, qdd, loads) - bare, term, rtol=0, atol=1e-12)
        assert np.allclose(robot.forward_dynamics(q, qd, bare + term, loads), qdd, rtol=0, atol=1e-10)
        for scale in (2.0, -1.0):
            scaled = [Load(link, torque=scale * torque, force=scale * force)]
            assert np.allclose(robot.gravity(q, scaled) - robot.gravity(q), scale * term, rtol=0, atol=1e-12)


def test_loads_on_links_welded_to_root_change_nothing(make_urdf):
    robot = Robot(make_urdf(["root", "plate", "cap", "arm"],
                            [("weld", "fixed", "root", "plate", (0.1, 0.2, 0.3), (0.4, 0.5, 0.6)),
                             ("cap", "fixed", "plate", "cap", (0.0, 0.3, 0.0), (1.0, 0.0, 0.0)),
                             ("hinge", "revolute", "cap", "arm", (0.2, 0.0, 0.1), (0, 0, 0), (0, 1, 0))]))
    robot.set_base_frame(FRAME)
    for link in ("root", "plate", "cap"):
        loads = [Load(robot.link_id(link), torque=(1, -2, 3), force=(-4, 5, 6))]
        assert same(results(robot, loads), results(robot, None))


def test_hinge_axis_wrenches(make_urdf):
    robot = Robot(make_urdf(BRANCH_LINKS, BRANCH_JOINTS, "branches"))
    axis, link, q = np.array([1.0, 2.0, 2.0]) / 3, robot.link_id("a"), Q[:robot.generalized_count]
    rest = robot.gravity(q)[0]  # DOF 0 is joint j_a, whose child is link "a"
    assert robot.gravity(q, [Load(link, force=5 * axis)])[0] - rest == pytest.approx(0, abs=1e-14)
    assert robot.gravity(q, [Load(link, torque=axis)])[0] - rest == pytest.approx(1.0, rel=1e-13)


# --- a payload held by a link -------------------------------------------------------------------

PAYLOADS = {  # mass (kg), centre of mass in tool axes (m), inertia about it in tool axes (kg·m²)
    "point mass at the origin": (2.0, (0.0, 0.0, 0.0), np.zeros((3, 3))),
    "offset rigid body": (1.3, (0.03, -0.02, 0.11),
                          np.array([[0.012, 0.001, -0.002], [0.001, 0.009, 0.0015], [-0.002, 0.0015, 0.006]])),
}


def carrying(arm_path, mass, com, inertia):
    """The sample arm with the payload as one more link, welded to the tool at the tool origin."""
    (ixx, ixy, ixz), (_, iyy, iyz), (_, _, izz) = inertia
    link = (f'<link name="payload"><inertial><origin xyz="{com[0]} {com[1]} {com[2]}"/><mass value="{mass}"/>'
            f'<inertia ixx="{ixx}" ixy="{ixy}" ixz="{ixz}" iyy="{iyy}" iyz="{iyz}" izz="{izz}"/></inertial></link>'
            '<joint name="hold" type="fixed"><parent link="tool"/><child link="payload"/>'
            '<origin xyz="0 0 0"/></joint></robot>')
    with open(arm_path) as file:
        robot = Robot.from_urdf_string(file.read().replace("</robot>", link))
    robot.set_base_frame(FRAME)
    return robot


def payload_load(arm, q, qd, qdd, mass, com, inertia):
    """The load of the tool that holds the payload: the wrench the tool exerts on it.

    Newton-Euler for the payload alone, world axes, with R the tool rotation, r = R·com, and
    w, dw, a the tool's angular velocity, angular acceleration and the classical acceleration of
    its origin (forward_acceleration_kinematics; gravity does not enter it):
    - force: f + m·g = m·a_c, so f = m·(a_c - g) with a_c = a + dw × r + w × (w × r);
    - torque about the tool origin: n - r × f = I·dw + w × (I·w) about the centre of mass, where
      gravity has no moment, with I = R·inertia·Rᵀ.
    Held still (qd = qdd = 0) this is f = -m·g: the tool pushes the payload up with its weight.
    The load is (n, f) turned into tool axes.
    """
    tool = arm.link_id("tool")
    R = arm.forward_kinematics(q, tool).rotation_matrix
    w = np.array(arm.forward_velocity_kinematics(q, qd, tool).angular)
    acc = arm.forward_acceleration_kinematics(q, qd, qdd, tool)
    dw, a = np.array(acc.angular), np.array(acc.linear)
    r, I = R @ com, R @ inertia @ R.T
    f = mass * (a + np.cross(dw, r) + np.cross(w, np.cross(w, r)) - arm.gravity_vector)
    n = np.cross(r, f) + I @ dw + np.cross(w, I @ w)
    return [Load(tool, torque=R.T @ n, force=R.T @ f)]


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS)
@pytest.mark.parametrize("seed", range(4))
def test_payload_as_load_matches_payload_as_link(arm, arm_path, payload, seed):
    """A payload carried as a load gives the joint forces and accelerations of the same payload
    modelled as a link: gravity (held still), inverse dynamics (the load depends on the motion)
    and forward dynamics (fed the accelerations the link model finds, the load returns them)."""
    heavy = carrying(arm_path, *payload)
    rng = np.random.default_rng(seed)
    q = arm.random_configuration(rng)
    qd, qdd, tau = rng.uniform(-2, 2, (3, 7))
    still = payload_load(arm, q, np.zeros(7), np.zeros(7), *payload)
    R = arm.forward_kinematics(q, arm.link_id("tool")).rotation_matrix
    assert np.allclose(R @ still[0].force, -payload[0] * arm.gravity_vector, rtol=0, atol=1e-12)  # m·g, up
    assert not np.allclose(heavy.gravity(q), arm.gravity(q), atol=1e-3)  # the payload matters here
    assert np.allclose(arm.gravity(q, still), heavy.gravity(q), rtol=0, atol=1e-11)
    moving = payload_load(arm, q, qd, qdd, *payload)
    assert np.allclose(arm.inverse_dynamics(q, qd, qdd, moving), heavy.inverse_dynamics(q, qd, qdd),
                       rtol=0, atol=1e-10)
    accel = heavy.forward_dynamics(q, qd, tau)
    assert np.allclose(arm.forward_dynamics(q, qd, tau, payload_load(arm, q, qd, accel, *payload)), accel,
                       rtol=0, atol=1e-9)


# --- ways of passing loads ----------------------------------------------------------------------

def test_equivalent_load_forms(arm):
    f, g, t = (0.5, -1.0, 2.0), (1.5, 0.25, -3.0), (0.1, 0.2, 0.3)
    single = results(arm, [Load(4, torque=t, force=np.add(f, g))])
    summed = arm.load_buffer()
    summed.set(4, torque=t, force=f)
    summed.add(4, force=g)
    for form in ([Load(4, torque=t, force=f), Load(4, force=g)], (Load(4, force=g), Load(4, torque=t, force=f)),
                 summed):
        assert same(results(arm, form), single, atol=1e-13)
    for empty in ([], (), arm.load_buffer()):
        assert same(results(arm, empty), results(arm, None))


@pytest.mark.parametrize("make, error, message", [
    (lambda: "x", TypeError, "Can't extract `str` to `Vec`"),
    (lambda: [Load(0), 5], TypeError, None),
    (lambda: [Load(99), 5], TypeError, None),  # every item is checked before any id is resolved
    (lambda: (Load(1) for _ in range(2)), TypeError, None),
    (lambda: iter([Load(1)]), TypeError, None),
    (lambda: {1: Load(1)}, TypeError, None),
    (lambda: 5, TypeError, None),
    (lambda: [Robot(sample_path("arm")).load_buffer()], TypeError, None),
    (lambda: [Load(2), Load(99)], ValueError, "invalid link id 99"),
    (lambda: [Load(2, force=(0, NAN, 0))], ValueError, "load contains a non-finite value"),
    (lambda: [Load(3, force=(BIG, 0, 0))] * 2, SolverError, "numerical failure in load aggregation"),
    (lambda: Robot(sample_path("arm")).load_buffer(), ValueError, FOREIGN),
    (lambda: FloatingRobot(sample_path("quadruped")).load_buffer(), ValueError, FOREIGN),
])
def test_bad_loads_argument(arm, make, error, message):
    for call in (lambda loads, out: arm.gravity(Q, loads, out),
                 lambda loads, out: arm.inverse_dynamics(Q, QD, QDD, loads, out),
                 lambda loads, out: arm.forward_dynamics(Q, QD, QDD, loads, out)):
        out = np.full(7, 3.0)
        with pytest.raises(error, match=exactly(message) if message else None):
            call(make(), out)
        assert np.all(out == 3.0)


def test_buffer_shared_by_forks_and_released_after_failures(arm_path):
    robot, closed = Robot(arm_path), Robot(arm_path)
    buffer, fork, closed_fork = robot.load_buffer(), robot.fork(), robot.fork()
    buffer.set(6, torque=(0.5, 0, 0), force=(1, 2, 3))
    assert np.array_equal(fork.gravity(Q, buffer), robot.gravity(Q, [Load(6, torque=(0.5, 0, 0), force=(1, 2, 3))]))
    assert np.array_equal(robot.gravity(Q, fork.load_buffer()), robot.gravity(Q))
    closed.close()
    closed_fork.close()
    # noqa F821: the lambdas read `robot` before the `del robot` below, which ruff cannot tell
    failures = [
        (lambda: robot.gravity(np.full(7, NAN), buffer), ValueError, "q contains a non-finite value"),  # noqa: F821
        (lambda: robot.gravity(Q, buffer, Q), ValueError, "The given array is already borrowed"),  # noqa: F821
        (lambda: robot.inverse_dynamics(Q, QD[:3], QDD, buffer), ValueError, "q and qd must have the same length"),  # noqa: F821
        (lambda: robot.forward_dynamics(Q, QD, np.full(7, 1e308), buffer), SolverError,  # noqa: F821
         "numerical failure in joint acceleration"),
        (lambda: closed.gravity(Q, buffer), ValueError, FOREIGN),  # the model is checked before the lock
        (lambda: closed_fork.gravity(Q, buffer), RuntimeError, "robot is closed"),
    ]
    for call, error, message in failures:
        with pytest.raises(error, match=exactly(message)):
            call()
        buffer.add(8, force=(0, 0, 1))  # no borrow is left behind
    # the buffer outlives the handle that made it and keeps working with its forks
    grandchild = fork.fork()
    robot.close()
    del robot, fork
    buffer.add(6, force=(1, 2, 3))
    assert len(buffer) == 2
    expected = [Load(6, torque=(0.5, 0, 0), force=(2, 4, 6)), Load(8, force=(0, 0, len(failures)))]
    assert np.allclose(grandchild.gravity(Q, buffer), grandchild.gravity(Q, expected), rtol=0, atol=1e-13)


# --- Load values ---------------------------------------------------------------------------------

def test_load_value():
    load = Load(3)
    assert (load.link_id, load.torque, load.force) == (3, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    assert isinstance(load.torque, tuple) and isinstance(load.force, tuple)
    full = Load(link_id=2, torque=np.array([1, 2, 3]), force=[4.5, 5, 6])
    assert (full.link_id, full.torque, full.force) == (2, (1.0, 2.0, 3.0), (4.5, 5.0, 6.0))
    assert Load.__text_signature__ == "(link_id, torque=..., force=...)"
    assert Load(10**12).link_id == 10**12  # not tied to any model until used
    up = Load(1, force=[0, 0, 1])
    for a, b, equal in [(up, Load(1, force=[0, 0, 1]), True), (up, Load(2, force=[0, 0, 1]), False),
                        (Load(1, torque=[0, 0, 1]), up, False), (Load(1, torque=[0.0, 0, 0]), Load(1), True),
                        (Load(1, torque=[-0.0, 0, 0]), Load(1), True),
                        (Load(1, force=[NAN, 0, 0]), Load(1, force=[NAN, 0, 0]), False)]:
        assert (a == b, a != b) == (equal, not equal)
    assert Load(1).__eq__(1) is NotImplemented and Load(1).__lt__(Load(1)) is NotImplemented
    with pytest.raises(TypeError):
        hash(Load(1))
    for name in ("link_id", "torque", "force"):
        with pytest.raises(AttributeError):
            setattr(load, name, getattr(load, name))


@pytest.mark.parametrize("args, kwargs, error, pattern", [
    ((-1,), {}, ValueError, "^invalid link id -1$"),
    ((1.5,), {}, TypeError, "link_id"),
    (("1",), {}, TypeError, "link_id"),
    ((), {}, TypeError, "link_id"),
    ((1,), {"torque": None}, TypeError, "torque"),
    ((1,), {"force": [1, 2]}, ValueError, exactly("expected a sequence of length 3 (got 2)")),
    ((1, (0, 0, 0), (0, 0, 0), 4), {}, TypeError, None),
])
def test_load_construction_errors(args, kwargs, error, pattern):
    with pytest.raises(error, match=pattern):
        Load(*args, **kwargs)


# --- LoadBuffer ----------------------------------------------------------------------------------

def test_buffer_class():
    with pytest.raises(TypeError):
        LoadBuffer()
    assert LoadBuffer.__doc__.startswith("Reusable native loads, created by a robot so integer IDs have a model scope.\n\n")
    change = "($self, link_id, torque=..., force=...)"
    signatures = {"set": change, "add": change, "remove": "($self, link_id)", "clear": "($self)"}
    assert {name: getattr(LoadBuffer, name).__text_signature__ for name in signatures} == signatures
    assert Robot.load_buffer.__text_signature__ == FloatingRobot.load_buffer.__text_signature__ == "($self)"
    robot = FloatingRobot(sample_path("quadruped"))
    buffer = robot.load_buffer()
    buffer.set(robot.link_count - 1, force=(1, 2, 3))
    assert len(buffer) == 1 and buffer
    with pytest.raises(ValueError, match=exactly(f"invalid link id {robot.link_count}")):
        buffer.set(robot.link_count)
    with pytest.raises(TypeError):
        iter(buffer)
    with pytest.raises(TypeError):
        buffer[0]
    robot.close()
    with pytest.raises(RuntimeError, match=exactly("robot is closed")):
        robot.load_buffer()


def test_buffer_tracks_a_reference_model(arm):
    """Random set/add/remove/clear against a dict; the dynamics see exactly the dict's loads."""
    buffer, expected = arm.load_buffer(), {}
    assert len(buffer) == 0 and not buffer
    rng = np.random.default_rng(3)
    for step in range(80):
        link, torque, force = int(rng.integers(9)), rng.normal(size=3), rng.normal(size=3)
        action = ("set", "add", "remove", "clear")[rng.choice(4, p=[0.4, 0.3, 0.25, 0.05])]
        if action == "clear":
            buffer.clear()
            expected.clear()
        elif action == "remove":
            buffer.remove(link)
            expected.pop(link, None)
        else:
            getattr(buffer, action)(link, torque=torque, force=force)
            old = expected.get(link, (0, 0)) if action == "add" else (0, 0)
            expected[link] = (old[0] + torque, old[1] + force)
        assert len(buffer) == len(expected) and bool(buffer) == bool(expected)
        reference = [Load(k, torque=t, force=f) for k, (t, f) in expected.items()]
        assert same(results(arm, buffer), results(arm, reference), atol=1e-11), step


def test_failed_buffer_updates_change_nothing(arm):
    buffer = arm.load_buffer()
    buffer.set(3, torque=(BIG, 0, 0), force=(0, 0, 1))
    before = arm.gravity(Q, buffer)
    assert np.array_equal(before, arm.gravity(Q, [Load(3, torque=(BIG, 0, 0), force=(0, 0, 1))]))
    for call, error, pattern in [
        (lambda: buffer.add(3, torque=(BIG, 0, 0)), SolverError, exactly("numerical failure in load aggregation")),
        (lambda: buffer.add(3, force=(0, 0, -math.inf)), ValueError, exactly("load contains a non-finite value")),
        (lambda: buffer.set(3, force=(NAN, 0, 0)), ValueError, exactly("load contains a non-finite value")),
        (lambda: buffer.set(9, force=(1, 1, 1)), ValueError, exactly("invalid link id 9")),
        (lambda: buffer.add(2**40), ValueError, exactly("invalid link id 1099511627776")),
        (lambda: buffer.add(9, force=(NAN, 0, 0)), ValueError, exactly("invalid link id 9")),
        (lambda: buffer.remove(9), ValueError, exactly("invalid link id 9")),
        (lambda: buffer.set(-1), ValueError, exactly("invalid link id -1")),
        (lambda: buffer.remove(2.0), TypeError, "link_id"),
        (lambda: buffer.set(4, force=(1, 2)), ValueError, exactly("expected a sequence of length 3 (got 2)")),
        (lambda: buffer.set(99, torque=None), TypeError, "torque"),  # converted before the id is resolved
    ]:
        with pytest.raises(error, match=pattern):
            call()
        assert len(buffer) == 1 and np.array_equal(arm.gravity(Q, buffer), before)
    buffer.remove(7)  # no load there: nothing to do
    assert len(buffer) == 1 and np.array_equal(arm.gravity(Q, buffer), before)


def test_buffer_shared_with_running_calls(arm):
    """Changing a buffer while other threads compute with it either takes effect or is refused."""
    first, second = ((1.0, 2.0, 3.0), (0, 0, 0)), ((0, 0, 0), (-4.0, 0.5, 2.0))
    valid = [arm.gravity(Q, [Load(5, torque=t, force=f)]) for t, f in (first, second)]
    buffer = arm.load_buffer()
    buffer.set(5, *first)
    seen, refusals, kept = [], [], [0]

    def compute(robot):
        for _ in range(300):
            try:
                seen.append(robot.gravity(Q, buffer))
            except RuntimeError as error:  # met a change in progress
                refusals.append(("Already mutably borrowed", str(error)))

    def change():
        for i in range(600):
            try:
                buffer.set(5, *(first, second)[i % 2])
                kept[0] = i % 2
            except RuntimeError as error:  # a computation holds the buffer
                refusals.append(("Already borrowed", str(error)))

    threads = [threading.Thread(target=compute, args=(r,)) for r in (arm, arm, arm.fork())]
    threads.append(threading.Thread(target=change))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert all(expected == actual for expected, actual in refusals)
    assert len(seen) + sum(kind == "Already mutably borrowed" for kind, _ in refusals) == 900
    assert all(any(np.array_equal(s, v) for v in valid) for s in seen)
    assert len(buffer) == 1 and np.array_equal(arm.gravity(Q, buffer), valid[kept[0]])
