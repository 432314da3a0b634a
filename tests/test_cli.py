"""The velkor command-line tool."""

import subprocess
import sys

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
