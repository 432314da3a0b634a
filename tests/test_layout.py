"""The include graphs of the core and the binding have no cycles, and nothing in the core outside
robot/dynamics/ includes from it (tools/include_graph.py)."""

import runpy
from pathlib import Path

GRAPH = runpy.run_path(str(Path(__file__).resolve().parents[1] / "tools" / "include_graph.py"))


def test_includes_form_no_cycle_and_do_not_reach_up():
    assert GRAPH["report"]() == []


def test_a_cycle_is_found():
    edges = {"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}
    assert GRAPH["cycles"](edges) == [["a", "b", "c"]]
