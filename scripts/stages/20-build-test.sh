#!/usr/bin/env bash
# Release build with warnings as errors, then the whole test suite.
set -euo pipefail
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"
