#!/usr/bin/env bash
# Builds the fuzzers and runs them for SECONDS of fuzzing in all, half each and side by side, on
# scratch copies of their seed corpora, after checking that a metadata value nested ten million
# levels deep is handled without a crash:
#
#   bash fuzz/run.sh 60
#
# Exits non-zero on any crash, leak, timeout or violated property.
set -euo pipefail
readonly seconds=${1:?usage: bash fuzz/run.sh SECONDS}
cd "$(dirname "$0")/.."

bash fuzz/build.sh
readonly fuzzer=build/fuzz/metadata_reader_fuzzer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/deep"
cp -r fuzz/corpus "$work/corpus"

# Ten million nested arrays in the value of an extra key: once closed, once cut off.
python3 - "$work/deep" <<'PY'
import sys
depth = 10_000_000
members = ('"original_file": "a", "output_prefix": "p", "chunk_count": 1, '
           '"chunk_paths": ["c"], "split_type": "time", "split_value": "1s"')
with open(f"{sys.argv[1]}/closed.json", "w") as out:
    out.write('{"deep": ' + "[" * depth + "]" * depth + ", " + members + "}")
with open(f"{sys.argv[1]}/open.json", "w") as out:
    out.write('{"deep": ' + "[" * depth)
PY
"$fuzzer" -rss_limit_mb=4096 "$work/deep/closed.json" "$work/deep/open.json"

# A fuzzer reports every new input; keep its log and show only the end unless it fails. The two
# run at once, one a core.
fuzz() {
  local name=$1
  "build/fuzz/${name}_reader_fuzzer" -max_total_time="$(((seconds + 1) / 2))" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
    -dict="fuzz/$name.dict" "$work/corpus/$name" >"$work/$name.log" 2>&1
}
declare -A runs=()
for name in metadata movie; do
  echo "fuzzing the $name reader" >&2
  fuzz "$name" &
  runs[$name]=$!
done
failed=0
for name in metadata movie; do
  status=0
  wait "${runs[$name]}" || status=$?
  echo "--- the $name reader" >&2
  if ((status == 0)); then
    tail -n 8 "$work/$name.log"
  else
    cat "$work/$name.log"
    failed=$status
  fi
done
exit "$failed"
