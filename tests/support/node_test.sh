#!/usr/bin/env bash
# Runs a node test whose npm modules scripts/install-node-modules.sh puts beside it; without them
# it says so and exits 77, which ctest counts as skipped (SKIP_RETURN_CODE), never as failed.
# Usage: node_test.sh MODULE SCRIPT [ARGS...]
set -euo pipefail
module=$1 script=$2
shift 2
modules=$(cd "$(dirname "$script")" && pwd)/node_modules
if [ ! -d "$modules/$module" ]; then
  echo "skipped: $module is not installed in $modules (bash scripts/install-node-modules.sh)"
  exit 77
fi
exec node "$script" "$@"
