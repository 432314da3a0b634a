"""Link velocities and accelerations and the Jacobian time derivative, checked against the
Jacobian, against finite differences along a trajectory and against hand-derived cases."""

import math
import re

import numpy as np
import pytest

from conftest import quat_from_rotvec, quat_matrix, quat_mul
from velkor import BaseState, FloatingRobot, Pose, Robot, Twist

NAN, INF = math.nan, math.inf
FRAME = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])
STATE = BaseState(FRAME, Twist([0.3, -0.1, 0.2], [1, 2, 3]), Twist([-0.4, 0.5, 0.6], [7, 8, 9]))


def exactly(message):
    return f"^{re.escape(message)}$"


def vec(twist):
    return np.array([*twist.angular, *twist.linear])


class Handle:
    """One calling convention for both robot kinds; a Robot ignores the state's velocity and acceleration."""

    def __init__(self, robot, state=STATE):
        self.robot, self.state = robot, state
        self.floating = isinstance(robot, FloatingRobot)
        if not self.floating:
            robot.set_base_frame(state.frame)

    def _call(self, name, *args, **kwargs):
        return getattr(self.robot, name)(*((self.state,) if self.floating else ()), *args, **kwargs)

    def jacobian(self, q, target):
        return self._call("jacobian", q, target).reshape(-1, 6).T

    def jdot(self, q, qd, target):
        return self._call("jacobian_derivative", q, qd, target).reshape(-1, 6).T

    def velocity(self, q, qd, target, tool=None):
        return vec(self._call("forward_velocity_kinematics", q, qd, target, tool))

    def acceleration(self, q, qd, qdd, target):
        return vec(self._call("forward_acceleration_kinematics", q, qd, qdd, target))

    def nu(self, qd, part="velocity"):
        return np.concatenate([vec(getattr(self.state, part)), qd]) if self.floating else np.asarray(qd)

    def at(self, s):
        """The handle with the base moved for a time s (rotation to second order; a Robot stays put)."""
        if not self.floating:
            return self
        w, v, a, b = (np.array(x) for x in (self.state.velocity.angular, self.state.velocity.linear,
                                            self.state.acceleration.angular, self.state.acceleration.linear))
        frame = self.state.frame
        rotation = np.array(frame.rotation_xyzw) / np.linalg.norm(frame.rotation_xyzw)
        moved = Pose(np.array(frame.translation) + v * s + b * s * s / 2,
                     quat_mul(quat_from_rotvec(w * s + a * s * s / 2), rotation))
        return Handle(self.robot, BaseState(moved, Twist(w + a * s, v + b * s), self.state.acceleration))


def random_states(robot, seed, count=3):
    rng = np.random.default_rng(seed)
    return rng.uniform(-2.5, 2.5, (count, 3, robot.joint_count))


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_velocity_and_acceleration_agree_with_jacobian_and_derivative(any_path, cls):
    h = Handle(cls(any_path))
    for q, qd, qdd in random_states(h.robot, 1):
        for target in range(h.robot.link_count):
            j, jdot = h.jacobian(q, target), h.jdot(q, qd, target)
            assert np.allclose(h.velocity(q, qd, target), j @ h.nu(qd), rtol=1e-12, atol=1e-12)
            expected = jdot @ h.nu(qd) + j @ h.nu(qdd, "acceleration")
            assert np.allclose(h.acceleration(q, qd, qdd, target), expected, rtol=1e-11, atol=1e-11)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_jacobian_derivative_matches_finite_differences(any_path, cls, step=1e-6):
    h = Handle(cls(any_path))
    for q, qd, _ in random_states(h.robot, 2):
        for target in range(h.robot.link_count):
            numeric = (h.at(step).jacobian(q + step * qd, target)
                       - h.at(-step).jacobian(q - step * qd, target)) / (2 * step)
            assert np.allclose(h.jdot(q, qd, target), numeric, rtol=0, atol=1e-7)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_acceleration_matches_finite_differences_along_a_trajectory(any_path, cls, step=1e-5):
    h = Handle(cls(any_path))
    for q0, qd0, qdd in random_states(h.robot, 3):
        q = lambda s: q0 + qd0 * s + qdd * s * s / 2
        for target in range(h.robot.link_count):
            result = h.acceleration(q0, qd0, qdd, target)
            velocity = [h.at(s).velocity(q(s), qd0 + qdd * s, target) for s in (-step, step)]
            assert np.allclose(result, (velocity[1] - velocity[0]) / (2 * step), rtol=0, atol=1e-7)
            if not h.floating:  # second differences of the origin's position
                p = [np.array(h.robot.forward_kinematics(q(s), target).translation) for s in (-1e-4, 0, 1e-4)]
                assert np.allclose(result[3:], (p[0] - 2 * p[1] + p[2]) / 1e-8, rtol=0, atol=1e-5)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_tool_point(branch_path, cls):
    h = Handle(cls(branch_path))
    q, qd, _ = random_states(h.robot, 4, 1)[0]
    tool = [0.3, -0.5, 0.2]
    for target in range(h.robot.link_count):
        frame = (h.robot.forward_kinematics(h.state, q, target) if h.floating
                 else h.robot.forward_kinematics(q, target))
        plain = h.velocity(q, qd, target)
        lever = quat_matrix(frame.rotation_xyzw) @ tool
        expected = np.concatenate([plain[:3], plain[3:] + np.cross(plain[:3], lever)])
        assert np.allclose(h.velocity(q, qd, target, Pose(tool, [0.2, 0.1, -0.4, 2.0])), expected, atol=1e-12)
        assert np.array_equal(h.velocity(q, qd, target, Pose(rotation_xyzw=[1, 2, 3, 4])), plain)


def test_floating_root_link(arm_path):
    h = Handle(FloatingRobot(arm_path))
    q, qd, qdd = random_states(h.robot, 5, 1)[0]
    w, v = np.array(STATE.velocity.angular), np.array(STATE.velocity.linear)
    lever = quat_matrix(FRAME.rotation_xyzw) @ [0.1, 0.2, 0.3]
    result = h.velocity(q, qd, 0, Pose([0.1, 0.2, 0.3]))
    assert np.allclose(result, [*w, *(v + np.cross(w, lever))], rtol=0, atol=1e-14)
    assert np.allclose(h.acceleration(q, qd, qdd, 0), vec(STATE.acceleration), rtol=0, atol=1e-14)
    assert np.array_equal(h.jdot(q, qd, 0), np.zeros((6, 13)))


def test_robot_root_link_and_resting_joints(arm_path):
    h = Handle(Robot(arm_path))
    q, qd, qdd = random_states(h.robot, 6, 1)[0]
    assert np.array_equal(h.velocity(q, qd, 0, Pose([1, 2, 3])), np.zeros(6))
    assert np.array_equal(h.acceleration(q, qd, qdd, 0), np.zeros(6))
    assert np.array_equal(h.jdot(q, qd, 0), np.zeros((6, 7)))
    assert np.array_equal(h.jdot(q, np.zeros(7), 8), np.zeros((6, 7)))


def test_floating_derivative_ignores_base_linear_velocity_and_acceleration(branch_path):
    robot = FloatingRobot(branch_path)
    q, qd, _ = random_states(robot, 7, 1)[0]
    other = BaseState(FRAME, Twist(STATE.velocity.angular, [-5, 0, 4]), Twist([1, 1, 1], [2, 2, 2]))
    for target in range(robot.link_count):
        assert np.array_equal(Handle(robot).jdot(q, qd, target), Handle(robot, other).jdot(q, qd, target))


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_base_translation_changes_nothing(branch_path, cls):
    robot = cls(branch_path)
    q, qd, qdd = random_states(robot, 8, 1)[0]
    moved = BaseState(Pose([1e17, -3e16, 5e16], FRAME.rotation_xyzw), STATE.velocity, STATE.acceleration)
    results = []
    for state in (STATE, moved):
        h = Handle(robot, state)
        results.append((h.velocity(q, qd, 7, Pose([0.1, 0, 0])), h.acceleration(q, qd, qdd, 7), h.jdot(q, qd, 7)))
    for a, b in zip(*results):
        assert np.allclose(a, b, rtol=0, atol=1e-12)


def test_hand_derived_lever(lever_path):
    h = Handle(Robot(lever_path), BaseState())
    assert np.allclose(h.velocity([0], [1], 2), [0, 0, 1, 0, 1, 0], rtol=0, atol=1e-15)
    assert np.allclose(h.acceleration([0], [1], [0], 2), [0, 0, 0, -1, 0, 0], rtol=0, atol=1e-15)
    assert np.allclose(h.jdot([0], [1], 2)[:, 0], [0, 0, 0, -1, 0, 0], rtol=0, atol=1e-15)


def test_coriolis_of_a_slider_on_a_turntable(make_urdf):
    path = make_urdf(["l0", "l1", "l2"], [("turn", "revolute", "l0", "l1", (0, 0, 0), (0, 0, 0), (0, 0, 1)),
                                          ("slide", "prismatic", "l1", "l2", (0, 0, 0), (0, 0, 0), (1, 0, 0))])
    h = Handle(Robot(path), BaseState())
    assert np.allclose(h.acceleration([0, 0], [1, 1], [0, 0], 2), [0, 0, 0, 0, 2, 0], rtol=0, atol=1e-15)
    # the slider alone: its own column keeps still, the turntable's lever arm grows at 1 m/s
    assert np.allclose(h.jdot([0, 0], [0, 1], 2), [[0, 0], [0, 0], [0, 0], [0, 0], [1, 0], [0, 0]], atol=0)


@pytest.mark.parametrize("method, parameters", [
    ("forward_velocity_kinematics", "q, qd, target, tool=None"),
    ("forward_acceleration_kinematics", "q, qd, qdd, target"),
    ("jacobian_derivative", "q, qd, target, out=None"),
])
def test_signatures_and_keywords(lever_path, method, parameters):
    assert getattr(Robot, method).__text_signature__ == f"($self, {parameters})"
    assert getattr(FloatingRobot, method).__text_signature__ == f"($self, base, {parameters})"
    robot, names = Robot(lever_path), [p.split("=")[0] for p in parameters.split(", ")]
    values = {"q": [0.0], "qd": [1.0], "qdd": [0.0], "target": 2, "tool": None, "out": None}
    by_keyword = getattr(robot, method)(**{n: values[n] for n in reversed(names)})
    by_position = getattr(robot, method)(*(values[n] for n in names))
    flat = lambda r: r if isinstance(r, np.ndarray) else vec(r)
    assert np.array_equal(flat(by_keyword), flat(by_position))


Z7, Z6 = np.zeros(7), np.zeros(6)
BAD_Q, BAD_QD = [NAN] + [0] * 6, [0] * 6 + [INF]


@pytest.mark.parametrize("method, args, error, message", [
    ("forward_velocity_kinematics", (np.zeros(5), np.zeros(5), 1), ValueError, "expected 7 elements in q, found 5"),
    ("forward_velocity_kinematics", (np.zeros(5), Z7, 1), ValueError, "q and qd must have the same length"),
    ("forward_velocity_kinematics", (BAD_Q, Z6, 9), ValueError, "q and qd must have the same length"),
    ("forward_velocity_kinematics", (Z7, BAD_QD, 1), ValueError, "qd contains a non-finite value"),
    ("forward_velocity_kinematics", (BAD_Q, BAD_QD, 1), ValueError, "q contains a non-finite value"),
    ("forward_velocity_kinematics", (BAD_Q, Z7, 9, Pose([NAN] * 3)), ValueError, "invalid link id 9"),
    ("forward_velocity_kinematics", (Z7, Z6, 1, Pose([NAN] * 3)), ValueError, "q and qd must have the same length"),
    ("forward_velocity_kinematics", (Z7, Z6, 9, Twist()), TypeError, "tool"),
    ("forward_velocity_kinematics", (BAD_Q, Z7, 1, Twist()), TypeError, "tool"),
    ("forward_velocity_kinematics", (BAD_Q, Z7, 1, Pose(rotation_xyzw=[0] * 4)), ValueError,
     "pose contains non-finite values or a zero quaternion"),
    ("forward_velocity_kinematics", (Z7, Z7, 1, Pose([INF, 0, 0])), ValueError,
     "pose contains non-finite values or a zero quaternion"),
    ("forward_acceleration_kinematics", (Z7, Z7, Z6, 1), ValueError, "q and qdd must have the same length"),
    ("forward_acceleration_kinematics", (Z7, Z6, Z6, 1), ValueError, "q and qd must have the same length"),
    ("forward_acceleration_kinematics", (Z7, Z7, BAD_QD, 1), ValueError, "qdd contains a non-finite value"),
    ("forward_acceleration_kinematics", (Z7, BAD_QD, BAD_QD, 1), ValueError, "qd contains a non-finite value"),
    ("forward_acceleration_kinematics", (BAD_Q, Z7, Z7, 9), ValueError, "invalid link id 9"),
    ("jacobian_derivative", (Z7, Z6, 1), ValueError, "q and qd must have the same length"),
    ("jacobian_derivative", (Z7, BAD_QD, 1), ValueError, "qd contains a non-finite value"),
    ("jacobian_derivative", (np.zeros(5), np.zeros(5), 1), ValueError, "expected 7 elements in q, found 5"),
    ("jacobian_derivative", (Z7, Z7, 9), ValueError, "invalid link id 9"),
])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_argument_errors(arm_path, cls, method, args, error, message):
    call = getattr(cls(arm_path), method)
    with pytest.raises(error, match=exactly(message) if error is ValueError else None) as info:
        call(*((STATE,) if cls is FloatingRobot else ()), *args)
    assert message in str(info.value)


@pytest.mark.parametrize("method, args", [("forward_velocity_kinematics", (Z7, Z6, 9)),
                                          ("forward_acceleration_kinematics", (Z7, Z6, Z6, 9)),
                                          ("jacobian_derivative", (np.zeros(5), Z7, 9))])
def test_floating_base_is_checked_first(arm_path, method, args):
    base = BaseState(FRAME, STATE.velocity, Twist(linear=[0, 0, INF]))
    with pytest.raises(ValueError, match=exactly("invalid base acceleration: must contain only finite values")):
        getattr(FloatingRobot(arm_path), method)(base, *args)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_derivative_out(arm_path, cls):
    robot = cls(arm_path)
    lead = (STATE,) if cls is FloatingRobot else ()
    size = 6 * robot.generalized_count
    q, qd, _ = random_states(robot, 9, 1)[0]
    for args, message in [((BAD_Q, qd, 8), "q contains a non-finite value"),
                          ((q, BAD_QD, 8), "qd contains a non-finite value")]:
        out = np.full(size, -3.0)
        with pytest.raises(ValueError, match=exactly(message)):
            robot.jacobian_derivative(*lead, *args, out=out)
        assert np.all(out == -3.0)
    with pytest.raises(ValueError, match=exactly(f"out must contain exactly {size} elements")):
        robot.jacobian_derivative(*lead, q, qd, 8, out=np.zeros(size - 1))
    out = np.full(size, NAN)
    assert robot.jacobian_derivative(*lead, q, qd, 4, out=out) is out  # link 4: only some columns move
    assert np.array_equal(out, robot.jacobian_derivative(*lead, q, qd, 4))
