"""Rollouts (semi-implicit Euler: v ← v + dt·q̈, then c ← integrate(c, v, dt)) against physical
identities: the centroidal momentum of a free-floating robot in zero gravity, a quadruped held still
by its stance torques on four point contacts, the energy of a pendulum and of a dropped arm; and the
rollout against the documented loop of single calls, bit for bit, single and batched.

Gravity is the handle's gravity_vector, by default (0, 0, −9.80665) m/s² (down −z); generalized
forces of a FloatingRobot start with the base wrench (torque about the root-link origin, then force,
world axes); contact forces are what the ground exerts on the robot."""

import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import urdf_text
from velkor import BaseState, Contact, FloatingRobot, Pose, Robot, as_matrix

sys.path.insert(0, str(Path(__file__).parent.parent / "benchmarks"))
import robots  # noqa: E402

DTS = [4e-3, 2e-3, 1e-3, 5e-4]


def handle(label):
    """A fresh handle (the tests change its gravity)."""
    return robots.velkor_handle(robots.case({"Solo12": "Solo12 (floating)"}.get(label, label)))


def stance(robot):
    """Solo12's standing configuration: base 25 cm up, level; hips 0.8 rad, knees −1.6 rad."""
    q = robot.joint_vector({name: 0.8 if "HFE" in name else -1.6 if "KFE" in name else 0.0
                            for name in robot.dof_names})
    return np.r_[0.0, 0.0, 0.25, 0.0, 0.0, 0.0, 1.0, q]


FEET = [f"{leg}_FOOT" for leg in ("FL", "FR", "HL", "HR")]


def feet_held(robot, c, baumgarte):
    """Point contacts at the feet, their targets where the feet are at c."""
    base = BaseState.from_configuration(c)
    targets = [Pose(robot.forward_kinematics(base, c[7:], robot.link_id(f)).translation) for f in FEET]
    return robot.constraint_set([Contact(robot.link_id(f), target=t) for f, t in zip(FEET, targets)],
                                baumgarte=baumgarte)


def slope(dts, errors):
    return np.polyfit(np.log(dts), np.log(errors), 1)[0]


def test_free_flight_keeps_the_centroidal_momentum_to_first_order():
    robot = handle("Solo12")
    robot.gravity_vector = (0.0, 0.0, 0.0)
    rng = np.random.default_rng(1)
    c = stance(robot)
    c[3:7] = rng.normal(size=4) / 2  # any orientation, not normalised
    v = np.r_[rng.normal(size=6), 3 * rng.normal(size=12)]
    horizon, errors = 0.25, []
    for dt in DTS:
        steps = round(horizon / dt)
        configurations, velocities = robot.rollout(c, v, np.zeros((steps, robot.generalized_count)), dt)
        momenta = np.array([robot.centroidal_momentum(BaseState.from_configuration(ci, vi), ci[7:], vi[6:])
                            for ci, vi in zip(configurations, velocities)])
        errors.append(np.abs(momenta - momenta[0]).max() / np.abs(momenta[0]).max())
    assert all(a > b for a, b in zip(errors, errors[1:])), errors
    assert 0.8 <= slope(DTS, errors) <= 1.3, errors
    assert errors[-1] < 1e-2, errors


def stance_torques(robot, c, constraints):
    """Joint torques τ and foot forces f with g(q) = Sᵀτ + Jᵀf, no wrench on the base: q̈ = 0 at rest."""
    base, n = BaseState.from_configuration(c), robot.joint_count
    J = as_matrix(robot.constraint_jacobian(base, c[7:], constraints), constraints.count)
    actuation = np.vstack([np.zeros((6, n)), np.eye(n)])
    split = np.linalg.lstsq(np.hstack([actuation, J.T]), robot.gravity(base, c[7:]), rcond=None)[0]
    return actuation @ split[:n]


def test_solo_stands_still_on_its_stance_torques():
    robot = handle("Solo12")
    c, N = stance(robot), robot.generalized_count
    held = feet_held(robot, c, (100.0, 20.0))
    tau = stance_torques(robot, c, held)
    dt, steps = 1e-3, 1000
    configurations, velocities = robot.rollout(c, np.zeros(N), np.tile(tau, (steps, 1)), dt, constraints=held)
    assert configurations.shape == (steps + 1, 7 + robot.joint_count) and velocities.shape == (steps + 1, N)
    assert np.abs(configurations[:, :3] - c[:3]).max() < 1e-9
    assert np.abs(configurations[:, [3, 4, 5]]).max() < 1e-9  # the base stays level: half-angle sines
    assert np.abs(configurations[:, 7:] - c[7:]).max() < 1e-9
    assert np.abs(velocities).max() < 1e-9
    last = BaseState.from_configuration(configurations[-1])
    for foot, target in zip(FEET, (item.target for item in held.items)):
        where = robot.forward_kinematics(last, configurations[-1, 7:], robot.link_id(foot)).translation
        assert np.abs(np.subtract(where, target.translation)).max() < 1e-9
    # without the torques the legs fold and the base sinks
    sunk, _ = robot.rollout(c, np.zeros(N), np.zeros((200, N)), dt, constraints=held)
    assert sunk[-1, 2] < c[2] - 0.01


PENDULUM = urdf_text([("support", None), ("rod", None), ("bob", 1.0)],
                     [("hinge", "revolute", "support", "rod", (0, 0, 0), (0, 0, 0), (0, 1, 0)),
                      ("weld", "fixed", "rod", "bob", (0, 0, -0.5), (0, 0, 0), (1, 0, 0))], "pendulum")


def energies(robot, configurations, velocities):
    """Kinetic plus potential energy (J, zero at the world origin) of every row."""
    batch = robot.batch(threads=1)
    return np.asarray(batch.kinetic_energy(configurations, velocities)) + batch.potential_energy(configurations)


def test_a_pendulum_keeps_its_energy_bounded(write_urdf):
    """One joint: the mass matrix is constant and semi-implicit Euler is symplectic, so the energy
    error oscillates with an amplitude O(dt) and does not grow (period about 1.8 s, horizon 60 s);
    explicit Euler (positions first) pumps energy in."""
    robot = Robot(write_urdf(PENDULUM))
    q0, horizon, amplitudes = np.array([1.0]), 60.0, []
    for dt in DTS:
        steps = round(horizon / dt)
        q, qd = robot.rollout(q0, np.zeros(1), np.zeros((steps, 1)), dt)
        error = energies(robot, q, qd) - robot.potential_energy(q0)
        windows = np.array_split(np.abs(error), 12)
        assert windows[-1].max() <= 1.01 * windows[0].max()  # no drift: the last 5 s swing as the first
        amplitudes.append(np.abs(error).max())
    assert all(1.8 <= a / b <= 2.2 for a, b in zip(amplitudes, amplitudes[1:])), amplitudes
    # explicit Euler over 10 s at the finest step
    dt, q, qd = DTS[-1], q0.copy(), np.zeros(1)
    for _ in range(round(10 / dt)):
        q, qd = q + dt * qd, qd + dt * robot.forward_dynamics(q, qd, np.zeros(1))
    assert robot.kinetic_energy(q, qd) + robot.potential_energy(q) - robot.potential_energy(q0) > 10 * amplitudes[-1]


def test_a_dropped_arm_keeps_its_energy_to_first_order():
    """The UR5 released at rest: the energy error over 1 s falls linearly with dt. Its mass matrix
    depends on q, so the step is not symplectic in (q, q̇) and, unlike the pendulum's, the error also
    creeps up over long horizons (at a rate that falls linearly with dt); it is not bounded."""
    robot = handle("UR5")
    n = robot.joint_count
    q0, errors = np.linspace(0.3, -0.4, n), []
    for dt in DTS:
        steps = round(1.0 / dt)
        q, qd = robot.rollout(q0, np.zeros(n), np.zeros((steps, n)), dt)
        errors.append(np.abs(energies(robot, q, qd) - robot.potential_energy(q0)).max())
    assert all(a > b for a, b in zip(errors, errors[1:])), errors
    assert 0.8 <= slope(DTS, errors) <= 1.3, errors


# --------------------------------------------------------------------------------------------
# The rollout is the loop of single calls

def loop(robot, c, v, forces, dt, constraints=None, regularization=0.0):
    """The documented loop: forward dynamics (constrained if given), v += dt·q̈, c = integrate(c, v, dt)."""
    floating = isinstance(robot, FloatingRobot)
    configurations, velocities = [c], [v]
    for tau in forces:
        lead = (BaseState.from_configuration(c, v), c[7:], v[6:]) if floating else (c, v)
        if constraints is None:
            qdd = robot.forward_dynamics(*lead, tau)
        else:
            qdd, _ = robot.constrained_forward_dynamics(*lead, tau, constraints, regularization=regularization)
        v = v + dt * qdd
        c = robot.integrate(c, v, dt)
        configurations.append(c)
        velocities.append(v)
    return np.array(configurations), np.array(velocities)


def start(robot, rng):
    """A configuration near Solo12's stance or a random arm configuration, a velocity and forces."""
    N = robot.generalized_count
    if isinstance(robot, FloatingRobot):
        c = stance(robot) + np.r_[0.01 * rng.normal(size=3), np.zeros(4), 0.05 * rng.normal(size=robot.joint_count)]
        c[3:7] = np.r_[0.05 * rng.normal(size=3), 1.0]
        c[3:7] /= np.linalg.norm(c[3:7])
    else:
        c = rng.uniform(-1, 1, N)
    return c, 0.3 * rng.normal(size=N), rng.normal(size=(30, N))


def constraints_of(robot, kind, c):
    if kind is None:
        return None
    if isinstance(robot, FloatingRobot):
        return feet_held(robot, c, (50.0, 10.0))
    tool = robot.link_id("tool0")
    target = Pose(robot.forward_kinematics(c, tool).translation)
    return robot.constraint_set([Contact(tool, target=target)], baumgarte=(50.0, 10.0))


@pytest.mark.parametrize("label", ["UR5", "Solo12"])
@pytest.mark.parametrize("kind", [None, "contacts"])
def test_rollout_is_the_loop_of_single_calls(label, kind):
    robot, rng, dt = handle(label), np.random.default_rng(8), 2e-3
    rows = [start(robot, rng) for _ in range(3)]
    held = constraints_of(robot, kind, rows[0][0])
    options = {} if held is None else {"constraints": held, "regularization": 1e-10}
    singles = []
    for c, v, forces in rows:
        single = robot.rollout(c, v, forces, dt, **options)
        want = loop(robot, c, v, forces, dt, held, options.get("regularization", 0.0))
        assert all(np.array_equal(a, b) for a, b in zip(single, want))
        singles.append(single)
    configurations, velocities = robot.batch(threads=2).rollout(*(np.array(x) for x in zip(*rows)), dt, **options)
    T, C, N = rows[0][2].shape[0], len(rows[0][0]), robot.generalized_count
    assert configurations.shape == (3, T + 1, C) and velocities.shape == (3, T + 1, N)
    for i, (c, v) in enumerate(singles):
        assert np.array_equal(configurations[i], c) and np.array_equal(velocities[i], v), i


def first_failure(robot, c, v, forces, dt):
    """The error the loop stops with, and its step."""
    for t in range(len(forces)):
        try:
            loop(robot, c, v, forces[:t + 1], dt)
        except Exception as error:
            return error, t
    pytest.fail("the loop never failed")


def test_a_failing_step_is_named():
    """Forces that grow without bound end the rollout at the step the loop fails at, with its error."""
    robot, rng, dt = handle("UR5"), np.random.default_rng(9), 1e-2
    c, v, forces = start(robot, rng)
    forces[3:] = 1e300
    error, step = first_failure(robot, c, v, forces, dt)
    with pytest.raises(type(error)) as info:
        robot.rollout(c, v, forces, dt)
    assert str(info.value) == f"{error} (step {step})"
    fine = start(robot, rng)
    rows = [np.array(x) for x in zip(fine, (c, v, forces), fine)]
    with pytest.raises(type(error)) as info:
        robot.batch(threads=2).rollout(*rows, dt)
    assert "(row 1)" in str(info.value) and f"(step {step})" in str(info.value), str(info.value)


def test_rollout_leaves_the_orientation_normalised():
    robot = handle("Solo12")
    rng = np.random.default_rng(4)
    c, v, forces = start(robot, rng)
    c[3:7] *= 3.0
    configurations, _ = robot.rollout(c, v, forces, 1e-3)
    assert np.abs(np.linalg.norm(configurations[1:, 3:7], axis=1) - 1).max() < 1e-15
