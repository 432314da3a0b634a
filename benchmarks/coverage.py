"""Which robot files of example-robot-data load, with the default options and with the opt-in ones.

    python benchmarks/coverage.py [--quiet]

Every .urdf file of the installed collection is loaded as a Robot and as a FloatingRobot, first
with the defaults, then with mimic="independent" (and massless_root="allow" for FloatingRobot).
The established dynamics library's loader (pinocchio, free-flyer model for the floating case) is
tried on the same file. Prints the counts, then each refusal with its reason.
"""

import argparse
import sysconfig
from pathlib import Path

import velkor

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
OPTIONS = {
    velkor.Robot: {"mimic": "independent"},
    velkor.FloatingRobot: {"mimic": "independent", "massless_root": "allow"},
}


def outcome(load):
    try:
        load()
        return None
    except Exception as error:  # every refusal is reported, whatever its kind
        return f"{type(error).__name__}: {error}"


def oracle_outcome(path, floating):
    import pinocchio as pin

    if floating:
        return outcome(lambda: pin.buildModelFromUrdf(str(path), pin.JointModelFreeFlyer()))
    return outcome(lambda: pin.buildModelFromUrdf(str(path)))


def survey():
    """{(file, class): (default refusal, refusal with the options, oracle's refusal)}; None means it loads."""
    rows = {}
    for path in sorted(ROBOTS.rglob("*.urdf")):
        name = str(path.relative_to(ROBOTS))
        for cls in (velkor.Robot, velkor.FloatingRobot):
            rows[name, cls.__name__] = (
                outcome(lambda: cls(str(path))),
                outcome(lambda: cls(str(path), **OPTIONS[cls])),
                oracle_outcome(path, cls is velkor.FloatingRobot),
            )
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quiet", action="store_true", help="counts only")
    args = parser.parse_args()
    rows = survey()
    files = len({name for name, _ in rows})
    print(f"{files} robot files in {ROBOTS}")
    for kind in ("Robot", "FloatingRobot"):
        mine = {name: row for (name, k), row in rows.items() if k == kind}
        oracle = sum(row[2] is None for row in mine.values())
        default = sum(row[0] is None for row in mine.values())
        options = sum(row[1] is None for row in mine.values())
        print(f"{kind:14} loads: default {default}/{files}, with options {options}/{files}, oracle {oracle}/{files}")
    if args.quiet:
        return
    for index, title in ((0, "default options"), (1, "with the options")):
        print(f"\nrefused with the {title}:")
        for (name, kind), row in rows.items():
            if row[index] is not None:
                oracle = "loads" if row[2] is None else "refuses too"
                print(f"  {kind:13} {name}: {row[index]} (oracle {oracle})")


if __name__ == "__main__":
    main()
