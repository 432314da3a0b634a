#!/usr/bin/env bash
# Builds the extension and the test hooks with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc), then runs the whole pytest suite against
# that build with the sanitizer runtimes preloaded.
#
#   bash sanitizers/run_tests.sh [pytest arguments]
#
# Leak detection is off for the suite (the interpreter keeps objects until
# exit); sanitizers/leak_check.py measures memory growth instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# the interpreter itself, not a launcher script that would get the runtime preloaded too
python_bin="$(python -c "import sys; print(sys.executable)")"
build=build/sanitized
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_TESTING=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j2
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$runtimes" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$build:python" PYTHONMALLOC=malloc \
  "$python_bin" -m pytest -p no:cacheprovider "$@"
