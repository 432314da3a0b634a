"""Type information: the stubs match the built extension, and the examples pass mypy --strict
with the installed package's types (so an unknown method is an error, not Any)."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).parent.parent


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd)


def test_stubs_match_the_extension(tmp_path):
    (tmp_path / "none.ini").write_text("[mypy]\n")
    result = mypy("mypy.stubtest", "_velkor", "--mypy-config-file", str(tmp_path / "none.ini"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_checking_and_unknown_names_are_errors(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import velkor\nvelkor.Robot('x').nonexistent_method()\nvelkor.Pose().translation + 1\n")
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(ROOT / "examples"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(wrong), cwd=tmp_path)
    assert '"Robot" has no attribute "nonexistent_method"' in result.stdout
    assert "wrong.py:3: error" in result.stdout  # a tuple plus an int
