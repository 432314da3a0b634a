"""The velkor command-line tool.

    velkor                         both sample robots
    velkor arm                     one sample robot by name
    velkor path/to.urdf            any URDF file (add --floating for a free-floating base,
                                   --mimic couple or independent for <mimic> joints)
    velkor info ROBOT              joint table, limits and link masses
    velkor check FILE...           report every problem of URDF files, with a suggested fix
    velkor bench ROBOT             median time per call of every computing method
    velkor view ROBOT              the robot in the browser, with joint sliders (velkor[viewer])
    velkor --version

Without a command, prints the model summary (name, counts, links in numbering order)
and the world pose of every link at the zero configuration and at a sample configuration.
ROBOT is a sample name (arm, quadruped) or a URDF path.
"""

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, NoReturn

import velkor
from velkor import _address
from velkor._bench import bench
from velkor._cli_io import (
    BASE_HEIGHT,
    MAX_INERTIA_TOLERANCE,
    Loaded,
    MasslessRoot,
    Mimic,
    _base_kind,
    _base_state,
    _from_bytes,
    _name,
    _read,
    _reason,
    _say,
    _Unreadable,
    _visible,
)
from velkor._lint import check_files
from velkor.samples import FLOATING_SAMPLES, SAMPLE_ROBOTS, sample_path

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from velkor.viewer import Viewer

COMMANDS = ("info", "check", "bench", "view")


# ---- loading ----

def _inertia_tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= MAX_INERTIA_TOLERANCE:
        raise argparse.ArgumentTypeError(f"must be a number from 0 to {MAX_INERTIA_TOLERANCE:g}, got {text!r}")
    return value


LOAD_ERRORS = (velkor.VelkorError, ValueError, _Unreadable, MemoryError)


def _format_pose(row: "npt.NDArray[np.float64]") -> str:
    t = ", ".join(f"{x:+.4f}" for x in row[:3])
    q = ", ".join(f"{x:+.4f}" for x in row[3:])
    return f"translation ({t})  rotation xyzw ({q})"


def _sample_configuration(count: int) -> list[float]:
    # A fixed, gently bent configuration: the same numbers on every run.
    return [0.4 * math.sin(1.3 * (i + 1)) for i in range(count)]


def _resolve(name: str, floating: bool) -> tuple[str, bool, str]:
    """(path, floating, label) of a sample name or a URDF path; samples keep their own kind
    unless `floating` asks for a free-floating base."""
    if name in SAMPLE_ROBOTS:
        return sample_path(name), floating or name in FLOATING_SAMPLES, f"sample '{name}'"
    return name, floating, name

def show(label: str, path: str, floating: bool, banner: str | None = None, mimic: Mimic = "reject") -> None:
    """Prints the summary and link poses of one robot, after `banner` once it has loaded."""
    with _from_bytes(_read(path), floating, mimic) as robot:
        if banner is not None:
            _say(banner)
        _say(f"robot {robot.name} ({_base_kind(floating)}) from {label}")
        _say(f"  links {robot.link_count}, joint degrees of freedom {robot.joint_count}, "
             f"generalized velocities {robot.generalized_count}")

        names = [_name(name) for name in robot.link_names]  # in numbering order
        _say("  links in numbering order: " + ", ".join(f"{i} {name}" for i, name in enumerate(names)))

        base = _base_state()
        if floating:
            _say(f"  base frame at (0, 0, {BASE_HEIGHT:g}), not rotated, in both configurations")
        for title, q in (("zero configuration", [0.0] * robot.joint_count),
                         ("sample configuration", _sample_configuration(robot.joint_count))):
            _say(f"  world poses at the {title} q = [{', '.join(f'{x:+.3f}' for x in q)}]")
            rows = (robot.forward_kinematics_all(base, q) if isinstance(robot, velkor.FloatingRobot)
                    else robot.forward_kinematics_all(q)).reshape(-1, 7)
            for i, (name, row) in enumerate(zip(names, rows)):
                _say(f"    {i:2d} {name:<22} {_format_pose(row)}")


def main(argv: list[str] | None = None) -> int:
    try:
        return _run(sys.argv[1:] if argv is None else list(argv))
    except SystemExit as stop:  # argparse: --help, --version, usage errors (already printed)
        return stop.code if isinstance(stop.code, int) else (0 if stop.code is None else 2)
    except BrokenPipeError:
        # the reader (e.g. `velkor | head`) went away: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:  # Ctrl-C, e.g. while a FIFO waits for its writer
        return 130


def _run(argv: list[str]) -> int:
    if argv and argv[0] in COMMANDS:
        args = _command_parser().parse_args(argv)
        handler: Callable[[argparse.Namespace], int] = args.handler
        return handler(args)
    return _show_robots(_robots_parser().parse_args(argv))


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # echoes command-line words (unrecognized arguments)
        super().error(_visible(message))


def _version_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--version", action="version", version=f"velkor {velkor.__version__}")


def _robots_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="velkor", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=f"commands: {', '.join(COMMANDS)} (velkor COMMAND --help)")
    _version_option(parser)
    parser.add_argument("robots", nargs="*", metavar="ROBOT",
                        help=f"sample name ({', '.join(sorted(SAMPLE_ROBOTS))}) or URDF path")
    parser.add_argument("--floating", action="store_true",
                        help="load the robots as free-floating robots (samples included)")
    _mimic_option(parser)
    return parser


def _mimic_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--mimic", choices=("reject", "independent", "couple"), default="reject",
                        help="'couple' makes every <mimic> joint follow its leader; 'independent' makes it "
                             "an ordinary degree of freedom (default 'reject': refuse files with <mimic> joints)")


def _show_robots(args: argparse.Namespace) -> int:
    banner: str | None = f"velkor {velkor.__version__}"  # above the first robot that loads
    for name in args.robots or sorted(SAMPLE_ROBOTS):
        path, floating, label = _resolve(name, args.floating)
        try:
            show(label, path, floating, banner, args.mimic)
        except LOAD_ERRORS as error:
            _say(f"velkor: {name}: {_reason(error)}", error=True)
            return 1
        banner = None
    return 0


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _port(text: str) -> int:
    try:
        return _address.check_port(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a port from 0 to {_address.HIGHEST_PORT}, got {text!r}") from None


def _host(text: str) -> str:
    try:
        return _address.check_host(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _command_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velkor", description=__doc__.split("\n\n")[0])
    _version_option(parser)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    robot_help = f"sample name ({', '.join(sorted(SAMPLE_ROBOTS))}) or URDF path"

    def robot_options(command: argparse.ArgumentParser) -> None:
        command.add_argument("robot", metavar="ROBOT", help=robot_help)
        command.add_argument("--floating", action="store_true", help="load as a free-floating robot")
        _mimic_option(command)
        command.add_argument("--massless-root", choices=("reject", "allow"), default="reject",
                             help="'allow' accepts a massless floating root whose fixed links carry mass")
        tolerance_option(command)

    def add_command(name: str, handler: Callable[[argparse.Namespace], int], summary: str,
                    description: str | None = None) -> argparse.ArgumentParser:
        command = commands.add_parser(name, help=summary, description=description)
        command.set_defaults(handler=handler)
        return command

    def tolerance_option(command: argparse.ArgumentParser) -> None:
        command.add_argument("--inertia-tolerance", type=_inertia_tolerance, default=0.0, metavar="T",
                             help="accept inertias indefinite by at most T times the largest principal moment "
                                  "of the robot's links (a rounding), holding them with their negative "
                                  f"eigenvalues set to zero (0 to {MAX_INERTIA_TOLERANCE:g}; default 0: exact)")

    robot_options(add_command("info", _info, "joint table, limits and link masses of one robot"))

    check = add_command(
        "check", _check, "report every problem of URDF files, with a suggested fix",
        description="Loads each file with the defaults; when the loader refuses it, its verdict comes first, "
                    "with the line it points at and a fix. Then every problem found in the file (mimic joints, "
                    "indefinite inertias, numbers the loader cannot read, massless floating roots, xacro "
                    "leftovers; massless moving leaves, inertias breaking the triangle inequality and shapes the "
                    "loader leaves out as warnings). When <mimic> elements stop the defaults, which mimic option loads the file. "
                    "Exit status 1 when a file does not load as a Robot with the defaults.")
    check.add_argument("files", nargs="+", metavar="FILE", help="URDF file")
    tolerance_option(check)

    view = add_command(
        "view", _view, "show a robot in the browser, with joint sliders (needs velkor[viewer])",
        description="Serves the robot's visual shapes at http://127.0.0.1:PORT, placed by velkor's forward "
                    "kinematics, with a slider per joint, until Ctrl-C; or writes a self-contained page "
                    "with --export.")
    robot_options(view)
    view.add_argument("--collision", action="store_true", help="show the <collision> shapes instead of <visual>")
    view.add_argument("--port", type=_port, default=8080,
                      help="port to serve on, 0 to 65535 (default 8080, or the next free one; 0: any free one)")
    view.add_argument("--host", type=_host, default="127.0.0.1",
                      help="interface to listen on (default 127.0.0.1, this machine only; '' or 0.0.0.0: every "
                           "interface)")
    view.add_argument("--export", metavar="FILE", help="write a static page that opens from file:// and exit")

    bench = add_command("bench", _bench, "median time per call of every computing method")
    robot_options(bench)
    bench.add_argument("--calls", type=_positive_int, default=1000,
                       help="calls per timed repeat (default 1000; inverse_kinematics makes 1/20 of them)")
    return parser


def _load(name: str, floating: bool, mimic: Mimic = "reject", massless_root: MasslessRoot = "reject",
          inertia_tolerance: float = 0.0) -> tuple[Loaded, bool, str]:
    path, floating, label = _resolve(name, floating)
    if not floating and massless_root != "reject":
        raise ValueError("--massless-root applies to floating robots only (add --floating)")
    return _from_bytes(_read(path), floating, mimic, massless_root, inertia_tolerance), floating, label


def _load_argument(args: argparse.Namespace) -> tuple[Loaded, bool, str] | None:
    """The robot that `info` and `bench` name, or None after printing why it does not load."""
    try:
        return _load(args.robot, args.floating, args.mimic, args.massless_root, args.inertia_tolerance)
    except LOAD_ERRORS as error:
        _say(f"velkor: {args.robot}: {_reason(error)}", error=True)
        return None


# ---- info ----

def _limit(value: float) -> str:
    return f"{value + 0.0:.4g}" if math.isfinite(value) else ("-inf" if value < 0 else "+inf")


def _table(rows: Sequence[tuple[str, ...]], right: set[int], indent: str = "  ") -> None:
    """Prints aligned columns; cells come in ready for display (names through _name), so a column
    is never wider than its longest shown cell."""
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        cells = (cell.rjust(w) if c in right else cell.ljust(w) for c, (cell, w) in enumerate(zip(row, widths)))
        _say((indent + "  ".join(cells)).rstrip())


def _info(args: argparse.Namespace) -> int:
    loaded = _load_argument(args)
    if loaded is None:
        return 1
    robot, floating, label = loaded
    with robot:
        names, lower, upper = [_name(name) for name in robot.link_names], robot.lower_limits, robot.upper_limits
        _say(f"robot {robot.name} ({_base_kind(floating)}) from {label}")
        _say(f"  links {robot.link_count}, joint degrees of freedom {robot.joint_count}, "
             f"generalized velocities {robot.generalized_count}")
        if robot.joints:
            rows: list[tuple[str, ...]] = [("#", "joint", "type", "dof", "parent → child", "lower", "upper")]
            for index, joint in enumerate(robot.joints):
                dof = joint.dof
                limits = ("-", "-") if dof is None else (_limit(float(lower[dof])), _limit(float(upper[dof])))
                rows.append((str(index), _name(joint.name), _name(joint.type), "-" if dof is None else str(dof),
                             f"{names[joint.parent]} → {names[joint.child]}", *limits))
            _say("  joints")
            _table(rows, right={0, 3, 5, 6}, indent="    ")
        else:
            _say("  no joints")
        how = "follows its leader" if args.mimic == "couple" else "loaded as independent"
        for follower, (leader, multiplier, offset) in robot.mimic_joints.items():
            follower, leader = _name(follower), _name(leader)
            _say(f"  mimic joint {follower} {how}: "
                 f"q[{follower}] = {multiplier:g} * q[{leader}] {'+' if offset >= 0 else '-'} {abs(offset):g}")
        for repair in robot.repaired_inertias:
            held = ", ".join(f"{v:.6g}" for v in repair.held)
            _say(f"  inertia of link {_name(repair.link)} repaired: smallest eigenvalue {-repair.defect:.3g} kg·m² "
                 f"({repair.relative_defect:.2g} of the largest principal moment), held as ({held})")
        masses: list[tuple[str, ...]] = [("#", "link", "mass (kg)")]
        masses += [(str(i), name, f"{mass:.6g}") for i, (name, mass) in enumerate(zip(names, robot.link_masses))]
        masses.append(("", "total", f"{robot.total_mass:.6g}"))
        _say("  link masses")
        _table(masses, right={0, 2}, indent="    ")
    return 0


# ---- check and bench ----

def _check(args: argparse.Namespace) -> int:
    return check_files(args.files, args.inertia_tolerance)


def _view(args: argparse.Namespace) -> int:
    try:
        from velkor.viewer import Viewer
    except ImportError as error:
        _say(f"velkor: {error}", error=True)
        return 1
    loaded = _load_argument(args)
    if loaded is None:
        return 1
    robot, _, label = loaded
    path, _, _ = _resolve(args.robot, args.floating)
    with robot:
        try:
            viewer = Viewer(robot, host=args.host, port=args.port, collision=args.collision, urdf_path=path,
                            sliders=args.export is None)
        except OSError as error:  # the server did not start (TimeoutError included)
            _say(f"velkor: {_reason(error)}", error=True)
            return 1
        with viewer:
            return _serve(viewer, args, label)


def _serve(viewer: "Viewer", args: argparse.Namespace, label: str) -> int:
    for link, filename in viewer.missing_meshes:
        _say(f"velkor: {label}: link {_name(link)}: mesh {filename!r} not found or not readable", error=True)
    if args.export is not None:
        if "\0" in args.export:  # open() would refuse it with a ValueError
            _say(f"velkor: {args.export}: path contains a NUL character", error=True)
            return 1
        try:
            viewer.export_html(args.export)
        except OSError as error:  # as the loader's reading of a file reports it
            _say(f"velkor: {args.export or repr('')}: {error.strerror or _reason(error)}", error=True)
            return 1
        _say(f"wrote {args.export}")
        return 0
    where = " (listening on every interface)" if viewer.every_interface else ""
    _say(f"viewing {viewer.robot.name} from {label} at {viewer.url}{where} (Ctrl-C to stop)")
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        return 0


def _bench(args: argparse.Namespace) -> int:
    loaded = _load_argument(args)
    if loaded is None:
        return 1
    return bench(*loaded, args.calls, args.robot)


if __name__ == "__main__":
    sys.exit(main())
