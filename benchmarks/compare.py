"""velkor against Pinocchio, method by method (and MuJoCo and pybullet where they compute the same).

    python benchmarks/compare.py [--calls N] [--robots LABEL ...]

For every robot and method the two libraries are timed alternately in the same
process: batches of 1000 calls (or one pass over the inverse-kinematics
targets), velkor then Pinocchio then Pinocchio then velkor ..., N calls per library in
total. Each figure is the median over the batches of the batch's mean time per
call, in nanoseconds, including the Python call overhead on both sides. velkor
calls write into preallocated `out=` arrays; Pinocchio calls use its own data
buffers. States are random but of the same dimensions on both sides. MuJoCo's
forward dynamics (mj_forward) and pybullet's inverse dynamics and mass matrix
are timed the same way against velkor's, as rows named in brackets.

Pinocchio calls per method:
  forward_kinematics_all   forwardKinematics + updateFramePlacements (two calls)
  jacobian                 computeFrameJacobian(..., LOCAL_WORLD_ALIGNED)
  mass_matrix              crba (fills the upper triangle only; velkor fills all)
  inverse_dynamics         rnea
  gravity                  computeGeneralizedGravity
  velocity_product_forces  nonLinearEffects on a copy of the model with zero
                           gravity (one call; as cheap as rnea with zero
                           acceleration, far cheaper than computeCoriolisMatrix @ v)
  forward_dynamics         aba
  inverse_kinematics       per solve; Pinocchio has no solver, so the same damped
                           least-squares loop (J Jt + lambda^2 I, 6x6 solve, step
                           norm clamped to 0.5, tolerances 1e-6, damping 1e-3) is
                           written in Python on forwardKinematics,
                           updateFramePlacement and computeFrameJacobian
"""

import argparse
import contextlib
import itertools
import os
import re
import statistics
import sys
import tempfile
import time
from functools import partial
from pathlib import Path

import numpy as np
import pinocchio as pin

import robots
import velkor

BATCH = 1000
IK_TARGETS = 20


def batch_time(call, count: int) -> float:
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, count):
        call()
    return (time.perf_counter_ns() - start) / count


def p10(samples: list[float]) -> float:
    return sorted(samples)[len(samples) // 10]


def interleaved(ours, peer, count: int, batches: int, per_call: int = 1) -> tuple[list[float], list[float]]:
    """Per-batch mean times of `ours` and `peer`, alternating batches (the order flips each batch)."""
    batch_time(ours, max(count // 10, 1))
    batch_time(peer, max(count // 10, 1))
    a, b = [], []
    for i in range(batches):
        pair = ((ours, a), (peer, b)) if i % 2 == 0 else ((peer, b), (ours, a))
        for call, samples in pair:
            samples.append(batch_time(call, count) / per_call)
    return a, b


def random_quaternion(rng) -> np.ndarray:
    v = rng.normal(size=4)
    return v / np.linalg.norm(v)


class Peer:
    """Pinocchio's model, data and a state of the same dimensions as velkor's."""

    def __init__(self, s: robots.RobotCase, rng):
        self.model = robots.peer_model(s)
        self.data = self.model.createData()
        self.zero_g = self.model.copy()
        self.zero_g.gravity.linear = np.zeros(3)
        self.zero_g_data = self.zero_g.createData()
        self.frame = self.model.getFrameId(s.tool)
        nq, nv = self.model.nq, self.model.nv
        self.q = rng.uniform(-1, 1, nq)
        if s.floating:
            self.q[3:7] = random_quaternion(rng)
        self.v, self.a, self.tau = (rng.uniform(-1, 1, nv) for _ in range(3))

    def fk_all(self):
        pin.forwardKinematics(self.model, self.data, self.q)
        pin.updateFramePlacements(self.model, self.data)

    def calls(self) -> dict:
        m, d, q, v, a, tau = self.model, self.data, self.q, self.v, self.a, self.tau
        return {
            "forward_kinematics_all": self.fk_all,
            "jacobian": partial(pin.computeFrameJacobian, m, d, q, self.frame, pin.LOCAL_WORLD_ALIGNED),
            "mass_matrix": partial(pin.crba, m, d, q),
            "inverse_dynamics": partial(pin.rnea, m, d, q, v, a),
            "gravity": partial(pin.computeGeneralizedGravity, m, d, q),
            "velocity_product_forces": partial(pin.nonLinearEffects, self.zero_g, self.zero_g_data, q, v),
            "forward_dynamics": partial(pin.aba, m, d, q, v, tau),
        }

    def solve_ik(self, q0: np.ndarray, desired: pin.SE3, max_iterations=100, tol=1e-6, damping=1e-3,
                 max_step=0.5) -> tuple[np.ndarray, int]:
        """Damped least squares as velkor does it; returns (solution, steps taken)."""
        m, d, f = self.model, self.data, self.frame
        x = q0.copy()
        damped = damping * damping * np.eye(6)
        error = np.empty(6)
        for k in range(max_iterations + 1):
            pin.forwardKinematics(m, d, x)
            current = pin.updateFramePlacement(m, d, f)
            error[:3] = desired.translation - current.translation
            error[3:] = pin.log3(desired.rotation @ current.rotation.T)
            if np.linalg.norm(error[:3]) <= tol and np.linalg.norm(error[3:]) <= tol:
                return x, k
            if k == max_iterations:
                raise RuntimeError("the inverse-kinematics loop on Pinocchio did not converge")
            J = pin.computeFrameJacobian(m, d, x, f, pin.LOCAL_WORLD_ALIGNED)
            step = J.T @ np.linalg.solve(J @ J.T + damped, error)
            norm = np.linalg.norm(step)
            if norm > max_step:
                step *= max_step / norm
            x += step


def stripped_urdf(s: robots.RobotCase) -> str:
    """The file without visual and collision elements or mimic tags (MuJoCo and pybullet would look
    for meshes, and load mimic joints as independent joints only this way), as a temporary file."""
    text = Path(robots.urdf_path(s.file)).read_text()
    text = re.sub(r"<visual.*?</visual>|<collision.*?</collision>", "", text, flags=re.S)
    text = re.sub(r"<mimic[^>]*/>", "", text)
    handle = tempfile.NamedTemporaryFile("w", suffix=".urdf", delete=False)
    handle.write(text)
    handle.close()
    return handle.name


def mujoco_forward(s: robots.RobotCase, rng):
    """MuJoCo's forward dynamics (mj_forward, contacts and constraints off) at a random state that
    lives in its data, so only the call is timed; None when MuJoCo is missing or cannot load it."""
    try:
        import mujoco
    except ImportError:
        return None
    try:
        model = mujoco.MjModel.from_xml_path(stripped_urdf(s))
    except ValueError:
        return None
    if s.floating:
        return None  # a URDF file gives MuJoCo a fixed base
    model.opt.disableflags |= mujoco.mjtDisableBit.mjDSBL_CONSTRAINT | mujoco.mjtDisableBit.mjDSBL_CONTACT
    model.opt.gravity[:] = (0.0, 0.0, -9.80665)
    data = mujoco.MjData(model)
    data.qpos[:] = rng.uniform(-1, 1, model.nq)
    data.qvel[:] = rng.uniform(-1, 1, model.nv)
    data.qfrc_applied[:] = rng.uniform(-1, 1, model.nv)
    return partial(mujoco.mj_forward, model, data)


@contextlib.contextmanager
def quiet_stdout():
    """File descriptor 1 to /dev/null for a while, for output written below Python."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def pybullet_calls(s: robots.RobotCase, rng) -> dict:
    """pybullet's inverse dynamics and mass matrix (lists in, lists out), where it loads the file
    with a fixed base; links without inertial data get its default mass of 1."""
    try:
        import pybullet
    except ImportError:
        return {}
    if s.floating:
        return {}
    with quiet_stdout():  # its C code prints warnings (default masses) into the table otherwise
        client = pybullet.connect(pybullet.DIRECT)
        body = pybullet.loadURDF(stripped_urdf(s), useFixedBase=True, flags=pybullet.URDF_USE_INERTIA_FROM_FILE,
                                 physicsClientId=client)
    n = sum(1 for j in range(pybullet.getNumJoints(body, physicsClientId=client))
            if pybullet.getJointInfo(body, j, physicsClientId=client)[2] != pybullet.JOINT_FIXED)
    q, qd, qdd = (rng.uniform(-1, 1, n).tolist() for _ in range(3))
    return {
        "inverse_dynamics": partial(pybullet.calculateInverseDynamics, body, q, qd, qdd, physicsClientId=client),
        "mass_matrix": partial(pybullet.calculateMassMatrix, body, q, physicsClientId=client),
    }


def velkor_calls(robot, s: robots.RobotCase, rng) -> dict:
    n, g, L = robot.joint_count, robot.generalized_count, robot.link_count
    tool = robot.link_id(s.tool)
    q, qd, qdd = (rng.uniform(-1, 1, n) for _ in range(3))
    forces = rng.uniform(-1, 1, g)
    out_g, out_j, out_m, out_l = np.empty(g), np.empty(6 * g), np.empty(g * g), np.empty(7 * L)
    lead = ()  # FloatingRobot methods take the base state first
    if s.floating:
        lead = (velkor.BaseState(
            velkor.Pose(rng.uniform(-1, 1, 3), random_quaternion(rng)),
            velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)),
            velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)),
        ),)

    def bind(method, *args):
        return partial(method, *lead, *args)

    return {
        "forward_kinematics_all": bind(robot.forward_kinematics_all, q, out_l),
        "jacobian": bind(robot.jacobian, q, tool, out_j),
        "mass_matrix": bind(robot.mass_matrix, q, out_m),
        "inverse_dynamics": bind(robot.inverse_dynamics, q, qd, qdd, None, out_g),
        "gravity": bind(robot.gravity, q, None, out_g),
        "velocity_product_forces": bind(robot.velocity_product_forces, q, qd, out_g),
        "forward_dynamics": bind(robot.forward_dynamics, q, qd, forces, None, out_g),
    }


def ik_problems(robot, peer: Peer, s: robots.RobotCase, rng) -> list:
    """(start, velkor desired, Pinocchio desired) triples that velkor solves from the start."""
    lower, upper = peer.model.lowerPositionLimit, peer.model.upperPositionLimit
    lower, upper = np.maximum(lower, -np.pi), np.minimum(upper, np.pi)
    tool = robot.link_id(s.tool)
    problems = []
    while len(problems) < IK_TARGETS:
        goal = rng.uniform(lower, upper)
        start = np.clip(goal + rng.normal(0, 0.3, goal.size), lower, upper)
        desired = robot.forward_kinematics(goal, tool)
        try:
            robot.inverse_kinematics(start, tool, desired)
        except velkor.SolverError:
            continue
        pin.forwardKinematics(peer.model, peer.data, goal)
        problems.append((start, desired, pin.updateFramePlacement(peer.model, peer.data, peer.frame).copy()))
    return problems


def ik_pair(robot, peer: Peer, s: robots.RobotCase, rng):
    problems = ik_problems(robot, peer, s, rng)
    tool, out = robot.link_id(s.tool), np.empty(robot.joint_count)

    def ours():
        for start, desired, _ in problems:
            robot.inverse_kinematics(start, tool, desired, None, out)

    def theirs():
        for start, _, desired in problems:
            peer.solve_ik(start, desired)

    steps = agree = 0
    for start, desired, peer_desired in problems:
        x, k = peer.solve_ik(start, peer_desired)
        steps += k
        agree += np.allclose(x, robot.inverse_kinematics(start, tool, desired), atol=1e-5)
    note = f"{len(problems)} targets; Pinocchio loop {steps / len(problems):.1f} steps/solve, same solution in {agree}"
    return ours, theirs, note


def compare(s: robots.RobotCase, calls: int) -> None:
    rng = np.random.default_rng(1)
    robot = robots.velkor_handle(s)
    peer = Peer(s, rng)
    kind = "FloatingRobot" if s.floating else "Robot"
    print(f"\n{s.label}: velkor {kind} n={robot.joint_count} links={robot.link_count}; "
          f"Pinocchio nq={peer.model.nq} nv={peer.model.nv} frames={peer.model.nframes}; target {s.tool}")
    print(f"  {'method':<30} | {'velkor ns':>9} {'p10':>7} | {'peer ns':>9} {'p10':>7} | {'ratio':>5}")
    print(f"  {'-' * 30}-+-{'-' * 17}-+-{'-' * 17}-+-{'-' * 5}")
    batches = max(calls // BATCH, 3)
    theirs = peer.calls()
    ours_calls = velkor_calls(robot, s, rng)
    rows = [(name, ours, theirs[name], BATCH, 1) for name, ours in ours_calls.items()]
    note = None
    if s.ik:
        ours_ik, theirs_ik, note = ik_pair(robot, peer, s, rng)
        rows.append(("inverse_kinematics", ours_ik, theirs_ik, 1, IK_TARGETS))
    mujoco_call = mujoco_forward(s, rng)
    if mujoco_call is not None:
        rows.append(("forward_dynamics (MuJoCo)", ours_calls["forward_dynamics"], mujoco_call, BATCH, 1))
    for name, call in pybullet_calls(s, rng).items():
        rows.append((f"{name} (pybullet)", ours_calls[name], call, BATCH, 1))
    for name, ours, peer_call, count, per_call in rows:
        a, b = interleaved(ours, peer_call, count, batches, per_call)
        ma, mb = statistics.median(a), statistics.median(b)
        print(f"  {name:<30} | {ma:>9.0f} {p10(a):>7.0f} | {mb:>9.0f} {p10(b):>7.0f} | {ma / mb:>5.2f}")
    if note:
        print(f"  inverse_kinematics: {note}")


def run(description: str, compare_one, calls: int, labels: list[str]) -> None:
    """The command line of a side-by-side script: --calls and --robots, the load average before and after."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--calls", type=int, default=calls, help=f"calls per library and method (default {calls})")
    parser.add_argument("--robots", nargs="*", default=labels)
    args = parser.parse_args()
    print(f"ns per call: median and 10th percentile of per-batch means; peer: Pinocchio {pin.__version__} "
          "(MuJoCo or pybullet where a row names it in brackets)")
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    start = time.perf_counter()
    for label in args.robots:
        compare_one(robots.case(label), args.calls)
    print("\nload average: %.2f %.2f %.2f" % os.getloadavg())
    print(f"(total {time.perf_counter() - start:.0f} s)")


def main() -> None:
    run(__doc__.split("\n")[0], compare, 150000, [s.label for s in robots.ROBOTS])


if __name__ == "__main__":
    main()
