"""velkor's batch rollouts beside MuJoCo's rollout module, on one and two threads.

    python benchmarks/rollout.py [--robots LABEL ...] [--batch B] [--steps T] [--repeats R] [--dt DT]

Both libraries roll B trajectories of T semi-implicit Euler steps (dt = 1 ms by
default) from the same random states under the same random joint torques
(uniform in [-1, 1] N·m, or N on prismatic joints, on the Panda; in [-0.1, 0.1]
N·m on Solo12, whose legs are light; the floating base carries no load), with gravity (0, 0, -9.80665) m/s² along world z on both sides:

  velkor   robot.batch(threads=k).rollout(C0 (B, C), V0 (B, N), F (B, T, N), dt, out=...)
           into preallocated outputs; one batch object per thread count, made once.
  MuJoCo   mujoco.rollout.Rollout(nthread=0 or 2).rollout(..., skip_checks=True, state=..., sensordata=...),
           one persistent Rollout object (its thread pool made once), a list of B references to one
           MjModel (what skip_checks wants), one MjData per thread, preallocated outputs. The model
           is the same URDF file without visuals, collisions or mimic tags, loaded through MjSpec:
           joint damping, stiffness, armature and friction loss set to zero, the Euler
           integrator, contacts and constraints disabled (so joint limits are not enforced on
           either side), fixed-joint bodies fused (MuJoCo's default for URDF files). A floating
           base gets a free joint on the root link, at its origin. The torques go in as
           qfrc_applied through control_spec=mjSTATE_QFRC_APPLIED, so no actuators are needed.

velkor writes T + 1 configurations and velocities per row (the initial state
included), MuJoCo T full-physics states (time, qpos, qvel). A "step" below is
one row advanced by one time step; ns/step is the wall time of a whole call
divided by B·T, so on two threads it is a throughput figure. The set-ups are
called in turn, the order rotating from one round to the next, R rounds; the
figures are the median and 10th percentile over the rounds. The load average
is printed before and after. For scale, a fifth row times B·T Python calls
of velkor's forward_dynamics (out=, one fixed state): a step of a rollout
written as a Python loop would cost at least that. A control run of
hashlib.sha256 (which also runs without the interpreter lock) shows how much of
a second core is free.

Before the timing, a sanity block per robot compares the two models: total
moving mass, forward dynamics at one random state (with a base wrench), and a
10-step rollout from the same states under the same torques (max differences).
MuJoCo's free joint keeps the base velocity as (origin velocity in world axes,
angular velocity in the body's axes) and the quaternion as w, x, y, z; velkor
as (angular velocity in world axes, origin velocity in world axes) and x, y, z,
w; the script converts between the two.
"""

import argparse
import hashlib
import itertools
import os
import statistics
import threading
import time
from dataclasses import dataclass
from functools import partial

import mujoco
import numpy as np
from mujoco import rollout as mj_rollout

import robots
import velkor
from compare import p10, random_quaternion, stripped_urdf

LABELS = ["Panda", "Solo12 (floating)"]
FULL = mujoco.mjtState.mjSTATE_FULLPHYSICS.value
CONTROL = mujoco.mjtState.mjSTATE_QFRC_APPLIED.value
SANITY_STEPS = 10
TORQUE = {"Panda": 1.0, "Solo12 (floating)": 0.1}  # bound of the random joint torques, N·m (N on prismatic joints)
TARGET_RATIO = 0.5  # velkor one-thread time per step at most this fraction of MuJoCo's
TARGET_SPEEDUP = 1.8  # two threads at least this much faster than one


def rotations(xyzw: np.ndarray) -> np.ndarray:
    """Rotation matrices (..., 3, 3) of unit quaternions (..., 4) stored x, y, z, w."""
    x, y, z, w = np.moveaxis(xyzw, -1, 0)
    return np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)], -1),
        np.stack([2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)], -1),
        np.stack([2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)], -1),
    ], -2)


class MujocoTwin:
    """MuJoCo's model of a benchmark robot and the maps between its arrays and velkor's.

    Joints are matched by name (velkor's dof_names against MuJoCo's joint names);
    MuJoCo orders them depth first as in the file, velkor may not."""

    def __init__(self, s: robots.RobotCase, robot, dt: float):
        editable = mujoco.MjSpec.from_file(stripped_urdf(s))
        editable.compiler.alignfree = False  # the free joint's frame stays the root link's frame
        for joint in editable.joints:
            joint.damping = np.zeros(3)
            joint.stiffness = np.zeros(3)
            joint.armature = 0.0
            joint.frictionloss = 0.0
        self.floating = s.floating
        if s.floating:
            editable.worldbody.first_body().add_freejoint()
        model = editable.compile()
        model.opt.disableflags |= mujoco.mjtDisableBit.mjDSBL_CONTACT | mujoco.mjtDisableBit.mjDSBL_CONSTRAINT
        model.opt.integrator = mujoco.mjtIntegrator.mjINT_EULER
        model.opt.gravity[:] = robot.gravity_vector
        model.opt.timestep = dt
        for name in ("dof_damping", "dof_armature", "dof_frictionloss", "jnt_stiffness"):
            if np.any(getattr(model, name)):
                raise RuntimeError(f"MuJoCo's {name} is not zero")
        self.model = model
        self.nstate = mujoco.mj_stateSize(model, FULL)
        if self.nstate != 1 + model.nq + model.nv:
            raise RuntimeError("unexpected MuJoCo state layout")
        joints = [model.joint(name).id for name in robot.dof_names]
        self.qpos = model.jnt_qposadr[joints]  # MuJoCo qpos index of velkor joint k
        self.qvel = model.jnt_dofadr[joints]

    def state(self, configurations: np.ndarray, velocities: np.ndarray) -> np.ndarray:
        """MuJoCo full-physics states (B, nstate), time 0, of velkor configurations and velocities."""
        m = self.model
        out = np.zeros((len(configurations), self.nstate))
        qpos, qvel = out[:, 1:1 + m.nq], out[:, 1 + m.nq:]
        if self.floating:
            c, v = configurations, velocities
            qpos[:, 0:3] = c[:, 0:3]
            qpos[:, 3] = c[:, 6]
            qpos[:, 4:7] = c[:, 3:6]
            qvel[:, 0:3] = v[:, 3:6]
            qvel[:, 3:6] = np.einsum("bji,bj->bi", rotations(c[:, 3:7]), v[:, 0:3])  # Rᵀ ω
            configurations, velocities = c[:, 7:], v[:, 6:]
        qpos[:, self.qpos] = configurations
        qvel[:, self.qvel] = velocities
        return out

    def velkor_state(self, states: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """velkor configurations and velocities of MuJoCo full-physics states (..., nstate)."""
        m = self.model
        qpos, qvel = states[..., 1:1 + m.nq], states[..., 1 + m.nq:]
        joints, rates = qpos[..., self.qpos], qvel[..., self.qvel]
        if not self.floating:
            return joints, rates
        xyzw = np.concatenate([qpos[..., 4:7], qpos[..., 3:4]], -1)
        omega = np.einsum("...ij,...j->...i", rotations(xyzw), qvel[..., 3:6])  # R ω_body
        return (np.concatenate([qpos[..., 0:3], xyzw, joints], -1),
                np.concatenate([omega, qvel[..., 0:3], rates], -1))

    def forces(self, forces: np.ndarray) -> np.ndarray:
        """qfrc_applied (..., nv) of velkor generalized forces (..., N) whose base wrench is zero
        (MuJoCo takes a free joint's torque in the body's axes, which turn along a rollout)."""
        out = np.zeros(forces.shape[:-1] + (self.model.nv,))
        if self.floating:
            if np.any(forces[..., :6]):
                raise ValueError("a base wrench cannot be passed to MuJoCo's open-loop rollout here")
            forces = forces[..., 6:]
        out[..., self.qvel] = forces
        return out


@dataclass
class Problem:
    """One batch of rollouts: initial configurations and velocities, and the forces of every step."""
    configurations: np.ndarray  # (B, C)
    velocities: np.ndarray  # (B, N)
    forces: np.ndarray  # (B, T, N)


def random_problem(robot, s: robots.RobotCase, batch: int, steps: int, rng) -> Problem:
    n, N = robot.joint_count, robot.generalized_count
    q = rng.uniform(-1, 1, (batch, n))
    if s.floating:
        base = np.concatenate([rng.uniform(-1, 1, (batch, 3)),
                               np.array([random_quaternion(rng) for _ in range(batch)])], 1)
        q = np.concatenate([base, q], 1)
    forces = np.zeros((batch, steps, N))
    forces[..., N - n:] = rng.uniform(-1, 1, (batch, steps, n)) * TORQUE.get(s.label, 1.0)
    return Problem(q, rng.uniform(-1, 1, (batch, N)), forces)


def sanity(robot, twin: MujocoTwin, s: robots.RobotCase, dt: float, rng) -> None:
    """Print how closely the two models agree: masses, one forward-dynamics call, a short rollout."""
    m = twin.model
    moving = robot.total_mass - (0.0 if s.floating else robot.link_masses[0])
    mj_mass = float(np.sum(m.body_mass[1:]))
    print(f"  sanity: moving mass velkor {moving:.9f} kg, MuJoCo {mj_mass:.9f} kg (difference {moving - mj_mass:.1e})")

    # forward dynamics at one random state, with a random base wrench on a floating base
    p = random_problem(robot, s, 1, 1, rng)
    tau = rng.uniform(-1, 1, robot.generalized_count)
    c, v = p.configurations[0], p.velocities[0]
    data = mujoco.MjData(m)
    state = twin.state(p.configurations, p.velocities)[0]
    mujoco.mj_setState(m, data, state, FULL)
    data.qfrc_applied[twin.qvel] = tau[-robot.joint_count:]
    if s.floating:
        R = rotations(c[3:7])
        data.qfrc_applied[0:3] = tau[3:6]  # force, world axes
        data.qfrc_applied[3:6] = R.T @ tau[0:3]  # torque about the root origin, body axes
        base = velkor.BaseState(velkor.Pose(c[0:3], c[3:7]), velkor.Twist(v[0:3], v[3:6]))
        ours = robot.forward_dynamics(base, c[7:], v[6:], tau)
    else:
        ours = robot.forward_dynamics(c, v, tau)
    mujoco.mj_forward(m, data)
    theirs = data.qacc[twin.qvel]
    if s.floating:  # angular acceleration to world axes; the linear part is the origin's classical one
        theirs = np.concatenate([R @ data.qacc[3:6], data.qacc[0:3], theirs])
    print(f"  sanity: forward dynamics, max |velkor - MuJoCo| {np.max(np.abs(ours - theirs)):.1e} "
          f"(accelerations up to {np.max(np.abs(ours)):.1f})")

    # a short batch rollout through both timed paths
    batch = 8
    p = random_problem(robot, s, batch, SANITY_STEPS, rng)
    configurations, velocities = robot.batch(threads=1).rollout(p.configurations, p.velocities, p.forces, dt)
    states, _ = mj_rollout.rollout(m, mujoco.MjData(m), twin.state(p.configurations, p.velocities),
                                   twin.forces(p.forces), control_spec=CONTROL)
    mj_c, mj_v = twin.velkor_state(states)
    ours_c, ours_v = configurations[:, 1:], velocities[:, 1:]
    n = robot.joint_count
    parts = [("joint positions", np.abs(ours_c[..., -n:] - mj_c[..., -n:])),
             ("joint rates", np.abs(ours_v[..., -n:] - mj_v[..., -n:]))]
    if s.floating:
        quaternion = np.minimum(np.abs(ours_c[..., 3:7] - mj_c[..., 3:7]), np.abs(ours_c[..., 3:7] + mj_c[..., 3:7]))
        parts += [("base position", np.abs(ours_c[..., 0:3] - mj_c[..., 0:3])), ("base quaternion", quaternion),
                  ("base velocity", np.abs(ours_v[..., 0:6] - mj_v[..., 0:6]))]
    moved = np.max(np.abs(ours_c[:, -1, -n:] - p.configurations[:, -n:]))
    print(f"  sanity: {batch} rollouts of {SANITY_STEPS} steps of {dt:g} s (joints move up to {moved:.1e}), "
          "max |velkor - MuJoCo|: " + ", ".join(f"{name} {np.max(d):.1e}" for name, d in parts))


def call_time(call, steps: int) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / steps


def rounds(calls: dict, steps: int, repeats: int) -> dict:
    """ns per step of each call, one sample per round; the calling order rotates every round."""
    names = list(calls)
    for name in names:
        calls[name]()  # warm-up (thread pools, caches, first-touch of the outputs)
    samples = {name: [] for name in names}
    for r in range(repeats):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            samples[name].append(call_time(calls[name], steps))
    return samples


def velkor_call(robot, p: Problem, dt: float, threads: int):
    batch, steps = p.forces.shape[:2]
    out = (np.empty((batch, steps + 1, len(p.configurations[0]))), np.empty((batch, steps + 1, robot.generalized_count)))
    return partial(robot.batch(threads=threads).rollout, p.configurations, p.velocities, p.forces, dt, out=out)


def mujoco_call(twin: MujocoTwin, p: Problem, threads: int):
    """A persistent Rollout object's call without checks (threads 1: on the calling thread)."""
    m = twin.model
    batch, steps = p.forces.shape[:2]
    pool = mj_rollout.Rollout(nthread=0 if threads == 1 else threads)
    datas = [mujoco.MjData(m) for _ in range(threads)]
    initial, control = twin.state(p.configurations, p.velocities), twin.forces(p.forces)
    state, sensordata = np.empty((batch, steps, twin.nstate)), np.empty((batch, steps, m.nsensordata))
    return partial(pool.rollout, [m] * batch, datas, initial, control, control_spec=CONTROL, skip_checks=True,
                   nstep=steps, state=state, sensordata=sensordata)


def forward_dynamics_calls(robot, s: robots.RobotCase, p: Problem):
    """B·T Python calls of velkor's forward_dynamics with out= at the first row's initial state: what
    one step would cost if the loop ran in Python."""
    batch, steps = p.forces.shape[:2]
    c, v, tau = p.configurations[0], p.velocities[0], p.forces[0, 0]
    if s.floating:
        base = velkor.BaseState(velkor.Pose(c[0:3], c[3:7]), velkor.Twist(v[0:3], v[3:6]))
        call = partial(robot.forward_dynamics, base, c[7:], v[6:], tau, None, np.empty(len(v)))
    else:
        call = partial(robot.forward_dynamics, c, v, tau, None, np.empty(len(v)))

    def loop() -> None:
        for _ in itertools.repeat(None, batch * steps):
            call()

    return loop


def compare(s: robots.RobotCase, batch: int, steps: int, repeats: int, dt: float) -> None:
    rng = np.random.default_rng(1)
    robot = robots.velkor_handle(s)
    twin = MujocoTwin(s, robot, dt)
    kind = "FloatingRobot" if s.floating else "Robot"
    print(f"\n{s.label}: velkor {kind} n={robot.joint_count} N={robot.generalized_count}; MuJoCo nq={twin.model.nq} "
          f"nv={twin.model.nv} nbody={twin.model.nbody}; B={batch} rows x T={steps} steps of {dt:g} s")
    sanity(robot, twin, s, dt, rng)
    p = random_problem(robot, s, batch, steps, rng)
    calls = {
        "velkor, 1 thread": velkor_call(robot, p, dt, 1),
        "MuJoCo, 1 thread": mujoco_call(twin, p, 1),
        "velkor, 2 threads": velkor_call(robot, p, dt, 2),
        "MuJoCo, 2 threads": mujoco_call(twin, p, 2),
        "(velkor forward_dynamics, Python loop)": forward_dynamics_calls(robot, s, p),
    }
    samples = rounds(calls, batch * steps, repeats)
    median = {name: statistics.median(x) for name, x in samples.items()}
    print(f"  {'set-up':<38} | {'ns/step':>8} {'p10':>7} | {'steps/s':>11}")
    print(f"  {'-' * 38}-+-{'-' * 16}-+-{'-' * 11}")
    for name, x in samples.items():
        print(f"  {name:<38} | {median[name]:>8.0f} {p10(x):>7.0f} | {1e9 / median[name]:>11,.0f}")
    ratio = median["velkor, 1 thread"] / median["MuJoCo, 1 thread"]
    ours = median["velkor, 1 thread"] / median["velkor, 2 threads"]
    theirs = median["MuJoCo, 1 thread"] / median["MuJoCo, 2 threads"]
    print(f"  velkor/MuJoCo, 1 thread: {ratio:.2f} (target at most {TARGET_RATIO}: "
          f"{'met' if ratio <= TARGET_RATIO else 'not met'})")
    print(f"  2 threads over 1: velkor {ours:.2f}x (target at least {TARGET_SPEEDUP}x: "
          f"{'met' if ours >= TARGET_SPEEDUP else 'not met'}), MuJoCo {theirs:.2f}x")


def second_core(seconds: float = 0.5) -> float:
    """Speed-up of hashlib.sha256 (1 MB, no interpreter lock) on two threads over one."""
    chunk = bytes(1 << 20)

    def rate(threads: int) -> float:
        counts = [0] * threads

        def work(i: int) -> None:
            end = time.perf_counter() + seconds
            while time.perf_counter() < end:
                hashlib.sha256(chunk)
                counts[i] += 1

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return sum(counts) / seconds

    return rate(2) / rate(1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--robots", nargs="*", default=LABELS, help=f"robot labels (default: {LABELS})")
    parser.add_argument("--batch", type=int, default=64, help="rows per call (default 64)")
    parser.add_argument("--steps", type=int, default=200, help="time steps per row (default 200)")
    parser.add_argument("--repeats", type=int, default=31, help="rounds of calls (default 31)")
    parser.add_argument("--dt", type=float, default=1e-3, help="time step, s (default 0.001)")
    args = parser.parse_args()
    print(f"ns per step (one row, one time step): median and 10th percentile over {args.repeats} rounds; "
          f"velkor {velkor.__version__}, MuJoCo {mujoco.__version__}; {os.cpu_count()} CPUs")
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    print(f"control: hashlib.sha256 on 2 threads runs {second_core():.2f}x as fast as on 1")
    start = time.perf_counter()
    for label in args.robots:
        compare(robots.case(label), args.batch, args.steps, args.repeats, args.dt)
    print("\nload average: %.2f %.2f %.2f" % os.getloadavg())
    print(f"(total {time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
