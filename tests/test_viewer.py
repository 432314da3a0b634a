"""The browser viewer (velkor.viewer, the viewer extra): meshes found the way ROS users expect,
missing ones reported, the published robots shown whole, and, in Debian's Chromium driven by
Playwright, the robot's pixels where velkor's kinematics put them, in the served page and in the
exported one. The browser tests share one browser and are marked `browser`; they write the
screenshots of the Viewer page of the docs."""

import re
import socket
import subprocess
import sys
import threading
import types
import urllib.request
from pathlib import Path

import numpy as np
import pytest
from peers import robots_dir

# the viewer extra (velkor.viewer imports both)
pytest.importorskip("viser", reason="needs viser (the viewer extra), which cannot be imported here")
pytest.importorskip("trimesh", reason="needs trimesh (the viewer extra), which cannot be imported here")

import velkor  # noqa: E402
from velkor import BaseState, FloatingRobot, Pose, Robot
from velkor.samples import sample_path
from velkor.viewer import READY_ATTRIBUTE, MissingMeshWarning, Viewer, _limbs, find_mesh

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


def test_overlays_stand_where_the_displayed_state_puts_the_links():
    # a configuration array's quaternion as stored (not unit): the base is read from it as
    # BaseState.from_configuration reads it, and frames, mark and arrows use that state's poses
    quadruped = FloatingRobot(sample_path("quadruped"))
    q = quadruped.random_configuration(np.random.default_rng(3))
    configuration = np.r_[0.1, -0.2, 0.3, 0.0, 0.0, 2.0, 2.0, q]
    base = BaseState.from_configuration(configuration)
    feet = [quadruped.link_id(f"{leg}_foot") for leg in ("front_left", "hind_right")]
    contacts = quadruped.constraint_set([velkor.Contact(foot) for foot in feet])
    with Viewer(quadruped, sliders=False) as viewer:
        viewer.display(configuration)
        viewer.show_frames(feet)
        viewer.show_center_of_mass()
        viewer.show_forces(contacts, np.arange(6.0), scale=0.01)
        arrows, forces = np.asarray(viewer._forces.points), np.arange(6.0).reshape(2, 3)
        for k, foot in enumerate(feet):
            pose = quadruped.forward_kinematics(base, q, foot)
            frame = viewer._frames[foot]
            np.testing.assert_allclose(frame.position, pose.translation, atol=1e-6)
            np.testing.assert_allclose(abs(np.dot(frame.wxyz, np.roll(pose.rotation_xyzw, 1))), 1, atol=1e-6)
            np.testing.assert_allclose(arrows[k], [pose.translation, pose.translation + 0.01 * forces[k]], atol=1e-6)
        np.testing.assert_allclose(viewer._com[0].position, quadruped.center_of_mass(base, q), atol=1e-6)
        assert np.array_equal(viewer.q, q)


def link_offset_segments(viewer, constraints, forces, scale):
    """show_forces' arrows derived from the displayed link poses and the items' offsets in Python
    (as the viewer once drew them): from each side's point along sign·scale·force."""
    poses, segments = viewer._poses, []
    for item, rows in zip(constraints.items, constraints.rows):
        force = forces[rows][-3:]
        sides = ([(item.link_id, item.offset, 1.0)] if isinstance(item, velkor.Contact)
                 else [(item.link_a, item.offset_a, 1.0), (item.link_b, item.offset_b, -1.0)])
        for link, offset, sign in sides:
            pose = Pose(poses[link, :3], poses[link, 3:])
            point = np.asarray((pose @ offset if offset is not None else pose).translation)
            segments.append([point, point + sign * scale * force])
    return np.array(segments)


OFFSET = Pose([0.02, -0.01, 0.05], [0.1, -0.2, 0.3, 0.9])


@pytest.mark.parametrize("floating", [False, True], ids=["fixed", "floating"])
@pytest.mark.parametrize("kind", ["contact", "frame contact", "loop closure"])
def test_force_arrows_start_at_the_constraint_points(floating, kind):
    if floating:
        robot = FloatingRobot(sample_path("quadruped"))
        a, b = robot.link_id("front_left_foot"), robot.link_id("hind_right_shank")
        q = robot.random_configuration(np.random.default_rng(6))
        state = (BaseState(Pose([0.3, -0.2, 0.5], [0.2, 0.1, -0.3, 0.9])), q)
    else:
        robot = Robot(sample_path("arm"))
        robot.set_base_frame(Pose([0.1, 0.2, -0.3], [0.0, 0.0, 0.38, 0.92]))
        a, b = robot.link_id("tool"), robot.link_id("elbow")  # the tool sits on a fixed joint
        state = (robot.random_configuration(np.random.default_rng(6)),)
    item = {"contact": velkor.Contact(a, offset=OFFSET, target=Pose([1.0, 0.0, 0.0])),
            "frame contact": velkor.Contact(b, "frame", OFFSET),
            "loop closure": velkor.LoopClosure(a, b, offset_a=OFFSET, offset_b=OFFSET.inverse())}[kind]
    constraints = robot.constraint_set([item])
    forces = np.random.default_rng(7).uniform(-50.0, 50.0, constraints.count)
    with Viewer(robot, sliders=False) as viewer:
        viewer.display(*state)
        viewer.show_forces(constraints, forces, scale=0.01)
        segments = viewer._force_segments(constraints, forces, 0.01)
        np.testing.assert_allclose(segments, link_offset_segments(viewer, constraints, forces, 0.01), rtol=0,
                                   atol=1e-12)
        assert np.array_equal(viewer._forces.points, segments.astype(np.float32))  # viser keeps float32
        # a set of another handle of the same file: its items on this robot, as before
        again = type(robot)(sample_path("quadruped" if floating else "arm")).constraint_set([item])
        viewer.show_forces(again, forces, scale=0.01)
        assert np.array_equal(viewer._forces.points, segments.astype(np.float32))
        links = "".join(f"<link name='l{i}'/>" for i in range(20))
        joints = "".join(f"<joint name='j{i}' type='fixed'><parent link='l{i}'/><child link='l{i + 1}'/></joint>"
                         for i in range(19))
        chain = Robot.from_urdf_string(f"<robot name='chain'>{links}{joints}</robot>")
        with pytest.raises(ValueError, match=r"items\[0\]: invalid link id 19"):
            viewer.show_forces(chain.constraint_set([velkor.Contact(19)]), np.zeros(3))
        assert viewer._forces is None


def test_without_viser_s_websocket_server_the_page_comes_unmarked(arm, monkeypatch):
    # a viser release that keeps its websocket server elsewhere: the viewer still serves the robot
    monkeypatch.setattr(velkor.viewer, "_websock", lambda server: None)
    with pytest.warns(RuntimeWarning, match=f"the page will not set {READY_ATTRIBUTE}"):
        viewer = returns(Viewer, arm, sliders=False)
    with viewer:
        viewer.display(arm.neutral_configuration())
        assert urllib.request.urlopen(viewer.url, timeout=60).status == 200


def returns(function, *args, **kwargs):
    """What function returns or raises, run on a thread of its own so that a hang fails the test
    (after far longer than any run takes) instead of stopping the suite."""
    outcome = []

    def call():
        try:
            outcome.append((True, function(*args, **kwargs)))
        except BaseException as error:
            outcome.append((False, error))

    worker = threading.Thread(target=call, daemon=True)
    worker.start()
    worker.join(300)
    assert outcome, f"{function.__name__} hangs"
    ok, value = outcome[0]
    if not ok:
        raise value
    return value


@pytest.fixture(scope="module")
def arm():
    with Robot(sample_path("arm")) as robot:
        yield robot


@pytest.mark.parametrize("host, port, error, message", [
    ("127.0.0.1", 70000, ValueError, "port must be from 0 to 65535 (0: any free port), got 70000"),
    ("127.0.0.1", -1, ValueError, "port must be from 0 to 65535 (0: any free port), got -1"),
    ("127.0.0.1", True, TypeError, "port must be an int, not bool"),
    ("127.0.0.1", "8080", TypeError, "port must be an int, not str"),
    ("10.255.255.1", 0, ValueError, "cannot listen on 10.255.255.1: "),  # an address of no interface here
    ("256.0.0.1", 0, ValueError, "cannot listen on 256.0.0.1: not an IPv4 address"),
    ("no-such-host.invalid", 0, ValueError, "cannot listen on no-such-host.invalid: "),
    (None, 0, TypeError, "host must be a str, not NoneType"),
])
def test_a_host_or_port_it_cannot_listen_on_is_refused_at_once(arm, host, port, error, message):
    with pytest.raises(error) as refused:
        returns(Viewer, arm, host=host, port=port, sliders=False)
    assert str(refused.value).startswith(message)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # viser's thread's end
def test_a_server_that_cannot_start_is_an_error_naming_host_and_port(arm, monkeypatch):
    # every port from 65535 up taken: viser's server thread dies on port 65536
    with socket.socket() as taken:
        try:
            taken.bind(("127.0.0.1", 65535))
        except OSError:
            pytest.skip("port 65535 is in use here")
        taken.listen()
        with pytest.raises(OSError, match="could not listen on 127.0.0.1:65535"):
            returns(Viewer, arm, port=65535, sliders=False)
    # a server thread that never reports: the start-up gives up after START_TIMEOUT
    import viser.infra

    monkeypatch.setattr(viser.infra.WebsockServer, "_background_worker", lambda self, ready: threading.Event().wait())
    monkeypatch.setattr(velkor.viewer, "START_TIMEOUT", 0.5)
    with pytest.raises(TimeoutError, match=r"did not start listening on 127.0.0.1:\d+ within 0.5 s"):
        returns(Viewer, arm, port=0, sliders=False)


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.parametrize("host, shown, everywhere", [
    ("127.0.0.1", "127.0.0.1", False), ("::1", "[::1]", False), ("", "127.0.0.1", True),
    ("0.0.0.0", "127.0.0.1", True)])
def test_the_url_is_one_a_browser_opens(arm, host, shown, everywhere):
    if ":" in host + shown and not ipv6_loopback():
        pytest.skip("no IPv6 loopback here")
    with Viewer(arm, host=host, sliders=False) as viewer:
        assert viewer.url.startswith(f"http://{shown}:") and viewer.every_interface == everywhere
        addresses = [viewer.url] + ([viewer.url.replace("127.0.0.1", "[::1]")] if host == "" and ipv6_loopback()
                                    else [])
        for address in addresses:  # host "": the IPv4 and IPv6 sockets share the port
            with urllib.request.urlopen(address, timeout=300) as page:
                assert page.status == 200


@pytest.mark.parametrize("links, error, message", [
    ([100], ValueError, "invalid link id 100"), ([-1], ValueError, "invalid link id -1"),
    ([0, 9], ValueError, "invalid link id 9"),  # the first is fine, nothing changes all the same
    ([True], TypeError, "expected a link id or name, got bool"),
    ([1.0], TypeError, "expected a link id or name, got float"),
    (["elbow_x"], ValueError, "link elbow_x does not exist"),
    ("tool", TypeError, "not a single str"),
])
def test_a_bad_link_changes_nothing(arm, links, error, message):
    with Viewer(arm, sliders=False) as viewer:
        viewer.show_frames([2])
        with pytest.raises(error, match=message):
            viewer.show_frames(links)
        assert list(viewer._frames) == [2]
        viewer.display(arm.neutral_configuration())
        viewer.show_frames([np.int64(8), "shoulder"])
        assert list(viewer._frames) == [8, 1]


@pytest.mark.parametrize("use", [
    lambda v, q, tmp: v.display(q), lambda v, q, tmp: v.play([q], 0.01), lambda v, q, tmp: v.show_frames([1]),
    lambda v, q, tmp: v.show_center_of_mass(), lambda v, q, tmp: v.show_forces(None),
    lambda v, q, tmp: v.export_html(tmp / "x.html"), lambda v, q, tmp: v.url,
], ids=["display", "play", "show_frames", "show_center_of_mass", "show_forces", "export_html", "url"])
def test_a_closed_viewer_says_so(arm, tmp_path, use):
    viewer = Viewer(arm)
    viewer.close()
    viewer.close()  # idempotent
    with pytest.raises(RuntimeError, match="^viewer is closed$"):
        use(viewer, arm.neutral_configuration(), tmp_path)
    assert not (tmp_path / "x.html").exists()


@pytest.mark.parametrize("configurations, dt, message", [
    (np.zeros(7), 0.05, "configurations must be a 2-D array"), (np.zeros((2, 7)), -1.0, "dt must be a finite number"),
    (np.zeros((2, 7)), float("nan"), "dt must be a finite number")])
def test_a_refused_export_leaves_nothing_recording(arm, tmp_path, configurations, dt, message):
    with Viewer(arm, sliders=False) as viewer:
        with pytest.raises(ValueError, match=message):
            viewer.export_html(tmp_path / "x.html", configurations, dt)
        assert not velkor.viewer._websock(viewer._server)._record_handles  # a recorder left would keep every message
        assert not (tmp_path / "x.html").exists()


@pytest.mark.parametrize("label, limbs", [
    ("Talos", ["torso", "head", "arm_left", "arm_right", "leg_left", "leg_right"]),
    ("Solo12", ["FL", "FR", "HL", "HR"]),
    ("UR5", ["shoulder"]),  # one chain: its sliders stay in one list
])
def test_the_sliders_come_by_limb(label, limbs):
    cls, file, options = PUBLISHED[label]
    robot = cls(str(robots_dir() / file), **options)
    grouped = _limbs(robot)
    assert [name for name, _ in grouped] == limbs
    dofs = [dof for _, run in grouped for dof in run]
    assert sorted(dofs) == list(range(robot.joint_count))
    above = {j.child: j.parent for j in robot.joints}

    def below(link, ancestor):
        while link != ancestor and link in above:
            link = above[link]
        return link == ancestor

    for _, run in grouped:  # each limb is a path from its root outwards
        joints = [next(j for j in robot.joints if j.dof == dof) for dof in run]
        assert all(below(b.parent, a.child) for a, b in zip(joints, joints[1:]))


# ---- in the browser ----

@pytest.fixture(scope="module")
def browser():
    pytest.importorskip("PIL", reason="needs Pillow (PyPI package 'pillow'), which cannot be imported here")
    pytest.importorskip("playwright", reason="needs Playwright, which cannot be imported here")
    from playwright.sync_api import sync_playwright

    if not Path(CHROMIUM).exists():
        pytest.fail("Debian's chromium is not installed (apt-get install -y chromium)")
    with sync_playwright() as playwright:
        chromium = playwright.chromium.launch(executable_path=CHROMIUM, timeout=LONG, args=[
            "--no-sandbox", "--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"])
        yield chromium
        chromium.close()


# Playwright's bound on one wait or screenshot, in ms: far above what a loaded machine takes (a
# screenshot of a page with meshes took 45 s at load average 18), never a measure of speed.
LONG = 600_000
SCENE = {"x": 0, "y": 0, "width": 560, "height": 640}  # left of the control panel, above a playback bar


def ready(page):
    """Waits for the page's own signal that the robot is drawn, and checks that the
    software-rendering notice of a headless browser is not shown."""
    page.wait_for_selector(f"html[{READY_ATTRIBUTE}]", state="attached", timeout=LONG)
    assert not page.get_by_text("Software WebGL rendering detected").is_visible()


def placed(page, robot, *state):
    """Waits until the page holds every link frame of the robot's shapes where velkor's forward
    kinematics puts it (the positions viser's client has applied, within 1e-6 m)."""
    poses = np.asarray(robot.forward_kinematics_all(*state)).reshape(-1, 7)
    expected = {f"/robot/link{k}": poses[k, :3].tolist() for k in {shape.link for shape in robot.visuals}}
    page.wait_for_function("""(expected) => {
        const state = window.__viserMutable;
        return state !== undefined && state.messageQueue.length === 0 && Object.entries(expected).every(
            ([name, p]) => { const pose = state.nodePoseData[name];
                return pose && pose.poseUpdateState === "updated"
                    && pose.position.every((x, i) => Math.abs(x - p[i]) < 1e-6); });
    }""", arg=expected, timeout=LONG)


def settled(page, clip=None):
    """The page's pixels (within `clip`) once two screenshots in a row are identical."""
    last = None
    for _ in range(20):
        shot = page.screenshot(clip=clip, timeout=LONG)
        if shot == last:
            return shot
        last = shot
    raise AssertionError("the page never settled")


def pixels(png):
    from io import BytesIO

    from PIL import Image

    return np.asarray(Image.open(BytesIO(png)).convert("RGB"), dtype=int)


def drawn(png):
    """The mask of pixels that are not the white background."""
    return (pixels(png) < 245).any(axis=2)


@pytest.mark.browser
def test_the_browser_shows_the_robot_where_velkor_puts_it(browser, tmp_path):
    SHOTS.mkdir(parents=True, exist_ok=True)
    page = browser.new_page(viewport={"width": 900, "height": 700})
    page.set_default_timeout(LONG)
    ur5 = Robot(str(robots_dir() / PUBLISHED["UR5"][1]))
    q0 = ur5.neutral_configuration()
    q1 = q0 + np.array([0.0, -0.9, 0.8, 0.0, 0.0, 0.0])  # shoulder and elbow: the arm bends
    blank = Robot.from_urdf_string(mesh_robot("x.stl").replace("<visual><geometry><mesh filename='x.stl'/>"
                                                                 "</geometry></visual>", "")
                                   .replace("<visual><geometry><box size='0.1 0.1 0.1'/></geometry></visual>", ""))
    with Viewer(blank, sliders=False) as empty:
        page.goto(empty.url)
        ready(page)
        assert drawn(settled(page, SCENE)).sum() == 0  # an empty scene is all background
    with Viewer(ur5) as viewer:
        page.goto(viewer.url)
        ready(page)
        placed(page, ur5, q0)
        Path(SHOTS / "ur5.png").write_bytes(settled(page))
        at_q0 = settled(page, SCENE)
        viewer.display(q1)
        placed(page, ur5, q1)
        at_q1 = settled(page, SCENE)
        viewer.display(q0)
        placed(page, ur5, q0)
        again = settled(page, SCENE)
        viewer.export_html(tmp_path / "ur5.html", np.array([q1]))
    assert drawn(at_q0).sum() > 2000  # the robot's pixels appear
    assert again == at_q0  # the same configuration, the same image
    changed = (np.abs(pixels(at_q1) - pixels(at_q0)).max(axis=2) > 30)
    # the upper arm and forearm moved, the base and shoulder did not: some of the robot's pixels stay
    assert changed.sum() > 500 and (drawn(at_q0) & drawn(at_q1) & ~changed).sum() > 300
    page.goto((tmp_path / "ur5.html").as_uri())  # the exported page, from file:// with no server
    ready(page)
    page.keyboard.press("Space")  # pause the looping playback, whose replays redraw the scene
    placed(page, ur5, q1)
    exported = settled(page, SCENE)
    assert drawn(exported).sum() > 2000
    page.close()


@pytest.mark.browser
def test_the_docs_scenes_render(browser, tmp_path):
    page = browser.new_page(viewport={"width": 900, "height": 700})
    page.set_default_timeout(LONG)
    talos = FloatingRobot(str(robots_dir() / PUBLISHED["Talos"][1]), **PUBLISHED["Talos"][2])
    with Viewer(talos) as viewer:
        base = BaseState(Pose([0, 0, 1.0]))
        viewer.display(base, talos.neutral_configuration())
        viewer.show_frames(["leg_left_6_link", "arm_right_7_link"])
        viewer.show_center_of_mass()
        page.goto(viewer.url)
        ready(page)
        placed(page, talos, base, talos.neutral_configuration())
        shot = settled(page)
        (SHOTS / "talos.png").write_bytes(shot)
        assert drawn(shot).sum() > 2000
        # the panel lists the sliders limb by limb (where the DOF order interleaves them), each
        # limb's from its root outwards, under the limb's name
        panel = page.inner_text("body").split("\n")
        names = [line for line in panel if line.endswith("_joint")]
        assert sorted(names) == sorted(talos.dof_names)
        limbs = [re.sub(r"(_\d+)?_joint$", "", name) for name in names]
        blocks = [limb for k, limb in enumerate(limbs) if k == 0 or limb != limbs[k - 1]]
        assert len(blocks) == len(set(blocks)) == 8  # torso, head, two arms, two grippers, two legs
        assert names[names.index("leg_left_1_joint"):][:6] == [f"leg_left_{k}_joint" for k in range(1, 7)]
        assert panel.index("leg_left") < panel.index("leg_left_1_joint")
    page.close()


def test_view_exports_a_page_from_the_command_line(tmp_path, capsys):
    from velkor.__main__ import main

    out = tmp_path / "solo.html"
    assert main(["view", str(robots_dir() / PUBLISHED["Solo12"][1]), "--floating", "--export", str(out)]) == 0
    assert capsys.readouterr().out == f"wrote {out}\n"
    assert "__VISER_EMBED_DATA__" in out.read_text()
    assert main(["view", "arm", "--mimic", "loose"]) == 2  # a bad option is argparse's usage error


@pytest.mark.parametrize("argv, status, message", [
    (["--port", "70000"], 2, "argument --port: expected a port from 0 to 65535, got '70000'"),
    (["--port", "-1"], 2, "argument --port: expected a port from 0 to 65535, got '-1'"),
    (["--port", "http"], 2, "argument --port: expected a port from 0 to 65535, got 'http'"),
    (["--host", "256.0.0.1"], 2, "argument --host: cannot listen on 256.0.0.1: not an IPv4 address"),
    (["--host", "10.255.255.1"], 2, "argument --host: cannot listen on 10.255.255.1: "),
    (["--export", "/no/such/dir/x.html"], 1, "velkor: /no/such/dir/x.html: No such file or directory\n"),
    (["--export", "{tmp}"], 1, "velkor: {tmp}: Is a directory\n"),
    (["--export", ""], 1, "velkor: '': No such file or directory\n"),
    (["--export", "/proc/version"], 1, "velkor: /proc/version: "),
])
def test_view_refuses_what_it_cannot_do_with_a_message(capsys, tmp_path, argv, status, message):
    from velkor.__main__ import main

    argv = [a.format(tmp=tmp_path) for a in argv]
    result = returns(main, ["view", "arm", *argv])
    err = capsys.readouterr().err
    assert result == status and message.format(tmp=tmp_path) in err and "Traceback" not in err
    if status == 1:
        assert err.startswith("velkor: ") and err.count("\n") == 1


def test_view_says_when_it_listens_on_every_interface(capsys, monkeypatch):
    import velkor.__main__

    def interrupted(_):
        raise KeyboardInterrupt

    # the serving loop stops at once, as at Ctrl-C
    monkeypatch.setattr(velkor.__main__, "time", types.SimpleNamespace(sleep=interrupted))
    main = velkor.__main__.main
    assert returns(main, ["view", "arm", "--host", "", "--port", "0"]) == 0
    out = capsys.readouterr().out
    assert re.fullmatch(r"viewing velkor_arm from sample 'arm' at http://127\.0\.0\.1:\d+ "
                        r"\(listening on every interface\) \(Ctrl-C to stop\)\n", out)
