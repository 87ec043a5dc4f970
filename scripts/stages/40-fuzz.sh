#!/usr/bin/env bash
# Bounded fuzzing: builds every libFuzzer target with clang (build-fuzz) and runs each for a few
# seconds from its seed corpus in fuzz/corpus/<target>/. Any crash, sanitizer report, leak or
# violated invariant fails the stage; the input that caused it is kept in build-fuzz/artifacts/.
# FUZZ_SECONDS (default 12) sets the time per target.
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=build-fuzz
seconds=${FUZZ_SECONDS:-12}
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSKYHELM_FUZZ=ON -DSKYHELM_SANITIZE=address,undefined -DSKYHELM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target fuzzers -j "$(nproc)"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build_dir/artifacts"
summary=""
for fuzzer in "$build_dir"/fuzz/*_fuzzer; do
  name=$(basename "$fuzzer")
  seeds=fuzz/corpus/$name
  work=$build_dir/corpus/$name
  mkdir -p "$work" "$seeds"
  log=$build_dir/artifacts/$name.log
  echo "--- $name: ${seconds} s"
  # The first directory collects what the run finds; the seeds in the repository stay untouched.
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$name-" "$work" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz stage FAILED: $name (log $log)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  summary+=$(printf '%-24s %10s runs %8s exec/s  cov %s' "$name" "$runs" "$rate" "${cov:-?}")$'\n'
done
printf '%s' "$summary"
echo "fuzzing clean"
