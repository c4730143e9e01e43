#!/usr/bin/env bash
# Builds the metadata reader fuzzer and runs it for SECONDS on a scratch copy of the seed corpus,
# after checking that a value nested ten million levels deep is handled without a crash:
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
mkdir "$work/corpus" "$work/deep"
cp fuzz/corpus/* "$work/corpus/"

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

# The fuzzer reports every new input; keep its log and show only the end unless it fails.
if "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ \
  -dict=fuzz/metadata.dict "$work/corpus" >"$work/fuzz.log" 2>&1; then
  tail -n 8 "$work/fuzz.log"
else
  status=$?
  cat "$work/fuzz.log"
  exit "$status"
fi
