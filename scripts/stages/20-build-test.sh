#!/usr/bin/env bash
# Release build with warnings as errors, then the whole test suite.
set -euo pipefail
# The npm modules of the node tests (skipped with the reason when they cannot be had).
bash "$(dirname "$0")/../install-node-modules.sh"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"
