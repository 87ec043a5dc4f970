#!/usr/bin/env bash
# Builds everything and runs every check: the stages in scripts/stages/, in name order.
# Usage: scripts/test.sh [STAGE-NAME-PATTERN]   (e.g. scripts/test.sh build to run only matching stages)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
pattern=${1:-}
for stage in scripts/stages/*.sh; do
  name=$(basename "$stage" .sh)
  if [ -n "$pattern" ] && [[ "$name" != *"$pattern"* ]]; then continue; fi
  echo "==> $name"
  start=$(date +%s)
  bash "$stage"
  echo "==> $name passed in $(( $(date +%s) - start )) s"
done
echo "all stages passed"
