#!/usr/bin/env python3
"""Long form of velkor's thread stress test.

Runs rounds of worker threads (eight by default) for a given time, cycling through the
operation profiles of common.py: "mixed" (everything at once), "close" (a handle closed or
pickled while others call it), "buffer" (a load buffer changed while dynamics calls use it),
"arrays" (one memory used as input by some threads and as `out` by others), "batch" (batch
evaluators of each thread and shared ones, batch rows shared as `out`, one shared constraint set)
and "lists" (Python lists refilled by one thread while others pass them in). Every result is compared bit for
bit with a single-threaded computation, every refusal must be the documented one, and a
watchdog dumps every thread's stack and reports a deadlock when a round does not end.

    python stress/thread_stress.py --seconds 30
    python stress/thread_stress.py --seconds 120 --profiles buffer,arrays --threads 16

Prints the calls and refusals per kind of operation and the problems found; the exit status
is 1 when a problem was found.
"""

import argparse
import collections
import faulthandler
import sys
import sysconfig
import time

import common


def gil_state():
    """'on' or 'off' (free-threaded builds can turn it back on at run time), 'always on' elsewhere."""
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return "always on" if is_enabled is None else ("on" if is_enabled() else "off")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to run (default 30)")
    parser.add_argument("--threads", type=int, default=8, help="worker threads (default 8)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first round (default 0)")
    parser.add_argument("--round", type=float, default=5.0, help="seconds per round (default 5)")
    parser.add_argument("--profiles", default="mixed,close,buffer,arrays,batch,lists",
                        help=f"comma-separated, from {', '.join(common.PROFILES)}")
    args = parser.parse_args(argv)
    profiles = args.profiles.split(",")
    for name in profiles:
        if name not in common.PROFILES:
            parser.error(f"unknown profile {name!r}")

    faulthandler.enable()
    calls, refusals, problems = collections.Counter(), collections.Counter(), []
    start = time.monotonic()
    deadline = start + args.seconds
    rounds = 0
    print(f"velkor thread stress: {args.threads} threads, profiles {', '.join(profiles)}, {args.seconds:g} s",
          flush=True)
    build = "free-threaded build" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default build"
    print(f"Python {sys.version.split()[0]} ({build}), interpreter lock {gil_state()}", flush=True)
    while time.monotonic() < deadline:
        profile = profiles[rounds % len(profiles)]
        seconds = max(0.5, min(args.round, deadline - time.monotonic()))
        stress = common.ThreadStress(seed=args.seed + rounds, threads=args.threads, profile=profile)
        logs = stress.run(seconds=seconds)
        _, round_calls, round_refusals, round_problems = common.stress_summary(logs)
        calls.update(round_calls)
        refusals.update(round_refusals)
        problems.extend(f"round {rounds} ({profile}, seed {args.seed + rounds}): {p}" for p in round_problems)
        print(f"  round {rounds}: {profile:6s} {sum(round_calls.values()):8d} calls, "
              f"{sum(round_refusals.values()):7d} refusals, {len(round_problems)} problems", flush=True)
        if any("watchdog" in p for p in round_problems):
            break  # stuck threads keep their handles; do not stack more rounds on top
        stress.close()
        rounds += 1
    elapsed = time.monotonic() - start

    print(f"calls: {sum(calls.values())} in {elapsed:.1f} s over {rounds} rounds")
    print("calls per kind:")
    for op, count in sorted(calls.items()):
        print(f"  {op:16s} {count}")
    print("refusals per kind:")
    for (op, message), count in sorted(refusals.items()):
        print(f"  {op:16s} {message!r}: {count}")
    print(f"interpreter lock at the end: {gil_state()}")
    print(f"problems: {len(problems)}")
    for problem in problems[:60]:
        print("  " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
