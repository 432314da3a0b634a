"""The documentation builds without a warning, draws its figures, and its examples run."""

import importlib.util
import itertools
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).parent.parent
DOCS = ROOT / "docs"
FIGURES = ["link_tree_arm", "link_tree_quadruped", "arm_frames", "call_times", "peer_comparison",
           "contact_forces", "stance_rollout"]


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
    # a generic docstring such as "Return self@value." reads as an e-mail address
    assert "mailto:" not in pages
    api = (out / "api.html").read_text()
    assert 'id="velkor.Robot.inverse_kinematics"' in api and 'id="velkor.FloatingRobot.mass_matrix"' in api


def test_examples_in_the_pages_run(tmp_path):
    report = (sphinx("doctest", tmp_path) / "output.txt").read_text()
    tests = int(re.search(r"(\d+) tests", report.split("Doctest summary")[-1]).group(1))
    assert tests > 100  # the >>> examples were collected, not skipped


@pytest.mark.parametrize("name", ["link_tree_arm", "link_tree_quadruped"])
def test_tree_labels_stand_apart_each_on_its_own_edge(name, monkeypatch):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.chdir(DOCS)
    found = importlib.util.spec_from_file_location("figures", DOCS / "figures.py")
    figures = importlib.util.module_from_spec(found)
    found.loader.exec_module(figures)
    plt.close("all")
    getattr(figures, name)()
    fig = plt.gcf()
    fig.canvas.draw()
    ax, renderer = fig.axes[0], fig.canvas.get_renderer()
    boxes = {text.get_text(): text.get_bbox_patch().get_window_extent(renderer) for text in ax.texts}
    try:
        # no two boxes (links, joint labels) within 4 pixels of each other
        assert not [(a, b) for (a, box_a), (b, box_b) in itertools.combinations(boxes.items(), 2)
                    if box_a.padded(4).overlaps(box_b.padded(4))]
        # an edge label covers its own edge and no other one
        edges = [ax.transData.transform(np.linspace(*line.get_xydata()[[0, 1]], 400)) for line in ax.lines]
        for label, box in boxes.items():
            if label.startswith("j"):
                under = [k for k, points in enumerate(edges)
                         if ((points[:, 0] > box.x0) & (points[:, 0] < box.x1)
                             & (points[:, 1] > box.y0) & (points[:, 1] < box.y1)).any()]
                assert under == [int(label.split()[0][1:])], (label, under)
    finally:
        plt.close("all")


def readme_section(title):
    text = (ROOT / "README.md").read_text()
    return text.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def test_the_readme_names_every_package_of_the_extras():
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    names = {re.match(r"[A-Za-z0-9_.-]+", requirement).group() for group in extras.values()
             for requirement in group} - {"velkor"}
    dependencies = readme_section("Dependencies").lower()
    # a name stands alone: "pin" is not found in "pin-pink"
    missing = sorted(name for name in names
                     if not re.search(rf"(?<![\w-]){re.escape(name.lower())}(?![\w-])", dependencies))
    assert not missing


def test_the_install_page_gives_the_readmes_commands():
    readme = re.findall(r"```sh\n(.*?)\n```", (ROOT / "README.md").read_text(), re.S)
    page = re.findall(r"\.\. code-block:: sh\n\n   (.*)\n", (DOCS / "install.rst").read_text())
    assert page[:2] == readme[:2]
    assert readme[1] == (ROOT / ".ci" / "run").read_text().splitlines()[-1]  # what .ci/run runs
