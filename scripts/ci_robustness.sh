#!/usr/bin/env bash
# CI step: the whole test suite, robustness tests included, against the ASan and UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/sanitize.sh -q "$@"
