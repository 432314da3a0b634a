"""Forward kinematics of Robot and FloatingRobot against an independent NumPy model."""

import math

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Pose, Robot, Twist

NAN, INF = math.nan, math.inf

# Joints in file order; links are numbered breadth-first, so the numbering differs from this order.
TREE = (
    ("root", ["a", "b", "c", "d", "e", "f"]),
    [
        ("j_d", "continuous", "c", "d", (0.05, 0.1, -0.2), (0.2, 0.4, -1.1), (0.3, -0.5, 0.8)),
        ("j_a", "revolute", "root", "a", (0.1, -0.2, 0.3), (0.3, -0.5, 0.7), (1, 2, 2)),
        ("j_c", "fixed", "a", "c", (0.0, 0.2, 0.1), (1.0, 0.0, 0.5), (0, 0, 1)),
        ("j_b", "prismatic", "root", "b", (-0.3, 0.1, 0.0), (0.0, 0.9, 0.0), (0.3, -0.4, 0)),
        ("j_e", "revolute", "b", "e", (0.2, 0.0, 0.0), (0.0, 0.0, 0.0), (0, 0, -3)),
        ("j_f", "prismatic", "d", "f", (0.0, 0.0, 0.4), (-0.6, 0.2, 0.3), (0, 1, 0)),
    ],
)
CHAIN = (
    ("l0", ["l1", "l2", "l3", "l4"]),
    [
        ("j0", "fixed", "l0", "l1", (0, 0, 0.5), (0, 0, 0.3), (1, 0, 0)),
        ("j1", "revolute", "l1", "l2", (0.1, 0, 0.2), (0.5, 0, 0), (0, 1, 0)),
        ("j2", "fixed", "l2", "l3", (0, 0.3, 0), (0, -0.4, 0), (1, 0, 0)),
        ("j3", "prismatic", "l3", "l4", (0, 0, 0.1), (0, 0, 0), (1, 0, 0)),
    ],
)
FORMS = (  # coordinate axes of either sign and an oblique one, origins turned and not
    ("root", ["a", "b", "c", "d", "e", "f", "g"]),
    [
        ("f1", "revolute", "root", "a", (0, 0, 0.1), (0, 0, 0), (1, 0, 0)),
        ("f2", "revolute", "a", "b", (0.1, 0, 0), (0, 0, 0), (0, -1, 0)),
        ("f3", "continuous", "b", "c", (0, 0.1, 0.2), (0.4, -0.3, 0.2), (0, 0, 1)),
        ("f4", "prismatic", "c", "d", (0.2, 0, 0), (0, 0, 0), (-1, 0, 0)),
        ("f5", "revolute", "d", "e", (0, 0, 0.1), (0, 0.6, 0), (0, 1, 0)),
        ("f6", "revolute", "e", "f", (0.1, 0.1, 0), (0, 0, 0), (0, 0, -1)),
        ("f7", "revolute", "c", "g", (0, 0.2, 0), (0, 0, 0), (0.6, 0, 0.8)),
    ],
)
BASE = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])  # not a unit quaternion


def rpy_matrix(r, p, y):
    cr, sr, cp, sp, cy, sy = np.cos(r), np.sin(r), np.cos(p), np.sin(p), np.cos(y), np.sin(y)
    return (np.array([[cy, -sy, 0], [sy, cy, 0], [0, 0, 1]])
            @ np.array([[cp, 0, sp], [0, 1, 0], [-sp, 0, cp]])
            @ np.array([[1, 0, 0], [0, cr, -sr], [0, sr, cr]]))


def axis_angle_matrix(unit_axis, angle):
    x, y, z = unit_axis
    k = np.array([[0, -z, y], [z, 0, -x], [-y, x, 0]])
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * (k @ k)


def quat_matrix(xyzw):
    x, y, z, w = xyzw
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def unit(v):
    v = np.asarray(v, float)
    return v / np.linalg.norm(v)


def reference(model, q, base):
    """Link names in breadth-first order and their world (R, t), composed with rotation matrices."""
    (root, _), joints = model
    order, via = [root], [None]
    for link in order:  # grows while iterating: breadth-first
        for j in joints:
            if j[2] == link:
                order.append(j[3])
                via.append(j)
    dof = [j[0] for j in via[1:] if j[1] != "fixed"]
    poses = {root: (quat_matrix(unit(base.rotation_xyzw)), np.array(base.translation))}
    for name, kind, parent, child, xyz, rpy, axis in via[1:]:
        r_parent, t_parent = poses[parent]
        r_joint, t_joint = rpy_matrix(*rpy), np.array(xyz, float)
        x = q[dof.index(name)] if name in dof else 0.0
        if kind in ("revolute", "continuous"):
            r_joint = r_joint @ axis_angle_matrix(unit(axis), x)
        elif kind == "prismatic":
            t_joint = t_joint + r_joint @ (unit(axis) * x)
        poses[child] = (r_parent @ r_joint, r_parent @ t_joint + t_parent)
    return order, [poses[name] for name in order]


def assert_pose(translation, xyzw, expected):
    rotation, position = expected
    assert np.allclose(translation, position, rtol=0, atol=1e-12)
    assert abs(np.linalg.norm(xyzw) - 1) < 1e-12
    assert np.allclose(quat_matrix(xyzw), rotation, rtol=0, atol=1e-12)


def load(make_urdf, model, cls):
    (root, others), joints = model
    return cls(make_urdf([root, *others], joints))


def compute(robot, q, base=BASE):
    """(all rows, single-link pose function) for either handle kind, with `base` as world frame."""
    if isinstance(robot, FloatingRobot):
        state = BaseState(frame=base)
        return (robot.forward_kinematics_all(state, q),
                lambda target: robot.forward_kinematics(state, q, target))
    if base is not None:  # else the frame a new Robot starts with
        robot.set_base_frame(base)
    return robot.forward_kinematics_all(q), lambda target: robot.forward_kinematics(q, target)


@pytest.mark.parametrize("model", [TREE, CHAIN, FORMS], ids=["tree", "chain_with_fixed_joints", "axis_forms"])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
@pytest.mark.parametrize("base", [BASE, Pose()], ids=["tilted_base", "identity_base"])
def test_matches_reference_model(make_urdf, model, cls, base):
    robot = load(make_urdf, model, cls)
    rng = np.random.default_rng(7)
    for _ in range(5):
        q = rng.uniform(-3, 3, robot.joint_count)
        rows, single = compute(robot, q, base)
        order, expected = reference(model, q, base)
        assert rows.shape == (7 * len(order),) and rows.dtype == np.float64
        for i, name in enumerate(order):
            assert robot.link_id(name) == i
            assert_pose(rows[7 * i:7 * i + 3], rows[7 * i + 3:7 * i + 7], expected[i])
            pose = single(i)
            assert type(pose) is Pose
            assert_pose(pose.translation, pose.rotation_xyzw, expected[i])
            assert np.allclose([*pose.translation, *pose.rotation_xyzw], rows[7 * i:7 * i + 7],
                               rtol=0, atol=1e-12)


def test_sample_arm_rows_agree_with_single_link_queries(arm_path):
    robot = Robot(arm_path)
    robot.set_base_frame(BASE)
    rng = np.random.default_rng(3)
    for q in rng.uniform(-math.pi, math.pi, (10, 7)):
        rows = robot.forward_kinematics_all(q).reshape(-1, 7)
        for i, row in enumerate(rows):
            pose = robot.forward_kinematics(q, i)
            assert np.allclose([*pose.translation, *pose.rotation_xyzw], row, rtol=0, atol=1e-12)
            assert abs(np.linalg.norm(row[3:]) - 1) < 1e-12


@pytest.mark.parametrize("frame", [None, BASE, Pose([1, 2, 3], [0, 0, 0, 2]), Pose([0, 0, 0], [1e-11, 0, 0, 0])])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_root_link_pose_is_the_normalised_base_frame(arm_path, cls, frame):
    rotation = (frame or Pose()).rotation_xyzw
    norm = math.sqrt(sum(x * x for x in rotation))
    expected = [*(frame or Pose()).translation, *(x / norm for x in rotation)]
    rows, single = compute(cls(arm_path), np.zeros(7), frame)
    assert rows[:7] == pytest.approx(expected, abs=1e-15)
    pose = single(0)
    assert [*pose.translation, *pose.rotation_xyzw] == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_single_link_model_gives_the_base_frame(make_urdf, cls):
    robot = cls(make_urdf(["only"], []))
    rows, single = compute(robot, [], Pose([1, -2, 3], [0, 0, 3, 4]))
    assert rows.tolist() == pytest.approx([1, -2, 3, 0, 0, 0.6, 0.8], abs=1e-15)
    assert single(0).rotation_xyzw == pytest.approx((0, 0, 0.6, 0.8), abs=1e-15)


@pytest.mark.parametrize("value", [NAN, INF, -INF])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_non_finite_q_is_reported_before_the_target_is_used(chain, cls, value):
    robot = cls(chain(["revolute"]))
    calls = [lambda: robot.forward_kinematics_all([value]), lambda: robot.forward_kinematics([value], 0)]
    if cls is FloatingRobot:
        calls = [lambda: robot.forward_kinematics_all(BaseState(), [value]),
                 lambda: robot.forward_kinematics(BaseState(), [value], 0)]
    for call in calls:
        with pytest.raises(ValueError, match=r"^q contains a non-finite value$"):
            call()


@pytest.mark.parametrize("model, length", [(None, 0), (None, 5), (None, 8), (CHAIN, 4)])
def test_q_length_is_checked_against_the_model(arm_path, make_urdf, model, length):
    path = arm_path if model is None else make_urdf([model[0][0], *model[0][1]], model[1])
    robot, floating = Robot(path), FloatingRobot(path)
    dofs = 2 if model else 7  # fixed joints take no coordinate
    message = rf"^expected {dofs} elements in q, found {length}$"
    for call in (lambda q: robot.forward_kinematics_all(q), lambda q: robot.forward_kinematics(q, 1),
                 lambda q: floating.forward_kinematics_all(BaseState(), q),
                 lambda q: floating.forward_kinematics(BaseState(), q, 1)):
        with pytest.raises(ValueError, match=message):
            call(np.zeros(length))


FINITE = "must contain only finite values"
BAD_POSE = "pose contains non-finite values or a zero quaternion"


@pytest.mark.parametrize("state, message", [
    (BaseState(acceleration=Twist([0, 0, INF], [0, 0, 0])), f"invalid base acceleration: {FINITE}"),
    (BaseState(velocity=Twist([0, 0, 0], [NAN, 0, 0])), f"invalid base velocity: {FINITE}"),
    (BaseState(frame=Pose(rotation_xyzw=[0, 0, 0, 0])), BAD_POSE),
    (BaseState(frame=Pose([NAN, 0, 0]), velocity=Twist([NAN, 0, 0], [0, 0, 0])), BAD_POSE),
])
def test_base_state_is_checked_before_q(arm_path, state, message):
    robot = FloatingRobot(arm_path)
    for q in (np.zeros(7), np.zeros(5), np.zeros((2, 3))):  # q and out are looked at later
        with pytest.raises(ValueError) as info:
            robot.forward_kinematics(state, q, 99)
        assert str(info.value) == message
        with pytest.raises(ValueError) as info:
            robot.forward_kinematics_all(state, q, np.zeros(3, np.float32))
        assert str(info.value) == message


def test_floating_base_argument_must_be_a_base_state(arm_path):
    robot = FloatingRobot(arm_path)
    for call in (lambda: robot.forward_kinematics(Pose(), np.zeros(7), 0),
                 lambda: robot.forward_kinematics_all(None, np.zeros(7))):
        with pytest.raises(TypeError, match="'base'"):
            call()
