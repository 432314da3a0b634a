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
from typing import TYPE_CHECKING, Any
from xml.etree.ElementTree import Element
from xml.parsers import expat

import velkor

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
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
    pieces: list[bytes] = []
    kept = 0  # built once: a prolog of many declarations stays linear
    while True:
        while data[at:at + 1] in (b" ", b"\t", b"\r", b"\n"):
            at += 1
        close = b"?>" if data.startswith(b"<?", at) else b"-->" if data.startswith(b"<!--", at) else None
        end = -1 if close is None else data.find(close, at)
        if close is None or end < 0:
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

        def start(tag: str, attributes: dict[str, str]) -> None:
            self.lines[builder.start(tag, attributes)] = parser.CurrentLineNumber

        parser.StartElementHandler = start
        parser.EndElementHandler = builder.end
        parser.Parse(_without_declarations(data), True)
        self.root = builder.close()

    def line(self, element: Element | None) -> int | None:
        return None if element is None else self.lines.get(element)


def _number(text: str | None) -> float | None:
    if text is None:
        return None
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _is_xacro(element: Element) -> bool:
    return isinstance(element.tag, str) and element.tag.startswith("xacro:")


def _mass(link: Element) -> float | None:
    """The link's mass: 0 without <inertial>, None when the file's value is not a number."""
    inertial = link.find("inertial")
    if inertial is None:
        return 0.0
    mass = inertial.find("mass")
    return 0.0 if mass is None else _number(mass.get("value"))


def _inertia_matrix(inertia: Element) -> "npt.NDArray[np.float64] | None":
    import numpy as np

    read = [_number(inertia.get(name)) for name in INERTIA_NAMES]
    values = [v for v in read if v is not None]
    if len(values) != len(read):
        return None
    xx, xy, xz, yy, yz, zz = values
    return np.array([[xx, xy, xz], [xy, yy, yz], [xz, yz, zz]])


def _library_refuses_inertia(inertial: Element, inertia: Element) -> bool:
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


def _loader_refuses_limit(kind: str, limit: Element) -> str | None:
    """The attribute of this <limit> the loader refuses in a joint of type `kind` ('' for an
    unordered pair), from a one-joint document; None when it takes the limit or cannot read its
    numbers (which _check_numbers reports)."""
    copy = ElementTree.Element("limit", limit.attrib)
    document = (f'<robot name="check"><link name="a"/><link name="b"/><joint name="j" type="{kind}">'
                f'<parent link="a"/><child link="b"/>{ElementTree.tostring(copy, encoding="unicode")}</joint></robot>')
    try:
        velkor.Robot.from_urdf_string(document)
    except velkor.ModelError as error:
        if error.element == "joint/limit" and not str(error).startswith(PARSE_PREFIX):
            return error.attribute or ""
    except (velkor.VelkorError, ValueError):
        pass
    return None


def _limit_problem(joint: Element) -> tuple[str, str] | None:
    """(message, fix) when the loader refuses the <limit> of a moving joint, None otherwise (and
    for numbers it cannot read at all, which _check_numbers reports)."""
    limit, kind = joint.find("limit"), joint.get("type")
    if kind not in MOVING_JOINTS or limit is None:
        return None
    refused = _loader_refuses_limit(kind, limit)
    if refused is None:
        return None
    text = {name: limit.get(name, "0") for name in ("lower", "upper", "velocity")}
    if refused == "velocity":
        try:
            negative = float(text["velocity"]) < 0
        except ValueError:  # a NaN with a payload, which the loader reads and Python does not
            negative = False
        return (f"<limit> velocity={text['velocity']} is {'negative' if negative else 'not finite'}",
                'give <limit velocity="..."> a finite value, zero or more (rad/s or m/s)')
    if refused:  # lower or upper is not finite
        return (f"<limit> lower={text['lower']}, upper={text['upper']} is not finite",
                'give finite lower and upper values; a revolute joint that turns without end is type="continuous"')
    return (f"<limit> lower={text['lower']} is above upper={text['upper']}",
            "swap them, or give the joint's real range if the file means no limits (some simulators read "
            "lower > upper so)")


def _check_limits(document: _Document, joints: list[Element], findings: list[Finding]) -> None:
    for joint in joints:
        if problem := _limit_problem(joint):
            findings.append(Finding("error", document.line(joint.find("limit")), f"joint '{joint.get('name')}'",
                                    *problem, "value"))


def _mimic_problem(name: str | None, leader: str | None, by_name: dict[str | None, Element], in_cycles: set[str | None]) -> str | None:
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


def _check_mimic(document: _Document, joints: list[Element], findings: list[Finding]) -> None:
    by_name = {joint.get("name"): joint for joint in joints}
    in_cycles: set[str | None] = set()  # a cycle is reported once, at its first joint in the file
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


def _check_inertias(document: _Document, links: list[Element], findings: list[Finding]) -> None:
    import numpy as np

    for link in links:
        inertial = link.find("inertial")
        inertia = None if inertial is None else inertial.find("inertia")
        matrix = None if inertia is None else _inertia_matrix(inertia)
        if inertial is None or inertia is None or matrix is None:
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


def _check_structure(document: _Document, links: list[Element], joints: list[Element], findings: list[Finding]) -> None:
    by_name = {link.get("name"): link for link in links if link.get("name") is not None}
    children: dict[str | None, list[Element]] = {}
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
        carried, group, seen = 0.0, list[str](), {root}
        stack = [root]
        while stack:
            for joint in children.get(stack.pop(), []):
                child_element = joint.find("child")
                child_link = None if child_element is None else child_element.get("link")
                if child_link is None:
                    continue
                if joint.get("type") == "fixed" and child_link in by_name and child_link not in seen:
                    seen.add(child_link)
                    stack.append(child_link)
                    group.append(child_link)
                    carried += _mass(by_name[child_link]) or 0.0
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


class _Places:
    """The elements of the file a loader verdict names, from the parsed document (none when the
    checker's XML parser refused the file), and the file's lines."""

    def __init__(self, data: bytes, document: _Document | None):
        self.data, self.document = data, document
        self.root = document.root if document is not None and document.root.tag == "robot" else None

    def top(self, tag: str) -> list[Element]:
        """The <tag> children of <robot>, in file order."""
        return [] if self.root is None else self.root.findall(tag)

    def line(self, element: Element) -> int | None:
        return None if self.document is None else self.document.line(element)

    def named(self, tag: str, name: str) -> Element | None:
        return next((e for e in self.top(tag) if _spaced(e.get("name", "")) == _spaced(name)), None)

    def value(self, element: str, name: str | None, attribute: str, line: int | None) -> str | None:
        """The text of `attribute` of the element the loader names (`element`: its path from
        <robot>, `name`: its link's or joint's), None when it has none; from the file's `line`
        when the document did not parse."""
        owner, *path = element.split("/")
        owner_element = self.named(owner, name) if name is not None else None
        found = [] if owner_element is None else [owner_element]
        for tag in path:
            found = [child for parent in found for child in parent.findall(tag)]
        if found:  # the one at the loader's line, when the path leads to several
            return next((e for e in found if self.line(e) == line), found[0]).get(attribute)
        if self.document is not None or line is None:
            return None
        text = self.data.split(b"\n")[line - 1] if line <= self.data.count(b"\n") + 1 else b""
        match = re.search(rb"\b" + re.escape(attribute.encode()) + rb"\s*=\s*([\"'])(.*?)\1", text)
        return None if match is None else match[2].decode("utf-8", "replace")

    def joints(self) -> list[tuple[Element, str | None, str | None]]:
        """(joint, parent link, child link) of every joint."""
        return [(joint, None if (p := joint.find("parent")) is None else p.get("link"),
                 None if (c := joint.find("child")) is None else c.get("link")) for joint in self.top("joint")]


def _shown(elements: list[Element], places: _Places, limit: int = 3) -> str:
    """'a' (line 3), 'b' (line 7) and 2 more."""
    names = [f"'{e.get('name')}' (line {places.line(e)})" for e in elements[:limit]]
    more = f" and {len(elements) - limit} more" if len(elements) > limit else ""
    return ", ".join(names) + more


def _structure_fix(reason: str, name: str | None, child: str | None, places: _Places) -> str | None:
    """The fix of a verdict on how links and joints connect (`name`: the element's, `child`: the
    link a joint's <child> names), or None."""
    links, joints = places.top("link"), places.joints()
    if reason in ("link names must be unique", "joint names must be unique"):
        tag = reason.split()[0]
        same = [element for element in places.top(tag) if element.get("name") == name]
        if len(same) < 2:
            return None
        return (f"rename one of the {tag}s named '{name}' (the other one is at line {places.line(same[0])})"
                + (" and the joints that refer to it" if tag == "link" else ""))
    if reason.endswith(" is reached more than once") and child is not None:
        parents = [joint for joint, _, c in joints if c is not None and _spaced(c) == _spaced(child)]
        if len(parents) < 2:
            return None
        return (f"link '{child}' is the child of joints {_shown(parents, places)}; a URDF file describes a tree, so "
                "keep one of them (a closed chain is cut open at one joint)")
    if reason.startswith("expected one root link, found "):
        if not links:
            return "describe the robot's links and the joints between them; a file with no <link> holds no robot"
        children = {_spaced(c) for _, _, c in joints if c is not None}
        roots = [link for link in links if _spaced(link.get("name", "")) not in children]
        if len(roots) >= 2:
            return (f"links {_shown(roots, places)} have no parent joint: join every link but one (the root) to the "
                    "tree with a joint, or delete the links that belong to no robot")
        if roots or not joints:
            return None
        return ("every link is the child of a joint, so the joints close a loop: remove the joint whose child is "
                "the link meant as the root")
    if reason == "joint graph is disconnected or cyclic":
        by_parent: dict[str, list[str]] = {}
        for _, parent, c in joints:
            by_parent.setdefault(_spaced(parent or ""), []).append(_spaced(c or ""))
        children = {_spaced(c) for _, _, c in joints if c is not None}
        stack = [_spaced(link.get("name", "")) for link in links if _spaced(link.get("name", "")) not in children]
        reached = set(stack)
        while stack:
            for c in by_parent.get(stack.pop(), []):
                if c not in reached:
                    reached.add(c)
                    stack.append(c)
        cut_off = [link for link in links if _spaced(link.get("name", "")) not in reached]
        if not cut_off:
            return None
        return (f"links {_shown(cut_off, places)} hang from each other in a closed loop that the root does not "
                "reach: remove one joint of the loop and attach the links to the tree")
    return None


# Verdicts on the document as a whole, by the loader's fixed sentence: (fix, kind).
DOCUMENT_FIXES = {
    "stream did not contain valid UTF-8": ("save the file as UTF-8: the text at that line is in another encoding "
                                           "(iconv -f latin1 -t utf-8 converts a Latin-1 file)", "xml"),
    "document contains a NUL character": ("remove the NUL bytes; a file full of them is UTF-16 or binary: save it "
                                          "as UTF-8 text", "xml"),
    "DOCTYPE declarations with internal subsets are not supported": (
        "remove the <!DOCTYPE ...> declaration with its [...] part and write out the entities it defines where "
        "they are used", "xml"),
    "the document must hold exactly one top-level element": (
        "remove what follows </robot> (text or a second top-level element): a URDF file holds one <robot> "
        "element", "xml"),
    "no <robot> element at the top of the document": (
        'a URDF file holds one <robot name="..."> element around its links and joints', "root"),
}
UNSUPPORTED_FIXES = {
    "floating": "a floating joint above the robot's root stands for a free base: remove it and the link above it, "
                "and load the rest as a FloatingRobot (velkor --floating FILE)",
    "planar": "replace it by a chain of two prismatic joints and one revolute joint, joined by massless links",
    "spherical": "replace it by a chain of three revolute joints with orthogonal axes through one point, joined by "
                 "massless links",
}
# Model verdicts on one element, by its path from <robot> (and attribute): (fix, kind).
ELEMENT_FIXES: dict[tuple[str, str | None], tuple[str, str]] = {
    ("link/inertial/mass", "value"): ("give <mass value> a finite number of kilograms, zero or more", "value"),
    ("link/inertial/origin", "xyz"): ("give the <origin> of the <inertial> finite xyz and rpy values", "value"),
    ("link/inertial/origin", "rpy"): ("give the <origin> of the <inertial> finite xyz and rpy values", "value"),
    ("link/inertial/inertia", None): (
        "recompute the inertia of this link from its geometry and mass (a CAD tool or the solid's formula); a link "
        "that is only a frame can drop its <inertial>", "inertia"),
    ("link/inertial", None): ("the mass, its offset and the inertia are too large to combine: check the units "
                              "(URDF uses kg and m)", "value"),
    ("joint/mimic", None): (
        'load with mimic="couple" (velkor info --mimic couple FILE) to keep the coupling, or mimic="independent" to '
        'make the joint an ordinary degree of freedom, or remove the <mimic> element', "mimic"),
    ("joint/origin", "xyz"): ("give <origin> finite xyz and rpy values", "value"),
    ("joint/origin", "rpy"): ("give <origin> finite xyz and rpy values", "value"),
    ("joint/limit", "velocity"): ('give <limit velocity="..."> a finite value, zero or more (rad/s or m/s)', "value"),
    ("joint/limit", "lower"): ('give <limit> finite lower and upper values with lower <= upper; a revolute joint '
                               'that turns without end is type="continuous"', "value"),
    ("joint/axis", "xyz"): ('<axis xyz="..."> must give a direction: three finite numbers, not all zero '
                            '(xyz="0 0 1", say)', "value"),
}
ELEMENT_FIXES["joint/limit", "upper"] = ELEMENT_FIXES["joint/limit", None] = ELEMENT_FIXES["joint/limit", "lower"]
LEADER_FIX = ("make joint= name a revolute, continuous or prismatic joint that does not follow this one, or remove "
              "the <mimic> element")


def _is_substitution(value: str | None) -> bool:
    return value is not None and ("${" in value or "$(" in value)


def _reading_fix(reason: str, element: str, tag: str, name: str | None, attribute: str | None,
                 value: str | None) -> tuple[str, str]:
    """(fix, kind) of a reader verdict on one element (`tag`: the last step of its path)."""
    if attribute == "name" and "/" not in element:
        if name is None:
            if tag == "robot":
                return 'give <robot> a name: <robot name="..."> (the file\'s name, say)', "name"
            return f'give the <{tag}> a name="..." attribute, unique among the {tag}s', "name"
        return EXPAND, "xacro"
    if tag.startswith("xacro:") or _is_substitution(value):
        return EXPAND, "xacro"
    shape = next((step for step in element.split("/") if step in ("visual", "collision")), None)
    if shape is not None:
        return _shape_fix(shape), "shape"
    if attribute == "type":
        if value is None:
            return f"add type=\"...\" to the joint: one of {', '.join(LOADED_TYPES)}", "type"
        close = difflib.get_close_matches(value.lower(), [*LOADED_TYPES, *UNSUPPORTED_FIXES], 1) if len(
            value) <= 100 else []
        hint = f"; did you mean type=\"{close[0]}\"?" if close else ""
        return f"use one of the types the loader knows: {', '.join(LOADED_TYPES)}{hint}", "type"
    if tag in ("parent", "child") and attribute == "link":
        role = "the link the joint hangs from" if tag == "parent" else "the link the joint moves"
        return f'add <{tag} link="..."/> naming {role}', "structure"
    if tag == "inertial" and attribute is None:
        return ('add <mass value="..."/> (in kg) to the <inertial>; a link that is only a frame can drop its '
                "<inertial>"), "value"
    if attribute is not None and (value is None or reason.endswith(f"has no '{attribute}' attribute")):
        return f'give <{tag}> its {attribute}="..."', "value"
    if attribute == "rgba":
        return "write rgba as four numbers from 0 to 1 separated by spaces", "value"
    if attribute is not None and value is not None:
        return _number_fix(attribute, value, 3 if attribute in ("xyz", "rpy") else 1), "value"
    return "correct this element as the message says", ""


def _model_fix(reason: str, element: str, name: str | None, attribute: str | None, value: str | None,
               places: _Places) -> tuple[str, str]:
    """(fix, kind) of a verdict on what the description means."""
    if attribute == "type" and value in UNSUPPORTED_FIXES:
        return UNSUPPORTED_FIXES[value], "type"
    if element in ("joint/parent", "joint/child") and attribute == "link":
        if reason.endswith(" is reached more than once"):
            return _structure_fix(reason, name, value, places) or "correct this element as the message says", ""
        known = [link.get("name", "") for link in places.top("link")]
        close = difflib.get_close_matches(value, known, 1) if value is not None and len(value) <= 100 else []
        fix = (f"no link is named '{value}'" if value is not None else f"the {element[6:]} link does not exist") + (
            f": did you mean '{close[0]}'?" if close else ": correct the name, or add that link")
        return fix, "structure"
    if element == "link/inertial/inertia" and attribute is not None:
        return "give every entry of <inertia> a finite value", "value"
    if element == "joint/mimic" and attribute is not None:
        return LEADER_FIX, "mimic"
    if (element, attribute) in ELEMENT_FIXES:
        return ELEMENT_FIXES[element, attribute]
    return "correct this element as the message says", ""


def _placed(error: BaseException, places: _Places) -> tuple[int | None, str, str, str]:
    """(line, where, fix, kind) of the loader's refusal `error`: where in the file it points (the
    place the loader gives) and what to change there."""
    text = _reason(error)
    element, name = getattr(error, "element", None), getattr(error, "name", None)
    line, attribute = getattr(error, "line", None), getattr(error, "attribute", None)
    parsing = text.startswith(PARSE_PREFIX)
    reason = text.removeprefix(PARSE_PREFIX).removeprefix(MODEL_PREFIX)
    if element is None:
        return line, "robot", "correct the file as the message says", ""
    owner, tag = element.partition("/")[0], element.rpartition("/")[2]
    if owner == "document":
        if reason.startswith("Error="):  # the XML parser's own report
            if "XML_ERROR_EMPTY_DOCUMENT" in reason:
                return 1, "document", "the file holds no XML element: is it the robot's URDF file?", "xml"
            return line, "document", "fix the XML syntax at that place", "xml"
        fix, kind = DOCUMENT_FIXES.get(reason, ("correct the file as the message says", ""))
        if line is None and kind == "root":  # the XML parser found no element: the first tag in the bytes
            found = re.search(rb"<[A-Za-z_]", places.data)
            line = None if found is None else places.data.count(b"\n", 0, found.start()) + 1
        return line, "robot" if kind == "root" else "document", fix, kind
    named = owner in ("link", "joint") and name is not None and not (attribute == "name" and "/" not in element)
    where = f"{owner} '{name}'" if named else "robot"
    if reason.endswith(" must be unique") or reason.startswith("expected one root link") or \
            reason == "joint graph is disconnected or cyclic":
        structure = _structure_fix(reason, name, None, places)
        if structure is None:
            return line, where, "correct this element as the message says", ""
        return line, f"{owner} '{name}'" if owner in ("link", "joint") else "robot", structure, (
            "structure" if places.top("link") else "links")
    value = None if attribute is None else places.value(element, name, attribute, line)
    if parsing:
        fix, kind = _reading_fix(reason, element, tag, name, attribute, value)
    else:
        fix, kind = _model_fix(reason, element, name, attribute, value, places)
    if owner == "joint" and element in ("joint/parent", "joint/child") and reason.endswith("reached more than once"):
        kind = "structure"
    return line, where, fix, kind


def _verdict(error: BaseException, places: _Places) -> Finding:
    """The loader's refusal as the first finding of a file: its own words, where they point, a fix."""
    text = _reason(error)
    if isinstance(error, MemoryError):
        return Finding("error", None, "document", text, "the file is too large to load in this memory", "")
    line, where, fix, kind = _placed(error, places)
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


def _skipped_shapes(robot: velkor.Robot | velkor.FloatingRobot, document: _Document | None) -> list[Finding]:
    """A warning for each <visual> or <collision> element the loader left out, at its line."""
    links: dict[str | None, Element] = {}
    if document is not None and document.root.tag == "robot":
        for link in document.root.findall("link"):
            links.setdefault(link.get("name"), link)
    findings = []
    for skipped in robot.skipped_shapes:
        name = robot.link_names[skipped.link]
        owner = links.get(name)
        elements = [] if owner is None else owner.findall(skipped.element)
        at = elements[skipped.index_in_link] if skipped.index_in_link < len(elements) else owner
        findings.append(Finding(
            "warning", None if at is None or document is None else document.line(at), f"link '{name}'",
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
    repairs: list[Any] = []  # velkor's InertiaRepair records
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
        verdict = _verdict(refusal, _Places(data, document))
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
    if syntax is not None and any(finding is syntax for finding in findings):  # the loader got past it
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
