#!/usr/bin/env bash
# Builds everything and runs every check: the stages in scripts/stages/, in name order.
# Usage: scripts/test.sh [STAGE-NAME-PATTERN]   (e.g. scripts/test.sh build to run only matching stages)
set -euo pipefail
cd "$(dirname "$0")/.."
pattern=${1:-}
stages=()
for stage in scripts/stages/*.sh; do
  name=$(basename "$stage" .sh)
  if [ -n "$pattern" ] && [[ "$name" != *"$pattern"* ]]; then continue; fi
  stages+=("$stage")
done
if [ ${#stages[@]} -eq 0 ]; then
  echo "test.sh: no stage matches \"$pattern\"; the stages are:" >&2
  for stage in scripts/stages/*.sh; do echo "  $(basename "$stage" .sh)" >&2; done
  exit 2
fi
bash scripts/install-deps.sh
for stage in "${stages[@]}"; do
  name=$(basename "$stage" .sh)
  echo "==> $name"
  start=$(date +%s)
  bash "$stage"
  echo "==> $name passed in $(( $(date +%s) - start )) s"
done
if [ -n "$pattern" ]; then
  echo "all ${#stages[@]} stage(s) matching \"$pattern\" passed"
else
  echo "all stages passed"
fi
