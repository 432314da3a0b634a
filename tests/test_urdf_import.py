"""Loading robot descriptions: validation, numbering, limits, axes, mass properties."""

import math

import numpy as np
import pytest
from peers import TESTING

import _velkor

hooks = pytest.importorskip("_velkor_testing", reason=TESTING)

PREFIX = "failed to parse URDF: "
LIMIT = '<limit lower="-1" upper="1" velocity="2"/>'
INF = float("inf")


def inertial(mass=1.0, xyz="0 0 0", rpy="0 0 0", inertia=(1, 0, 0, 1, 0, 1)):
    names = ("ixx", "ixy", "ixz", "iyy", "iyz", "izz")
    values = " ".join(f'{n}="{v}"' for n, v in zip(names, inertia))
    return (f'<inertial><origin xyz="{xyz}" rpy="{rpy}"/><mass value="{mass}"/>'
            f"<inertia {values}/></inertial>")


def link(name, body=""):
    return f'<link name="{name}">{body}</link>'


def joint(name, parent, child, kind="revolute", body=LIMIT):
    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/>'
            f'<child link="{child}"/>{body}</joint>')


def urdf(*parts, name="r"):
    return f'<?xml version="1.0"?>\n<robot name="{name}">{"".join(parts)}</robot>\n'


def chain(kinds):
    names = [f"l{i}" for i in range(len(kinds) + 1)]
    return urdf(*map(link, names), *(joint(f"j{i}", names[i], names[i + 1], k) for i, k in enumerate(kinds)))


def pair(kind="revolute", body=LIMIT, child_body=""):
    """Two links joined by joint j."""
    return urdf(link("a"), link("b", child_body), joint("j", "a", "b", kind, body))


@pytest.fixture
def write(tmp_path):
    count = iter(range(1_000_000))

    def write(text):
        path = tmp_path / f"robot{next(count)}.urdf"
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return path

    return write


def load_error(path):
    with pytest.raises(_velkor.ModelError) as info:
        hooks.load_model(path)
    return str(info.value)


def quat_mul(a, b):
    ax, ay, az, aw = a
    bx, by, bz, bw = b
    return (aw * bx + ax * bw + ay * bz - az * by, aw * by - ax * bz + ay * bw + az * bx,
            aw * bz + ax * by - ay * bx + az * bw, aw * bw - ax * bx - ay * by - az * bz)


def rpy_quat(r, p, y):
    sr, cr, sp, cp = math.sin(r / 2), math.cos(r / 2), math.sin(p / 2), math.cos(p / 2)
    sy, cy = math.sin(y / 2), math.cos(y / 2)
    return (sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
            cr * cp * sy - sr * sp * cy, cr * cp * cy + sr * sp * sy)


def rpy_matrix(r, p, y):
    rx = np.array([[1, 0, 0], [0, math.cos(r), -math.sin(r)], [0, math.sin(r), math.cos(r)]])
    ry = np.array([[math.cos(p), 0, math.sin(p)], [0, 1, 0], [-math.sin(p), 0, math.cos(p)]])
    rz = np.array([[math.cos(y), -math.sin(y), 0], [math.sin(y), math.cos(y), 0], [0, 0, 1]])
    return rz @ ry @ rx


def quat_matrix(q):
    x, y, z, w = q
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


BAD_INERTIA = (1, 2, 0, 1, 0, 1)
LINK_B = "invalid robot model: link b "
JOINT_J = "invalid robot model: joint j "
MIMIC_OPTIONS = (' (load with mimic="couple" to make it follow its leader, or mimic="independent" to treat it as '
                 "a free joint)")


@pytest.mark.parametrize("text, message", [
    (urdf(link("a"), link("a")), "invalid robot model: link names must be unique"),
    (urdf(link("a"), link("b"), link("c"), joint("j", "a", "b"), joint("j", "a", "c")),
     "invalid robot model: joint names must be unique"),
    (urdf(link("a"), link("b"), joint("j", "x", "b")), JOINT_J + "references a missing parent link"),
    (urdf(link("a"), link("b"), joint("j", "a", "x")), JOINT_J + "references a missing child link"),
    (urdf(link("A"), link("B"), link("C"), joint("ab", "A", "B"), joint("bc", "B", "C"),
          joint("cb", "C", "B")), "invalid robot model: link B is reached more than once"),
    (urdf(), "invalid robot model: expected one root link, found 0"),
    (urdf(link("a"), link("b")), "invalid robot model: expected one root link, found 2"),
    (urdf(link("a"), link("b"), joint("ab", "a", "b"), joint("ba", "b", "a")),
     "invalid robot model: expected one root link, found 0"),
    (urdf(link("a"), joint("aa", "a", "a")), "invalid robot model: expected one root link, found 0"),
    (urdf(link("A"), link("B"), link("C"), joint("bc", "B", "C"), joint("cb", "C", "B")),
     "invalid robot model: joint graph is disconnected or cyclic"),
    *[(pair(child_body=inertial(mass=m)), LINK_B + "mass must be finite and non-negative")
      for m in ("-1", "nan", "inf", "-1e-300")],
    *[(pair(child_body=inertial(**kw)), LINK_B + "inertial origin must contain only finite values")
      for kw in ({"xyz": "0 nan 0"}, {"rpy": "0 0 -inf"})],
    *[(pair(child_body=inertial(inertia=i)), LINK_B + "inertia must contain only finite values")
      for i in (("nan", 0, 0, 1, 0, 1), (1, 0, 0, 1, "inf", 1))],
    *[(pair(child_body=inertial(inertia=i)), LINK_B + "inertia must be positive semi-definite")
      for i in (BAD_INERTIA, (1, 0, 0, 1, 0, -1e-300), (-1, 0, 0, 0, 0, 0),
                (1e300, 1.5e300, 0, 1e300, 0, 1e300), (5e-324, 0, 0, 0, 0, -5e-324))],
    (pair(body=LIMIT + '<mimic joint="x"/>'), JOINT_J + "uses an unsupported mimic constraint" + MIMIC_OPTIONS),
    *[(pair(body=f"<origin {o}/>" + LIMIT), JOINT_J + "origin must contain only finite values")
      for o in ('xyz="inf 0 0"', 'rpy="0 nan 0"')],
    *[(pair(k, f'<limit lower="-1" upper="1" velocity="{v}"/>'),
       JOINT_J + "velocity limit must be finite and non-negative")
      for k in ("revolute", "continuous", "prismatic") for v in ("-1", "nan", "inf", "-1e-300")],
    *[(pair(k, f'<limit lower="{lo}" upper="{up}" velocity="1"/>'),
       JOINT_J + "position limits must be finite and ordered")
      for k in ("revolute", "prismatic") for lo, up in (("1", "-1"), ("-inf", "1"), ("0", "nan"))],
    *[(pair(k), f"joint j uses unsupported type {k}") for k in ("floating", "planar", "spherical")],
    *[(pair(k, LIMIT + f'<axis xyz="{a}"/>'), "joint j has an invalid axis")
      for k in ("revolute", "prismatic", "continuous")
      for a in ("0 0 0", "1e-13 0 0", "1e-12 0 0", "nan 0 1", "0 inf 0", "1e-300 1e-300 0")],
])
def test_rejected_models(write, text, message):
    assert load_error(write(text)) == message


@pytest.mark.parametrize("text, message", [
    # joint checks: mimic, origin, velocity, position limits, type, axis
    (pair("planar", '<limit lower="1" upper="-1" velocity="-1"/>'),
     "joint j uses unsupported type planar"),
    (pair("planar", '<origin xyz="nan 0 0"/><limit lower="1" upper="-1"/>'),
     JOINT_J + "origin must contain only finite values"),
    (pair("spherical", '<origin xyz="nan 0 0"/><mimic joint="x"/>'),
     JOINT_J + "uses an unsupported mimic constraint" + MIMIC_OPTIONS),
    (pair("revolute", '<limit lower="1" upper="-1" velocity="-1"/>'),
     JOINT_J + "velocity limit must be finite and non-negative"),
    (pair("revolute", '<limit lower="1" upper="-1" velocity="1"/><axis xyz="0 0 0"/>'),
     JOINT_J + "position limits must be finite and ordered"),
    # link checks: mass, inertial origin, inertia values, inertia sign
    (pair(child_body=inertial(mass="-1", xyz="nan 0 0")), LINK_B + "mass must be finite and non-negative"),
    (pair(child_body=inertial(rpy="nan 0 0", inertia=("nan", 0, 0, 0, 0, 0))),
     LINK_B + "inertial origin must contain only finite values"),
    (pair(child_body=inertial(inertia=(-1, 0, 0, 0, 0, "inf"))),
     LINK_B + "inertia must contain only finite values"),
    # a child link before the joint leading to it, the root before every joint
    (pair("planar", '<mimic joint="x"/>', inertial(mass="-1")), LINK_B + "mass must be finite and non-negative"),
    (urdf(link("a", inertial(inertia=BAD_INERTIA)), link("b"), joint("j", "a", "b", "planar")),
     "invalid robot model: link a inertia must be positive semi-definite"),
    # names and edges, in file order, before the root count and any conversion
    (urdf(link("a"), link("a"), link("b"), joint("j", "x", "a")), "invalid robot model: link names must be unique"),
    (urdf(link("a"), link("b"), link("c"), joint("j", "x", "b"), joint("j", "a", "c")),
     JOINT_J + "references a missing parent link"),
    (urdf(link("a"), link("b", inertial(mass="-1")), link("c"), joint("j", "a", "x", "planar")),
     JOINT_J + "references a missing child link"),
    (urdf(link("a", inertial(mass="-1")), link("b")), "invalid robot model: expected one root link, found 2"),
    # conversion follows breadth-first order, not file order
    (urdf(link("R"), link("A"), link("C"), link("B"), joint("ac", "A", "C", body=LIMIT + '<mimic joint="x"/>'),
          joint("ra", "R", "A"), joint("rb", "R", "B", body=LIMIT + '<mimic joint="x"/>')),
     "invalid robot model: joint rb uses an unsupported mimic constraint" + MIMIC_OPTIONS),
    (urdf(link("R"), link("A"), link("C", inertial(mass="nan")), link("B", inertial(mass="-2")),
          joint("ac", "A", "C"), joint("ra", "R", "A"), joint("rb", "R", "B")),
     "invalid robot model: link B mass must be finite and non-negative"),
    # links in an unreachable cycle are never converted
    (urdf(link("A"), link("B", inertial(mass="-1")), link("C"), joint("bc", "B", "C", "planar"),
          joint("cb", "C", "B")), "invalid robot model: joint graph is disconnected or cyclic"),
])
def test_check_order(write, text, message):
    assert load_error(write(text)) == message


def test_breadth_first_numbering(write):
    model = hooks.load_model(write(urdf(
        link("C"), link("B"), link("A"), link("R"),
        joint("ra", "R", "A", "fixed"), joint("ac", "A", "C"), joint("rb", "R", "B", "prismatic"))))
    assert model["name"] == "r"
    assert [name for name, _ in model["links"]] == ["R", "A", "B", "C"]
    assert [j["name"] for j in model["joints"]] == ["ra", "rb", "ac"]
    assert [j["kind"] for j in model["joints"]] == ["fixed", "prismatic", "revolute"]
    assert model["parent"] == [0, 0, 1]
    assert model["dof_list"] == [1, 2]
    assert model["joint_dof"] == [None, 0, 1]
    assert model["copies_agree"]


@pytest.mark.parametrize("kinds, dof_list, joint_dof", [
    (("fixed", "revolute"), [1], [None, 0]),
    (("revolute", "fixed", "continuous", "prismatic"), [0, 2, 3], [0, None, 1, 2]),
    (("fixed", "fixed"), [], [None, None]),
])
def test_dof_numbering(write, kinds, dof_list, joint_dof):
    model = hooks.load_model(write(chain(kinds)))
    assert model["dof_list"] == dof_list
    assert model["joint_dof"] == joint_dof
    assert model["parent"] == list(range(len(kinds)))


@pytest.mark.parametrize("kind, body, expected", [
    ("revolute", "", (0.0, 0.0, 0.0)),
    ("revolute", '<limit lower="2" upper="2" velocity="-0.0"/>', (2.0, 2.0, 0.0)),
    ("prismatic", '<limit lower="-0.5" upper="0.25" velocity="3"/>', (-0.5, 0.25, 3.0)),
    ("continuous", '<limit lower="1" upper="-1" velocity="0.5"/>', (-INF, INF, 0.5)),
    ("continuous", "", (-INF, INF, 0.0)),
    ("fixed", '<limit lower="1" upper="-1" velocity="-5"/>', (1.0, -1.0, -5.0)),
])
def test_limits(write, kind, body, expected):
    (j,) = hooks.load_model(write(pair(kind, body)))["joints"]
    assert (j["lower"], j["upper"], j["velocity_limit"]) == expected


@pytest.mark.parametrize("kind, axis, expected", [
    ("revolute", None, (1, 0, 0)),
    ("revolute", "0 0 2", (0, 0, 1)),
    ("revolute", "1e-6 0 0", (1, 0, 0)),
    ("revolute", "2e-12 0 0", (1, 0, 0)),
    ("continuous", "3 -4 0", (0.6, -0.8, 0)),
    ("prismatic", "0 0 -5", (0, 0, -1)),
    ("prismatic", "1e300 -1e300 0", (math.sqrt(0.5), -math.sqrt(0.5), 0)),
    ("revolute", "1e-11 0 1e-11", (math.sqrt(0.5), 0, math.sqrt(0.5))),
    ("fixed", "nan 0 0", (1, 0, 0)),
    ("fixed", "0 0 0", (1, 0, 0)),
    ("fixed", "0 0 1", (1, 0, 0)),
])
def test_axis(write, kind, axis, expected):
    body = LIMIT + (f'<axis xyz="{axis}"/>' if axis else "")
    (j,) = hooks.load_model(write(pair(kind, body)))["joints"]
    assert j["axis"] == pytest.approx(expected, rel=1e-15, abs=1e-15)


@pytest.mark.parametrize("mass, xyz, rpy, inertia", [
    (2.0, (0.1, -0.2, 0.3), (0, 0, 0), (0.5, 0.01, -0.02, 0.4, 0.03, 0.3)),
    (1.5, (0.0, 0.25, -0.5), (0.3, -0.7, 1.9), (0.2, 0.0, 0.0, 0.3, 0.0, 0.4)),
    (3.0, (1.0, 2.0, 3.0), (math.pi / 2, 0.2, -2.5), (1.0, -0.2, 0.1, 2.0, 0.3, 1.5)),
    (0.0, (0.4, 0.0, 0.0), (0.1, 0.2, 0.3), (0, 0, 0, 0, 0, 0)),
])
def test_mass_properties(write, mass, xyz, rpy, inertia):
    body = inertial(mass, " ".join(map(repr, xyz)), " ".join(map(repr, rpy)), inertia)
    ((_, record),) = hooks.load_model(write(urdf(link("a", body))))["links"]
    ixx, ixy, ixz, iyy, iyz, izz = inertia
    rot = rpy_matrix(*rpy)
    i_c = rot @ np.array([[ixx, ixy, ixz], [ixy, iyy, iyz], [ixz, iyz, izz]]) @ rot.T
    c = np.array(xyz)
    i_o = i_c + mass * (c @ c * np.eye(3) - np.outer(c, c))
    expected = np.concatenate([[mass], c, i_c.ravel("F"), mass * c, i_o.ravel("F")])
    np.testing.assert_allclose(record, expected, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("body", [
    "", inertial(0.0, inertia=(0, 0, 0, 0, 0, 0)), "<inertial><mass value='-0.0'/></inertial>",
])
def test_massless_link(write, body):
    ((_, record),) = hooks.load_model(write(urdf(link("a", body))))["links"]
    assert record == (0.0,) * 25


@pytest.mark.parametrize("inertia", [
    (0, 0, 0, 0, 0, 0), (0, 0, 0, 2, 0, 3), (1e-300, 0, 0, 1e-300, 0, 0), (1e300, 0, 0, 1e300, 0, 1e300),
    (1, 0.5, 0, 1, 0, 1), (2, -1, 0, 2, -1, 2),
])
def test_positive_semidefinite_inertia_accepted(write, inertia):
    hooks.load_model(write(urdf(link("a", inertial(inertia=inertia)))))


@pytest.mark.parametrize("kind, origin, axis, q, expected", [
    ("prismatic", "", "0 0 1", 0.5, (0, 0, 0, 1, 0, 0, 0.5)),
    ("revolute", 'xyz="1 0 0"', "0 0 1", math.pi / 2,
     (0, 0, math.sin(math.pi / 4), math.cos(math.pi / 4), 1, 0, 0)),
    ("prismatic", 'xyz="1 2 3" rpy="0 0 1.5707963267948966"', "1 0 0", 2.0, (*rpy_quat(0, 0, math.pi / 2), 1, 4, 3)),
    ("revolute", 'xyz="0 0 1" rpy="0.3 -0.2 0.1"', "0 1 0", 0.8,
     (*quat_mul(rpy_quat(0.3, -0.2, 0.1), (0, math.sin(0.4), 0, math.cos(0.4))), 0, 0, 1)),
    ("fixed", 'xyz="0.5 0 0" rpy="1 2 3"', "0 0 1", 7.0, (*rpy_quat(1, 2, 3), 0.5, 0, 0)),
])
def test_joint_frame(write, kind, origin, axis, q, expected):
    path = write(pair(kind, f'<origin {origin}/><axis xyz="{axis}"/>' + LIMIT))
    assert hooks.joint_frame(path, 0, q) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("rpy", [(0.3, -0.7, 1.9), (math.pi, 0, 0), (0.1, math.pi / 2, -0.4), (-2.0, 1.0, 3.0)])
def test_origin_rotation_convention(write, rpy):
    (j,) = hooks.load_model(write(pair("fixed", f'<origin rpy="{" ".join(map(repr, rpy))}"/>')))["joints"]
    quat = j["origin"][:4]
    assert quat == pytest.approx(rpy_quat(*rpy), abs=1e-15)
    np.testing.assert_allclose(quat_matrix(quat), rpy_matrix(*rpy), atol=1e-12)


def test_model_ids(write):
    good = write(urdf(link("a")))
    bad = [write(urdf(link("a"), link("a"))), write(b"\xff"), write(pair("planar"))]
    first = hooks.next_model_id()
    assert first > 0
    ids = [hooks.load_model(good)["id"] for _ in range(2)]
    assert ids == [first, first + 1]
    for path in bad:
        load_error(path)
    assert hooks.next_model_id() == first + 2
    assert hooks.load_model(str(good))["id"] == first + 2


@pytest.mark.parametrize("root, ok", [
    ("", False), (inertial(mass="-0.0"), False), (inertial(mass=0.0), False), (inertial(mass=1e-30), True),
])
def test_floating_base_root_mass(write, root, ok):
    path = write(urdf(link("base", root), link("b", inertial(5.0)), joint("j", "base", "b")))
    hooks.load_model(path)
    if ok:
        assert hooks.floating_robot(path) is None
    else:
        with pytest.raises(_velkor.ModelError) as info:
            hooks.floating_robot(path)
        assert str(info.value) == "invalid robot model: floating-base root link base must have positive mass"


GOOD = urdf(link("a")).encode()


@pytest.mark.parametrize("content", [
    b"", b"   \n", b"<robot name='r'><link name='a'></robot>", b"not xml at all",
    urdf(link("caf\u00e9")).encode("latin-1"), b"\xef\xbb" + GOOD, bytes(range(256)) * 4,
    GOOD + b"\0<junk/>", GOOD.replace(b"</robot>", b"\0</robot>"), GOOD + urdf(link("b")).encode(),
    b"<robot name='r'>" + b"<a>" * 100_000 + b"</a>" * 100_000 + b"</robot>",
    b"<model name='r'><link name='a'/></model>", b"<robot><link name='a'/></robot>", b"<robot name='r'><link/></robot>",
    urdf(link("a", "<inertial><mass value='abc'/></inertial>")).encode(),
    urdf(link("a", "<inertial><mass value='1.5kg'/></inertial>")).encode(),
    urdf(link("a", "<inertial><origin xyz='1 2'/><mass value='1'/></inertial>")).encode(),
    urdf(link("a", "<inertial><origin rpy='1 2 3 4'/><mass value='1'/></inertial>")).encode(),
    pair("ball").encode(), pair("Revolute").encode(), pair(body='<limit lower="0x1" upper="1"/>').encode(),
    urdf(link("a"), link("b"), '<joint name="j" type="fixed"><parent link="a"/></joint>').encode(),
])
def test_unreadable_documents(write, content):
    assert load_error(write(content)).startswith(PREFIX)


@pytest.mark.parametrize("name, os_text", [("missing.urdf", "No such file or directory"), (".", "Is a directory"),
                                           ("it's\x1b.urdf", "No such file or directory")])
def test_unreadable_paths_are_named(tmp_path, name, os_text):
    path = str(tmp_path / name)
    shown = path.replace("\\", "\\\\").replace("'", "\\'").replace("\x1b", "\\x1b")
    assert load_error(path) == f"{PREFIX}{os_text}: '{shown}'"


def test_accepted_document_forms(write):
    text = ("\ufeff<?xml version='1.0'?>\n<!-- arm -->\n<robot name='r&amp;d'>\n"
            "  <link name='a'><inertial><mass value=' +2.5e0 '/></inertial></link>\n</robot>\n<!-- end -->\n")
    model = hooks.load_model(write(text))
    assert model["name"] == "r&d"
    assert model["links"][0][1][0] == 2.5


@pytest.mark.parametrize("kinds, sizes", [
    (("fixed", "revolute", "fixed", "prismatic", "fixed"),
     {"frames": 5, "fd_inertia": 5, "path": 5, "jacobian": 12, "ik_joints": 2, "ik_step": 2}),
    ((), {"frames": 0, "fd_inertia": 0, "path": 0, "jacobian": 0, "ik_joints": 0, "ik_step": 0}),
])
def test_workspace_sizes(write, kinds, sizes):
    assert hooks.workspace_sizes(write(chain(kinds))) == sizes


def test_overflowing_mass_properties_are_rejected(write):
    path = write(urdf(link("a"), link("b", inertial(mass=1e200, xyz="1e200 0 0")), joint("j", "a", "b")))
    assert load_error(path) == "invalid robot model: link b mass properties must be finite"


def test_path_with_nul_is_not_truncated(write):
    path = str(write(urdf(link("a"))))
    assert load_error(path + "\0ignored") == PREFIX + "path contains a NUL character"


LINES = '<robot name="r">\n<link name="a"/>\n<link name="b">\n{b}\n</link>\n<joint name="j" type="{kind}">\n{j}\n</joint>\n</robot>\n'
PARENT = '<parent link="a"/><child link="b"/>'


def lines(kind="revolute", j=PARENT + "\n" + LIMIT, b=""):
    return LINES.format(kind=kind, j=j, b=b)


@pytest.mark.parametrize("text, place", [
    # reader: an unreadable number, a missing attribute, a name, xacro, the document as a whole
    (lines(j=PARENT + '\n<limit lower="-1.57." upper="1" velocity="1"/>'), ("joint/limit", "j", 8, "lower")),
    (lines(b='<inertial><mass/></inertial>'), ("link/inertial/mass", "b", 4, "value")),
    (lines(b='<visual><geometry><mesh filename="$(find p)/a.stl"/></geometry></visual>'),
     ("link/visual/geometry/mesh", "b", 4, "filename")),
    (lines(kind="revolut"), ("joint", "j", 6, "type")),
    (lines().replace('<link name="b">', "<link>"), ("link", None, 3, "name")),
    (lines().replace("</robot>\n", "</robot>\n<robot/>"), ("document", None, 11, None)),
    (lines().replace('"a"/>\n<link', '"a"/>\n<xacro:macro/>\n<link'), ("xacro:macro", None, 3, None)),
    ("<robot>\n\n\0</robot>", ("document", None, 3, None)),
    # model: limits, mimic, axis, type, inertia, structure
    (lines(j=PARENT + '\n<limit lower="0" upper="1" velocity="-1"/>'), ("joint/limit", "j", 8, "velocity")),
    (lines(j=PARENT + "\n" + LIMIT + '\n<mimic joint="a"/>'), ("joint/mimic", "j", 9, None)),
    (lines(j=PARENT + "\n" + LIMIT + '\n<axis xyz="0 0 0"/>'), ("joint/axis", "j", 9, "xyz")),
    (lines(kind="planar"), ("joint", "j", 6, "type")),
    (lines(b=inertial(inertia=BAD_INERTIA).replace("<inertia ", "\n<inertia ")), ("link/inertial/inertia", "b", 5, None)),
    (lines(b=inertial(mass="-1")), ("link/inertial/mass", "b", 4, "value")),
    (lines(j=PARENT.replace('"b"', '"c"')), ("joint/child", "j", 7, "link")),
    (lines(kind="fixed", j=PARENT).replace('<link name="a"/>', '<link name="c"/>\n<link name="a"/>')
     .replace("</robot>", '<joint name="k" type="fixed"><parent link="b"/><child link="a"/></joint>\n</robot>'),
     ("link", "a", 3, None)),  # a and b: a loop the root c does not reach
    (lines().replace('<link name="b">', '<link name="a">'), ("link", "a", 3, "name")),
    (LINES.format(kind="fixed", j=PARENT, b="").replace('<link name="a"/>', '<link name="a"/><link name="z"/>'),
     ("link", "z", 2, None)),  # a second root
])
def test_load_errors_say_where_they_point(text, place):
    error = pytest.raises(_velkor.ModelError, _velkor.Robot.from_urdf_string, text).value
    assert (error.element, error.name, error.line, error.attribute) == place, str(error)


def test_errors_without_a_place_have_none(tmp_path):
    error = pytest.raises(_velkor.ModelError, _velkor.Robot, str(tmp_path / "missing.urdf")).value
    assert (error.element, error.name, error.line, error.attribute) == (None, None, None, None)
    assert _velkor.ModelError("raised by hand").line is None
