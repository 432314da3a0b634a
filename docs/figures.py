"""Figures of the documentation, drawn at build time from the sample robots and the benchmark table.

Sphinx runs each function through matplotlib's ``plot`` directive (working directory: this
folder); every function leaves exactly one open figure behind, which the directive saves.
"""

import csv
import sysconfig
from collections import defaultdict
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import velkor  # noqa: E402
from velkor.samples import sample_path  # noqa: E402

BENCHMARKS = Path("data") / "benchmarks.csv"

# The arm configuration drawn on the conventions page (radians, DOF order joint_1 ... joint_7).
ARM_CONFIGURATION = np.array([0.4, 0.6, -0.3, -1.3, 0.5, 0.9, 0.2])
ARM_TRIADS = ("base", "upper_arm", "forearm", "tool")


def _tree_layout(robot):
    """(x, y) of every link id: leaves spread evenly, parents centred over their children, one row
    per depth. A row below a fan-out (a link with several children) sits lower than the others,
    which leaves room for the labels of the edges that spread from one point."""
    children = defaultdict(list)
    for joint in robot.joints:
        children[joint.parent].append(joint)
    x, depth, next_leaf = {}, {0: 0}, [0.0]

    def place(link):
        for joint in children[link]:
            depth[joint.child] = depth[link] + 1
            place(joint.child)
        if children[link]:
            x[link] = np.mean([x[j.child] for j in children[link]])
        else:
            x[link], next_leaf[0] = next_leaf[0], next_leaf[0] + 1.0

    place(0)
    fans = {depth[link] for link, joints in children.items() if len(joints) > 1}
    rows = np.cumsum([0.0] + [1.5 if d in fans else 1.0 for d in range(max(depth.values()))])
    return x, {link: -rows[d] for link, d in depth.items()}


def _draw_tree(robot, width):
    x, y = _tree_layout(robot)
    children = defaultdict(list)
    for joint in robot.joints:
        children[joint.parent].append(joint)
    height = -min(y.values()) + 1
    fig, ax = plt.subplots(figsize=(width, 0.9 * height + 0.4))
    for joint in robot.joints:
        (x0, y0), (x1, y1) = (x[joint.parent], y[joint.parent]), (x[joint.child], y[joint.child])
        ax.plot([x0, x1], [y0, y1], color="0.55", lw=1.2, zorder=1, ls="--" if joint.type == "fixed" else "-")
        # Sibling edges fan out from one point, so their labels sit well below the parent, where
        # the edges are apart, and neighbours (left to right) alternate between two heights.
        siblings = sorted(children[joint.parent], key=lambda j: x[j.child])
        t = 0.5 if len(siblings) == 1 else (0.47, 0.7)[siblings.index(joint) % 2]
        ax.text(x0 + t * (x1 - x0), y0 + t * (y1 - y0), f"j{robot.joints.index(joint)} {joint.name}",
                fontsize=6.5, color="tab:blue", ha="center", va="center", zorder=3,
                bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.9))
    for link, name in enumerate(robot.link_names):
        ax.text(x[link], y[link], f"{link}\n{name}", fontsize=7, ha="center", va="center", zorder=4,
                bbox=dict(boxstyle="round,pad=0.3", fc="#f3e9c6", ec="0.3", lw=0.8))
    ax.set_xlim(min(x.values()) - 0.7, max(x.values()) + 0.7)
    ax.set_ylim(-height + 0.5, 0.5)
    ax.set_axis_off()
    ax.set_title(f"{robot.name}\nlink id and name; jk = joint k (dashed: fixed)", fontsize=8)
    fig.tight_layout()


def link_tree_arm():
    with velkor.Robot(sample_path("arm")) as arm:
        _draw_tree(arm, width=3.2)


def link_tree_quadruped():
    with velkor.FloatingRobot(sample_path("quadruped")) as quadruped:
        _draw_tree(quadruped, width=9.0)


def arm_frames():
    with velkor.Robot(sample_path("arm")) as arm:
        poses = arm.forward_kinematics_all(ARM_CONFIGURATION).reshape(-1, 7)
        names = arm.link_names
        parents = [(j.parent, j.child) for j in arm.joints]
        triads = {name: arm.forward_kinematics(ARM_CONFIGURATION, arm.link_id(name)) for name in ARM_TRIADS}
    fig = plt.figure(figsize=(5.2, 5.2))
    ax = fig.add_subplot(projection="3d")
    for parent, child in parents:
        segment = poses[[parent, child], :3]
        ax.plot(*segment.T, color="0.4", lw=2)
    ax.scatter(*poses[:, :3].T, color="0.2", s=8)
    length = 0.12
    for name, pose in triads.items():
        origin = np.array(pose.translation)
        for axis, colour in zip(pose.rotation_matrix.T, ("red", "green", "blue")):
            ax.quiver(*origin, *(length * axis), color=colour, lw=1.6, arrow_length_ratio=0.15)
        ax.text(*(origin + [0.02, 0.02, 0.02]), f"{names.index(name)} {name}", fontsize=7)
    points = poses[:, :3]
    centre, half = (points.max(0) + points.min(0)) / 2, (points.max(0) - points.min(0)).max() / 2 + 0.1
    ax.set(xlim=(centre[0] - half, centre[0] + half), ylim=(centre[1] - half, centre[1] + half),
           zlim=(centre[2] - half, centre[2] + half), xlabel="x (m)", ylabel="y (m)", zlabel="z (m)")
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=22, azim=-55)
    ax.set_title("sample arm at q = " + np.array2string(ARM_CONFIGURATION, precision=1, separator=", ")
                 + "\nlink axes x red, y green, z blue, in world coordinates", fontsize=8)
    fig.tight_layout()


def _benchmark_rows(source):
    with open(BENCHMARKS, newline="") as file:
        lines = [line for line in file if not line.startswith("#")]
    return [row for row in csv.DictReader(lines) if row["source"] == source]


def call_times():
    rows = _benchmark_rows("call_times")
    names = [row["method"] for row in rows][::-1]
    values = [float(row["velkor_ns"]) for row in rows][::-1]
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    bars = ax.barh(names, values, color="tab:blue")
    ax.bar_label(bars, fmt="%.0f", padding=3, fontsize=7)
    ax.set_xlabel("ns per call (median)")
    ax.set_title(f"{rows[0]['robot']}: 7 DOF, 9 links", fontsize=9)
    ax.tick_params(axis="y", labelsize=8)
    ax.set_xlim(0, max(values) * 1.15)
    fig.tight_layout()


def peer_comparison():
    rows = _benchmark_rows("compare")
    names = [row["method"] for row in rows][::-1]
    ours = np.array([float(row["velkor_ns"]) for row in rows][::-1])
    peer = np.array([float(row["peer_ns"]) for row in rows][::-1])
    y, h = np.arange(len(names)), 0.38
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    ax.barh(y + h / 2, ours, h, label="velkor", color="tab:blue")
    ax.barh(y - h / 2, peer, h, label="Pinocchio", color="tab:orange")
    for i, (a, b) in enumerate(zip(ours, peer)):
        ax.text(max(a, b) * 1.15, i, f"{a / b:.2f}x", va="center", fontsize=7)
    ax.set_yticks(y, names, fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(min(ours.min(), peer.min()) / 1.5, max(ours.max(), peer.max()) * 4)
    ax.set_xlabel("ns per call (median, log scale); right: velkor / Pinocchio")
    ax.set_title(f"{rows[0]['robot']}, velkor beside Pinocchio", fontsize=9)
    ax.legend(fontsize=7, loc="upper right")
    fig.tight_layout()


SOLO12 = (Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
          / "solo_description/robots/solo12.urdf")
LEGS = ("FL", "FR", "HL", "HR")


def _stance_torques(solo, base, q, constraints):
    """Generalized forces that hold the robot still on its feet: no base wrench (the base is not
    actuated), joint torques from the minimum-norm foot forces f that carry the base rows of
    gravity (G_base = J_baseᵀ f), so that G = τ + Jᵀ f with q̈ = 0."""
    J = velkor.as_matrix(solo.constraint_jacobian(base, q, constraints), constraints.count)
    G = solo.gravity(base, q)
    f = np.linalg.lstsq(J[:, :6].T, G[:6], rcond=None)[0]
    return np.r_[np.zeros(6), G[6:] - J[:, 6:].T @ f]


def contact_forces():
    """Solo12's four vertical foot forces while its base circles 4 cm around the stance with the
    feet fixed (quasi-static: q̇ = 0 at every pose). Each sample is checked against statics before
    it is drawn: q̈ = 0, the vertical forces sum to m·g and their centre of pressure lies under the
    centre of mass."""
    radius, height, samples = 0.04, 0.25, 73
    with velkor.FloatingRobot(str(SOLO12)) as solo:
        q = solo.joint_vector({f"{leg}_{joint}": value for leg in LEGS
                               for joint, value in {"HAA": 0.0, "HFE": 0.8, "KFE": -1.6}.items()})
        feet = [solo.link_id(f"{leg}_FOOT") for leg in LEGS]
        stance = solo.constraint_set([velkor.Contact(foot) for foot in feet])
        home = velkor.BaseState(velkor.Pose([0.0, 0.0, height]))
        footprint = np.array([solo.forward_kinematics(home, q, foot).translation for foot in feet])
        mass, weight = solo.total_mass, -solo.total_mass * solo.gravity_vector[2]
        phase = np.linspace(0.0, 360.0, samples)
        vertical, com_path, cop_path = np.empty((samples, 4)), np.empty((samples, 2)), np.empty((samples, 2))
        for k, angle in enumerate(np.radians(phase)):
            base = velkor.BaseState(velkor.Pose([radius * np.cos(angle), radius * np.sin(angle), height]))
            # The joint angles that keep the feet on their footprint: Newton steps on the joint
            # columns of the constraint Jacobian (the rows are the feet's world velocities).
            for _ in range(20):
                error = (np.array([solo.forward_kinematics(base, q, f).translation for f in feet]) - footprint).ravel()
                if np.abs(error).max() < 1e-12:
                    break
                J = velkor.as_matrix(solo.constraint_jacobian(base, q, stance), stance.count)
                q = q - np.linalg.solve(J[:, 6:], error)
            else:
                raise AssertionError(f"the feet did not reach their footprint at {angle:.2f} rad")
            tau = _stance_torques(solo, base, q, stance)
            qdd, forces = solo.constrained_forward_dynamics(base, q, np.zeros(12), tau, stance)
            fz = forces.reshape(4, 3)[:, 2]  # what the ground exerts on each foot, world z (up)
            com = solo.center_of_mass(base, q)[:2]
            cop = fz @ footprint[:, :2] / fz.sum()  # the feet share one height: horizontal forces add no moment
            assert np.abs(qdd).max() < 1e-9, f"not at rest: |q̈| = {np.abs(qdd).max():.2e}"
            assert abs(fz.sum() - weight) < 1e-9 * weight, (fz.sum(), weight)
            assert np.abs(cop - com).max() < 1e-9, (cop, com)
            assert np.all(fz > 0.0), fz  # every foot pushes on the ground, none pulls
            vertical[k], com_path[k], cop_path[k] = fz, com, cop

    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 3.6), gridspec_kw={"width_ratios": [1.6, 1.0]})
    colours = ("tab:blue", "tab:orange", "tab:green", "tab:red")
    for leg, colour, column in zip(LEGS, colours, vertical.T):
        left.plot(phase, column, color=colour, lw=1.6, label=f"{leg} foot")
    left.axhline(weight / 4, color="0.5", ls="--", lw=1.0, label="m·g / 4")
    left.set(xlim=(0, 360), xticks=np.arange(0, 361, 90), ylim=(0, 1.3 * vertical.max()),
             xlabel="angle of the base's offset (deg)", ylabel="vertical contact force (N)")
    left.legend(fontsize=7, ncol=5, loc="upper center")
    left.set_title(f"Solo12, {mass:.2f} kg: base offset {100 * radius:.0f} cm on a circle, feet fixed", fontsize=9)
    right.scatter(*footprint[:, :2].T, color=colours, s=40, zorder=3)
    for leg, (x, y) in zip(LEGS, footprint[:, :2]):
        right.annotate(leg, (x, y), xytext=(0, 7), textcoords="offset points", ha="center", fontsize=7)
    right.plot(*com_path.T, color="0.3", lw=1.2, label="centre of mass")
    right.scatter(*cop_path[::4].T, s=10, facecolors="none", edgecolors="tab:purple",
                  label="centre of pressure", zorder=4)
    right.set_aspect("equal")
    right.set(xlim=(-0.26, 0.26), ylim=(-0.3, 0.2), xlabel="x (m)", ylabel="y (m)")
    right.legend(fontsize=7, loc="lower center", ncol=2)
    right.set_title("top view (world axes)", fontsize=9)
    fig.tight_layout()


def stance_rollout():
    """Solo12 on its four feet under constant stance torques, pushed down on its base for 0.1 s: one
    rollout of 1 s at 1 ms, the base height and the vertical foot forces against time.

    The forces of each step come from the batch evaluator's constrained_forward_dynamics on the
    rollout's states, the solve the rollout makes. Checked before drawing: those accelerations
    give the rollout's velocities bit for bit; at rest (before the push) the base stays put, the
    forces are the stance forces and their vertical parts sum to m·g; at every step Newton's law
    for the whole robot holds with the total force from inverse dynamics (m·(c̈ − g) = push + Σ
    foot forces); the feet stay on their footprint (to 10 µm), the ground only ever pushes and the
    horizontal forces stay within a tenth of the vertical ones."""
    dt, steps, kp, kd = 0.001, 1000, 400.0, 40.0
    push_from, push_steps, push = 200, 100, np.array([0.0, 0.0, -0.1])  # N on the base, world axes
    with velkor.FloatingRobot(str(SOLO12)) as solo:
        q = solo.joint_vector({f"{leg}_{joint}": value for leg in LEGS
                               for joint, value in {"HAA": 0.0, "HFE": 0.8, "KFE": -1.6}.items()})
        feet = [solo.link_id(f"{leg}_FOOT") for leg in LEGS]
        home = velkor.BaseState(velkor.Pose([0.0, 0.0, 0.25]))
        footprint = np.array([solo.forward_kinematics(home, q, foot).translation for foot in feet])
        stance = solo.constraint_set([velkor.Contact(foot, target=velkor.Pose(p)) for foot, p in zip(feet, footprint)],
                                     baumgarte=(kp, kd))
        mass, weight = solo.total_mass, -solo.total_mass * solo.gravity_vector[2]

        tau = _stance_torques(solo, home, q, stance)
        forces = np.tile(tau, (steps, 1))
        # Generalized forces rows 3 to 5: a force on the base at the root-link origin, world axes.
        forces[push_from:push_from + push_steps, 3:6] += push
        start = np.r_[home.frame.translation, home.frame.rotation_xyzw, q]
        configurations, velocities = solo.rollout(start, np.zeros(18), forces, dt, constraints=stance)

        # The rollout's solve again, on its states: rows [pose, velocity, zero acceleration] per step.
        bases = np.c_[configurations[:-1, :7], velocities[:-1, :6], np.zeros((steps, 6))]
        batch = solo.batch()
        qdd, contact = batch.constrained_forward_dynamics(bases, configurations[:-1, 7:], velocities[:-1, 6:],
                                                          forces, stance)
        assert np.array_equal(velocities[:-1] + dt * qdd, velocities[1:]), "not the rollout's accelerations"
        contact = contact.reshape(steps, 4, 3)  # what the ground exerts on each foot, world axes (N)
        fz = contact[:, :, 2]

        # At rest: nothing moves, and the forces are the least-squares stance forces.
        rest = slice(0, push_from + 1)
        J = velkor.as_matrix(solo.constraint_jacobian(home, q, stance), stance.count)
        f_stance = np.linalg.lstsq(J[:, :6].T, solo.gravity(home, q)[:6], rcond=None)[0]
        assert np.abs(configurations[rest] - start).max() < 1e-12, np.abs(configurations[rest] - start).max()
        assert np.abs(contact[:push_from].reshape(push_from, 12) - f_stance).max() < 1e-9
        assert np.abs(fz[:push_from].sum(axis=1) - weight).max() < 1e-9 * weight

        # Newton for the whole robot: the base force rows of inverse dynamics (which knows nothing of
        # the contacts) are m·(c̈ − g), the total force the motion needs; it is the push plus the feet's.
        accelerated = np.c_[bases[:, :13], qdd[:, :6]]
        needed = batch.inverse_dynamics(accelerated, configurations[:-1, 7:], velocities[:-1, 6:], qdd[:, 6:])[:, 3:6]
        applied = forces[:, 3:6] + contact.sum(axis=1)
        assert np.abs(needed - applied).max() < 1e-9 * weight, np.abs(needed - applied).max()

        # The feet stay where they stand, the ground pushes (a real floor could not pull), and the
        # horizontal forces stay within a tenth of the vertical ones (what friction of 0.1 holds).
        poses = batch.forward_kinematics_all(np.c_[configurations[:, :7], np.zeros((steps + 1, 12))],
                                             configurations[:, 7:]).reshape(steps + 1, -1, 7)
        drift = np.abs(poses[:, feet, :3] - footprint).max()
        assert drift < 1e-5, drift
        assert fz.min() > 0.0, fz.min()
        assert (np.linalg.norm(contact[:, :, :2], axis=2) / fz).max() < 0.1
        assert np.abs(fz[:, [0, 2]] - fz[:, [1, 3]]).max() < 1e-3  # left and right feet, N

    time = dt * np.arange(steps + 1)
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 3.4))
    for ax in (left, right):
        ax.axvspan(dt * push_from, dt * (push_from + push_steps), color="0.9", lw=0)
        ax.set_xlim(0.0, dt * steps)
        ax.set_xlabel("time (s)")
    left.plot(time, 100.0 * configurations[:, 2], color="0.2", lw=1.6)
    left.set(ylabel="height of the root-link origin (cm)")
    left.set_title(f"Solo12, {mass:.2f} kg; grey: {-push[2]:.1f} N down on the base", fontsize=9)
    # Left and right feet carry the same to within a millinewton (the model is mirrored to 14 µm):
    # the dashed lines lie on the solid ones.
    for leg, colour, style, column in zip(LEGS, ("tab:blue", "tab:orange", "tab:green", "tab:red"),
                                          ("-", (0, (3, 3)), "-", (0, (3, 3))), fz.T):
        right.plot(time[:-1], column, color=colour, lw=1.6, ls=style, label=f"{leg} foot")
    right.plot(time[:-1], fz.sum(axis=1) / 4, color="0.3", lw=1.0, ls=":", label="mean of the four")
    right.axhline(weight / 4, color="0.5", ls="--", lw=1.0, label="m·g / 4")
    right.set(ylabel="vertical contact force (N)", ylim=(0.0, 1.25 * fz.max()))
    right.legend(fontsize=7, ncol=3, loc="lower left")
    right.set_title("what the ground exerts on the feet, world z (up)", fontsize=9)
    fig.tight_layout()
