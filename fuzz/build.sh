#!/usr/bin/env bash
# Builds the libFuzzer targets for the metadata reader and the MP4 segment reader (the CMake
# option FENDRAL_BUILD_FUZZERS), with AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   bash fuzz/build.sh        # -> build/fuzz/metadata_reader_fuzzer, build/fuzz/movie_reader_fuzzer
#
# The sources need C++23 as clang 16 or newer compiles it, and libFuzzer's runtime for that clang
# (Debian's libclang-rt-N-dev). When no suitable clang is found and this runs as root, Debian's
# clang-19 and libclang-rt-19-dev are installed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only for the check of a candidate compiler; the build itself takes its flags from CMake.
readonly FLAGS=(-std=c++23 -O1 -g -fno-omit-frame-pointer
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

# A clang is suitable when it builds a fuzz target that uses the sources' fendral::expected.
suitable() {
  local probe_dir
  probe_dir=$(mktemp -d)
  printf '%s\n' '#include "base/expected.hpp"' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t size) {' \
    '  fendral::expected<std::size_t, int> value(size); return static_cast<int>(*value * 0); }' \
    >"$probe_dir/probe.cpp"
  "$1" "${FLAGS[@]}" -Isrc "$probe_dir/probe.cpp" -o "$probe_dir/probe" >/dev/null 2>&1
  local status=$?
  rm -rf "$probe_dir"
  return $status
}

find_clang() {
  local candidate
  for candidate in ${CXX_FUZZ:-} clang++-19 clang++-20 clang++-16 clang++; do
    if command -v "$candidate" >/dev/null && suitable "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if ! compiler=$(find_clang); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "no clang able to build the fuzzer; install Debian's clang-19 and libclang-rt-19-dev" >&2
    exit 1
  fi
  echo "installing clang-19 and libclang-rt-19-dev" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null
  compiler=$(find_clang)
fi

# Warnings are errors here, as in every development build; libFuzzer wants light optimisation
# with debug information rather than a release build.
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER="$(command -v "$compiler")" -DCMAKE_BUILD_TYPE= \
  -DCMAKE_CXX_FLAGS="-O1 -g" -DFENDRAL_BUILD_MODULE=OFF -DFENDRAL_BUILD_FUZZERS=ON \
  -DFENDRAL_WERROR=ON >/dev/null
cmake --build build/fuzz --parallel --target metadata_reader_fuzzer movie_reader_fuzzer
echo "built build/fuzz/metadata_reader_fuzzer and build/fuzz/movie_reader_fuzzer with $compiler"
