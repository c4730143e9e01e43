#!/usr/bin/env bash
# Runs the test suite against the aarch64 release wheel that scripts/release_wheels.sh left in
# wheelhouse/, on an x86_64 Linux machine, under user-mode emulation (qemu-user-static):
#
#   bash scripts/test_aarch64_wheel.sh [pytest arguments]
#   bash scripts/test_aarch64_wheel.sh --root-only    # only build the arm64 root, no wheel needed
#
# Needs root and the packages qemu-user-static, binfmt-support and debootstrap. The arm64
# Debian 12 root (python3, python3-venv) is built once from the Debian mirror apt uses (about
# five minutes) and kept in FENDRAL_ARM64_ROOT (default /var/cache/fendral-arm64-root); a root
# left incomplete by an interrupted build is built again. ffmpeg and ffprobe are not ours to
# test: the suite runs this machine's own, natively, from inside the root (emulated, each start
# alone took 0.75 s, and x264 ran eight times slower). pip inside the root cannot reach
# the package index, so the test extra's aarch64 wheels are downloaded here and installed there
# from a local directory. The suite runs from a scratch directory, so it imports the installed
# wheel, never the checkout, which is visible read-only.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly repo=$PWD
readonly root=${FENDRAL_ARM64_ROOT:-/var/cache/fendral-arm64-root}
# Written last, so its presence means the root was built to the end.
readonly root_complete=$root/.fendral-root-complete
readonly release=bookworm python_version=3.11
# The root is deleted and rebuilt when incomplete, so it must not be / or a relative path.
[[ $root == /?* ]] || { echo "FENDRAL_ARM64_ROOT must be an absolute path other than /" >&2; exit 2; }
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

# CI builds the root in the background while the wheels are built and tested natively.
root_only=false
if [[ ${1:-} == --root-only ]]; then
  root_only=true
  shift
else
  shopt -s nullglob
  wheels=(wheelhouse/fendral-*-cp38-abi3-*aarch64.whl)
  if ((${#wheels[@]} != 1)); then
    echo "expected one aarch64 wheel in wheelhouse/, found ${#wheels[@]}:" \
      "run scripts/release_wheels.sh aarch64" >&2
    exit 1
  fi
  readonly wheel=$repo/${wheels[0]}
  shopt -u nullglob
fi

((EUID == 0)) || { echo "this script needs root (chroot, mount, binfmt_misc)" >&2; exit 1; }
for tool in qemu-aarch64-static update-binfmts debootstrap unshare; do
  command -v "$tool" >/dev/null ||
    { echo "$tool not found: install qemu-user-static, binfmt-support and debootstrap" >&2; exit 1; }
done

echo "=== emulation of aarch64 binaries ==="
binfmt=/proc/sys/fs/binfmt_misc
[[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
grep -qx enabled "$binfmt/qemu-aarch64" 2>/dev/null || update-binfmts --enable qemu-aarch64
grep -E '^(enabled|interpreter|flags)' "$binfmt/qemu-aarch64"

# The Debian mirror this machine's apt is configured with: the first URI of an enabled `deb`
# entry whose path ends in /debian (the archive itself, not debian-security), from apt's source
# list and its parts directory, in either format (one-line .list, deb822 .sources). Prints
# nothing when there is none.
debian_mirror() {
  local list= parts= file files=()
  command -v apt-config >/dev/null || return 0
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  for file in "$list" "$parts"/*.list "$parts"/*.sources; do
    if [[ -n $file && -f $file ]]; then files+=("$file"); fi
  done
  ((${#files[@]})) || return 0
  awk '
    function consider(uri) {
      sub(/\/+$/, "", uri)
      if (!found && uri ~ /^https?:\/\/[^ ]*\/debian$/) { print uri; found = 1 }
    }
    function end_stanza(   count, i, uri_list) {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no") {
        count = split(uris, uri_list, /[ \t]+/)
        for (i = 1; i <= count; i++) consider(uri_list[i])
      }
      types = uris = enabled = last = ""
    }
    FNR == 1 { end_stanza() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*$/) { end_stanza(); next }
      if ($0 ~ /^#/) next
      if ($0 ~ /^[ \t]/) { if (last == "uris:") uris = uris " " $0; next }
      last = tolower($0)
      sub(/:.*/, ":", last)
      value = $0
      sub(/^[^:]*:[ \t]*/, "", value)
      if (last == "types:") types = value
      else if (last == "uris:") uris = value
      else if (last == "enabled:") enabled = tolower(value)
      next
    }
    $1 == "deb" {
      entry = $0
      sub(/^[ \t]*deb[ \t]+/, "", entry)
      sub(/^\[[^]]*\][ \t]*/, "", entry)
      split(entry, fields, /[ \t]+/)
      consider(fields[1])
    }
    END { end_stanza() }
  ' "${files[@]}"
}

# Runs a command inside the root with /proc and /dev mounted; the mounts live in a private mount
# namespace, so they disappear with the command whatever way it ends.
in_root() {  # COMMAND...
  unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/dev/shm"
    if [[ -n ${FENDRAL_CHECKOUT:-} ]]; then
      mkdir -p "$root/mnt/fendral"
      mount --bind "$FENDRAL_CHECKOUT" "$root/mnt/fendral"
      mount -o remount,bind,ro "$root/mnt/fendral"
    fi
    if [[ -n ${FENDRAL_HOST_FFMPEG:-} ]]; then
      # x86_64 programs run natively (binfmt_misc only hands aarch64 ones to the emulator); the
      # two architectures'"'"' libraries live in directories of their own, so the host'"'"'s join the
      # root'"'"'s, with the loader and the alternatives that point into them.
      mount --bind /usr/lib/x86_64-linux-gnu "$root/usr/lib/x86_64-linux-gnu"
      mount --bind "$(readlink -f /lib64)" "$root/usr/lib64"
      mount -t tmpfs tmpfs "$root/usr/local/bin"
      cp /usr/bin/ffmpeg /usr/bin/ffprobe "$root/usr/local/bin/"
      alternatives=$(mktemp -d)
      mount -t tmpfs tmpfs "$alternatives"
      cp -a "$root/etc/alternatives/." "$alternatives/"
      cp -a /etc/alternatives/*-x86_64-linux-gnu "$alternatives/" 2>/dev/null || true
      mount --bind "$alternatives" "$root/etc/alternatives"
    fi
    exec chroot "$root" env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LANG=C.UTF-8 "$@"
  ' in_root "$root" "$@"
}

# What in_root needs to run this machine's ffmpeg and ffprobe inside the root: places to mount
# the host's libraries on, and the x86_64 loader's path.
prepare_host_ffmpeg() {
  for tool in ffmpeg ffprobe; do
    [[ -x /usr/bin/$tool && -d /usr/lib/x86_64-linux-gnu && -e /lib64/ld-linux-x86-64.so.2 ]] ||
      { echo "the suite runs this machine's /usr/bin/$tool (Debian's layout): install ffmpeg" >&2; exit 1; }
  done
  mkdir -p "$root/usr/lib/x86_64-linux-gnu" "$root/usr/lib64" "$root/usr/local/bin"
  [[ -e $root/lib64 || -L $root/lib64 ]] || ln -s usr/lib64 "$root/lib64"
  export FENDRAL_HOST_FFMPEG=1
}

if [[ ! -e $root_complete ]]; then
  mirror=$(debian_mirror)
  if [[ -z $mirror ]]; then
    echo "no Debian mirror found in this machine's apt sources (an enabled deb entry whose URI" \
      "ends in /debian, in /etc/apt/sources.list or /etc/apt/sources.list.d/): add one to" \
      "build the arm64 root from" >&2
    exit 1
  fi
  echo "=== building the arm64 Debian root in $root from $mirror ==="
  rm -rf "$root"
  mkdir -p "$root"
  start=$SECONDS
  debootstrap --arch=arm64 --variant=minbase --foreign "$release" "$root" "$mirror"
  echo "first stage in $((SECONDS - start)) s"
  in_root /debootstrap/debootstrap --second-stage
  echo "second stage done at $((SECONDS - start)) s"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  in_root apt-get update -qq
  in_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends python3 python3-venv >/dev/null
  in_root apt-get clean
  touch "$root_complete"
  echo "root built in $((SECONDS - start)) s"
fi
$root_only && exit 0

scratch=$(mktemp -d "$root/tmp/fendral-aarch64.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
inside=/tmp/$(basename "$scratch")

echo "=== test extra's aarch64 wheels for CPython $python_version ==="
# The wheel's own platform tags let pip accept it for the target; pip then fetches its test
# extra for that target.
wheel_tags=$(basename "$wheel" .whl)
wheel_tags=${wheel_tags##*-}
platforms=(--platform manylinux2014_aarch64)
for tag in ${wheel_tags//./ }; do platforms+=(--platform "$tag"); done
python3 -m pip download --quiet --only-binary=:all: "${platforms[@]}" \
  --python-version "$python_version" --implementation cp -d "$scratch/wheels" "$wheel[test]"
ls "$scratch/wheels"

echo "=== installing $(basename "$wheel") in the arm64 root ==="
in_root python3 -m venv "$inside/venv"
in_root "$inside/venv/bin/python" -m pip install --quiet --no-index --find-links "$inside/wheels" \
  "$inside/wheels/$(basename "$wheel")[test]"
mkdir "$scratch/run"
# Both modules of the wheel, from the venv: the place they share lies inside it.
location=$(in_root "$inside/venv/bin/python" -c 'import os, fendral, fendral_stream as s
print(os.path.commonpath([fendral.__file__, s.__file__]))')
[[ $location == "$inside/venv"/* ]] || { echo "fendral and fendral_stream imported from $location, not from the venv" >&2; exit 1; }
in_root "$inside/venv/bin/python" -c 'import platform; print("machine:", platform.machine())'
prepare_host_ffmpeg
in_root ffmpeg -hide_banner -version | head -n 1

echo "=== the test suite on aarch64 ==="
# User-mode emulation turns the spawn's vfork into a fork of the whole emulator, and with several
# threads busy in emulated code that forked child can deadlock inside the emulator before it
# reaches exec (seen: a child still named python, both its threads waiting on futexes, minutes
# later). The eight-thread stress test spawns hundreds of times from busy threads and hit it
# within a minute, so it is left to the native runs; the other tests that spawn beside a thread
# have not hit it in thousands of spawns.
emulator_hazard=tests/test_threads.py::test_eight_threads_at_once
echo "deselected, since a fork can deadlock inside the emulator: $emulator_hazard"
start=$SECONDS
# ffmpeg must never wait for an answer on a terminal it does not have.
FENDRAL_CHECKOUT=$repo in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$inside/run" \
  env PYTHONDONTWRITEBYTECODE=1 ${FENDRAL_THREAD_SECONDS:+FENDRAL_THREAD_SECONDS=$FENDRAL_THREAD_SECONDS} \
  ${FENDRAL_LEAK_ITERATIONS:+FENDRAL_LEAK_ITERATIONS=$FENDRAL_LEAK_ITERATIONS} \
  "$inside/venv/bin/python" -m pytest -p no:cacheprovider -q --rootdir /mnt/fendral \
  --deselect "$emulator_hazard" "$@" /mnt/fendral/tests </dev/null
echo "suite ran in $((SECONDS - start)) s under emulation"
