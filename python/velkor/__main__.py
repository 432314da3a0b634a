"""The velkor command-line tool.

    velkor                         both sample robots
    velkor arm                     one sample robot by name
    velkor path/to.urdf            any URDF file (add --floating for a free-floating base)
    velkor info ROBOT              joint table, limits and link masses
    velkor check FILE...           report every problem of URDF files, with a suggested fix
    velkor bench ROBOT             median time per call of every computing method
    velkor --version

Without a command, prints the model summary (name, counts, links in numbering order)
and the world pose of every link at the zero configuration and at a sample configuration.
ROBOT is a sample name (arm, quadruped) or a URDF path.
"""

import argparse
import math
import os
import statistics
import sys
import time
import xml.etree.ElementTree as ElementTree
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Literal
from xml.parsers import expat

import velkor
from velkor.samples import FLOATING_SAMPLES, SAMPLE_ROBOTS, sample_path

COMMANDS = ("info", "check", "bench")
Mimic = Literal["reject", "independent"]
MasslessRoot = Literal["reject", "allow"]
Loaded = velkor.Robot | velkor.FloatingRobot

# Largest file read; far above any real robot, it keeps endless inputs (/dev/zero) from eating memory.
MAX_FILE_BYTES = 64 << 20
# Widest name shown in a table cell or a row label; longer names keep their two ends around an ellipsis.
NAME_WIDTH = 48


# ---- output ----

def _escape(character: str) -> str:
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte of a path (surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    return repr(character)[1:-1]


def _visible(text: str, width: int | None = None) -> str:
    """`text` with every non-printable character (controls, escape sequences, invisible format
    characters) written as a backslash escape, cut to `width` characters around an ellipsis."""
    if text.isprintable():
        pieces: Sequence[str] = text
    else:
        pieces = [c if c.isprintable() else _escape(c) for c in text]
    if width is None or sum(map(len, pieces)) <= width:
        return "".join(pieces)
    head: list[str] = []
    tail: list[str] = []
    room = width - 1
    front, back = 0, len(pieces) - 1
    while front <= back:  # take from both ends in turn while whole pieces fit
        piece = pieces[front] if len(head) <= len(tail) else pieces[back]
        if len(piece) > room:
            break
        room -= len(piece)
        if len(head) <= len(tail):
            head.append(piece)
            front += 1
        else:
            tail.append(piece)
            back -= 1
    return "".join(head) + "…" + "".join(reversed(tail))


def _name(text: str) -> str:
    return _visible(text, NAME_WIDTH)


def _say(text: str = "", error: bool = False) -> None:
    """Prints one line; names and paths in it cannot drive the terminal."""
    print(_visible(text), file=sys.stderr if error else sys.stdout)


def _reason(error: BaseException) -> str:
    return str(error) or ("out of memory" if isinstance(error, MemoryError) else type(error).__name__)


# ---- loading ----

class _Unreadable(Exception):
    """A file that cannot be read whole; `reason` is the operating system's or the size limit's text."""

    def __init__(self, reason: str):
        super().__init__(f"failed to parse URDF: {reason}")  # the loader's own wording for such files
        self.reason = reason


def _read(path: str) -> bytes:
    """The whole file, read once: pipes, FIFOs and /dev/stdin have no second reading."""
    chunks, size = [], 0
    try:
        with open(path, "rb") as file:
            while chunk := file.read(1 << 20):
                size += len(chunk)
                if size > MAX_FILE_BYTES:
                    raise _Unreadable(f"file is larger than {MAX_FILE_BYTES} bytes")
                chunks.append(chunk)
    except OSError as error:
        raise _Unreadable(error.strerror or str(error)) from None
    except ValueError:  # open() refuses paths holding NUL
        raise _Unreadable("path contains a NUL character") from None
    return b"".join(chunks)


def _from_bytes(data: bytes, floating: bool, mimic: Mimic = "reject",
                massless_root: MasslessRoot = "reject") -> Loaded:
    # surrogateescape hands undecodable bytes on, so the loader's verdict on bad UTF-8 is its own
    text = data.decode("utf-8", "surrogateescape")
    if floating:
        return velkor.FloatingRobot.from_urdf_string(text, mimic=mimic, massless_root=massless_root)
    return velkor.Robot.from_urdf_string(text, mimic=mimic)


LOAD_ERRORS = (velkor.VelkorError, ValueError, _Unreadable, MemoryError)


def _format_pose(row) -> str:
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


def _base_kind(floating: bool) -> str:
    return "floating base" if floating else "fixed base"


def show(label: str, path: str, floating: bool) -> None:
    with _from_bytes(_read(path), floating) as robot:
        _say(f"robot {robot.name} ({_base_kind(floating)}) from {label}")
        _say(f"  links {robot.link_count}, joint degrees of freedom {robot.joint_count}, "
             f"generalized velocities {robot.generalized_count}")

        names = [_name(name) for name in robot.link_names]  # in numbering order
        _say("  links in numbering order: " + ", ".join(f"{i} {name}" for i, name in enumerate(names)))

        base = velkor.BaseState(frame=velkor.Pose(translation=[0.0, 0.0, 0.45]))
        for title, q in (("zero configuration", [0.0] * robot.joint_count),
                         ("sample configuration", _sample_configuration(robot.joint_count))):
            _say(f"  world poses at the {title} q = [{', '.join(f'{x:+.3f}' for x in q)}]")
            rows = (robot.forward_kinematics_all(base, q) if floating
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
        return args.handler(args)
    return _show_robots(_robots_parser().parse_args(argv))


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # echoes command-line words (unrecognized arguments)
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
    return parser


def _show_robots(args: argparse.Namespace) -> int:
    _say(f"velkor {velkor.__version__}")
    for name in args.robots or sorted(SAMPLE_ROBOTS):
        path, floating, label = _resolve(name, args.floating)
        try:
            show(label, path, floating)
        except LOAD_ERRORS as error:
            _say(f"velkor: {name}: {_reason(error)}", error=True)
            return 1
    return 0


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _command_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velkor", description=__doc__.split("\n\n")[0])
    _version_option(parser)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    robot_help = f"sample name ({', '.join(sorted(SAMPLE_ROBOTS))}) or URDF path"

    def robot_options(command: argparse.ArgumentParser) -> None:
        command.add_argument("robot", metavar="ROBOT", help=robot_help)
        command.add_argument("--floating", action="store_true", help="load as a free-floating robot")
        command.add_argument("--mimic", choices=("reject", "independent"), default="reject",
                             help="'independent' makes every <mimic> joint an ordinary degree of freedom")
        command.add_argument("--massless-root", choices=("reject", "allow"), default="reject",
                             help="'allow' accepts a massless floating root whose fixed links carry mass")

    info = commands.add_parser("info", help="joint table, limits and link masses of one robot")
    robot_options(info)
    info.set_defaults(handler=_info)

    check = commands.add_parser(
        "check", help="report every problem of URDF files, with a suggested fix",
        description="Reports every problem found in each file (mimic joints, indefinite inertias, massless "
                    "floating roots, xacro leftovers; massless moving leaves and inertias breaking the triangle "
                    "inequality as warnings), then loads it with the defaults. Exit status 1 when a file does "
                    "not load as a Robot with the defaults.")
    check.add_argument("files", nargs="+", metavar="FILE", help="URDF file")
    check.set_defaults(handler=_check)

    bench = commands.add_parser("bench", help="median time per call of every computing method")
    robot_options(bench)
    bench.add_argument("--calls", type=_positive_int, default=1000,
                       help="calls per timed repeat (default 1000; inverse_kinematics makes 1/20 of them)")
    bench.set_defaults(handler=_bench)
    return parser


def _load(name: str, floating: bool, mimic: Mimic = "reject",
          massless_root: MasslessRoot = "reject") -> tuple[Loaded, bool, str]:
    path, floating, label = _resolve(name, floating)
    if not floating and massless_root != "reject":
        raise ValueError("--massless-root applies to floating robots only (add --floating)")
    return _from_bytes(_read(path), floating, mimic, massless_root), floating, label


def _load_argument(args: argparse.Namespace) -> tuple[Loaded, bool, str] | None:
    """The robot that `info` and `bench` name, or None after printing why it does not load."""
    try:
        return _load(args.robot, args.floating, args.mimic, args.massless_root)
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
        for follower, (leader, multiplier, offset) in robot.mimic_joints.items():
            follower, leader = _name(follower), _name(leader)
            _say(f"  mimic joint {follower} loaded as independent: "
                 f"q[{follower}] = {multiplier:g} * q[{leader}] {'+' if offset >= 0 else '-'} {abs(offset):g}")
        masses: list[tuple[str, ...]] = [("#", "link", "mass (kg)")]
        masses += [(str(i), name, f"{mass:.6g}") for i, (name, mass) in enumerate(zip(names, robot.link_masses))]
        masses.append(("", "total", f"{robot.total_mass:.6g}"))
        _say("  link masses")
        _table(masses, right={0, 2}, indent="    ")
    return 0


# ---- check ----

INERTIA_NAMES = ("ixx", "ixy", "ixz", "iyy", "iyz", "izz")
TRIANGLE_TOLERANCE = 1e-4  # relative to the largest principal moment; published files round their numbers
SEVERITIES = {
    "error": "error",                        # the default loader (Robot) refuses the file
    "floating": "error as a floating base",  # Robot loads it, FloatingRobot with defaults does not
    "warning": "warning",                    # legal, but probably not what the author meant
}


@dataclass
class Finding:
    severity: str    # a key of SEVERITIES
    line: int | None
    where: str       # "link 'x'", "joint 'j'", "robot"
    message: str
    fix: str


class _Document:
    """A URDF file parsed with the line of every element."""

    def __init__(self, data: bytes):
        builder = ElementTree.TreeBuilder()
        self.lines: dict[ElementTree.Element, int] = {}
        parser = expat.ParserCreate()

        def start(tag, attributes):
            self.lines[builder.start(tag, attributes)] = parser.CurrentLineNumber

        parser.StartElementHandler = start
        parser.EndElementHandler = builder.end
        parser.Parse(data, True)
        self.root = builder.close()

    def line(self, element) -> int | None:
        return self.lines.get(element)


def _number(text: str | None) -> float | None:
    if text is None:
        return None
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _is_xacro(element) -> bool:
    return isinstance(element.tag, str) and element.tag.startswith("xacro:")


def _mass(link) -> float | None:
    """The link's mass: 0 without <inertial>, None when the file's value is not a number."""
    inertial = link.find("inertial")
    if inertial is None:
        return 0.0
    mass = inertial.find("mass")
    return 0.0 if mass is None else _number(mass.get("value"))


def _inertia_matrix(inertia):
    import numpy as np

    values = [_number(inertia.get(name)) for name in INERTIA_NAMES]
    if any(v is None for v in values):
        return None
    xx, xy, xz, yy, yz, zz = values
    return np.array([[xx, xy, xz], [xy, yy, yz], [xz, yz, zz]])


def _library_refuses_inertia(inertial, inertia) -> bool:
    """The loader's own verdict on this inertia, from a one-link document (it decides singular
    cases exactly)."""
    origin = inertial.find("origin")
    parts = [ElementTree.tostring(origin, encoding="unicode") if origin is not None else "",
             '<mass value="1"/>', ElementTree.tostring(inertia, encoding="unicode")]
    document = f'<robot name="check"><link name="body"><inertial>{"".join(parts)}</inertial></link></robot>'
    try:
        velkor.Robot.from_urdf_string(document)
    except (velkor.VelkorError, ValueError) as error:
        return str(error).endswith("inertia must be positive semi-definite")
    return False


def _check_xacro(document: _Document, findings: list[Finding]) -> None:
    fix = "expand the file first: xacro robot.urdf.xacro > robot.urdf"

    # read: the loader reads this element (substitutions in visuals, collisions, gazebo or
    # transmission blocks do not stop it loading, so they are warnings there)
    pending = [(document.root, "robot", True)]
    while pending:
        element, where, read = pending.pop()
        if _is_xacro(element):
            findings.append(Finding("error", document.line(element), where,
                                    f"xacro element <{element.tag}> left in the file", fix))
            continue  # its contents are xacro's business
        for attribute, value in element.attrib.items():
            if "${" in value or "$(" in value:
                findings.append(Finding(
                    "error" if read else "warning", document.line(element), where,
                    f"attribute '{attribute}' of <{element.tag}> is an unexpanded xacro substitution: {value!r}", fix))
        for child in reversed(list(element)):  # popped in document order
            if element is document.root:
                name = child.get("name")
                child_where = f"{child.tag} '{name}'" if name is not None and not _is_xacro(child) else "robot"
                pending.append((child, child_where, child.tag in ("link", "joint")))
            else:
                pending.append((child, where, read and child.tag not in ("visual", "collision")))


MOVING_JOINTS = ("revolute", "continuous", "prismatic")


def _mimic_problem(name: str, leader: str | None, by_name: dict, in_cycles: set[str]) -> str | None:
    """Why no loader option accepts the coupling of joint `name` to `leader`, or None. The joints
    of a cycle found are added to `in_cycles`."""
    if leader is None:
        return "has no joint attribute"
    if leader == name:
        return "follows itself"
    if leader not in by_name:
        return f"follows '{leader}', which is not a joint of this file"
    kind = by_name[leader].get("type")
    if kind not in MOVING_JOINTS:
        return f"follows '{leader}', a {kind} joint; a leader must be revolute, continuous or prismatic"
    seen, current = {name, leader}, by_name[leader]
    while (mimic := current.find("mimic")) is not None and (after := mimic.get("joint")) in by_name:
        if after == name:
            in_cycles.update(seen)
            return f"follows '{leader}', whose mimic chain leads back to '{name}'"
        if after in seen:
            break  # a cycle further on, reported at its own joints
        seen.add(after)
        current = by_name[after]
    return None


def _check_mimic(document: _Document, joints: list, findings: list[Finding]) -> None:
    by_name = {joint.get("name"): joint for joint in joints}
    in_cycles: set[str] = set()  # a cycle is reported once, at its first joint in the file
    for joint in joints:
        name = joint.get("name")
        if name in in_cycles:
            continue
        for mimic in joint.findall("mimic"):
            leader = mimic.get("joint")
            multiplier, offset = mimic.get("multiplier", "1"), mimic.get("offset", "0")
            where = f"joint '{name}'"
            if joint.get("type") == "fixed":
                findings.append(Finding(
                    "error", document.line(mimic), where,
                    "mimic element on a fixed joint: it couples nothing, but the default loader refuses it",
                    'load with mimic="independent" (velkor info --mimic independent FILE): the joint stays '
                    "fixed and is not listed in robot.mimic_joints; or remove the <mimic> element"))
                continue
            problem = _mimic_problem(name, leader, by_name, in_cycles)
            if problem is not None:
                findings.append(Finding(
                    "error", document.line(mimic), where,
                    f"mimic joint: {problem}; no loader option accepts this coupling",
                    "make joint= name a revolute, continuous or prismatic joint that does not follow this "
                    "one, or remove the <mimic> element"))
                continue
            findings.append(Finding(
                "error", document.line(mimic), where,
                f"mimic joint: follows '{leader}' with multiplier {multiplier} and offset {offset}; "
                "the default loader refuses mimic joints",
                f"load with mimic=\"independent\" (velkor info --mimic independent FILE): the joint becomes an "
                f"ordinary degree of freedom and robot.mimic_joints gives the coupling to keep yourself; "
                f"or remove the <mimic> element"))


def _check_inertias(document: _Document, links: list, findings: list[Finding]) -> None:
    import numpy as np

    for link in links:
        inertial = link.find("inertial")
        inertia = None if inertial is None else inertial.find("inertia")
        matrix = None if inertia is None else _inertia_matrix(inertia)
        if matrix is None:
            continue
        where = f"link '{link.get('name')}'"
        moments = np.linalg.eigvalsh(matrix)
        if _library_refuses_inertia(inertial, inertia):
            findings.append(Finding(
                "error", document.line(inertia), where,
                f"inertia is indefinite (smallest eigenvalue {moments[0]:.6g}); "
                "the loader requires a positive semi-definite inertia",
                "recompute the inertia of this link from its geometry and mass (a CAD tool or the solid's "
                "formula); a link that is only a frame can drop its <inertial>"))
            continue
        a, b, c = (0.0 if abs(m) < 1e-12 * moments[2] else m for m in moments)  # rounding noise
        if c > 0 and a + b < c - TRIANGLE_TOLERANCE * c:
            findings.append(Finding(
                "warning", document.line(inertia), where,
                f"principal moments {a:.6g}, {b:.6g}, {c:.6g} violate the triangle inequality "
                f"({a:.6g} + {b:.6g} < {c:.6g}): no physical body has this inertia",
                "recompute the inertia from the link's geometry; check for swapped or mistyped entries"))


def _check_structure(document: _Document, links: list, joints: list, findings: list[Finding]) -> None:
    by_name = {link.get("name"): link for link in links if link.get("name") is not None}
    children: dict[str, list] = {}
    parents = set()
    for joint in joints:
        parent, child = joint.find("parent"), joint.find("child")
        if parent is None or child is None:
            continue  # the loader names it
        parents.add(parent.get("link"))
        children.setdefault(parent.get("link"), []).append(joint)
    child_names = {child.get("link") for joint in joints if (child := joint.find("child")) is not None}

    # massless floating roots
    roots = [name for name in by_name if name not in child_names]
    if len(roots) == 1 and _mass(by_name[roots[0]]) == 0.0:
        root = roots[0]
        carried, group, seen = 0.0, [], {root}
        stack = [root]
        while stack:
            for joint in children.get(stack.pop(), []):
                child = joint.find("child").get("link")
                if joint.get("type") == "fixed" and child in by_name and child not in seen:
                    seen.add(child)
                    stack.append(child)
                    group.append(child)
                    carried += _mass(by_name[child]) or 0.0
        if carried > 0:
            shown = ", ".join(group[:3]) + (f" and {len(group) - 3} more" if len(group) > 3 else "")
            fix = (f"load with massless_root=\"allow\" (velkor info --floating --massless-root allow FILE): "
                   f"the links fixed to it ({shown}) carry {carried:g} kg, so the option helps")
        else:
            fix = ("massless_root=\"allow\" would not help: no link fixed to it carries mass; give the root "
                   "link the inertial of the body it stands for")
        findings.append(Finding(
            "floating", document.line(by_name[root]), f"link '{root}'",
            "massless root link: fine for a fixed base (Robot), but a floating base (FloatingRobot) "
            "refuses it by default", fix))

    # zero-mass moving leaves
    for joint in joints:
        child = joint.find("child")
        name = None if child is None else child.get("link")
        if (joint.get("type", "fixed") != "fixed" and name in by_name and name not in parents
                and _mass(by_name[name]) == 0.0):
            findings.append(Finding(
                "warning", document.line(by_name[name]), f"link '{name}'",
                f"link without mass at the end of {joint.get('type')} joint '{joint.get('name')}': "
                "little or nothing resists that joint, so forward dynamics can find a singular mass matrix",
                f"make joint '{joint.get('name')}' fixed if the link only marks a frame, "
                "or give the link its real <inertial>"))


def lint(document: _Document) -> list[Finding]:
    """Every problem found in a parsed URDF document, in file order."""
    findings: list[Finding] = []
    root = document.root
    if root.tag != "robot":
        findings.append(Finding("error", document.line(root), "robot",
                                f"the document element is <{root.tag}>, not <robot>", "a URDF file holds one <robot>"))
        return findings
    links, joints = root.findall("link"), root.findall("joint")
    _check_xacro(document, findings)
    _check_mimic(document, joints, findings)
    _check_inertias(document, links, findings)
    _check_structure(document, links, joints, findings)
    findings.sort(key=lambda f: f.line or 0)
    return findings


def _check_file(path: str) -> bool:
    """Print every finding of one file and the loader's verdict; True when it loads with defaults."""
    try:
        data = _read(path)
    except _Unreadable as error:
        _say(f"{path}: error: cannot read the file: {error.reason}")
        return False
    try:
        findings = lint(_Document(data))
    except expat.ExpatError as error:
        findings = [Finding("error", error.lineno, "document",
                            f"not well-formed XML: {expat.ErrorString(error.code)} (column {error.offset + 1})",
                            "fix the XML syntax at that place")]
    except RecursionError:
        findings = [Finding("error", None, "document", "elements nested too deeply to examine",
                            "a URDF file nests a few levels only; look for unclosed or generated elements")]
    for finding in findings:
        location = f"{path}:{finding.line}" if finding.line else path
        _say(f"{location}: {SEVERITIES[finding.severity]}: {finding.where}: {finding.message}")
        _say(f"    fix: {finding.fix}")
    try:
        _from_bytes(data, floating=False).close()
    except (velkor.VelkorError, ValueError, MemoryError) as error:
        _say(f"{path}: does not load with defaults: {_reason(error)}")
        return False
    counts = {severity: sum(f.severity == severity for f in findings) for severity in SEVERITIES}
    _say(f"{path}: loads with defaults (Robot); {counts['error']} error(s), "
         f"{counts['floating']} floating-base error(s), {counts['warning']} warning(s)")
    return True


def _check(args: argparse.Namespace) -> int:
    failures = 0
    for index, path in enumerate(args.files):
        if index:
            _say()
        failures += not _check_file(path)
    if len(args.files) > 1:
        _say()
        _say(f"{len(args.files)} files checked, {failures} do not load with defaults")
    return 1 if failures else 0


# ---- bench ----

def median_ns(call: Callable[[], object], calls: int, repeats: int = 5) -> float:
    """Median over `repeats` batches of the time of one call, in ns, after a short warm-up."""
    for _ in range(min(calls, 100)):
        call()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            call()
        samples.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples)


def _bench_calls(robot, floating: bool) -> dict[str, Callable[[], Callable[[], object]]]:
    """Every computing method as a preparation that binds its arguments and allocates its out=
    array, then returns the call to time: a method too large for memory fails on its own."""
    import numpy as np

    rng = np.random.default_rng(0)
    n, target = robot.joint_count, robot.link_count - 1
    q = robot.random_configuration(rng)
    qd, qdd = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    forces = rng.uniform(-1, 1, robot.generalized_count)
    motion = velkor.Twist(angular=[0.1, -0.2, 0.3], linear=[0.2, 0.1, -0.1])
    lead = ((velkor.BaseState(frame=velkor.Pose(translation=[0.0, 0.0, 0.45]), velocity=motion,
                              acceleration=motion),) if floating else ())

    def plain(method: Callable, *arguments) -> Callable[[], Callable[[], object]]:
        return lambda: lambda: method(*arguments)

    def into(method: Callable, *arguments) -> Callable[[], Callable[[], object]]:
        def prepare() -> Callable[[], object]:
            out = np.empty_like(method(*arguments))
            return lambda: method(*arguments, out=out)
        return prepare

    def inverse_kinematics() -> Callable[[], object]:
        desired, start, out = robot.forward_kinematics(q, target), q + 0.05, np.empty(n)
        return lambda: robot.inverse_kinematics(start, target, desired, None, out)

    calls = {
        "forward_kinematics_all": into(robot.forward_kinematics_all, *lead, q),
        "forward_kinematics": plain(robot.forward_kinematics, *lead, q, target),
        "jacobian": into(robot.jacobian, *lead, q, target),
        "jacobian_derivative": into(robot.jacobian_derivative, *lead, q, qd, target),
        "forward_velocity_kinematics": plain(robot.forward_velocity_kinematics, *lead, q, qd, target),
        "forward_acceleration_kinematics": plain(robot.forward_acceleration_kinematics, *lead, q, qd, qdd, target),
        "mass_matrix": into(robot.mass_matrix, *lead, q),
        "gravity": into(robot.gravity, *lead, q, None),
        "inverse_dynamics": into(robot.inverse_dynamics, *lead, q, qd, qdd, None),
        "velocity_product_forces": into(robot.velocity_product_forces, *lead, q, qd),
        "forward_dynamics": into(robot.forward_dynamics, *lead, q, qd, forces, None),
    }
    if not floating:
        calls["inverse_kinematics"] = inverse_kinematics
    return calls


def _bench(args: argparse.Namespace) -> int:
    loaded = _load_argument(args)
    if loaded is None:
        return 1
    robot, floating, label = loaded
    with robot:
        target = robot.link_count - 1
        _say(f"robot {robot.name} ({_base_kind(floating)}) from {label}: {robot.joint_count} DOF, "
             f"{robot.link_count} links, target link {target} {_name(robot.link_names[target])}")
        solver = "" if floating else f" (inverse_kinematics: {max(1, args.calls // 20)})"
        _say(f"  median ns per call over 5 repeats of {args.calls} calls{solver}")
        try:
            calls = _bench_calls(robot, floating)
        except (velkor.VelkorError, ValueError, MemoryError) as error:
            _say(f"velkor: {args.robot}: {_reason(error)}", error=True)
            return 1
        failed = False
        for name, prepare in calls.items():
            count = max(1, args.calls // 20) if name == "inverse_kinematics" else args.calls
            try:
                figure = f"{median_ns(prepare(), count):>12.0f}"
            except (velkor.VelkorError, ValueError, MemoryError) as error:
                figure, failed = f"failed: {_reason(error)}", True
            _say(f"  {name:<34}{figure}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
