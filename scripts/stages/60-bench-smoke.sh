#!/usr/bin/env bash
# Bench smoke run: a few hundred samples against the build in build/ (made by the build stage), so
# that the bench cannot rot. Fails only when the bench crashes or measures nothing; never on a
# timing, since this machine may be shared and loaded.
set -euo pipefail
cd "$(dirname "$0")/../.."
bench=${BUILD_DIR:-build}/bin/skyhelm-bench
if [ ! -x "$bench" ]; then
  echo "missing $bench: run the build stage first" >&2
  exit 1
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
timeout 300 "$bench" --smoke --no-progress --json "$out/bench.json" --plot "$out/bench.png"
python3 - "$out/bench.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
counts = {
    "UDP floor samples": r["floor"]["udp_one_way"]["count"],
    "TCP floor samples": r["floor"]["tcp_one_way"]["count"],
    "bare loop passes": r["floor"]["bare_select_loop"]["passes"],
    "command latency samples": r["command_latency"]["count"],
    "freshness samples": r["freshness"]["count"],
    "idle bridge passes": r["idle"]["passes"],
    "peak RSS (KiB)": r["peak_rss_kib"],
    "passes counted for heap allocations": r["heap_allocations"]["passes_first"],
}
empty = [name for name, value in counts.items() if not value or value <= 0]
if empty:
    sys.exit("bench measured nothing for: " + ", ".join(empty))
print("bench smoke ok: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
PY
test -s "$out/bench.png"

# The relay's bench: a few commands per path and short CPU samples; it must measure something.
relay_bench=${BUILD_DIR:-build}/bin/skyhelm-relay-bench
timeout 120 "$relay_bench" --commands 20 --seconds 0.5 | tee "$out/relay.txt"
grep -q "| through the relay's UDP port | [1-9]" "$out/relay.txt"
grep -q "| through the relay's WebSocket | [1-9]" "$out/relay.txt"
grep -q '^| 100 | 100 |' "$out/relay.txt"
