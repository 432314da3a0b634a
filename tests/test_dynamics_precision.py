"""Forward dynamics against the exact solution of velkor's own equations of motion.

M (mass_matrix) and b (inverse_dynamics at zero acceleration, with the same loads and
gravity) are taken in float64; M x = τ − b is then solved exactly in rationals, so the
only error measured is that of forward dynamics itself. Loads sit on random links, light
and far from the root among them, where moments about the root cancel."""

import re
import sysconfig
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Load, Pose, Robot, Twist

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
TOLERANCE = 1e-10


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


CASES = {
    # three revolutes per spherical joint through massless links: near gimbal lock (seed 3)
    # the neck's mass matrix has a condition number of 1e7
    "human": ("human_description/robots/human.urdf", False, {}, [3, 5]),
    "human-floating": ("human_description/robots/human.urdf", True, {}, [3]),
    "alex_psyonic_hands": ("alex_description/urdf/alex_psyonic_hands.urdf", False, {"strip_mimic": True}, [0, 1]),
    "tiago_pro-floating": ("tiago_pro_description/robots/tiago_pro.urdf", True, {"mimic": "independent"}, [0, 1]),
    # the coupled recursion: mimic fingers follow their leaders
    "tiago_pro-coupled": ("tiago_pro_description/robots/tiago_pro.urdf", False, {"mimic": "couple"}, [0, 1]),
}


@pytest.mark.parametrize("name", CASES)
def test_forward_dynamics_solves_its_own_equations_of_motion(name):
    file, floating, options, seeds = CASES[name]
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
        assert float(error / size) < TOLERANCE, f"{name} seed {seed}: relative error {float(error / size):.1e}"
