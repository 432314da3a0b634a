"""Link shapes from URDF: <visual> and <collision> elements, material colours, and the file a
robot was loaded from."""

import os
import pickle
import re
from pathlib import Path

import numpy as np
import pytest

from conftest import INERTIA, quat_matrix
from velkor import BaseState, FloatingRobot, ModelError, Robot

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
    (visual('<sphere radius="${r}"/>'), f"link L: <visual>: attribute 'radius' of <sphere> {XACRO}: '${{r}}'{EXPAND}"),
    (tint("${c}"), f"link L: <visual>: attribute 'rgba' of <color> {XACRO}: '${{c}}'{EXPAND}"),
    (visual('<mesh filename="$(find pkg)/m.stl"/>'),
     f"link L: <visual>: attribute 'filename' of <mesh> {XACRO}: '$(find pkg)/m.stl'{EXPAND}"),
    (visual('<sphere radius="1"/>', '<material name="${m}"/>'),
     f"link L: <visual>: attribute 'name' of <material> {XACRO}: '${{m}}'{EXPAND}"),
    (at_top('<material><color rgba="1 0 0 1"/></material>'), "a top-level <material> element has no name"),
    (at_top('<material name="x"><color rgba="0 0 2 1"/></material>'),
     "material x: attribute 'rgba' of <color> must hold numbers from 0 to 1: '0 0 2 1'"),
    (at_top('<material name="x"/><material name="x"/>'),
     "top-level material names must be unique: 'x' appears twice"),
])
def test_unexpanded_xacro_and_bad_top_level_materials_are_refused(xml, message):
    with pytest.raises(ModelError) as info:
        Robot.from_urdf_string(xml)
    assert str(info.value) == "failed to parse URDF: " + message


# A pendulum whose link L holds `fragment` before its mass: its dynamics do not depend on it.
def pendulum(fragment=""):
    return (f'<robot name="r"><link name="base">{BODY}</link><link name="L">{fragment}<inertial><origin xyz="0.1 0.2 0.3"/>'
            f'<mass value="2"/>{INERTIA}</inertial></link><joint name="j" type="revolute"><parent link="base"/>'
            '<child link="L"/><axis xyz="0 1 0"/><limit lower="-1" upper="1" velocity="1"/></joint></robot>')


@pytest.mark.parametrize("fragment, reason", [
    ("<visual/>", "no <geometry> element"),
    ("<visual><geometry/></visual>", "<geometry> holds no shape"),
    ('<visual><geometry><box size="1 1 1"/><sphere radius="1"/></geometry></visual>',
     "<geometry> holds more than one shape (<box> and <sphere>)"),
    ('<visual><geometry><cdf filename="c.cdf" scale="1 1 1"/></geometry></visual>',
     "<geometry> holds <cdf>, not a box, cylinder, capsule, sphere, plane or mesh"),
    ("<visual><geometry><box/></geometry></visual>", "<box> has no 'size' attribute"),
    ('<visual><geometry><box size="1 2"/></geometry></visual>', "attribute 'size' of <box> must hold three numbers: '1 2'"),
    ('<visual><geometry><cylinder length="1"/></geometry></visual>', "<cylinder> has no 'radius' attribute"),
    ('<visual><geometry><capsule radius="1"/></geometry></visual>', "<capsule> has no 'length' attribute"),
    ("<visual><geometry><mesh/></geometry></visual>", "<mesh> has no 'filename' attribute"),
    ('<visual><geometry><box size="1 -2 3"/></geometry></visual>', "the <box> sizes must be finite and not negative"),
    ('<visual><geometry><sphere radius="nan"/></geometry></visual>', "the <sphere> sizes must be finite and not negative"),
    ('<visual><geometry><capsule radius="1" length="-1"/></geometry></visual>',
     "the <capsule> sizes must be finite and not negative"),
    ('<visual><geometry><mesh filename="m.stl" scale="1 inf 1"/></geometry></visual>', "the <mesh> scale must be finite"),
    ('<visual><geometry><plane normal="0 0 0"/></geometry></visual>', "the <plane> normal must be finite and not zero"),
    ('<visual><geometry><plane normal="0 nan 1"/></geometry></visual>', "the <plane> normal must be finite and not zero"),
    ('<visual><origin xyz="inf 0 0"/><geometry><sphere radius="1"/></geometry></visual>',
     "<origin> must hold finite values"),
    ('<visual><geometry><sphere radius="1"/></geometry><material name="m"><color rgba="1 0 0"/></material></visual>',
     "attribute 'rgba' of <color> must hold four numbers: '1 0 0'"),
    ('<visual><geometry><sphere radius="1"/></geometry><material name="m"><color rgba="1 0 0 1.5"/></material>'
     "</visual>", "attribute 'rgba' of <color> must hold numbers from 0 to 1: '1 0 0 1.5'"),
])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_unreadable_shapes_are_left_out_and_listed(cls, fragment, reason):
    robot = cls.from_urdf_string(pendulum(fragment))
    assert robot.visuals == () and robot.skipped_shapes == ((1, "visual", 0, reason),)
    skipped = robot.skipped_shapes[0]
    assert (skipped.link, skipped.element, skipped.index_in_link, skipped.reason) == (1, "visual", 0, reason)
    plain = cls.from_urdf_string(pendulum())
    assert plain.skipped_shapes == ()
    q, qd = np.array([0.4]), np.array([-0.7])
    state = (BaseState(),) if cls is FloatingRobot else ()
    np.testing.assert_array_equal(robot.mass_matrix(*state, q), plain.mass_matrix(*state, q))
    np.testing.assert_array_equal(robot.inverse_dynamics(*state, q, qd, qd), plain.inverse_dynamics(*state, q, qd, qd))


def test_skipped_shapes_keep_their_kind_and_place_among_the_good_ones():
    sphere = '<geometry><sphere radius="1"/></geometry>'
    robot = Robot.from_urdf_string(pendulum(
        f"<collision><geometry/></collision><visual>{sphere}</visual><collision>{sphere}</collision>"
        f"<visual><geometry><cdf/></geometry></visual><collision>{sphere}</collision>"
        "<collision><geometry><box/></geometry></collision>"))
    assert (len(robot.visuals), len(robot.collisions)) == (1, 2)
    assert [s[:3] for s in robot.skipped_shapes] == [(1, "visual", 1), (1, "collision", 0), (1, "collision", 3)]
    restored = pickle.loads(pickle.dumps(robot))
    assert restored.skipped_shapes == robot.skipped_shapes


@pytest.mark.parametrize("geometry, kind, size", [
    ('<capsule radius="0.1" length="0.5"/>', "capsule", (0.1, 0.5)),
    ('<capsule length="0.5" radius="0"/>', "capsule", (0.0, 0.5)),
    ('<plane normal="0 0 1"/>', "plane", (0.0, 0.0, 1.0)),
    ('<plane normal="0 3 -4" size="10 10"/>', "plane", (0.0, 0.6, -0.8)),  # size is read as nothing
    ("<plane/>", "plane", (0.0, 0.0, 1.0)),
    ('<plane normal="1e300 -1e300 1e300"/>', "plane", np.array([1, -1, 1]) / np.sqrt(3)),  # no overflow
])
@pytest.mark.parametrize("element", ["visual", "collision"])
def test_capsules_and_planes(geometry, kind, size, element):
    robot = Robot.from_urdf_string(pendulum(f"<{element}><geometry>{geometry}</geometry></{element}>"))
    shape, = robot.visuals if element == "visual" else robot.collisions
    assert (shape.link, shape.geometry, shape.filename, shape.scale) == (1, kind, None, ONE)
    np.testing.assert_allclose(shape.size, size, rtol=1e-15)
    assert robot.skipped_shapes == ()


PYBULLET_FILES = ["plane_implicit.urdf", "racecar/racecar.urdf", "racecar/racecar_differential.urdf",
                  "toys/concave_box.urdf"]


@pytest.mark.parametrize("name", PYBULLET_FILES)
def test_pybullet_data_robots_load_with_the_dynamics_of_their_bare_files(name):
    pybullet_data = pytest.importorskip("pybullet_data", reason="needs pybullet (its data files), which cannot be imported here")
    text = (Path(pybullet_data.getDataPath()) / name).read_text(encoding="utf-8")
    bare = re.sub(r"<(visual|collision)\b.*?</\1>", "", text, flags=re.S)
    assert "<geometry" not in bare
    robot, plain = Robot.from_urdf_string(text), Robot.from_urdf_string(bare)
    assert robot.skipped_shapes or any(s.geometry == "plane" for s in robot.collisions)
    assert (robot.link_names, robot.joints) == (plain.link_names, plain.joints)
    rng = np.random.default_rng(3)
    for _ in range(3):
        q, qd, qdd = (rng.uniform(-1, 1, robot.joint_count) for _ in range(3))
        np.testing.assert_array_equal(robot.mass_matrix(q), plain.mass_matrix(q))
        np.testing.assert_array_equal(robot.inverse_dynamics(q, qd, qdd), plain.inverse_dynamics(q, qd, qdd))
        np.testing.assert_array_equal(robot.forward_kinematics_all(q), plain.forward_kinematics_all(q))


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
    from peers import robots_dir

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
