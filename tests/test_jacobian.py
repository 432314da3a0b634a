"""Geometric Jacobians of Robot and FloatingRobot, checked against central differences of forward
kinematics and against hand-derived columns."""

import math
import re

import numpy as np
import pytest

from conftest import BRANCH_JOINTS, quat_from_rotvec, quat_matrix, quat_mul
from velkor import BaseState, FloatingRobot, Pose, Robot, Twist

NAN, INF = math.nan, math.inf
FRAME = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])  # not a unit quaternion
STATE = BaseState(FRAME, Twist([0.3, -0.1, 0.2], [1, 2, 3]), Twist([4, 5, 6], [7, 8, 9]))


def exactly(message):
    return f"^{re.escape(message)}$"


def as_matrix(flat):
    return flat.reshape(-1, 6).T


def jacobian(robot, q, target, frame=FRAME, out=None):
    if isinstance(robot, FloatingRobot):
        return as_matrix(robot.jacobian(BaseState(frame, STATE.velocity, STATE.acceleration), q, target, out))
    robot.set_base_frame(frame)
    return as_matrix(robot.jacobian(q, target, out))


def difference(pose_at, h=1e-6):
    """Angular and linear velocity of a pose path s -> pose_at(s) at s = 0, by central differences."""
    minus, zero, plus = pose_at(-h), pose_at(0.0), pose_at(h)
    rate = (quat_matrix(plus.rotation_xyzw) - quat_matrix(minus.rotation_xyzw)) / (2 * h)
    w = rate @ quat_matrix(zero.rotation_xyzw).T
    angular = 0.5 * np.array([w[2, 1] - w[1, 2], w[0, 2] - w[2, 0], w[1, 0] - w[0, 1]])
    linear = (np.array(plus.translation) - np.array(minus.translation)) / (2 * h)
    return np.concatenate([angular, linear])


def numeric_jacobian(robot, q, target, frame=FRAME):
    """Columns from perturbing the base pose (floating base only) and every joint position."""
    unit, columns = np.eye(max(len(q), 3)), [np.zeros((6, 0))]
    if isinstance(robot, FloatingRobot):
        pose = lambda f, x: robot.forward_kinematics(BaseState(frame=f), x, target)
        rotation, translation = np.array(frame.rotation_xyzw), np.array(frame.translation)
        rotation = rotation / np.linalg.norm(rotation)
        turned = lambda i, s: Pose(translation, quat_mul(quat_from_rotvec(s * unit[i, :3]), rotation))
        columns += [difference(lambda s: pose(turned(i, s), q)) for i in range(3)]
        columns += [difference(lambda s: pose(Pose(translation + s * unit[i, :3], rotation), q)) for i in range(3)]
    else:
        robot.set_base_frame(frame)
        pose = lambda f, x: robot.forward_kinematics(x, target)
    columns += [difference(lambda s: pose(frame, q + s * unit[i])) for i in range(len(q))]
    return np.column_stack(columns)


def dof_index(robot, joints):
    """DOF index of each named non-fixed joint: DOFs follow the link order of their child links."""
    moving = sorted((robot.link_id(j[3]), j[0]) for j in joints if j[1] != "fixed")
    return {name: i for i, (_, name) in enumerate(moving)}


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_matches_finite_differences_of_forward_kinematics(any_path, cls):
    robot = cls(any_path)
    rng = np.random.default_rng(11)
    for q in rng.uniform(-2.5, 2.5, (3, robot.joint_count)):
        for target in range(robot.link_count):
            analytic = jacobian(robot, q, target)
            assert analytic.shape == (6, robot.generalized_count)
            assert np.allclose(analytic, numeric_jacobian(robot, q, target), rtol=0, atol=1e-7)


def test_columns_off_the_path_are_exactly_zero(branch_path):
    robot = Robot(branch_path)
    dof = dof_index(robot, BRANCH_JOINTS)
    q = np.random.default_rng(5).uniform(-2, 2, robot.joint_count)
    on_path = {"g": {"j_a", "j_d", "j_f"}, "f": {"j_a", "j_d", "j_f"}, "d": {"j_a", "j_d"},
               "c": {"j_a"}, "a": {"j_a"}, "e": {"j_b", "j_e"}, "b": {"j_b"}, "root": set()}
    for link, joints in on_path.items():
        j = jacobian(robot, q, robot.link_id(link))
        for name, d in dof.items():
            assert np.any(j[:, d] != 0) == (name in joints), (link, name)
    # a prismatic column has no angular part; a revolute joint moves its own child's origin not at all
    assert np.all(jacobian(robot, q, robot.link_id("g"))[:3, dof["j_f"]] == 0)
    assert np.all(jacobian(robot, q, robot.link_id("e"))[:3, dof["j_b"]] == 0)
    assert np.all(jacobian(robot, q, robot.link_id("a"))[3:, dof["j_a"]] == 0)


@pytest.mark.parametrize("frame", [Pose(), FRAME])
def test_root_link(arm_path, frame):
    assert np.array_equal(jacobian(Robot(arm_path), np.ones(7), 0, frame), np.zeros((6, 7)))
    floating = jacobian(FloatingRobot(arm_path), np.ones(7), 0, frame)
    assert np.array_equal(floating, np.hstack([np.eye(6), np.zeros((6, 7))]))


@pytest.mark.parametrize("q, column", [(0.0, [0, 0, 1, 0, 1, 0]), (math.pi / 2, [0, 0, 1, -1, 0, 0])])
def test_lever_about_z(lever_path, q, column):
    result = jacobian(Robot(lever_path), [q], 2, Pose())
    assert np.allclose(result[:, 0], column, rtol=0, atol=1e-15)


def test_model_without_dofs(make_urdf):
    path = make_urdf(["p", "c"], [("weld", "fixed", "p", "c", (0.3, -0.2, 0.5), (0.1, 0.2, 0.3), (1, 0, 0))])
    assert Robot(path).jacobian([], 1).shape == (0,)
    result = jacobian(FloatingRobot(path), [], 1)
    p = quat_matrix(FRAME.rotation_xyzw) @ [0.3, -0.2, 0.5]
    linear = np.column_stack([np.cross(e, p) for e in np.eye(3)])
    assert np.allclose(result, np.block([[np.eye(3), np.zeros((3, 3))], [linear, np.eye(3)]]), atol=1e-15)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_base_translation_is_ignored_and_rotation_rotates_columns(branch_path, cls):
    robot = cls(branch_path)
    q = np.random.default_rng(2).uniform(-2, 2, robot.joint_count)
    target = robot.link_id("g")
    reference = jacobian(robot, q, target, Pose())
    moved = jacobian(robot, q, target, Pose([1e17, -3e16, 5e16]))
    assert np.allclose(moved, reference, rtol=0, atol=1e-14)
    rotated = jacobian(robot, q, target, Pose([1e17, -3e16, 5e16], FRAME.rotation_xyzw))
    r = quat_matrix(FRAME.rotation_xyzw)
    joints = slice(robot.generalized_count - robot.joint_count, None)
    assert np.allclose(rotated[:3, joints], r @ reference[:3, joints], rtol=0, atol=1e-14)
    assert np.allclose(rotated[3:, joints], r @ reference[3:, joints], rtol=0, atol=1e-14)


@pytest.mark.parametrize("q, target, size, error, message", [
    (np.zeros(5), 1, 42, ValueError, "expected 7 elements in q, found 5"),
    ([0, 0, NAN, 0, 0, 0, 0], 1, 42, ValueError, "q contains a non-finite value"),
    ([INF] * 7, 0, 42, ValueError, "q contains a non-finite value"),
    (np.zeros(7), 9, 42, ValueError, "invalid link id 9"),
    ([NAN] * 5, 9, 42, ValueError, "invalid link id 9"),
    ([NAN] * 5, 1, 41, ValueError, "out must contain exactly 42 elements"),
    (np.zeros(7), -1, 42, ValueError, "invalid link id -1"),
    (np.zeros(7), 1.0, 42, TypeError, "'target'"),
], ids=["short_q", "nan_q", "inf_q_root", "bad_target", "target_before_q", "out_before_q", "negative", "float"])
def test_robot_errors_leave_out_untouched(arm_path, q, target, size, error, message):
    out = np.full(size, -3.0)
    with pytest.raises(error, match=None if message in (None, "'target'") else exactly(message)) as info:
        Robot(arm_path).jacobian(q, target, out)
    assert message is None or message in str(info.value)
    assert np.all(out == -3.0)


@pytest.mark.parametrize("base, q, target, out, message", [
    (BaseState(acceleration=Twist([INF, 0, 0])), np.zeros(5), 9, None,
     "invalid base acceleration: must contain only finite values"),
    (BaseState(velocity=Twist(linear=[0, NAN, 0])), np.zeros(7), 1, None,
     "invalid base velocity: must contain only finite values"),
    (BaseState(frame=Pose(rotation_xyzw=[0, 0, 0, 0])), np.zeros(5), 9, None,
     "pose contains non-finite values or a zero quaternion"),
    (STATE, np.zeros(5), 1, None, "expected 7 elements in q, found 5"),
    (STATE, [NAN] * 7, 1, None, "q contains a non-finite value"),
    (STATE, np.zeros(7), 9, None, "invalid link id 9"),
    (STATE, np.zeros(7), 1, np.zeros(42), "out must contain exactly 78 elements"),
])
def test_floating_errors(arm_path, base, q, target, out, message):
    with pytest.raises(ValueError, match=exactly(message)):
        FloatingRobot(arm_path).jacobian(base, q, target, out)


def test_signatures():
    assert Robot.jacobian.__text_signature__ == "($self, q, target, out=None)"
    assert FloatingRobot.jacobian.__text_signature__ == "($self, base, q, target, out=None)"


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_out_is_returned_and_fully_overwritten(branch_path, cls):
    robot = cls(branch_path)
    q = np.random.default_rng(4).uniform(-2, 2, robot.joint_count)
    target = robot.link_id("e")  # most columns are zero
    expected = jacobian(robot, q, target)
    out = np.full(6 * robot.generalized_count, NAN)
    args = (BaseState(FRAME), q, target, out) if cls is FloatingRobot else (q, target, out)
    assert robot.jacobian(*args) is out
    assert np.array_equal(as_matrix(out), expected)
