"""The documentation builds without a warning, draws its figures, and its examples run."""

import importlib.util
import itertools
import re
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import numpy as np
import pytest
from peers import optional, pinocchio

ROOT = Path(__file__).parent.parent
DOCS = ROOT / "docs"
FIGURES = ["link_tree_arm", "link_tree_quadruped", "arm_frames", "call_times", "peer_comparison",
           "contact_forces", "stance_rollout"]


viser, _ = optional("viser", "viser")
# the pages import Pinocchio (a comparison) and viser (the viewer's page, its API reference)
NEEDS_PEERS = pytest.mark.skipif(pinocchio is None or viser is None,
                                 reason="the pages need Pinocchio (PyPI package 'pin') and viser, "
                                        "which cannot both be imported here")


def sphinx(builder, tmp_path):
    out = tmp_path / builder
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", builder,
         "-d", str(tmp_path / "doctrees"), str(DOCS), str(out)],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return out


@NEEDS_PEERS
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


@NEEDS_PEERS
def test_examples_in_the_pages_run(tmp_path):
    report = (sphinx("doctest", tmp_path) / "output.txt").read_text()
    tests = int(re.search(r"(\d+) tests", report.split("Doctest summary")[-1]).group(1))
    assert tests > 100  # the >>> examples were collected, not skipped
    # the pages whose examples run, the whole-body IK page among them
    documents = set(re.findall(r"^Document: (\S+)$", report, re.M))
    assert {"quickstart", "errors", "mimic", "whole_body_ik"} <= documents


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
    assert readme[1] in (ROOT / ".ci" / "run").read_text().splitlines()  # what .ci/run runs first


# Methods that compute nothing about the robot's motion, left out of the coupled check below.
NOT_COMPUTING = {"close", "dof_index", "dof_order", "fork", "from_urdf", "from_urdf_string", "joint_dict",
                 "joint_vector", "link_id", "load_buffer", "set_base_frame", "constraint_set",
                 "neutral_configuration", "random_configuration"}


def coupled_calls(r, floating):
    """(method, call) for every computing method of a coupled Panda (the fingers coupled)."""
    import velkor

    n, N = r.joint_count, r.generalized_count
    hand = r.link_id("panda_hand")
    q = r.neutral_configuration()[7:] if floating else r.neutral_configuration()
    q = np.clip(q + 0.3, r.lower_limits, r.upper_limits)
    qd, qdd, tau = np.full(n, 0.1), np.full(n, 0.2), np.full(N, 0.3)
    base = [velkor.BaseState(velkor.Pose([0.0, 0.0, 0.5]))] if floating else []
    v = np.r_[np.zeros(6), qd] if floating else qd
    c = np.r_[0.0, 0.0, 0.5, 0.0, 0.0, 0.0, 1.0, q] if floating else q
    held = r.constraint_set([velkor.Contact(hand)])
    target = r.forward_kinematics(*base, q, hand)
    ik = velkor.ConstraintTask(held) if floating else velkor.PoseTask(hand, target)
    calls = {
        "forward_kinematics": lambda: r.forward_kinematics(*base, q, hand),
        "forward_kinematics_all": lambda: r.forward_kinematics_all(*base, q),
        "forward_velocity_kinematics": lambda: r.forward_velocity_kinematics(*base, q, qd, hand),
        "forward_acceleration_kinematics": lambda: r.forward_acceleration_kinematics(*base, q, qd, qdd, hand),
        "jacobian": lambda: r.jacobian(*base, q, hand),
        "jacobian_derivative": lambda: r.jacobian_derivative(*base, q, qd, hand),
        "center_of_mass": lambda: r.center_of_mass(*base, q),
        "center_of_mass_velocity": lambda: r.center_of_mass_velocity(*base, q, qd),
        "center_of_mass_jacobian": lambda: r.center_of_mass_jacobian(*base, q),
        "centroidal_momentum": lambda: r.centroidal_momentum(*base, q, qd),
        "centroidal_momentum_matrix": lambda: r.centroidal_momentum_matrix(*base, q),
        "kinetic_energy": lambda: r.kinetic_energy(*base, q, qd),
        "potential_energy": lambda: r.potential_energy(*base, q),
        "mass_matrix": lambda: r.mass_matrix(*base, q),
        "gravity": lambda: r.gravity(*base, q),
        "velocity_product_forces": lambda: r.velocity_product_forces(*base, q, qd),
        "inverse_dynamics": lambda: r.inverse_dynamics(*base, q, qd, qdd),
        "forward_dynamics": lambda: r.forward_dynamics(*base, q, qd, tau),
        "gravity_derivatives": lambda: r.gravity_derivatives(*base, q),
        "inverse_dynamics_derivatives": lambda: r.inverse_dynamics_derivatives(*base, q, qd, qdd),
        "forward_dynamics_derivatives": lambda: r.forward_dynamics_derivatives(*base, q, qd, tau),
        "constraint_jacobian": lambda: r.constraint_jacobian(*base, q, held),
        "constraint_acceleration_bias": lambda: r.constraint_acceleration_bias(*base, q, qd, held),
        "constraint_poses": lambda: r.constraint_poses(*base, q, held),
        "constrained_forward_dynamics": lambda: r.constrained_forward_dynamics(*base, q, qd, tau, held),
        "constrained_dynamics_derivatives": lambda: r.constrained_dynamics_derivatives(*base, q, qd, tau, held),
        "impulse_dynamics": lambda: r.impulse_dynamics(*base, q, qd, held),
        "integrate": lambda: r.integrate(c, v),
        "difference": lambda: r.difference(c, c),
        "interpolate": lambda: r.interpolate(c, c, 0.5),
        "integrate_derivatives": lambda: r.integrate_derivatives(c, v),
        "difference_derivatives": lambda: r.difference_derivatives(c, c),
        "rollout": lambda: r.rollout(c, v, np.zeros((3, N)), 0.01),
        "batch": lambda: r.batch(2).rollout(np.array([c, c]), np.array([v, v]), np.zeros((2, 3, N)), 0.01),
        "ik_problem": lambda: r.ik_problem([ik]).solve(*base, q),
    }
    if not floating:
        calls["inverse_kinematics"] = lambda: r.inverse_kinematics(q, hand, target)
    return calls


@pytest.mark.parametrize("floating", [False, True])
def test_every_method_works_on_a_coupled_robot_as_the_mimic_page_says(floating):
    import velkor

    robots = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
    kind = velkor.FloatingRobot if floating else velkor.Robot
    r = kind(str(robots / "panda_description/urdf/panda.urdf"), mimic="couple")
    assert r.mimic_joints  # the fingers are coupled
    calls = coupled_calls(r, floating)
    public = {name for name in dir(kind) if not name.startswith("_") and callable(getattr(kind, name))}
    assert public - NOT_COMPUTING == set(calls)  # a new method joins the check
    refused = {}
    for name, call in calls.items():
        try:
            call()
        except (ValueError, velkor.SolverError) as error:
            refused[name] = str(error)
    assert not refused


def public_docstrings():
    """(name, docstring) of the package, its classes and their members, as autodoc reads them."""
    import inspect

    import velkor

    found = [("velkor", inspect.getdoc(velkor))]
    for name in velkor.__all__:
        obj = getattr(velkor, name)
        found.append((name, inspect.getdoc(obj)))
        if inspect.isclass(obj):
            found += [(f"{name}.{member}", inspect.getdoc(obj.__dict__[member])) for member in vars(obj)
                      if not member.startswith("_")]
    return [(name, doc) for name, doc in found if doc]


def test_no_docstring_line_turns_into_a_list_item():
    # An indented formula line that starts with "+" or "-" reads as a bullet unless the block is
    # a literal block ("::"), and the API page then breaks the formula into a list.
    from docutils import nodes
    from docutils.core import publish_doctree

    garbled = []
    for name, doc in public_docstrings():
        tree = publish_doctree(doc, settings_overrides={"report_level": 5, "halt_level": 5})
        garbled += [name for quote in tree.findall(nodes.block_quote) if any(quote.findall(nodes.bullet_list))]
    assert not garbled
