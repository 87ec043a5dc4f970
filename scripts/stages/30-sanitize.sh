#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer + UndefinedBehaviorSanitizer (preset asan).
#
# Every process the tests start inherits the options below, so a report in a child (the bridge, the
# stand-in simulator) lands in a file under the report directory even when the test that started
# it never looks at the child's standard error. Any such file, any sanitizer text in the test log,
# or any failing test fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-node-modules.sh

build_dir=build-asan
report_dir=$build_dir/sanitizer-reports
cmake --preset asan >/dev/null
rm -rf "$report_dir"
mkdir -p "$report_dir"
report_path=$(cd "$report_dir" && pwd)

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$report_path/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$report_path/ubsan"

status=0
cmake --build --preset asan -j "$(nproc)" || status=$?
if [ "$status" -eq 0 ]; then
  ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" || status=$?
fi

if compgen -G "$report_path/*" >/dev/null; then
  echo "sanitizer reports:"
  for report in "$report_path"/*; do
    echo "--- $report"
    cat "$report"
  done
  status=1
fi
log=$build_dir/Testing/Temporary/LastTest.log
if [ -f "$log" ] && grep -E -n "runtime error:|AddressSanitizer|LeakSanitizer" "$log"; then
  echo "sanitizer text in the test log ($log)"
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitize stage FAILED"
  exit "$status"
fi
echo "sanitizers clean"
