"""How far forward dynamics lands from the exact solution of its own equations of motion.

    python benchmarks/dynamics_precision.py [--states N] [--loads L] [--load-size F]
                                            [--mimic independent|couple] [--files SUBSTRING ...]

Every .urdf file of the example-robot-data collection that velkor loads (Robot with
mimic="independent", FloatingRobot with massless_root="allow" too; a file whose mimic elements
name leaders it does not have, such as alex_psyonic_hands, without those elements, as Pinocchio
reads it) is tried on N random states (q from random_configuration, q̇ uniform in ±1, τ in ±5,
a random base pose and twist for a floating base) with L loads (torque and force in ±F) on
random links. --mimic couple takes the files with mimic joints through the coupled recursion. The reference takes M (mass_matrix) and b (inverse_dynamics at
q̈ = 0 with the same loads, gravity included) from velkor in float64 and solves M x = τ − b
exactly in rationals (fraction-free elimination over the integers). Printed per file: the worst
max_i |q̈_i − x_i| / ‖x‖∞ over the states, and the worst |q̈_i − x_i| / |x_i| of a single DOF.
"""

import argparse
import math
import re
import sysconfig
from fractions import Fraction
from pathlib import Path

import numpy as np

from velkor import BaseState, FloatingRobot, Load, ModelError, Pose, Robot, Twist

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
OPTIONS = {Robot: {"mimic": "independent"}, FloatingRobot: {"mimic": "independent", "massless_root": "allow"}}


def exact_solve(M, rhs):
    """x with M x = rhs exactly, M a float matrix and rhs Fractions with power-of-two denominators."""
    n = len(rhs)
    entries = [Fraction(float(v)) for v in np.ravel(M)] + list(rhs)
    scale = max((e.denominator for e in entries), default=1)  # a power of two: every entry an integer
    A = [[int(Fraction(float(M[i, j])) * scale) for j in range(n)] + [int(rhs[i] * scale)] for i in range(n)]
    previous = 1
    for k in range(n):  # Bareiss: every quotient exact
        pivot_row = next((i for i in range(k, n) if A[i][k] != 0), None)
        if pivot_row is None:
            raise ZeroDivisionError("the mass matrix is exactly singular")
        A[k], A[pivot_row] = A[pivot_row], A[k]
        pivot, row_k = A[k][k], A[k]
        for i in range(k + 1, n):
            row, factor = A[i], A[i][k]
            for j in range(k + 1, n + 1):
                row[j] = (row[j] * pivot - factor * row_k[j]) // previous
            row[k] = 0
        previous = pivot
    x = [Fraction(0)] * n
    for i in reversed(range(n)):
        total = Fraction(A[i][n]) - sum((A[i][j] * x[j] for j in range(i + 1, n)), Fraction(0))
        x[i] = total / A[i][i]
    return x


def exact_reference(robot, lead, q, qd, tau, loads):
    """The exact solution of M x = τ − b for velkor's own float64 M and b."""
    N = robot.generalized_count
    lead = tuple(BaseState(base.frame, base.velocity, Twist()) for base in lead)  # b at zero acceleration
    M = np.asarray(robot.mass_matrix(*lead, q)).reshape(N, N)
    b = robot.inverse_dynamics(*lead, q, qd, np.zeros(robot.joint_count), loads=loads)
    return exact_solve(M, [Fraction(float(t)) - Fraction(float(v)) for t, v in zip(tau, b)])


def errors(qdd, exact):
    """(max_i |q̈_i − x_i| / ‖x‖∞, max_i |q̈_i − x_i| / |x_i|)."""
    diff = [abs(Fraction(float(a)) - x) for a, x in zip(qdd, exact)]
    norm = max((abs(x) for x in exact), default=Fraction(0))
    relative = float(max(diff, default=0) / norm) if norm > 0 else 0.0
    single = max((float(d / abs(x)) for d, x in zip(diff, exact) if x != 0), default=0.0)
    return relative, single


def random_state(robot, floating, seed, load_count, load_size=5.0):
    rng = np.random.default_rng(seed)
    n, N = robot.joint_count, robot.generalized_count
    q = robot.random_configuration(seed)
    qd, tau = rng.uniform(-1, 1, n), rng.uniform(-5, 5, N)
    quat = rng.normal(size=4)
    frame = Pose(rng.uniform(-1, 1, 3), quat / np.linalg.norm(quat))
    if floating:
        lead = (BaseState(frame, Twist(*rng.uniform(-1, 1, (2, 3))), Twist()),)
    else:
        lead = ()
        robot.set_base_frame(frame)
    loads = [Load(int(link), torque=rng.uniform(-load_size, load_size, 3), force=rng.uniform(-load_size, load_size, 3))
             for link in rng.integers(0, robot.link_count, load_count)]
    return lead, q, qd, tau, loads


def worst(robot, floating, states, load_count, load_size):
    result = (0.0, 0.0)
    for seed in range(states):
        lead, q, qd, tau, loads = random_state(robot, floating, seed, load_count, load_size)
        qdd = robot.forward_dynamics(*lead, q, qd, tau, loads=loads)
        exact = exact_reference(robot, lead, q, qd, tau, loads)
        result = tuple(map(max, result, errors(qdd, exact)))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--states", type=int, default=5)
    parser.add_argument("--loads", type=int, default=3)
    parser.add_argument("--load-size", type=float, default=5.0, help="torques and forces uniform in ±this")
    parser.add_argument("--files", nargs="*", default=[], metavar="SUBSTRING")
    parser.add_argument("--mimic", choices=["independent", "couple"], default="independent",
                        help="couple: mimic joints follow their leaders (the coupled recursion)")
    args = parser.parse_args()
    print(f"{'file':<58} {'base':<8} {'N':>3} | {'‖·‖∞ rel':>9} {'one DOF':>9}")
    overall = {Robot: 0.0, FloatingRobot: 0.0}
    for path in sorted(ROBOTS.rglob("*.urdf")):
        name = str(path.relative_to(ROBOTS))
        if args.files and not any(s in name for s in args.files):
            continue
        for cls in (Robot, FloatingRobot):
            label = name
            try:
                robot = cls(str(path), **{**OPTIONS[cls], "mimic": args.mimic})
                if args.mimic == "couple" and not robot.mimic_joints:
                    continue  # the same recursion as with "independent"
            except ModelError as error:
                if "which does not exist" not in str(error) or args.mimic == "couple":
                    continue  # refused files are what coverage.py reports
                # mimic elements naming leaders the file does not have: as Pinocchio reads it
                xml = re.sub(r"<mimic[^>]*/>", "", path.read_text())
                robot = cls.from_urdf_string(xml, **OPTIONS[cls])
                label = name + " (no mimic)"
            if robot.joint_count == 0:
                continue
            try:
                relative, single = worst(robot, cls is FloatingRobot, args.states, args.loads, args.load_size)
            except Exception as error:  # e.g. a singular articulated inertia (massless links)
                print(f"{label:<58} {'floating' if cls is FloatingRobot else 'fixed':<8} "
                      f"{robot.generalized_count:>3} | {type(error).__name__}: {error}")
                continue
            overall[cls] = max(overall[cls], relative)
            print(f"{label:<58} {'floating' if cls is FloatingRobot else 'fixed':<8} "
                  f"{robot.generalized_count:>3} | {relative:9.1e} {single:9.1e}")
    print(f"worst: fixed {overall[Robot]:.1e}, floating {overall[FloatingRobot]:.1e}"
          f" (log10 {math.log10(max(overall.values()) or 1e-300):.1f})")


if __name__ == "__main__":
    main()
