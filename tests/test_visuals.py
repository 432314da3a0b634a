"""Link shapes from URDF: <visual> and <collision> elements, material colours, and the file a
robot was loaded from."""

import os
import pickle

import numpy as np
import pytest

from conftest import INERTIA, quat_matrix
from velkor import FloatingRobot, ModelError, Robot

BODY = f'<inertial><mass value="1"/>{INERTIA}</inertial>'
ONE = (1.0, 1.0, 1.0)
RED = (1.0, 0.0, 0.0, 1.0)

# The links are written tip first: records must follow link order (base, arm, tip), not the file.
# tip hangs from arm by a fixed joint and keeps its own shapes.
SHAPES_URDF = f"""<?xml version="1.0"?>
<robot name="shapes">
  <material name="red"><color rgba="1 0 0 1"/></material>
  <material name="plain"/>
  <link name="tip">{BODY}
    <visual><origin xyz="0 0 0.05"/><geometry><sphere radius="0.01"/></geometry></visual>
    <collision><origin xyz="1 2 3" rpy="0 0 1.5707963267948966"/>
      <geometry><mesh filename="meshes/tip.obj"/></geometry></collision>
  </link>
  <link name="arm">{BODY}
    <visual name="shell"><geometry><mesh filename="package://kit/meshes/arm.stl" scale="0.001 0.002 -1"/>
      </geometry><material name="red"/></visual>
    <collision><geometry><box size="0.4 0.5 0.6"/></geometry>
      <material name="red"><color rgba="0 0 1 1"/></material></collision>
    <visual><geometry><sphere radius="0.02"/></geometry>
      <material name="red"><color rgba="0 1 0 1"/></material></visual>
    <collision><geometry><cylinder radius="0.07" length="0.8"/></geometry></collision>
    <visual><geometry><sphere radius="0.03"/></geometry><material name="plain"/></visual>
  </link>
  <link name="base">{BODY}
    <visual><origin xyz="0.1 -0.2 0.3" rpy="0.3 -0.5 0.7"/><geometry><box size="0.1 0.2 0.3"/></geometry></visual>
    <visual name="barrel"><geometry><cylinder radius="0.05" length="0.4"/></geometry>
      <material name="tinted"><color rgba="0.1 0.2 0.3 0.4"/></material></visual>
    <collision name="hull"><geometry><sphere radius="0.5"/></geometry></collision>
  </link>
  <joint name="hinge" type="revolute"><parent link="base"/><child link="arm"/><axis xyz="0 0 1"/>
    <limit lower="-1" upper="1" velocity="1"/></joint>
  <joint name="weld" type="fixed"><parent link="arm"/><child link="tip"/></joint>
</robot>
"""

# (link, geometry, size, filename, scale, color, name, material) in record order.
VISUALS = [
    ("base", "box", (0.1, 0.2, 0.3), None, ONE, None, None, None),
    ("base", "cylinder", (0.05, 0.4), None, ONE, (0.1, 0.2, 0.3, 0.4), "barrel", "tinted"),
    ("arm", "mesh", (), "package://kit/meshes/arm.stl", (0.001, 0.002, -1.0), RED, "shell", "red"),
    ("arm", "sphere", (0.02,), None, ONE, (0.0, 1.0, 0.0, 1.0), None, "red"),
    ("arm", "sphere", (0.03,), None, ONE, None, None, "plain"),
    ("tip", "sphere", (0.01,), None, ONE, None, None, None),
]
COLLISIONS = [
    ("base", "sphere", (0.5,), None, ONE, None, "hull", None),
    ("arm", "box", (0.4, 0.5, 0.6), None, ONE, None, None, None),
    ("arm", "cylinder", (0.07, 0.8), None, ONE, None, None, None),
    ("tip", "mesh", (), "meshes/tip.obj", ONE, None, None, None),
]


def rpy_matrix(roll, pitch, yaw):
    c, s = np.cos, np.sin
    rx = np.array([[1, 0, 0], [0, c(roll), -s(roll)], [0, s(roll), c(roll)]])
    ry = np.array([[c(pitch), 0, s(pitch)], [0, 1, 0], [-s(pitch), 0, c(pitch)]])
    rz = np.array([[c(yaw), -s(yaw), 0], [s(yaw), c(yaw), 0], [0, 0, 1]])
    return rz @ ry @ rx


@pytest.fixture(params=[Robot, FloatingRobot])
def robot(request, write_urdf):
    return request.param(write_urdf(SHAPES_URDF))


@pytest.mark.parametrize("kind, expected", [("visuals", VISUALS), ("collisions", COLLISIONS)])
def test_records_in_link_then_file_order(robot, kind, expected):
    assert [(robot.link_names[s.link], *s[2:]) for s in getattr(robot, kind)] == expected


@pytest.mark.parametrize("kind, index, xyz, rpy", [
    ("visuals", 0, (0.1, -0.2, 0.3), (0.3, -0.5, 0.7)),
    ("collisions", 3, (1, 2, 3), (0, 0, np.pi / 2)),
    ("visuals", 5, (0, 0, 0.05), (0, 0, 0)),
    ("visuals", 1, (0, 0, 0), (0, 0, 0)),  # no <origin>
])
def test_origin(robot, kind, index, xyz, rpy):
    origin = getattr(robot, kind)[index].origin
    np.testing.assert_allclose(origin.translation, xyz, atol=1e-15)
    np.testing.assert_allclose(quat_matrix(origin.rotation_xyzw), rpy_matrix(*rpy), atol=1e-12)


def in_link(fragment):
    return f'<robot name="r"><link name="L">{fragment}{BODY}</link></robot>'


def at_top(fragment):
    return f'<robot name="r"><link name="L">{BODY}</link>{fragment}</robot>'


def visual(geometry, extra=""):
    return in_link(f"<visual><geometry>{geometry}</geometry>{extra}</visual>")


def tint(rgba):
    return visual('<sphere radius="1"/>', f'<material name="m"><color rgba="{rgba}"/></material>')


XACRO = "is an unexpanded xacro substitution"
EXPAND = "; this is xacro input, expand it with xacro first (xacro robot.urdf.xacro > robot.urdf)"


@pytest.mark.parametrize("xml, message", [
    (in_link("<visual/>"), "link L: <visual> has no <geometry> element"),
    (visual(""), "link L: <visual>: <geometry> holds no box, cylinder, sphere or mesh"),
    (visual('<capsule radius="1" length="2"/>'),
     "link L: <visual>: <geometry> holds <capsule>, not a box, cylinder, sphere or mesh"),
    (visual("<box/>"), "link L: <visual>: <box> has no 'size' attribute"),
    (visual('<box size="1 2"/>'), "link L: <visual>: attribute 'size' of <box> must hold three numbers: '1 2'"),
    (in_link('<collision><geometry><cylinder length="1"/></geometry></collision>'),
     "link L: <collision>: <cylinder> has no 'radius' attribute"),
    (visual('<cylinder radius="1"/>'), "link L: <visual>: <cylinder> has no 'length' attribute"),
    (visual("<mesh/>"), "link L: <visual>: <mesh> has no 'filename' attribute"),
    (visual('<box size="1 -2 3"/>'), "link L: <visual>: the <box> sizes must be finite and not negative"),
    (visual('<sphere radius="nan"/>'), "link L: <visual>: the <sphere> sizes must be finite and not negative"),
    (visual('<mesh filename="m.stl" scale="1 inf 1"/>'), "link L: <visual>: the <mesh> scale must be finite"),
    (in_link('<collision><origin xyz="inf 0 0"/><geometry><sphere radius="1"/></geometry></collision>'),
     "link L: <collision>: <origin> must hold finite values"),
    (tint("1 0 0"), "link L: <visual>: attribute 'rgba' of <color> must hold four numbers: '1 0 0'"),
    (tint("1 0 0 1 1"), "link L: <visual>: attribute 'rgba' of <color> must hold four numbers: '1 0 0 1 1'"),
    (tint("1 0 0 1.5"), "link L: <visual>: attribute 'rgba' of <color> must hold numbers from 0 to 1: '1 0 0 1.5'"),
    (at_top('<material><color rgba="1 0 0 1"/></material>'), "a top-level <material> element has no name"),
    (at_top('<material name="x"><color rgba="0 0 2 1"/></material>'),
     "material x: attribute 'rgba' of <color> must hold numbers from 0 to 1: '0 0 2 1'"),
    (visual('<sphere radius="${r}"/>'), f"link L: <visual>: attribute 'radius' of <sphere> {XACRO}: '${{r}}'{EXPAND}"),
    (tint("${c}"), f"link L: <visual>: attribute 'rgba' of <color> {XACRO}: '${{c}}'{EXPAND}"),
    (visual('<mesh filename="$(find pkg)/m.stl"/>'),
     f"link L: <visual>: attribute 'filename' of <mesh> {XACRO}: '$(find pkg)/m.stl'{EXPAND}"),
    (visual('<sphere radius="1"/>', '<material name="${m}"/>'),
     f"link L: <visual>: attribute 'name' of <material> {XACRO}: '${{m}}'{EXPAND}"),
    (visual('<box size="1 1 1"/><sphere radius="1"/>'),
     "link L: <visual>: <geometry> must hold exactly one box, cylinder, sphere or mesh"),
    (at_top('<material name="x"/><material name="x"/>'),
     "top-level material names must be unique: 'x' appears twice"),
])
def test_malformed_shapes_are_refused(xml, message):
    with pytest.raises(ModelError) as info:
        Robot.from_urdf_string(xml)
    assert str(info.value) == "failed to parse URDF: " + message


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_path(cls, tmp_path, monkeypatch):
    (tmp_path / "rel.urdf").write_text(SHAPES_URDF, encoding="utf-8")
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    loaded = cls("rel.urdf")
    assert loaded.path == str(tmp_path / "rel.urdf") and os.path.isabs(loaded.path)
    assert cls.from_urdf("sub/../rel.urdf").path == loaded.path  # made absolute and normal
    assert cls.from_urdf_string(SHAPES_URDF).path is None
    restored = pickle.loads(pickle.dumps(loaded))
    assert restored.path is None
    assert (restored.visuals, restored.collisions) == (loaded.visuals, loaded.collisions)
    loaded.close()
    for name in ("path", "visuals", "collisions"):
        with pytest.raises(RuntimeError, match="robot is closed"):
            getattr(loaded, name)


def test_published_robots():
    from test_cross_validation import robots_dir

    ur5 = Robot(str(robots_dir() / "ur_description/urdf/ur5_robot.urdf"))
    # Seven meshes each, and ee_link's small collision box.
    meshes = ur5.visuals + ur5.collisions[:7]
    assert (len(ur5.visuals), len(ur5.collisions)) == (7, 8) and all(s.filename.startswith("package://") for s in meshes)
    box = ur5.collisions[7]
    assert (ur5.link_names[box.link], box.geometry, box.size) == ("ee_link", "box", (0.01,) * 3)

    solo = FloatingRobot(str(robots_dir() / "solo_description/robots/solo12.urdf"))
    assert [s.link for s in solo.visuals] == list(range(len(solo.link_names)))  # one on every link
    assert {(s.material, s.color) for s in solo.visuals} == {("grey", (0.8, 0.8, 0.8, 1.0))}
    assert solo.visuals[-1].filename.endswith("foot.stl")


@pytest.mark.parametrize("top, expected", [("", (0.0, 0.0, 1.0, 1.0)),  # defined in another link's visual
                                           ('<material name="blue"><color rgba="0 1 0 1"/></material>',
                                            (0.0, 1.0, 0.0, 1.0))])  # the top-level one comes first
def test_a_named_colour_is_found_where_a_visual_defines_it(top, expected):
    sphere = '<geometry><sphere radius="1"/></geometry>'
    xml = (f'<robot name="r"><link name="a"><visual>{sphere}<material name="blue"><color rgba="0 0 1 1"/>'
           f'</material></visual></link><link name="b"><visual>{sphere}<material name="blue"/></visual></link>'
           '<joint name="j" type="fixed"><parent link="a"/><child link="b"/></joint>' + top + "</robot>")
    assert Robot.from_urdf_string(xml).visuals[1].color == expected
