"""The velkor command-line tool."""

import os
import re
import site
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import velkor
from velkor.__main__ import COMMANDS, main
from velkor._bench import COMPUTING_METHODS


def test_default_run_shows_both_sample_robots(capsys):
    assert main([]) == 0
    text = capsys.readouterr().out
    assert "robot velkor_arm (fixed base)" in text
    assert "robot velkor_quadruped (floating base)" in text
    assert "links 17, joint degrees of freedom 12, generalized velocities 18" in text
    assert "links in numbering order: 0 base, 1 shoulder," in text
    # the root of the fixed arm sits at the identity, the quadruped's torso at 0.45 m
    assert "0 base                   translation (+0.0000, +0.0000, +0.0000)" in text
    assert "0 torso                  translation (+0.0000, +0.0000, +0.4500)" in text


def test_broken_urdf_prints_the_model_error_without_traceback(tmp_path):
    path = tmp_path / "bad.urdf"
    path.write_text('<robot name="r"><link name="a"/><link name="a"/></robot>')
    run = subprocess.run([sys.executable, "-m", "velkor", str(path)], capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr == f"velkor: {path}: invalid robot model: link names must be unique\n"
    assert "Traceback" not in run.stderr
    assert run.stdout == ""  # no banner above an error


@pytest.mark.parametrize("order, status", [(("good", "bad", "arm"), 1), (("bad", "good"), 1), (("good", "arm"), 0)])
def test_the_banner_comes_after_a_successful_load(capsys, tmp_path, order, status):
    (tmp_path / "bad").write_text(urdf(link("a"), link("a")))
    (tmp_path / "good").write_text(urdf(link("a", 1)))
    result, out, err = run(capsys, *(name if name == "arm" else str(tmp_path / name) for name in order))
    assert result == status
    assert err == ("" if status == 0 else f"velkor: {tmp_path / 'bad'}: invalid robot model: link names must be unique\n")
    banner = f"velkor {velkor.__version__}\n"
    if order[0] == "bad":
        assert out == ""
    else:  # once, above the first robot; robots after a broken one are not shown
        assert out.startswith(f"{banner}robot r (fixed base) from {tmp_path / 'good'}\n") and out.count(banner) == 1
    assert ("velkor_arm" in out) == (status == 0)


@pytest.mark.parametrize("argv, floating", [(["--floating", "arm"], True), (["quadruped"], True), (["arm"], False),
                                            (["arm", "quadruped"], True)])
def test_a_floating_base_says_where_it_stands(capsys, argv, floating):
    status, out, _ = run(capsys, *argv)
    assert status == 0
    notes = re.findall(r"^  base frame at \(0, 0, ([\d.]+)\), not rotated, in both configurations$", out, re.M)
    assert notes == (["0.45"] if floating else [])
    if floating:  # the root link stands where the note says
        assert re.search(r"^ +0 \w+ +translation \(\+0\.0000, \+0\.0000, \+0\.4500\)", out.partition("base frame at")[2], re.M)


def test_the_package_namespace_is_the_public_api():
    # a fresh interpreter: submodules imported by other tests would show up in dir()
    code = ("import importlib.metadata as m, velkor; print(sorted(n for n in dir(velkor) if not n.startswith('_')));"
            "print(sorted(velkor.__all__)); print(velkor.__version__ == m.version('velkor'))")
    shown, public, version = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                            check=True).stdout.splitlines()
    assert shown == public
    assert version == "True"


def test_urdf_path_as_floating_robot(tmp_path):
    path = tmp_path / "block.urdf"
    path.write_text('<robot name="block"><link name="body"><inertial><mass value="2"/>'
                    '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial></link></robot>')
    run = subprocess.run([sys.executable, "-m", "velkor", "--floating", str(path)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "robot block (floating base)" in run.stdout
    assert "generalized velocities 6" in run.stdout


# ---- subcommands (called in-process) ----

INERTIA = 'ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"'


def link(name, mass=None, inertia=INERTIA):
    if mass is None:
        return f'<link name="{name}"/>'
    return f'<link name="{name}"><inertial><mass value="{mass}"/><inertia {inertia}/></inertial></link>'


def joint(name, parent, child, kind="revolute", extra=""):
    limit = '<limit lower="-1" upper="1" velocity="1" effort="1"/>' if kind in ("revolute", "prismatic") else ""
    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
            f'<axis xyz="0 0 1"/>{limit}{extra}</joint>')


def urdf(*parts):
    # one element per line, so findings can be checked by line number
    return '<robot name="r" xmlns:xacro="http://wiki.ros.org/xacro">\n' + "\n".join(parts) + "\n</robot>\n"


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("argv", [["--version"], ["--version", "arm"]])
def test_version(capsys, argv):
    assert run(capsys, *argv) == (0, f"velkor {velkor.__version__}\n", "")


@pytest.mark.parametrize("command", COMMANDS)
def test_the_help_and_the_package_docstring_name_every_command(capsys, command):
    status, out, _ = run(capsys, "--help")
    assert status == 0 and re.search(rf"^    velkor {command} [A-Z]", out, re.M)
    assert f"``velkor {command} " in " ".join(velkor.__doc__.split())


@pytest.mark.parametrize("sample, kind, velocities", [("arm", "floating", 13), ("quadruped", "floating", 18)])
def test_old_form_floating_applies_to_samples(capsys, sample, kind, velocities):
    status, out, _ = run(capsys, "--floating", sample)
    assert status == 0
    assert f"({kind} base) from sample '{sample}'" in out and f"generalized velocities {velocities}" in out


def test_info_on_a_sample(capsys):
    status, out, _ = run(capsys, "info", "arm")
    assert status == 0
    assert "robot velkor_arm (fixed base) from sample 'arm'" in out
    assert re.search(r"^ +0 +joint_1 +revolute +0 +base → shoulder +-2\.9 +2\.9$", out, re.M)
    assert re.search(r"^ +3 +joint_4 +revolute +3 +elbow → forearm +-3 +0\.1$", out, re.M)
    assert re.search(r"^ +7 +tool_mount +fixed +- +flange → tool +- +-$", out, re.M)
    assert re.search(r"^ +8 +tool +0\.6$", out, re.M) and re.search(r"^ +total +18\.4$", out, re.M)


@pytest.mark.parametrize("options, kind, velocities", [([], "fixed", 1), (["--floating"], "floating", 7)])
def test_info_on_a_file(capsys, tmp_path, options, kind, velocities):
    path = tmp_path / "r.urdf"
    path.write_text(urdf(link("a", 2), link("b", 1), link("c", 0.5),
                         joint("spin", "a", "b", "continuous"), joint("mount", "b", "c", "fixed")))
    status, out, _ = run(capsys, "info", str(path), *options)
    assert status == 0
    assert f"robot r ({kind} base) from {path}" in out and f"generalized velocities {velocities}" in out
    assert re.search(r"^ +0 +spin +continuous +0 +a → b +-inf +\+inf$", out, re.M)
    assert re.search(r"^ +total +3\.5$", out, re.M)


@pytest.mark.parametrize("mimic, dofs, dof, how", [("independent", 2, "1", "loaded as independent"),
                                                  ("couple", 1, "-", "follows its leader")])
def test_info_shows_the_couplings(capsys, tmp_path, mimic, dofs, dof, how):
    path = tmp_path / "r.urdf"
    path.write_text(urdf(link("a", 2), link("b", 1), link("c", 1), joint("lead", "a", "b"),
                         joint("follow", "a", "c", extra='<mimic joint="lead" multiplier="-1" offset="0.5"/>')))
    status, out, _ = run(capsys, "info", str(path), "--mimic", mimic)
    assert status == 0 and f"joint degrees of freedom {dofs}," in out
    assert re.search(rf"^ +1 +follow +revolute +{dof} +a → c ", out, re.M)
    assert f"  mimic joint follow {how}: q[follow] = -1 * q[lead] + 0.5\n" in out


@pytest.mark.parametrize("mimic, dofs", [("couple", 1), ("independent", 2)])
def test_the_robot_summary_loads_mimic_joints_as_asked(capsys, tmp_path, mimic, dofs):
    path = tmp_path / "r.urdf"
    path.write_text(MIMIC)
    status, out, _ = run(capsys, str(path), "--mimic", mimic)
    assert status == 0 and f"links 3, joint degrees of freedom {dofs}, generalized velocities {dofs}" in out
    assert run(capsys, str(path))[0] == 1  # the default still refuses them


@pytest.mark.parametrize("argv, status, message", [
    (["info", "{bad}"], 1, "velkor: {bad}: invalid robot model: link names must be unique\n"),
    (["info", "arm", "--massless-root", "allow"], 1,
     "velkor: arm: --massless-root applies to floating robots only (add --floating)\n"),
    (["info", "arm", "--mimic", "loose"], 2, "invalid choice: 'loose'"),
    (["arm", "--mimic", "loose"], 2, "invalid choice: 'loose'"),
    (["bench", "arm", "--calls", "0"], 2, "expected a positive whole number, got '0'"),
])
def test_bad_command_lines_get_a_message(capsys, tmp_path, argv, status, message):
    bad = tmp_path / "bad.urdf"
    bad.write_text(urdf(link("a"), link("a")))
    result, _, err = run(capsys, *(a.format(bad=bad) for a in argv))
    assert result == status
    assert message.format(bad=bad) in err and "Traceback" not in err


MIMIC = urdf(link("a", 1), link("b", 1), link("c", 1), joint("lead", "a", "b"),
             joint("follow", "a", "c", extra='<mimic joint="lead" multiplier="-1"/>'))
INDEFINITE = urdf(link("a", 1, 'ixx="1" ixy="2" ixz="0" iyy="1" iyz="0" izz="1"'))
SINGULAR = urdf(link("a", 1, 'ixx="1" ixy="1" ixz="1" iyy="1" iyz="1" izz="1"'))  # rank one: loads
ROD = urdf(link("a", 1, 'ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="0"'))  # singular and physical
MASSLESS_ROOT = urdf(link("base"), link("trunk", 5), joint("mount", "base", "trunk", "fixed"))
USELESS_ROOT = urdf(link("base"), link("leg", 5), joint("hip", "base", "leg"))
XACRO_ELEMENT = urdf('<xacro:property name="l" value="1"/>', link("a", 1))
XACRO_NUMBER = urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('upper="1"', 'upper="${pi}"'))
XACRO_MESH = urdf(link("a", 1).replace("</link>", '<visual><geometry><mesh filename="$(find p)/a.stl"/>'
                                                   '</geometry></visual></link>'))
LEAF = urdf(link("a", 1), link("tip"), joint("j", "a", "tip"))
TRIANGLE = urdf(link("a", 1, 'ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.3"'))

MIMIC_MISSING = MIMIC.replace('joint="lead"', 'joint="elsewhere"')
MIMIC_SELF = MIMIC.replace('joint="lead"', 'joint="follow"')
MIMIC_FIXED_LEADER = MIMIC.replace('name="lead" type="revolute"', 'name="lead" type="fixed"')
MIMIC_ON_FIXED = MIMIC.replace('name="follow" type="revolute"', 'name="follow" type="fixed"')
MIMIC_CYCLE = urdf(link("a", 1), link("b", 1), link("c", 1),
                   joint("one", "a", "b", extra='<mimic joint="two"/>'),
                   joint("two", "a", "c", extra='<mimic joint="one"/>'))

UNSUPPORTED_MIMIC = ("error: joint '{0}': invalid robot model: joint {0} uses an unsupported mimic constraint (load "
                     'with mimic="couple" to make it follow its leader, or mimic="independent" to treat it as a '
                     "free joint) — ")
CHECKS = {
    "mimic": (MIMIC, 1, 6, UNSUPPORTED_MIMIC.format("follow") + "mimic joint: follows 'lead' with multiplier -1 and offset 0\n",
              'mimic="couple" (velkor info --mimic couple FILE)'),
    "mimic-missing": (MIMIC_MISSING, 1, 6, UNSUPPORTED_MIMIC.format("follow") + "mimic joint: follows 'elsewhere', which is not a joint of this file; no loader",
                      "make joint= name a revolute, continuous or prismatic joint"),
    "mimic-self": (MIMIC_SELF, 1, 6, UNSUPPORTED_MIMIC.format("follow") + "mimic joint: follows itself; no loader option", "or remove the <mimic>"),
    "mimic-fixed-leader": (MIMIC_FIXED_LEADER, 1, 6, UNSUPPORTED_MIMIC.format("follow") + "mimic joint: follows 'lead', a fixed joint; a leader must be",
                           "make joint= name"),
    "mimic-cycle": (MIMIC_CYCLE, 1, 5, UNSUPPORTED_MIMIC.format("one") + "mimic joint: follows 'two', whose mimic chain leads back to 'one'", "make joint= name"),
    "mimic-on-fixed": (MIMIC_ON_FIXED, 1, 6, UNSUPPORTED_MIMIC.format("follow") + "mimic element on a fixed joint: it couples nothing\n",
                       "the joint stays fixed"),
    "indefinite": (INDEFINITE, 1, 2, "error: link 'a': invalid robot model: link a inertia must be positive semi-definite — "
                   "inertia is indefinite (smallest eigenvalue -1)\n", "recompute the inertia"),
    "massless-root": (MASSLESS_ROOT, 0, 2, "error as a floating base: link 'base': massless root link",
                      "the links fixed to it (trunk) carry 5 kg, so the option helps"),
    "useless-massless-root": (USELESS_ROOT, 0, 2, "error as a floating base: link 'base': massless root link",
                              'massless_root="allow" would not help'),
    "xacro-element": (XACRO_ELEMENT, 1, 2, "error: robot: failed to parse URDF: the document uses xacro "
                      "(<xacro:property>); this is xacro input", "xacro robot.urdf.xacro > robot.urdf"),
    "xacro-number": (XACRO_NUMBER, 1, 4, "error: joint 'j': failed to parse URDF: joint j: attribute 'upper' of <limit> "
                     "is an unexpanded xacro substitution: '${pi}'; this is xacro input", "expand the file first"),
    "bad-visual": (urdf(link("a", 1).replace("</link>", '<visual><geometry><box size="1 1 1"/></geometry><material>'
                                              '<color rgba="1 0 0"/></material></visual></link>')), 0, 2,
                   "warning: link 'a': <visual> left out: attribute 'rgba' of <color> must hold four numbers: '1 0 0'; "
                   "the robot loads without it", "make the <visual> one <geometry>"),
    "unknown-shape": (urdf(link("a", 1).replace("</link>", '<visual><geometry><box size="1 1 1"/></geometry></visual>'
                                                 '\n<collision><geometry><cdf filename="c.cdf"/></geometry>'
                                                 "</collision></link>")), 0, 3,
                      "warning: link 'a': <collision> left out: <geometry> holds <cdf>, not a box, cylinder, capsule, "
                      "sphere, plane or mesh; the robot loads without it", "or remove it"),
    "xacro-mesh": (XACRO_MESH, 1, 2, "error: link 'a': failed to parse URDF: link a: <visual>: attribute 'filename' of "
                   "<mesh> is an unexpanded xacro substitution", "expand the file first"),
    "leaf": (LEAF, 0, 3, "warning: link 'tip': link without mass at the end of revolute joint 'j'",
             "make joint 'j' fixed"),
    "triangle": (TRIANGLE, 0, 2, "warning: link 'a': principal moments 0.1, 0.1, 0.3 violate the triangle "
                 "inequality", "recompute the inertia"),
    # exactly singular: the loader takes it, so only the triangle inequality is left to report
    "triangle-singular": (SINGULAR, 0, 2, "warning: link 'a': principal moments 0, 0, 3 violate", "recompute"),
}


@pytest.mark.parametrize("text, status, line, finding, fix", CHECKS.values(), ids=CHECKS.keys())
def test_check_reports_each_kind_of_problem(capsys, tmp_path, text, status, line, finding, fix):
    path = tmp_path / "r.urdf"
    path.write_text(text)
    result, out, err = run(capsys, "check", str(path))
    assert (result, err) == (status, "")
    lines = out.splitlines()
    assert (lines[0] + "\n").startswith(f"{path}:{line}: {finding}")
    assert lines[1].startswith("    fix: ") and fix in lines[1]
    # one finding (a refusal's own finding is folded into its verdict), then whether it loads, and for
    # mimic elements which option loads the file
    mimic = "<mimic" in text
    assert len(lines) == 3 + mimic
    if status:
        error = pytest.raises(velkor.ModelError, velkor.Robot, str(path)).value
        assert lines[2] == f"{path}: does not load with defaults: {error}"
        if mimic:
            try:
                velkor.Robot(str(path), mimic="couple")
                assert lines[3] == f'{path}: loads with mimic="couple" and with mimic="independent" (Robot)'
            except velkor.ModelError as refusal:
                assert lines[3] == f'{path}: does not load with mimic="couple" either: {refusal}'
    else:
        assert lines[2].startswith(f"{path}: loads with defaults (Robot); ")


@pytest.mark.parametrize("text", [
    ROD,
    urdf(link("a", 1), link("b", 1), joint("j", "a", "b")),
    urdf(link("a", 1), link("mid"), link("c", 1), joint("j", "a", "mid"), joint("k", "mid", "c")),  # not a leaf
])
def test_check_is_quiet_about_sound_files(capsys, tmp_path, text):
    path = tmp_path / "r.urdf"
    path.write_text(text)
    assert run(capsys, "check", str(path)) == (
        0, f"{path}: loads with defaults (Robot); 0 error(s), 0 floating-base error(s), 0 warning(s)\n", "")


def test_check_reports_every_problem_of_a_file(capsys, tmp_path):
    path = tmp_path / "r.urdf"
    path.write_text(urdf(link("base"), link("b", 1, 'ixx="1" ixy="2" ixz="0" iyy="1" iyz="0" izz="1"'),
                         link("c", 1, 'ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="3"'), link("tip"),
                         joint("j1", "base", "b").replace('lower="-1"', 'lower="${-pi}"'),
                         joint("j2", "b", "c", extra='<mimic joint="j1"/>'), joint("j3", "c", "tip")))
    status, out, _ = run(capsys, "check", str(path))
    assert status == 1
    found = re.findall(rf"^{re.escape(str(path))}:(\d+): ([a-z ]+): (\w+ '\w+'): ", out, re.M)
    assert found == [("6", "error", "joint 'j1'"),  # the loader's verdict, then the rest in file order
                     ("2", "error as a floating base", "link 'base'"),
                     ("3", "error", "link 'b'"), ("4", "warning", "link 'c'"), ("5", "warning", "link 'tip'"),
                     ("7", "error", "joint 'j2'")]
    refusal = pytest.raises(velkor.ModelError, velkor.Robot, str(path)).value
    assert out.endswith(f"{path}: does not load with defaults: {refusal}\n"
                        f'{path}: does not load with mimic="couple" either: '
                        f'{pytest.raises(velkor.ModelError, velkor.Robot, str(path), mimic="couple").value}\n')


@pytest.mark.parametrize("names, status", [(["good", "good"], 0), (["good", "mimic", "good"], 1)])
def test_check_several_files(capsys, tmp_path, names, status):
    (tmp_path / "good").write_text(ROD)
    (tmp_path / "mimic").write_text(MIMIC)
    result, out, _ = run(capsys, "check", *(str(tmp_path / n) for n in names))
    assert result == status
    assert out.count("loads with defaults (Robot)") == names.count("good")
    assert out.endswith(f"{len(names)} files checked, {names.count('mimic')} do not load with defaults\n")


@pytest.mark.parametrize("content, finding", [
    ('<robot name="r">\n<link name="a">\n</robot>\n', ":2: error: document: failed to parse URDF: "
     "Error=XML_ERROR_MISMATCHED_ELEMENT ErrorID=14 (0xe) Line number=2: XMLElement name=link — "
     "not well-formed XML: mismatched tag (column 3)\n    fix: fix the XML syntax at that place\n"),
    (None, ": error: cannot read the file: No such file or directory"),
])
def test_check_survives_unreadable_files(tmp_path, content, finding):
    path = tmp_path / "r.urdf"
    if content is not None:
        path.write_text(content)
    process = subprocess.run([sys.executable, "-m", "velkor", "check", str(path), str(tmp_path / "ok.urdf")],
                             capture_output=True, text=True)
    assert process.returncode == 1 and process.stderr == ""
    assert process.stdout.startswith(f"{path}{finding}")
    assert "2 files checked, 2 do not load with defaults" in process.stdout


def collection():
    for base in [*site.getsitepackages(), *sys.path]:
        found = Path(base) / "cmeel.prefix/share/example-robot-data/robots"
        if found.is_dir():
            return found
    pytest.skip("example-robot-data is not installed")


@pytest.mark.parametrize("file, status, findings", [
    ("panda_description/urdf/panda.urdf", 1, [
        ":348: " + UNSUPPORTED_MIMIC.format("panda_finger_joint2") + "mimic joint: follows 'panda_finger_joint1'",
        '    fix: load with mimic="couple"']),
    ("tiago_description/robots/tiago.urdf", 1, [
        ":179: error: link 'base_antenna_left_link': invalid robot model: link base_antenna_left_link inertia must be "
        "positive semi-definite — inertia is indefinite", "error: link 'base_antenna_right_link': inertia is indefinite"]),
    # the loader stops at another link than the first one the checker finds
    ("icub_description/robots/icub.urdf", 1, [
        ":613: error: link 'r_hip_2': invalid robot model: link r_hip_2 inertia must be positive semi-definite",
        ":50: error: link 'head': inertia is indefinite"]),
    # an empty <robot> left by xacro: no name, and nothing in it
    ("ur_description/urdf/ur3.urdf", 1, [
        ":6: error: robot: failed to parse URDF: a <robot> element has no name\n    fix: give <robot> a name",
        ":6: error: robot: the robot has no <link> element: there is nothing to load\n    fix: "]),
    ("a1_description/urdf/a1.urdf", 0, ["error as a floating base: link 'base': massless root link"]),
])
def test_check_on_published_files(capsys, file, status, findings):
    result, out, _ = run(capsys, "check", str(collection() / file))
    assert result == status
    assert all(finding in out for finding in findings), out
    if status:  # the loader's own verdict comes first
        assert out.startswith(str(collection() / file) + findings[0])


def pybullet_file(name):
    data = pytest.importorskip("pybullet_data", reason="pybullet is not installed")
    found = Path(data.getDataPath()) / name
    if not found.is_file():
        pytest.skip(f"{name} is not in this pybullet_data")
    return found


def test_check_points_at_what_stops_the_biped(capsys):
    # blank lines before the XML declaration (the loader takes them) and a number with a trailing dot
    path = pybullet_file("biped/biped2d_pybullet.urdf")
    status, out, _ = run(capsys, "check", str(path))
    lines = out.splitlines()
    assert status == 1
    assert lines[:2] == [f"{path}:115: error: joint 'torso_to_rightleg': failed to parse URDF: joint torso_to_rightleg: "
                         "attribute 'lower' of <limit> is not a number: '-1.57.'",
                         "    fix: write lower as one number in C syntax ('.' as the decimal point, no units); "
                         'did you mean lower="-1.57"?']
    assert "XML" not in out
    # what the loader would refuse next is reported too, not only the first thing it met
    assert [int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+): error: joint '\w+': .*'-1\.57\.'", out, re.M)] == [
        115, 146, 177, 208]
    assert [int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+): error: joint '\w+': <limit> lower=1 is above "
                                       "upper=-1$", out, re.M)] == [39, 55]


DECLARED = '\n\n<?xml version="1.0" encoding="utf-8"?>\n'  # a declaration after blank lines, as in the biped
VERDICTS = {
    # name: (document, line, where, fix), the verdict being the loader's message
    "number": (DECLARED + urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('lower="-1"', 'lower="-1.57."')),
               7, "joint 'j'", 'did you mean lower="-1.57"?'),
    "decimal-comma": (urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('upper="1"', 'upper="1,5"')),
                      4, "joint 'j'", 'did you mean upper="1.5"?'),
    "commas": (urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('xyz="0 0 1"', 'xyz="0, 0, 1"')),
               4, "joint 'j'", 'did you mean xyz="0 0 1"?'),
    "robot-name": ('<robot>\n' + link("a", 1) + '\n</robot>\n', 1, "robot", 'give <robot> a name'),
    "link-name": (urdf(link("a", 1), "<link/>"), 3, "robot", 'give the <link> a name="..." attribute'),
    "no-mass": (urdf(link("a", 1), '<link name="b"><inertial/></link>'), 3, "link 'b'", 'add <mass value="..."/>'),
    "unknown-type": (urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('"revolute"', '"revolut"')),
                     4, "joint 'j'", 'did you mean type="revolute"?'),
    "floating-joint": (urdf(link("world"), link("b", 1), joint("j", "world", "b", "floating")), 4, "joint 'j'",
                       "load the rest as a FloatingRobot"),
    "axis": (urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('xyz="0 0 1"', 'xyz="0 0 0"')),
             4, "joint 'j'", "not all zero"),
    "missing-link": (urdf(link("base", 1), link("b", 1), joint("j", "bsae", "b")), 4, "joint 'j'",
                     "no link is named 'bsae': did you mean 'base'?"),
    "same-name": (urdf(link("a", 1), link("b", 1), link("a", 1)), 4, "link 'a'", "(the other one is at line 2)"),
    "two-parents": (urdf(link("a", 1), link("b", 1), link("c", 1), joint("j", "a", "c"), joint("k", "b", "c")),
                    6, "joint 'k'", "link 'c' is the child of joints 'j' (line 5), 'k' (line 6)"),
    "two-roots": (urdf(link("a", 1), link("b", 1), link("c", 1), joint("j", "a", "b")), 4, "link 'c'",
                  "links 'a' (line 2), 'c' (line 4) have no parent joint"),
    "loop-apart": (urdf(link("a", 1), link("b", 1), link("c", 1), joint("j", "b", "c"), joint("k", "c", "b")),
                   3, "link 'b'", "links 'b' (line 3), 'c' (line 4) hang from each other in a closed loop"),
    "limits": (urdf(link("a", 1), link("b", 1), joint("j", "a", "b").replace('lower="-1"', 'lower="2"')),
               4, "joint 'j'", "swap them"),
    "no-links": (urdf(), 1, "robot", "describe the robot's links"),
    "junk": (urdf(link("a", 1)) + "<robot/>\n", 4, "document", "remove what follows </robot>"),
    "doctype": ('<!DOCTYPE robot [<!ENTITY m "1">]>\n' + urdf(link("a", 1)), 1, "document", "<!DOCTYPE"),
    "empty": ("", 1, "document", "no XML element"),
    "nul": (urdf(link("a", 1), '<link name="b\0"/>'), 3, "document", "remove the NUL bytes"),
    "latin-1": (urdf(link("a", 1), '<link name="b\udce9"/>'), 3, "document", "save the file as UTF-8"),
    # expat refuses the character reference, so the mimic element is found in the bytes
    "unparsed-mimic": (urdf(link("a&#1;", 1), link("b", 1), link("c", 1), joint("j", "a&#1;", "b"),
                            joint("k", "a&#1;", "c", extra='<mimic joint="j"/>')), 6, "joint 'k'", 'mimic="couple"'),
    # ... and a commented-out one above it is not taken for it: the loader gives the line it read
    "unparsed-commented-mimic": (urdf(link("a&#1;", 1), link("b", 1), link("c", 1), joint("j", "a&#1;", "b"),
                                      joint("k", "a&#1;", "c", extra='<!-- <mimic joint="j"/> -->\n<mimic joint="j"/>')),
                                 7, "joint 'k'", 'mimic="couple"'),
    # a top-level <material> is placed at its own line
    "material-color": (urdf(link("a", 1), '<material name="red"><color rgba="1 0"/></material>'), 3, "robot",
                       "write rgba as four numbers"),
}


@pytest.mark.parametrize("text, line, where, fix", VERDICTS.values(), ids=VERDICTS.keys())
def test_check_starts_with_the_loaders_verdict(capsys, tmp_path, text, line, where, fix):
    path = tmp_path / "r.urdf"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    error = pytest.raises(velkor.ModelError, velkor.Robot, str(path)).value
    status, out, err = run(capsys, "check", str(path))
    assert (status, err) == (1, "")
    lines = out.splitlines()
    assert lines[0].startswith(f"{path}:{line}: error: {where}: {error}"), lines[0]
    assert lines[1].startswith("    fix: ") and fix in lines[1], lines[1]
    assert f"{path}: does not load with defaults: {error}" in lines[-2:]
    # every finding has its fix on the next line
    assert all(fix_line.startswith("    fix: ") for fix_line in lines[1:-1:2])
    assert not any(finding.startswith("    ") for finding in lines[0:-1:2])


@pytest.mark.parametrize("text, shown", [
    (DECLARED + urdf(link("a", 1)), ": loads with defaults (Robot); 0 error(s), 0 floating-base error(s), 0 warning(s)"),
    # a control character reference: the loader takes it, XML parsers do not
    (urdf(link("a&#1;", 1)), ":2: warning: document: not well-formed XML: reference to invalid character number "
                             "(column 14); the loader reads it, but other XML tools refuse it"),
])
def test_check_on_files_the_loader_takes(capsys, tmp_path, text, shown):
    path = tmp_path / "r.urdf"
    path.write_text(text)
    status, out, err = run(capsys, "check", str(path))
    assert (status, err) == (0, "")
    assert f"{path}{shown}" in out and f"{path}: loads with defaults (Robot); 0 error(s)" in out


BENCHED = [method.name for method in COMPUTING_METHODS]  # in the order bench prints them


def test_bench_leaves_out_no_computing_method(capsys):
    with velkor.Robot(velkor.samples.sample_path("arm")) as arm:
        computing = {name for name in dir(arm) if not name.startswith("_") and callable(getattr(arm, name))}
    # what the handle has besides computing methods
    assert computing - set(BENCHED) == {"batch", "close", "constraint_set", "dof_index", "dof_order", "fork",
                                        "from_urdf", "ik_problem",
                                        "from_urdf_string", "link_id", "load_buffer", "neutral_configuration",
                                        "random_configuration", "set_base_frame", "joint_vector", "joint_dict"}
    assert set(BENCHED) <= computing and len(set(BENCHED)) == len(BENCHED)
    with velkor.FloatingRobot(velkor.samples.sample_path("quadruped")) as quadruped:
        floating = {name for name in dir(quadruped) if not name.startswith("_") and callable(getattr(quadruped, name))}
    assert {m.name for m in COMPUTING_METHODS if not m.fixed_base_only} == floating & set(BENCHED)


@pytest.mark.parametrize("load, shown", [((0.5, 1.25, 2.0), "load average 0.50 1.25 2.00 (1, 5, 15 min)"),
                                         (OSError("unavailable"), "load average unavailable")])
def test_bench_prints_the_load_average(capsys, monkeypatch, load, shown):
    def getloadavg():
        if isinstance(load, Exception):
            raise load
        return load
    monkeypatch.setattr(os, "getloadavg", getloadavg)
    status, out, _ = run(capsys, "bench", "arm", "--calls", "1")
    assert status == 0
    assert out.splitlines()[1].endswith(f" calls (inverse_kinematics: 1); {shown}")


FLOATING_BENCHED = [method.name for method in COMPUTING_METHODS if not method.fixed_base_only]


@pytest.mark.parametrize("argv, methods", [(["arm"], BENCHED), (["quadruped"], FLOATING_BENCHED),
                                           (["arm", "--floating"], FLOATING_BENCHED)])
def test_bench_times_every_method(capsys, argv, methods):
    status, out, _ = run(capsys, "bench", *argv, "--calls", "2")
    assert status == 0
    assert re.findall(r"^  (\w+) +\d+$", out, re.M) == methods


# ---- hostile inputs: endless files, pipes, odd names ----

ARM = Path(velkor.samples.sample_path("arm")).read_bytes()
CONTROLS = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]")  # everything but the line ends


def velkor_process(*argv, stdin=None, limit_memory=False, timeout=120):
    """The tool in a child process; the timeout only stops a hang from stalling the suite."""
    def cap():
        import resource
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            return  # the address sanitizer reserves far more address space than the cap
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

    return subprocess.run([sys.executable, "-m", "velkor", *argv], input=stdin, capture_output=True,
                          timeout=timeout, preexec_fn=cap if limit_memory else None)


unix_only = pytest.mark.skipif(not hasattr(os, "mkfifo") or not Path("/dev/zero").exists(),
                               reason="needs FIFOs and /dev")


@unix_only
@pytest.mark.parametrize("argv, out, err", [
    (["check", "/dev/zero"], "/dev/zero: error: cannot read the file: file is larger than 67108864 bytes\n", ""),
    (["info", "/dev/zero"], "", "velkor: /dev/zero: failed to parse URDF: file is larger than 67108864 bytes\n"),
    (["/dev/zero"], "", "velkor: /dev/zero: failed to parse URDF: file is larger than 67108864 bytes\n"),
])
def test_endless_files_are_refused(argv, out, err):
    process = velkor_process(*argv, limit_memory=True)
    assert (process.returncode, process.stdout.decode(), process.stderr.decode()) == (1, out, err)


@pytest.mark.parametrize("extra, loads", [(0, True), (-1, False)])
def test_the_size_limit_admits_a_file_of_exactly_that_size(capsys, monkeypatch, tmp_path, extra, loads):
    import velkor._cli_io as cli_io

    path = tmp_path / "arm.urdf"
    path.write_bytes(ARM)
    monkeypatch.setattr(cli_io, "MAX_FILE_BYTES", len(ARM) + extra)
    status, out, _ = run(capsys, "check", str(path))
    assert status == (0 if loads else 1)
    assert out.startswith(f"{path}: loads with defaults") if loads else out == (
        f"{path}: error: cannot read the file: file is larger than {len(ARM) - 1} bytes\n")


@pytest.mark.parametrize("data, verdict", [
    (b"\xef\xbb\xbf" + ARM, "loads with defaults (Robot)"),  # a byte-order mark
    (ARM.replace(b'name="velkor_arm"', b'name="velkor_\xff"'),
     "does not load with defaults: failed to parse URDF: stream did not contain valid UTF-8"),
])
def test_check_gives_the_loaders_verdict_on_encodings(capsys, tmp_path, data, verdict):
    path = tmp_path / "r.urdf"
    path.write_bytes(data)
    _, out, err = run(capsys, "check", str(path))
    assert f"{path}: {verdict}" in out and err == ""


@unix_only
@pytest.mark.parametrize("argv, expected", [
    ([], ["links in numbering order: 0 base, 1 shoulder, 2 upper_arm,", "8 tool                   translation"]),
    (["info"], ["robot velkor_arm (fixed base) from /dev/stdin", "joint_1"]),
    (["info", "--floating"], ["robot velkor_arm (floating base) from /dev/stdin"]),
    (["check"], ["/dev/stdin: loads with defaults (Robot); 0 error(s)"]),
    (["bench", "--calls", "1"], ["target link 8 tool", "  forward_kinematics_all "]),
])
def test_every_command_reads_a_pipe(argv, expected):
    process = velkor_process(*argv[:1], "/dev/stdin", *argv[1:], stdin=ARM)
    out = process.stdout.decode()
    assert (process.returncode, process.stderr.decode()) == (0, "")
    assert all(text in out for text in expected), out


@unix_only
@pytest.mark.parametrize("argv, expected", [(["check"], "{fifo}: loads with defaults (Robot)"),
                                            ([], "links in numbering order: 0 base, 1 shoulder")])
def test_a_fifo_is_read_once(tmp_path, argv, expected):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed():
        try:
            with open(fifo, "wb") as writer:
                writer.write(ARM)
        except OSError:
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    try:
        process = subprocess.run([sys.executable, "-m", "velkor", *argv, str(fifo)],
                                 capture_output=True, text=True, timeout=120)
    finally:
        if writer.is_alive():  # the tool never opened the FIFO: let the writer go
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        writer.join()
    assert (process.returncode, process.stderr) == (0, "")
    assert expected.format(fifo=fifo) in process.stdout


@pytest.mark.parametrize("name", ["base\tlink", "base&#9;link"])
def test_link_names_are_the_loaders_own(capsys, tmp_path, name):
    path = tmp_path / "r.urdf"
    path.write_text(urdf(link(name, 1), link("tip", 1), joint("j", name, "tip")))
    status, out, err = run(capsys, str(path))
    assert (status, err) == (0, "")
    assert "links in numbering order: 0 base\\tlink, 1 tip\n" in out
    assert re.search(r"^     0 base\\tlink +translation", out, re.M)


LONG = "x" * 5000 + "middle" + "y" * 5000


@pytest.mark.parametrize("command, shown", [
    ([], [r"0 x{20,}…y{20,}, 1 b, 2 x{20,}…y{20,}\\x01\n"]),
    (["info"], [r" j?x{20,}…y{20,} ", r"b → x{20,}…y{20,}\\x01 "]),
    (["bench", "--calls", "1"], [r"target link 2 x{20,}…y{20,}\\x01\n"]),
])
def test_long_names_keep_lines_short(capsys, tmp_path, command, shown):
    path = tmp_path / "r.urdf"
    path.write_text(urdf(link(LONG, 1), link("b", 1), link(LONG + "&#1;", 1),
                         joint("j" + LONG, LONG, "b"), joint("k", "b", LONG + "&#1;")))
    status, out, err = run(capsys, *command[:1], str(path), *command[1:])
    assert (status, err) == (0, "")
    assert max(len(line) for line in out.splitlines()) < 200 and "middle" not in out
    assert all(re.search(pattern, out) for pattern in shown), out


HOSTILE = ('<robot name="r&#27;]0;title&#7;">\n'
           '<link name="a&#9;&#127;&#155;"><inertial><mass value="1"/>'
           f'<inertia {INERTIA}/></inertial></link>\n'
           '<link name="b&#8238;&#133;"/>\n'
           '<joint name="j&#27;[2J" type="revolute"><parent link="a&#9;&#127;&#155;"/><child link="b&#8238;&#133;"/>'
           '<axis xyz="0 0 1"/><limit lower="-1" upper="1" velocity="1" effort="1"/></joint>\n</robot>\n')


@pytest.mark.parametrize("argv, shown", [
    (["{doc}"], ["robot r\\x1b]0;title\\x07 (fixed base)", "0 a\\t\\x7f\\x9b, 1 b\\u202e\\x85"]),
    (["info", "{doc}"], ["j\\x1b[2J", "a\\t\\x7f\\x9b → b\\u202e\\x85"]),
    (["bench", "{doc}", "--calls", "1"], ["target link 1 b\\u202e\\x85"]),
    # the XML checker refuses C0 references, so it sees a document without them
    (["check", "{xml}"], ["link 'b\\u202e\\x85': link without mass", "joint 'j\\x85'"]),
    (["check", "{dir}/\x1b[31mmissing"], ["\\x1b[31mmissing: error: cannot read the file"]),
    (["info", "{dir}/\x1b[31mmissing"], ["\\x1b[31mmissing: failed to parse URDF: No such file"]),
    (["info", "arm", "\x1b[31m"], ["unrecognized arguments: \\x1b[31m"]),
])
def test_control_characters_are_escaped(tmp_path, argv, shown):
    doc, xml = tmp_path / "doc.urdf", tmp_path / "xml.urdf"
    doc.write_text(HOSTILE)
    xml.write_text(HOSTILE.replace("&#27;]0;title&#7;", "").replace("&#27;[2J", "&#133;"))
    process = velkor_process(*(a.format(doc=doc, xml=xml, dir=tmp_path) for a in argv))
    text = process.stdout.decode() + process.stderr.decode()
    assert "Traceback" not in text
    assert not CONTROLS.search(text), text
    assert all(s in text for s in shown), text


@unix_only
def test_undecodable_paths_are_shown_not_fatal(tmp_path):
    process = velkor_process("check", os.fsencode(tmp_path) + b"/r\xff.urdf")
    assert process.returncode == 1 and process.stderr == b""
    assert process.stdout.decode().endswith("/r\\xff.urdf: error: cannot read the file: No such file or directory\n")


class Starved:
    """A robot handle one of whose methods runs out of memory."""

    def __init__(self, robot, method, error):
        self.robot, self.method, self.error = robot, method, error

    def __getattr__(self, name):
        if name != self.method:
            return getattr(self.robot, name)

        def fail(*args, **kwargs):
            raise self.error
        return fail

    def __enter__(self):
        self.robot.__enter__()
        return self

    def __exit__(self, *exc):
        return self.robot.__exit__(*exc)


@pytest.mark.parametrize("method, error, shown", [
    ("mass_matrix", MemoryError(), "failed: out of memory"),  # fails while its out= array is made
    ("forward_dynamics", MemoryError("Unable to allocate 74.5 GiB"), "failed: Unable to allocate 74.5 GiB"),
    ("forward_velocity_kinematics", MemoryError(), "failed: out of memory"),  # fails while timed
    ("inverse_kinematics", velkor.SolverError("no solution"), "failed: no solution"),
])
def test_bench_goes_on_after_a_method_fails(capsys, monkeypatch, method, error, shown):
    import velkor.__main__ as cli

    load = cli._load
    monkeypatch.setattr(cli, "_load", lambda *args: (lambda r, *rest: (Starved(r, method, error), *rest))(
        *load(*args)))
    status, out, err = run(capsys, "bench", "arm", "--calls", "2")
    assert (status, err) == (1, "")
    assert re.findall(r"^  (\w+) +\d+$", out, re.M) == [m for m in BENCHED if m != method]
    assert re.search(rf"^  {method} +{shown}$", out, re.M)


def test_ctrl_c_ends_quietly(capsys, monkeypatch):
    import velkor._lint as lint

    def interrupted(path):
        raise KeyboardInterrupt
    monkeypatch.setattr(lint, "_read", interrupted)
    assert run(capsys, "check", "fifo") == (130, "", "")


# ---- inertias wrong only by rounding ----

ROUNDED = urdf(link("a", 1), link("b", 1, 'ixx="1" ixy="1.000000001" ixz="0" iyy="1" iyz="0" izz="1"'),
               joint("j", "a", "b"))


@pytest.mark.parametrize("argv, status, expected", [
    (["check", "{path}"], 1, "a rounding: inertia_tolerance=1e-09 loads it (velkor check --inertia-tolerance 1e-09 FILE)"),
    (["check", "--inertia-tolerance", "1e-9", "{path}"], 0,
     "warning: link 'b': inertia is indefinite (smallest eigenvalue -1e-09); the loader requires a positive "
     "semi-definite inertia; inertia_tolerance=1e-09 loads it with its negative eigenvalues set to zero"),
    (["check", "--inertia-tolerance", "1e-9", "{path}"], 0, "loads with inertia_tolerance=1e-09 (Robot); 0 error(s)"),
    (["info", "--inertia-tolerance", "1e-9", "{path}"], 0,
     "inertia of link b repaired: smallest eigenvalue -1e-09 kg·m² (5e-10 of the largest principal moment)"),
    (["info", "{path}"], 1, ""),
])
def test_inertia_tolerance(tmp_path, capsys, argv, status, expected):
    path = tmp_path / "rounded.urdf"
    path.write_text(ROUNDED)
    result, out, _ = run(capsys, *(a.format(path=path) for a in argv))
    assert result == status
    assert expected in out


@pytest.mark.parametrize("value", ["-1e-9", "0.5", "nan", "tiny"])
def test_inertia_tolerance_out_of_range_is_a_usage_error(capsys, value):
    result, _, err = run(capsys, "info", "--inertia-tolerance", value, "arm")
    assert result == 2 and "argument --inertia-tolerance" in err
