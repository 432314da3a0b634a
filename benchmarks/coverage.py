"""Which robot files of example-robot-data load, with the default options and with the opt-in ones.

    python benchmarks/coverage.py [--quiet] [--inertia-tolerance 1e-6]

Every .urdf file of the installed collection is loaded as a Robot and as a FloatingRobot, first
with the defaults, then with mimic="independent" (and massless_root="allow" for FloatingRobot),
then with those options and inertia_tolerance (1e-6 unless given; 0 leaves that pass out), and
with mimic="couple" in place of "independent" (mimic joints that follow their leaders).
Pinocchio's loader (buildModelFromUrdf, with a free-flyer root joint for the floating case) is
tried on the same file, as is its coupled model (mimic=True) beside the couple pass. Prints the
counts, then each refusal with its reason, then the link inertias the tolerance repaired.
"""

import argparse
import sysconfig
from pathlib import Path

import velkor
from velkor.samples import sample_path

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


def tolerant_outcome(cls, path, tolerance):
    """(refusal or None, repaired link inertias) with the options and the inertia tolerance."""
    try:
        robot = cls(str(path), **OPTIONS[cls], inertia_tolerance=tolerance)
    except Exception as error:  # every refusal is reported, whatever its kind
        return f"{type(error).__name__}: {error}", []
    return None, robot.repaired_inertias


def oracle_outcome(path, floating, mimic=False):
    import pinocchio as pin

    if floating:
        return outcome(lambda: pin.buildModelFromUrdf(str(path), pin.JointModelFreeFlyer(), mimic=mimic))
    return outcome(lambda: pin.buildModelFromUrdf(str(path), mimic=mimic))


def survey(tolerance):
    """{(file, class): (default refusal, refusal with the options, Pinocchio's refusal, refusal with the
    options and the tolerance, its repairs, refusal with mimic="couple", Pinocchio's coupled refusal)};
    None means it loads."""
    rows = {}
    for path in sorted(ROBOTS.rglob("*.urdf")):
        name = str(path.relative_to(ROBOTS))
        for cls in (velkor.Robot, velkor.FloatingRobot):
            rows[name, cls.__name__] = (
                outcome(lambda: cls(str(path))),
                outcome(lambda: cls(str(path), **OPTIONS[cls])),
                oracle_outcome(path, cls is velkor.FloatingRobot),
                *(tolerant_outcome(cls, path, tolerance) if tolerance else (None, [])),
                outcome(lambda: cls(str(path), **{**OPTIONS[cls], "mimic": "couple"})),
                oracle_outcome(path, cls is velkor.FloatingRobot, mimic=True),
            )
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quiet", action="store_true", help="counts only")
    parser.add_argument("--inertia-tolerance", type=float, default=1e-6, metavar="T",
                        help="inertia_tolerance of the third pass (default 1e-6; 0 skips that pass)")
    args = parser.parse_args()
    tolerance = args.inertia_tolerance
    velkor.Robot(sample_path("arm"), inertia_tolerance=tolerance)  # a value velkor refuses stops here
    rows = survey(tolerance)
    files = len({name for name, _ in rows})
    print(f"{files} robot files in {ROBOTS}")
    for kind in ("Robot", "FloatingRobot"):
        mine = {name: row for (name, k), row in rows.items() if k == kind}
        oracle = sum(row[2] is None for row in mine.values())
        default = sum(row[0] is None for row in mine.values())
        options = sum(row[1] is None for row in mine.values())
        tolerant = f", with options and inertia_tolerance={tolerance:g} " \
                   f"{sum(row[3] is None for row in mine.values())}/{files}" if tolerance else ""
        coupled = sum(row[5] is None for row in mine.values())
        oracle_coupled = sum(row[6] is None for row in mine.values())
        print(f"{kind:14} loads: default {default}/{files}, with options {options}/{files}{tolerant}, "
              f"Pinocchio {oracle}/{files}; with mimic='couple' {coupled}/{files}, "
              f"Pinocchio mimic=True {oracle_coupled}/{files}")
    if args.quiet:
        return
    passes = [(0, "default options", 2), (1, "options", 2)]
    if tolerance:
        passes.append((3, f"options and inertia_tolerance={tolerance:g}", 2))
    passes.append((5, "options and mimic='couple'", 6))
    for index, title, peer in passes:
        print(f"\nrefused with the {title}:")
        for (name, kind), row in rows.items():
            if row[index] is not None:
                oracle = "loads" if row[peer] is None else "refuses too"
                print(f"  {kind:13} {name}: {row[index]} (Pinocchio {oracle})")
    if tolerance:
        print(f"\nrepaired with inertia_tolerance={tolerance:g} (link: smallest eigenvalue, relative to the "
              "largest principal moment):")
        for (name, kind), row in rows.items():
            if row[4]:
                links = ", ".join(f"{r.link}: {-r.defect:.2g} kg·m² ({r.relative_defect:.2g})" for r in row[4])
                print(f"  {kind:13} {name}: {links}")


if __name__ == "__main__":
    main()
