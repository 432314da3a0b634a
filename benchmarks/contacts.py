"""The constrained-dynamics methods against Pinocchio's constrained dynamics, from Python.

    python benchmarks/contacts.py [--calls N] [--robots LABEL ...]

Timed as compare.py times: alternating batches of 200 calls in one process,
median and 10th percentile of the per-batch means in nanoseconds, the load
average printed. Solo12 stands on its four feet (point contacts, 12 rows),
Talos on its two soles (frame contacts, 12 rows); both floating, exact solves
(no regularization, no stabilisation). velkor writes into preallocated out=
tuples. Pinocchio's constraints are RigidConstraintModel CONTACT_3D or
CONTACT_6D in LOCAL_WORLD_ALIGNED, initialised once with
initConstraintDynamics, solved with ProximalSettings mu = 0 (one plain solve):
  constrained_forward_dynamics       constraintDynamics
  impulse_dynamics                   impulseDynamics (restitution 0)
  constrained_dynamics_derivatives   constraintDynamics + computeConstraintDynamicsDerivatives
                                     (the derivatives read what the dynamics leave in its data;
                                     velkor's call solves the dynamics itself), and in brackets
                                     computeConstraintDynamicsDerivatives alone
"""

import statistics
from functools import partial

import numpy as np
import pinocchio as pin

import robots
import velkor
from compare import Peer, interleaved, p10, random_quaternion, run

BATCH = 200
EXACT = pin.ProximalSettings(1e-12, 0.0, 1)

# robot label: (kind, link) of each contact, at the link's origin and axes
CONTACTS = {
    "Solo12 (floating)": [("point", f"{leg}_FOOT") for leg in ("FL", "FR", "HL", "HR")],
    "Talos (floating)": [("frame", "left_sole_link"), ("frame", "right_sole_link")],
}


def velkor_calls(robot, s: robots.RobotCase, rng) -> tuple[dict, int]:
    n, N = robot.joint_count, robot.generalized_count
    constraints = robot.constraint_set([velkor.Contact(robot.link_id(link), kind) for kind, link in CONTACTS[s.label]])
    m = constraints.count
    q, qd = rng.uniform(-1, 1, (2, n))
    tau = rng.uniform(-1, 1, N)
    w, v, alpha, a = rng.uniform(-1, 1, (4, 3))
    lead = (velkor.BaseState(velkor.Pose(rng.uniform(-1, 1, 3), random_quaternion(rng)), velkor.Twist(w, v),
                             velkor.Twist(alpha, a)),)
    pair = (np.empty(N), np.empty(m))
    six = tuple(np.empty(N * N) for _ in range(3)) + tuple(np.empty(m * N) for _ in range(3))
    calls = {
        "constrained_forward_dynamics": partial(robot.constrained_forward_dynamics, *lead, q, qd, tau, constraints,
                                                out=pair),
        "impulse_dynamics": partial(robot.impulse_dynamics, *lead, q, qd, constraints, out=pair),
        "constrained_dynamics_derivatives": partial(robot.constrained_dynamics_derivatives, *lead, q, qd, tau,
                                                    constraints, out=six),
    }
    return calls, m


def peer_constraints(peer: Peer, s: robots.RobotCase):
    """Pinocchio's constraint models and datas for the robot's contacts, initialised on its data."""
    model, models = peer.model, []
    for kind, link in CONTACTS[s.label]:
        frame = model.frames[model.getFrameId(link, pin.FrameType.BODY)]
        contact = pin.ContactType.CONTACT_3D if kind == "point" else pin.ContactType.CONTACT_6D
        models.append(pin.RigidConstraintModel(contact, model, frame.parentJoint, frame.placement,
                                               pin.ReferenceFrame.LOCAL_WORLD_ALIGNED))
    datas = [c.createData() for c in models]
    pin.initConstraintDynamics(model, peer.data, models, datas)
    return models, datas


def peer_calls(peer: Peer, s: robots.RobotCase) -> dict:
    m, d, q, v, tau = peer.model, peer.data, peer.q, peer.v, peer.tau
    models, datas = peer_constraints(peer, s)

    def dynamics_and_derivatives():
        pin.constraintDynamics(m, d, q, v, tau, models, datas, EXACT)
        pin.computeConstraintDynamicsDerivatives(m, d, models, datas, EXACT)

    derivatives_only = partial(pin.computeConstraintDynamicsDerivatives, m, d, models, datas, EXACT)
    pin.constraintDynamics(m, d, q, v, tau, models, datas, EXACT)  # what derivatives_only reads
    return {
        "constrained_forward_dynamics": partial(pin.constraintDynamics, m, d, q, v, tau, models, datas, EXACT),
        "impulse_dynamics": partial(pin.impulseDynamics, m, d, q, v, models, datas, 0.0, EXACT),
        "constrained_dynamics_derivatives": dynamics_and_derivatives,
        "(derivatives call alone)": derivatives_only,
    }


def compare(s: robots.RobotCase, calls: int) -> None:
    if s.label not in CONTACTS:
        print(f"\n{s.label}: no contacts defined here (robots: {', '.join(CONTACTS)})")
        return
    rng = np.random.default_rng(1)
    robot = robots.velkor_handle(s)
    peer = Peer(s, rng)
    ours, m = velkor_calls(robot, s, rng)
    kinds = ", ".join(f"{kind} {link}" for kind, link in CONTACTS[s.label])
    print(f"\n{s.label}: N={robot.generalized_count}, m={m} ({kinds})")
    print(f"  {'method':<34} | {'velkor ns':>9} {'p10':>7} | {'peer ns':>9} {'p10':>7} | {'ratio':>5}")
    print(f"  {'-' * 34}-+-{'-' * 17}-+-{'-' * 17}-+-{'-' * 5}")
    batches = max(calls // BATCH, 3)
    theirs = peer_calls(peer, s)
    rows = [(name, call, theirs[name]) for name, call in ours.items()]
    rows.append(("  (derivatives call alone)", ours["constrained_dynamics_derivatives"],
                 theirs["(derivatives call alone)"]))
    for name, call, peer_call in rows:
        a, b = interleaved(call, peer_call, BATCH, batches)
        ma, mb = statistics.median(a), statistics.median(b)
        print(f"  {name:<34} | {ma:>9.0f} {p10(a):>7.0f} | {mb:>9.0f} {p10(b):>7.0f} | {ma / mb:>5.2f}")


def main() -> None:
    run(__doc__.split("\n")[0], compare, 20000, list(CONTACTS))


if __name__ == "__main__":
    main()
