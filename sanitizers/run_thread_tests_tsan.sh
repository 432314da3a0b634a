#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer and runs the thread tests against
# it, with one of two kinds of interpreter:
#
# - an ordinary one (`python` on PATH, or $PYTHON): the sanitizer's runtime is
#   preloaded, clang 19's when it is installed (apt-get install clang-19
#   libclang-rt-19-dev), else gcc's. gcc 12's runtime crashes CPython 3.11 at
#   start-up on some kernels (a jump to a bogus address even for "import
#   numpy"); clang's does not. The interpreter itself is not instrumented, so
#   its own lock is invisible to the sanitizer; tsan.supp lists the
#   interpreter-internal reports that follow from that.
# - a free-threaded CPython built with --disable-gil --with-thread-sanitizer
#   ($PYTHON, e.g. a venv of it): it carries the runtime itself and its own
#   locks are seen, so the extension is built with the compiler that built it
#   and tsan_free_threading.supp suppresses only CPython's known races and
#   NumPy's uninstrumented code. Run the tests with PYTHON_GIL=0.
#
#   bash sanitizers/run_thread_tests_tsan.sh [pytest arguments, default: the thread tests]
#   PYTHON=/opt/venvs/py314t-tsan/bin/python PYTHON_GIL=0 \
#     VELKOR_TSAN_CMAKE_ARGS=-DEigen3_DIR=/opt/eigen34/share/eigen3/cmake \
#     bash sanitizers/run_thread_tests_tsan.sh tests/test_threads.py tests/test_stress.py
#
# Races inside velkor's code are not suppressed. A failed allocation returns
# null as it does without the sanitizer, so the out-of-memory tests see
# MemoryError instead of the sanitizer's abort.
set -euo pipefail
cd "$(dirname "$0")/.."
# the interpreter itself, not a launcher script that would get the runtime preloaded too
python_bin="$("${PYTHON:-python}" -c "import sys; print(sys.executable)")"
instrumented="$("$python_bin" -c "import sysconfig
print(int('--with-thread-sanitizer' in (sysconfig.get_config_var('CONFIG_ARGS') or '')))")"
tag="$("$python_bin" -c "import sys; print(sys.implementation.cache_tag)")"
runtime=""
compiler=()
if [ "$instrumented" = 1 ]; then
  build="build/tsan-$tag"
  suppressions=sanitizers/tsan_free_threading.supp
elif command -v clang++-19 >/dev/null && runtime="$(clang++-19 -print-file-name=libclang_rt.tsan-x86_64.so)" \
    && [ -f "$runtime" ]; then
  build=build/tsan-clang
  compiler=(-DCMAKE_CXX_COMPILER=clang++-19)
  suppressions=sanitizers/tsan.supp
else
  build=build/tsan
  runtime="$(g++ -print-file-name=libtsan.so)"
  suppressions=sanitizers/tsan.supp
fi
# shellcheck disable=SC2086  # extra arguments, split as given
cmake -S . -B "$build" "${compiler[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_TESTING=ON \
  -DPython_EXECUTABLE="$python_bin" ${VELKOR_TSAN_CMAKE_ARGS:-} \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2
[ $# -gt 0 ] || set -- tests/test_threads.py
env ${runtime:+LD_PRELOAD="$runtime"} \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1:suppressions=$PWD/$suppressions" \
PYTHONPATH="$build:python" \
  "$python_bin" -m pytest -p no:cacheprovider -q "$@"
