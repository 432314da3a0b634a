"""The documentation builds without a warning, draws its figures, and its examples run."""

import re
import subprocess
import sys
from pathlib import Path

DOCS = Path(__file__).parent.parent / "docs"
FIGURES = ["link_tree_arm", "link_tree_quadruped", "arm_frames", "call_times", "peer_comparison"]


def sphinx(builder, tmp_path):
    out = tmp_path / builder
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", builder,
         "-d", str(tmp_path / "doctrees"), str(DOCS), str(out)],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return out


def test_html_builds_with_its_figures(tmp_path):
    out = sphinx("html", tmp_path)
    for name in FIGURES:
        image = out / "_images" / f"figures_{name}.png"
        assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", name
        assert image.stat().st_size > 10_000, name  # a drawing, not an empty canvas
    pages = "".join(page.read_text() for page in out.glob("*.html"))
    assert all(f"_images/figures_{name}.png" in pages for name in FIGURES)
    api = (out / "api.html").read_text()
    assert 'id="velkor.Robot.inverse_kinematics"' in api and 'id="velkor.FloatingRobot.mass_matrix"' in api


def test_examples_in_the_pages_run(tmp_path):
    report = (sphinx("doctest", tmp_path) / "output.txt").read_text()
    tests = int(re.search(r"(\d+) tests", report.split("Doctest summary")[-1]).group(1))
    assert tests > 100  # the >>> examples were collected, not skipped
