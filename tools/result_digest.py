"""Every computing method on both sample robots at fixed random states, saved for a bit-for-bit
comparison between two builds.

    python tools/result_digest.py save before.npz     # with one build on the path
    python tools/result_digest.py save after.npz      # with the other
    python tools/result_digest.py compare before.npz after.npz
"""

import sys

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
