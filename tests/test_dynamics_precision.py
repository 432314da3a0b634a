"""Forward dynamics against the exact solution of velkor's own equations of motion.

M (mass_matrix) and b (inverse_dynamics at zero acceleration, with the same loads and
gravity) are taken in float64; M x = τ − b is then solved exactly in rationals, so the
only error measured is that of forward dynamics and of M and b themselves. Loads sit on
random links, light and far from the root among them, where moments about the root cancel.
A leaf joint's diagonal entry of M is a constant of the file, which checks M on its own."""

import re
import sysconfig
import xml.etree.ElementTree as ET
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Load, Pose, Robot, Twist

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"


def exact_solve(M, rhs):
    """x with M x = rhs exactly: M's float entries and rhs (Fractions with power-of-two
    denominators) scaled to integers, fraction-free elimination, then back substitution."""
    n = len(rhs)
    scale = max([Fraction(float(v)).denominator for v in np.ravel(M)] + [v.denominator for v in rhs])
    A = [[int(Fraction(float(M[i, j])) * scale) for j in range(n)] + [int(rhs[i] * scale)] for i in range(n)]
    previous = 1
    for k in range(n):
        pivot_row = next(i for i in range(k, n) if A[i][k] != 0)
        A[k], A[pivot_row] = A[pivot_row], A[k]
        for i in range(k + 1, n):
            factor = A[i][k]
            A[i] = [0] * (k + 1) + [(A[i][j] * A[k][k] - factor * A[k][j]) // previous for j in range(k + 1, n + 1)]
        previous = A[k][k]
    x = [Fraction(0)] * n
    for i in reversed(range(n)):
        x[i] = Fraction(A[i][n] - sum(A[i][j] * x[j] for j in range(i + 1, n))) / A[i][i]
    return x


def test_exact_solve_solves_exactly():
    M = np.array([[4.0, 1.0, 0.5], [1.0, 3.0, 0.25], [0.5, 0.25, 1e-9]])
    rhs = [Fraction(1), Fraction(-2), Fraction(3, 8)]
    x = exact_solve(M, rhs)
    assert all(sum(Fraction(float(M[i, j])) * x[j] for j in range(3)) == rhs[i] for i in range(3))


def load_robot(file, floating, options):
    cls = FloatingRobot if floating else Robot
    options = {**options, **({"massless_root": "allow"} if floating else {})}
    if options.pop("strip_mimic", False):  # mimic elements naming leaders the file does not have
        xml = re.sub(r"<mimic[^>]*/>", "", (ROBOTS / file).read_text())
        return cls.from_urdf_string(xml, **options)
    return cls(str(ROBOTS / file), **options)


def state(robot, floating, seed):
    rng = np.random.default_rng(seed)
    q = robot.random_configuration(seed)
    qd, tau = rng.uniform(-1, 1, robot.joint_count), rng.uniform(-5, 5, robot.generalized_count)
    quat = rng.normal(size=4)
    frame = Pose(rng.uniform(-1, 1, 3), quat / np.linalg.norm(quat))
    if floating:
        lead = (BaseState(frame, Twist(*rng.uniform(-1, 1, (2, 3))), Twist()),)
    else:
        lead = ()
        robot.set_base_frame(frame)
    loads = [Load(int(link), torque=rng.uniform(-5, 5, 3), force=rng.uniform(-5, 5, 3))
             for link in rng.integers(0, robot.link_count, 3)]
    return lead, q, qd, tau, loads


CASES = {  # file, floating, options, seeds, tolerance
    # three revolutes per spherical joint through massless links: near gimbal lock (seed 3)
    # the neck's mass matrix has a condition number of 1e7
    "human": ("human_description/robots/human.urdf", False, {}, [3, 5], 1e-11),
    "human-floating": ("human_description/robots/human.urdf", True, {}, [3], 1e-11),
    "alex_psyonic_hands": ("alex_description/urdf/alex_psyonic_hands.urdf", False, {"strip_mimic": True}, [0, 1],
                           1e-13),
    # light fingers a metre from the root: cond(M) 3e7
    "tiago_pro-floating": ("tiago_pro_description/robots/tiago_pro.urdf", True, {"mimic": "independent"}, [0, 1],
                           1e-13),
    # the coupled recursion: mimic fingers follow their leaders
    "tiago_pro-coupled": ("tiago_pro_description/robots/tiago_pro.urdf", False, {"mimic": "couple"}, [0, 1], 1e-13),
}


@pytest.mark.parametrize("name", CASES)
def test_forward_dynamics_solves_its_own_equations_of_motion(name):
    file, floating, options, seeds, tolerance = CASES[name]
    robot = load_robot(file, floating, dict(options))
    N = robot.generalized_count
    for seed in seeds:
        lead, q, qd, tau, loads = state(robot, floating, seed)
        qdd = robot.forward_dynamics(*lead, q, qd, tau, loads=loads)
        M = np.asarray(robot.mass_matrix(*lead, q)).reshape(N, N)
        b = robot.inverse_dynamics(*lead, q, qd, np.zeros(robot.joint_count), loads=loads)
        exact = exact_solve(M, [Fraction(float(t)) - Fraction(float(v)) for t, v in zip(tau, b)])
        error = max(abs(Fraction(float(a)) - x) for a, x in zip(qdd, exact))
        size = max(abs(x) for x in exact)
        assert float(error / size) < tolerance, f"{name} seed {seed}: relative error {float(error / size):.1e}"


def rpy_matrix(roll, pitch, yaw):
    cr, sr, cp, sp, cy, sy = map(float, (np.cos(roll), np.sin(roll), np.cos(pitch), np.sin(pitch), np.cos(yaw),
                                         np.sin(yaw)))
    return np.array([[cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
                     [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr], [-sp, cp * sr, cp * cr]])


def leaf_inertias(file):
    """For each revolute joint whose child link carries nothing further, that link's moment of
    inertia about the joint axis, read off the file: aᵀ R I_c Rᵀ a + m (|c|² − (a·c)²) in the
    link's frame, whatever the configuration."""
    root = ET.parse(ROBOTS / file).getroot()
    links = {link.get("name"): link for link in root.findall("link")}
    parents = {joint.find("parent").get("link") for joint in root.findall("joint")}
    numbers = lambda element, key, default: np.array(  # noqa: E731
        [float(v) for v in (element.get(key, default) if element is not None else default).split()])
    moments = {}
    for joint in root.findall("joint"):
        child = joint.find("child").get("link")
        inertial = links[child].find("inertial")
        if joint.get("type") not in ("revolute", "continuous") or child in parents or inertial is None:
            continue
        origin, t = inertial.find("origin"), inertial.find("inertia").attrib
        c, R = numbers(origin, "xyz", "0 0 0"), rpy_matrix(*numbers(origin, "rpy", "0 0 0"))
        I = np.array([[t["ixx"], t["ixy"], t["ixz"]], [t["ixy"], t["iyy"], t["iyz"]], [t["ixz"], t["iyz"], t["izz"]]],
                     dtype=float)
        a = numbers(joint.find("axis"), "xyz", "1 0 0")
        a /= np.linalg.norm(a)
        moments[joint.get("name")] = a @ R @ I @ R.T @ a + float(inertial.find("mass").get("value")) * (c @ c - (a @ c) ** 2)
    return moments


@pytest.mark.parametrize("floating", [False, True])
@pytest.mark.parametrize("file", ["tiago_pro_description/robots/tiago_pro.urdf", "talos_data/robots/talos_full_v2.urdf"])
def test_a_light_leaf_keeps_its_own_inertia_in_the_mass_matrix(file, floating):
    """Fingertips of 30 g a metre from the root: their diagonal entry of M is their moment of
    inertia about their own axis (1e-6 kg·m²), to rounding, though about the root origin their
    inertia is 1e4 times as large."""
    robot = load_robot(file, floating, {"mimic": "independent"})
    N, o = robot.generalized_count, robot.generalized_count - robot.joint_count
    moments = leaf_inertias(file)
    assert len(moments) >= 10
    for seed in range(3):
        lead, q = state(robot, floating, seed)[:2]
        M = np.asarray(robot.mass_matrix(*lead, q)).reshape(N, N)
        for name, moment in moments.items():
            k = o + robot.dof_index(name)
            assert abs(M[k, k] - moment) <= 1e-13 * moment, f"{name} seed {seed}: {M[k, k]!r} against {moment!r}"
