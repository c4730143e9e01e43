#!/usr/bin/env bash
# Compiles every source of the project and links the module and the test probes for x86_64 Linux
# with musl, warnings as errors, with zig's clang (scripts/zig_toolchain.sh):
#
#   bash scripts/musl_check.sh
#
# No musl wheel is made, since no musl CPython runs the suite here; a musl system builds from
# source, and this keeps that build working: a call only glibc has fails to compile here. The
# sources are the project's CMake targets, so a new source or module is checked without a change
# here. Python.h comes from the Python running the tools; the limited API reads nothing from it
# that differs between the two C libraries.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/zig_toolchain.sh
zig_toolchain_setup
readonly target=x86_64-linux-musl build=build/musl-check
make_wrapper "c++-$target" "'$zig' c++ -target $target $include_flags"
make_wrapper ar "'$zig' ar"
make_wrapper ranlib "'$zig' ranlib"

echo "=== configuring for $target in $build ==="
# A cross build, so CMake runs nothing it compiles.
cmake --fresh -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
  -DCMAKE_CXX_COMPILER="$PWD/$zig_work/bin/c++-$target" \
  -DCMAKE_AR="$PWD/$zig_work/bin/ar" -DCMAKE_RANLIB="$PWD/$zig_work/bin/ranlib" \
  -DPython_EXECUTABLE="$tool_python" -DFENDRAL_WERROR=ON -DFENDRAL_BUILD_TESTING=ON
echo "=== compiling and linking every target ==="
start=$SECONDS
cmake --build "$build" --parallel 2
echo "built in $((SECONDS - start)) s"
# The modules must have been linked against musl's C library, not the build machine's.
shopt -s nullglob
modules=("$build"/src/*.abi3.so)
((${#modules[@]})) || { echo "no module was built in $build/src" >&2; exit 1; }
for module in "${modules[@]}"; do
  needed=$(readelf -d "$module")
  grep -q 'libc\.so' <<<"$needed" || { echo "$module names no C library:" >&2; echo "$needed" >&2; exit 1; }
  grep -q 'libc\.so\.6' <<<"$needed" && { echo "$module is linked against glibc" >&2; exit 1; }
  echo "$module: $(grep -o 'Shared library: \[[^]]*\]' <<<"$needed" | tr '\n' ' ')"
done
