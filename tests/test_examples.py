"""Every script under examples/ runs to the end, and its first line says what to install for it."""

import re
import runpy
import tomllib
from pathlib import Path

import pytest

EXAMPLES = sorted((Path(__file__).parent.parent / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(script, capsys):
    runpy.run_path(str(script), run_name="__main__")
    assert capsys.readouterr().out


def test_solo12_feet_are_placed_symmetrically(capsys):
    runpy.run_path(str(EXAMPLES[0].parent / "solo12_feet.py"), run_name="__main__")
    feet = {line.split(":")[0]: [float(v) for v in line.split()[2::2]]
            for line in capsys.readouterr().out.splitlines() if line.endswith(" m")}
    # leg by leg made velkor's order: mirror images left/right and front/hind
    assert feet["FL_FOOT"][0] == pytest.approx(feet["FR_FOOT"][0]) == pytest.approx(-feet["HL_FOOT"][0])
    assert feet["FL_FOOT"][1] == pytest.approx(-feet["FR_FOOT"][1])
    assert len({round(f[2], 3) for f in feet.values()}) == 1


def test_dynamics_payload_load_matches_payload_link(capsys):
    runpy.run_path(str(EXAMPLES[0].parent / "dynamics.py"), run_name="__main__")
    lines = dict(line.split(": ", 1) for line in capsys.readouterr().out.splitlines() if ": " in line)
    # the payload carried as a load and as a link welded to the tool give the same joint forces
    assert float(lines["payload as a link, largest difference (N·m)"]) < 1e-9


def test_every_example_says_what_to_install_with_extras_the_package_declares():
    with open(EXAMPLES[0].parent.parent / "pyproject.toml", "rb") as file:
        declared = set(tomllib.load(file)["project"]["optional-dependencies"])
    for script in EXAMPLES:
        first = script.read_text().split("\n", 1)[0]
        match = re.fullmatch(r"# Needs: pip install (?:velkor|'velkor\[([a-z0-9_,-]+)\]')", first)
        assert match, f"{script.name}: {first!r}"
        # pip installs an unknown extra as nothing, with a warning only
        assert set((match.group(1) or "").split(",")) - {""} <= declared - {"test"}, f"{script.name}: {first!r}"
