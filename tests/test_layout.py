"""The include graphs of the core and the binding have no cycles, and nothing in the core outside
robot/dynamics/ and robot/ik/ includes from the first, nothing in it from the second
(tools/include_graph.py); the coupled entry points' instances sit in files of their own."""

import runpy
from pathlib import Path

GRAPH = runpy.run_path(str(Path(__file__).resolve().parents[1] / "tools" / "include_graph.py"))


def test_includes_form_no_cycle_and_do_not_reach_up():
    assert GRAPH["report"]() == []


def test_a_cycle_is_found():
    edges = {"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}
    assert GRAPH["cycles"](edges) == [["a", "b", "c"]]


def test_the_inverse_kinematics_room_is_included_by_nothing_in_the_core():
    edges = {
        "robot/ik/whole_body_ik": {"robot/dynamics/constraint_rows", "linalg/dense_qp"},
        "robot/dynamics/rollout": {"robot/ik/whole_body_ik"},
        "linalg/dense_qp": set(),
    }
    assert GRAPH["upward_includes"](edges) == [
        "src: robot/dynamics/rollout includes robot/ik/whole_body_ik from robot/ik/"
    ]


def test_the_coupled_branches_are_compiled_apart_from_the_kernels():
    # GCC inlines less into a kernel whose file also holds in_free_coordinates' instances
    src = Path(__file__).resolve().parents[1] / "src"
    users = sorted(str(p.relative_to(src)) for p in src.rglob("*.?pp") if "in_free_coordinates<" in p.read_text())
    assert users == ["robot/dynamics/coupled_entry_points.cpp", "robot/kinematics/coupled_entry_points.cpp"]
