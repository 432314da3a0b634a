"""The derivative methods against Pinocchio's analytic derivatives, from Python.

    python benchmarks/derivatives.py [--calls N] [--robots LABEL ...]

Timed as compare.py times: alternating batches of 200 calls in one process,
median and 10th percentile of the per-batch means in nanoseconds, the load
average printed. velkor writes into preallocated out= tuples; Pinocchio's calls
are computeRNEADerivatives, computeABADerivatives and
computeGeneralizedGravityDerivatives, which return their matrices.
"""

import statistics
from functools import partial

import numpy as np
import pinocchio as pin

import robots
from compare import Peer, interleaved, p10, random_quaternion, run

BATCH = 200


def velkor_calls(robot, s: robots.RobotCase, rng) -> dict:
    n, N = robot.joint_count, robot.generalized_count
    q, qd, qdd = rng.uniform(-1, 1, (3, n))
    lead = ()
    if s.floating:
        from velkor import BaseState, Pose, Twist
        w, v, alpha, a = rng.uniform(-1, 1, (4, 3))
        lead = (BaseState(Pose(rng.uniform(-1, 1, 3), random_quaternion(rng)), Twist(w, v), Twist(alpha, a)),)
    tau = np.asarray(robot.inverse_dynamics(*lead, q, qd, qdd))
    two, three, one = [np.empty(N * N) for _ in range(2)], [np.empty(N * N) for _ in range(3)], np.empty(N * N)
    return {
        "inverse_dynamics_derivatives": partial(robot.inverse_dynamics_derivatives, *lead, q, qd, qdd, out=tuple(two)),
        "forward_dynamics_derivatives": partial(robot.forward_dynamics_derivatives, *lead, q, qd, tau, out=tuple(three)),
        "gravity_derivatives": partial(robot.gravity_derivatives, *lead, q, out=one),
    }


def peer_calls(peer: Peer) -> dict:
    m, d, q, v, a, tau = peer.model, peer.data, peer.q, peer.v, peer.a, peer.tau
    return {
        "inverse_dynamics_derivatives": partial(pin.computeRNEADerivatives, m, d, q, v, a),
        "forward_dynamics_derivatives": partial(pin.computeABADerivatives, m, d, q, v, tau),
        "gravity_derivatives": partial(pin.computeGeneralizedGravityDerivatives, m, d, q),
    }


def compare(s: robots.RobotCase, calls: int) -> None:
    rng = np.random.default_rng(1)
    robot = robots.velkor_handle(s)
    peer = Peer(s, rng)
    print(f"\n{s.label}: N={robot.generalized_count}")
    print(f"  {'method':<30} | {'velkor ns':>9} {'p10':>7} | {'peer ns':>9} {'p10':>7} | {'ratio':>5}")
    batches = max(calls // BATCH, 3)
    theirs = peer_calls(peer)
    for name, ours in velkor_calls(robot, s, rng).items():
        a, b = interleaved(ours, theirs[name], BATCH, batches)
        ma, mb = statistics.median(a), statistics.median(b)
        print(f"  {name:<30} | {ma:>9.0f} {p10(a):>7.0f} | {mb:>9.0f} {p10(b):>7.0f} | {ma / mb:>5.2f}")


def main() -> None:
    run(__doc__.split("\n")[0], compare, 20000, ["Panda", "UR5", "Talos (fixed)", "Talos (floating)", "Solo12 (floating)"])


if __name__ == "__main__":
    main()
