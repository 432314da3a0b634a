"""The suite's own run rules (conftest.py), applied to a small session of its own: with VELKOR_NO_SKIPS=1
a skip fails the run unless its reason names a package that VELKOR_MISSING_PACKAGES lists as having no
wheel for the interpreter; with VELKOR_NO_GIL=1 the run fails if the interpreter lock is on at its end."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

CONFTEST = Path(__file__).with_name("conftest.py")
PIN = "needs Pinocchio (PyPI package 'pin'), which cannot be imported here"


def session(tmp_path, reason, **env):
    """(exit status, output) of pytest on one passing test and one skipped with the reason."""
    shutil.copy(CONFTEST, tmp_path / "conftest.py")
    (tmp_path / "test_inner.py").write_text(
        f"import pytest\n\n\ndef test_runs():\n    pass\n\n\n@pytest.mark.skip(reason={reason!r})\n"
        "def test_skips():\n    pass\n")
    clean = {k: v for k, v in os.environ.items() if k not in ("VELKOR_NO_SKIPS", "VELKOR_MISSING_PACKAGES", "VELKOR_NO_GIL")}
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                            capture_output=True, text=True, cwd=tmp_path, env={**clean, **env})
    return result.returncode, result.stdout


@pytest.mark.parametrize("reason, missing, passes", [
    (PIN, "pin", True),
    (PIN, "viser, pin", True),
    ("needs viser (the viewer extra), which cannot be imported here", "pin viser", True),
    (PIN, "", False),                     # nothing may be missing
    (PIN, "pin-pink", False),             # a name stands alone: "pin" is not "pin-pink"
    ("needs pin-pink", "pin", False),
    ("port 65535 is in use here", "pin viser pybullet", False),   # a reason that names no package
])
def test_a_skip_passes_only_when_it_names_a_package_without_a_wheel(tmp_path, reason, missing, passes):
    status, output = session(tmp_path, reason, VELKOR_NO_SKIPS="1", VELKOR_MISSING_PACKAGES=missing)
    assert (status == 0) == passes, output
    assert ("test_inner.py::test_skips" in output) and (reason in output)  # named, with why


def test_skips_pass_without_the_rule(tmp_path):
    assert session(tmp_path, "port 65535 is in use here")[0] == 0


def test_the_run_fails_if_the_interpreter_lock_is_on_at_its_end(tmp_path):
    """The inner interpreter has the lock on exactly when this one has (PYTHON_GIL is inherited)."""
    locked = getattr(sys, "_is_gil_enabled", lambda: True)()
    status, output = session(tmp_path, PIN, VELKOR_NO_GIL="1", VELKOR_NO_SKIPS="1", VELKOR_MISSING_PACKAGES="pin")
    assert (status != 0) == locked, output
    assert ("the interpreter lock is on" in output) == locked
