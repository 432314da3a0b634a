#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer (gcc) and runs the thread tests
# against it with the runtime preloaded.
#
#   bash sanitizers/run_thread_tests_tsan.sh [pytest arguments, default: the thread tests]
#
# The interpreter itself is not instrumented, so its own lock is invisible to
# the sanitizer; the suppressions file lists the interpreter-internal reports
# that follow from that. Races inside velkor's code are not suppressed.
set -euo pipefail
cd "$(dirname "$0")/.."
# the interpreter itself, not a launcher script that would get the runtime preloaded too
python_bin="$(python -c "import sys; print(sys.executable)")"
build=build/tsan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_TESTING=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2
[ $# -gt 0 ] || set -- tests/test_threads.py
LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/sanitizers/tsan.supp" \
PYTHONPATH="$build:python" \
  "$python_bin" -m pytest -p no:cacheprovider -q "$@"
