"""Dynamics under contacts and loop closures: agreement with Pinocchio's constrained dynamics on
published robots and on a closed chain, the identities that define the solution (rows held, Gauss's
principle, a still stance, impacts), derivatives against central differences, redundant rows and
batches.

Pinocchio's free flyer is converted as in test_derivatives (local-frame twists, linear first,
spatial acceleration, q ⊕ δ = M·exp(δ)). Its constraints are built in LOCAL_WORLD_ALIGNED: forces
world-aligned at the constraint point, force before torque, and data.lambda_c acts on the robot
(M a + b = τ + Jᵀλ). Where its conventions part from ours:
- a frame contact holds the frame's spatial acceleration (a − ω × v) at zero where ours holds the
  classical one; the two agree while the frame is at rest, so frame cases draw velocities with
  J q̇ = 0 for accelerations and their derivatives (impulses take any velocity);
- for loop closures its impulse dynamics misses J q̇⁺ = −e·J q̇⁻ and its position derivatives
  disagree with its own finite differences, so those of the closed chain are checked against our
  identities and central differences only.
"""

import functools
from pathlib import Path

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO
from peers import pinocchio as pin
from test_derivatives import State, assert_near, peer_conversion, turned, turning

import robots  # benchmarks/, put on the path by test_derivatives
from conftest import rotation_log
from velkor import BaseState, Contact, FloatingRobot, Load, LoopClosure, Pose, Robot, SolverError, as_matrix

G = 9.80665
STATES = 20
TOLERANCE = 1e-6  # the worst seen is 1e-7 (Talos: rounding, ε·cond(M)/h)
CHAIN = str(Path(__file__).parent / "data" / "closed_chain.urdf")
TIP_A, TIP_B = Pose([0.15, 0, 0]), Pose([-0.15, 0, 0])  # where the chain's two arms meet at q = 0

# label: (robot, constraints as (kind, link, offset) or (kind, link_a, offset_a, link_b, offset_b))
SETUPS = {
    "Solo12": ("Solo12 (floating)",
               [("point", f"{leg}_FOOT", Pose([0.01, -0.02, 0.0])) for leg in ("FL", "FR", "HL", "HR")]),
    "Talos": ("Talos (floating)", [("frame", "leg_left_6_link", Pose([0.02, 0, -0.1], [0.1, 0, 0, 0.995])),
                                   ("frame", "leg_right_6_link", Pose([0, 0.01, -0.1]))]),
    "UR5": ("UR5", [("point", "tool0", Pose([0, 0.01, 0.05]))]),
    # mimic joints that follow their leaders: a grasp across the coupled fingers, and a biped standing
    # with a coupled finger held
    "Panda (coupled)": ("Panda (coupled)", [("point", "panda_leftfinger", Pose([0, 0.01, 0.04])),
                                            ("point", "panda_rightfinger", Pose([0, -0.01, 0.04]))]),
    "Talos (coupled)": ("Talos (coupled, floating)",
                        [("frame", "leg_left_6_link", Pose([0.02, 0, -0.1])),
                         ("frame", "leg_right_6_link", Pose([0, 0.01, -0.1])),
                         ("point", "gripper_left_fingertip_3_link", Pose([0.01, 0, 0]))]),
    "Panda": ("Panda", [("frame", "panda_hand", Pose([0, 0.02, 0.1], [0.2, -0.1, 0.3, 0.9]))]),
    "chain": (CHAIN, [("point", "a3", TIP_A, "b4", TIP_B)]),
    "chain (frame)": (CHAIN, [("frame", "a3", TIP_A, "b4", TIP_B)]),
    "chain (floating)": (CHAIN, [("point", "a3", TIP_A, "b4", TIP_B), ("point", "base", Pose([0.1, 0, 0]))]),
}
PEER = ["Solo12", "Talos", "UR5", "Panda", "chain"]


@functools.cache
def robot_of(label):
    source = SETUPS[label][0]
    if source == CHAIN:
        return (FloatingRobot if "floating" in label else Robot)(CHAIN)
    return robots.velkor_handle(robots.case(source))


def constraints(label, targets=None, baumgarte=(0.0, 0.0)):
    """The label's constraint set; targets: one world Pose per contact (loop closures take none)."""
    robot, items = robot_of(label), []
    for k, (kind, link, offset, *other) in enumerate(SETUPS[label][1]):
        if other:
            items.append(LoopClosure(robot.link_id(link), robot.link_id(other[0]), kind, offset, other[1]))
        else:
            items.append(Contact(robot.link_id(link), kind, offset, None if targets is None else targets[k]))
    return robot.constraint_set(items, baumgarte=baumgarte)


def velocity(s):
    return np.r_[s.w, s.v, s.qd] if s.floating else s.qd


def set_velocity(s, nu):
    if s.floating:
        s.w, s.v, s.qd = nu[:3], nu[3:6], nu[6:]
    else:
        s.qd = nu


def jacobian(robot, s, cs):
    return as_matrix(robot.constraint_jacobian(*s.base(), s.q, cs), cs.count)


def at_rest(robot, s, cs):
    """The state with its velocity projected onto J q̇ = 0."""
    J, nu = jacobian(robot, s, cs), velocity(s)
    set_velocity(s, nu - np.linalg.pinv(J) @ (J @ nu))
    return s


def position_error(label, robot, s, targets):
    """e of every row: rotation vector of R·R_targetᵀ for a frame, then p − p_target (loops: b for target)."""
    e = []
    for k, (kind, link, offset, *other) in enumerate(SETUPS[label][1]):
        a = robot.forward_kinematics(*s.base(), s.q, robot.link_id(link)) @ offset
        b = robot.forward_kinematics(*s.base(), s.q, robot.link_id(other[0])) @ other[1] if other else targets[k]
        if kind == "frame":
            e.append(rotation_log(a.rotation_matrix @ b.rotation_matrix.T))
        e.append(np.subtract(a.translation, b.translation))
    return np.concatenate(e)


def dense_kkt(robot, s, tau, cs, gamma, least_norm=False, loads=None):
    """argmin ½(q̈ − q̈_free)ᵀM(q̈ − q̈_free) subject to J q̈ = gamma, and its multipliers f; with
    least_norm, for rank-deficient rows, the f of least norm (through J M⁻¹ Jᵀ f = gamma − J q̈_free)."""
    N, lead = robot.generalized_count, s.base()
    M = as_matrix(robot.mass_matrix(*lead, s.q), N)
    J = jacobian(robot, s, cs)
    free = np.asarray(robot.forward_dynamics(*lead, s.q, s.qd, tau, loads=loads))
    if least_norm:
        forces = np.linalg.pinv(J @ np.linalg.solve(M, J.T), rcond=1e-10, hermitian=True) @ (gamma - J @ free)
        return free + np.linalg.solve(M, J.T @ forces), forces
    K = np.block([[M, -J.T], [J, np.zeros((cs.count, cs.count))]])
    solution = np.linalg.solve(K, np.r_[M @ free, gamma])
    return solution[:N], solution[N:]


# --------------------------------------------------------------------------------------------
# Pinocchio

def peer(label):
    """Pinocchio's model, data and constraints for the label, and the row permutation S taking its
    rows (force first) to ours (torque first)."""
    source, rows = SETUPS[label]
    if source == CHAIN:
        model = pin.buildModelFromUrdf(CHAIN)
        model.gravity.linear = np.array([0.0, 0.0, -G])
    else:
        model = robots.peer_model(robots.case(source))

    def anchor(link, offset):
        frame = model.frames[model.getFrameId(link, pin.FrameType.BODY)]
        return frame.parentJoint, frame.placement * pin.SE3(offset.rotation_matrix, np.array(offset.translation))

    models, order = [], []
    for kind, link, offset, *other in rows:
        contact = pin.ContactType.CONTACT_3D if kind == "point" else pin.ContactType.CONTACT_6D
        sides = anchor(link, offset) + (anchor(*other) if other else ())
        models.append(pin.RigidConstraintModel(contact, model, *sides, pin.ReferenceFrame.LOCAL_WORLD_ALIGNED))
        first = len(order)
        order += [first + i for i in ((0, 1, 2) if kind == "point" else (3, 4, 5, 0, 1, 2))]
    datas = [c.createData() for c in models]
    data = model.createData()
    pin.initConstraintDynamics(model, data, models, datas)
    return model, data, models, datas, np.eye(len(order))[order]


EXACT = pin.ProximalSettings(1e-14, 0.0, 1) if pin else None  # mu = 0: one plain solve


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("label", PEER)
def test_agrees_with_pinocchio(label):
    robot, cs = robot_of(label), constraints(label)
    model, data, models, datas, S = peer(label)
    N, rng = robot.generalized_count, np.random.default_rng(len(label))
    frames = any(item[0] == "frame" for item in SETUPS[label][1])
    for k in range(STATES):
        s = State(robot, rng)
        lead = s.base()
        pq, pv, _, T, x = peer_conversion(model, robot, s)
        C = T.T  # ours = C · Pinocchio's, for velocities at a fixed pose, forces and accelerations
        if label != "chain":
            restitution = (0.0, 0.5, 1.0)[k % 3]
            after = pin.impulseDynamics(model, data, pq, pv, models, datas, restitution, EXACT)
            ours, impulses = robot.impulse_dynamics(*lead, s.q, s.qd, cs, restitution=restitution)
            assert_near(ours, C @ after, 1e-9)
            assert_near(impulses, S @ data.impulse_c, 1e-9)

        if frames:
            s = at_rest(robot, s, cs)
            lead = s.base()
            pq, pv, _, T, x = peer_conversion(model, robot, s)
        tau = rng.uniform(-2, 2, N)
        qdd_peer = C @ pin.constraintDynamics(model, data, pq, pv, T @ tau, models, datas, EXACT)
        qdd, forces = robot.constrained_forward_dynamics(*lead, s.q, s.qd, tau, cs)
        classical = np.zeros(N)  # Pinocchio's base acceleration is spatial, ours classical
        if s.floating:
            classical[3:6] = np.cross(s.w, s.v)
        assert_near(qdd, qdd_peer + classical, 1e-9)
        assert_near(forces, S @ data.lambda_c, 1e-9)
        assert_near(jacobian(robot, s, cs), S @ pin.getConstraintsJacobian(model, data, models, datas) @ T, 1e-9)

        Aq, Av, Atau, Fq, Fv, Ftau = (np.array(m) for m in pin.computeConstraintDynamicsDerivatives(
            model, data, models, datas, EXACT))
        m = cs.count
        ours = robot.constrained_dynamics_derivatives(*lead, s.q, s.qd, tau, cs)
        dq, dqd, dtau = (as_matrix(a, N) for a in ours[:3])
        fq, fqd, ftau = (as_matrix(a, m) for a in ours[3:])
        want_q, want_fq = C @ Aq @ T, S @ Fq @ T
        want_qd = C @ Av @ T
        if s.floating:
            # the base turned by θ (world axes) with our twist and wrench fixed moves Pinocchio's
            R, Dv = x["R"], x["Dv"]
            Dtau = -turning(tau)
            Dtau[0:3], Dtau[3:6] = R.T @ Dtau[3:6], R.T @ Dtau[0:3]
            want_q = C @ (Aq @ T + Av @ Dv + Atau @ Dtau) + turning(qdd_peer)
            want_fq = S @ (Fq @ T + Fv @ Dv + Ftau @ Dtau)
            want_qd[3:6, 0:3] -= pin.skew(s.v)
            want_qd[3:6, 3:6] += pin.skew(s.w)
        if label != "chain":
            assert_near(dq, want_q, 1e-9)
            assert_near(fq, want_fq, 1e-9)
        for got, want in [(dqd, want_qd), (dtau, C @ Atau @ T), (fqd, S @ Fv @ T), (ftau, S @ Ftau @ T)]:
            assert_near(got, want, 1e-9)


# --------------------------------------------------------------------------------------------
# Identities

def random_loads(robot, rng):
    return [Load(int(link), rng.normal(size=3), rng.normal(size=3)) for link in rng.choice(robot.link_count, 3)]


def random_targets(label, rng):
    return [Pose(rng.normal(size=3), rng.normal(size=4)) for _ in SETUPS[label][1]]


@pytest.mark.parametrize("label", SETUPS)
def test_rows_hold_and_accelerations_follow_gauss(label):
    robot = robot_of(label)
    N, rng = robot.generalized_count, np.random.default_rng(7)
    targets = random_targets(label, rng)
    for k in range(STATES):
        gains = (0.0, 0.0) if k % 2 else (30.0, 8.0)
        cs = constraints(label, targets, gains)
        s = State(robot, rng)
        lead, nu, tau, loads = s.base(), velocity(s), rng.uniform(-2, 2, N), random_loads(robot, rng)
        qdd, forces = robot.constrained_forward_dynamics(*lead, s.q, s.qd, tau, cs, loads=loads)
        J, bias = jacobian(robot, s, cs), np.asarray(robot.constraint_acceleration_bias(*lead, s.q, s.qd, cs))
        gamma = -bias - gains[1] * (J @ nu) - gains[0] * position_error(label, robot, s, targets)
        assert_near(J @ qdd, gamma, 1e-9)
        want_qdd, want_forces = dense_kkt(robot, s, tau, cs, gamma, loads=loads)
        assert_near(qdd, want_qdd, 1e-9)
        assert_near(forces, want_forces, 1e-9)
        # J̇q̇ is the rows' acceleration at zero q̈ (a free base's classical acceleration zero)
        h = 1e-6
        assert_near(bias, (jacobian(robot, advanced(robot, s, h), cs) - jacobian(robot, advanced(robot, s, -h), cs))
                    @ nu / (2 * h), 1e-6)

        restitution = (0.0, 0.5, 1.0)[k % 3]
        after, impulses = robot.impulse_dynamics(*lead, s.q, s.qd, cs, restitution=restitution)
        M = as_matrix(robot.mass_matrix(*lead, s.q), N)
        assert_near(J @ after, -restitution * (J @ nu), 1e-9)
        assert_near(M @ (after - nu), J.T @ impulses, 1e-9)
        before, kept = nu @ M @ nu, after @ M @ after
        # rounding, which the impulse solve scales by the conditioning of J M⁻¹ Jᵀ
        allowance = max(1e-11, 1e-15 * np.linalg.cond(J @ np.linalg.solve(M, J.T)))
        assert kept <= before * (1 + allowance) and (restitution < 1 or abs(kept - before) <= 1e-9 * before)


def advanced(robot, s, h):
    """The state moved along its velocity for a time h (base: rotation exp(h[ω]×) and translation h·v)."""
    moved = State.__new__(State)
    moved.__dict__.update(s.__dict__)
    if s.floating:
        x = h * np.r_[s.w, s.v]
        moved.quat, moved.p = turned(s.quat, x[:3]), s.p + x[3:]
    moved.q = s.q + h * s.qd
    return moved


def central4(f, size, h=1e-4):
    """Central differences with one Richardson step: truncation O(h⁴), which the Panda's strongly
    curved accelerations need (plain central differences leave 2e-6 there at h = 1e-4)."""
    def plain(h):
        return np.array([(np.asarray(f(h * e)) - np.asarray(f(-h * e))) / (2 * h) for e in np.eye(size)]).T
    return (4 * plain(h / 2) - plain(h)) / 3


@pytest.mark.parametrize("label", SETUPS)
def test_derivatives_agree_with_central_differences(label):
    robot = robot_of(label)
    N, rng = robot.generalized_count, np.random.default_rng(3)
    targets = random_targets(label, rng)
    cs = constraints(label, targets, (30.0, 8.0))
    m = cs.count
    for _ in range(4):
        s = State(robot, rng)
        tau, loads = rng.uniform(-2, 2, N), random_loads(robot, rng)
        ours = robot.constrained_dynamics_derivatives(*s.base(), s.q, s.qd, tau, cs, loads=loads)

        def solve(lead, q, qd, t):
            return np.concatenate(robot.constrained_forward_dynamics(*lead, q, qd, t, cs, loads=loads))

        numeric = [central4(s.positions(lambda b, q: solve(b, q, s.qd, tau)), N),
                   central4(s.velocities(lambda b, qd: solve(b, s.q, qd, tau)), N),
                   central4(lambda d: solve(s.base(), s.q, s.qd, tau + d), N)]
        for k, matrix in enumerate(ours):
            rows = N if k < 3 else m
            want = numeric[k % 3][:N] if k < 3 else numeric[k % 3][N:]
            assert_near(as_matrix(matrix, rows), want, TOLERANCE)


def test_solo_standing_still_needs_no_acceleration():
    robot, cs = robot_of("Solo12"), constraints("Solo12")
    n = robot.joint_count
    q = robot.joint_vector({name: 0.8 if "HFE" in name else -1.6 if "KFE" in name else 0.1
                            for name in robot.dof_names})
    base = BaseState(Pose([0.0, 0.0, 0.3]))
    J = as_matrix(robot.constraint_jacobian(base, q, cs), cs.count)
    # gravity balanced by joint torques and foot forces, the base wrench zero: τ_j and f from g = [0; τ_j] + Jᵀf
    actuation = np.vstack([np.zeros((6, n)), np.eye(n)])
    split = np.linalg.lstsq(np.hstack([actuation, J.T]), robot.gravity(base, q), rcond=None)[0]
    tau = actuation @ split[:n]
    qdd, forces = robot.constrained_forward_dynamics(base, q, np.zeros(n), tau, cs)
    assert np.abs(qdd).max() <= 1e-9
    np.testing.assert_allclose(forces, split[n:], atol=1e-9)
    np.testing.assert_allclose(forces.reshape(4, 3).sum(axis=0), [0, 0, robot.total_mass * G], atol=1e-9)


# --------------------------------------------------------------------------------------------
# Redundant rows, batches

def redundant(label):
    """The hand held twice (12 rows of rank 6), or a foot listed twice."""
    robot = robot_of(label)
    if label == "Panda":
        hand = robot.link_id("panda_hand")
        return robot.constraint_set([Contact(hand, "frame"), Contact(hand, "frame", Pose([0.0, 0.1, 0.05]))])
    foot = robot.link_id("FL_FOOT")
    return robot.constraint_set([Contact(foot), Contact(robot.link_id("HR_FOOT")), Contact(foot)])


@pytest.mark.parametrize("label", ["Panda", "Solo12"])
def test_redundant_rows_need_regularization_and_get_least_norm_forces(label):
    robot, cs = robot_of(label), redundant(label)
    N, rng, mu = robot.generalized_count, np.random.default_rng(5), 1e-6
    s = State(robot, rng)
    lead, tau, nu = s.base(), rng.uniform(-2, 2, N), velocity(s)
    out = (np.full(N, 7.0), np.full(cs.count, 7.0))
    for call in [lambda: robot.constrained_forward_dynamics(*lead, s.q, s.qd, tau, cs, out=out),
                 lambda: robot.impulse_dynamics(*lead, s.q, s.qd, cs, out=out)]:
        with pytest.raises(SolverError) as info:
            call()
        message = str(info.value)
        assert "rank" in message and "regularization" in message, message
        assert all(np.all(a == 7.0) for a in out)  # a refused call writes nothing

    # impacts: J q̇⁺ = −e·J q̇⁻ always has solutions; the impulses are the least-norm ones
    J, M = jacobian(robot, s, cs), as_matrix(robot.mass_matrix(*lead, s.q), N)
    after, impulses = robot.impulse_dynamics(*lead, s.q, s.qd, cs, restitution=0.5, regularization=mu)
    A = J @ np.linalg.solve(M, J.T)
    assert_near(impulses, np.linalg.pinv(A, rcond=1e-10, hermitian=True) @ (-1.5 * J @ nu), 1e-8)
    assert_near(J @ after, -0.5 * J @ nu, 1e-9)
    if label == "Panda":  # two frames of one link cannot both have zero acceleration while it turns
        with pytest.raises(SolverError, match="cannot all hold"):
            robot.constrained_forward_dynamics(*lead, s.q, s.qd, tau, cs, regularization=mu)
        s = at_rest(robot, s, cs)
        lead = s.base()

    qdd, forces = robot.constrained_forward_dynamics(*lead, s.q, s.qd, tau, cs, regularization=mu)
    gamma = -np.asarray(robot.constraint_acceleration_bias(*lead, s.q, s.qd, cs))
    want_qdd, want_forces = dense_kkt(robot, s, tau, cs, gamma, least_norm=True)
    assert_near(J @ qdd, gamma, 1e-9)
    assert_near(qdd, want_qdd, 1e-9)
    assert_near(forces, want_forces, 1e-8)


@pytest.mark.parametrize("label", ["UR5", "Solo12", "chain"])
def test_batch_rows_are_the_single_calls(label):
    robot, rng = robot_of(label), np.random.default_rng(2)
    cs = constraints(label, random_targets(label, rng), (10.0, 2.0))
    states = [State(robot, rng) for _ in range(5)]
    q, qd = np.array([s.q for s in states]), np.array([s.qd for s in states])
    tau = rng.uniform(-2, 2, (5, robot.generalized_count))
    lead = ([s.base()[0] for s in states],) if isinstance(robot, FloatingRobot) else ()
    batch = robot.batch(2)
    for name, rows, kwargs in [("constraint_jacobian", [q], {}), ("constraint_acceleration_bias", [q, qd], {}),
                               ("constrained_forward_dynamics", [q, qd, tau], {}),
                               ("impulse_dynamics", [q, qd], {"restitution": 0.3}),
                               ("constrained_dynamics_derivatives", [q, qd, tau], {"regularization": 1e-9})]:
        result = getattr(batch, name)(*lead, *rows, cs, **kwargs)
        results = result if isinstance(result, tuple) else (result,)
        for i, s in enumerate(states):
            single = getattr(robot, name)(*s.base(), *(r[i] for r in rows), cs, **kwargs)
            singles = single if isinstance(single, tuple) else (single,)
            assert [r[i].tobytes() for r in results] == [np.asarray(x).tobytes() for x in singles], (name, i)
