"""Mass matrix, inverse and forward dynamics, gravity and velocity-product forces, checked against
link-Jacobian constructions, Lagrangian finite differences and hand-derived cases."""

import math
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import BRANCH_JOINTS, joint_xml, quat_matrix
from velkor import BaseState, FloatingRobot, Load, Pose, Robot, SolverError, Twist
from velkor.samples import sample_path

G, NAN = 9.80665, math.nan
FRAME = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])  # not a unit quaternion
INERTIA_KEYS = ("ixx", "ixy", "ixz", "iyy", "iyz", "izz")
# name: (mass, centre of mass, inertial rpy, inertia); offset centres, tilted non-diagonal inertias
BODIES = {
    "root": (3.0, (0.1, 0.0, -0.1), (0, 0, 0), (0.2, 0, 0, 0.2, 0, 0.2)),
    "a": (1.5, (0.1, -0.05, 0.2), (0.3, -0.2, 0.9), (0.05, 0.01, -0.004, 0.04, 0.006, 0.03)),
    "b": (0.8, (0.0, 0.1, 0.05), (0, 0, 0), (0.02, 0.0, 0.003, 0.03, 0.0, 0.01)),
    "c": (0.5, (-0.1, 0.0, 0.0), (1.0, 0.0, 0.2), (0.01, 0, 0, 0.02, 0, 0.015)),
    "d": (1.2, (0.05, 0.05, 0.3), (0.0, 0.4, 0.0), (0.06, -0.01, 0.0, 0.05, 0.002, 0.02)),
    "e": (0.3, (0.2, 0.0, 0.0), (0, 0, 0), (0.001, 0, 0, 0.004, 0, 0.004)),
    "f": (0.7, (0.0, -0.2, 0.1), (0.5, 0.5, 0.5), (0.03, 0.002, 0.001, 0.02, -0.003, 0.025)),
    "g": (0.4, (0.1, 0.1, 0.1), (0, 0, 0), (0.005, 0, 0, 0.005, 0, 0.005)),
}
AXES_JOINTS = [  # both signs of coordinate axes for both joint kinds
    ("s1", "revolute", "root", "a", (0.1, 0, 0.2), (0.3, 0, 0), (0, 0, -1)),
    ("s2", "prismatic", "a", "b", (0, 0.2, 0), (0, 0.5, 0), (-1, 0, 0)),
    ("s3", "revolute", "b", "c", (0.1, 0.1, 0), (0, 0, 0.7), (0, -1, 0)),
    ("s4", "prismatic", "c", "d", (0, 0, 0.3), (0.2, 0.1, 0), (0, 0, 1)),
    ("s5", "continuous", "b", "e", (0.2, 0, 0), (0, 0, 0), (1, 0, 0)),
]
FORMS_JOINTS = [  # coordinate axes of either sign and an oblique one, origins turned and not
    ("f1", "revolute", "root", "a", (0, 0, 0.1), (0, 0, 0), (1, 0, 0)),
    ("f2", "revolute", "a", "b", (0.1, 0, 0), (0, 0, 0), (0, -1, 0)),
    ("f3", "continuous", "b", "c", (0, 0.1, 0.2), (0.4, -0.3, 0.2), (0, 0, 1)),
    ("f4", "prismatic", "c", "d", (0.2, 0, 0), (0, 0, 0), (-1, 0, 0)),
    ("f5", "revolute", "d", "e", (0, 0, 0.1), (0, 0.6, 0), (0, 1, 0)),
    ("f6", "revolute", "e", "f", (0.1, 0.1, 0), (0, 0, 0), (0, 0, -1)),
    ("f7", "revolute", "c", "g", (0, 0.2, 0), (0, 0, 0), (0.6, 0, 0.8)),
]
MODELS = {"branch": (BODIES, BRANCH_JOINTS),
          "axes": ({k: BODIES[k] for k in "root a b c d e".split()}, AXES_JOINTS),
          "forms": (BODIES, FORMS_JOINTS)}


def exactly(message):
    return f"^{re.escape(message)}$"


def body_xml(name, mass=None, com=(0, 0, 0), rpy=(0, 0, 0), inertia=(0,) * 6):
    if mass is None:
        return f'<link name="{name}"/>'
    text = lambda values: " ".join(repr(float(v)) for v in values)  # noqa: E731
    attrs = " ".join(f'{k}="{float(v)!r}"' for k, v in zip(INERTIA_KEYS, inertia))
    return (f'<link name="{name}"><inertial><origin xyz="{text(com)}" rpy="{text(rpy)}"/>'
            f'<mass value="{float(mass)!r}"/><inertia {attrs}/></inertial></link>')


def robot_text(bodies, joints):
    """bodies: name -> body_xml arguments, None for a link without inertial data."""
    links = "".join(body_xml(n, *(b or ())) for n, b in bodies.items())
    return f'<?xml version="1.0"?><robot name="dyn">{links}{"".join(joint_xml(*j) for j in joints)}</robot>'


@pytest.fixture
def build(write_urdf):
    return lambda bodies, joints, cls=Robot: cls(write_urdf(robot_text(bodies, joints)))


def tensor(xx, xy, xz, yy, yz, zz):
    return np.array([[xx, xy, xz], [xy, yy, yz], [xz, yz, zz]])


def skew(v):
    return np.array([[0, -v[2], v[1]], [v[2], 0, -v[0]], [-v[1], v[0], 0]])


def rpy_matrix(r, p, y):
    cr, sr, cp, sp, cy, sy = math.cos(r), math.sin(r), math.cos(p), math.sin(p), math.cos(y), math.sin(y)
    return (np.array([[cy, -sy, 0], [sy, cy, 0], [0, 0, 1]]) @ np.array([[cp, 0, sp], [0, 1, 0], [-sp, 0, cp]])
            @ np.array([[1, 0, 0], [0, cr, -sr], [0, sr, cr]]))


def urdf_bodies(path):
    """name -> (mass, centre of mass, inertia about it in link axes), read straight from the file."""
    result = {}
    for link in ET.parse(path).getroot().iter("link"):
        if (inertial := link.find("inertial")) is None:
            continue
        origin = inertial.find("origin").attrib if inertial.find("origin") is not None else {}
        com, rpy = (np.array(origin.get(k, "0 0 0").split(), float) for k in ("xyz", "rpy"))
        rot, inertia = rpy_matrix(*rpy), tensor(*(float(inertial.find("inertia").get(k)) for k in INERTIA_KEYS))
        result[link.get("name")] = (float(inertial.find("mass").get("value")), com, rot @ inertia @ rot.T)
    return result


def jacobian_mass_matrix(robot, path, q, *base):
    """Σ over links of mass·J_cᵀJ_c + J_ωᵀ·I_world·J_ω, J_c the centre-of-mass Jacobian."""
    total = 0
    for name, (mass, com, inertia) in urdf_bodies(path).items():
        link = robot.link_id(name)
        jac = robot.jacobian(*base, q, link).reshape(-1, 6).T
        rot = quat_matrix(robot.forward_kinematics(*base, q, link).rotation_xyzw)
        linear = jac[3:] - skew(rot @ com) @ jac[:3]
        total = total + mass * linear.T @ linear + jac[:3].T @ (rot @ inertia @ rot.T) @ jac[:3]
    return total


def states(n, seed, count=3):
    return np.random.default_rng(seed).uniform(-2, 2, (count, 3, n))


@pytest.fixture(params=["arm", "branch", "axes", "forms"])
def model(request, write_urdf):
    """(robot with a tilted base frame, its URDF path)."""
    path = sample_path("arm") if request.param == "arm" else write_urdf(robot_text(*MODELS[request.param]))
    robot = Robot(path)
    robot.set_base_frame(FRAME)
    return robot, path


def test_mass_matrix_matches_link_jacobians_and_inverse_dynamics(model):
    robot, path = model
    n = robot.generalized_count
    for q, _, _ in states(n, 1):
        m = robot.mass_matrix(q).reshape(n, n)
        assert np.array_equal(m, m.T) and np.linalg.eigvalsh(m).min() > 0
        assert np.allclose(m, jacobian_mass_matrix(robot, path, q), rtol=0, atol=1e-12)
        rest = robot.inverse_dynamics(q, np.zeros(n), np.zeros(n))
        columns = np.column_stack([robot.inverse_dynamics(q, np.zeros(n), e) - rest for e in np.eye(n)])
        assert np.allclose(m, columns, rtol=0, atol=1e-11)


def test_gravity_and_velocity_terms_follow_from_energy(model):
    """g = ∂V/∂q and c_i = Σ (∂_k M_ij − ½ ∂_i M_jk) qd_j qd_k, by central differences."""
    robot, path = model
    n, h = robot.generalized_count, 1e-6
    bodies = [(robot.link_id(name), mass, com) for name, (mass, com, _) in urdf_bodies(path).items()]

    def potential(q):
        poses = robot.forward_kinematics_all(q).reshape(-1, 7)
        return sum(m * G * (quat_matrix(poses[i, 3:]) @ c + poses[i, :3])[2] for i, m, c in bodies)

    for q, qd, _ in states(n, 3, 2):
        steps = np.eye(n) * h
        dv = np.array([potential(q + s) - potential(q - s) for s in steps]) / (2 * h)
        assert np.allclose(robot.gravity(q), dv, rtol=0, atol=1e-7)
        dm = np.array([robot.mass_matrix(q + s) - robot.mass_matrix(q - s) for s in steps]) / (2 * h)
        dm = dm.reshape(n, n, n)
        expected = np.einsum("kij,j,k->i", dm, qd, qd) - 0.5 * np.einsum("ijk,j,k->i", dm, qd, qd)
        assert np.allclose(robot.velocity_product_forces(q, qd), expected, rtol=0, atol=1e-7)


def test_inverse_dynamics_decomposes(model):
    robot, _ = model
    n = robot.generalized_count
    zero = np.zeros(n)
    for q, qd, qdd in states(n, 4):
        g, c, m = robot.gravity(q), robot.velocity_product_forces(q, qd), robot.mass_matrix(q).reshape(n, n)
        assert np.allclose(g, robot.inverse_dynamics(q, zero, zero), rtol=0, atol=1e-12)
        assert np.array_equal(robot.velocity_product_forces(q, zero), zero)
        assert np.allclose(c + g, robot.inverse_dynamics(q, qd, zero), rtol=0, atol=1e-11)
        assert np.allclose(robot.velocity_product_forces(q, 2 * qd), 4 * c, rtol=0, atol=1e-11)
        assert np.allclose(robot.inverse_dynamics(q, qd, qdd), m @ qdd + c + g, rtol=0, atol=1e-11)


def test_forward_dynamics_inverts_inverse_dynamics(model):
    robot, _ = model
    n, rng = robot.generalized_count, np.random.default_rng(5)
    for q, qd, qdd in states(n, 5):
        loads = [Load(int(rng.integers(robot.link_count)), torque=rng.normal(size=3), force=rng.normal(size=3))
                 for _ in range(3)]
        tau = robot.inverse_dynamics(q, qd, qdd, loads)
        assert np.allclose(robot.forward_dynamics(q, qd, tau, loads), qdd, rtol=0, atol=1e-9)
        free = np.linalg.solve(robot.mass_matrix(q).reshape(n, n), -robot.inverse_dynamics(q, qd, 0 * qd, loads))
        assert np.allclose(robot.forward_dynamics(q, qd, np.zeros(n), loads), free, rtol=0, atol=1e-9)
        assert np.allclose(robot.forward_dynamics(q, 0 * qd, robot.gravity(q)), 0, rtol=0, atol=1e-9)


@pytest.mark.parametrize("floating", [False, True], ids=["fixed", "floating"])
def test_gravity_is_inverse_dynamics_at_rest_under_loads(model, floating):
    """Gravity's own pass against the whole recursion at rest, loads included; zero loads change no bit."""
    robot, path = model
    if floating:
        robot = FloatingRobot(path)
    n, rng = robot.joint_count, np.random.default_rng(8)
    for q, _, _ in states(n, 6):
        lead = (BaseState(Pose(rng.normal(size=3), rng.normal(size=4))),) if floating else ()
        loads = [Load(int(link), torque=rng.normal(size=3), force=rng.normal(size=3))
                 for link in rng.choice(robot.link_count, 3)]
        rest = np.zeros(n)
        for given in (None, loads):
            expected = robot.inverse_dynamics(*lead, q, rest, rest, given)
            assert np.allclose(robot.gravity(*lead, q, given), expected, rtol=0, atol=1e-12)
        zero = [Load(link) for link in range(robot.link_count)]
        assert np.array_equal(robot.gravity(*lead, q, zero), robot.gravity(*lead, q))


def test_mass_matrix_of_separate_branches(build):
    robot = build(BODIES, BRANCH_JOINTS)
    n = robot.generalized_count
    columns = {k: robot.jacobian(np.zeros(n), robot.link_id(k)).reshape(n, 6) for k in "ge"}
    dofs = {k: np.flatnonzero(np.abs(c).sum(1)) for k, c in columns.items()}
    (slide_b, _), (_, _, slide_f) = dofs["e"], dofs["g"]  # prismatic j_b and j_f
    for q, _, _ in states(n, 8):
        m = robot.mass_matrix(q).reshape(n, n)
        assert np.all(m[np.ix_(dofs["g"], dofs["e"])] == 0)
        assert m[slide_b, slide_b] == pytest.approx(BODIES["b"][0] + BODIES["e"][0], rel=1e-14)
        assert m[slide_f, slide_f] == pytest.approx(BODIES["f"][0] + BODIES["g"][0], rel=1e-14)


@pytest.mark.parametrize("method, count", [("mass_matrix", 1), ("gravity", 1), ("inverse_dynamics", 3),
                                           ("velocity_product_forces", 2), ("forward_dynamics", 3)])
def test_array_forms_out_and_shared_memory(arm_path, method, count):
    call = getattr(Robot(arm_path), method)
    args = [np.random.default_rng(i).integers(-2, 3, 7).astype(float) for i in range(count)]
    expected, out = call(*args), np.full(49 if method == "mass_matrix" else 7, NAN)
    assert call(*args, out=out) is out and np.array_equal(out, expected)
    for i in range(count):
        spaced = np.full(21, NAN)[::-3]
        spaced[:] = args[i]
        for form in (args[i].astype(int).tolist(), tuple(args[i]), args[i].astype(np.float32), spaced):
            assert np.array_equal(call(*args[:i], form, *args[i + 1:]), expected)
        if method != "mass_matrix":
            shared = [a.copy() for a in args]
            with pytest.raises(ValueError, match=exactly("The given array is already borrowed")):
                call(*shared, out=shared[i])
            assert np.array_equal(shared[i], args[i])


# --- hand-derived cases ---------------------------------------------------------------------------

def test_pendulum_and_lift(build):
    m, l = 2.0, 0.7
    robot = build({"base": None, "bob": (m, (l, 0, 0))},
                  [("hinge", "revolute", "base", "bob", (0,) * 3, (0,) * 3, (0, 1, 0))])
    assert robot.gravity([0.0])[0] == pytest.approx(-m * G * l, rel=1e-14)
    assert robot.mass_matrix([0.3])[0] == pytest.approx(m * l * l, rel=1e-14)
    for frame, sign in ((Pose([5, -3, 9], [1, 0, 0, 0]), 1), (Pose([5, -3, 9]), -1)):
        robot.set_base_frame(frame)
        assert robot.gravity([0.0])[0] == pytest.approx(sign * m * G * l, rel=1e-14)
    lift = build({"base": None, "slider": (m, (0.1, 0.2, 0.3), (0, 0, 0), (0.01, 0, 0, 0.01, 0, 0.01))},
                 [("lift", "prismatic", "base", "slider", (0,) * 3, (0,) * 3, (0, 0, 1))])
    assert lift.forward_dynamics([0.4], [0.5], [0.0])[0] == pytest.approx(-G, rel=1e-14)
    assert lift.forward_dynamics([0.4], [0.5], [m * G])[0] == pytest.approx(0, abs=1e-14)
    assert lift.mass_matrix([1.0])[0] == pytest.approx(m, rel=1e-14)


def test_spinning_link_inertia_with_fixed_attachment(build):
    joints = [("spin", "revolute", "base", "rotor", (0.3, 0.2, 0.1), (0, 0, 0), (0, 0, 1))]
    bodies = {"base": None, "rotor": (2.0, (0.2, 0.1, 0.5), (0, 0, 0), (0.04, 0.01, 0.02, 0.03, 0.005, 0.05))}
    alone = build(bodies, joints)
    for q in (0.0, 1.3, -2.9):
        assert alone.mass_matrix([q])[0] == pytest.approx(0.05 + 2.0 * 0.05, rel=1e-14)
    bodies["weight"] = (0.5, (0.1, 0, 0), (0, 0, 0), (0.001, 0, 0, 0.001, 0, 0.002))
    joints.append(("bolt", "fixed", "rotor", "weight", (0.3, 0, 0.2), (0, 0, 0.4), (1, 0, 0)))
    com = np.array([0.3 + 0.1 * math.cos(0.4), 0.1 * math.sin(0.4)])
    assert build(bodies, joints).mass_matrix([0.8])[0] == pytest.approx(0.15 + 0.002 + 0.5 * com @ com, rel=1e-14)


@pytest.mark.parametrize("kind, axis", [("revolute", (0, 0, 1)), ("revolute", (0.6, 0.8, 0)),
                                        ("prismatic", (0, 1, 0))])
def test_singular_joint_inertia_names_dof(build, kind, axis):
    # the tip has no inertia about the hinge axis, or no mass for the slider
    tip = (1.0, (0, 0, 0), (0, 0, 0), (0,) * 6) if kind == "revolute" else (0.0,)
    arm = (1.0, (0.2, 0, 0), (0, 0, 0), (0.01, 0, 0, 0.01, 0, 0.01))
    robot = build({"base": None, "mount": (1.0,), "arm": arm, "tip": tip},
                  [("weld", "fixed", "base", "mount"), ("shoulder", "revolute", "mount", "arm", (0, 0, 0.1)),
                   ("wrist", kind, "arm", "tip", (0.3, 0, 0), (0, 0, 0), axis)])
    out = np.full(2, 7.0)
    with pytest.raises(SolverError, match=exactly("forward dynamics found singular articulated inertia at "
                                                  "joint DOF 1")):
        robot.forward_dynamics([0.1, 0.2], [0.3, 0.4], [0.0, 0.0], out=out)
    assert np.array_equal(out, [7.0, 7.0])  # found before any acceleration is written


@pytest.mark.parametrize("inertia", [1e-6, 1e-9])
def test_small_inertia_far_from_the_root_is_not_singular(build, inertia):
    # a light, small body two metres out: its D is tiny beside the terms of the root frame
    arm = (1.0, (1.0, 0, 0), (0, 0, 0), (0.01, 0, 0, 0.01, 0, 0.01))
    tip = (1e-3, (0, 0, 0), (0, 0, 0), (inertia, 0, 0, inertia, 0, inertia))
    robot = build({"base": None, "arm": arm, "tip": tip},
                  [("shoulder", "revolute", "base", "arm", (0, 0, 0.1)),
                   ("wrist", "revolute", "arm", "tip", (2.0, 0, 0), (0, 0, 0), (0, 0, 1))])
    q, qd, qdd = [0.1, 0.2], [0.3, 0.4], [0.5, -0.6]
    accel = robot.forward_dynamics(q, qd, robot.inverse_dynamics(q, qd, qdd))
    assert np.allclose(accel, qdd, rtol=0, atol=1e-12 / inertia)


# --- floating base ----------------------------------------------------------------------------------

@pytest.mark.parametrize("which", ["quadruped", "branch"])
@pytest.mark.parametrize("rotation", [(0, 0, 0, 1), (0.3, -0.2, 0.5, 0.9), (1, 0, 0, 0)])
def test_floating_mass_matrix(write_urdf, which, rotation):
    path = sample_path("quadruped") if which == "quadruped" else write_urdf(robot_text(BODIES, BRANCH_JOINTS))
    robot, total = FloatingRobot(path), sum(mass for mass, _, _ in urdf_bodies(path).values())
    side = robot.generalized_count
    base = BaseState(Pose([0, 0, 0], rotation), Twist([1, -2, 3], [4, 5, 6]), Twist([7, 8, 9], [1, 2, 3]))
    for q, _, _ in states(side - 6, 6, 2):
        m = robot.mass_matrix(base, q).reshape(side, side)
        assert np.allclose(m[3:6, 3:6], total * np.eye(3), rtol=0, atol=1e-13)
        assert np.allclose(m, m.T, rtol=0, atol=1e-12) and np.array_equal(m[6:], m[:, 6:].T)
        assert np.allclose(m, jacobian_mass_matrix(robot, path, q, base), rtol=0, atol=1e-12)
        moved = robot.mass_matrix(BaseState(Pose([9, -9, 4], rotation)), q).reshape(side, side)
        assert np.allclose(moved, m, rtol=0, atol=1e-14)
        out = np.full(side * side, NAN)
        assert robot.mass_matrix(base, q, out) is out and np.array_equal(out, m.ravel())


def test_floating_mass_matrix_of_single_body(build):
    mass, com, rotation = 2.5, np.array([0.1, -0.3, 0.2]), (0.3, -0.2, 0.5, 0.9)
    inertia = (0.04, 0.01, -0.002, 0.05, 0.003, 0.03)
    robot = build({"body": (mass, tuple(com), (0, 0, 0), inertia)}, [], FloatingRobot)
    rot = quat_matrix(rotation)
    r = skew(rot @ com)
    about_origin = rot @ tensor(*inertia) @ rot.T + mass * r.T @ r
    expected = np.block([[about_origin, mass * r], [-mass * r, mass * np.eye(3)]])
    m = robot.mass_matrix(BaseState(Pose([1, 2, 3], rotation)), []).reshape(6, 6)
    assert np.allclose(m, expected, rtol=0, atol=1e-14)


# --- arguments and errors ------------------------------------------------------------------------

Q7, Q5, NAN7 = np.full(7, 0.2), np.full(5, 0.2), np.array([0.2] * 6 + [NAN])
BAD_LOAD = [Load(3, force=(NAN, 0, 0))]
FORCES = "expected {} elements in forward dynamics generalized forces, found {}"


@pytest.mark.parametrize("method, args, loads, message", [
    ("inverse_dynamics", (Q7, Q5, Q7), None, "q and qd must have the same length"),
    ("inverse_dynamics", (Q7, Q7, Q5), None, "q and qdd must have the same length"),
    ("inverse_dynamics", (NAN7, Q5, Q7), None, "q and qd must have the same length"),
    ("inverse_dynamics", (Q5, Q5, Q5), None, "expected 7 elements in q, found 5"),
    ("inverse_dynamics", (Q7, NAN7, Q5), None, "q and qdd must have the same length"),
    ("inverse_dynamics", (Q7, NAN7, NAN7), None, "qd contains a non-finite value"),
    ("inverse_dynamics", (NAN7, Q7, Q7), [Load(99)], "invalid link id 99"),
    ("inverse_dynamics", (NAN7, Q7, Q7), BAD_LOAD, "q contains a non-finite value"),
    ("inverse_dynamics", (Q7, Q7, Q7), [Load(2, torque=(0, math.inf, 0))], "load contains a non-finite value"),
    ("velocity_product_forces", (Q7, Q5), None, "q and qd must have the same length"),
    ("velocity_product_forces", (Q7, NAN7), None, "qd contains a non-finite value"),
    ("gravity", (NAN7,), None, "q contains a non-finite value"),
    ("gravity", (Q7,), [Load(8, force=(0, 0, NAN))], "load contains a non-finite value"),
    ("mass_matrix", (np.zeros(8),), None, "expected 7 elements in q, found 8"),
    ("mass_matrix", (NAN7,), None, "q contains a non-finite value"),
    ("forward_dynamics", (Q7, Q5, Q7), None, "q and qd must have the same length"),
    ("forward_dynamics", (Q7, NAN7, Q5), None, "qd contains a non-finite value"),
    ("forward_dynamics", (Q7, Q7, np.full(8, NAN)), None, FORCES.format(7, 8)),
    ("forward_dynamics", (Q7, Q7, NAN7), BAD_LOAD, "generalized forces contains a non-finite value"),
    ("forward_dynamics", (Q7, Q7, Q7), BAD_LOAD, "load contains a non-finite value"),
])
def test_errors_in_order_leave_out_untouched(arm_path, method, args, loads, message):
    out = np.full(49 if method == "mass_matrix" else 7, 7.0)
    with pytest.raises(ValueError, match=exactly(message)):
        getattr(Robot(arm_path), method)(*args, **({"loads": loads} if loads else {}), out=out)
    assert np.all(out == 7.0)


@pytest.mark.parametrize("cls, method, signature", [
    (Robot, "mass_matrix", "($self, q, out=None)"), (FloatingRobot, "mass_matrix", "($self, base, q, out=None)"),
    (Robot, "gravity", "($self, q, loads=None, out=None)"),
    (Robot, "inverse_dynamics", "($self, q, qd, qdd, loads=None, out=None)"),
    (Robot, "velocity_product_forces", "($self, q, qd, out=None)"),
    (Robot, "forward_dynamics", "($self, q, qd, forces, loads=None, out=None)"),
])
def test_text_signatures(cls, method, signature):
    assert getattr(cls, method).__text_signature__ == signature


@pytest.mark.parametrize("welded", [False, True])
def test_model_without_dofs(build, welded):
    bodies = {"only": (1.0,), "plate": (2.0, (0.1, 0, 0)), "cap": (0.5,)} if welded else {"only": (1.0,)}
    joints = [("weld", "fixed", "only", "plate", (0, 0, 0.1)), ("top", "fixed", "plate", "cap")]
    robot = build(bodies, joints[:2 * welded])
    loads = [Load(i, torque=(1, 2, 3), force=(4, 5, 6)) for i in range(robot.link_count)]
    buffer = robot.load_buffer()
    buffer.set(robot.link_count - 1, force=(1, 1, 1))
    results = [robot.mass_matrix([]), robot.gravity([], loads), robot.inverse_dynamics([], [], [], loads),
               robot.velocity_product_forces([], []), robot.forward_dynamics([], [], [], buffer),
               robot.gravity([], buffer)]
    assert all(r.shape == (0,) and r.dtype == np.float64 for r in results)
    with pytest.raises(ValueError, match=exactly(FORCES.format(0, 1))):
        robot.forward_dynamics([], [], [0.0])
