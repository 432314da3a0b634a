"""The velkor command-line tool.

    velkor                 both sample robots
    velkor arm             one sample robot by name
    velkor path/to.urdf    any URDF file (add --floating for a free-floating base)

Prints the model summary (name, counts, links in numbering order) and the world
pose of every link at the zero configuration and at a sample configuration.
"""

import argparse
import math
import os
import sys
import xml.etree.ElementTree as ElementTree

import velkor
from velkor.samples import FLOATING_SAMPLES, SAMPLE_ROBOTS, sample_path


def _link_names(path: str) -> list[str]:
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return []
    return [link.get("name", "") for link in root.findall("link")]


def _format_pose(row) -> str:
    t = ", ".join(f"{x:+.4f}" for x in row[:3])
    q = ", ".join(f"{x:+.4f}" for x in row[3:])
    return f"translation ({t})  rotation xyzw ({q})"


def _sample_configuration(count: int) -> list[float]:
    # A fixed, gently bent configuration: the same numbers on every run.
    return [0.4 * math.sin(1.3 * (i + 1)) for i in range(count)]


def show(label: str, path: str, floating: bool) -> None:
    kind = velkor.FloatingRobot if floating else velkor.Robot
    with kind(path) as robot:
        base_kind = "floating base" if floating else "fixed base"
        print(f"robot {robot.name} ({base_kind}) from {label}")
        print(f"  links {robot.link_count}, joint degrees of freedom {robot.joint_count}, "
              f"generalized velocities {robot.generalized_count}")

        names = _link_names(path)
        by_id = sorted((robot.link_id(name), name) for name in set(names))
        print("  links in numbering order: " + ", ".join(f"{i} {name}" for i, name in by_id))

        base = velkor.BaseState(frame=velkor.Pose(translation=[0.0, 0.0, 0.45]))
        for title, q in (("zero configuration", [0.0] * robot.joint_count),
                         ("sample configuration", _sample_configuration(robot.joint_count))):
            print(f"  world poses at the {title} q = [{', '.join(f'{x:+.3f}' for x in q)}]")
            rows = (robot.forward_kinematics_all(base, q) if floating
                    else robot.forward_kinematics_all(q)).reshape(-1, 7)
            name_of = dict(by_id)
            for i, row in enumerate(rows):
                print(f"    {i:2d} {name_of.get(i, '?'):<22} {_format_pose(row)}")


def main(argv: list[str] | None = None) -> int:
    try:
        return _run(argv)
    except BrokenPipeError:
        # the reader (e.g. `velkor | head`) went away: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _run(argv: list[str] | None) -> int:
    parser = argparse.ArgumentParser(prog="velkor", description=__doc__.split("\n\n")[0])
    parser.add_argument("robots", nargs="*", metavar="ROBOT",
                        help=f"sample name ({', '.join(sorted(SAMPLE_ROBOTS))}) or URDF path")
    parser.add_argument("--floating", action="store_true",
                        help="load URDF paths as free-floating robots")
    args = parser.parse_args(argv)

    print(f"velkor {velkor.__version__}")
    for name in args.robots or sorted(SAMPLE_ROBOTS):
        if name in SAMPLE_ROBOTS:
            path, floating, label = sample_path(name), name in FLOATING_SAMPLES, f"sample '{name}'"
        else:
            path, floating, label = name, args.floating, name
        try:
            show(label, path, floating)
        except (velkor.VelkorError, ValueError) as error:
            print(f"velkor: {name}: {error}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
