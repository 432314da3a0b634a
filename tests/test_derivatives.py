"""Derivatives of inverse dynamics, forward dynamics and gravity: against central differences of
velkor's own functions at 20 seeded states per robot, against Pinocchio's analytic derivatives
converted to our conventions, and their errors and out= tuples.

Central differences use a step h = 1e-4 per coordinate. Their truncation error is of order
h²·|f'''|/6 ≈ 2e-9·|f'''| and their rounding error of order ε·|f|/h ≈ 2e-12·|f|, which forward
dynamics multiplies by the condition number of the mass matrix (1e3 to 1e6 here): they are
compared at 1e-6 relative to the largest entry. (At h = 1e-5 and 1e-6 rounding alone reaches
1e-6 on Talos and the sample arm.)"""

import sys
from pathlib import Path

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO
from peers import pinocchio as pin

from conftest import urdf_text
from velkor import BaseState, FloatingRobot, Load, Pose, Robot, SolverError, Twist, as_matrix
from velkor.samples import sample_path

sys.path.insert(0, str(Path(__file__).parent.parent / "benchmarks"))
import robots  # noqa: E402

STEP = 1e-4

# A branched robot with prismatic joints along tilted axes, as a fixed and a floating robot.
PRISMATIC = urdf_text(
    [("base", 2.0), ("a", 1.0), ("b", 0.7), ("c", 0.5), ("d", 0.4)],
    [("j1", "prismatic", "base", "a", (0.1, 0, 0.2), (0.3, 0, 0), (0, 0.6, 0.8)),
     ("j2", "revolute", "a", "b", (0, 0.2, 0), (0, 0.4, 0), (1, 0, 0)),
     ("j3", "prismatic", "b", "c", (0.1, 0.1, 0), (0, 0, 0.5), (0.6, 0, 0.8)),
     ("j4", "revolute", "a", "d", (0, -0.2, 0.1), (0.2, 0.1, 0), (0, 0, 1))], "prismatic")


def handle(label, tmp_path):
    if label == "arm":  # on a tilted base frame, in tilted gravity
        robot = Robot(sample_path(label))
        robot.set_base_frame(Pose([0.2, -0.1, 0.5], [0.2, -0.3, 0.1, 0.9]))
        robot.gravity_vector = (0.5, -1.0, -9.7)
        return robot
    if label == "quadruped":
        return Robot(sample_path(label))
    if label == "quadruped (floating)":
        return FloatingRobot(sample_path("quadruped"))
    if label.startswith("prismatic"):
        path = tmp_path / "prismatic.urdf"
        path.write_text(PRISMATIC)
        return (FloatingRobot if "floating" in label else Robot)(str(path))
    return robots.velkor_handle(robots.case(label))


def turned(quat, w):
    """The quaternion (x, y, z, w) of exp([w]×)·R(quat): R turned by w about world axes."""
    angle = np.linalg.norm(w)
    d = np.concatenate([np.sin(angle / 2) * w / angle, [np.cos(angle / 2)]]) if angle else np.array([0, 0, 0, 1.0])
    (x1, y1, z1, w1), (x2, y2, z2, w2) = d, quat
    return np.array([w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2, w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2,
                     w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2, w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2])


class State:
    """A random state; the base's pose and twist are perturbed the documented way."""

    def __init__(self, robot, rng):
        n = robot.joint_count
        self.floating = isinstance(robot, FloatingRobot)
        self.q, self.qd, self.qdd = rng.uniform(-1, 1, (3, n))
        quat = rng.normal(size=4)
        self.quat, (self.p, self.w, self.v, self.alpha, self.a) = quat / np.linalg.norm(quat), rng.normal(size=(5, 3))

    def base(self, x=None, nu=None):
        """The leading BaseState: positions x = (rotation, translation) and twist nu = (ω, v) added."""
        if not self.floating:
            return ()
        x, nu = np.zeros(6) if x is None else x, np.zeros(6) if nu is None else nu
        return (BaseState(Pose(self.p + x[3:], turned(self.quat, x[:3])), Twist(self.w + nu[:3], self.v + nu[3:]),
                          Twist(self.alpha, self.a)),)

    def positions(self, f):
        """f(lead, q) as a function of the generalized positions' perturbation."""
        o = 6 if self.floating else 0
        return lambda x: f(self.base(x=x[:o]), self.q + x[o:])

    def velocities(self, f):
        o = 6 if self.floating else 0
        return lambda x: f(self.base(nu=x[:o]), self.qd + x[o:])


def central(f, size):
    columns = [(np.asarray(f(STEP * e)) - np.asarray(f(-STEP * e))) / (2 * STEP) for e in np.eye(size)]
    return np.array(columns).T


def assert_near(ours, numeric, rtol):
    scale = max(1.0, np.abs(numeric).max())
    assert np.abs(ours - numeric).max() <= rtol * scale, np.abs(ours - numeric).max() / scale


LABELS = ["arm", "quadruped", "quadruped (floating)", "Panda", "UR5", "Talos (fixed)", "Talos (floating)",
          "Solo12 (floating)", "prismatic", "prismatic (floating)", "Panda (coupled)", "Talos (coupled, floating)"]


@pytest.mark.parametrize("label", LABELS)
def test_derivatives_agree_with_central_differences(label, tmp_path):
    robot = handle(label, tmp_path)
    N, rng = robot.generalized_count, np.random.default_rng(len(label))
    links = robot.link_count
    for k in range(20):
        s = State(robot, rng)
        loads = robot.load_buffer()
        if k % 2:  # every other state with loads on three links
            for link in rng.choice(links, 3, replace=False):
                loads.set(int(link), rng.normal(size=3), rng.normal(size=3))
        dq, dqd = (as_matrix(m, N) for m in robot.inverse_dynamics_derivatives(*s.base(), s.q, s.qd, s.qdd, loads=loads))
        assert_near(dq, central(s.positions(lambda b, q: robot.inverse_dynamics(*b, q, s.qd, s.qdd, loads=loads)), N), 1e-6)
        assert_near(dqd, central(s.velocities(lambda b, qd: robot.inverse_dynamics(*b, s.q, qd, s.qdd, loads=loads)), N),
                    1e-6)

        tau = rng.uniform(-2, 2, N)
        fq, fqd, inverse = (as_matrix(m, N) for m in robot.forward_dynamics_derivatives(*s.base(), s.q, s.qd, tau,
                                                                                         loads=loads))
        assert_near(fq, central(s.positions(lambda b, q: robot.forward_dynamics(*b, q, s.qd, tau, loads=loads)), N), 1e-6)
        assert_near(fqd, central(s.velocities(lambda b, qd: robot.forward_dynamics(*b, s.q, qd, tau, loads=loads)), N),
                    1e-6)
        M = as_matrix(robot.mass_matrix(*s.base(), s.q), N)
        assert np.allclose(inverse @ M, np.eye(N), atol=1e-9 * np.linalg.cond(M))
        assert np.array_equal(inverse, inverse.T)

        g = as_matrix(robot.gravity_derivatives(*s.base(), s.q), N)
        assert_near(g, central(s.positions(lambda b, q: robot.gravity(*b, q)), N), 1e-6)
        if not s.floating:  # the Hessian of the potential energy
            assert_near(g, g.T, 1e-12)


def peer_conversion(model, robot, s):
    """Pinocchio's configuration, velocity, acceleration and the matrices that take its derivatives
    to ours. Its free flyer has local-frame twists, linear first, and moves by q ⊕ δ = M·exp(δ)."""
    n, N, nv = robot.joint_count, robot.generalized_count, model.nv
    pq, pv, pa = np.zeros(model.nq), np.zeros(nv), np.zeros(nv)
    T = np.zeros((nv, N))  # Pinocchio's tangent, velocity or acceleration = T · ours (at fixed pose)
    for k, name in enumerate(robot.dof_names):
        joint = model.joints[model.getJointId(name)]
        if joint.nq == 2:  # a continuous joint: (cos, sin)
            pq[joint.idx_q:joint.idx_q + 2] = np.cos(s.q[k]), np.sin(s.q[k])
        else:
            pq[joint.idx_q] = s.q[k]
        pv[joint.idx_v], pa[joint.idx_v], T[joint.idx_v, N - n + k] = s.qd[k], s.qdd[k], 1
    extra = {}
    if s.floating:
        R = pin.Quaternion(s.quat[3], *s.quat[:3]).toRotationMatrix()
        T[0:3, 3:6] = T[3:6, 0:3] = R.T
        pq[:3], pq[3:7] = s.p, s.quat
        pv[:3], pv[3:6] = R.T @ s.v, R.T @ s.w
        pa[:3], pa[3:6] = R.T @ (s.a - np.cross(s.w, s.v)), R.T @ s.alpha
        # how Pinocchio's velocity and acceleration move when the base turns by θ (world axes), and its
        # acceleration with our twist at fixed classical acceleration
        Dv, Da, Dva = np.zeros((nv, N)), np.zeros((nv, N)), np.zeros((nv, N))
        Dv[0:3, 0:3], Dv[3:6, 0:3] = R.T @ pin.skew(s.v), R.T @ pin.skew(s.w)
        Da[0:3, 0:3], Da[3:6, 0:3] = R.T @ pin.skew(s.a - np.cross(s.w, s.v)), R.T @ pin.skew(s.alpha)
        Dva[0:3, 0:3], Dva[0:3, 3:6] = R.T @ pin.skew(s.v), -R.T @ pin.skew(s.w)
        extra = dict(R=R, Dv=Dv, Da=Da, Dva=Dva)
    return pq, pv, pa, T, extra


def turning(vector6):
    """d(R·x)/dθ for a base six-vector x = vector6 held in the rotating frame: −[x×] per half."""
    E = np.zeros((len(vector6), len(vector6)))
    E[0:3, 0:3], E[3:6, 0:3] = -pin.skew(vector6[:3]), -pin.skew(vector6[3:6])
    return E


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("label", ["Panda", "UR5", "Talos (fixed)", "Talos (floating)", "Solo12 (floating)"])
def test_derivatives_agree_with_the_peer(label):
    case = robots.case(label)
    robot, model = robots.velkor_handle(case), robots.peer_model(case)
    data, N, rng = model.createData(), robot.generalized_count, np.random.default_rng(11)
    loads, fext = None, None
    if label == "Panda":  # a load on link 4: Pinocchio takes the force on the body, linear first
        loads = [Load(robot.link_id("panda_link4"), torque=(0.3, -0.2, 0.1), force=(1.0, 2.0, -0.5))]
        fext = [pin.Force.Zero() for _ in range(model.njoints)]
        fext[model.getJointId("panda_joint4")] = pin.Force(-np.array([1.0, 2.0, -0.5]), -np.array([0.3, -0.2, 0.1]))
    for _ in range(3):
        s = State(robot, rng)
        pq, pv, pa, T, x = peer_conversion(model, robot, s)
        C = T.T  # ours = C · Pinocchio's, for generalized forces and accelerations
        lead = s.base()
        tau = np.asarray(robot.inverse_dynamics(*lead, s.q, s.qd, s.qdd, loads=loads))
        args = (model, data, pq, pv, pa) + ((fext,) if fext else ())
        Jq, Jv, _ = (np.array(m) for m in pin.computeRNEADerivatives(*args))
        M = np.triu(pin.crba(model, data, pq))
        M = M + np.triu(M, 1).T
        Jg = np.array(pin.computeGeneralizedGravityDerivatives(model, data, pq))
        g = np.asarray(robot.gravity(*lead, s.q))
        Aq, Av, Ainv = (np.array(m) for m in pin.computeABADerivatives(
            model, data, pq, pv, T @ tau, *((fext,) if fext else ())))
        Ainv = np.triu(Ainv) + np.triu(Ainv, 1).T
        qdd = C @ np.array(data.ddq)  # Pinocchio's accelerations in world axes (ours less ω × v)
        if s.floating:
            R, Dv, Da, Dva = x["R"], x["Dv"], x["Da"], x["Dva"]
            want_q = C @ (Jq @ T + Jv @ Dv + M @ Da) + turning(tau)
            want_qd = C @ (Jv @ T + M @ Dva)
            want_g = C @ Jg @ T + turning(g)
            Dtau = -turning(tau)
            Dtau[0:3], Dtau[3:6] = R.T @ Dtau[3:6], R.T @ Dtau[0:3]  # Pinocchio's base force, turned with the base
            want_fq = C @ (Aq @ T + Av @ Dv + Ainv @ Dtau) + turning(qdd)  # qdd: Pinocchio's, turned to world axes
            want_fqd = C @ Av @ T
            want_fqd[3:6, 0:3] -= pin.skew(s.v)
            want_fqd[3:6, 3:6] += pin.skew(s.w)
        else:
            want_q, want_qd, want_g = C @ Jq @ T, C @ Jv @ T, C @ Jg @ T
            want_fq, want_fqd = C @ Aq @ T, C @ Av @ T
        dq, dqd = (as_matrix(m, N) for m in robot.inverse_dynamics_derivatives(*lead, s.q, s.qd, s.qdd, loads=loads))
        fq, fqd, inverse = (as_matrix(m, N) for m in robot.forward_dynamics_derivatives(*lead, s.q, s.qd, tau,
                                                                                         loads=loads))
        for ours, theirs in [(dq, want_q), (dqd, want_qd), (as_matrix(robot.gravity_derivatives(*lead, s.q), N), want_g),
                             (fq, want_fq), (fqd, want_fqd), (inverse, C @ Ainv @ T)]:
            assert_near(ours, theirs, 1e-9)


def test_out_tuples_are_filled_and_checked():
    robot = Robot(sample_path("arm"))
    n = robot.joint_count
    q, qd, qdd = np.full((3, n), 0.3)
    pair = (np.empty(n * n), np.empty(n * n))
    assert robot.inverse_dynamics_derivatives(q, qd, qdd, out=pair) is pair
    assert [x.tobytes() for x in pair] == [x.tobytes() for x in robot.inverse_dynamics_derivatives(q, qd, qdd)]
    single = np.empty(n * n)
    assert robot.gravity_derivatives(q, out=single) is single
    tau = np.zeros(n)
    before = [x.copy() for x in pair]
    with pytest.raises(ValueError, match="q contains a non-finite value"):
        robot.inverse_dynamics_derivatives(np.full(n, np.nan), qd, qdd, out=pair)
    assert [x.tobytes() for x in pair] == [x.tobytes() for x in before]  # a refused call writes nothing
    for out, error, pattern in [
        (pair[0], TypeError, "expected None or a tuple of 3 one-dimensional float64"),
        (pair, TypeError, "expected None or a tuple of 3"),
        ((pair[0], pair[1], pair[0]), ValueError, "the arrays in out must not overlap"),
        ((pair[0], pair[1], np.empty(n * n)[1:]), ValueError, "out must contain exactly"),
        ((pair[0], pair[1], np.empty(2 * n * n)[::2]), ValueError, "contiguous")]:
        with pytest.raises(error, match=pattern):
            robot.forward_dynamics_derivatives(q, qd, tau, out=out)
    with pytest.raises(TypeError, match="got list"):
        robot.inverse_dynamics_derivatives(q, qd, qdd, out=list(pair))


def body(name, mass, inertia="0 0 0"):
    ixx, iyy, izz = inertia.split()
    return (f'<link name="{name}"><inertial><mass value="{mass}"/><inertia ixx="{ixx}" ixy="0" ixz="0" '
            f'iyy="{iyy}" iyz="0" izz="{izz}"/></inertial></link>')


def test_forward_dynamics_errors_carry_over(write_urdf):
    # a point mass on a hinge's axis cannot resist the hinge, nor a point mass its free base's turning
    hinge = Robot(write_urdf(f'<robot name="h"><link name="a"/>{body("b", 1.0)}<joint name="j" type="revolute">'
                             '<parent link="a"/><child link="b"/><axis xyz="0 0 1"/>'
                             '<limit lower="-3" upper="3" velocity="1"/></joint></robot>'))
    point = FloatingRobot(write_urdf(f'<robot name="p">{body("a", 1.0)}</robot>'))
    for forward, derivatives, args in [
            (hinge.forward_dynamics, hinge.forward_dynamics_derivatives, ([0.0], [0.0], [1.0])),
            (point.forward_dynamics, point.forward_dynamics_derivatives, (BaseState(), [], [], np.zeros(6)))]:
        with pytest.raises(SolverError) as expected:
            forward(*args)
        with pytest.raises(SolverError) as info:
            derivatives(*args)
        assert info.value.args == expected.value.args
    assert "singular" in str(expected.value)
