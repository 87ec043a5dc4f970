#!/usr/bin/env bash
# Runs the panel test against the binaries in BIN_DIR with Debian's chromium, driven by
# puppeteer-core from tests/browser/node_modules (scripts/install-node-modules.sh installs it from
# the committed lock, without a browser download). Without it: exit 77, which ctest counts as
# skipped.
# Usage: run_panel_test.sh BIN_DIR [SCREENSHOT.png]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin_dir=$1 screenshot=${2:-}
if [ ! -x /usr/bin/chromium ]; then
  echo "chromium is missing: bash scripts/install-deps.sh installs it" >&2
  exit 1
fi
# The test reads the frame schemas and the example client from the source tree.
export SKYHELM_SOURCE_DIR="$here/../.."
exec bash "$here/../support/node_test.sh" puppeteer-core "$here/panel_test.js" "$bin_dir" \
  $screenshot
