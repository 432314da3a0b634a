"""`velkor check`: every problem of a URDF file with a suggested fix, led by the loader's own
verdict when it refuses the file.

The file is read once and parsed with the line of every element (`_Document`); `lint` runs the
rules on it and returns its findings in file order. When the loader refuses the file, its message
becomes the first finding: `_placed` finds the line it points at and the fix, and a finding that
says the same thing at the same place gives the verdict its detail instead of being printed twice.
"""

import contextlib
import difflib
import math
import re
import xml.etree.ElementTree as ElementTree
from collections.abc import Sequence
from dataclasses import dataclass
from xml.parsers import expat

import velkor
from velkor._cli_io import MAX_INERTIA_TOLERANCE, _from_bytes, _read, _reason, _say, _Unreadable

# ---- findings ----

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
    kind: str = ""   # what it is about ("mimic", "inertia", "xacro", "xml", ...): the loader's verdict of the
                     # same kind at the same line takes its place


def _without_declarations(data: bytes) -> bytes:
    """`data` with every XML declaration before the document element blanked out, lines and columns
    kept. The loader reads UTF-8 whatever a declaration says and takes one after blank lines or
    comments, where expat refuses it ("XML or text declaration not at start of entity")."""
    at = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    pieces, kept = [], 0  # built once: a prolog of many declarations stays linear
    while True:
        while data[at:at + 1] in (b" ", b"\t", b"\r", b"\n"):
            at += 1
        close = b"?>" if data.startswith(b"<?", at) else b"-->" if data.startswith(b"<!--", at) else None
        end = -1 if close is None else data.find(close, at)
        if end < 0:
            break
        end += len(close)
        if data.startswith(b"<?xml", at) and data[at + 5:at + 6] in (b" ", b"\t", b"\r", b"\n"):
            pieces += [data[kept:at], re.sub(rb"[^\r\n]", b" ", data[at:end])]
            kept = end
        at = end
    return b"".join(pieces) + data[kept:] if pieces else data


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
        parser.Parse(_without_declarations(data), True)
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

    # read: the loader reads this element (substitutions in gazebo or transmission blocks, a
    # visual's or collision's own name and a texture do not stop it loading: warnings there)
    pending = [(document.root, "robot", True)]
    while pending:
        element, where, read = pending.pop()
        if _is_xacro(element):
            findings.append(Finding("error", document.line(element), where,
                                    f"xacro element <{element.tag}> left in the file", fix, "xacro"))
            continue  # its contents are xacro's business
        for attribute, value in element.attrib.items():
            if "${" in value or "$(" in value:
                unread = element.tag == "texture" or (element.tag in ("visual", "collision") and attribute == "name")
                findings.append(Finding(
                    "error" if read and not unread else "warning", document.line(element), where,
                    f"attribute '{attribute}' of <{element.tag}> is an unexpanded xacro substitution: {value!r}", fix,
                    "xacro"))
        for child in reversed(list(element)):  # popped in document order
            if element is document.root:
                name = child.get("name")
                child_where = f"{child.tag} '{name}'" if name is not None and not _is_xacro(child) else "robot"
                pending.append((child, child_where, child.tag in ("link", "joint")))
            else:
                pending.append((child, where, read))


# Attributes the loader reads as numbers: (child element, attributes, numbers in each, required).
READ_NUMBERS = {
    "link": (("inertial/origin", ("xyz", "rpy"), 3, False), ("inertial/mass", ("value",), 1, True),
             ("inertial/inertia", INERTIA_NAMES, 1, True)),
    "joint": (("origin", ("xyz", "rpy"), 3, False), ("axis", ("xyz",), 3, False),
              ("limit", ("lower", "upper", "velocity"), 1, False)),
}


def _reads_as_numbers(text: str, count: int) -> bool:
    """Whether the loader reads `text` as `count` numbers (C syntax; inf and nan are numbers to it)."""
    words = text.split() if count > 1 else [text.strip(" \t\r\n")]
    if len(words) != count:
        return False
    for word in words:
        if not word.isascii() or "_" in word:  # Python's float() takes both, C does not
            return False
        try:
            float(word)
        except ValueError:
            return False
    return True


def _number_fix(attribute: str, value: str, count: int) -> str:  # count: 1 or 3
    """How to write `count` numbers the loader could not read, with a did-you-mean when a decimal
    comma, commas between numbers or trailing punctuation are all that is wrong."""
    text, hint = value.strip(), ""
    if count == 1:
        if len(text) <= 64:  # a guess is for a typo, not for a page of text
            if _number(text.replace(",", ".")) is not None:
                hint = text.replace(",", ".")
            for end in range(len(text) - 1, 0, -1):
                if not hint and _number(text[:end]) is not None and not any(c.isalnum() for c in text[end:]):
                    hint = text[:end]
        return (f"write {attribute} as one number in C syntax ('.' as the decimal point, no units)"
                + (f"; did you mean {attribute}=\"{hint}\"?" if hint else ""))
    words = text.replace(",", " ").split()
    numbers = all(_number(word) is not None for word in words)
    if numbers and len(words) == count:
        hint = f"; did you mean {attribute}=\"{' '.join(words)}\"?"
    elif numbers and words:
        hint = f" (it holds {len(words)})"
    return f"write {attribute} as three numbers separated by spaces{hint}"


def _check_numbers(document: _Document, findings: list[Finding]) -> None:
    """Numbers the loader cannot read; it stops at the first one, this reports them all."""
    for tag, places in READ_NUMBERS.items():
        for element in document.root.findall(tag):
            where = f"{tag} '{element.get('name')}'"
            for path, attributes, count, required in places:
                child = element.find(path)
                if child is None:
                    continue
                name = path.rpartition("/")[2]
                for attribute in attributes:
                    value = child.get(attribute)
                    if value is None:
                        if required:
                            findings.append(Finding("error", document.line(child), where,
                                                    f"<{name}> has no '{attribute}' attribute",
                                                    f'give <{name}> its {attribute}="..."', "value"))
                        continue
                    if "${" in value or "$(" in value or _reads_as_numbers(value, count):
                        continue  # xacro leftovers are reported as such
                    problem = "is not a number" if count == 1 else "must hold three numbers"
                    findings.append(Finding("error", document.line(child), where,
                                            f"attribute '{attribute}' of <{name}> {problem}: '{value}'",
                                            _number_fix(attribute, value, count), "value"))


MOVING_JOINTS = ("revolute", "continuous", "prismatic")


def _limit_problem(joint) -> tuple[str, str] | None:
    """(message, fix) when the loader refuses the <limit> of a moving joint, None otherwise (and
    for numbers it cannot read at all, which _check_numbers reports)."""
    limit = joint.find("limit")
    if joint.get("type") not in MOVING_JOINTS or limit is None:
        return None
    text = {name: limit.get(name, "0") for name in ("lower", "upper", "velocity")}
    if not all(_reads_as_numbers(value, 1) for value in text.values()):
        return None
    lower, upper, velocity = (float(text[name]) for name in ("lower", "upper", "velocity"))
    if not (math.isfinite(velocity) and velocity >= 0):
        return (f"<limit> velocity={text['velocity']} is {'negative' if velocity < 0 else 'not finite'}",
                'give <limit velocity="..."> a finite value, zero or more (rad/s or m/s)')
    if joint.get("type") == "continuous":
        return None
    if not (math.isfinite(lower) and math.isfinite(upper)):
        return (f"<limit> lower={text['lower']}, upper={text['upper']} is not finite",
                'give finite lower and upper values; a revolute joint that turns without end is type="continuous"')
    if lower > upper:
        return (f"<limit> lower={text['lower']} is above upper={text['upper']}",
                "swap them, or give the joint's real range if the file means no limits (some simulators read "
                "lower > upper so)")
    return None


def _check_limits(document: _Document, joints: list, findings: list[Finding]) -> None:
    for joint in joints:
        if problem := _limit_problem(joint):
            findings.append(Finding("error", document.line(joint.find("limit")), f"joint '{joint.get('name')}'",
                                    *problem, "value"))


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
                    'load with mimic="couple" or mimic="independent" (velkor info --mimic couple FILE): the joint '
                    "stays fixed and is not listed in robot.mimic_joints; or remove the <mimic> element", "mimic"))
                continue
            problem = _mimic_problem(name, leader, by_name, in_cycles)
            if problem is not None:
                findings.append(Finding(
                    "error", document.line(mimic), where,
                    f"mimic joint: {problem}; no loader option accepts this coupling",
                    "make joint= name a revolute, continuous or prismatic joint that does not follow this "
                    "one, or remove the <mimic> element", "mimic"))
                continue
            findings.append(Finding(
                "error", document.line(mimic), where,
                f"mimic joint: follows '{leader}' with multiplier {multiplier} and offset {offset}; "
                "the default loader refuses mimic joints",
                'load with mimic="couple" (velkor info --mimic couple FILE): the joint follows its leader as '
                'the file says and the robot has one degree of freedom less; or mimic="independent": the joint '
                "becomes an ordinary degree of freedom and robot.mimic_joints gives the coupling to keep "
                "yourself; or remove the <mimic> element", "mimic"))


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
        # only a matrix near the semi-definite edge needs the loader's exact verdict
        near_edge = not moments[0] > 1e-6 * abs(moments[2])
        if near_edge and _library_refuses_inertia(inertial, inertia):
            findings.append(Finding(
                "error", document.line(inertia), where,
                f"inertia is indefinite (smallest eigenvalue {moments[0]:.6g}); "
                "the loader requires a positive semi-definite inertia",
                "recompute the inertia of this link from its geometry and mass (a CAD tool or the solid's "
                "formula); a link that is only a frame can drop its <inertial>", "inertia"))
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
                                f"the document element is <{root.tag}>, not <robot>", "a URDF file holds one <robot>",
                                "root"))
        return findings
    links, joints = root.findall("link"), root.findall("joint")
    if not links and not any(map(_is_xacro, root)):  # xacro input has its links in macros
        others = sorted({child.tag for child in root if isinstance(child.tag, str)} - {"joint"})
        held = f"; it holds {', '.join(f'<{tag}>' for tag in others[:3])} only" if others else ""
        findings.append(Finding(
            "error", document.line(root), "robot", f"the robot has no <link> element: there is nothing to load{held}",
            "describe the robot's links and the joints between them; a file left this empty is usually the output "
            "of a xacro run that failed: expand the .xacro file again", "links"))
    _check_xacro(document, findings)
    _check_numbers(document, findings)
    _check_limits(document, joints, findings)
    _check_mimic(document, joints, findings)
    _check_inertias(document, links, findings)
    _check_structure(document, links, joints, findings)
    findings.sort(key=lambda f: f.line or 0)
    return findings


# ---- the loader's verdict ----

PARSE_PREFIX, MODEL_PREFIX = "failed to parse URDF: ", "invalid robot model: "
EXPAND = "expand the file first: xacro robot.urdf.xacro > robot.urdf"
LOADED_TYPES = ("revolute", "continuous", "prismatic", "fixed")


def _spaced(text: str) -> str:
    # expat turns tabs and line ends written literally in an attribute into spaces
    return re.sub(r"[\t\r\n]", " ", text)


def _encoded(text: str) -> bytes:
    return re.escape(text.encode("utf-8", "surrogateescape"))


class _Places:
    """Lines of the elements a loader message names: from the parsed document, or, when the
    checker's XML parser refused the file, from the first match in its bytes."""

    def __init__(self, data: bytes, document: _Document | None):
        self.data, self.document = data, document
        self.root = document.root if document is not None and document.root.tag == "robot" else None

    def at(self, offset: int) -> int:
        return self.data.count(b"\n", 0, offset) + 1

    def search(self, pattern: bytes) -> int | None:
        found = re.search(pattern, self.data)
        return None if found is None else self.at(found.start())

    def top(self, tag: str) -> list:
        """The <tag> children of <robot>, in file order."""
        return [] if self.root is None else self.root.findall(tag)

    def line(self, element) -> int | None:
        return None if self.document is None else self.document.line(element)

    def robot_line(self) -> int | None:
        return self.line(self.root) if self.root is not None else self.search(rb"<robot\b")

    def named(self, tag: str, name: str):
        return next((e for e in self.top(tag) if _spaced(e.get("name", "")) == _spaced(name)), None)

    def find(self, tag: str, name: str, child: str | None = None, attribute: str = "",
             value: str | None = None) -> int | None:
        """Line of the <tag name=...> element, or of its `child` element as the loader reads it
        (the one whose `attribute` holds `value`, when given), else of the element itself."""
        element = self.named(tag, name)
        if element is not None:
            if child is not None:
                inertial = element.find("inertial")
                readable = [*element, *(inertial if inertial is not None and tag == "link" else [])]
                candidates = [e for e in readable if e.tag == child]
                chosen = [e for e in candidates if value is None or _spaced(e.get(attribute, "")) == _spaced(value)]
                if chosen or candidates:
                    return self.line((chosen or candidates)[0])
            return self.line(element)
        start = re.compile(rb"<" + tag.encode() + rb"\b[^>]*?\bname\s*=\s*([\"'])" + _encoded(name) + rb"\1").search(
            self.data)
        if start is None:
            return self.robot_line()
        if child is not None:
            pattern = rb"<" + _encoded(child) + rb"\b"
            if value is not None:
                pattern += rb"[^>]*?\b" + _encoded(attribute) + rb"\s*=\s*([\"'])" + _encoded(value) + rb"\1"
            inner = re.compile(pattern).search(self.data, start.start())
            end = self.data.find(b"</" + tag.encode(), start.start())
            if inner is not None and (end < 0 or inner.start() < end):
                return self.at(inner.start())
        return self.at(start.start())

    def joints(self) -> list[tuple[object, str | None, str | None]]:
        """(joint, parent link, child link) of every joint."""
        return [(joint, None if (p := joint.find("parent")) is None else p.get("link"),
                 None if (c := joint.find("child")) is None else c.get("link")) for joint in self.top("joint")]


def _shown(elements: list, places: _Places, limit: int = 3) -> str:
    """'a' (line 3), 'b' (line 7) and 2 more."""
    names = [f"'{e.get('name')}' (line {places.line(e)})" for e in elements[:limit]]
    more = f" and {len(elements) - limit} more" if len(elements) > limit else ""
    return ", ".join(names) + more


def _structure_verdict(reason: str, places: _Places) -> tuple[int | None, str, str] | None:
    """(line, where, fix) of a verdict on how links and joints connect, or None."""
    links, joints = places.top("link"), places.joints()
    if reason in ("link names must be unique", "joint names must be unique"):
        tag = reason.split()[0]
        seen: dict[str, object] = {}
        for element in places.top(tag):
            name = element.get("name")
            if name in seen:
                return (places.line(element), f"{tag} '{name}'",
                        f"rename one of the {tag}s named '{name}' (the other one is at line "
                        f"{places.line(seen[name])})" + (" and the joints that refer to it" if tag == "link" else ""))
            seen[name] = element
        return None
    if match := re.fullmatch(r"link (.*) is reached more than once", reason):
        name = match[1]
        parents = [joint for joint, _, child in joints if child is not None and _spaced(child) == _spaced(name)]
        if len(parents) < 2:
            return None
        return (places.line(parents[1]), f"joint '{parents[1].get('name')}'",
                f"link '{name}' is the child of joints {_shown(parents, places)}; a URDF file describes a tree, so "
                "keep one of them (a closed chain is cut open at one joint)")
    if match := re.fullmatch(r"expected one root link, found (\d+)", reason):
        if not links:
            return places.robot_line(), "robot", ("describe the robot's links and the joints between them; a file "
                                                  "with no <link> holds no robot")
        children = {_spaced(child) for _, _, child in joints if child is not None}
        roots = [link for link in links if _spaced(link.get("name", "")) not in children]
        if len(roots) >= 2:
            return (places.line(roots[1]), f"link '{roots[1].get('name')}'",
                    f"links {_shown(roots, places)} have no parent joint: join every link but one (the root) to the "
                    "tree with a joint, or delete the links that belong to no robot")
        if roots or not joints:
            return None
        return (places.line(joints[0][0]), f"joint '{joints[0][0].get('name')}'",
                "every link is the child of a joint, so the joints close a loop: remove the joint whose child is "
                "the link meant as the root")
    if reason == "joint graph is disconnected or cyclic":
        by_parent: dict[str, list[str]] = {}
        for _, parent, child in joints:
            by_parent.setdefault(_spaced(parent or ""), []).append(_spaced(child or ""))
        children = {_spaced(child) for _, _, child in joints if child is not None}
        stack = [_spaced(link.get("name", "")) for link in links if _spaced(link.get("name", "")) not in children]
        reached = set(stack)
        while stack:
            for child in by_parent.get(stack.pop(), []):
                if child not in reached:
                    reached.add(child)
                    stack.append(child)
        cut_off = [link for link in links if _spaced(link.get("name", "")) not in reached]
        if not cut_off:
            return None
        return (places.line(cut_off[0]), f"link '{cut_off[0].get('name')}'",
                f"links {_shown(cut_off, places)} hang from each other in a closed loop that the root does not "
                "reach: remove one joint of the loop and attach the links to the tree")
    return None


def _placed(text: str, places: _Places, syntax: Finding | None) -> tuple[int | None, str, str, str]:
    """(line, where, fix, kind) of the loader's message `text`: where in the file it points and
    what to change there."""
    reason = text.removeprefix(PARSE_PREFIX).removeprefix(MODEL_PREFIX)
    data = places.data

    # the document as a whole
    if reason == "stream did not contain valid UTF-8":
        try:
            data.decode("utf-8")
            line = None
        except UnicodeDecodeError as error:
            line = places.at(error.start)
        return line, "document", ("save the file as UTF-8: the text at that line is in another encoding "
                                  "(iconv -f latin1 -t utf-8 converts a Latin-1 file)"), "xml"
    if reason == "document contains a NUL character":
        return places.at(max(data.find(b"\0"), 0)), "document", (
            "remove the NUL bytes; a file full of them is UTF-16 or binary: save it as UTF-8 text"), "xml"
    if reason.startswith("DOCTYPE declarations"):
        return places.search(rb"<!DOCTYPE"), "document", (
            "remove the <!DOCTYPE ...> declaration with its [...] part and write out the entities it defines "
            "where they are used"), "xml"
    if match := re.match(r"Error=(\w+) .*?Line number=(\d+)", reason):
        if match[1] == "XML_ERROR_EMPTY_DOCUMENT":
            return 1, "document", "the file holds no XML element: is it the robot's URDF file?", "xml"
        return int(match[2]) or None, "document", "fix the XML syntax at that place", "xml"
    if reason == "the document must hold exactly one top-level element":
        line = syntax.line if syntax is not None else places.search(rb"</robot\s*>")
        return line, "document", ("remove what follows </robot> (text or a second top-level element): a URDF file "
                                  "holds one <robot> element"), "xml"
    if reason == "no <robot> element at the top of the document":
        line = places.line(places.document.root) if places.document is not None else places.search(rb"<[A-Za-z_]")
        return line, "robot", 'a URDF file holds one <robot name="..."> element around its links and joints', "root"
    if match := re.match(r"the document uses xacro \(<(.*?)>\)", reason):
        elements = [] if places.root is None else [e for e in places.root.iter(match[1]) if e is not places.root]
        line = places.line(elements[0]) if elements else places.search(rb"<" + _encoded(match[1]) + rb"\b")
        return line, "robot", EXPAND, "xacro"

    # names
    if match := re.fullmatch(r"a <(robot|link|joint)> element has no name", reason):
        tag = match[1]
        if tag == "robot":
            return places.robot_line(), "robot", 'give <robot> a name: <robot name="..."> (the file\'s name, say)', "name"
        nameless = [e for e in places.top(tag) if e.get("name") is None]
        line = places.line(nameless[0]) if nameless else places.search(rb"<" + tag.encode() + rb"(?![^>]*\bname\s*=)")
        return line, "robot", f'give the <{tag}> a name="..." attribute, unique among the {tag}s', "name"
    if match := re.match(r"the (robot|link|joint) name '(.*)' is an unexpanded xacro substitution;", reason):
        tag, name = match[1], match[2]
        line = places.robot_line() if tag == "robot" else places.find(tag, name)
        return line, "robot", EXPAND, "xacro"

    # a link's <visual> or <collision>: the element (or the attribute) the reader names in it
    if match := re.fullmatch(r"link (.*?): <(visual|collision)>:? (.*)", reason, re.S):
        name, shape, detail = match.groups()
        attribute = re.search(r"attribute '(\w+)' of <(\w+)> .*?: '(.*?)'(?:;|$)", detail, re.S)
        element, line = places.named("link", name), None
        if element is not None:
            tag = attribute[2] if attribute else shape
            line = next((places.line(e) for e in element.iter(tag)
                         if attribute is None or e.get(attribute[1], "") == attribute[3]), None)
        line = line or places.find("link", name, shape)
        if "is an unexpanded xacro substitution" in detail:
            return line, f"link '{name}'", EXPAND, "xacro"
        return line, f"link '{name}'", _shape_fix(shape), "shape"

    # one element: link NAME: ..., joint NAME: ... (reading), link NAME ..., joint NAME ... (building)
    if match := re.fullmatch(r"(link|joint) (.*): attribute '(\w+)' of <(\w+)> (is not a number|must hold three "
                             r"numbers|is an unexpanded xacro substitution): '(.*)'(?:;.*)?", reason, re.S):
        tag, name, attribute, child, problem, value = match.groups()
        line, where = places.find(tag, name, child, attribute, value), f"{tag} '{name}'"
        if problem == "is an unexpanded xacro substitution":
            return line, where, EXPAND, "xacro"
        return line, where, _number_fix(attribute, value, 1 if problem == "is not a number" else 3), "value"
    if match := re.fullmatch(r"link (.*): <inertial> has no <mass> element", reason):
        return (places.find("link", match[1], "inertial"), f"link '{match[1]}'",
                'add <mass value="..."/> (in kg) to the <inertial>; a link that is only a frame can drop its '
                "<inertial>", "value")
    if match := re.fullmatch(r"(link|joint) (.*): <(\w+)> has no '(\w+)' attribute", reason):
        tag, name, child, attribute = match.groups()
        return places.find(tag, name, child), f"{tag} '{name}'", f'give <{child}> its {attribute}="..."', "value"
    if match := re.fullmatch(r"joint (.*) has no <(parent|child) link=\.\.\.> element", reason):
        name, child = match.groups()
        role = "the link the joint hangs from" if child == "parent" else "the link the joint moves"
        return (places.find("joint", name, child), f"joint '{name}'",
                f'add <{child} link="..."/> naming {role}', "structure")
    if match := re.fullmatch(r"joint (.*) has no type", reason):
        return (places.find("joint", match[1]), f"joint '{match[1]}'",
                f"add type=\"...\" to the joint: one of {', '.join(LOADED_TYPES)}", "type")
    if match := re.fullmatch(r"joint (.*) has unknown type '(.*)'", reason, re.S):
        name, kind = match.groups()
        close = difflib.get_close_matches(kind.lower(), [*LOADED_TYPES, "floating", "planar", "spherical"], 1) if len(
            kind) <= 100 else []
        hint = f"; did you mean type=\"{close[0]}\"?" if close else ""
        return (places.find("joint", name), f"joint '{name}'",
                f"use one of the types the loader knows: {', '.join(LOADED_TYPES)}{hint}", "type")
    if match := re.fullmatch(r"joint (.*) uses unsupported type (floating|planar|spherical)", reason):
        name, kind = match.groups()
        fix = {"floating": "a floating joint above the robot's root stands for a free base: remove it and the link "
                           "above it, and load the rest as a FloatingRobot (velkor --floating FILE)",
               "planar": "replace it by a chain of two prismatic joints and one revolute joint, joined by massless "
                         "links",
               "spherical": "replace it by a chain of three revolute joints with orthogonal axes through one point, "
                            "joined by massless links"}[kind]
        return places.find("joint", name), f"joint '{name}'", fix, "type"
    if match := re.fullmatch(r"joint (.*) has an invalid axis", reason):
        return (places.find("joint", match[1], "axis"), f"joint '{match[1]}'",
                '<axis xyz="..."> must give a direction: three finite numbers, not all zero (xyz="0 0 1", say)', "value")
    if match := re.fullmatch(r"joint (.*) references a missing (parent|child) link", reason):
        name, child = match.groups()
        joint = places.named("joint", name)
        missing = None if joint is None or joint.find(child) is None else joint.find(child).get("link")
        known = [link.get("name", "") for link in places.top("link")]
        close = difflib.get_close_matches(missing, known, 1) if missing is not None and len(missing) <= 100 else []
        fix = (f"no link is named '{missing}'" if missing is not None else f"the {child} link does not exist") + (
            f": did you mean '{close[0]}'?" if close else ": correct the name, or add that link")
        return places.find("joint", name, child), f"joint '{name}'", fix, "structure"
    if structure := _structure_verdict(reason, places):
        return (*structure, "structure" if places.top("link") else "links")
    link_rules = {
        "mass must be finite and non-negative":
            ("mass", "give <mass value> a finite number of kilograms, zero or more", "value"),
        "inertial origin must contain only finite values":
            ("origin", "give the <origin> of the <inertial> finite xyz and rpy values", "value"),
        "inertia must contain only finite values":
            ("inertia", "give every entry of <inertia> a finite value", "value"),
        "inertia must be positive semi-definite":
            ("inertia", "recompute the inertia of this link from its geometry and mass (a CAD tool or the solid's "
                        "formula); a link that is only a frame can drop its <inertial>", "inertia"),
        "mass properties must be finite":
            ("inertial", "the mass, its offset and the inertia are too large to combine: check the units "
                         "(URDF uses kg and m)", "value"),
    }
    joint_rules = {
        "uses an unsupported mimic constraint":
            ("mimic", 'load with mimic="couple" (velkor info --mimic couple FILE) to keep the coupling, or '
                      'mimic="independent" to make the joint an ordinary degree of freedom, or remove the <mimic> '
                      "element", "mimic"),
        "origin must contain only finite values": ("origin", "give <origin> finite xyz and rpy values", "value"),
        "velocity limit must be finite and non-negative":
            ("limit", 'give <limit velocity="..."> a finite value, zero or more (rad/s or m/s)', "value"),
        "position limits must be finite and ordered":
            ("limit", 'give <limit> finite lower and upper values with lower <= upper; a revolute joint that turns '
                      'without end is type="continuous"', "value"),
    }
    for tag, rules in (("link", link_rules), ("joint", joint_rules)):
        for ending, (child, fix, kind) in rules.items():  # a detail the loader may add after the ending is fine
            if (match := re.fullmatch(rf"{tag} (.*?) {re.escape(ending)}(?:[ ;:(].*)?", reason, re.S)):
                return places.find(tag, match[1], child), f"{tag} '{match[1]}'", fix, kind
    if match := re.fullmatch(r"joint (.*) (mimics .*|has a mimic element without a joint attribute|mimic multiplier "
                             r"and offset must be finite)", reason, re.S):
        return (places.find("joint", match[1], "mimic"), f"joint '{match[1]}'",
                "make joint= name a revolute, continuous or prismatic joint that does not follow this one, or remove "
                "the <mimic> element", "mimic")

    # a message this checker has no rule for: the element it names, if any
    for tag in ("link", "joint"):
        for element in places.top(tag):
            name = element.get("name", "")
            if reason.startswith(f"{tag} {name} ") or reason.startswith(f"{tag} {name}:"):
                return places.line(element), f"{tag} '{name}'", "correct this element as the message says", ""
    return places.robot_line(), "robot", "correct the file as the message says", ""


def _verdict(error: BaseException, places: _Places, syntax: Finding | None) -> Finding:
    """The loader's refusal as the first finding of a file: its own words, where they point, a fix."""
    text = _reason(error)
    if isinstance(error, MemoryError):
        return Finding("error", None, "document", text, "the file is too large to load in this memory", "")
    line, where, fix, kind = _placed(text, places, syntax)
    return Finding("error", line, where, text, fix, kind)


def _tolerance_hint(data: bytes) -> str:
    """For a file refused for an inertia: the tolerance that loads it when the defects are roundings."""
    try:
        with _from_bytes(data, False, "independent", inertia_tolerance=MAX_INERTIA_TOLERANCE) as robot:
            worst = max((r.relative_defect for r in robot.repaired_inertias), default=0.0)
    except (velkor.VelkorError, ValueError, MemoryError):
        return ""
    if worst == 0.0:
        return ""
    tolerance = max(1e-12, 10.0 ** math.ceil(math.log10(worst)))
    return (f"; the defect is {worst:.2g} of the robot's largest principal moment, a rounding: "
            f"inertia_tolerance={tolerance:g} loads it (velkor check --inertia-tolerance {tolerance:g} FILE)")


def _mimic_options(data: bytes, inertia_tolerance: float) -> str:
    """Which mimic option loads a file the defaults refuse over its <mimic> elements."""
    loads, refusals = [], {}
    for mimic in ("couple", "independent"):
        try:
            with _from_bytes(data, floating=False, mimic=mimic, inertia_tolerance=inertia_tolerance):
                loads.append(f'mimic="{mimic}"')
        except (velkor.VelkorError, ValueError, MemoryError) as error:
            refusals[mimic] = error
    if loads:
        return f"loads with {' and with '.join(loads)} (Robot)"
    return f'does not load with mimic="couple" either: {_reason(refusals["couple"])}'


def _shape_fix(element: str) -> str:
    return (f"make the <{element}> one <geometry> holding a box (size, 3 numbers), cylinder or capsule (radius, "
            "length), sphere (radius), plane (normal, 3 numbers) or mesh (filename), sizes finite and 0 or more, "
            "and a <color rgba=...> of four numbers from 0 to 1")


def _skipped_shapes(robot, document: _Document | None) -> list[Finding]:
    """A warning for each <visual> or <collision> element the loader left out, at its line."""
    links: dict[str, object] = {}
    if document is not None and document.root.tag == "robot":
        for link in document.root.findall("link"):
            links.setdefault(link.get("name"), link)
    findings = []
    for skipped in robot.skipped_shapes:
        name = robot.link_names[skipped.link]
        link = links.get(name)
        elements = [] if link is None else link.findall(skipped.element)
        at = elements[skipped.index_in_link] if skipped.index_in_link < len(elements) else link
        findings.append(Finding(
            "warning", None if at is None else document.line(at), f"link '{name}'",
            f"<{skipped.element}> left out: {skipped.reason}; the robot loads without it",
            _shape_fix(skipped.element) + ", or remove it", "shape"))
    return findings


def _check_file(path: str, inertia_tolerance: float = 0.0) -> bool:
    """Print the loader's verdict when it refuses the file, then every other finding, then whether
    it loads; True when it loads with defaults."""
    try:
        data = _read(path)
    except _Unreadable as error:
        _say(f"{path}: error: cannot read the file: {error.reason}")
        return False
    document, syntax = None, None
    try:
        document = _Document(data)
        findings = lint(document)
    except expat.ExpatError as error:
        syntax = Finding("warning", error.lineno, "document",
                         f"not well-formed XML: {expat.ErrorString(error.code)} (column {error.offset + 1})",
                         "fix the XML syntax at that place", "xml")
        findings = [syntax]
    except RecursionError:
        findings = [Finding("warning", None, "document", "elements nested too deeply to examine",
                            "a URDF file nests a few levels only; look for unclosed or generated elements", "xml")]
    repairs: list = []
    try:
        with _from_bytes(data, floating=False, inertia_tolerance=inertia_tolerance) as robot:
            repairs = robot.repaired_inertias
            findings += _skipped_shapes(robot, document)
        refusal = None
    except (velkor.VelkorError, ValueError, MemoryError) as error:
        refusal = error
        with contextlib.suppress(velkor.VelkorError, ValueError, MemoryError), \
                _from_bytes(data, False, "independent", inertia_tolerance=inertia_tolerance) as robot:
            findings += _skipped_shapes(robot, document)  # when only the mimic elements stop it
    findings.sort(key=lambda f: f.line or 0)
    repaired = {repair.link: repair for repair in repairs}
    for finding in findings:  # an inertia the tolerance accepts is a warning, no longer an error
        name = finding.where[len("link '"):-1] if finding.where.startswith("link '") else None
        if finding.kind == "inertia" and finding.severity == "error" and name in repaired:
            finding.severity = "warning"
            finding.message += f"; inertia_tolerance={inertia_tolerance:g} loads it with its negative eigenvalues " \
                               "set to zero"
    if refusal is not None:
        verdict = _verdict(refusal, _Places(data, document), syntax)
        # the finding that says the same at the same place gives its detail and fix to the verdict
        twins = [f for f in findings if f.kind == verdict.kind != "" and (
            f.line == verdict.line and f.severity == "error" or f.kind == "xml")]
        twin = next((f for f in twins if f.message in verdict.message), twins[0] if twins else None)
        if twin is not None:
            findings.remove(twin)
            detail = re.sub(r"(;|,) (but )?the (default )?loader (refuses|requires) [^;]*$", "", twin.message)
            if twin.kind != "xacro" and detail not in verdict.message:
                verdict.message += f" — {detail}"
            verdict.fix = twin.fix if twin.kind != "xml" else verdict.fix
        if "inertia must be positive semi-definite" in verdict.message and not inertia_tolerance:
            verdict.fix += _tolerance_hint(data)
        findings.insert(0, verdict)
    if any(finding is syntax for finding in findings):  # the loader got past it
        syntax.message += "; the loader reads it, but other XML tools refuse it and the other checks cannot run"
    for finding in findings:
        location = f"{path}:{finding.line}" if finding.line else path
        _say(f"{location}: {SEVERITIES[finding.severity]}: {finding.where}: {finding.message}")
        _say(f"    fix: {finding.fix}")
    options = f"inertia_tolerance={inertia_tolerance:g}" if inertia_tolerance else "defaults"
    if refusal is not None:
        _say(f"{path}: does not load with {options}: {_reason(refusal)}")
        if any(finding.kind == "mimic" for finding in findings):
            _say(f"{path}: {_mimic_options(data, inertia_tolerance)}")
        return False
    counts = {severity: sum(f.severity == severity for f in findings) for severity in SEVERITIES}
    _say(f"{path}: loads with {options} (Robot); {counts['error']} error(s), "
         f"{counts['floating']} floating-base error(s), {counts['warning']} warning(s)")
    return True


def check_files(paths: Sequence[str], inertia_tolerance: float = 0.0) -> int:
    """Checks every file in turn; the exit status: 1 when one does not load with the defaults."""
    failures = 0
    for index, path in enumerate(paths):
        if index:
            _say()
        failures += not _check_file(path, inertia_tolerance)
    if len(paths) > 1:
        _say()
        _say(f"{len(paths)} files checked, {failures} do not load with defaults")
    return 1 if failures else 0
