"""The velkor command-line tool: `velkor [ROBOT]` with ROBOT a sample name or a URDF path."""

import argparse
import os
import sys

import velkor
from velkor.samples import SAMPLE_ROBOTS, sample_path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="velkor", description="Show velkor's sample robots and the values it exchanges.")
    parser.add_argument("robot", nargs="?", help="a sample robot name or a URDF file path")
    args = parser.parse_args(argv)

    print(f"velkor {velkor.__version__}")
    names = [args.robot] if args.robot else sorted(SAMPLE_ROBOTS)
    for name in names:
        path = sample_path(name) if name in SAMPLE_ROBOTS else name
        if not os.path.isfile(path):
            print(f"velkor: {path}: no such file", file=sys.stderr)
            return 1
        print(f"robot {name}: {path} ({os.path.getsize(path)} bytes)")

    # The values every computation exchanges: a pose and a floating-base state.
    base = velkor.BaseState(frame=velkor.Pose(translation=[0, 0, 0.9]),
                            velocity=velkor.Twist(linear=[0.5, 0, 0]))
    print(f"base frame translation {base.frame.translation}, rotation (x, y, z, w) {base.frame.rotation_xyzw}")
    print(f"base velocity angular {base.velocity.angular}, linear {base.velocity.linear}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
