"""Every script under examples/ runs to the end."""

import runpy
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
