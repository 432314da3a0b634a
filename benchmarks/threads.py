"""Parallel throughput of inverse dynamics on Talos (fixed base, 44 DOFs).

    python benchmarks/threads.py [--seconds S] [--repeats R]

Three set-ups, each run for S seconds and repeated R times in turn; the median
throughput is printed:
  1 thread              one fork of the robot
  2 threads, 2 forks    every thread calls its own fork (parallel computing)
  2 threads, 1 handle   both threads call the same handle; its lock serialises
                        the computations, so no speed-up is expected
Every thread has its own state and `out=` array. velkor releases the
interpreter lock while it computes, so with forks only the Python side of each
call is serialised by the interpreter. As a control for how much of the second
core is actually free (other work on the machine), the same runs are made with
`hashlib.sha256` of 1 MB, which also computes without the interpreter lock.
"""

import argparse
import hashlib
import itertools
import os
import statistics
import sys
import threading
import time
from functools import partial

import numpy as np

import robots

CHUNK = 200


def run(handles: list, seconds: float) -> float:
    """Total calls per second of one thread per entry of `handles`; a handle of
    None stands for the control call."""
    rates = [0.0] * len(handles)
    barrier = threading.Barrier(len(handles))

    def worker(i: int, robot) -> None:
        if robot is None:
            call = partial(hashlib.sha256, bytes(1 << 20))
        else:
            rng = np.random.default_rng(i)
            q, qd, qdd = (rng.uniform(-1, 1, robot.joint_count) for _ in range(3))
            call = partial(robot.inverse_dynamics, q, qd, qdd, None, np.empty(robot.joint_count))
        for _ in range(CHUNK):
            call()
        barrier.wait()
        calls, start = 0, time.perf_counter()
        end = start + seconds
        chunk = 1 if robot is None else CHUNK
        while time.perf_counter() < end:
            for _ in itertools.repeat(None, chunk):
                call()
            calls += chunk
        rates[i] = calls / (time.perf_counter() - start)

    threads = [threading.Thread(target=worker, args=(i, h)) for i, h in enumerate(handles)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(rates)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    robot = robots.velkor_handle(robots.case("Talos (fixed)"))
    shared = robot.fork()
    setups = {
        "1 thread": [robot.fork()],
        "2 threads, 2 forks": [robot.fork(), robot.fork()],
        "2 threads, 1 handle": [shared, shared],
    }
    samples = {name: [] for name in setups}
    control = {"1 thread": [None], "2 threads": [None, None]}
    control_samples = {name: [] for name in control}
    load = os.getloadavg()[0]
    for _ in range(args.repeats):
        for name, handles in setups.items():
            samples[name].append(run(handles, args.seconds))
        for name, handles in control.items():
            control_samples[name].append(run(handles, args.seconds / 4))

    print(f"Talos fixed, inverse_dynamics, n={robot.joint_count}; {os.cpu_count()} CPUs, Python "
          f"{sys.version.split()[0]}, load average before {load:.2f}; median of {args.repeats} runs of "
          f"{args.seconds:g} s")
    report(samples)
    print("control: hashlib.sha256 of 1 MB")
    report(control_samples)


def report(samples: dict) -> None:
    single = statistics.median(samples["1 thread"])
    for name, rates in samples.items():
        rate = statistics.median(rates)
        print(f"  {name:<20} {rate:>10,.0f} calls/s  ({1e9 / rate:>8.0f} ns/call)  speed-up {rate / single:.2f}x"
              f"  [runs: {', '.join(f'{r:,.0f}' for r in rates)}]")


if __name__ == "__main__":
    main()
