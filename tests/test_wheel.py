"""A wheel anyone can install: built from this tree, repaired by auditwheel into a manylinux
wheel, installed into a bare virtual environment (no build tools, no XML parser distribution),
where the command-line tool runs; and every example runs in an environment that holds the wheel
and nothing but the extra its first line names."""

import os
import re
import subprocess
import sys
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
# an example's first line: "# Needs: pip install velkor" or "# Needs: pip install 'velkor[extra,...]'"
NEEDS = re.compile(r"# Needs: pip install (?:velkor|'velkor\[([a-z0-9_,-]+)\]')")


# the bare environment sees nothing of this one (nor of a sanitizer run's preloads)
CLEAN = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}


def run(*args, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=CLEAN, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def examples_by_extra():
    """{extras: [scripts]} from the examples' first lines; "" for the package alone."""
    groups = {}
    for script in EXAMPLES:
        match = NEEDS.fullmatch(script.read_text().split("\n", 1)[0])
        assert match, f"{script.name}: the first line must say what to install, e.g. # Needs: pip install velkor"
        groups.setdefault(match.group(1) or "", []).append(script)
    return groups


def environment(path):
    """A virtual environment without even pip: this interpreter's pip installs into it."""
    venv.create(path, with_pip=False)
    return path / "bin/python"


def pip(python, *args):
    return [sys.executable, "-m", "pip", "--python", python, *args]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The repaired wheel, built once for the tests of this file (the build takes minutes)."""
    built, repaired = tmp_path_factory.mktemp("built"), tmp_path_factory.mktemp("repaired")
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "-w", built, cwd=ROOT)
    (wheel,) = built.glob("velkor-*.whl")
    run(sys.executable, "-m", "auditwheel", "repair", wheel, "-w", repaired)
    (fixed,) = repaired.glob("velkor-*manylinux*.whl")
    return fixed


@pytest.fixture(scope="module")
def bare(wheel, tmp_path_factory):
    """The wheel and NumPy, nothing else."""
    python = environment(tmp_path_factory.mktemp("bare") / "env")
    run(*pip(python, "install", "--quiet", "--no-deps", wheel))
    run(*pip(python, "install", "--quiet", "numpy"))
    return python


def test_repaired_wheel_installs_and_runs_in_a_bare_environment(bare, tmp_path):
    installed = run(*pip(bare, "list", "--format=freeze"))
    assert not any(name in installed for name in ("cmeel", "cmake", "scikit")), installed

    assert run(bare.parent / "velkor", "--version").startswith("velkor ")
    assert "robot velkor_arm" in run(bare.parent / "velkor", cwd=tmp_path)


def test_every_example_runs_with_only_the_extra_its_first_line_names(wheel, bare, tmp_path):
    groups = examples_by_extra()
    assert groups.get(""), "no example runs on the package alone"
    pythons = {"": bare}
    # one environment per extra, installed side by side (mostly downloads and unpacking)
    installs = {}
    for extras in sorted(groups.keys() - {""}):
        pythons[extras] = environment(tmp_path / extras)
        with open(tmp_path / f"{extras}.log", "w") as log:
            installs[extras] = subprocess.Popen([str(a) for a in pip(pythons[extras], "install", "--quiet",
                                                                     f"{wheel}[{extras}]")],
                                                stdout=log, stderr=subprocess.STDOUT, env=CLEAN)
    for extras, install in installs.items():
        install.wait()
        assert install.returncode == 0, f"pip install '{wheel.name}[{extras}]'\n{(tmp_path / f'{extras}.log').read_text()}"
    for extras, scripts in sorted(groups.items()):
        installed = run(*pip(pythons[extras], "list", "--format=freeze"))
        assert "pytest" not in installed and "pin==" not in installed, installed  # not the test extras
        for script in scripts:
            assert run(pythons[extras], script, cwd=tmp_path), f"{script.name} printed nothing"
