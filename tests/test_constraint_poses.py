"""constraint_poses: the world pose of every constraint side, against the link poses of
forward_kinematics_all composed with the items' offsets in Python, on a fixed base placed away from
the world origin, a floating base and a model whose mimic joints are coupled; single calls and
batches. Argument checks and out= are those of the other constraint methods (test_constraint_api)."""

from pathlib import Path

import numpy as np
import pytest

from velkor import BaseState, Contact, FloatingRobot, LoopClosure, Pose, Robot, Twist
from velkor.samples import sample_path

OFFSET = Pose([0.02, -0.01, 0.05], [0.1, -0.2, 0.3, 0.9])
OTHER = Pose([-0.03, 0.04, 0.0], [0.0, 0.6, 0.0, 0.8])
BASE = BaseState(Pose([0.3, -0.2, 0.5], [0.2, 0.1, -0.3, 0.9]), Twist([0.1, 0.2, 0.3], [1.0, 0.0, 0.0]))
HAND = str(Path(__file__).parent / "data" / "coupled_hand.urdf")


def make(robot_kind):
    """(robot, lead arguments, two links far apart, a link on a fixed joint or the last one)."""
    if robot_kind == "fixed":
        robot = Robot(sample_path("arm"))
        robot.set_base_frame(Pose([0.1, 0.2, -0.3], [0.0, 0.0, 0.38, 0.92]))
        return robot, (), robot.link_id("tool"), robot.link_id("elbow")
    if robot_kind == "floating":
        robot = FloatingRobot(sample_path("quadruped"))
        return robot, (BASE,), robot.link_id("front_left_foot"), robot.link_id("hind_right_shank")
    robot = Robot(HAND, mimic="couple")  # q: the free coordinates
    return robot, (), robot.link_id("pad"), robot.link_id("thumb_tip")


# (name, items of links (a, b), expected sides as (link index in (a, b), offset))
ITEMS = {
    "contact": (lambda a, b: [Contact(a, offset=OFFSET, target=Pose([1.0, 2.0, 3.0]))], [(0, OFFSET)]),
    "frame contact": (lambda a, b: [Contact(b, "frame")], [(1, None)]),
    "loop closure": (lambda a, b: [LoopClosure(a, b, offset_a=OFFSET, offset_b=OTHER)], [(0, OFFSET), (1, OTHER)]),
    "frame loop and contacts": (
        lambda a, b: [Contact(b), LoopClosure(b, a, "frame", offset_b=OFFSET), Contact(a, "frame", OTHER)],
        [(1, None), (1, None), (0, OFFSET), (0, OTHER)]),
}


def expected_poses(robot, lead, q, links, sides):
    """The sides' world poses from the link poses forward_kinematics_all gives, offsets applied here."""
    rows = robot.forward_kinematics_all(*lead, q).reshape(-1, 7)
    poses = []
    for which, offset in sides:
        link = Pose(rows[links[which], :3], rows[links[which], 3:])
        poses.append(link @ offset if offset is not None else link)
    return poses


def assert_same_poses(rows, poses):
    rows = np.asarray(rows).reshape(-1, 7)
    assert len(rows) == len(poses)
    for row, pose in zip(rows, poses):
        np.testing.assert_allclose(row[:3], pose.translation, rtol=0, atol=1e-12)
        assert abs(np.linalg.norm(row[3:]) - 1.0) < 1e-14
        # q and -q are one rotation: compare the matrices
        np.testing.assert_allclose(Pose(row[:3], row[3:]).rotation_matrix, pose.rotation_matrix, rtol=0, atol=1e-12)


@pytest.mark.parametrize("robot_kind", ["fixed", "floating", "coupled"])
@pytest.mark.parametrize("name", ITEMS)
def test_each_side_is_its_link_pose_composed_with_its_offset(robot_kind, name):
    robot, lead, a, b = make(robot_kind)
    items, sides = ITEMS[name]
    constraints = robot.constraint_set(items(a, b))
    rng = np.random.default_rng(4)
    for _ in range(3):
        q = robot.random_configuration(rng)
        result = robot.constraint_poses(*lead, q, constraints)
        assert result.shape == (7 * len(sides),) and result.dtype == np.float64
        assert_same_poses(result, expected_poses(robot, lead, q, (a, b), sides))


@pytest.mark.parametrize("robot_kind", ["fixed", "floating", "coupled"])
def test_batch_rows_are_the_single_calls_and_the_link_poses(robot_kind):
    robot, lead, a, b = make(robot_kind)
    items, sides = ITEMS["frame loop and contacts"]
    constraints = robot.constraint_set(items(a, b))
    rng = np.random.default_rng(5)
    rows = 4
    Q = np.array([robot.random_configuration(rng) for _ in range(rows)])
    bases = [BaseState(Pose([0.1 * i, 0.0, 0.4], [0.0, 0.1 * i, 0.0, 1.0])) for i in range(rows)]
    batch_lead = (bases,) if lead else ()
    out = np.full((rows, 7 * len(sides)), np.nan)
    assert robot.batch(2).constraint_poses(*batch_lead, Q, constraints, out=out) is out
    for i in range(rows):
        single_lead = (bases[i],) if lead else ()
        assert out[i].tobytes() == robot.constraint_poses(*single_lead, Q[i], constraints).tobytes()
        assert_same_poses(out[i], expected_poses(robot, single_lead, Q[i], (a, b), sides))


def test_a_contact_target_and_the_base_motion_do_not_move_a_side():
    # the target is where a contact should be, not a side; a pose depends on positions only
    robot, lead, a, _ = make("floating")
    q = robot.neutral_configuration()
    held = robot.constraint_poses(*lead, q, robot.constraint_set([Contact(a, offset=OFFSET)]))
    aimed = robot.constraint_poses(*lead, q, robot.constraint_set([Contact(a, offset=OFFSET, target=OTHER)]))
    still = robot.constraint_poses(BaseState(BASE.frame), q, robot.constraint_set([Contact(a, offset=OFFSET)]))
    assert held.tobytes() == aimed.tobytes() == still.tobytes()
    assert robot.constraint_poses(*lead, q, robot.constraint_set([])).shape == (0,)
