"""What the tests take from others: the robot files of example-robot-data, found by path (so that they
load where Pinocchio, which that package's Python module imports, has no wheel), and the optional
packages some tests need, each such test skipping with the package's name where it cannot be imported."""

import importlib
import site
import sys
from pathlib import Path

import pytest

COLLECTION = Path("cmeel.prefix/share/example-robot-data/robots")


def robots_dir():
    """The directory of example-robot-data's robots (a test requirement everywhere: missing, it fails)."""
    for base in [*site.getsitepackages(), site.getusersitepackages(), *sys.path]:
        if (Path(base) / COLLECTION).is_dir():
            return Path(base) / COLLECTION
    pytest.fail(f"robot collection {COLLECTION} (PyPI package 'example-robot-data') not found")


def optional(module, package):
    """(the module or None, a mark that skips a test where it cannot be imported, naming the package)."""
    try:
        found = importlib.import_module(module)
    except ImportError:
        found = None
    return found, pytest.mark.skipif(found is None, reason=f"needs {package}, which cannot be imported here")


# the cross-validation's reference, and a peer of the constrained dynamics and the configuration space
pinocchio, NEEDS_PINOCCHIO = optional("pinocchio", "Pinocchio (PyPI package 'pin')")

# why a test of the binding's test-only hooks skips in a release build (the installed wheels)
TESTING = "needs _velkor_testing, the test-only module of a VELKOR_TESTING build"
