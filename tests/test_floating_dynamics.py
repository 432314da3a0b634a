"""Dynamics of a free-floating base: the base wrench and base acceleration come
first (angular, then linear, world axes), then the joints."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import quat_matrix
from velkor import BaseState, FloatingRobot, Load, Pose, SolverError, Twist
from velkor.samples import sample_path

G = 9.80665


def body(name, mass, com, inertia, rpy="0.2 -0.1 0.4"):
    ixx, iyy, izz, ixy, ixz, iyz = inertia
    return (f'<link name="{name}"><inertial><origin xyz="{" ".join(map(str, com))}" rpy="{rpy}"/>'
            f'<mass value="{mass}"/><inertia ixx="{ixx}" ixy="{ixy}" ixz="{ixz}" iyy="{iyy}" '
            f'iyz="{iyz}" izz="{izz}"/></inertial></link>')


def joint(name, kind, parent, child, xyz, axis):
    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
            f'<origin xyz="{xyz}" rpy="0.3 0.1 -0.2"/><axis xyz="{axis}"/>'
            f'<limit lower="-2" upper="2" velocity="3"/></joint>')


# A floating torso with two branches: revolute, continuous, prismatic and fixed joints,
# non-coordinate axes, offset centres of mass and full inertia tensors.
TREE = ('<robot name="tree">'
        + body("torso", 5.0, (0.05, -0.02, 0.1), (0.3, 0.4, 0.5, 0.01, -0.02, 0.03))
        + body("a", 1.2, (0.1, 0.0, -0.05), (0.02, 0.03, 0.04, 0.001, 0.0, -0.002))
        + body("b", 0.8, (0.0, 0.1, 0.0), (0.01, 0.01, 0.02, 0.0, 0.001, 0.0))
        + body("c", 0.5, (0.0, 0.0, -0.1), (0.005, 0.006, 0.004, 0.0, 0.0, 0.0005))
        + body("d", 0.3, (0.02, 0.02, 0.02), (0.002, 0.003, 0.002, 0.0, 0.0, 0.0))
        + body("e", 0.4, (0.0, -0.03, 0.05), (0.003, 0.002, 0.004, 0.0001, 0.0, 0.0))
        + joint("j_a", "revolute", "torso", "a", "0.2 0.1 0", "0 0.6 0.8")
        + joint("j_b", "continuous", "a", "b", "0.3 0 0", "1 0 0")
        + joint("j_c", "prismatic", "torso", "c", "-0.2 0 -0.1", "0 0 1")
        + joint("j_d", "fixed", "c", "d", "0 0.1 -0.2", "1 0 0")
        + joint("j_e", "revolute", "d", "e", "0 0 -0.1", "0.3 -0.4 0")
        + "</robot>")


@pytest.fixture(params=["tree", "quadruped"])
def robot(request, write_urdf):
    path = write_urdf(TREE) if request.param == "tree" else sample_path("quadruped")
    return FloatingRobot(path)


def link_masses(robot):
    """(mass, centre of mass) of every link in link-id order, read from the description."""
    text = TREE if robot.name == "tree" else open(sample_path("quadruped")).read()
    masses = {}
    for link in ET.fromstring(text).findall("link"):
        inertial = link.find("inertial")
        com = [float(x) for x in inertial.find("origin").get("xyz").split()]
        masses[link.get("name")] = (float(inertial.find("mass").get("value")), np.array(com))
    return [masses[name] for name in sorted(masses, key=robot.link_id)]


def random_state(robot, seed):
    rng = np.random.default_rng(seed)
    n = robot.joint_count
    q, qd, qdd = (rng.uniform(-1, 1, n) for _ in range(3))
    base = BaseState(Pose(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 4)),
                     Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)),
                     Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)))
    return base, q, qd, qdd


def base_acceleration(base):
    return np.r_[base.acceleration.angular, base.acceleration.linear]


@pytest.mark.parametrize("seed", range(4))
def test_inverse_dynamics_is_mass_matrix_plus_bias(robot, seed):
    base, q, qd, qdd = random_state(robot, seed)
    M = robot.mass_matrix(base, q).reshape(robot.generalized_count, -1)
    expected = (M @ np.r_[base_acceleration(base), qdd] + robot.velocity_product_forces(base, q, qd)
                + robot.gravity(base, q))
    np.testing.assert_allclose(robot.inverse_dynamics(base, q, qd, qdd), expected, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("seed", range(4))
def test_forward_dynamics_inverts_inverse_dynamics(robot, seed):
    base, q, qd, qdd = random_state(robot, seed)
    loads = [Load(2, torque=[0.1, -0.2, 0.3], force=[1.0, 2.0, -1.0]), Load(0, force=[0.0, 3.0, 0.0])]
    forces = robot.inverse_dynamics(base, q, qd, qdd, loads=loads)
    result = robot.forward_dynamics(base, q, qd, forces, loads=loads)
    np.testing.assert_allclose(result, np.r_[base_acceleration(base), qdd], rtol=1e-9, atol=1e-9)


def test_root_load_moves_the_base(robot):
    base, q, qd, qdd = random_state(robot, 7)
    push = [Load(0, force=[0.0, 0.0, 10.0])]
    wrench = robot.inverse_dynamics(base, q, qd, qdd, loads=push) - robot.inverse_dynamics(base, q, qd, qdd)
    # the root exerts the load on its surroundings, so the base must supply it (world axes)
    R = quat_matrix(base.frame.rotation_xyzw)
    np.testing.assert_allclose(wrench[3:6], R @ [0.0, 0.0, 10.0], atol=1e-9)
    np.testing.assert_allclose(wrench[6:], 0.0, atol=1e-12)
    forces = np.zeros(robot.generalized_count)
    moved = robot.forward_dynamics(base, q, qd, forces, loads=push) - robot.forward_dynamics(base, q, qd, forces)
    assert np.abs(moved[:6]).max() > 1e-3


@pytest.mark.parametrize("method", ["inverse_dynamics", "gravity", "velocity_product_forces", "forward_dynamics"])
def test_base_translation_and_linear_velocity_change_nothing(robot, method):
    base, q, qd, qdd = random_state(robot, 11)
    moved = BaseState(Pose(np.array(base.frame.translation) + [5.0, -3.0, 2.0], base.frame.rotation_xyzw),
                      Twist(base.velocity.angular, [3.0, -1.0, 0.5]), base.acceleration)
    args = {"inverse_dynamics": (q, qd, qdd), "gravity": (q,), "velocity_product_forces": (q, qd),
            "forward_dynamics": (q, qd, np.linspace(-1, 1, robot.generalized_count))}[method]
    call = getattr(robot, method)
    np.testing.assert_allclose(call(moved, *args), call(base, *args), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("seed", range(3))
def test_free_motion_changes_momentum_only_by_gravity(robot, seed):
    """Without a base wrench the total linear momentum changes at m·g, whatever the joints do."""
    base, q, qd, _ = random_state(robot, seed)
    torques = np.random.default_rng(seed).uniform(-2, 2, robot.joint_count)
    acc = robot.forward_dynamics(base, q, qd, np.r_[np.zeros(6), torques])
    moving = BaseState(base.frame, base.velocity, Twist(acc[:3], acc[3:6]))
    rate, total = np.zeros(3), 0.0
    for link, (mass, com) in enumerate(link_masses(robot)):
        # centre-of-mass acceleration from the link's motion
        a = robot.forward_acceleration_kinematics(moving, q, qd, acc[6:], link)
        w = np.array(robot.forward_velocity_kinematics(moving, q, qd, link).angular)
        r = quat_matrix(robot.forward_kinematics(moving, q, link).rotation_xyzw) @ com
        rate += mass * (np.array(a.linear) + np.cross(a.angular, r) + np.cross(w, np.cross(w, r)))
        total += mass
    np.testing.assert_allclose(rate, [0.0, 0.0, -total * G], rtol=1e-9, atol=1e-9)
    # and the same motion asks for no base wrench, only the applied joint torques
    result = robot.inverse_dynamics(moving, q, qd, acc[6:])
    np.testing.assert_allclose(result, np.r_[np.zeros(6), torques], atol=1e-9)


def test_spinning_base_with_offset_mass_needs_a_base_wrench(robot):
    state = BaseState(velocity=Twist(angular=[0.0, 0.0, 3.0]))
    q = np.zeros(robot.joint_count)
    assert np.abs(robot.velocity_product_forces(state, q, q)[:6]).max() > 1e-3


def single_body(write_urdf, mass, com, inertia, rpy="0.2 -0.1 0.4"):
    return FloatingRobot(write_urdf('<robot name="body">' + body("b", mass, com, inertia, rpy) + "</robot>"))


@pytest.mark.parametrize("rotation", [(0, 0, 0, 1), (0.3, -0.5, 0.2, 0.7), (1, 0, 0, 0)])
def test_free_body_falls_at_g_in_any_orientation(write_urdf, rotation):
    robot = single_body(write_urdf, 2.0, (0.1, -0.2, 0.05), (0.3, 0.2, 0.4, 0.01, 0.0, -0.02))
    state = BaseState(Pose(rotation_xyzw=rotation))
    np.testing.assert_allclose(robot.forward_dynamics(state, [], [], np.zeros(6)),
                               [0, 0, 0, 0, 0, -G], atol=1e-12)
    falling = BaseState(Pose(rotation_xyzw=rotation), acceleration=Twist(linear=[0, 0, -G]))
    np.testing.assert_allclose(robot.inverse_dynamics(falling, [], [], []), np.zeros(6), atol=1e-12)
    # n = 0: a 6 x 6 mass matrix whose linear block is the mass
    M = robot.mass_matrix(state, []).reshape(6, 6)
    np.testing.assert_allclose(M[3:, 3:], 2.0 * np.eye(3), atol=1e-15)


@pytest.mark.parametrize("com, inertia, message", [
    ((0, 0, 0), (0, 0, 0, 0, 0, 0), "forward dynamics found singular floating-base articulated inertia"),
    ((1, 0, 0), (1e-10, 1e-10, 1e-10, 0, 0, 0),
     "forward dynamics found ill-conditioned scaled floating-base articulated inertia"),
])
def test_degenerate_base_inertia(write_urdf, com, inertia, message):
    robot = single_body(write_urdf, 1.0, com, inertia)
    out = np.full(6, np.nan)
    with pytest.raises(SolverError) as info:
        robot.forward_dynamics(BaseState(), [], [], np.zeros(6), out=out)
    assert info.value.args == (message,)
    assert np.all(out == 0.0)  # a failed base step leaves the result all zero


def test_diagonal_base_inertia_passes_whatever_its_spread(write_urdf):
    robot = single_body(write_urdf, 1e3, (0, 0, 0), (1e-9, 1.0, 1e6, 0, 0, 0), rpy="0 0 0")
    result = robot.forward_dynamics(BaseState(), [], [], [1e-9, 0, 0, 0, 0, 0])
    # the axis with the tiny inertia is not lost: 1e-9 N·m on 1e-9 kg·m² is 1 rad/s²
    np.testing.assert_allclose(result, [1, 0, 0, 0, 0, -G], rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda r, b, q: r.forward_dynamics(b, q, q, np.zeros(12)),
     "expected 18 elements in forward dynamics generalized forces, found 12"),
    (lambda r, b, q: r.forward_dynamics(b, q, q, np.r_[np.nan, np.zeros(17)]),
     "generalized forces contains a non-finite value"),
    (lambda r, b, q: r.inverse_dynamics(b, q, q, q[:-1]), "q and qdd must have the same length"),
    (lambda r, b, q: r.gravity(b, q[:-1]), "expected 12 elements in q, found 11"),
    (lambda r, b, q: r.gravity(BaseState(velocity=Twist(angular=[np.inf, 0, 0])), q),
     "invalid base velocity: must contain only finite values"),
    (lambda r, b, q: r.velocity_product_forces(b, q, q, out=np.zeros(12)), "out must contain exactly 18 elements"),
])
def test_errors(call, message):
    robot = FloatingRobot(sample_path("quadruped"))
    with pytest.raises(ValueError) as info:
        call(robot, BaseState(), np.zeros(12))
    assert info.value.args == (message,)
