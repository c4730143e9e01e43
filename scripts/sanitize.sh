#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (g++) into
# build/sanitize and runs the whole test suite against that build:
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded into it.
# Python's own allocator is bypassed (PYTHONMALLOC=malloc) so that ASan sees every object.
# Leak detection is off: the interpreter keeps memory until exit by design. A failing
# allocation returns null instead of aborting, so the module's MemoryError path is reachable.
# Any sanitizer report ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly build=build/sanitize
readonly compiler=${CXX:-g++}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

mkdir -p "$build"
# The build below reuses this environment instead of an isolated one, so it needs the build tools.
pip install --quiet "scikit-build-core>=0.10" "cmake>=3.26" ninja
echo "=== building the sanitized module into $build ==="
CXX=$compiler pip install --quiet --no-deps --no-build-isolation --upgrade \
  --target "$build/site" \
  -C build-dir="$build/cmake" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.FENDRAL_SANITIZE=ON \
  .

# A build directory configured earlier without the option would silently test a plain build.
readelf -d "$build/site/fendral.abi3.so" | grep -q 'NEEDED.*libasan' ||
  { echo "$build/site/fendral.abi3.so is not built with ASan" >&2; exit 1; }

runtimes="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libubsan.so)"
for runtime in $runtimes; do
  [[ -e $runtime ]] || { echo "sanitizer runtime $runtime not found" >&2; exit 1; }
done

echo "=== running the tests under ASan and UBSan ==="
# The tests read FENDRAL_SANITIZED to skip what cannot run under ASan (its shadow memory makes
# address-space limits meaningless) and to pick ASan's own allocation limit instead.
export FENDRAL_SANITIZED=1
# ffmpeg and ffprobe are not ours to check: they start from PATH without the runtimes, which
# slowed each decode by about two thirds under ASan's allocator.
plain=$PWD/$build/unsanitized-programs
mkdir -p "$plain"
for program in ffmpeg ffprobe; do
  found=$(command -v "$program" || true)
  [[ -n $found && $found != "$plain/$program" ]] || continue
  printf '#!/bin/bash\nunset LD_PRELOAD\nexec %q "$@"\n' "$found" >"$plain/$program"
  chmod +x "$plain/$program"
done
export PATH=$plain:$PATH
export LD_PRELOAD=$runtimes
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$build/site${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=0:check_initialization_order=1:strict_init_order=1:exitcode=86
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
# ffmpeg must never wait for an answer on a terminal it does not have.
python -m pytest -p no:cacheprovider "$@" </dev/null
