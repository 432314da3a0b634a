#!/usr/bin/env bash
# Builds velkor from this tree (with the test-only module) into one of the environments that
# tools/interpreters.sh made in the sid chroot, and runs the test suite there:
#
#   tools/chroot_suite.sh NAME [PYTEST ARGUMENTS...]      NAME: py313, py314 or py314t
#
# The tree appears inside the chroot at its own path (a bind mount, undone at the end), so the
# build directory (build/<wheel tag>) and the compiler cache (/var/cache/ccache in the chroot,
# kept between runs) see the same paths every time: a rebuild of an unchanged tree takes seconds.
# The run is the README's (VELKOR_NO_SKIPS=1), except that the requirements without a wheel for
# this interpreter (the environment's velkor-missing.txt) may be missing: a test may skip only
# with a reason that names one of them. On a free-threaded interpreter the suite runs with
# PYTHON_GIL=0; first, without it, importing each of velkor's modules must leave the interpreter
# lock off (the test requirements that turn it on are named), and it must still be off when the
# suite ends.
set -euo pipefail

ROOT=${VELKOR_CHROOT:-/srv/sid}
ROOT=${ROOT%/}
NAME=${1:?usage: tools/chroot_suite.sh NAME [PYTEST ARGUMENTS...]}
shift
ARGS=
[ $# = 0 ] || ARGS=$(printf '%q ' "$@")  # for the shell inside the chroot
PROJECT=$(cd "$(dirname "$0")/.." && pwd)
VENV=/opt/venvs/$NAME
[ -f "$ROOT$VENV/velkor-requirements.txt" ] || { echo "chroot_suite.sh: no $ROOT$VENV: run tools/interpreters.sh" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "chroot_suite.sh: run as root (mount, chroot)" >&2; exit 1; }

MOUNTED=
cleanup() {
  if [ -n "$MOUNTED" ]; then umount "$ROOT$PROJECT" && rmdir "$ROOT$PROJECT" 2>/dev/null || true; fi
}
trap cleanup EXIT
if ! mountpoint -q "$ROOT$PROJECT"; then
  mkdir -p "$ROOT$PROJECT" && mount --bind "$PROJECT" "$ROOT$PROJECT" && MOUNTED=1
fi

MISSING=$(cut -f1 "$ROOT$VENV/velkor-missing.txt" | tr '\n' ' ')
in_venv() {  # a command in the environment, inside the tree, with nothing of the host's environment
  chroot "$ROOT" env -i PATH="$VENV/bin:/usr/bin:/bin" HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR="$PROJECT" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    CMAKE_ARGS="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache" \
    VELKOR_NO_SKIPS=1 VELKOR_MISSING_PACKAGES="$MISSING" "$@" sh -c "cd '$PROJECT' && $LINE"
}
seconds() { echo $(($(date +%s) - START)); }

echo "chroot_suite.sh: $NAME: $(chroot "$ROOT" "$VENV/bin/python" -VV)"
if [ -n "$MISSING" ]; then
  echo "chroot_suite.sh: $NAME: test requirements without a wheel here, whose tests skip:"
  sed 's/^/  /; s/\t/: /' "$ROOT$VENV/velkor-missing.txt"
fi

START=$(date +%s)
LINE="VELKOR_TESTING=ON python -m pip install -q --no-build-isolation --no-deps . && ccache --show-stats | grep -E '^(Cacheable|  Hits|  Misses)' || true"
in_venv
echo "chroot_suite.sh: $NAME: built and installed in $(seconds) s"

FREE_THREADED=$(chroot "$ROOT" "$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)')
GIL=
if [ "$FREE_THREADED" = 1 ]; then
  START=$(date +%s)
  # Without PYTHON_GIL, importing an extension module that does not declare that it runs without
  # the lock turns the lock on (with a RuntimeWarning naming it). velkor's modules, each imported in
  # a fresh interpreter, must leave it off; the test requirements that turn it on are named (the
  # suite runs with PYTHON_GIL=0, which keeps it off whatever is imported).
  LINE="python - <<'EOF'
import importlib.metadata as metadata, pkgutil, re, subprocess, sys
import velkor
def turns_on(module):  # 0: the lock stays off, 1: cannot be imported here, 2: the lock is on
    code = f'import sys, {module}; sys.exit(2 if sys._is_gil_enabled() else 0)'
    return subprocess.run([sys.executable, '-W', 'ignore', '-c', code], capture_output=True).returncode
ours = ['velkor', '_velkor', '_velkor_testing', *(m.name for m in pkgutil.iter_modules(velkor.__path__, 'velkor.'))]
verdicts = {module: turns_on(module) for module in ours}
print('  velkor modules that cannot be imported here:', [m for m, v in verdicts.items() if v == 1] or 'none')
locked = [m for m, v in verdicts.items() if v == 2]
assert not locked, f'the interpreter lock is on after importing {locked}'
print(f'  the interpreter lock stays off after importing each of velkor\\'s {len(ours)} modules')
wanted = {re.match(r'[A-Za-z0-9_.-]+', line).group().lower().replace('_', '-') for line in open('$VENV/velkor-requirements.txt')}
theirs = sorted({module for module, dists in metadata.packages_distributions().items()
                 if module.isidentifier() and not module.startswith('_')
                 and any(d.lower().replace('_', '-') in wanted for d in dists)})
print('  test requirements whose import turns the lock on:', [m for m in theirs if turns_on(m) == 2] or 'none')
EOF"
  in_venv
  echo "chroot_suite.sh: $NAME: lock checks in $(seconds) s"
  GIL=PYTHON_GIL=0
fi

START=$(date +%s)
LINE="python -m pytest -p no:cacheprovider $ARGS"
STATUS=0
# shellcheck disable=SC2086
in_venv VELKOR_NO_GIL=$FREE_THREADED $GIL || STATUS=$?
echo "chroot_suite.sh: $NAME: suite ended with status $STATUS in $(seconds) s"
exit $STATUS
