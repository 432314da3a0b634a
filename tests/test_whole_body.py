"""Whole-body quantities: against Pinocchio's centerOfMass, jacobianCenterOfMass, ccrba /
computeCentroidalMap and energies on floating robots (converted to our conventions), and
against identities with velkor's own dynamics on fixed ones."""

import sys
from pathlib import Path

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO
from peers import pinocchio as pin

from conftest import matrix_quat
from velkor import BaseState, FloatingRobot, Pose, Robot, SolverError, Twist, as_matrix
from velkor.samples import sample_path

sys.path.insert(0, str(Path(__file__).parent.parent / "benchmarks"))
import robots  # noqa: E402


def close(ours, theirs):
    theirs = np.asarray(theirs)
    return np.allclose(ours, theirs, rtol=1e-9, atol=1e-9 * max(1.0, np.abs(theirs).max()))


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("label", ["Talos (floating)", "Solo12 (floating)"])
def test_floating_robots_agree_with_the_peer(label):
    case = robots.case(label)
    robot, model = robots.velkor_handle(case), robots.peer_model(case)
    data = model.createData()
    rng = np.random.default_rng(4)
    for _ in range(3):
        q, qd = rng.uniform(-1, 1, (2, robot.joint_count))
        quat, p = rng.normal(size=4), rng.normal(size=3)
        quat /= np.linalg.norm(quat)
        w, v = rng.normal(size=(2, 3))
        base = BaseState(Pose(p, quat), Twist(w, v))
        R = pin.Quaternion(quat[3], *quat[:3]).toRotationMatrix()
        # Pinocchio's free flyer: q = (p, quaternion, joints), v = (Rᵀ v, Rᵀ ω, joints)
        pq, pv = np.concatenate([p, quat, np.zeros(model.nq - 7)]), np.concatenate([R.T @ v, R.T @ w, np.zeros(model.nv - 6)])
        T = np.zeros((model.nv, robot.generalized_count))  # Pinocchio's velocity = T · our velocity
        T[0:3, 3:6] = T[3:6, 0:3] = R.T
        for k, name in enumerate(robot.dof_names):
            joint = model.joints[model.getJointId(name)]
            pq[joint.idx_q], pv[joint.idx_v], T[joint.idx_v, 6 + k] = q[k], qd[k], 1
        pin.centerOfMass(model, data, pq, pv)
        assert close(robot.center_of_mass(base, q), data.com[0])
        assert close(robot.center_of_mass_velocity(base, q, qd), data.vcom[0])
        assert close(as_matrix(robot.center_of_mass_jacobian(base, q), 3), pin.jacobianCenterOfMass(model, data, pq) @ T)
        pin.ccrba(model, data, pq, pv)
        assert close(robot.centroidal_momentum(base, q, qd), np.concatenate([data.hg.angular, data.hg.linear]))
        Ag = pin.computeCentroidalMap(model, data, pq)
        assert close(as_matrix(robot.centroidal_momentum_matrix(base, q), 6), np.vstack([Ag[3:], Ag[:3]]) @ T)
        assert robot.kinetic_energy(base, q, qd) == pytest.approx(pin.computeKineticEnergy(model, data, pq, pv), rel=1e-9)
        assert robot.potential_energy(base, q) == pytest.approx(pin.computePotentialEnergy(model, data, pq), rel=1e-9)


def states(robot, count=3, seed=6):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        lead = ()
        if isinstance(robot, FloatingRobot):
            lead = (BaseState(Pose(rng.normal(size=3), rng.normal(size=4)), Twist(rng.normal(size=3), rng.normal(size=3))),)
        yield lead, rng.uniform(-1, 1, robot.joint_count), rng.uniform(-1, 1, robot.joint_count)


@pytest.mark.parametrize("make", [lambda: Robot(sample_path("arm")), lambda: FloatingRobot(sample_path("quadruped"))])
def test_identities_with_the_dynamics(make):
    robot = make()
    robot.gravity_vector = (0.3, -0.2, -9.7)
    for lead, q, qd in states(robot):
        v = np.concatenate([*(np.concatenate([b.velocity.angular, b.velocity.linear]) for b in lead), qd])
        M = as_matrix(robot.mass_matrix(*lead, q), robot.generalized_count)
        assert robot.kinetic_energy(*lead, q, qd) == pytest.approx(0.5 * v @ M @ v, rel=1e-12)
        J = as_matrix(robot.center_of_mass_jacobian(*lead, q), 3)
        assert close(J @ v, robot.center_of_mass_velocity(*lead, q, qd))
        A = as_matrix(robot.centroidal_momentum_matrix(*lead, q), 6)
        h = robot.centroidal_momentum(*lead, q, qd)
        assert close(A @ v, h)
        assert close(h[3:], robot.total_mass * robot.center_of_mass_velocity(*lead, q, qd))
        assert robot.potential_energy(*lead, q) == pytest.approx(
            -robot.total_mass * np.dot(robot.gravity_vector, robot.center_of_mass(*lead, q)), rel=1e-12)
        # the joint forces that hold the robot still are the gradient of V
        step = 1e-6
        grad = [(robot.potential_energy(*lead, q + step * e) - robot.potential_energy(*lead, q - step * e)) / (2 * step)
                for e in np.eye(robot.joint_count)]
        assert np.allclose(grad, robot.gravity(*lead, q)[-robot.joint_count:], rtol=1e-6, atol=1e-6)


def test_a_massless_robot_has_no_centre(write_urdf):
    from conftest import joint_xml, link_xml
    robot = Robot(write_urdf(f'<robot name="m">{link_xml("a", None)}{link_xml("b", None)}'
                             f'{joint_xml("j", "revolute", "a", "b")}</robot>'))
    with pytest.raises(SolverError, match="centre of mass of a massless robot"):
        robot.center_of_mass([0.1])
    assert robot.kinetic_energy([0.1], [0.2]) == 0.0 and robot.potential_energy([0.1]) == 0.0


@pytest.mark.parametrize("make", [lambda: Robot(sample_path("arm")), lambda: Robot(str(robots.urdf_path("ur_description/urdf/ur5_robot.urdf")))])
def test_power_balance_under_forward_dynamics(make):
    # without loads, d(T + V)/dt = q̇ᵀτ along the motion forward dynamics gives
    robot = make()
    for _, q, qd in states(robot):
        tau = np.random.default_rng(2).uniform(-3, 3, robot.joint_count)
        qdd = robot.forward_dynamics(q, qd, tau)

        def energy(s):
            return robot.kinetic_energy(q + qd * s + 0.5 * qdd * s * s, qd + qdd * s) + \
                robot.potential_energy(q + qd * s + 0.5 * qdd * s * s)

        h = 1e-5
        assert (energy(h) - energy(-h)) / (2 * h) == pytest.approx(qd @ tau, rel=1e-6, abs=1e-7)


def rotation_exp(w):
    angle = np.linalg.norm(w)
    if angle == 0:
        return np.eye(3)
    k = w / angle
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * K + (1 - np.cos(angle)) * K @ K


def matrix_quaternion(R):
    return list(matrix_quat(R))


def test_momentum_rate_is_the_applied_wrench_plus_gravity():
    # ḣ_G = (n_b + (p_b − c) × f_b, f_b + m g) for a base wrench (n_b about the root origin, f_b)
    robot = FloatingRobot(sample_path("quadruped"))
    robot.gravity_vector = (0.2, -0.1, -9.7)
    rng = np.random.default_rng(8)
    for _ in range(3):
        q, qd = rng.uniform(-1, 1, (2, robot.joint_count))
        p, w, v = rng.normal(size=(3, 3))
        R0 = rotation_exp(rng.normal(size=3))
        forces = rng.uniform(-5, 5, robot.generalized_count)
        state = BaseState(Pose(p, matrix_quaternion(R0)), Twist(w, v))
        accel = robot.forward_dynamics(state, q, qd, forces)
        alpha, a, qdd = accel[:3], accel[3:6], accel[6:]

        def momentum(s):  # second-order Taylor motion of the base and the joints
            pose = Pose(p + v * s + 0.5 * a * s * s, matrix_quaternion(rotation_exp(w * s + 0.5 * alpha * s * s) @ R0))
            moved = BaseState(pose, Twist(w + alpha * s, v + a * s))
            return robot.centroidal_momentum(moved, q + qd * s + 0.5 * qdd * s * s, qd + qdd * s)

        h = 1e-5
        rate = (momentum(h) - momentum(-h)) / (2 * h)
        c = robot.center_of_mass(state, q)
        n_b, f_b = forces[:3], forces[3:6]
        expected = np.concatenate([n_b + np.cross(p - c, f_b), f_b + robot.total_mass * np.asarray(robot.gravity_vector)])
        assert np.allclose(rate, expected, rtol=1e-6, atol=1e-5)
