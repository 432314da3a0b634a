"""The viewer pages the Viewer page embeds, written when the HTML documentation is built
(conf.py): Solo12 standing on flat ground, a rollout of Talos thrown into the air, and Talos
reaching with its feet held (whole-body inverse kinematics). Each
scene checks its physics before it is written, and the build fails when a check does not hold.

    python docs/scenes.py OUTDIR     # writes OUTDIR/solo12.html, talos.html and talos_reach.html
"""

import sys
import sysconfig
from pathlib import Path

import numpy as np

import velkor
from velkor.viewer import Viewer

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
G = 9.80665


def solo12_standing(path: Path) -> None:
    """Solo12 with bent legs, its base raised until the feet touch z = 0."""
    solo = velkor.FloatingRobot(str(ROBOTS / "solo_description/robots/solo12.urdf"))
    legs = ("FL", "FR", "HL", "HR")
    q = solo.joint_vector({f"{leg}_{joint}": value for leg in legs
                           for joint, value in {"HAA": 0.0, "HFE": 0.8, "KFE": -1.6}.items()})
    feet = [solo.link_id(f"{leg}_FOOT") for leg in legs]
    at_zero = velkor.BaseState(velkor.Pose([0, 0, 0]))
    height = -np.mean([solo.forward_kinematics(at_zero, q, foot).translation[2] for foot in feet])
    base = velkor.BaseState(velkor.Pose([0, 0, height]))
    soles = [solo.forward_kinematics(base, q, foot).translation for foot in feet]
    assert max(abs(p[2]) for p in soles) < 1e-9, "the four feet stand on z = 0"
    com = solo.center_of_mass(base, q)
    xs, ys = [p[0] for p in soles], [p[1] for p in soles]
    assert min(xs) < com[0] < max(xs) and min(ys) < com[1] < max(ys), "the centre of mass is over the feet"
    with Viewer(solo, sliders=False) as viewer:
        viewer.display(base, q)
        viewer.show_center_of_mass()
        viewer.export_html(path)


def talos_rollout(path: Path, steps: int = 400, dt: float = 2e-3) -> None:
    """Talos (mimic joints coupled) thrown upwards and forwards with no joint torques: a rollout.
    Uniform gravity exerts no internal forces, so the robot flies as one rigid body along a
    parabola; the check is the semi-implicit Euler scheme's own closed form of it,
    p_T = p_0 + T·dt·v_0 + g·dt²·T(T+1)/2, and joints that do not move."""
    talos = velkor.FloatingRobot(str(ROBOTS / "talos_data/robots/talos_full_v2.urdf"), mimic="couple",
                                 massless_root="allow")
    q = talos.neutral_configuration()
    N, n = talos.generalized_count, talos.joint_count
    start = np.r_[0.0, 0.0, 1.1, 0.0, 0.0, 0.0, 1.0, q]
    v0 = np.r_[0.0, 0.0, 0.0, 1.0, 0.0, 3.0, np.zeros(n)]  # ω = 0; 1 m/s forwards, 3 m/s up
    configurations, velocities = talos.rollout(start, v0, np.zeros((steps, N)), dt)
    T = np.arange(steps + 1)
    gravity = np.array([0.0, 0.0, -G])
    expected = start[:3] + np.outer(T * dt, v0[3:6]) + np.outer(dt * dt * T * (T + 1) / 2, gravity)
    assert np.abs(configurations[:, :3] - expected).max() < 1e-9, "the base flies along the parabola"
    assert np.abs(configurations[:, 7:] - q).max() < 1e-9 and np.abs(velocities[:, 6:]).max() < 1e-9, \
        "no joint moves"
    with Viewer(talos, sliders=False) as viewer:
        viewer.display(start)
        viewer.export_html(path, configurations[::8], dt=8 * dt)


def talos_reach(path: Path, steps: int = 12) -> tuple[np.ndarray, list]:
    """Talos reaching forwards with its left hand, both soles held where they stand (frame
    contacts with their start poses as targets) and its centre of mass kept over the middle of
    the soles: a whole-body inverse-kinematics solve a frame, the hand's target moved a twelfth
    of the way each time, from the previous frame's solution. Checks in every frame: the soles
    do not move (1e-9 m), every joint stays within its limits, the hand and the centre of mass
    are within 1e-6 m of their targets. Returns the configurations and the results."""
    talos = velkor.FloatingRobot(str(ROBOTS / "talos_data/robots/talos_full_v2.urdf"), mimic="independent")
    lower, upper = np.asarray(talos.lower_limits), np.asarray(talos.upper_limits)
    q = np.clip(talos.joint_vector({"leg_left_3_joint": -0.4, "leg_left_4_joint": 0.8, "leg_left_5_joint": -0.4,
                                    "leg_right_3_joint": -0.4, "leg_right_4_joint": 0.8,
                                    "leg_right_5_joint": -0.4}, default=0.0), lower, upper)
    at_zero = velkor.BaseState(velkor.Pose([0, 0, 0]))
    feet = [talos.link_id("left_sole_link"), talos.link_id("right_sole_link")]
    height = -np.mean([talos.forward_kinematics(at_zero, q, foot).translation[2] for foot in feet])
    base = velkor.BaseState(velkor.Pose([0, 0, height]))
    soles = [talos.forward_kinematics(base, q, foot) for foot in feet]
    held = talos.constraint_set([velkor.Contact(foot, "frame", target=sole) for foot, sole in zip(feet, soles)])
    middle = np.mean([sole.translation for sole in soles], axis=0)
    com = talos.center_of_mass(base, q)
    hand = talos.link_id("gripper_left_base_link")
    start = np.asarray(talos.forward_kinematics(base, q, hand).translation)
    configurations, results = [np.r_[base.frame.translation, base.frame.rotation_xyzw, q]], []
    for step in range(1, steps + 1):
        goal = start + step / steps * np.array([0.25, 0.05, 0.15])
        problem = talos.ik_problem([velkor.ConstraintTask(held),
                                    velkor.PoseTask(hand, velkor.Pose(goal), orientation_weight=0.0),
                                    velkor.CenterOfMassTask((middle[0], middle[1], com[2]), weight=0.5)])
        base, q, result = problem.solve(base, q, tolerance=1e-9)
        configurations.append(np.r_[base.frame.translation, base.frame.rotation_xyzw, q])
        results.append(result)
        assert result.converged, "every task met"
        assert np.all(q >= lower) and np.all(q <= upper), "every joint within its limits"
        for foot, sole in zip(feet, soles):
            now = talos.forward_kinematics(base, q, foot)
            assert np.abs(np.subtract(now.translation, sole.translation)).max() < 1e-9, "the soles stay"
        hand_miss = np.linalg.norm(np.subtract(talos.forward_kinematics(base, q, hand).translation, goal))
        com_miss = np.linalg.norm(talos.center_of_mass(base, q)[:2] - middle[:2])
        assert hand_miss < 1e-6 and com_miss < 1e-6, "the hand reaches and the centre of mass stays over the soles"
    with Viewer(talos, sliders=False) as viewer:
        viewer.display(configurations[0])
        viewer.show_center_of_mass()
        viewer.export_html(path, configurations, dt=0.25)
    return np.array(configurations), results


def write(outdir: Path) -> None:
    outdir.mkdir(parents=True, exist_ok=True)
    solo12_standing(outdir / "solo12.html")
    talos_rollout(outdir / "talos.html")
    talos_reach(outdir / "talos_reach.html")


if __name__ == "__main__":
    write(Path(sys.argv[1]))
