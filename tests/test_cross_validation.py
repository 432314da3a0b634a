"""Cross-validation against Pinocchio, an independent rigid-body library, on robot
descriptions published by others (the example-robot-data collection).

Both libraries see the same URDF file. Differences of convention are converted here:
- DOF order: ours follows link ids (breadth-first), Pinocchio's is depth-first and
  stores a continuous joint as (cos, sin); joints are matched by name.
- Six-vectors: ours are angular first in world axes; Pinocchio's frame quantities
  are linear first. Its free-flyer velocity is (R^T v, R^T w) in the base frame and its
  base acceleration is the derivative of that body-frame twist, ours is classical.
- Loads: ours are what a link exerts on its surroundings (link frame, link origin);
  Pinocchio's external forces act on the joint's body, in the joint frame.
Both velocity vectors are related by an orthogonal matrix T (v_pinocchio = T nu), so
forces map with T^T and the mass matrix with T^T M T.
"""

import math
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO, robots_dir
from peers import pinocchio as pin

from velkor import BaseState, FloatingRobot, IkOptions, Load, ModelError, Pose, Robot, SolverError, Twist

G = 9.80665
STATES = 20

# name: (file, load options, floating base, links whose Jacobians and motion are compared)
MIMIC = {"mimic": "independent"}  # Pinocchio loads mimic joints as independent joints too
COUPLE = {"mimic": "couple"}  # against Pinocchio's coupled model (mimic=True), which has no aba
MASSLESS = {"massless_root": "allow"}
CASES = {
    "panda": ("panda_description/urdf/panda.urdf", MIMIC, False, ["panda_link3", "panda_hand", "panda_rightfinger"]),
    "ur5": ("ur_description/urdf/ur5_robot.urdf", {}, False, ["upper_arm_link", "wrist_2_link", "tool0"]),
    "talos": ("talos_data/robots/talos_full_v2.urdf", MIMIC, False,
              ["leg_right_6_link", "head_2_link", "gripper_left_fingertip_3_link"]),
    "talos-floating": ("talos_data/robots/talos_full_v2.urdf", MIMIC, True,
                       ["base_link", "leg_left_6_link", "arm_right_7_link", "gripper_right_fingertip_1_link"]),
    "solo12-floating": ("solo_description/robots/solo12.urdf", {}, True, ["base_link", "FL_UPPER_LEG", "HR_FOOT"]),
    "kinova": ("kinova_description/robots/kinova.urdf", {}, False,
               ["j2s6s200_link_3", "j2s6s200_end_effector", "j2s6s200_link_finger_2"]),
    "a1": ("a1_description/urdf/a1.urdf", {}, False, ["FL_thigh", "RR_calf", "RL_foot"]),
    "double_pendulum": ("double_pendulum_description/urdf/double_pendulum_continuous.urdf", {}, False,
                        ["link1", "link2"]),
    # massless root links fixed to the body that carries the mass
    "a1-floating": ("a1_description/urdf/a1.urdf", MASSLESS, True, ["base", "trunk", "FR_calf", "RL_foot"]),
    "kinova-floating": ("kinova_description/robots/kinova.urdf", MASSLESS, True,
                        ["base", "j2s6s200_link_3", "j2s6s200_end_effector"]),
    "ur5-floating": ("ur_description/urdf/ur5_robot.urdf", MASSLESS, True, ["world", "upper_arm_link", "tool0"]),
    # exactly singular inertias (all six entries equal), with a massless root too for Go1
    "go1-floating": ("go1_description/urdf/go1.urdf", MASSLESS, True, ["base", "trunk", "FL_calf", "RR_foot"]),
    "anymal-floating": ("anymal_b_simple_description/robots/anymal.urdf", {}, True, ["base", "LF_SHANK", "RH_FOOT"]),
    "hyq-floating": ("hyq_description/robots/hyq_no_sensors.urdf", {}, True, ["trunk", "lf_upperleg", "rh_foot"]),
    # mimic joints made independent
    "baxter": ("baxter_description/urdf/baxter.urdf", MIMIC, False, ["torso", "right_gripper", "l_gripper_l_finger"]),
    # mimic joints that follow their leaders
    "panda-coupled": ("panda_description/urdf/panda.urdf", COUPLE, False,
                      ["panda_link3", "panda_rightfinger", "panda_leftfinger"]),
    "baxter-coupled": ("baxter_description/urdf/baxter.urdf", COUPLE, False,
                       ["right_gripper", "r_gripper_r_finger", "l_gripper_r_finger_tip"]),
}


def quat_matrix(x, y, z, w):
    return pin.Quaternion(w, x, y, z).toRotationMatrix()


def swap(m):
    """Pinocchio six-vector rows (linear, angular) -> ours (angular, linear)."""
    return np.concatenate([m[3:], m[:3]])


def skew(v):
    return np.array([[0, -v[2], v[1]], [v[2], 0, -v[0]], [-v[1], v[0], 0]])


def assert_close(actual, expected, what):
    expected = np.asarray(expected, dtype=float)
    scale = max(1.0, float(np.max(np.abs(expected), initial=0.0)))
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=1e-10 * scale, err_msg=what)


class Case:
    """One robot file seen by both libraries, plus the matching of DOFs and links."""

    def __init__(self, name, path, options, floating, targets):
        self.name, self.floating = name, floating
        self.coupled = options.get("mimic") == "couple"
        self.robot = (FloatingRobot if floating else Robot)(str(path), **options)
        self.model = (pin.buildModelFromUrdf(str(path), pin.JointModelFreeFlyer()) if floating
                      else pin.buildModelFromUrdf(str(path), mimic=True) if self.coupled
                      else pin.buildModelFromUrdf(str(path)))
        self.model.gravity.linear = np.array([0.0, 0.0, -G])
        self.data = self.model.createData()
        root = ET.parse(path).getroot()
        self.links = sorted((e.get("name") for e in root.findall("link")), key=self.robot.link_id)
        if targets is None:  # the root, a link in the middle and the last one
            targets = sorted({self.links[0], self.links[len(self.links) // 2], self.links[-1]}, key=self.links.index)
        moving = sorted((j for j in root.findall("joint") if j.get("type") != "fixed"
                         and not (self.coupled and j.find("mimic") is not None)),
                        key=lambda j: self.robot.link_id(j.find("child").get("link")))
        self.lower, self.upper, self.oracle_joints = [], [], []
        for joint in moving:
            limit = joint.find("limit")
            if joint.get("type") == "continuous":
                bounds = (-math.pi, math.pi)
            else:
                bounds = (float(limit.get("lower", 0)), float(limit.get("upper", 0)))
            self.lower.append(bounds[0])
            self.upper.append(bounds[1])
            self.oracle_joints.append(self.model.joints[self.model.getJointId(joint.get("name"))])
        self.lower, self.upper = np.array(self.lower), np.array(self.upper)
        self.targets = [(self.robot.link_id(t), self.frame(t)) for t in targets]

    def frame(self, link):
        assert self.model.existFrame(link, pin.FrameType.BODY), link
        return self.model.getFrameId(link, pin.FrameType.BODY)


class State:
    """A random state in both conventions: ours (q, qd, qdd, base) and Pinocchio's (qp, vp, ap)."""

    def __init__(self, case, seed):
        rng = np.random.default_rng(seed)
        model, n = case.model, case.robot.joint_count
        self.case, self.seed = case, seed
        self.q = rng.uniform(case.lower, case.upper)
        self.qd, self.qdd = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
        self.qp = np.zeros(model.nq)
        perm = np.zeros((model.nv, n))
        for i, joint in enumerate(case.oracle_joints):
            if joint.nq == 2:
                self.qp[joint.idx_q:joint.idx_q + 2] = np.cos(self.q[i]), np.sin(self.q[i])
            else:
                self.qp[joint.idx_q] = self.q[i]
            perm[joint.idx_v, i] = 1.0
        quat = rng.normal(size=4)
        quat /= np.linalg.norm(quat)
        frame = Pose(rng.uniform(-1, 1, 3), quat)
        rot = quat_matrix(*quat)
        self.bias = np.zeros(model.nv)  # Pinocchio's acceleration minus T @ (our acceleration)
        self.t_dot = np.zeros((model.nv, perm.shape[1] + 6 * case.floating))
        if case.floating:
            self.world = (np.eye(3), np.zeros(3))  # Pinocchio's free flyer carries the base pose
            self.gravity = np.array([0.0, 0.0, -G])
            velocity, acceleration = rng.uniform(-1, 1, 6), rng.uniform(-1, 1, 6)
            self.prefix = (BaseState(frame, Twist(velocity[:3], velocity[3:]),
                                     Twist(acceleration[:3], acceleration[3:])),)
            self.qp[:3], self.qp[3:7] = frame.translation, quat
            self.T = np.zeros((model.nv, n + 6))
            self.T[:3, 3:6] = self.T[3:6, :3] = rot.T
            self.T[:, 6:] = perm
            self.nu, self.nu_dot = np.r_[velocity, self.qd], np.r_[acceleration, self.qdd]
            w_body, v_body = rot.T @ velocity[:3], rot.T @ velocity[3:]
            self.bias[:3] = -np.cross(w_body, v_body)
            self.t_dot[:3, 3:6] = self.t_dot[3:6, :3] = -skew(w_body) @ rot.T
        else:
            # every other state puts the fixed base at a random pose: Pinocchio then works
            # in base axes with gravity rotated into them
            if seed % 2 == 0:
                frame, rot = Pose(), np.eye(3)
            self.frame, self.prefix = frame, ()
            self.world = (rot, np.array(frame.translation))
            self.gravity = rot.T @ [0.0, 0.0, -G]
            self.T, self.nu, self.nu_dot = perm, self.qd, self.qdd
        self.vp = self.T @ self.nu
        self.ap = self.T @ self.nu_dot + self.bias
        self.forces = rng.uniform(-5, 5, self.T.shape[1])
        picks = rng.integers(0, len(case.links), 5)  # repeats allowed: loads on one link add up
        self.loads = [(int(i), rng.uniform(-5, 5, 3), rng.uniform(-5, 5, 3)) for i in picks]

    def activate(self):
        if not self.case.floating:
            self.case.robot.set_base_frame(self.frame)
        self.case.model.gravity.linear = self.gravity

    def args(self, *values):
        return self.prefix + values

    def to_world(self, six):
        """Pinocchio's (linear, angular) in its reference axes (the base frame of a fixed base)
        -> ours (angular, linear) in world axes."""
        rot = self.world[0]
        six = swap(np.asarray(six))
        return np.concatenate([rot @ six[:3], rot @ six[3:]])

    def oracle_fext(self):
        model = self.case.model
        fext = pin.StdVec_Force()
        for _ in range(model.njoints):
            fext.append(pin.Force.Zero())
        for link, torque, force in self.loads:
            frame = model.frames[self.case.frame(self.case.links[link])]
            fext[frame.parentJoint] += frame.placement.act(pin.Force(-force, -torque))
        return fext

    def our_loads(self):
        return [Load(link, torque=torque, force=force) for link, torque, force in self.loads]

    def to_ours(self, oracle_acceleration):
        return self.T.T @ (oracle_acceleration - self.bias)


def build_case(name):
    file, options, floating, targets = CASES[name]
    case = Case(name, robots_dir() / file, options, floating, targets)
    case.states = [State(case, seed) for seed in range(STATES)]
    return case


@pytest.fixture(scope="module")
def cases():
    built = {}

    def get(name):
        if name not in built:
            built[name] = build_case(name)
        return built[name]

    return get


# Each check yields (label, ours, Pinocchio's) for one state.

def check_poses(case, st):
    model, data = case.model, case.data
    pin.framesForwardKinematics(model, data, st.qp)
    rows = case.robot.forward_kinematics_all(*st.args(st.q)).reshape(-1, 7)
    rot, shift = st.world
    for i, link in enumerate(case.links):
        placement = data.oMf[case.frame(link)]
        ours = np.r_[rows[i, :3], quat_matrix(*rows[i, 3:]).ravel()]
        yield link, ours, np.r_[rot @ placement.translation + shift, (rot @ placement.rotation).ravel()]
    for target, fid in case.targets:
        pose = case.robot.forward_kinematics(*st.args(st.q, target))
        yield f"single {target}", np.r_[pose.translation, pose.rotation_xyzw], rows[target]


def check_jacobians(case, st):
    pin.computeJointJacobians(case.model, case.data, st.qp)
    pin.framesForwardKinematics(case.model, case.data, st.qp)
    for target, fid in case.targets:
        oracle = pin.getFrameJacobian(case.model, case.data, fid, pin.LOCAL_WORLD_ALIGNED)
        yield target, case.robot.jacobian(*st.args(st.q, target)).reshape(-1, 6).T, st.to_world(oracle) @ st.T


def check_jacobian_derivatives(case, st):
    if case.coupled:
        # Pinocchio's time variation leaves out what a mimic joint's own motion adds to the
        # columns of the frames it moves: differentiate its Jacobian along the motion instead
        # (central differences at steps h and h/2, extrapolated: error O(h⁴))
        def rate(fid, h):
            at = [pin.computeFrameJacobian(case.model, case.data, pin.integrate(case.model, st.qp, s * h * st.vp),
                                           fid, pin.LOCAL_WORLD_ALIGNED) for s in (1, -1)]
            return (at[0] - at[1]) / (2 * h)

        for target, fid in case.targets:
            expected = (4 * rate(fid, 5e-4) - rate(fid, 1e-3)) / 3
            yield target, case.robot.jacobian_derivative(*st.args(st.q, st.qd, target)).reshape(-1, 6).T, \
                st.to_world(expected) @ st.T
        return
    pin.computeJointJacobiansTimeVariation(case.model, case.data, st.qp, st.vp)
    pin.updateFramePlacements(case.model, case.data)
    for target, fid in case.targets:
        jac = pin.getFrameJacobian(case.model, case.data, fid, pin.LOCAL_WORLD_ALIGNED)
        rate = pin.getFrameJacobianTimeVariation(case.model, case.data, fid, pin.LOCAL_WORLD_ALIGNED)
        expected = st.to_world(rate) @ st.T + st.to_world(jac) @ st.t_dot  # T turns with the base
        yield target, case.robot.jacobian_derivative(*st.args(st.q, st.qd, target)).reshape(-1, 6).T, expected


def check_link_motion(case, st):
    pin.forwardKinematics(case.model, case.data, st.qp, st.vp, st.ap)
    pin.updateFramePlacements(case.model, case.data)
    for target, fid in case.targets:
        twist = case.robot.forward_velocity_kinematics(*st.args(st.q, st.qd, target))
        oracle = pin.getFrameVelocity(case.model, case.data, fid, pin.LOCAL_WORLD_ALIGNED)
        yield f"velocity {target}", np.r_[twist.angular, twist.linear], st.to_world(oracle.vector)
        twist = case.robot.forward_acceleration_kinematics(*st.args(st.q, st.qd, st.qdd, target))
        oracle = pin.getFrameClassicalAcceleration(case.model, case.data, fid, pin.LOCAL_WORLD_ALIGNED)
        yield f"acceleration {target}", np.r_[twist.angular, twist.linear], st.to_world(oracle.vector)


def check_mass_matrix(case, st):
    upper = np.triu(pin.crba(case.model, case.data, st.qp))
    side = st.T.shape[1]
    yield "", case.robot.mass_matrix(*st.args(st.q)).reshape(side, side), st.T.T @ (upper + np.triu(upper, 1).T) @ st.T


def check_inverse_dynamics(case, st):
    oracle = pin.rnea(case.model, case.data, st.qp, st.vp, st.ap)
    yield "", case.robot.inverse_dynamics(*st.args(st.q, st.qd, st.qdd)), st.T.T @ oracle


def check_gravity(case, st):
    oracle = pin.computeGeneralizedGravity(case.model, case.data, st.qp)
    yield "", case.robot.gravity(*st.args(st.q)), st.T.T @ oracle


def check_velocity_product(case, st):
    gravity = pin.computeGeneralizedGravity(case.model, case.data, st.qp)
    oracle = pin.rnea(case.model, case.data, st.qp, st.vp, st.bias) - gravity  # zero classical acceleration
    yield "", case.robot.velocity_product_forces(*st.args(st.q, st.qd)), st.T.T @ oracle


def oracle_aba(case, st, tau, *fext):
    """Pinocchio's aba, or for its coupled model (which aba refuses) M⁻¹ (τ − nonlinear effects)."""
    if not case.coupled:
        return pin.aba(case.model, case.data, st.qp, st.vp, tau, *fext)
    upper = np.triu(pin.crba(case.model, case.data, st.qp))
    bias = pin.rnea(case.model, case.data, st.qp, st.vp, np.zeros(case.model.nv), *fext)
    return np.linalg.solve(upper + np.triu(upper, 1).T, tau - bias)


def check_forward_dynamics(case, st):
    oracle = oracle_aba(case, st, st.T @ st.forces)
    yield "", case.robot.forward_dynamics(*st.args(st.q, st.qd, st.forces)), st.to_ours(oracle)


def check_loads(case, st):
    fext, loads = st.oracle_fext(), st.our_loads()
    oracle = pin.rnea(case.model, case.data, st.qp, st.vp, st.ap, fext)
    yield "inverse dynamics", case.robot.inverse_dynamics(*st.args(st.q, st.qd, st.qdd), loads=loads), st.T.T @ oracle
    zero = np.zeros(case.model.nv)
    oracle = pin.rnea(case.model, case.data, st.qp, zero, zero, fext)
    yield "gravity", case.robot.gravity(*st.args(st.q), loads=loads), st.T.T @ oracle
    oracle = oracle_aba(case, st, st.T @ st.forces, fext)
    yield "forward dynamics", case.robot.forward_dynamics(*st.args(st.q, st.qd, st.forces), loads=loads), \
        st.to_ours(oracle)


QUANTITIES = {
    "poses": check_poses,
    "jacobian": check_jacobians,
    "jacobian_derivative": check_jacobian_derivatives,
    "link_motion": check_link_motion,
    "mass_matrix": check_mass_matrix,
    "inverse_dynamics": check_inverse_dynamics,
    "gravity": check_gravity,
    "velocity_product": check_velocity_product,
    "forward_dynamics": check_forward_dynamics,
    "loads": check_loads,
}


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("name", CASES)
def test_sizes_and_numbering_match(cases, name):
    case = cases(name)
    assert case.robot.generalized_count == case.model.nv
    assert case.robot.link_count == len(case.links) == len(set(case.links))
    assert sorted(j.idx_v for j in case.oracle_joints) == list(range(6 * case.floating, case.model.nv))


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("quantity", QUANTITIES)
@pytest.mark.parametrize("name", CASES)
def test_agrees_with_oracle(cases, name, quantity):
    case = cases(name)
    for st in case.states:
        st.activate()
        for label, ours, expected in QUANTITIES[quantity](case, st):
            assert_close(ours, expected, f"{name} {quantity} {label} (state seed {st.seed})")


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("name", CASES)
def test_names_order_and_limits_match_the_file_and_the_oracle(cases, name):
    case, robot, model = cases(name), cases(name).robot, cases(name).model
    root = ET.parse(robots_dir() / CASES[name][0]).getroot()
    # links and joints against a plain parse of the file
    assert sorted(robot.link_names) == sorted(e.get("name") for e in root.findall("link"))
    assert all(robot.link_id(n) == i for i, n in enumerate(robot.link_names))
    records = {j.name: j for j in robot.joints}
    assert len(records) == len(root.findall("joint")) == robot.link_count - 1
    for joint in root.findall("joint"):
        record = records[joint.get("name")]
        assert record.type == joint.get("type")
        assert (record.parent, record.child) == (robot.link_id(joint.find("parent").get("link")),
                                                 robot.link_id(joint.find("child").get("link")))
        follows = case.coupled and joint.find("mimic") is not None  # moves with its leader
        assert (record.dof is None) == (joint.get("type") == "fixed" or follows)
        if record.dof is not None:
            assert robot.dof_names[record.dof] == record.name
    # DOF order against Pinocchio's velocity order
    first = 6 if case.floating else 0
    oracle_order = sorted((j for j in model.joints[1:] if j.nv == 1), key=lambda j: j.idx_v)
    oracle_names = [model.names[j.id] for j in oracle_order]
    p = robot.dof_order(oracle_names)
    assert [oracle_order[k].idx_v - first for k in p] == [j.idx_v - first for j in case.oracle_joints]
    assert list(robot.dof_order(oracle_names, inverse=True)[p]) == list(range(robot.joint_count))
    # limits and masses against Pinocchio
    for i, joint in enumerate(case.oracle_joints):
        if joint.nq == 1:  # a continuous joint's Pinocchio coordinates are (cos, sin)
            assert robot.lower_limits[i] == model.lowerPositionLimit[joint.idx_q]
            assert robot.upper_limits[i] == model.upperPositionLimit[joint.idx_q]
        else:
            assert (robot.lower_limits[i], robot.upper_limits[i]) == (-np.inf, np.inf)
        assert robot.velocity_limits[i] == model.velocityLimit[joint.idx_v]
        assert robot.effort_limits[i] == model.effortLimit[joint.idx_v]
    masses = {e.get("name"): float(e.find("inertial/mass").get("value")) if e.find("inertial") is not None else 0.0
              for e in root.findall("link")}
    assert list(robot.link_masses) == [masses[n] for n in robot.link_names]
    assert robot.total_mass == pytest.approx(sum(masses.values()), rel=1e-14)
    if case.floating:  # Pinocchio leaves out what is fixed to its fixed base
        assert robot.total_mass == pytest.approx(pin.computeTotalMass(model), rel=1e-14)
    # configurations within the limits
    low = np.where(np.isinf(robot.lower_limits), -np.pi, robot.lower_limits)
    high = np.where(np.isinf(robot.upper_limits), np.pi, robot.upper_limits)
    for q in (robot.neutral_configuration(), robot.random_configuration(7)):
        assert np.all(low <= q) and np.all(q <= high)


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("name", ["panda", "a1", "solo12-floating", "talos-floating"])
def test_gravity_vector_is_used_by_every_dynamics_method(cases, name):
    case = cases(name)
    g = np.array([0.4, -0.3, -9.81])
    case.robot.gravity_vector = g
    try:
        for st in case.states[0:6:2]:  # even seeds: a fixed base at the identity, so world axes
            st.activate()
            case.model.gravity.linear = g
            for quantity in ("gravity", "inverse_dynamics", "forward_dynamics", "loads"):
                for label, ours, expected in QUANTITIES[quantity](case, st):
                    assert_close(ours, expected, f"{name} {quantity} {label} with g = {g}")
    finally:
        case.robot.gravity_vector = [0.0, 0.0, -G]


# Every other file of the collection, with the options, compared on a few states.
COLLECTION_STATES = 3


def collection_files():
    named = {file for file, *_ in CASES.values()}
    return [str(path.relative_to(robots_dir())) for path in sorted(robots_dir().rglob("*.urdf"))
            if str(path.relative_to(robots_dir())) not in named]


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("floating", [False, True], ids=["fixed", "floating"])
@pytest.mark.parametrize("file", collection_files())
def test_collection_agrees_with_oracle(file, floating):
    options = {**MIMIC, **(MASSLESS if floating else {})}
    path = robots_dir() / file
    try:
        case = Case(file, path, options, floating, None)
    except ModelError as error:
        # refused: a truly indefinite inertia, a mimic leader the file does not have,
        # or a file Pinocchio cannot read either
        if file not in INDEFINITE | DANGLING_MIMIC:
            with pytest.raises(Exception):
                pin.buildModelFromUrdf(str(path))
        else:
            assert refused_for_its_file(file, error)
        return
    assert case.robot.generalized_count == case.model.nv
    for seed in range(COLLECTION_STATES):
        st = State(case, seed)
        st.activate()
        for quantity, check in QUANTITIES.items():
            if case.model.nv == 0 and quantity != "poses":
                continue  # Pinocchio's frame Jacobian crashes on a robot without DOFs
            try:
                for label, ours, expected in check(case, st):
                    assert_close(ours, expected, f"{file} {quantity} {label} (state seed {seed})")
            except SolverError as error:
                # massless moving links (Romeo's mimic fingers): Pinocchio divides by zero
                assert "singular articulated inertia" in str(error) and quantity in ("forward_dynamics", "loads")
                assert not np.isfinite(pin.aba(case.model, case.data, st.qp, st.vp, st.T @ st.forces)).all()


# Files the importer must refuse, with the reason it gives.
REJECTED = [
    *[(Robot, f"talos_data/robots/{stem}.urdf", {},
       "joint gripper_left_inner_double_joint uses an unsupported mimic constraint (")
      for stem in ("talos_full_v2", "talos_full_v2_box", "talos_left_arm", "talos_reduced", "talos_reduced_box",
                   "talos_reduced_corrected")],
    (Robot, "panda_description/urdf/panda.urdf", {}, "joint panda_finger_joint2 uses an unsupported mimic constraint ("),
    (FloatingRobot, "ur_description/urdf/ur5_robot.urdf", {}, "floating-base root link world must have positive mass"),
    (FloatingRobot, "a1_description/urdf/a1.urdf", {}, "floating-base root link base must have positive mass"),
    (FloatingRobot, "kinova_description/robots/kinova.urdf", {}, "floating-base root link base must have positive mass"),
    # truly indefinite inertias, whatever the options
    (Robot, "tiago_description/robots/tiago.urdf", MIMIC,
     "link base_antenna_left_link inertia must be positive semi-definite"),
    (Robot, "icub_description/robots/icub.urdf", MIMIC, "link r_hip_2 inertia must be positive semi-definite"),
    (Robot, "romeo_description/urdf/romeo_laas_small.urdf", MIMIC, "link body inertia must be positive semi-definite"),
    # the finger couplings name leaders the file does not have (index_q1 for Left_index_q1);
    # Pinocchio ignores <mimic> elements, so it loads the file
    (Robot, "alex_description/urdf/alex_psyonic_hands.urdf", MIMIC,
     "joint Left_index_q2 mimics joint index_q1, which does not exist"),
]
INDEFINITE = {file for _, file, _, reason in REJECTED if reason.endswith("positive semi-definite")} | {
    "tiago_description/robots/tiago_dual.urdf", "tiago_description/robots/tiago_no_hand.urdf",
    "icub_description/robots/icub_reduced.urdf"}
DANGLING_MIMIC = {file for _, file, _, reason in REJECTED if reason.endswith("which does not exist")}


def refused_for_its_file(file, error):
    """True when the file is known to be refused with this error whatever the options."""
    message = str(error)
    return ((file in INDEFINITE and message.endswith("inertia must be positive semi-definite"))
            or (file in DANGLING_MIMIC and message.endswith("which does not exist")))


@pytest.mark.parametrize("cls, file, options, reason", REJECTED,
                         ids=[f"{cls.__name__}-{Path(file).name}" for cls, file, _, _ in REJECTED])
def test_rejected_robot_files(cls, file, options, reason):
    with pytest.raises(ModelError) as info:
        cls(str(robots_dir() / file), **options)
    # a message ending in "(" is checked up to it: the loading options it names follow
    expected = f"invalid robot model: {reason}"
    assert str(info.value).startswith(expected) if reason.endswith("(") else str(info.value) == expected


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("cls, options", [(Robot, MIMIC), (FloatingRobot, {**MIMIC, **MASSLESS})])
def test_every_file_the_oracle_loads_loads_with_the_options(cls, options):
    refused = {}
    for path in sorted(robots_dir().rglob("*.urdf")):
        file = str(path.relative_to(robots_dir()))
        try:
            if cls is FloatingRobot:
                pin.buildModelFromUrdf(str(path), pin.JointModelFreeFlyer())
            else:
                pin.buildModelFromUrdf(str(path))
        except Exception:  # Pinocchio refuses it too
            continue
        try:
            cls(str(path), **options)
        except ModelError as error:
            if not refused_for_its_file(file, error):
                refused[file] = str(error)
    assert not refused


# Inverse kinematics: reach forward-kinematics poses of random in-limit configurations from a
# perturbed start. The solver is deterministic, so the iteration count of a solve is the
# smallest max_iterations that lets it converge.

IK_TARGETS = {"panda": "panda_hand", "ur5": "tool0"}
IK_TRIALS = 60


def ik_outcome(robot, start, target, desired, iterations):
    try:
        return "converged", robot.inverse_kinematics(start, target, desired, IkOptions(iterations))
    except SolverError as error:
        if "outside URDF limits" in str(error):
            return "limits", None
        assert "did not converge" in str(error), str(error)
        return "failed", None


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("name", IK_TARGETS)
def test_inverse_kinematics_reaches_reachable_poses(cases, name):
    case = cases(name)
    robot, target = case.robot, case.robot.link_id(IK_TARGETS[name])
    robot.set_base_frame(Pose())
    rng = np.random.default_rng(7)
    counts, iterations = {"converged": 0, "limits": 0, "failed": 0}, []
    for _ in range(IK_TRIALS):
        truth = rng.uniform(case.lower, case.upper)
        start = np.clip(truth + rng.uniform(-0.3, 0.3, truth.size), case.lower, case.upper)
        desired = robot.forward_kinematics(truth, target)
        status, solution = ik_outcome(robot, start, target, desired, 100)
        counts[status] += 1
        if status != "converged":
            continue
        reached = robot.forward_kinematics(solution, target)
        assert np.linalg.norm(np.subtract(reached.translation, desired.translation)) <= 1e-6 + 1e-12
        turn = quat_matrix(*reached.rotation_xyzw).T @ quat_matrix(*desired.rotation_xyzw)
        assert np.linalg.norm(pin.log3(turn)) <= 1e-6 + 1e-12
        assert np.all((case.lower - 1e-12 <= solution) & (solution <= case.upper + 1e-12))
        low, high = 0, 100  # the first converging iteration count lies in (low, high]
        while high - low > 1:
            middle = (low + high) // 2
            if ik_outcome(robot, start, target, desired, middle)[0] == "converged":
                high = middle
            else:
                low = middle
        iterations.append(high)
    rate = counts["converged"] / IK_TRIALS
    print(f"\nIK {name}: {counts['converged']}/{IK_TRIALS} converged ({rate:.0%}), "
          f"{counts['limits']} outside limits, {counts['failed']} not converged; iterations to converge "
          f"mean {np.mean(iterations):.1f}, max {max(iterations)}")
    assert rate >= 0.9, counts
