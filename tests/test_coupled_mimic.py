"""Mimic joints that follow their leaders (mimic="couple"), against the same file loaded with
independent mimic joints, through the coupling map: q_full = G q + b, q̇_full = G q̇ and
τ = Gᵀ τ_full, so that M = Gᵀ M_full G, q̈ solves M q̈ = τ − Gᵀ bias_full, and link poses are those
of the independent model at q_full. G and b are built here from the file's couplings as
mimic_joints lists them. Pinocchio's coupled model is the oracle of test_cross_validation (Panda,
Baxter); it refuses Romeo and Talos, whose mimic joints come before their leaders, which are
checked here with every other mimic file of example-robot-data."""

import pickle

import numpy as np
import pytest
from peers import robots_dir

from velkor import (
    BaseState,
    Contact,
    FloatingRobot,
    IkOptions,
    Load,
    ModelError,
    Pose,
    Robot,
    SolverError,
    Twist,
    as_matrix,
)

# name: (file, free DOFs, mimic joints), every file of the collection with moving mimic joints
FILES = {
    "panda": ("panda_description/urdf/panda.urdf", 8, 1),
    "baxter": ("baxter_description/urdf/baxter.urdf", 17, 2),
    "talos": ("talos_data/robots/talos_full_v2.urdf", 32, 12),
    "talos-box": ("talos_data/robots/talos_full_v2_box.urdf", 32, 12),
    "romeo": ("romeo_description/urdf/romeo.urdf", 33, 22),
    "pr2": ("pr2_description/urdf/pr2.urdf", 20, 10),
    "tiago-pro": ("tiago_pro_description/robots/tiago_pro.urdf", 23, 10),
}
FLOATING = ["talos", "romeo"]


def coupling_map(coupled, independent):
    """G (full DOFs x free DOFs) and b, resolving chains of mimic joints to the free joint at their end."""
    free = list(coupled.dof_names)
    G, b = np.zeros((independent.joint_count, coupled.joint_count)), np.zeros(independent.joint_count)
    for i, name in enumerate(independent.dof_names):
        multiplier, offset, at = 1.0, 0.0, name
        while at in coupled.mimic_joints:  # q_at = m·q_leader + o
            at, m, o = coupled.mimic_joints[at]
            offset, multiplier = offset + multiplier * o, multiplier * m
        G[i, free.index(at)], b[i] = multiplier, offset
    return G, b


def close(ours, expected, what, rtol=1e-9):
    ours, expected = np.asarray(ours, dtype=float), np.asarray(expected, dtype=float)
    scale = max(1.0, float(np.abs(expected).max(initial=0.0)))
    assert np.abs(ours - expected).max(initial=0.0) <= rtol * scale, what


def pair(name, floating):
    path = str(robots_dir() / FILES[name][0])
    if not floating:
        return Robot(path, mimic="couple"), Robot(path, mimic="independent")
    return (FloatingRobot(path, mimic=mimic, massless_root="allow") for mimic in ("couple", "independent"))


@pytest.mark.parametrize("name, floating", [(name, False) for name in FILES] + [(name, True) for name in FLOATING])
def test_coupled_results_are_the_independent_ones_through_the_coupling_map(name, floating):
    coupled, full = pair(name, floating)
    assert (coupled.joint_count, len(coupled.mimic_joints)) == FILES[name][1:]
    assert full.joint_count == coupled.joint_count + len(coupled.mimic_joints)
    G, b = coupling_map(coupled, full)
    o = 6 if floating else 0
    GN = np.eye(o + G.shape[0], o + G.shape[1])
    GN[o:, o:] = G
    N, rng = coupled.generalized_count, np.random.default_rng(len(name))
    last = coupled.link_count - 1
    for k in range(3):
        q, qd, qdd = rng.uniform(-0.5, 0.5, (3, coupled.joint_count))
        qf, qdf, qddf = G @ q + b, G @ qd, G @ qdd
        lead = ()
        if floating:
            quat = rng.normal(size=4)
            lead = (BaseState(Pose(rng.normal(size=3), quat / np.linalg.norm(quat)), Twist(*rng.normal(size=(2, 3))),
                              Twist(*rng.normal(size=(2, 3)))),)
        loads = [Load(int(i), torque=rng.normal(size=3), force=rng.normal(size=3))
                 for i in rng.choice(coupled.link_count, 3)] if k else None
        label = f"{name} state {k}"

        close(coupled.forward_kinematics_all(*lead, q), full.forward_kinematics_all(*lead, qf), f"{label}: poses", 1e-12)
        M = as_matrix(coupled.mass_matrix(*lead, q), N)
        close(M, GN.T @ as_matrix(full.mass_matrix(*lead, qf), full.generalized_count) @ GN, f"{label}: M")
        close(coupled.inverse_dynamics(*lead, q, qd, qdd, loads=loads),
              GN.T @ full.inverse_dynamics(*lead, qf, qdf, qddf, loads=loads), f"{label}: τ")
        close(coupled.gravity(*lead, q), GN.T @ full.gravity(*lead, qf), f"{label}: g")
        close(coupled.velocity_product_forces(*lead, q, qd), GN.T @ full.velocity_product_forces(*lead, qf, qdf),
              f"{label}: velocity products")
        for method, rows in (("jacobian", 6), ("center_of_mass_jacobian", 3), ("centroidal_momentum_matrix", 6)):
            args = (q, last) if method == "jacobian" else (q,)
            full_args = (qf, last) if method == "jacobian" else (qf,)
            close(as_matrix(getattr(coupled, method)(*lead, *args), rows).reshape(rows, N),
                  as_matrix(getattr(full, method)(*lead, *full_args), rows).reshape(rows, -1) @ GN, f"{label}: {method}")
        close(coupled.kinetic_energy(*lead, q, qd), full.kinetic_energy(*lead, qf, qdf), f"{label}: energy")
        derivatives = [as_matrix(m, N) for m in coupled.inverse_dynamics_derivatives(*lead, q, qd, qdd, loads=loads)]
        full_derivatives = full.inverse_dynamics_derivatives(*lead, qf, qdf, qddf, loads=loads)
        for ours, theirs in zip(derivatives, full_derivatives):
            close(ours, GN.T @ as_matrix(theirs, full.generalized_count) @ GN, f"{label}: ∂τ")

        # forward dynamics: M q̈ = τ − Gᵀ bias_full, the bias at zero (classical) acceleration
        tau = rng.uniform(-2, 2, N)
        still = (BaseState(lead[0].frame, lead[0].velocity, Twist()),) if floating else ()
        bias = GN.T @ full.inverse_dynamics(*still, qf, qdf, np.zeros_like(qf), loads=loads)
        try:
            qdd_free = coupled.forward_dynamics(*lead, q, qd, tau, loads=loads)
        except SolverError:  # Romeo's massless finger links
            assert np.linalg.cond(M) > 1e8, label
            continue
        close(M @ qdd_free, tau - bias, f"{label}: forward dynamics", 1e-8)


def mimic_tree(n, seed, shape):
    """n revolute joints with random axes, origins and masses, where many groups of coupled joints are open at
    once: "nested" a chain whose joint n-1-i follows joint i; "branches" two chains from the root, joint i of one
    following joint i of the other; "random" a random tree, a third of its joints following random free ones."""
    rng = np.random.default_rng(seed)
    parents, leaders = [], {}
    for i in range(n):
        if shape == "nested":
            parents.append(i)
            if n - 1 - i < i:
                leaders[i] = n - 1 - i
        elif shape == "branches":
            half = n // 2
            parents.append(0 if i in (0, half) else i)
            if i >= half:
                leaders[i] = i - half
        else:
            parents.append(int(rng.integers(0, i + 1)))
    if shape == "random":
        followers = rng.choice(np.arange(1, n), n // 3, replace=False)
        free = [i for i in range(n) if i not in set(followers)]
        leaders = {int(i): int(rng.choice(free)) for i in followers}
    links = "".join(f'<link name="l{i}"><inertial><origin xyz="{" ".join(map(str, rng.uniform(-0.1, 0.1, 3)))}"/>'
                    f'<mass value="{rng.uniform(0.5, 2)}"/><inertia ixx="0.02" ixy="0" ixz="0" iyy="0.03" iyz="0" '
                    'izz="0.04"/></inertial></link>' for i in range(n + 1))
    joints = "".join(
        f'<joint name="j{i}" type="revolute"><parent link="l{parents[i]}"/><child link="l{i + 1}"/>'
        f'<origin xyz="{" ".join(map(str, rng.uniform(-0.2, 0.2, 3)))}"/>'
        f'<axis xyz="{" ".join(map(str, rng.normal(size=3)))}"/><limit lower="-3" upper="3" velocity="1"/>'
        + (f'<mimic joint="j{leaders[i]}" multiplier="{rng.uniform(-1.5, 1.5)}" offset="0.1"/>' if i in leaders else "")
        + "</joint>" for i in range(n))
    return f'<robot name="{shape}">{links}{joints}</robot>'


@pytest.mark.parametrize("n, seed, shape", [(40, 0, "nested"), (41, 1, "nested"), (30, 2, "branches"),
                                            *[(25, seed, "random") for seed in range(3, 9)]])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_forward_dynamics_with_many_groups_open_at_once(n, seed, shape, cls):
    text = mimic_tree(n, seed, shape)
    coupled, full = (cls.from_urdf_string(text, mimic=mimic) for mimic in ("couple", "independent"))
    G, b = coupling_map(coupled, full)
    o = 6 if cls is FloatingRobot else 0
    GN = np.eye(o + G.shape[0], o + G.shape[1])
    GN[o:, o:] = G
    rng, N = np.random.default_rng(seed), coupled.generalized_count
    lead = (BaseState(Pose([0, 0, 1], [0.1, 0.2, 0.3, 0.9]), Twist([0.1, 0, 0], [0, 0.2, 0])),) if o else ()
    for _ in range(2):  # the second call reuses the scratch the first one sized
        q, qd = rng.uniform(-1, 1, (2, coupled.joint_count))
        tau = rng.uniform(-2, 2, N)
        qf, qdf = G @ q + b, G @ qd
        M = as_matrix(coupled.mass_matrix(*lead, q), N)
        bias = GN.T @ full.inverse_dynamics(*lead, qf, qdf, np.zeros_like(qf))
        close(M @ coupled.forward_dynamics(*lead, q, qd, tau), tau - bias, f"{shape} {seed}", 1e-9)


@pytest.mark.parametrize("name, floating, link", [("panda", False, "panda_rightfinger"),
                                                  ("talos", True, "gripper_left_fingertip_3_link"),
                                                  ("pr2", False, "r_gripper_r_finger_tip_link")])
def test_constrained_dynamics_hold_the_coupled_rows(name, floating, link):
    coupled, full = pair(name, floating)
    G, b = coupling_map(coupled, full)
    o = 6 if floating else 0
    GN = np.eye(o + G.shape[0], o + G.shape[1])
    GN[o:, o:] = G
    N, rng = coupled.generalized_count, np.random.default_rng(5)
    items = [Contact(coupled.link_id(link), "point", Pose([0.01, 0.0, 0.01]))]
    if floating:
        items += [Contact(coupled.link_id(foot), "frame") for foot in ("leg_left_6_link", "leg_right_6_link")]
    cs, cs_full = coupled.constraint_set(items), full.constraint_set(items)
    q, qd = rng.uniform(-0.4, 0.4, (2, coupled.joint_count))
    lead = (BaseState(Pose([0, 0, 1.0]), Twist(*rng.normal(size=(2, 3)))),) if floating else ()
    tau = rng.uniform(-2, 2, N)
    qdd, forces = coupled.constrained_forward_dynamics(*lead, q, qd, tau, cs)
    # the KKT system of the coupled robot, from the independent model's quantities
    J = as_matrix(full.constraint_jacobian(*lead, G @ q + b, cs_full), cs.count).reshape(cs.count, -1) @ GN
    close(as_matrix(coupled.constraint_jacobian(*lead, q, cs), cs.count).reshape(cs.count, N), J, "J")
    M = GN.T @ as_matrix(full.mass_matrix(*lead, G @ q + b), full.generalized_count) @ GN
    bias = GN.T @ full.inverse_dynamics(*lead, G @ q + b, G @ qd, np.zeros(full.joint_count))
    gamma = -np.asarray(full.constraint_acceleration_bias(*lead, G @ q + b, G @ qd, cs_full))
    K = np.block([[M, -J.T], [J, np.zeros((cs.count, cs.count))]])
    want = np.linalg.solve(K, np.r_[tau - bias, gamma])
    close(qdd, want[:N], "q̈", 1e-8)
    close(forces, want[N:], "forces", 1e-8)
    nu = np.r_[lead[0].velocity.angular, lead[0].velocity.linear, qd] if floating else qd
    after, impulses = coupled.impulse_dynamics(*lead, q, qd, cs)
    close(J @ after, np.zeros(cs.count), "impulse: rows at rest")
    close(M @ (after - nu), J.T @ impulses, "impulse: momentum")


@pytest.mark.parametrize("held", [False, True])
def test_rollouts_batches_and_configurations_work_in_the_free_coordinates(held):
    robot, _ = pair("talos", True)
    N, C, n = robot.generalized_count, robot.configuration_size, robot.joint_count
    assert (N, C) == (6 + n, 7 + n)
    rng = np.random.default_rng(2)
    c0 = np.r_[0, 0, 1.0, 0, 0, 0, 1.0, rng.uniform(-0.3, 0.3, n)]
    v0, forces, dt = rng.uniform(-0.5, 0.5, N), rng.uniform(-1, 1, (4, N)), 1e-3
    feet = robot.constraint_set([Contact(robot.link_id(f"leg_{side}_6_link"), "frame") for side in ("left", "right")])
    options = {"constraints": feet} if held else {}
    configurations, velocities = robot.rollout(c0, v0, forces, dt, **options)
    c, v = c0, v0
    for t in range(4):  # the loop the rollout runs
        base = BaseState(Pose(c[:3], c[3:7]), Twist(v[:3], v[3:6]))
        qdd = (robot.constrained_forward_dynamics(base, c[7:], v[6:], forces[t], feet)[0] if held
               else robot.forward_dynamics(base, c[7:], v[6:], forces[t]))
        v = v + dt * qdd
        c = robot.integrate(c, v, dt)
        assert np.array_equal(configurations[t + 1], c) and np.array_equal(velocities[t + 1], v)
    close(robot.difference(c0, configurations[-1]), robot.difference(c0, c), "difference")
    batch = robot.batch(2)
    states = [BaseState(Pose(x[:3], x[3:7]), Twist(u[:3], u[3:6])) for x, u in zip(configurations, velocities)]
    rows = batch.forward_dynamics(states, configurations[:, 7:], velocities[:, 6:], np.zeros((5, N)))
    for row, state, x, u in zip(rows, states, configurations, velocities):
        assert np.array_equal(row, robot.forward_dynamics(state, x[7:], u[6:], np.zeros(N)))


def test_inverse_kinematics_moves_the_free_joints_within_their_limits():
    robot, full = pair("panda", False)
    finger = robot.link_id("panda_rightfinger")  # moved by the mimic joint
    start = (robot.lower_limits + robot.upper_limits) / 2
    goal = start + np.random.default_rng(4).uniform(-0.05, 0.05, robot.joint_count)
    goal[-1] = 0.02  # the finger's travel is 0 to 0.04 m
    desired = robot.forward_kinematics(goal, finger)
    solution = robot.inverse_kinematics(start, finger, desired, IkOptions(max_iterations=500))
    reached = robot.forward_kinematics(solution, finger)
    assert np.abs(np.asarray(reached.translation) - desired.translation).max() < 1e-6
    assert np.all(robot.lower_limits - 1e-12 <= solution) and np.all(solution <= robot.upper_limits + 1e-12)
    G, b = coupling_map(robot, full)
    full_pose = full.forward_kinematics(G @ solution + b, finger)
    close(full_pose.translation, reached.translation, "the independent model at q_full", 1e-12)


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_the_handle_shows_and_keeps_the_free_coordinates(cls):
    path = str(robots_dir() / FILES["panda"][0])
    robot = cls(path, mimic="couple")
    names = [f"panda_joint{i}" for i in range(1, 8)] + ["panda_finger_joint1"]
    assert list(robot.dof_names) == names and robot.joint_count == 8
    assert robot.mimic_joints == {"panda_finger_joint2": ("panda_finger_joint1", 1.0, 0.0)}
    records = {j.name: j for j in robot.joints}
    assert records["panda_finger_joint2"].dof is None and records["panda_finger_joint1"].dof == 7
    assert len(robot.lower_limits) == len(robot.random_configuration(0)) == 8
    assert list(robot.joint_vector({name: 0.01 for name in names})) == [0.01] * 8
    with pytest.raises(ValueError, match="panda_finger_joint2"):
        robot.dof_index("panda_finger_joint2")
    lead = (BaseState(),) if cls is FloatingRobot else ()
    with pytest.raises(ValueError, match="^expected 8 elements in q, found 9$"):
        robot.mass_matrix(*lead, np.zeros(9))
    with pytest.raises(ValueError, match="^expected 8 elements in q, found 9$"):
        robot.forward_dynamics(*lead, np.zeros(9), np.zeros(9), np.zeros(robot.generalized_count))
    with pytest.raises(ValueError, match=f"^expected {robot.generalized_count} elements in forward dynamics"):
        robot.forward_dynamics(*lead, np.zeros(8), np.zeros(8), np.zeros(robot.generalized_count + 1))
    with pytest.raises(ValueError, match="non-finite"):
        robot.jacobian(*lead, np.r_[np.zeros(7), np.nan], 3)
    restored = pickle.loads(pickle.dumps(robot))
    assert list(restored.dof_names) == names and restored.mimic_joints == robot.mimic_joints
    q = robot.random_configuration(1)
    assert np.array_equal(restored.mass_matrix(*lead, q), robot.mass_matrix(*lead, q))
    assert np.array_equal(robot.fork().gravity(*lead, q), robot.gravity(*lead, q))


@pytest.mark.parametrize("file", ["talos_data/robots/talos_reduced.urdf", "talos_data/robots/talos_left_arm.urdf"])
def test_a_mimic_element_on_a_fixed_joint_couples_nothing(file):
    path = str(robots_dir() / file)
    coupled, independent = Robot(path, mimic="couple"), Robot(path, mimic="independent")
    assert coupled.dof_names == independent.dof_names and coupled.mimic_joints == {}
    q = coupled.random_configuration(0)
    assert np.array_equal(coupled.mass_matrix(q), independent.mass_matrix(q))


def test_a_missing_leader_is_a_model_error_naming_the_joint():
    with pytest.raises(ModelError, match="joint Left_index_q2 mimics joint index_q1, which does not exist"):
        Robot(str(robots_dir() / "alex_description/urdf/alex_psyonic_hands.urdf"), mimic="couple")
