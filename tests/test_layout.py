"""The binding's include graph has no cycles (tools/include_graph.py draws both trees)."""

import runpy
from pathlib import Path

GRAPH = runpy.run_path(str(Path(__file__).resolve().parents[1] / "tools" / "include_graph.py"))


def test_binding_includes_form_no_cycle():
    assert [p for p in GRAPH["report"]() if p.startswith("bindings/")] == []


def test_a_cycle_is_found():
    edges = {"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}
    assert GRAPH["cycles"](edges) == [["a", "b", "c"]]
