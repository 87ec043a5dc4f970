#!/usr/bin/env bash
# valgrind memcheck over the bridge's end-to-end runs (the RelWithDebInfo build in build/ that the
# build-and-test stage made): the worked example, commands and oversized datagrams, a killed and a
# garbage-sending simulator, a departed peer, the stop signals. The bridge runs under memcheck and
# each run ends it with SIGTERM, expecting status 0: any invalid access, uninitialised use or
# definite leak makes that 99. (The standard-stream runs time a flood: not under valgrind.)
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ ! -x build/tests/bridge_e2e_test ]; then
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j "$(nproc)" --target skyhelm skyhelm-sim bridge_e2e_test
fi
# An assignment of its own, so that a missing valgrind stops the stage here (set -e).
valgrind=$(command -v valgrind)
export SKYHELM_BRIDGE_WRAPPER="$valgrind --error-exitcode=99 --leak-check=full
  --errors-for-leak-kinds=definite --track-origins=yes --quiet"
timeout 600 build/tests/bridge_e2e_test --gtest_filter='-*StandardStreams*' --gtest_brief=1
