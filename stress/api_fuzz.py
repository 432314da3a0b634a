#!/usr/bin/env python3
"""Long form of velkor's API fuzzer.

Runs the engine of common.py with plain seeded generators for a given time, in segments that
each start from fresh handles and buffers with their own seed, then prints the calls made, the
outcomes by exception type and every problem found, each with a reproducer (the segment's seed,
the step and the call). A segment replays exactly from its seed:

    python stress/api_fuzz.py --seconds 60
    python stress/api_fuzz.py --seed 1234 --segments 1 --steps 800 --trace calls.txt

--trace writes every call before it is made, so after a crash the file's last line is the call
that crashed. The exit status is 1 when a problem was found.
"""

import argparse
import collections
import faulthandler
import random
import resource
import sys
import time

import common


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to run (default 30)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the first segment (default: from the clock)")
    parser.add_argument("--steps", type=int, default=5000, help="steps per segment (default 5000)")
    parser.add_argument("--segments", type=int, default=None, help="stop after this many segments")
    parser.add_argument("--leak-every", type=int, default=50,
                        help="repeat every Nth computing call to check argument reference counts (0: never)")
    parser.add_argument("--trace", help="write each call to this file before making it")
    args = parser.parse_args(argv)

    faulthandler.enable()
    seed = args.seed if args.seed is not None else int(time.time()) % 100000
    trace = open(args.trace, "w", encoding="utf-8") if args.trace else None
    world = common.World()
    calls, outcomes = collections.Counter(), collections.Counter()
    problems = collections.OrderedDict()
    steps = segments = 0
    rss_start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.monotonic()
    deadline = start + args.seconds
    print(f"velkor API fuzzer: first seed {seed}, {args.steps} steps per segment, {args.seconds:g} s", flush=True)
    try:
        while time.monotonic() < deadline and (args.segments is None or segments < args.segments):
            current = seed + segments
            fuzzer = common.ApiFuzzer(world, trace=trace, leak_every=args.leak_every)
            fuzzer.origin = f"seed {current}, "
            if trace:
                trace.write(f"# segment seed {current}\n")
            rng = random.Random(current)
            for step in range(args.steps):
                fuzzer.run_step(fuzzer.step, rng)
                if step % 32 == 0 and time.monotonic() >= deadline and args.segments is None:
                    break
            steps += fuzzer.steps
            segments += 1
            calls.update(fuzzer.calls)
            outcomes.update(fuzzer.failures)
            for category, (count, examples) in fuzzer.problems.items():
                entry = problems.setdefault(category, [0, []])
                entry[0] += count
                entry[1].extend(examples[:max(0, 3 - len(entry[1]))])
    finally:
        if trace:
            trace.close()
    elapsed = time.monotonic() - start
    rss_end = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    print(f"segments: {segments} (seeds {seed} to {seed + segments - 1}), steps: {steps}, "
          f"calls made: {sum(calls.values())} in {elapsed:.1f} s")
    print("failures by exception type (ok = the call succeeded):")
    for name, count in outcomes.most_common():
        print(f"  {name:22s} {count}")
    print("calls by entry point:")
    for name, count in sorted(calls.items()):
        print(f"  {name:45s} {count}")
    print(f"peak resident memory: {rss_start / 1024:.0f} MiB at start, {rss_end / 1024:.0f} MiB at the end")
    print(f"problems: {len(problems)} kinds, {sum(c for c, _ in problems.values())} occurrences")
    for category, (count, examples) in problems.items():
        print(f"[{count}x] {category}")
        for example in examples:
            print(f"    {example}")
    world.close()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
