"""A wheel anyone can install: built from this tree, repaired by auditwheel into a manylinux
wheel, installed into a bare virtual environment (no build tools, no XML parser distribution),
where the command-line tool and the examples on the sample robots run."""

import os
import subprocess
import sys
import venv
from pathlib import Path

ROOT = Path(__file__).parent.parent
# examples that need only the sample robots shipped inside the package
SAMPLE_EXAMPLES = ["pose_and_jacobian.py", "dynamics.py", "inverse_kinematics.py", "threads_with_forks.py"]


# the bare environment sees nothing of this one (nor of a sanitizer run's preloads)
CLEAN = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}


def run(*args, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=CLEAN, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_repaired_wheel_installs_and_runs_in_a_bare_environment(tmp_path):
    built, repaired = tmp_path / "built", tmp_path / "repaired"
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "-w", built, cwd=ROOT)
    (wheel,) = built.glob("velkor-*.whl")
    run(sys.executable, "-m", "auditwheel", "repair", wheel, "-w", repaired)
    (fixed,) = repaired.glob("velkor-*manylinux*.whl")

    venv.create(tmp_path / "env", with_pip=True)
    python = tmp_path / "env/bin/python"
    run(python, "-m", "pip", "install", "--quiet", "--no-deps", fixed)
    run(python, "-m", "pip", "install", "--quiet", "numpy")
    installed = run(python, "-m", "pip", "list", "--format=freeze")
    assert not any(name in installed for name in ("cmeel", "cmake", "scikit")), installed

    assert run(tmp_path / "env/bin/velkor", "--version").startswith("velkor ")
    assert "robot velkor_arm" in run(tmp_path / "env/bin/velkor")
    for example in SAMPLE_EXAMPLES:
        run(python, ROOT / "examples" / example, cwd=tmp_path)
