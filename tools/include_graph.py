"""The #include graph of src/ and bindings/python/src/: cycles and upward includes.

    python tools/include_graph.py          # prints both; exit status 1 when there are any

A header and its source file are one node (a.hpp + a.cpp), so a.cpp including b.hpp while b.cpp
includes a.hpp is a cycle too. In src/, nothing outside robot/dynamics/ and robot/ik/ may include
from robot/dynamics/; linalg/ (dense factorisations and the QP, which know nothing of robots) includes
nothing outside itself; robot/ik/ (both inverse-kinematics solvers) sits on top of the core: it may
include the robot, its kinematics and dynamics (the constraint rows among them) and linalg/, and
nothing in src/ includes it (only the binding does).
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def graph(tree: Path, search: list[Path]) -> dict[str, set[str]]:
    """node -> nodes it includes, nodes named by their path under `tree` without the suffix."""
    edges: dict[str, set[str]] = {}
    for path in sorted(tree.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".h"):
            continue
        node = str(path.relative_to(tree).with_suffix(""))
        edges.setdefault(node, set())
        for name in INCLUDE.findall(path.read_text()):
            for base in [path.parent, *search]:
                target = (base / name).resolve()
                if target.exists():
                    if tree.resolve() in target.parents:
                        other = str(target.relative_to(tree.resolve()).with_suffix(""))
                        if other != node:
                            edges[node].add(other)
                    break
    return edges


def cycles(edges: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components with more than one node (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for other in sorted(edges.get(node, ())):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def upward_includes(core: dict[str, set[str]]) -> list[str]:
    """The includes of src/ that break its rooms' rules (see the module docstring)."""
    problems = []
    for node, targets in sorted(core.items()):
        for target in sorted(targets):
            if target.startswith("robot/ik/") and not node.startswith("robot/ik/"):
                problems.append(f"src: {node} includes {target} from robot/ik/")
        if node.startswith("robot/ik/"):
            continue
        if node.startswith("linalg/"):
            for target in sorted(targets):
                if not target.startswith("linalg/"):
                    problems.append(f"src: {node} includes {target} from outside linalg/")
            continue
        if node.startswith("robot/dynamics/"):
            continue
        for target in sorted(targets):
            if target.startswith("robot/dynamics/"):
                problems.append(f"src: {node} includes {target} from robot/dynamics/")
    return problems


def report() -> list[str]:
    problems = []
    core = graph(ROOT / "src", [ROOT / "src"])
    binding = graph(ROOT / "bindings/python/src", [ROOT / "bindings/python/src"])
    for name, edges in (("src", core), ("bindings/python/src", binding)):
        for component in cycles(edges):
            problems.append(f"{name}: include cycle: {' <-> '.join(component)}")
    problems += upward_includes(core)
    return problems


if __name__ == "__main__":
    found = report()
    print("\n".join(found) if found else "no include cycles, no upward includes")
    sys.exit(1 if found else 0)
