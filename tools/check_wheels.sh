#!/bin/sh
# Each wheel of tools/build_wheels.sh installed into a bare environment of its interpreter, and run
# there, away from the source tree: the command-line tool on the sample robots, every example that
# needs nothing but velkor, then (with pytest added) tests/test_hostile.py (with the one test of
# test_batch.py it runs again), whose exit-time tests
# stop daemon threads inside calls.
#
#   sh tools/check_wheels.sh PYTHON...     the interpreters given to tools/build_wheels.sh
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${VELKOR_WHEEL_CACHE:-${HOME}/.cache/velkor-wheels}
WHEELHOUSE=${VELKOR_WHEELHOUSE:-${ROOT}/wheelhouse}
[ $# -gt 0 ] || { echo "usage: $0 PYTHON..." >&2; exit 2; }
unset PYTHONPATH LD_LIBRARY_PATH LD_PRELOAD || true

failed=""
for python in "$@"; do
  python=$(command -v "$python")
  tag=$("$python" -c "import sys, sysconfig; print(f'cp{sys.version_info[0]}{sys.version_info[1]}' + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))")
  wheel=$(ls "$WHEELHOUSE"/velkor-*-*-"$tag"-*manylinux*.whl)  # by ABI tag: cp314 is not cp314t
  pip="$CACHE/build-$tag/bin/python -m pip --python"
  work=$(mktemp -d)
  (
    set -e
    cd "$work"
    # no pip of its own: the build environment's pip installs into it
    "$python" -m venv --without-pip bare
    $pip bare/bin/python install --quiet "$wheel" numpy
    bare/bin/python -m pip --version > /dev/null 2>&1 && { echo "pip in the bare environment"; exit 1; }
    bare/bin/velkor --version
    bare/bin/velkor > cli.txt && grep -q "robot velkor_arm" cli.txt && grep -q "robot velkor_quadruped" cli.txt
    bare/bin/velkor info arm > /dev/null
    bare/bin/velkor check "$ROOT/python/velkor/robots/velkor_arm.urdf" > /dev/null
    for example in "$ROOT"/examples/*.py; do
      if [ "$(head -n 1 "$example")" = "# Needs: pip install velkor" ]; then
        bare/bin/python "$example" > out.txt && [ -s out.txt ] || { echo "$(basename "$example") failed"; exit 1; }
        echo "example $(basename "$example"): ok"
      fi
    done
    $pip bare/bin/python install --quiet pytest
    mkdir tests && cp "$ROOT/tests/conftest.py" "$ROOT/tests/test_hostile.py" "$ROOT/tests/test_batch.py" tests/
    bare/bin/python -c "import velkor, sys; assert velkor.__file__.startswith(sys.prefix), velkor.__file__"
    bare/bin/python -m pytest -v -p no:cacheprovider tests/test_hostile.py
  ) && echo "$tag: $(basename "$wheel") passes" || failed="$failed $tag"
  rm -rf "$work"
done
[ -z "$failed" ] || { echo "failed:$failed"; exit 1; }
