"""Whole-body inverse kinematics on real robots: joints stay within their limits whatever the
target, reachable targets are reached, contacts stay where they are, and every step is the
solution of its QP as an independent active-set solver (DAQP through qpsolvers) finds it."""

import sysconfig
from pathlib import Path

import numpy as np
import pytest

from conftest import rotation_log
from velkor import (
    BaseState,
    CenterOfMassTask,
    ConstraintTask,
    Contact,
    FloatingRobot,
    LoopClosure,
    Pose,
    PoseTask,
    Robot,
    Twist,
    as_matrix,
)
from velkor.samples import sample_path

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


def test_more_contact_rows_than_joints_hold_the_arm_still():
    """The sample arm's flange held as a frame and its elbow as a point: 9 rows of rank 7, so no step
    moves a joint, whatever the pose task asks."""
    robot = Robot(sample_path("arm"))
    q = np.clip(np.full(robot.joint_count, 0.3), *limits(robot))
    held = robot.constraint_set([Contact(robot.link_id("flange"), "frame"), Contact(robot.link_id("elbow"))])
    problem = robot.ik_problem([PoseTask(robot.link_id("tool"), Pose([0.3, 0.2, 0.3])), ConstraintTask(held)])
    H, g, A, b, lower, upper, step = problem.step_qp(q)
    assert A.shape == (9, 7) and np.linalg.matrix_rank(A) == 7
    np.testing.assert_allclose(step, 0.0, atol=1e-12)
    solved, result = problem.solve(q, restarts=0, max_iterations=5)
    assert not result.converged and result.task_errors[1] < 1e-12
    np.testing.assert_allclose(solved, q, atol=1e-12)


def test_a_robot_placed_by_its_base_frame_reaches_world_targets():
    robot, tool = arm("UR5")
    robot.set_base_frame(Pose((0.3, -0.2, 0.5), (0.0, 0.0, 0.3826834, 0.9238795)))
    rng = np.random.default_rng(9)
    goal = in_limits(robot, rng, 1, 0.2)[0]
    target = robot.forward_kinematics(goal, tool)  # world: through the base frame
    q, result = robot.ik_problem([PoseTask(tool, target)]).solve(np.clip(goal + 0.2, *limits(robot)))
    assert result.converged and max(pose_miss(robot, q, tool, target)) < 1e-8


# -- the defaults ---------------------------------------------------------------------------

IK_ARMS = {**ARMS, "iiwa": (Path(sysconfig.get_paths()["purelib"]) / "pybullet_data/kuka_iiwa/model.urdf",
                            "lbr_iiwa_link_7")}


@pytest.mark.parametrize("name", IK_ARMS)
def test_the_defaults_reach_reachable_targets_from_the_neutral_configuration(name):
    """solve(neutral) with its default restarts (seed 0): 99 % of 200 reachable targets. The time
    budget is lifted so that only the restart count bounds the solve and the count never depends
    on the machine's speed; the results then match the default call whenever the budget was not
    what stopped it."""
    file, link = IK_ARMS[name]
    path = Path(file) if Path(file).is_absolute() else ROBOTS / file
    if not path.exists():
        pytest.skip(f"{path} is not installed" + (" (PyPI package 'pybullet')" if name == "iiwa" else ""))
    robot = Robot(str(path), mimic="independent")
    tool = robot.link_id(link)
    lower, upper = limits(robot)
    q0 = robot.neutral_configuration()
    rng = np.random.default_rng(15)
    reached = 0
    for goal in in_limits(robot, rng, 200, 0.02):
        target = robot.forward_kinematics(goal, tool)
        problem = robot.ik_problem([PoseTask(tool, target)])
        q, result = problem.solve(q0, time_budget=None)
        assert np.all(q >= lower) and np.all(q <= upper) and not result.out_of_time
        if result.converged:
            assert max(pose_miss(robot, q, tool, target)) < 1e-8
            reached += 1
    assert reached >= 198


def test_restarts_0_is_the_purely_local_solve_and_restarts_follow_the_seed():
    robot, tool = arm("UR5")
    rng = np.random.default_rng(16)
    q0 = robot.neutral_configuration()
    stuck = None
    for goal in in_limits(robot, rng, 200, 0.02):  # a target the local solve misses from q0
        problem = robot.ik_problem([PoseTask(tool, robot.forward_kinematics(goal, tool))])
        q, local = problem.solve(q0, restarts=0)
        if not local.converged:
            stuck = problem
            break
    assert stuck is not None and local.restarts == 0 and not local.out_of_time
    # with dt, a step moves from where the robot is: no restart unless asked for
    assert stuck.solve(q0, dt=0.05, time_budget=None)[1].restarts == 0
    assert stuck.solve(q0, dt=0.05, restarts=2, time_budget=None)[1].restarts >= 1
    q1, first = stuck.solve(q0, seed=3, time_budget=None)
    q2, second = stuck.solve(q0, seed=3, time_budget=None)
    assert first.converged and first.restarts >= 1 and first == second and np.array_equal(q1, q2)
    # a budget that runs out at once: no restart runs, the solve ends where the first attempt
    # stalls, with that attempt's best, the same every time
    q3, cut = stuck.solve(q0, time_budget=0.0)
    assert cut.out_of_time and cut.restarts == 0 and not cut.converged
    assert cut.iterations <= local.iterations and cut == stuck.solve(q0, time_budget=0.0)[1]


# -- coupled robots -------------------------------------------------------------------------

HAND = Path(__file__).parent / "data" / "coupled_hand.urdf"


def coupled_pair(path, kind=Robot):
    """The file with its mimic joints following their leaders, the same file with them independent,
    and the coupling map q_full = G q + b between them."""
    from test_coupled_mimic import coupling_map

    coupled, independent = kind(str(path), mimic="couple"), kind(str(path), mimic="independent")
    G, b = coupling_map(coupled, independent)
    return coupled, independent, G, b


def coupled_bounds(lower, upper, G, b):
    """Each free coordinate's bounds: its joint's and every follower's limits mapped through q_f = m·q + o."""
    lo, hi = np.full(G.shape[1], -np.inf), np.full(G.shape[1], np.inf)
    for d, row in enumerate(G):
        if not row.any():
            continue  # a multiplier of 0: the follower sits at its offset
        g = int(np.flatnonzero(row)[0])
        a, z = sorted(((lower[d] - b[d]) / row[g], (upper[d] - b[d]) / row[g]))
        lo[g], hi[g] = max(lo[g], a), min(hi[g], z)
    return lo, hi


def test_a_coupled_robot_reaches_in_its_free_coordinates_and_keeps_every_joint_within_its_limits():
    """Targets the coupled hand reaches at random free configurations: solved in the free
    coordinates, and the independent model at q_full = G q + b puts the link on the target with
    every joint, followers included, within the limits."""
    coupled, independent, G, b = coupled_pair(HAND)
    lower, upper = limits(independent)
    lo, hi = coupled_bounds(lower, upper, G, b)
    link = coupled.link_id("distal")
    rng = np.random.default_rng(14)
    reached = 0
    for _ in range(20):
        low, high = np.clip(lo, -np.pi, np.pi), np.clip(hi, -np.pi, np.pi)
        goal = low + rng.random(lo.size) * (high - low)
        target = independent.forward_kinematics(G @ goal + b, link)
        q, result = coupled.ik_problem([PoseTask(link, target, orientation_weight=0.5)]).solve(
            coupled.neutral_configuration(), time_budget=None)
        assert q.shape == (coupled.joint_count,) and np.all(q >= lo) and np.all(q <= hi)
        full = G @ q + b
        assert np.all(full >= lower - 1e-15) and np.all(full <= upper + 1e-15)
        if result.converged:
            reached += 1
            assert max(pose_miss(independent, full, link, target)) < 1e-8
    assert reached >= 19


def test_a_followers_limits_bound_its_leader():
    """left_finger may go to -1, but right_finger = -left_finger + 0.1 stops at 1, so the coupled
    left finger stops at -0.9: the target is out of reach, and the bound held the last step."""
    coupled, independent, G, b = coupled_pair(HAND)
    finger = coupled.link_id("left")
    q = coupled.neutral_configuration()
    far = q.copy()
    far[list(coupled.dof_names).index("left_finger")] = -1.0
    target = coupled.forward_kinematics(far, finger)
    q, result = coupled.ik_problem([PoseTask(finger, target)]).solve(q, restarts=0)
    assert not result.converged and result.limited
    assert q[list(coupled.dof_names).index("left_finger")] == pytest.approx(-0.9, abs=1e-12)
    assert np.all(G @ q + b <= np.asarray(independent.upper_limits) + 1e-15)


def test_a_coupled_step_is_the_qp_of_the_contracted_jacobian():
    """H = 2·(J G)ᵀ(J G) + 2·(λ + E/10)·I with J the independent model's Jacobian at q_full and E the
    task cost: the coupled step's QP built from the other model."""
    coupled, independent, G, b = coupled_pair(HAND)
    link = coupled.link_id("pad")
    q = np.clip(np.full(coupled.joint_count, 0.3), *limits(coupled))
    target = Pose(np.add(coupled.forward_kinematics(q, link).translation, (0.01, -0.02, 0.005)))
    problem = coupled.ik_problem([PoseTask(link, target, orientation_weight=0.0)], damping=1e-3)
    H, g, A, bb, lo, hi, step = problem.step_qp(q)
    J = as_matrix(independent.jacobian(G @ q + b, link), 6)[3:] @ G
    d, _ = pose_miss(independent, G @ q + b, link, target)
    expected = 2 * J.T @ J + 2 * (1e-3 + d**2 / 10) * np.eye(coupled.joint_count)
    assert np.allclose(H, expected, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("name", ["panda", "talos"])
def test_coupled_collection_robots_take_whole_body_problems(name):
    """The Panda with its gripper and Talos loaded with mimic="couple": the arm reaching agrees with
    the independent model whose follower sits where its leader puts it (the gripper does not move
    the tool), and a finger target reached through the coupling."""
    from test_coupled_mimic import FILES

    path = ROBOTS / FILES[name][0]
    if not path.exists():
        pytest.skip(f"{path} is not installed")
    coupled, independent, G, b = coupled_pair(path)
    assert coupled.ik_problem([]).solve(coupled.neutral_configuration())[1].converged
    if name != "panda":
        talos_coupled_reach(path)
        return
    tool, finger = coupled.link_id("panda_hand_tcp"), coupled.link_id("panda_rightfinger")
    rng = np.random.default_rng(24)
    lower, upper = limits(coupled)
    for goal in in_limits(coupled, rng, 5, 0.05):
        start = np.clip(goal + rng.uniform(-0.2, 0.2, goal.size), lower, upper)
        target = coupled.forward_kinematics(goal, tool)
        q, result = coupled.ik_problem([PoseTask(tool, target)]).solve(start, restarts=0)
        q_ind, result_ind = independent.ik_problem([PoseTask(tool, target)]).solve(G @ start + b, restarts=0)
        assert result.converged and result_ind.converged and result.iterations == result_ind.iterations
        assert np.allclose(G @ q + b, q_ind, rtol=0, atol=1e-12)
        # the right finger moves only through its leader
        reach = coupled.forward_kinematics(goal, finger)
        q, result = coupled.ik_problem([PoseTask(finger, reach)]).solve(start, time_budget=None)
        assert result.converged and max(pose_miss(independent, G @ q + b, finger, reach)) < 1e-8


def talos_coupled_reach(path):
    """Floating Talos, coupled: both soles held and the hand reaching; the same iterations as the
    independent model started with its followers where their leaders put them (its grippers move
    nothing these tasks see)."""
    coupled, independent, G, b = coupled_pair(path, FloatingRobot)
    base = BaseState(Pose((0.0, 0.0, 1.02), (0.0, 0.0, 0.0, 1.0)), Twist())
    q0 = np.clip(np.zeros(coupled.joint_count), *limits(coupled))
    hand = coupled.link_id("gripper_left_base_link")
    feet = ["left_sole_link", "right_sole_link"]
    start = coupled.forward_kinematics(base, q0, hand).translation
    target = Pose(np.add(start, (0.2, 0.1, 0.1)))
    solved = []
    for robot, q in ((coupled, q0), (independent, G @ q0 + b)):
        held = robot.constraint_set([Contact(robot.link_id(foot), "frame") for foot in feet])
        problem = robot.ik_problem([ConstraintTask(held), PoseTask(hand, target, orientation_weight=0.0)])
        solved.append(problem.solve(base, q, max_iterations=60, restarts=0))
    (moved, q, result), (moved_ind, q_ind, result_ind) = solved
    assert result.converged and result_ind.converged and result.iterations == result_ind.iterations
    assert np.allclose(G @ q + b, q_ind, rtol=0, atol=1e-9)
    assert np.allclose(moved.frame.translation, moved_ind.frame.translation, rtol=0, atol=1e-9)
    full = G @ q + b
    assert np.all(full >= independent.lower_limits) and np.all(full <= independent.upper_limits)


def test_restarts_with_contacts_end_attempts_their_rows_cannot_meet_and_return_a_holding_configuration():
    """Talos's hand sent out of reach with both soles held: the restarts jump the joints away from
    the contacts' references; an attempt whose rows no step can meet ends (no SolverError), and the
    configuration returned is one whose soles hold."""
    robot = FloatingRobot(str(ROBOTS / TALOS), mimic="independent")
    base = BaseState(Pose((0.0, 0.0, 1.02), (0.0, 0.0, 0.0, 1.0)), Twist())
    q0 = np.clip(np.zeros(robot.joint_count), *limits(robot))
    feet = [robot.link_id("left_sole_link"), robot.link_id("right_sole_link")]
    before = [robot.forward_kinematics(base, q0, foot) for foot in feet]
    held = robot.constraint_set([Contact(foot, "frame") for foot in feet])
    hand = robot.link_id("gripper_left_base_link")
    far = Pose(np.add(robot.forward_kinematics(base, q0, hand).translation, (3.0, 0.0, 0.0)))
    problem = robot.ik_problem([ConstraintTask(held), PoseTask(hand, far, orientation_weight=0.0)])
    moved, q, result = problem.solve(base, q0, max_iterations=200, restarts=8, time_budget=None)
    assert not result.converged and result.restarts == 8 and result.task_errors[0] <= 1e-10
    for foot, pose in zip(feet, before):
        now = robot.forward_kinematics(moved, q, foot)
        assert np.max(np.abs(np.subtract(now.translation, pose.translation))) < 1e-9


@pytest.mark.parametrize("weight", [1.0, 1e6, 1e40, 1e100])
def test_large_weights_solve_as_weight_1_does(weight):
    """Scaling the weights scales the steps' costs alike, so the sample arm reaches a target its
    bounds get in the way of with any usable weight. The QP solver's tests of what is zero once
    failed weights from 1e5 ("task 1 cannot be met", naming no task)."""
    from velkor.samples import sample_path

    robot = Robot(sample_path("arm"))
    link = robot.link_count - 1
    target = robot.forward_kinematics(np.full(robot.joint_count, 0.3), link)
    q, result = robot.ik_problem([PoseTask(link, target, weight=weight)]).solve(
        robot.neutral_configuration(), time_budget=None)
    assert result.converged and max(pose_miss(robot, q, link, target)) < 1e-8


def rotation_vector(R):
    """log(R) as a rotation vector (radians)."""
    return rotation_log(R)


def skew(r):
    return np.array([[0.0, -r[2], r[1]], [r[2], 0.0, -r[0]], [-r[1], r[0], 0.0]])


def frame_case(floating):
    """A robot, its lead arguments (a FloatingRobot's base), a configuration and a link behind a
    fixed joint with a tool offset and a target away from it."""
    offset = Pose([0.03, -0.02, 0.05], [0.1, -0.2, 0.3, 0.9])
    if floating:
        robot = FloatingRobot(sample_path("quadruped"))
        lead = (BaseState(Pose([0.1, -0.2, 0.5], [0.2, 0.1, -0.1, 0.95])),)
        link = robot.link_id("front_left_foot")
    else:
        robot = Robot(sample_path("arm"))
        robot.set_base_frame(Pose([0.2, 0.1, -0.3], [0.0, 0.3, 0.1, 0.9]))
        lead = ()
        link = robot.link_id("tool")
    lower, upper = np.maximum(limits(robot)[0], -np.pi), np.minimum(limits(robot)[1], np.pi)
    q = lower + np.linspace(0.3, 0.6, robot.joint_count) * (upper - lower)  # away from the limits
    here = robot.forward_kinematics(*lead, q, link) @ offset
    turn = np.array([0.02, -0.01, 0.03, 1.0])
    target = here @ Pose([0.02, -0.03, 0.01], turn / np.linalg.norm(turn))
    return robot, lead, q, link, offset, target


@pytest.mark.parametrize("floating", [False, True])
def test_a_pose_task_is_the_qp_of_its_tool_frame(floating):
    """H = 2·(SJ)ᵀ(SJ) + 2·(λ + E/10)·I and g = 2·(SJ)ᵀ·S·e for the tool frame X = X_link ∘ tool of
    a link behind a fixed joint: J the link's world-aligned Jacobian with its linear rows moved to
    the tool point (J_v − [r]× J_ω), e = [log(R·R_targetᵀ); p − p_target], S = w·diag(w_o, w_p),
    E = ‖S e‖², from the robot's own jacobian and forward_kinematics."""
    robot, lead, q, link, offset, target = frame_case(floating)
    w, wp, wo, damping = 0.7, 1.3, 0.4, 1e-3
    problem = robot.ik_problem([PoseTask(link, target, tool=offset, weight=w, position_weight=wp,
                                         orientation_weight=wo)], damping=damping)
    H, g, *_ = problem.step_qp(*lead, q)
    X_link = robot.forward_kinematics(*lead, q, link)
    X = X_link @ offset
    J = as_matrix(robot.jacobian(*lead, q, link), 6)
    J[3:] -= skew(np.subtract(X.translation, X_link.translation)) @ J[:3]
    e = np.concatenate([rotation_vector(X.rotation_matrix @ target.rotation_matrix.T),
                        np.subtract(X.translation, target.translation)])
    S = w * np.diag([wo] * 3 + [wp] * 3)
    cost = float(np.sum((S @ e) ** 2))
    assert np.allclose(H, 2 * (S @ J).T @ (S @ J) + 2 * (damping + cost / 10) * np.eye(len(g)),
                       rtol=1e-12, atol=1e-12)
    assert np.allclose(g, 2 * (S @ J).T @ (S @ e), rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("floating", [False, True])
def test_contact_rows_are_the_constraint_jacobian_and_the_negated_position_error(floating):
    """A = the constraint set's own constraint_jacobian (bit for bit on a fixed base; a free base's
    pose is read back from the configuration, its quaternion renormalised), and b = −e: a frame contact
    against its target, [log(R·R_targetᵀ); p − p_target], a point loop closure, p_a − p_b, and a
    point contact without a target, against where the step's start puts it (0)."""
    robot, lead, q, link, offset, target = frame_case(floating)
    other = robot.link_id("hind_right_foot" if floating else "upper_arm")
    X = robot.forward_kinematics(*lead, q, link) @ offset
    X_other = robot.forward_kinematics(*lead, q, other)
    near = X_other.inverse() @ Pose(np.add(X.translation, (0.01, 0.02, -0.01)))  # a loop nearly closed
    cases = [
        (Contact(link, "frame", offset=offset, target=target),
         np.concatenate([rotation_vector(X.rotation_matrix @ target.rotation_matrix.T),
                         np.subtract(X.translation, target.translation)])),
        (LoopClosure(link, other, offset_a=offset, offset_b=near),
         np.subtract(X.translation, (X_other @ near).translation)),
        (Contact(other, offset=near), np.zeros(3)),
    ]
    for item, e in cases:
        held = robot.constraint_set([item])
        _, _, A, b, *_ = robot.ik_problem([ConstraintTask(held)]).step_qp(*lead, q)
        J = as_matrix(robot.constraint_jacobian(*lead, q, held), held.count)
        assert np.array_equal(A, J) if not floating else np.allclose(A, J, rtol=0, atol=1e-15)
        assert np.allclose(b, -e, rtol=1e-12, atol=1e-14)
