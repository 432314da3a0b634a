"""Style: ruff's lint rules over every Python file of the tree ([tool.ruff] in pyproject.toml) and
the C++ style of .clang-format over the C++ files that keep it."""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The C++ files written in the .clang-format style. The others were wrapped by hand and are reformatted
# when they are next reworked; a file joins this list once `clang-format -i FILE` has run over it.
FORMATTED = (
    "bindings/python/src/arrays.hpp",
    "bindings/python/src/batch.hpp",
    "bindings/python/src/errors.cpp",
    "bindings/python/src/errors.hpp",
    "bindings/python/src/fork_handlers.cpp",
    "bindings/python/src/fork_handlers.hpp",
    "bindings/python/src/gil.cpp",
    "bindings/python/src/gil.hpp",
    "bindings/python/src/handle_lock.cpp",
    "bindings/python/src/handle_lock.hpp",
    "bindings/python/src/ik_options.hpp",
    "bindings/python/src/loads.hpp",
    "bindings/python/src/model_info.hpp",
    "bindings/python/src/module.cpp",
    "bindings/python/src/numpy.cpp",
    "bindings/python/src/numpy.hpp",
    "bindings/python/src/pickling.hpp",
    "bindings/python/src/python.hpp",
    "bindings/python/src/robot.hpp",
    "bindings/python/src/types.hpp",
    "bindings/python/src/values.hpp",
    "src/base_state.cpp",
    "src/base_state.hpp",
    "src/fault.cpp",
    "src/interrupt.hpp",
    "src/model/joint.hpp",
    "src/model/link.hpp",
    "src/model/tree.hpp",
    "src/robot/base.hpp",
    "src/robot/checks.cpp",
    "src/robot/checks.hpp",
    "src/robot/dynamics/whole_body.hpp",
    "src/robot/kinematics/inverse_kinematics.hpp",
    "src/robot/kinematics/path_kernels.cpp",
    "src/robot/kinematics/path_kernels.hpp",
    "src/robot/link_id.hpp",
    "src/robot/robot.hpp",
    "src/robot/workspace.cpp",
    "src/spatial.hpp",
    "src/spatial_algebra.hpp",
)
CLANG_FORMAT_MAJOR = 19  # as pinned in the test extra: another major version lays code out differently


def test_python_keeps_the_lint_rules():
    result = subprocess.run([sys.executable, "-m", "ruff", "check", "--no-cache", "--quiet", "."], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def clang_format() -> str:
    """The clang-format of this environment's scripts (the PyPI wheel), else the first on PATH."""
    found = shutil.which("clang-format", path=sysconfig.get_path("scripts")) or shutil.which("clang-format")
    assert found, "clang-format is missing: pip install '.[test]'"
    return found


def test_formatted_cpp_files_keep_the_clang_format_style():
    missing = [name for name in FORMATTED if not (ROOT / name).is_file()]
    assert not missing, f"listed in FORMATTED but not found (renamed or removed?): {missing}"
    tool = clang_format()
    version = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout
    assert f" version {CLANG_FORMAT_MAJOR}." in version, (
        f"{tool} is {version.strip()!r}; the suite expects clang-format {CLANG_FORMAT_MAJOR} (pip install '.[test]')")
    result = subprocess.run([tool, "--dry-run", "--Werror", *FORMATTED], cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
