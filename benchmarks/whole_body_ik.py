"""Whole-body inverse kinematics: what it reaches and what it costs.

    python benchmarks/whole_body_ik.py [--targets 1000] [--batches 20] [--defaults-only]

0. The defaults: on the Panda, the UR5 and the iiwa, reachable targets (the tool's pose at a
   random configuration within the limits) each solved by `solve(neutral_configuration())` with
   nothing else given (50 restarts at most within a 50 ms budget, seed 0). Prints the share met
   to 1e-8 m and 1e-8 rad, the solve times (median, 90th percentile, largest), the restarts taken
   and how many solves the budget cut short.
1. Proof over random targets, each from a random start within the limits: on the Panda and the
   UR5, reachable targets (the tool's pose at a random configuration within the limits) and the
   same targets moved 3 m away; on floating Talos, its left hand sent anywhere in a 0.8 m box
   around it with both soles held as frame contacts and the centre of mass kept over them.
   Prints the share of reachable targets met to 1e-8 m and 1e-8 rad, the iterations and solve
   times (median, 90th percentile, largest), the joints found outside their limits (none
   allowed) and, for Talos, how far the soles moved.
2. Speed beside pink (Pinocchio's differential inverse kinematics, QP by ProxQP through
   qpsolvers), alternated batch by batch in one process: one iteration on the same task set,
   and whole solves of the Panda from the same starts to the same targets (pink stepping with
   dt = 1 until its error is below 1e-8). Median and 10th percentile of per-batch means; the
   load average is printed.
"""

import argparse
import os
import statistics
import time

import numpy as np

import robots
import velkor


def in_limits(robot, rng, count, margin=0.0):
    lower, upper = np.asarray(robot.lower_limits), np.asarray(robot.upper_limits)
    lower, upper = np.maximum(lower, -np.pi), np.minimum(upper, np.pi)
    span = upper - lower
    return lower + margin * span + rng.random((count, lower.size)) * (1 - 2 * margin) * span


def spread(values):
    values = np.sort(np.asarray(values, dtype=float))
    return f"median {np.median(values):.3g}, p90 {np.quantile(values, 0.9):.3g}, max {values[-1]:.3g}"


def pose_met(robot, q, tool, target, result, tolerance=1e-8):
    """Whether a solve converged with the tool within `tolerance` m and rad of its target pose,
    measured here: the distance between the origins and the rotation angle between the frames
    (4 asin(|a ∓ b| / 2) of the unit quaternions a and b, the closer sign)."""
    got = robot.forward_kinematics(q, tool)
    d = np.linalg.norm(np.subtract(got.translation, target.translation))
    a, b = np.asarray(got.rotation_xyzw), np.asarray(target.rotation_xyzw)
    angle = 4 * np.arcsin(min(1.0, min(np.linalg.norm(a - b), np.linalg.norm(a + b)) / 2))
    return result.converged and d <= tolerance and angle <= tolerance


def arm_proof(label, targets, rng):
    case = robots.case(label)
    robot = robots.velkor_handle(case)
    tool = robot.link_id(case.tool)
    lower, upper = np.asarray(robot.lower_limits), np.asarray(robot.upper_limits)
    goals, starts = in_limits(robot, rng, targets, 0.02), in_limits(robot, rng, targets)
    met, iterations, times, outside, far_outside = 0, [], [], 0, 0
    for goal, start in zip(goals, starts):
        target = robot.forward_kinematics(goal, tool)
        problem = robot.ik_problem([velkor.PoseTask(tool, target)])
        t0 = time.perf_counter_ns()
        q, result = problem.solve(start, tolerance=1e-9, max_iterations=300, restarts=50, seed=1)
        times.append((time.perf_counter_ns() - t0) / 1e3)
        iterations.append(result.iterations)
        outside += int(np.any(q < lower) or np.any(q > upper))
        met += int(pose_met(robot, q, tool, target, result))
        far = velkor.Pose(np.add(target.translation, (3.0, 0.0, 0.0)), target.rotation_xyzw)
        q_far, _ = robot.ik_problem([velkor.PoseTask(tool, far)]).solve(start, max_iterations=100, restarts=0)
        far_outside += int(np.any(q_far < lower) or np.any(q_far > upper))
    print(f"{label}: {targets} reachable targets, {100 * met / targets:.1f} % met to 1e-8 m and 1e-8 rad; "
          f"joints outside their limits: {outside} (reachable), {far_outside} (3 m out of reach)")
    print(f"  iterations: {spread(iterations)}; µs per solve: {spread(times)}")


def defaults_proof(label, targets, rng):
    case = robots.case(label)
    robot = robots.velkor_handle(case)
    tool = robot.link_id(case.tool)
    lower, upper = np.asarray(robot.lower_limits), np.asarray(robot.upper_limits)
    q0 = robot.neutral_configuration()
    met, times, restarts, cut, outside = 0, [], [], 0, 0
    for goal in in_limits(robot, rng, targets, 0.02):
        target = robot.forward_kinematics(goal, tool)
        problem = robot.ik_problem([velkor.PoseTask(tool, target)])
        t0 = time.perf_counter_ns()
        q, result = problem.solve(q0)
        times.append((time.perf_counter_ns() - t0) / 1e3)
        restarts.append(result.restarts)
        cut += int(result.out_of_time)
        outside += int(np.any(q < lower) or np.any(q > upper))
        met += int(pose_met(robot, q, tool, target, result))
    print(f"{label}, defaults from the neutral configuration: {targets} reachable targets, "
          f"{100 * met / targets:.1f} % met to 1e-8 m and 1e-8 rad; joints outside their limits: {outside}")
    print(f"  µs per solve: {spread(times)}; restarts: {spread(restarts)}; cut by the time budget: {cut}")


def talos_problem(robot, base, q, hand_goal, targets_for_feet=True):
    feet = [robot.link_id("left_sole_link"), robot.link_id("right_sole_link")]
    soles = [robot.forward_kinematics(base, q, foot) for foot in feet]
    held = robot.constraint_set([velkor.Contact(foot, "frame", target=sole) for foot, sole in zip(feet, soles)])
    middle = np.mean([sole.translation for sole in soles], axis=0)
    com = robot.center_of_mass(base, q)
    hand = robot.link_id("gripper_left_base_link")
    return robot.ik_problem([velkor.ConstraintTask(held),
                             velkor.PoseTask(hand, velkor.Pose(hand_goal), orientation_weight=0.0),
                             velkor.CenterOfMassTask((middle[0], middle[1], com[2]), weight=0.5)]), feet, soles


def talos_start(robot):
    q = robot.joint_vector({f"leg_{side}_{k}_joint": v for side in ("left", "right")
                            for k, v in ((3, -0.4), (4, 0.8), (5, -0.4))}, default=0.0)
    q = np.clip(q, robot.lower_limits, robot.upper_limits)
    return velkor.BaseState(velkor.Pose([0.0, 0.0, 1.0])), q


def talos_proof(targets, rng):
    robot = robots.velkor_handle(robots.case("Talos (floating)"))
    lower, upper = np.asarray(robot.lower_limits), np.asarray(robot.upper_limits)
    base, q0 = talos_start(robot)
    hand = robot.link_id("gripper_left_base_link")
    start = np.asarray(robot.forward_kinematics(base, q0, hand).translation)
    outside, drift, met, iterations, times = 0, 0.0, 0, [], []
    for shift in rng.uniform(-0.4, 0.4, (targets, 3)):
        problem, feet, soles = talos_problem(robot, base, q0, start + shift)
        t0 = time.perf_counter_ns()
        moved, q, result = problem.solve(base, q0, max_iterations=50, tolerance=1e-9, restarts=0)
        times.append((time.perf_counter_ns() - t0) / 1e3)
        iterations.append(result.iterations)
        met += int(result.converged)
        outside += int(np.any(q < lower) or np.any(q > upper))
        for foot, sole in zip(feet, soles):
            now = robot.forward_kinematics(moved, q, foot)
            drift = max(drift, float(np.abs(np.subtract(now.translation, sole.translation)).max()))
    print(f"Talos (floating, both soles held, centre of mass over them): {targets} hand targets in a 0.8 m box; "
          f"{100 * met / targets:.1f} % with every task met to 1e-9; joints outside their limits: {outside}; "
          f"largest sole drift {drift:.2e} m")
    print(f"  iterations: {spread(iterations)}; µs per solve: {spread(times)}")


def side_by_side(name, velkor_call, pink_call, batches, calls):
    ours, theirs = [], []
    for _ in range(batches):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            velkor_call()
        ours.append((time.perf_counter_ns() - t0) / calls / 1e3)
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            pink_call()
        theirs.append((time.perf_counter_ns() - t0) / calls / 1e3)
    m1, m2 = statistics.median(ours), statistics.median(theirs)
    p1, p2 = np.quantile(ours, 0.1), np.quantile(theirs, 0.1)
    print(f"  {name:<34} | {m1:9.1f} {p1:9.1f} | {m2:9.1f} {p2:9.1f} | {m1 / m2:5.2f}")


def speed(batches):
    import pink
    import pinocchio as pin
    from pink.tasks import ComTask, FrameTask

    print("\nµs per call, median and p10 of per-batch means | velkor | pink | ratio")
    # Panda: one pose task
    case = robots.case("Panda")
    robot = robots.velkor_handle(case)
    tool = robot.link_id(case.tool)
    model = robots.peer_model(case)
    rng = np.random.default_rng(11)
    goal = in_limits(robot, rng, 1, 0.1)[0]
    start = np.clip(goal + rng.uniform(-0.3, 0.3, goal.size), robot.lower_limits, robot.upper_limits)
    target = robot.forward_kinematics(goal, tool)
    problem = robot.ik_problem([velkor.PoseTask(tool, target)], damping=1e-12)
    configuration = pink.Configuration(model, model.createData(), start.copy())
    task = FrameTask(case.tool, position_cost=1.0, orientation_cost=1.0)
    task.set_target(pin.SE3(pin.Quaternion(*np.roll(target.rotation_xyzw, 1)).matrix(), np.asarray(target.translation)))

    def pink_step(config=configuration):
        v = pink.solve_ik(config, [task], 1.0, solver="proxqp", damping=1e-12, safety_break=False)
        config.update(config.integrate(v, 1.0))

    def pink_solve():
        config = pink.Configuration(model, model.createData(), start.copy())
        for _ in range(100):
            if np.linalg.norm(task.compute_error(config)) < 1e-8:
                break
            pink_step(config)

    side_by_side("Panda, one iteration", lambda: problem.solve(start, max_iterations=1), pink_step, batches, 200)
    side_by_side("Panda, solve to 1e-8", lambda: problem.solve(start, tolerance=1e-9), pink_solve, batches, 20)
    q, result = problem.solve(start, tolerance=1e-9)
    print(f"  (velkor: {result.iterations} iterations to {max(result.task_errors):.1e})")
    # Talos: soles held, hand position, centre of mass
    case = robots.case("Talos (floating)")
    talos = robots.velkor_handle(case)
    base, q0 = talos_start(talos)
    hand = talos.link_id("gripper_left_base_link")
    goal = np.add(talos.forward_kinematics(base, q0, hand).translation, (0.25, 0.05, 0.15))
    problem, _, _ = talos_problem(talos, base, q0, goal)
    model = robots.peer_model(case)
    q_pin = pin.neutral(model)
    q_pin[2] = 1.0
    q_pin[7:] = np.clip(q_pin[7:], model.lowerPositionLimit[7:], model.upperPositionLimit[7:])  # within limits
    configuration = pink.Configuration(model, model.createData(), q_pin)
    feet = [FrameTask(f, position_cost=1.0, orientation_cost=1.0) for f in ("left_sole_link", "right_sole_link")]
    for foot in feet:
        foot.set_target_from_configuration(configuration)
    reach = FrameTask("gripper_left_base_link", position_cost=1.0, orientation_cost=0.0)
    reach.set_target(pin.SE3(np.eye(3), goal))
    com = ComTask(cost=0.5)
    com.set_target_from_configuration(configuration)

    def pink_talos():
        pink.solve_ik(configuration, [reach, com], 1.0, solver="proxqp", constraints=feet, damping=1e-6,
                      safety_break=False)

    side_by_side("Talos, one iteration", lambda: problem.solve(base, q0, max_iterations=1), pink_talos, batches, 20)

    # A whole Talos solve is timed for velkor alone: pink starts from Pinocchio's neutral
    # configuration (straight legs), where this hand target is another problem.
    times = []
    for _ in range(batches):
        t0 = time.perf_counter_ns()
        problem.solve(base, q0, tolerance=1e-9)
        times.append((time.perf_counter_ns() - t0) / 1e3)
    print(f"  {'Talos, solve to 1e-9 (velkor alone)':<34} | {statistics.median(times):9.1f} "
          f"{np.quantile(times, 0.1):9.1f} |")
    moved, q, result = problem.solve(base, q0, tolerance=1e-9)
    print(f"  (velkor: {result.iterations} iterations to {max(result.task_errors):.1e}, converged {result.converged})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--targets", type=int, default=1000)
    parser.add_argument("--batches", type=int, default=20)
    parser.add_argument("--defaults-only", action="store_true", help="only part 0, the defaults")
    args = parser.parse_args()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    for label in ("Panda", "UR5", "iiwa"):
        defaults_proof(label, args.targets, np.random.default_rng(2027))
    if args.defaults_only:
        print("load average: %.2f %.2f %.2f" % os.getloadavg())
        return
    rng = np.random.default_rng(2026)
    for label in ("Panda", "UR5"):
        arm_proof(label, args.targets, rng)
    talos_proof(args.targets, rng)
    speed(args.batches)
    print("load average: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
