#!/usr/bin/env bash
# Installs the test suites' npm modules from their committed locks (npm ci) into
# tests/interop/node_modules and tests/browser/node_modules; again only when a lock changed.
# Offline, or without npm, it says so and succeeds: ctest then skips the tests that need them.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v npm >/dev/null; then
  echo "install-node-modules: npm is missing; the interop and browser tests will be skipped" >&2
  exit 0
fi
for dir in "$root/tests/interop" "$root/tests/browser"; do
  stamp=$dir/node_modules/.skyhelm-lock
  if cmp -s "$dir/package-lock.json" "$stamp"; then continue; fi
  echo "install-node-modules: npm ci in ${dir#"$root"/}"
  # puppeteer-core drives Debian's chromium: no browser download, no install scripts.
  if (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund \
        --loglevel=error); then
    cp "$dir/package-lock.json" "$stamp"
  else
    echo "install-node-modules: npm ci failed in ${dir#"$root"/} (offline?); its tests will be" \
         "skipped" >&2
  fi
done
exit 0
