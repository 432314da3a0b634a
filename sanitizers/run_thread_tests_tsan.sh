#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer and runs the thread tests against
# it with the runtime preloaded: clang 19's when it is installed (apt-get
# install clang-19 libclang-rt-19-dev), else gcc's. gcc 12's runtime crashes
# CPython 3.11 at start-up on some kernels (a jump to a bogus address even for
# "import numpy"); clang's does not.
#
#   bash sanitizers/run_thread_tests_tsan.sh [pytest arguments, default: the thread tests]
#
# The interpreter itself is not instrumented, so its own lock is invisible to
# the sanitizer; the suppressions file lists the interpreter-internal reports
# that follow from that. Races inside velkor's code are not suppressed. A failed
# allocation returns null as it does without the sanitizer, so the out-of-memory
# tests see MemoryError instead of the sanitizer's abort.
set -euo pipefail
cd "$(dirname "$0")/.."
# the interpreter itself, not a launcher script that would get the runtime preloaded too
python_bin="$(python -c "import sys; print(sys.executable)")"
if command -v clang++-19 >/dev/null && runtime="$(clang++-19 -print-file-name=libclang_rt.tsan-x86_64.so)" \
    && [ -f "$runtime" ]; then
  build=build/tsan-clang
  compiler=(-DCMAKE_CXX_COMPILER=clang++-19)
else
  build=build/tsan
  runtime="$(g++ -print-file-name=libtsan.so)"
  compiler=()
fi
cmake -S . -B "$build" "${compiler[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_TESTING=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2
[ $# -gt 0 ] || set -- tests/test_threads.py
LD_PRELOAD="$runtime" \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1:suppressions=$PWD/sanitizers/tsan.supp" \
PYTHONPATH="$build:python" \
  "$python_bin" -m pytest -p no:cacheprovider -q "$@"
