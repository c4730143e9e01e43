#!/usr/bin/env bash
# Checks the release wheel that scripts/release_wheels.sh left in wheelhouse/ and runs the test
# suite against that very wheel on every CPython from 3.8 to 3.13 found under pyenv:
#
#   bash scripts/test_release_wheel.sh [pytest arguments]
#
# Each Python gets a fresh venv with the wheel and its test extras installed, and the suite runs
# from a scratch directory, so the tests import the installed module, never the checkout.
# FENDRAL_WHEEL_PYTHONS names the versions (default: 3.8 to 3.13, space-separated).
# FENDRAL_WHEEL_TEST_JOBS Pythons run at once (default 2); each one's output is shown once it is
# done, in full if it failed. A Python that is not installed is skipped with a message; any
# other failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly repo=$PWD
readonly pythons_root=${PYENV_ROOT:-$HOME/.pyenv}/versions
readonly newest_glibc_minor=28
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

arch=$(uname -m)
shopt -s nullglob
wheels=(wheelhouse/fendral-*-cp38-abi3-*"$arch".whl)
if ((${#wheels[@]} != 1)); then
  echo "expected one $arch wheel in wheelhouse/, found ${#wheels[@]}: run scripts/release_wheels.sh" >&2
  exit 1
fi
readonly wheel=$repo/${wheels[0]}

echo "=== checking $(basename "$wheel") ==="
# Every platform tag must be manylinux at glibc 2.28 or older, and auditwheel must agree.
tags=$(basename "$wheel" .whl)
tags=${tags##*-}
for tag in ${tags//./ }; do
  if [[ $tag =~ ^manylinux_2_([0-9]+)_$arch$ ]]; then
    ((BASH_REMATCH[1] <= newest_glibc_minor)) || { echo "tag $tag needs glibc newer than 2.$newest_glibc_minor" >&2; exit 1; }
  elif [[ ! $tag =~ ^manylinux(1|2010|2014)_$arch$ ]]; then
    echo "tag $tag is not a manylinux tag" >&2
    exit 1
  fi
done
policy=$(build/release/tools/bin/python -m auditwheel show "$wheel" |
  tr '\n' ' ' | grep -o 'consistent with the following platform tag: *"[^"]*"' | grep -o '"[^"]*"' | tr -d '"')
echo "auditwheel policy: $policy"
[[ $policy =~ ^manylinux_2_([0-9]+)_$arch$ ]] && ((BASH_REMATCH[1] <= newest_glibc_minor)) ||
  { echo "auditwheel places the wheel at '$policy', not manylinux_2_$newest_glibc_minor or older" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One Python: a fresh venv with the wheel, the suite from a scratch directory. Its output goes
# to $scratch/VERSION.log, its result line to $scratch/VERSION.result.
test_on() {  # VERSION PYTHON [pytest arguments]
  local version=$1 python=$2
  shift 2
  local venv=$scratch/venv-$version start=$SECONDS status=0
  {
    "$python" -m venv "$venv" &&
      "$venv/bin/python" -m pip install --quiet "$wheel[test]" &&
      mkdir -p "$scratch/run-$version" && cd "$scratch/run-$version" &&
      # Both modules of the wheel, from the venv: the place they share lies inside it.
      location=$("$venv/bin/python" -c 'import os, fendral, fendral_stream as s
print(os.path.commonpath([fendral.__file__, s.__file__]))') &&
      if [[ $location != "$venv"/* ]]; then
        echo "fendral and fendral_stream imported from $location, not from the venv"
        false
      fi &&
      # ffmpeg must never wait for an answer on a terminal it does not have.
      "$venv/bin/python" -m pytest -p no:cacheprovider -q "$@" "$repo/tests" </dev/null
  } >"$scratch/$version.log" 2>&1 || status=$?
  if ((status == 0)); then
    echo "CPython $version: passed in $((SECONDS - start)) s" >"$scratch/$version.result"
  else
    echo "CPython $version: FAILED (status $status)" >"$scratch/$version.result"
  fi
}

# Two Pythons at a time: much of the suite waits on ffmpeg and child processes.
readonly jobs=${FENDRAL_WHEEL_TEST_JOBS:-2}
versions=()
for version in ${FENDRAL_WHEEL_PYTHONS:-3.8 3.9 3.10 3.11 3.12 3.13}; do
  # The newest patch release of that version, if any.
  python=$(printf '%s\n' "$pythons_root/$version".*/bin/python3 | sort -V | tail -n 1)
  if [[ -z $python || ! -x $python ]]; then
    echo "CPython $version: skipped (not found under $pythons_root)" | tee "$scratch/$version.result"
    continue
  fi
  echo "=== CPython $version: $python ==="
  while (($(jobs -pr | wc -l) >= jobs)); do wait -n || true; done
  test_on "$version" "$python" "$@" &
  versions+=("$version")
done
wait

failed=0
for version in "${versions[@]}"; do
  echo "=== CPython $version ==="
  if grep -q FAILED "$scratch/$version.result"; then
    cat "$scratch/$version.log"
    failed=1
  else
    tail -n 1 "$scratch/$version.log"
  fi
done
echo "=== $(basename "$wheel") ==="
cat "$scratch"/*.result | sort -V
exit "$failed"
