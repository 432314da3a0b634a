"""The velkor command-line tool."""

import re
import site
import subprocess
import sys
from pathlib import Path

import pytest

import velkor
from velkor.__main__ import main


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


@pytest.mark.parametrize("argv, status, message", [
    (["info", "{bad}"], 1, "velkor: {bad}: invalid robot model: link names must be unique\n"),
    (["info", "arm", "--massless-root", "allow"], 1,
     "velkor: arm: --massless-root applies to floating robots only (add --floating)\n"),
    (["info", "arm", "--mimic", "loose"], 2, "invalid choice: 'loose'"),
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

CHECKS = {
    "mimic": (MIMIC, 1, 6, "error: joint 'follow': mimic joint: follows 'lead' with multiplier -1 and offset 0",
              'mimic="independent" (velkor info --mimic independent FILE)'),
    "indefinite": (INDEFINITE, 1, 2, "error: link 'a': inertia is indefinite (smallest eigenvalue -1)",
                   "recompute the inertia"),
    "massless-root": (MASSLESS_ROOT, 0, 2, "error as a floating base: link 'base': massless root link",
                      "the links fixed to it (trunk) carry 5 kg, so the option helps"),
    "useless-massless-root": (USELESS_ROOT, 0, 2, "error as a floating base: link 'base': massless root link",
                              'massless_root="allow" would not help'),
    "xacro-element": (XACRO_ELEMENT, 1, 2, "error: robot: xacro element <xacro:property> left in the file",
                      "xacro robot.urdf.xacro > robot.urdf"),
    "xacro-number": (XACRO_NUMBER, 1, 4, "error: joint 'j': attribute 'upper' of <limit> is an unexpanded "
                     "xacro substitution: '${pi}'", "expand the file first"),
    "xacro-mesh": (XACRO_MESH, 0, 2, "warning: link 'a': attribute 'filename' of <mesh>", "expand the file first"),
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
    assert lines[0].startswith(f"{path}:{line}: {finding}")
    assert lines[1].startswith("    fix: ") and fix in lines[1]
    assert len(lines) == 3  # one finding, then the loader's verdict
    if status:
        error = pytest.raises(velkor.ModelError, velkor.Robot, str(path)).value
        assert lines[2] == f"{path}: does not load with defaults: {error}"
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
    assert found == [("2", "error as a floating base", "link 'base'"),   # in file order
                     ("3", "error", "link 'b'"), ("4", "warning", "link 'c'"), ("5", "warning", "link 'tip'"),
                     ("6", "error", "joint 'j1'"), ("7", "error", "joint 'j2'")]
    assert out.endswith(f"{path}: does not load with defaults: {pytest.raises(velkor.ModelError, velkor.Robot, str(path)).value}\n")


@pytest.mark.parametrize("names, status", [(["good", "good"], 0), (["good", "mimic", "good"], 1)])
def test_check_several_files(capsys, tmp_path, names, status):
    (tmp_path / "good").write_text(ROD)
    (tmp_path / "mimic").write_text(MIMIC)
    result, out, _ = run(capsys, "check", *(str(tmp_path / n) for n in names))
    assert result == status
    assert out.count("loads with defaults (Robot)") == names.count("good")
    assert out.endswith(f"{len(names)} files checked, {names.count('mimic')} do not load with defaults\n")


@pytest.mark.parametrize("content, finding", [
    ('<robot name="r">\n<link name="a">\n</robot>\n', ":3: error: document: not well-formed XML: mismatched tag"),
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
    ("panda_description/urdf/panda.urdf", 1, ["error: joint 'panda_finger_joint2': mimic joint"]),
    ("tiago_description/robots/tiago.urdf", 1, ["error: link 'base_antenna_left_link': inertia is indefinite",
                                               "error: link 'base_antenna_right_link': inertia is indefinite"]),
    ("a1_description/urdf/a1.urdf", 0, ["error as a floating base: link 'base': massless root link"]),
])
def test_check_on_published_files(capsys, file, status, findings):
    result, out, _ = run(capsys, "check", str(collection() / file))
    assert result == status
    assert all(finding in out for finding in findings)


BENCHED = ["forward_kinematics_all", "forward_kinematics", "jacobian", "jacobian_derivative",
           "forward_velocity_kinematics", "forward_acceleration_kinematics", "mass_matrix", "gravity",
           "inverse_dynamics", "velocity_product_forces", "forward_dynamics", "inverse_kinematics"]


@pytest.mark.parametrize("argv, methods", [(["arm"], BENCHED), (["quadruped"], BENCHED[:-1]),
                                           (["arm", "--floating"], BENCHED[:-1])])
def test_bench_times_every_method(capsys, argv, methods):
    status, out, _ = run(capsys, "bench", *argv, "--calls", "2")
    assert status == 0
    assert re.findall(r"^  (\w+) +\d+$", out, re.M) == methods
