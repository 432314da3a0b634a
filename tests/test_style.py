"""Style: ruff's lint rules over every Python file of the tree ([tool.ruff] in pyproject.toml) and
the C++ style of .clang-format over every C++ file."""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Every C++ file of the tree keeps the .clang-format style.
CPP_SUFFIXES = {".cpp", ".hpp", ".h"}
SKIPPED_DIRECTORIES = {"build", "_skbuild", ".git", "dist", ".venv"}


def cpp_files() -> list[str]:
    found = []
    for path in ROOT.rglob("*"):
        relative = path.relative_to(ROOT)
        if path.suffix in CPP_SUFFIXES and path.is_file() and not SKIPPED_DIRECTORIES & set(relative.parts[:-1]):
            found.append(str(relative))
    return sorted(found)


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
    files = cpp_files()
    assert "src/robot/robot.hpp" in files, files[:5]
    tool = clang_format()
    version = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout
    assert f" version {CLANG_FORMAT_MAJOR}." in version, (
        f"{tool} is {version.strip()!r}; the suite expects clang-format {CLANG_FORMAT_MAJOR} (pip install '.[test]')")
    result = subprocess.run([tool, "--dry-run", "--Werror", *files], cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
