#!/usr/bin/env python3
"""Long form of velkor's API fuzzer.

Runs the hypothesis properties of tests/test_api_fuzz.py (accepted spellings, refused calls,
recovery after refusals) on every computing method of both sample robots, round after round,
each round with its own seed and more examples than the suite uses, until the time is up:

    python stress/api_fuzz.py --seconds 60
    python stress/api_fuzz.py --seed 1234 --rounds 1 --examples 500 --only refusals   # replay

Each failure is printed with its round's seed and hypothesis's shrunk falsifying example; a
round replays exactly from its seed. The exit status is 1 when a property failed.
"""

import argparse
import collections
import faulthandler
import pathlib
import sys
import time
import traceback

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from hypothesis import seed as seeded  # noqa: E402
from hypothesis import settings  # noqa: E402

import test_api_fuzz as properties  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to run (default 30)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the first round (default: from the clock)")
    parser.add_argument("--rounds", type=int, default=None, help="stop after this many rounds")
    parser.add_argument("--examples", type=int, default=40, help="examples per property and case in a round (default 40)")
    parser.add_argument("--only", choices=sorted(properties.PROPERTIES), action="append",
                        help="run only this property (repeatable)")
    args = parser.parse_args(argv)

    faulthandler.enable()
    first = args.seed if args.seed is not None else int(time.time()) % 100000
    chosen = args.only or list(properties.PROPERTIES)
    config = settings(properties.SHORT, derandomize=False, max_examples=args.examples)
    examples, failures = collections.Counter(), []
    start = time.monotonic()
    deadline = start + args.seconds
    rounds = 0
    print(f"velkor API fuzzer: first seed {first}, {args.examples} examples per case, {args.seconds:g} s", flush=True)
    while time.monotonic() < deadline and (args.rounds is None or rounds < args.rounds):
        current = first + rounds
        for name in chosen:
            check, cases, _ = properties.PROPERTIES[name]

            def counted(*case, check=check, name=name):
                examples[name] += 1
                check(*case)

            counted.__signature__ = properties.inspect.signature(check)
            test = seeded(current)(properties.hypothesis_test(counted, config))
            for case in cases:
                case = case if isinstance(case, tuple) else (case,)
                if time.monotonic() >= deadline and args.rounds is None:
                    break
                try:
                    test(*case)
                except Exception as error:  # noqa: BLE001 - reported with its reproducer
                    text = "".join(traceback.format_exception(error))
                    failures.append(f"{name}{list(case)} with --seed {current}:\n{text}")
                    print(f"  FAILED {name}{list(case)}, seed {current}", flush=True)
        rounds += 1
        print(f"  round {rounds - 1} (seed {current}): {sum(examples.values())} examples so far", flush=True)

    print(f"rounds: {rounds} (seeds {first} to {first + rounds - 1}) in {time.monotonic() - start:.1f} s")
    for name, count in examples.items():
        print(f"  {name:10s} {count} examples")
    print(f"failures: {len(failures)}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
