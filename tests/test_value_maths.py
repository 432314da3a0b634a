"""Pose composition, inversion, matrix conversion and point mapping, checked
against transforms built independently with NumPy; reprs of the value classes."""

import math

import numpy as np
import pytest

import velkor
from velkor import BaseState, IkOptions, Load, Pose, Twist

NAN, INF = math.nan, math.inf


def rodrigues(axis, angle):
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + math.sin(angle) * cross + (1 - math.cos(angle)) * cross @ cross


def quaternion_matrix(q):
    x, y, z, w = np.asarray(q, float) / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def homogeneous(rotation, translation):
    m = np.eye(4)
    m[:3, :3], m[:3, 3] = rotation, translation
    return m


# (axis, angle, translation): identity, small, generic, half turns (trace -1)
CASES = [
    ((0, 0, 1), 0.0, (0, 0, 0)),
    ((1, 2, 3), 1e-9, (0.5, -1, 2)),
    ((1, -2, 0.5), 2.1, (1, 2, 3)),
    ((0, 1, 0), math.pi, (-3, 0, 1)),
    ((1, 1, 1e-3), math.pi, (0, 0, 0)),
    ((-1, 0.3, 2), -0.7, (10, -20, 0.25)),
]


def pose_and_matrix(axis, angle, translation, scale=1.0):
    """A Pose from an axis-angle quaternion (optionally not of unit norm) and its 4x4 matrix."""
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    q = scale * np.append(math.sin(angle / 2) * k, math.cos(angle / 2))
    return Pose(translation, q), homogeneous(rodrigues(axis, angle), translation)


@pytest.mark.parametrize("first", CASES)
@pytest.mark.parametrize("second", CASES[2:5])
def test_composition_and_inverse_match_matrices(first, second):
    a, ma = pose_and_matrix(*first, scale=3.0)  # stored unnormalised; used normalised
    b, mb = pose_and_matrix(*second)
    np.testing.assert_allclose(a.as_matrix(), ma, rtol=0, atol=1e-14)
    ab = a @ b
    assert np.linalg.norm(ab.rotation_xyzw) == pytest.approx(1.0, abs=1e-15)
    np.testing.assert_allclose(ab.rotation_matrix, ma[:3, :3] @ mb[:3, :3], rtol=0, atol=2e-15)
    np.testing.assert_allclose(ab.as_matrix(), ma @ mb, rtol=0, atol=1e-13)
    np.testing.assert_allclose(a.inverse().as_matrix(), np.linalg.inv(ma), rtol=0, atol=1e-13)
    assert b.inverse().inverse().as_matrix() == pytest.approx(mb, abs=1e-14)


def test_associativity_and_inverse_identity():
    rng = np.random.default_rng(7)
    poses = [Pose(rng.normal(size=3), rng.normal(size=4)) for _ in range(6)]
    for a, b, c in zip(poses, poses[1:], poses[2:]):
        np.testing.assert_allclose(((a @ b) @ c).as_matrix(), (a @ (b @ c)).as_matrix(), atol=1e-14)
        for identity in (a @ a.inverse(), a.inverse() @ a):
            np.testing.assert_allclose(identity.as_matrix(), np.eye(4), atol=1e-14)


@pytest.mark.parametrize("case", CASES)
def test_from_matrix_recovers_the_rotation(case):
    m = homogeneous(rodrigues(case[0], case[1]), case[2])
    pose = Pose.from_matrix(m)
    q = np.array(pose.rotation_xyzw)
    assert np.linalg.norm(q) == pytest.approx(1.0, abs=1e-15) and q[3] >= 0
    np.testing.assert_allclose(quaternion_matrix(q), m[:3, :3], rtol=0, atol=1e-15)
    assert pose.translation == tuple(m[:3, 3])
    np.testing.assert_allclose(Pose.from_matrix(pose.as_matrix()).as_matrix(), m, atol=1e-15)


def test_from_matrix_accepts_array_likes_within_tolerance():
    assert Pose.from_matrix(np.eye(4, dtype=int).tolist()) == Pose()
    near = np.eye(4)
    near[3, 2], near[0, 1] = 1e-13, 1e-11
    np.testing.assert_allclose(Pose.from_matrix(near).rotation_matrix, np.eye(3), atol=1e-11)


def bad(update):
    m = homogeneous(rodrigues((1, 2, 3), 0.4), (1, 2, 3))
    update(m)
    return m


@pytest.mark.parametrize("matrix, message", [
    (bad(lambda m: m.__setitem__((slice(None, 3), 0), 1.001 * m[:3, 0])), "not orthonormal"),
    (bad(lambda m: m.__setitem__((0, 1), m[0, 1] + 1e-6)), "not orthonormal"),
    (np.diag([1.0, 1.0, -1.0, 1.0]), "reflection"),
    (-np.eye(4) + np.diag([0, 0, 0, 2.0]), "reflection"),
    (bad(lambda m: m.__setitem__((3, 0), 1e-9)), "bottom row"),
    (bad(lambda m: m.__setitem__((3, 3), 2.0)), "bottom row"),
    (bad(lambda m: m.__setitem__((1, 3), NAN)), "non-finite"),
    (bad(lambda m: m.__setitem__((2, 2), INF)), "non-finite"),
])
def test_from_matrix_rejects_non_rigid_matrices(matrix, message):
    with pytest.raises(ValueError, match=f"^matrix is not a rigid transform: .*{message}"):
        Pose.from_matrix(matrix)


@pytest.mark.parametrize("points", [
    [0.5, -1, 2],
    np.arange(12.0).reshape(4, 3),
    np.arange(12, dtype=np.int32).reshape(3, 4)[:, :3],  # strided integers
    np.asfortranarray(np.arange(6.0).reshape(2, 3)),
    np.zeros((0, 3)),
])
def test_transform_points(points):
    pose, m = pose_and_matrix((1, -2, 0.5), 2.1, (1, 2, 3))
    p = np.asarray(points, float)
    expected = (np.atleast_2d(p) @ m[:3, :3].T + m[:3, 3]).reshape(p.shape)
    result = pose.transform_points(points)
    assert result.dtype == np.float64 and result.shape == p.shape
    np.testing.assert_allclose(result, expected, rtol=0, atol=1e-14)


@pytest.mark.parametrize("call, name", [(Pose.from_matrix, "matrix"),
                                        (Pose().transform_points, "points")])
@pytest.mark.parametrize("value, error", [
    (np.zeros((3, 2)), ValueError), (np.zeros((2, 3, 1)), ValueError), (np.ones(16), ValueError),
    (5.0, ValueError), ([[1, 0], [0]], ValueError), (None, TypeError), ("abcd", TypeError),
    ([[0, 0, "1"]], TypeError), (np.zeros((4, 4), dtype=complex), TypeError),
])
def test_array_argument_errors(call, name, value, error):
    with pytest.raises(error, match=f"'?{name}'?"):
        call(value)


@pytest.mark.parametrize("operation", [
    lambda p: p @ Pose(), lambda p: Pose() @ p, lambda p: p.inverse(), lambda p: p.as_matrix(),
    lambda p: p.rotation_matrix, lambda p: p.transform_points([0, 0, 0]),
])
def test_unacceptable_poses_are_value_errors(operation):
    for pose in (Pose(rotation_xyzw=[0, 0, 0, 0]), Pose(translation=[NAN, 0, 0])):
        with pytest.raises(ValueError, match="non-finite values or a zero quaternion"):
            operation(pose)


@pytest.mark.parametrize("other", [3, Twist(), BaseState(), None, [0, 0, 1]])
def test_matmul_with_other_operands_is_a_type_error(other):
    with pytest.raises(TypeError):
        Pose() @ other
    with pytest.raises(TypeError):
        other @ Pose()


AWKWARD = (0.1, -0.0, 1 / 3, 1e-300, 2.0**60)
VALUES = [
    Pose((1.0, 2.0, 3.0), (0.0, 0.0, 0.6, 0.8)),
    Pose(AWKWARD[:3], (*AWKWARD[2:], 7)),
    Twist(AWKWARD[:3], AWKWARD[2:]),
    BaseState(Pose(AWKWARD[2:]), Twist(linear=AWKWARD[:3]), Twist(angular=(5e-324, -1, 1e22))),
    Load(3, torque=AWKWARD[:3]),
    Load(2**63, force=AWKWARD[2:]),
    IkOptions(),
    IkOptions(max_iterations=7, translation_tolerance=0.1, damping=1e-300),
]


@pytest.mark.parametrize("value", VALUES)
def test_reprs_round_trip(value):
    text = repr(value)
    assert text.startswith(f"velkor.{type(value).__name__}(")
    assert eval(text, {"velkor": velkor}) == value


def test_repr_text_and_non_finite_numbers():
    assert repr(VALUES[0]) == ("velkor.Pose(translation=(1.0, 2.0, 3.0), "
                               "rotation_xyzw=(0.0, 0.0, 0.6, 0.8))")
    assert repr(IkOptions()) == ("velkor.IkOptions(max_iterations=100, translation_tolerance=1e-06, "
                                 "rotation_tolerance=1e-06, damping=0.001, max_step_norm=0.5)")
    twist = Twist((NAN, INF, -INF))
    assert repr(twist).startswith("velkor.Twist(angular=(float('nan'), float('inf'), -float('inf'))")
    assert repr(eval(repr(twist), {"velkor": velkor})) == repr(twist)
