"""Many states at once: per-state time of velkor's batch evaluator with 1 and 2 threads, of a
Python loop of single calls, of the C++ kernel alone (test build), and of Pinocchio's
rneaInParallel / abaInParallel with 1 and 2 threads, alternated batch by batch in one process.

    python benchmarks/batch.py [--states N] [--repeats R] [--robots LABEL ...]

Prints the median and the 10th percentile of ns per state and the load average.
"""

import argparse
import os
import statistics
import time

import numpy as np
import pinocchio as pin

import robots

try:
    import _velkor_testing
except ImportError:  # a regular build: no kernel-only figure
    _velkor_testing = None


def per_state(call, states: int) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / states


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--robots", nargs="*", default=["Panda", "Talos (fixed)"])
    args = parser.parse_args()
    print("ns per state: median (p10); load average: %.2f %.2f %.2f" % os.getloadavg())
    rng = np.random.default_rng(0)
    for label in args.robots:
        case = robots.case(label)
        robot = robots.velkor_handle(case)
        n, N = robot.joint_count, args.states
        q, qd, qdd = (rng.uniform(-1, 1, (N, n)) for _ in range(3))
        tau = robot.batch(threads=1).inverse_dynamics(q, qd, qdd)
        out = np.empty_like(tau)
        one, two = robot.batch(threads=1), robot.batch(threads=2)
        model = robots.peer_model(case)
        pool = pin.ModelPool(model, 2)
        pq = np.asfortranarray(np.stack([pin.randomConfiguration(model, -np.ones(model.nq), np.ones(model.nq))
                                         for _ in range(N)], axis=1))
        pv, pa, ptau = (np.asfortranarray(x.T) for x in (qd, qdd, tau))
        pout = np.asfortranarray(np.empty((model.nv, N)))
        single = robot.inverse_dynamics
        row_out = np.empty(n)

        def loop():
            for i in range(N):
                single(q[i], qd[i], qdd[i], None, row_out)

        calls = {
            "ID velkor batch, 1 thread": lambda: one.inverse_dynamics(q, qd, qdd, out=out),
            "ID velkor batch, 2 threads": lambda: two.inverse_dynamics(q, qd, qdd, out=out),
            "ID Pinocchio rneaInParallel, 1 thread": lambda: pin.rneaInParallel(1, pool, pq, pv, pa, pout),
            "ID Pinocchio rneaInParallel, 2 threads": lambda: pin.rneaInParallel(2, pool, pq, pv, pa, pout),
            "ID velkor Python loop": loop,
            "FD velkor batch, 1 thread": lambda: one.forward_dynamics(q, qd, tau, out=out),
            "FD velkor batch, 2 threads": lambda: two.forward_dynamics(q, qd, tau, out=out),
            "FD Pinocchio abaInParallel, 1 thread": lambda: pin.abaInParallel(1, pool, pq, pv, ptau, pout),
            "FD Pinocchio abaInParallel, 2 threads": lambda: pin.abaInParallel(2, pool, pq, pv, ptau, pout),
        }
        if _velkor_testing is not None and not case.floating:
            path = str(robots.urdf_path(case.file))
            calls["ID C++ kernel alone"] = lambda: _velkor_testing.kernel_ns(path, 0.3, N) * N
        samples = {name: [] for name in calls}
        for r in range(args.repeats):
            for name, call in (calls.items() if r % 2 == 0 else reversed(calls.items())):
                samples[name].append(per_state(call, N))
        print(f"\n{label}: n={n}, {N} states")
        for name, values in samples.items():
            print(f"  {name:<38} {statistics.median(values):9.0f} ({sorted(values)[len(values) // 10]:.0f})")
        m = {name: statistics.median(values) for name, values in samples.items()}
        print(f"  2 threads / 1 thread speed-up: ID {m['ID velkor batch, 1 thread'] / m['ID velkor batch, 2 threads']:.2f}x, "
              f"FD {m['FD velkor batch, 1 thread'] / m['FD velkor batch, 2 threads']:.2f}x")


if __name__ == "__main__":
    main()
