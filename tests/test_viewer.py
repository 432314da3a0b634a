"""The browser viewer (velkor.viewer, the viewer extra): meshes found the way ROS users expect,
missing ones reported, the published robots shown whole, and, in Debian's Chromium driven by
Playwright, the robot's pixels where velkor's kinematics put them, in the served page and in the
exported one. The browser tests share one browser and are marked `browser`; they write the
screenshots of the Viewer page of the docs."""

import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import velkor
from test_cross_validation import robots_dir
from velkor import BaseState, FloatingRobot, Pose, Robot
from velkor.viewer import MissingMeshWarning, Viewer, find_mesh

SHOTS = Path(__file__).parent.parent / "docs" / "_static" / "viewer"
CHROMIUM = "/usr/bin/chromium"


def mesh_robot(filename, extra_link=""):
    return ("<robot name='r'><link name='base'><visual><geometry><box size='0.1 0.1 0.1'/></geometry></visual>"
            f"</link><link name='tip'><visual><geometry><mesh filename='{filename}'/></geometry></visual></link>"
            "<joint name='j' type='revolute'><parent link='base'/><child link='tip'/><axis xyz='0 0 1'/>"
            f"<limit lower='-1' upper='1' effort='1' velocity='1'/></joint>{extra_link}</robot>")


def test_importing_velkor_leaves_the_viewer_out():
    code = "import sys, velkor; print('velkor.viewer' in sys.modules, 'viser' in sys.modules, 'trimesh' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "False", "False"]


@pytest.mark.parametrize("filename, where, found", [
    ("package://pkg/meshes/a.stl", "parents", True),  # a folder above the URDF named like the package
    ("package://pkg/meshes/a.stl", "ros", True),  # ROS_PACKAGE_PATH holds the package's parent
    ("package://pkg/meshes/a.stl", "dirs", True),  # package_dirs=, searched first
    ("package://other/meshes/a.stl", "parents", False),
    ("../meshes/a.stl", "parents", True),  # relative to the URDF's folder
    ("file://{root}/ws/pkg/meshes/a.stl", "nowhere", True),
    ("meshes/missing.stl", "parents", False),
])
def test_meshes_are_found_as_ros_users_expect(tmp_path, monkeypatch, filename, where, found):
    mesh = tmp_path / "ws" / "pkg" / "meshes" / "a.stl"
    mesh.parent.mkdir(parents=True)
    mesh.write_text("solid a\nendsolid a\n")
    urdf = (tmp_path / "ws" / "pkg" / "urdf" / "r.urdf") if where == "parents" else tmp_path / "elsewhere" / "r.urdf"
    urdf.parent.mkdir(parents=True)
    monkeypatch.setenv("ROS_PACKAGE_PATH", str(tmp_path / "ws") if where == "ros" else "")
    dirs = [tmp_path / "ws"] if where == "dirs" else []
    result = find_mesh(filename.format(root=tmp_path), str(urdf), dirs)
    assert (result is not None and result.resolve() == mesh.resolve()) if found else result is None


@pytest.mark.parametrize("content, reason", [(None, "no such file"), ("not a mesh at all", "")])
def test_a_mesh_that_cannot_be_shown_is_a_warning_and_listed(tmp_path, content, reason):
    if content is not None:
        (tmp_path / "bad.stl").write_text(content)
    path = tmp_path / "r.urdf"
    path.write_text(mesh_robot("bad.stl"))
    robot = Robot(str(path))
    with pytest.warns(MissingMeshWarning, match=f"link tip: mesh 'bad.stl' not shown: {reason}"):
        viewer = Viewer(robot, sliders=False)
    with viewer:
        assert viewer.missing_meshes == [("tip", "bad.stl")] and viewer.shape_count == 1


@pytest.mark.parametrize("collision, drawn", [(False, 1), (True, 0)])
def test_capsules_are_drawn_and_planes_left_out(collision, drawn):
    geometry = ('<visual><geometry><capsule radius="0.05" length="0.3"/></geometry></visual>'
                '<collision><geometry><plane normal="0 0 1"/></geometry></collision>')
    robot = Robot.from_urdf_string(f'<robot name="r"><link name="a">{geometry}</link></robot>')
    with Viewer(robot, sliders=False, collision=collision) as viewer:
        assert viewer.shape_count == drawn and viewer.missing_meshes == []


PUBLISHED = {
    "UR5": (Robot, "ur_description/urdf/ur5_robot.urdf", {}),
    "Panda (coupled)": (Robot, "panda_description/urdf/panda.urdf", {"mimic": "couple"}),
    "Talos": (FloatingRobot, "talos_data/robots/talos_full_v2.urdf", {"mimic": "couple", "massless_root": "allow"}),
    "Solo12": (FloatingRobot, "solo_description/robots/solo12.urdf", {}),
}


@pytest.mark.parametrize("label", PUBLISHED)
def test_published_robots_show_every_visual(label, recwarn):
    cls, file, options = PUBLISHED[label]
    robot = cls(str(robots_dir() / file), **options)
    with Viewer(robot) as viewer:
        assert viewer.missing_meshes == [] and viewer.shape_count == len(robot.visuals) > 5
        assert not [w for w in recwarn if issubclass(w.category, MissingMeshWarning)]
        assert viewer.url.startswith("http://127.0.0.1:")
        viewer.play(np.tile(robot.neutral_configuration() if cls is Robot
                            else np.r_[0, 0, 1.0, 0, 0, 0, 1, robot.neutral_configuration()], (3, 1)), 0.001)


def test_states_and_options_are_checked():
    solo = FloatingRobot(str(robots_dir() / PUBLISHED["Solo12"][1]))
    with Viewer(solo, sliders=False) as viewer:
        viewer.display(BaseState(Pose([0, 0, 0.3])), solo.neutral_configuration())
        with pytest.raises(ValueError, match="expected 19 elements in configuration, found 12"):
            viewer.display(solo.neutral_configuration())
        with pytest.raises(TypeError, match="BaseState"):
            viewer.display(np.zeros(6), solo.neutral_configuration())
        with pytest.raises(ValueError, match="dt must be a finite number above 0"):
            viewer.play(np.zeros((2, 19)), 0.0)
        feet = solo.constraint_set([velkor.Contact(solo.link_id(f"{leg}_FOOT")) for leg in ("FL", "FR")])
        with pytest.raises(ValueError, match="expected 6 elements in forces, found 3"):
            viewer.show_forces(feet, np.zeros(3))
        _, forces = solo.constrained_forward_dynamics(BaseState(Pose([0, 0, 0.3])), solo.neutral_configuration(),
                                                      np.zeros(12), np.zeros(18), feet)
        viewer.show_forces(feet, forces)
        viewer.show_forces(None)
    with Viewer(solo) as viewer:  # a slider moves its joint through velkor; the base stays
        viewer.display(BaseState(Pose([0, 0, 0.3])), solo.neutral_configuration())
        viewer.sliders[2].value = -1.2
        assert viewer.q[2] == -1.2 and [s.value for s in viewer.sliders] == list(viewer.q)
        assert len(viewer.sliders) == solo.joint_count
    with pytest.raises(TypeError, match="must be a velkor.Robot or FloatingRobot"):
        Viewer("robot.urdf")


# ---- in the browser ----

@pytest.fixture(scope="module")
def browser():
    from playwright.sync_api import sync_playwright

    if not Path(CHROMIUM).exists():
        pytest.fail("Debian's chromium is not installed (apt-get install -y chromium)")
    with sync_playwright() as playwright:
        chromium = playwright.chromium.launch(executable_path=CHROMIUM, args=[
            "--no-sandbox", "--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"])
        yield chromium
        chromium.close()


def settled(page, panels=True, timeout=120.0):
    """The page's pixels once three screenshots in a row are identical (the scene loads late),
    without the software-rendering notice and, with `panels` False, without the control panel
    (the left 560 of 900 pixels)."""
    page.add_style_tag(content=".mantine-Notifications-root {visibility: hidden !important}")
    clip = None if panels else {"x": 0, "y": 0, "width": 560, "height": 700}
    start, last, same = time.monotonic(), None, 0
    while time.monotonic() - start < timeout:
        shot = page.screenshot(clip=clip)
        same = same + 1 if shot == last else 0
        if same == 2:
            return shot
        last = shot
        time.sleep(0.2)
    raise AssertionError("the page never settled")


def pixels(png):
    from io import BytesIO

    return np.asarray(Image.open(BytesIO(png)).convert("RGB"), dtype=int)


def drawn(png):
    """The mask of pixels that are not the white background."""
    return (pixels(png) < 245).any(axis=2)


@pytest.mark.browser
def test_the_browser_shows_the_robot_where_velkor_puts_it(browser, tmp_path):
    SHOTS.mkdir(parents=True, exist_ok=True)
    page = browser.new_page(viewport={"width": 900, "height": 700})
    ur5 = Robot(str(robots_dir() / PUBLISHED["UR5"][1]))
    q0 = ur5.neutral_configuration()
    q1 = q0 + np.array([0.0, -0.9, 0.8, 0.0, 0.0, 0.0])  # shoulder and elbow: the arm bends
    blank = Robot.from_urdf_string(mesh_robot("x.stl").replace("<visual><geometry><mesh filename='x.stl'/>"
                                                                 "</geometry></visual>", "")
                                   .replace("<visual><geometry><box size='0.1 0.1 0.1'/></geometry></visual>", ""))
    with Viewer(blank, sliders=False) as empty:
        page.goto(empty.url)
        assert drawn(settled(page, panels=False)).sum() == 0  # an empty scene is all background
    with Viewer(ur5) as viewer:
        page.goto(viewer.url)
        Path(SHOTS / "ur5.png").write_bytes(settled(page))
        at_q0 = settled(page, panels=False)
        viewer.display(q1)
        at_q1 = settled(page, panels=False)
        viewer.display(q0)
        again = settled(page, panels=False)
        viewer.export_html(tmp_path / "ur5.html", np.array([q1]))
    assert drawn(at_q0).sum() > 2000  # the robot's pixels appear
    assert again == at_q0  # the same configuration, the same image
    changed = (np.abs(pixels(at_q1) - pixels(at_q0)).max(axis=2) > 30)
    # the upper arm and forearm moved, the base and shoulder did not: some of the robot's pixels stay
    assert changed.sum() > 500 and (drawn(at_q0) & drawn(at_q1) & ~changed).sum() > 300
    page.goto((tmp_path / "ur5.html").as_uri())  # the exported page, from file:// with no server
    exported = settled(page, panels=False)
    assert drawn(exported).sum() > 2000
    page.close()


@pytest.mark.browser
def test_the_docs_scenes_render(browser, tmp_path):
    page = browser.new_page(viewport={"width": 900, "height": 700})
    talos = FloatingRobot(str(robots_dir() / PUBLISHED["Talos"][1]), **PUBLISHED["Talos"][2])
    with Viewer(talos) as viewer:
        viewer.display(BaseState(Pose([0, 0, 1.0])), talos.neutral_configuration())
        viewer.show_frames(["leg_left_6_link", "arm_right_7_link"])
        viewer.show_center_of_mass()
        page.goto(viewer.url)
        shot = settled(page)
        (SHOTS / "talos.png").write_bytes(shot)
        assert drawn(shot).sum() > 2000
    page.close()


def test_view_exports_a_page_from_the_command_line(tmp_path, capsys):
    from velkor.__main__ import main

    out = tmp_path / "solo.html"
    assert main(["view", str(robots_dir() / PUBLISHED["Solo12"][1]), "--floating", "--export", str(out)]) == 0
    assert capsys.readouterr().out == f"wrote {out}\n"
    assert "__VISER_EMBED_DATA__" in out.read_text()
    assert main(["view", "arm", "--mimic", "loose"]) == 2  # a bad option is argparse's usage error
