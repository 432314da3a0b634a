"""Memory stays flat over a million mixed calls, with out= and with new result
arrays, on both handle kinds, including calls that fail.

    python sanitizers/leak_check.py [--calls N]

Prints the resident set size and the C heap in use after a warm-up and at the
end; a leak of even one small block per call would show as megabytes.
"""

import argparse
import ctypes
import itertools

import numpy as np

import velkor
from velkor.samples import sample_path


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def heap_in_use() -> int:
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = _Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def calls():
    arm = velkor.Robot(sample_path("arm"))
    legs = velkor.FloatingRobot(sample_path("quadruped"))
    n, m = arm.joint_count, legs.joint_count
    q, qd = np.linspace(-0.5, 0.5, n), np.linspace(0.3, -0.3, n)
    ql, qdl = np.linspace(-0.4, 0.4, m), np.linspace(0.2, -0.2, m)
    base = velkor.BaseState(velkor.Pose([0, 0, 0.4], [0, 0, 0.1, 1]), velkor.Twist([0.1, 0, 0], [0, 0.2, 0]))
    tool = arm.link_id("tool")
    out_n, out_j, out_m, out_l = np.empty(n), np.empty(6 * n), np.empty(n * n), np.empty(7 * arm.link_count)
    out_g = np.empty(m + 6)
    buffer = arm.load_buffer()
    buffer.set(tool, force=[0, 0, -5])
    desired = arm.forward_kinematics(q, tool)
    loads = [velkor.Load(tool, torque=[0.1, 0, 0])]

    feet = [velkor.Contact(legs.link_id(name)) for name in ("front_left_foot", "hind_right_foot")]
    stance = legs.constraint_set(feet, baumgarte=(1.0, 0.5))
    held = arm.constraint_set([velkor.Contact(tool, kind="frame", target=desired)])
    twice = arm.constraint_set([velkor.Contact(tool, kind="frame")] * 2)
    out_c = (np.empty(n), np.empty(6))
    c = np.r_[0.0, 0.0, 0.4, 0.0, 0.0, 0.1, 1.0, ql]
    v = np.r_[0.1, 0.0, 0.0, 0.0, 0.2, 0.0, qdl]
    out_r = (np.empty((4, m + 7)), np.empty((4, m + 6)))

    def failing():
        try:
            arm.inverse_dynamics(q, qd[:-1], q)
        except ValueError:
            pass
        try:
            arm.constrained_forward_dynamics(q, qd, qd, twice)
        except velkor.SolverError:
            pass
        try:
            arm.rollout(q, qd, np.full((2, n), np.nan), 1e-3)
        except ValueError:
            pass

    return [
        lambda: arm.forward_kinematics_all(q, out_l),
        lambda: arm.forward_kinematics_all(q),
        lambda: arm.forward_kinematics(q, tool),
        lambda: arm.jacobian(q, tool, out_j),
        lambda: arm.jacobian_derivative(q, qd, tool),
        lambda: arm.forward_velocity_kinematics(q, qd, tool),
        lambda: arm.forward_acceleration_kinematics(q, qd, qd, tool),
        lambda: arm.inverse_kinematics(q + 0.01, tool, desired, None, out_n),
        lambda: arm.mass_matrix(q, out_m),
        lambda: arm.gravity(q, buffer, out_n),
        lambda: arm.inverse_dynamics(q, qd, qd, loads),
        lambda: arm.velocity_product_forces(list(q), list(qd)),
        lambda: arm.forward_dynamics(q, qd, qd, None, out_n),
        lambda: legs.inverse_dynamics(base, ql, qdl, qdl, None, out_g),
        lambda: legs.forward_dynamics(base, ql, qdl, np.zeros(m + 6)),
        lambda: legs.mass_matrix(base, ql),
        lambda: legs.constraint_set(feet),
        lambda: arm.constrained_forward_dynamics(q, qd, qd, held, loads, out=out_c),
        lambda: legs.constrained_forward_dynamics(base, ql, qdl, np.zeros(m + 6), stance),
        lambda: legs.impulse_dynamics(base, ql, qdl, stance, restitution=0.5),
        lambda: arm.constraint_jacobian(q, held),
        lambda: legs.constrained_dynamics_derivatives(base, ql, qdl, np.zeros(m + 6), stance),
        lambda: arm.batch(2).constrained_forward_dynamics(np.array([q] * 3), np.array([qd] * 3),
                                                           np.array([qd] * 3), held),
        lambda: legs.integrate(c, v, 0.01),
        lambda: legs.difference_derivatives(c, legs.integrate(c, v)),
        lambda: legs.rollout(c, v, np.zeros((3, m + 6)), 1e-3, constraints=stance, out=out_r),
        lambda: arm.batch(2).rollout(np.array([q] * 2), np.array([qd] * 2), np.zeros((2, 3, n)), 1e-3),
        failing,
    ]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1_000_000)
    args = parser.parse_args()
    cycle = itertools.cycle(calls())
    for _ in range(20_000):
        next(cycle)()
    rss, heap = rss_kib(), heap_in_use()
    for _ in range(args.calls):
        next(cycle)()
    print(f"{args.calls} mixed calls (28 kinds, with out= and with new arrays, one failing kind)")
    print(f"  RSS      {rss} KiB after warm-up, {rss_kib()} KiB at the end ({rss_kib() - rss:+d} KiB)")
    print(f"  C heap   {heap} B after warm-up, {heap_in_use()} B at the end ({heap_in_use() - heap:+d} B)")


if __name__ == "__main__":
    main()
