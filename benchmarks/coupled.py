"""Coupled mimic joints: velkor's coupled robot beside the same file loaded with independent mimic
joints, and beside Pinocchio's coupled model.

    python benchmarks/coupled.py [--calls N] [--robots LABEL ...]

Per robot and method, three set-ups are timed in turn in one process, batches of 1000 calls, the
order rotating from batch to batch, N calls per set-up in total; each figure is the median (and
10th percentile) over the batches of the batch's mean time per call, in nanoseconds, Python call
included:

  independent   velkor, mimic="independent": every mimic joint its own DOF (a different robot,
                the cost to match)
  coupled       velkor, mimic="couple": forward dynamics by the articulated-body recursion with
                each group of coupled joints eliminated as one coordinate; inverse dynamics by
                the recursion in the full coordinates, expanded q_full = G q + b and contracted
                τ = Gᵀ τ_full in the call
  Pinocchio     buildModelFromUrdf(path, mimic=True): its aba refuses mimic joints, so forward
                dynamics is its only coupled option, crba + nonLinearEffects + a dense solve
                (numpy.linalg.solve on the symmetrised mass matrix); inverse dynamics is rnea.
                Talos is refused (its mimic joints come before their leaders): "-".

velkor calls write into preallocated out= arrays. States are random, within ±0.5 rad (m) of zero,
the same on all sides. The load average is printed before and after.
"""

import statistics

import numpy as np
import pinocchio as pin

import robots
import velkor
from compare import BATCH, batch_time, p10, run

LABELS = ["Panda", "Baxter", "Talos (fixed)", "Talos (floating)"]


def setups(s: robots.RobotCase, rng):
    path = str(robots.urdf_path(s.file))
    cls = velkor.FloatingRobot if s.floating else velkor.Robot
    extra = {"massless_root": "allow"} if s.floating else {}
    independent, coupled = (cls(path, mimic=mimic, **extra) for mimic in ("independent", "couple"))
    lead = (velkor.BaseState(velkor.Pose([0, 0, 1.0], [0.1, 0.2, 0.0, 0.97]), velkor.Twist([0.1, 0, 0], [0, 0.2, 0])),) \
        if s.floating else ()

    def velkor_calls(robot):
        n, N = robot.joint_count, robot.generalized_count
        q, qd, qdd = rng.uniform(-0.5, 0.5, (3, n))
        tau, out = rng.uniform(-1, 1, N), np.empty(N)
        return {"forward_dynamics": lambda: robot.forward_dynamics(*lead, q, qd, tau, out=out),
                "inverse_dynamics": lambda: robot.inverse_dynamics(*lead, q, qd, qdd, out=out)}

    calls = {"independent": velkor_calls(independent), "coupled": velkor_calls(coupled)}
    if not s.floating:
        try:
            model = pin.buildModelFromUrdf(path, mimic=True)
        except Exception:  # Pinocchio refuses mimic joints before their leaders
            model = None
        if model is not None:
            model.gravity.linear = np.array([0.0, 0.0, -9.80665])
            data = model.createData()
            q, qd, qdd = rng.uniform(-0.5, 0.5, (3, model.nv))
            tau = rng.uniform(-1, 1, model.nv)

            def forward():
                upper = pin.crba(model, data, q)
                return np.linalg.solve(upper + np.triu(upper, 1).T, tau - pin.nonLinearEffects(model, data, q, qd))

            calls["Pinocchio"] = {"forward_dynamics": forward,
                                  "inverse_dynamics": lambda: pin.rnea(model, data, q, qd, qdd)}
    return calls


def compare(s: robots.RobotCase, calls: int) -> None:
    rng = np.random.default_rng(0)
    sides = setups(s, rng)
    print(f"\n{s.label}")
    print(f"  {'method':<18} | {'independent':>17} | {'coupled':>17} | {'Pinocchio':>17} | coupled/indep. | coupled/Pinocchio")
    for method in ("forward_dynamics", "inverse_dynamics"):
        timed = {name: funcs[method] for name, funcs in sides.items()}
        for call in timed.values():
            batch_time(call, BATCH // 10)
        samples = {name: [] for name in timed}
        order = list(timed)
        for i in range(max(calls // BATCH, 1)):
            for name in order[i % len(order):] + order[:i % len(order)]:
                samples[name].append(batch_time(timed[name], BATCH))
        median = {name: statistics.median(v) for name, v in samples.items()}
        cells = [f"{median[name]:>8.0f} {p10(samples[name]):>8.0f}" if name in median else f"{'-':>17}"
                 for name in ("independent", "coupled", "Pinocchio")]
        peer = f"{median['coupled'] / median['Pinocchio']:>17.2f}" if "Pinocchio" in median else f"{'-':>17}"
        print(f"  {method:<18} | {' | '.join(cells)} | {median['coupled'] / median['independent']:>14.2f} | {peer}")


def main() -> None:
    run(__doc__.split("\n")[0], compare, 100000, LABELS)


if __name__ == "__main__":
    main()
