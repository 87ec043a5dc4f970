#!/usr/bin/env bash
# Installs puppeteer-core from the committed lock (no browser download) into WORK_DIR and runs the
# panel test against the binaries in BIN_DIR with Debian's chromium.
# Usage: run_panel_test.sh BIN_DIR WORK_DIR [SCREENSHOT.png]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin_dir=$1 work_dir=$2 screenshot=${3:-}
if [ ! -x /usr/bin/chromium ]; then
  echo "chromium is missing: bash scripts/install-deps.sh installs it" >&2
  exit 1
fi
mkdir -p "$work_dir"
# npm ci again only when the lock changed.
if ! cmp -s "$here/package-lock.json" "$work_dir/package-lock.json" || [ ! -d "$work_dir/node_modules" ]; then
  cp "$here/package.json" "$here/package-lock.json" "$work_dir/"
  (cd "$work_dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
cp "$here/panel_test.js" "$work_dir/"
# The test reads the frame schemas and the example client from the source tree.
export SKYHELM_SOURCE_DIR="$here/../.."
exec node "$work_dir/panel_test.js" "$bin_dir" $screenshot
