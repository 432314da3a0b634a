"""Every computing method on both sample robots at fixed random states, and the coupled, constrained,
configuration-space, rollout and inverse-kinematics calls on top of them, saved for a bit-for-bit
comparison between two builds.

    python tools/result_digest.py save before.npz     # with one build on the path
    python tools/result_digest.py save after.npz      # with the other
    python tools/result_digest.py compare before.npz after.npz
"""

import sys
from pathlib import Path

import numpy as np

import velkor
from velkor.samples import sample_path

METHODS = ["forward_kinematics_all", "jacobian", "jacobian_derivative", "mass_matrix", "gravity",
           "inverse_dynamics", "velocity_product_forces", "forward_dynamics", "center_of_mass",
           "center_of_mass_velocity", "center_of_mass_jacobian", "centroidal_momentum",
           "centroidal_momentum_matrix", "kinetic_energy", "potential_energy",
           "inverse_dynamics_derivatives", "forward_dynamics_derivatives", "gravity_derivatives"]
ARGUMENTS = {"forward_kinematics_all": "q", "jacobian": "qT", "jacobian_derivative": "qdT", "mass_matrix": "q",
             "gravity": "qL", "inverse_dynamics": "qdaL", "velocity_product_forces": "qd",
             "forward_dynamics": "qdfL", "center_of_mass": "q", "center_of_mass_velocity": "qd",
             "center_of_mass_jacobian": "q", "centroidal_momentum": "qd", "centroidal_momentum_matrix": "q",
             "kinetic_energy": "qd", "potential_energy": "q", "inverse_dynamics_derivatives": "qdaL",
             "forward_dynamics_derivatives": "qdfL", "gravity_derivatives": "q"}


def results() -> dict[str, np.ndarray]:
    out = {}
    rng = np.random.default_rng(20261209)
    for name, kind in (("arm", velkor.Robot), ("quadruped", velkor.FloatingRobot)):
        robot = kind(sample_path(name))
        floating = kind is velkor.FloatingRobot
        n, N = robot.joint_count, robot.generalized_count
        target = robot.link_count - 1
        for state in range(5):
            q, qd, qdd = (rng.uniform(-1, 1, n) for _ in range(3))
            forces = rng.uniform(-5, 5, N)
            base = velkor.BaseState(velkor.Pose(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 4)),
                                    velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)),
                                    velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)))
            loads = [velkor.Load(target, rng.uniform(-1, 1, 3), rng.uniform(-5, 5, 3))]
            values = {"q": q, "d": qd, "a": qdd, "f": forces, "T": target}
            for method in METHODS:
                args = [values[c] for c in ARGUMENTS[method] if c != "L"]
                if floating:
                    args.insert(0, base)
                kwargs = {"loads": loads} if "L" in ARGUMENTS[method] else {}
                result = getattr(robot, method)(*args, **kwargs)
                parts = result if isinstance(result, tuple) else (result,)
                out[f"{name}/{state}/{method}"] = np.concatenate([np.atleast_1d(np.asarray(p, float)) for p in parts])
            batch = robot.batch(2).inverse_dynamics(*([np.array([base.to_array()] * 3)] if floating else []),
                                                    np.array([q] * 3), np.array([qd] * 3), np.array([qdd] * 3))
            out[f"{name}/{state}/batch"] = batch
    out.update(composite_results())
    return out


def flat(result) -> np.ndarray:
    """One array of every number a call returned (tuples, poses and IK records included)."""
    if isinstance(result, velkor.BaseState):
        result = result.to_array()
    if isinstance(result, velkor.Pose):
        result = np.concatenate([result.translation, result.rotation_xyzw])
    if isinstance(result, tuple):
        return np.concatenate([flat(p) for p in result]) if result else np.zeros(0)
    return np.atleast_1d(np.asarray(result, float)).ravel()


def record(out: dict, key: str, call) -> None:
    """The call's numbers, or its error's kind and message as bytes, so refusals compare too."""
    try:
        out[key] = flat(call())
    except velkor.VelkorError as e:
        out[key] = np.frombuffer(f"{type(e).__name__}: {e}".encode(), np.uint8)


def composite_results() -> dict[str, np.ndarray]:
    out: dict[str, np.ndarray] = {}
    rng = np.random.default_rng(20261210)
    hand = velkor.Robot(Path(__file__).resolve().parents[1] / "tests/data/coupled_hand.urdf", mimic="couple")
    n = hand.joint_count
    for state in range(3):
        q, qd, qdd, tau = (rng.uniform(-1, 1, n) for _ in range(4))
        for method in METHODS:
            values = {"q": q, "d": qd, "a": qdd, "f": tau, "T": hand.link_count - 1}
            args = [values[c] for c in ARGUMENTS[method] if c != "L"]
            record(out, f"hand/{state}/{method}", lambda: getattr(hand, method)(*args))
        closure = hand.constraint_set([velkor.Contact(hand.link_count - 1, "point")])
        for method in ("constrained_forward_dynamics", "constrained_dynamics_derivatives"):
            record(out, f"hand/{state}/{method}", lambda: getattr(hand, method)(q, qd, tau, closure, regularization=1e-9))
        record(out, f"hand/{state}/impulse", lambda: hand.impulse_dynamics(q, qd, closure, regularization=1e-9))
        record(out, f"hand/{state}/rollout", lambda: hand.rollout(q, qd, np.tile(tau, (20, 1)), 1e-3))
        record(out, f"hand/{state}/rollout_constrained",
               lambda: hand.rollout(q, qd, np.tile(tau, (20, 1)), 1e-3, constraints=closure, regularization=1e-9))

    dog = velkor.FloatingRobot(sample_path("quadruped"))
    feet = [dog.link_id(f"{side}_foot") for side in ("front_left", "front_right", "hind_left", "hind_right")]
    stance = dog.constraint_set([velkor.Contact(f) for f in feet], baumgarte=(1.0, 10.0))
    for state in range(3):
        base = velkor.BaseState(velkor.Pose(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 4)),
                                velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)),
                                velkor.Twist(rng.uniform(-1, 1, 3), rng.uniform(-1, 1, 3)))
        q, qd = rng.uniform(-1, 1, 12), rng.uniform(-1, 1, 12)
        tau = rng.uniform(-5, 5, 18)
        record(out, f"dog/{state}/cfd", lambda: dog.constrained_forward_dynamics(base, q, qd, tau, stance))
        record(out, f"dog/{state}/cfd_regularized",
               lambda: dog.constrained_forward_dynamics(base, q, qd, tau, stance, regularization=1e-8))
        record(out, f"dog/{state}/impulse", lambda: dog.impulse_dynamics(base, q, qd, stance, restitution=0.3))
        record(out, f"dog/{state}/jacobian", lambda: dog.constraint_jacobian(base, q, stance))
        record(out, f"dog/{state}/bias", lambda: dog.constraint_acceleration_bias(base, q, qd, stance))
        record(out, f"dog/{state}/cdd", lambda: dog.constrained_dynamics_derivatives(base, q, qd, tau, stance))
        x = np.concatenate([base.frame.translation, base.frame.rotation_xyzw, q])
        v = rng.uniform(-1, 1, 18)
        record(out, f"dog/{state}/integrate", lambda: dog.integrate(x, v, 0.1))
        record(out, f"dog/{state}/integrate_derivatives", lambda: dog.integrate_derivatives(x, v, 0.1))
        y = dog.integrate(x, v, 0.3)
        record(out, f"dog/{state}/difference", lambda: dog.difference(x, y))
        record(out, f"dog/{state}/difference_derivatives", lambda: dog.difference_derivatives(x, y))
        record(out, f"dog/{state}/rollout", lambda: dog.rollout(x, v, np.tile(tau, (20, 1)), 1e-3))
        record(out, f"dog/{state}/rollout_constrained",
               lambda: dog.rollout(x, v, np.tile(tau, (20, 1)), 1e-3, constraints=stance, regularization=1e-8))
        reach = dog.ik_problem([velkor.PoseTask(feet[0], velkor.Pose([0.3, 0.2, -0.3])),
                                velkor.CenterOfMassTask([0.0, 0.0, 0.1], 0.5)], posture_weight=1e-3)
        record(out, f"dog/{state}/ik", lambda: reach.solve(base, q, max_iterations=50, restarts=0, time_budget=None))

    arm = velkor.Robot(sample_path("arm"))
    tool = arm.link_count - 1
    for state in range(3):
        q = rng.uniform(-1, 1, arm.joint_count)
        goal = arm.forward_kinematics(rng.uniform(-1, 1, arm.joint_count), tool)
        record(out, f"arm/{state}/inverse_kinematics", lambda: arm.inverse_kinematics(q, tool, goal))
        task = arm.ik_problem([velkor.PoseTask(tool, goal)], posture_weight=1e-4)
        record(out, f"arm/{state}/ik", lambda: task.solve(q, max_iterations=100, restarts=0, time_budget=None))
        record(out, f"arm/{state}/ik_dt", lambda: task.solve(q, max_iterations=20, dt=0.01))
        record(out, f"arm/{state}/step_qp", lambda: task.step_qp(q, dt=0.01))
    return out


if __name__ == "__main__":
    if sys.argv[1] == "save":
        np.savez(sys.argv[2], **results())
    else:
        a, b = np.load(sys.argv[2]), np.load(sys.argv[3])
        differ = [k for k in a.files if a[k].tobytes() != b[k].tobytes()]
        missing = set(a.files) ^ set(b.files)
        print(f"{len(a.files)} results compared: {len(differ)} differ, {len(missing)} missing")
        for k in differ[:20]:
            print("  differs:", k)
        sys.exit(1 if differ or missing else 0)
