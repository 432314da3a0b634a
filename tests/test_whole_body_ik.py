"""Whole-body inverse kinematics on real robots: joints stay within their limits whatever the
target, reachable targets are reached, contacts stay where they are, and every step is the
solution of its QP as an independent active-set solver (DAQP through qpsolvers) finds it."""

import sysconfig
from pathlib import Path

import numpy as np
import pytest

from velkor import BaseState, CenterOfMassTask, ConstraintTask, Contact, FloatingRobot, Pose, PoseTask, Robot, Twist

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
ARMS = {"Panda": ("panda_description/urdf/panda.urdf", "panda_hand_tcp"),
        "UR5": ("ur_description/urdf/ur5_robot.urdf", "tool0")}
TALOS = "talos_data/robots/talos_full_v2.urdf"


def arm(name):
    file, tool = ARMS[name]
    robot = Robot(str(ROBOTS / file), mimic="independent")
    return robot, robot.link_id(tool)


def limits(robot):
    return np.asarray(robot.lower_limits), np.asarray(robot.upper_limits)


def in_limits(robot, rng, count, margin=0.0):
    lower, upper = limits(robot)
    lower, upper = np.maximum(lower, -np.pi), np.minimum(upper, np.pi)
    span = upper - lower
    return lower + margin * span + rng.random((count, lower.size)) * (1 - 2 * margin) * span


def pose_miss(robot, q, link, target):
    """Position and rotation-angle distance of the link's pose from the target."""
    got = robot.forward_kinematics(q, link)
    d = np.linalg.norm(np.subtract(got.translation, target.translation))
    a, b = np.asarray(got.rotation_xyzw), np.asarray(target.rotation_xyzw)
    chord = min(np.linalg.norm(a - b), np.linalg.norm(a + b))  # no arccos near 1: precise when small
    return d, 4 * np.arcsin(min(1.0, chord / 2))


@pytest.mark.parametrize("name", ARMS)
def test_reachable_targets_are_reached_and_limits_always_hold(name):
    robot, tool = arm(name)
    lower, upper = limits(robot)
    rng = np.random.default_rng(3)
    goals, starts = in_limits(robot, rng, 60, 0.05), in_limits(robot, rng, 60)
    reached = 0
    for goal, start in zip(goals, starts):
        target = robot.forward_kinematics(goal, tool)
        problem = robot.ik_problem([PoseTask(tool, target)])
        q, result = problem.solve(start, tolerance=1e-9, max_iterations=300, restarts=50, seed=1)
        assert np.all(q >= lower) and np.all(q <= upper)
        d, angle = pose_miss(robot, q, tool, target)
        if result.converged:
            assert d < 1e-8 and angle < 1e-8 and result.task_errors[0] <= 1e-9
            reached += 1
        # the same target far out of reach: no exception, the best within limits
        far = Pose(np.add(target.translation, (3.0, 0.0, 0.0)), target.rotation_xyzw)
        q_far, far_result = robot.ik_problem([PoseTask(tool, far)]).solve(start, max_iterations=30)
        assert not far_result.converged and np.all(q_far >= lower) and np.all(q_far <= upper)
    assert reached >= 59  # 99 % of 60 here; benchmarks/whole_body_ik.py counts 1,000


@pytest.mark.parametrize("dt", [None, 0.01])
def test_each_step_is_the_solution_of_its_qp(dt):
    """The step the solver takes against DAQP on the same QP, along a solve that meets bounds."""
    qpsolvers = pytest.importorskip("qpsolvers")
    robot, tool = arm("Panda")
    lower, upper = limits(robot)
    rng = np.random.default_rng(5)
    q = in_limits(robot, rng, 1)[0]
    target = Pose((0.6, 0.3, 0.2), (1.0, 0.0, 0.0, 0.0))
    problem = robot.ik_problem([PoseTask(tool, target, position_weight=2.0),
                                CenterOfMassTask((0.1, 0.0, 0.3), weight=0.1)], damping=1e-4,
                               posture=np.zeros(robot.joint_count), posture_weight=0.01)
    for _ in range(6):
        H, g, A, b, lo, hi, step = problem.step_qp(q, dt=dt)
        assert np.allclose(H, H.T, rtol=0, atol=1e-12)
        reference = qpsolvers.solve_qp(H, g, lb=np.maximum(lo, -1e10), ub=np.minimum(hi, 1e10), solver="daqp",
                                       eps_prox=0, primal_tol=1e-12, dual_tol=1e-12)
        assert np.max(np.abs(step - reference)) <= 1e-8 * max(1.0, np.max(np.abs(reference)))
        q = np.clip(q + step, lower, upper)


def test_talos_steps_with_contact_rows_are_the_solutions_of_their_qps():
    """Equality rows (both soles) and bounds on a floating base: each step against DAQP."""
    qpsolvers = pytest.importorskip("qpsolvers")
    robot = FloatingRobot(str(ROBOTS / TALOS), mimic="independent")
    lower, upper = limits(robot)
    base = BaseState(Pose((0.0, 0.0, 1.02), (0.0, 0.0, 0.0, 1.0)), Twist())
    q = np.clip(np.full(robot.joint_count, 0.3), lower, upper)
    feet = [robot.link_id("left_sole_link"), robot.link_id("right_sole_link")]
    held = robot.constraint_set([Contact(foot, "frame") for foot in feet])
    hand = robot.link_id("gripper_left_base_link")
    target = Pose(np.add(robot.forward_kinematics(base, q, hand).translation, (0.4, 0.3, 0.3)))
    problem = robot.ik_problem([ConstraintTask(held), PoseTask(hand, target, orientation_weight=0.0)])
    for dt in (None, 0.05):
        H, g, A, b, lo, hi, step = problem.step_qp(base, q, dt=dt)
        assert A.shape == (12, robot.generalized_count)
        reference = qpsolvers.solve_qp(H, g, A=A, b=b, lb=np.maximum(lo, -1e10), ub=np.minimum(hi, 1e10),
                                       solver="daqp", eps_prox=0, primal_tol=1e-12, dual_tol=1e-12)
        assert np.max(np.abs(step - reference)) <= 1e-8 * max(1.0, np.max(np.abs(reference)))
        assert np.any(np.isclose(step[6:], lo[6:])) or np.any(np.isclose(step[6:], hi[6:]))  # a bound holds


def test_talos_reaches_with_its_feet_held_and_its_centre_of_mass_over_them():
    robot = FloatingRobot(str(ROBOTS / TALOS), mimic="independent")
    lower, upper = limits(robot)
    base = BaseState(Pose((0.0, 0.0, 1.02), (0.0, 0.0, 0.0, 1.0)), Twist())
    q0 = np.clip(np.zeros(robot.joint_count), lower, upper)
    feet = [robot.link_id("left_sole_link"), robot.link_id("right_sole_link")]
    hand = robot.link_id("gripper_left_base_link")
    held = robot.constraint_set([Contact(foot, "frame") for foot in feet])
    before = [robot.forward_kinematics(base, q0, foot) for foot in feet]
    com0 = robot.center_of_mass(base, q0)
    over_feet = (np.mean([p.translation[0] for p in before]), np.mean([p.translation[1] for p in before]), com0[2])
    start = robot.forward_kinematics(base, q0, hand).translation
    for shift in [(0.2, 0.1, 0.1), (0.25, -0.1, 0.2), (0.1, 0.2, -0.1)]:
        target = Pose(np.add(start, shift), (0.0, 0.0, 0.0, 1.0))
        problem = robot.ik_problem([ConstraintTask(held), PoseTask(hand, target, orientation_weight=0.0),
                                    CenterOfMassTask(over_feet, weight=0.5)])
        moved, q, result = problem.solve(base, q0, max_iterations=60)
        assert np.all(q >= lower) and np.all(q <= upper)
        for foot, pose in zip(feet, before):
            now = robot.forward_kinematics(moved, q, foot)
            assert np.max(np.abs(np.subtract(now.translation, pose.translation))) < 1e-9
            assert abs(abs(float(np.dot(now.rotation_xyzw, pose.rotation_xyzw))) - 1.0) < 1e-15
        assert result.task_errors[0] < 1e-9


def test_contacts_that_cannot_hold_are_a_solver_error_naming_the_task():
    robot, tool = arm("UR5")
    q = np.zeros(robot.joint_count)
    here = robot.forward_kinematics(q, tool)
    away = Pose(np.add(here.translation, (5.0, 0.0, 0.0)), here.rotation_xyzw)
    problem = robot.ik_problem([PoseTask(tool, here), ConstraintTask(robot.constraint_set([Contact(tool, "frame",
                                                                                                   target=away)]))])
    from velkor import SolverError
    with pytest.raises(SolverError, match="task 1"):
        problem.solve(q)


def test_a_robot_placed_by_its_base_frame_reaches_world_targets():
    robot, tool = arm("UR5")
    robot.set_base_frame(Pose((0.3, -0.2, 0.5), (0.0, 0.0, 0.3826834, 0.9238795)))
    rng = np.random.default_rng(9)
    goal = in_limits(robot, rng, 1, 0.2)[0]
    target = robot.forward_kinematics(goal, tool)  # world: through the base frame
    q, result = robot.ik_problem([PoseTask(tool, target)]).solve(np.clip(goal + 0.2, *limits(robot)))
    assert result.converged and max(pose_miss(robot, q, tool, target)) < 1e-8
