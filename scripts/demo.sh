#!/usr/bin/env bash
# The main job: builds Skyhelm and runs the bridge (grows into the full demo as components land).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
exec build/bin/skyhelm "$@"
