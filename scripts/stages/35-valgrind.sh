#!/usr/bin/env bash
# valgrind memcheck over an end-to-end run of the bridge (the RelWithDebInfo build in build/ that
# the build-and-test stage made): commands, oversized datagrams, telemetry, SIGTERM. Any invalid
# access, uninitialised use or definite leak fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ ! -x build/bin/skyhelm ] || [ ! -x build/bin/skyhelm-sim ]; then
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j "$(nproc)" --target skyhelm skyhelm-sim
fi
timeout 300 python3 tests/fault/valgrind_bridge.py build/bin
