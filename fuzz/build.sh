#!/usr/bin/env bash
# Builds the URDF import fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   bash fuzz/build.sh            # -> fuzz/build/urdf_fuzzer
#
# Needs clang 19 (Debian bookworm: apt-get install clang-19 libclang-rt-19-dev).
# Older clang does not do: Debian's libstdc++ 12 offers <expected> only to a
# compiler that announces C++20 concepts in full (clang 19 does, clang 16 does
# not), and libc++ 16 has no floating-point std::from_chars, which the reader
# uses. tinyxml2 and Eigen come from the Python wheels the extension is built
# with (cmeel.prefix); tinyxml2 is linked as the wheel's shared library and so
# is not instrumented.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${CXX:-clang++-19}
PYTHON=${PYTHON:-python}
out=${OUT:-fuzz/build}
prefix="$("$PYTHON" -c 'import site; print(site.getsitepackages()[0])')/cmeel.prefix"
[ -f "$prefix/include/tinyxml2.h" ] || { echo "tinyxml2 not found under $prefix" >&2; exit 1; }
[ -d "$prefix/include/eigen3" ] || { echo "Eigen not found under $prefix" >&2; exit 1; }

sources=(
  src/error.cpp
  src/fault.cpp
  src/spatial.cpp
  src/model/joint.cpp
  src/model/tree.cpp
  src/robot/urdf_reader.cpp
  src/robot/model.cpp
  src/robot/robot.cpp
  src/robot/workspace.cpp
  src/robot/checks.cpp
  src/robot/kinematics/forward_kinematics.cpp
  fuzz/urdf_fuzzer.cpp
)

flags=(
  -std=c++23
  -O1 -g -fno-omit-frame-pointer
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
  -DEIGEN_MPL2_ONLY
  -Isrc -isystem "$prefix/include" -isystem "$prefix/include/eigen3"
)

mkdir -p "$out/obj"
objects=()
for source in "${sources[@]}"; do
  object="$out/obj/$(echo "${source%.cpp}" | tr / _).o"
  if [ ! -f "$object" ] || [ -n "$(find src fuzz -newer "$object" \( -name '*.cpp' -o -name '*.hpp' \) -print -quit)" ]; then
    echo "compiling $source"
    "$CXX" "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
"$CXX" "${flags[@]}" "${objects[@]}" -o "$out/urdf_fuzzer" \
  -L"$prefix/lib" -ltinyxml2 -Wl,-rpath,"$prefix/lib"
echo "built $out/urdf_fuzzer"
