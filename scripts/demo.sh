#!/usr/bin/env bash
# The one-command demo: installs what is missing, builds, starts the stand-in simulator and the
# bridge (which listens on all interfaces; every demo peer talks to it over 127.0.0.1), and shows
# the bridge's telemetry live with skyhelm-peer.
#
# Usage: bash scripts/demo.sh [MODE] [--port N] [--time-scale X] [--bin-dir DIR] [--listen ADDR]
#   (no mode)        live view in this terminal (skyhelm-peer watch); type h270 Enter to turn,
#                    q or Ctrl-C stops the view, the bridge and the simulator
#   --serve          simulator and bridge only; use build/bin/skyhelm-peer from another terminal,
#                    Ctrl-C stops both
#   --check          non-interactive run that ends by itself: reads lines, sends h270, checks that
#                    the simulator received it and that the line shows it; exit 0 on success
#   --web            simulator, bridge and skyhelm-relay: prints the URL of the autopilot panel
#                    to open in a browser (this machine only); Ctrl-C stops all three
#   --listen ADDR    with --web: the relay serves ADDR instead (0.0.0.0: every interface, for a
#                    phone or tablet on this network); it prints one address per interface with
#                    a generated token in it, and a warning about the ports left open
#   --flight FILE    flies a short scripted flight (a turn and a climb), records it to FILE.csv
#                    (the recorder sends the commands, so the recording has no holes) and, with
#                    gnuplot, draws FILE.png against simulation time with the commands marked
#   --port N         the bridge's UDP port, which must be free (default 47001, or a free one if
#                    that is taken); the bridge listens on all interfaces, the tools use 127.0.0.1
#   --time-scale X   simulated seconds per real second (default 1; --flight uses 4)
#   --bin-dir DIR    use the programs already built in DIR instead of installing and building
# Without a terminal on standard input and output and without a mode, --check is chosen.
# Logs of the simulator and the bridge go to a temporary folder, printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=""
port=""
time_scale=""
build=1
bin=$root/build/bin
flight_out=""
listen=""
while [ $# -gt 0 ]; do
  case "$1" in
    --serve | --check | --web) mode=${1#--} ;;
    --flight) mode=flight; flight_out=${2:?--flight needs a file name}; shift ;;
    --port) port=${2:?--port needs a number}; shift ;;
    --time-scale) time_scale=${2:?--time-scale needs a number}; shift ;;
    --bin-dir) bin=$(cd "${2:?--bin-dir needs a folder}" && pwd); build=0; shift ;;
    --listen) listen=${2:?--listen needs an address}; shift ;;
    -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$mode" ]; then
  if [ -t 0 ] && [ -t 1 ]; then mode=watch; else mode=check; fi
fi
if [ -n "$listen" ] && [ "$mode" != web ]; then
  echo "demo: --listen goes with --web" >&2
  exit 2
fi
if [ -z "$time_scale" ]; then
  if [ "$mode" = flight ]; then time_scale=4; else time_scale=1; fi
fi

say() { echo "demo: $*"; }
fail() {
  echo "demo: FAILED: $*" >&2
  for log in "$logs"/*.log; do
    [ -f "$log" ] && { echo "--- last lines of $log" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}

if [ "$build" = 1 ]; then
  bash scripts/install-deps.sh
  say "building (cmake --preset default; cmake --build --preset default; the first time takes a minute or two)"
  cmake --preset default >/dev/null
  # Progress only: the targets as they complete; the whole output when the build fails.
  build_log=$(mktemp "${TMPDIR:-/tmp}/skyhelm-build.XXXXXX")
  if ! cmake --build --preset default -j "$(nproc)" --target skyhelm skyhelm-sim skyhelm-peer skyhelm-relay 2>&1 |
    tee "$build_log" | { grep --line-buffered -E '^\[ *[0-9]+%\] Built target' || true; } |
    sed -u 's/^/demo:   /'; then
    tail -n 40 "$build_log" >&2
    echo "demo: FAILED: the build failed (whole output in $build_log)" >&2
    exit 1
  fi
  rm -f "$build_log"
fi
peer=$bin/skyhelm-peer

logs=$(mktemp -d "${TMPDIR:-/tmp}/skyhelm-demo.XXXXXX")
pids=()
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ ${#pids[@]} -gt 0 ]; then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    # The simulator ends on SIGTERM at its next poll; the bridge at once. KILL what lingers.
    for _ in $(seq 50); do
      kill -0 "${pids[@]}" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
  fi
  say "stopped; logs in $logs"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# True when some local UDP socket (IPv4 or IPv6) is bound to the port.
udp_port_taken() {
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex" /proc/net/udp /proc/net/udp6 2>/dev/null
}

pick_port() {
  if [ -n "$port" ]; then
    # A bridge whose port is taken still prints Running... and answers nobody; a second bridge
    # would even be answered by the first one's simulator.
    udp_port_taken "$port" && fail "UDP port $port is already in use (another bridge?); choose another --port"
    echo "$port"
    return
  fi
  if [ "$mode" != check ] && ! udp_port_taken 47001; then echo 47001; return; fi
  local candidate
  for _ in $(seq 100); do
    candidate=$((49152 + RANDOM % 16000))
    udp_port_taken "$candidate" || { echo "$candidate"; return; }
  done
  fail "no free UDP port found"
}

# Waits up to $2 seconds for the file $1 to contain the text $3.
wait_for_text() {
  for _ in $(seq $(($2 * 10))); do
    grep -q -- "$3" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

start_simulator() {
  "$bin/skyhelm-sim" --port 0 --time-scale "$time_scale" >"$logs/sim.log" 2>&1 &
  pids+=($!)
  wait_for_text "$logs/sim.log" 10 "listening on 127.0.0.1:" || fail "the simulator did not start"
  sim_address=$(head -n 1 "$logs/sim.log" | sed 's/^listening on //')
  say "simulator listening on $sim_address (in the air at 3000 ft, 120 kt, heading 090)"
}

start_bridge() {
  bridge_port=$(pick_port)
  SKYHELM_SIM_ADDRESS=$sim_address "$bin/skyhelm" "$bridge_port" >"$logs/bridge.log" 2>&1 &
  pids+=($!)
  wait_for_text "$logs/bridge.log" 10 "Running..." || fail "the bridge did not start"
  bridge=127.0.0.1:$bridge_port
  say "bridge on UDP port $bridge_port of all interfaces (0.0.0.0: any host that reaches this"
  say "  machine can command it), connected to the simulator; the tools use $bridge"
}

run_check() {
  say "one line, decoded (skyhelm-peer line):"
  "$peer" line --to "$bridge" --timeout 5 || fail "no telemetry line from the bridge"
  say "three seconds of the live view without a terminal (skyhelm-peer watch):"
  "$peer" watch --to "$bridge" --seconds 3 --timeout 5 || fail "watch failed"
  say "turning to 270 (skyhelm-peer send h270):"
  "$peer" send h270 --to "$bridge" --timeout 5 || fail "send failed"
  say "(send prints the newest line after listening for half a second: the effect shows once the"
  say " simulator has acted on the event; send --confirm waits for it)"
  wait_for_text "$logs/sim.log" 10 "HEADING_BUG_SET 270" ||
    fail "the simulator did not receive the heading event"
  say "the simulator received: $(grep -m1 'HEADING_BUG_SET 270' "$logs/sim.log")"
  for _ in $(seq 50); do
    if "$peer" line --to "$bridge" --timeout 5 | grep -q 'heading_bug=270 '; then
      say "the line now shows heading_bug=270"
      say "check passed"
      return 0
    fi
    sleep 0.1
  done
  fail "the line never showed heading_bug=270"
}

# A short flight for the picture: east, then heading hold round a box to the south and west,
# climbing from 3000 to 4500 ft on the way. Times are real seconds from the start.
# The recorder sends the commands itself (record --commands), so it stays the bridge's one peer and
# the recording has no holes.
run_flight() {
  local csv=$flight_out.csv png=$flight_out.png
  say "recording 80 s at time scale $time_scale to $csv (commands follow in between)"
  mkfifo "$logs/commands"
  "$peer" record --to "$bridge" --out "$csv" --seconds 80 --timeout 5 --commands \
    <"$logs/commands" &
  local recorder=$!
  pids+=("$recorder")
  exec 3>"$logs/commands"
  local at=0 marks=""
  fly() {  # fly SECONDS COMMAND...: at that time, send the commands
    sleep $(($1 - at))
    at=$1
    shift
    say "t=${at}s: $*"
    printf '%s\n' "$@" >&3
    marks+="$at $(IFS=,; echo "$*") "
  }
  fly 10 E H h180
  fly 25 l4500 v1000 V
  fly 35 h270
  fly 50 h360
  wait "$recorder" || fail "the recording failed"
  exec 3>&-
  if command -v gnuplot >/dev/null; then
    gnuplot -e "in='$csv'; out='$png'; scale=$time_scale; marks='$marks'" scripts/plot_flight.gp
    say "drew $png (time axis in simulation seconds: $time_scale x real time)"
  fi
}

# The relay for --web, on its usual ports unless they are taken.
run_web() {
  local http=8047 udp=47002
  grep -q "$(printf ':%04X 00000000:0000 0A' "$http")" /proc/net/tcp 2>/dev/null && http=0
  udp_port_taken "$udp" && udp=0
  "$bin/skyhelm-relay" --bridge "$bridge" --http-port "$http" --udp-port "$udp" \
    ${listen:+--listen "$listen"} >"$logs/relay.log" 2>&1 &
  pids+=($!)
  wait_for_text "$logs/relay.log" 10 "^panel http" || fail "the relay did not start"
  if [ -n "$listen" ]; then
    wait_for_text "$logs/relay.log" 10 "relay: warning" || fail "the relay did not start"
  fi
  say "relay: $(head -n 1 "$logs/relay.log")"
  say "open the panel: $(grep -m1 '^panel http' "$logs/relay.log" | sed 's/^panel //')"
  if grep -q '#token=' "$logs/relay.log"; then
    say "from a phone or tablet on this network, one of:"
    grep '#token=' "$logs/relay.log" | sed 's/^panel /demo:   /'
    grep '^relay: warning' "$logs/relay.log" | sed 's/^relay: /demo: /'
  fi
  say "UDP peers can use it too: build/bin/skyhelm-peer watch --to $(head -n 1 "$logs/relay.log" | awk '{print $3}' | sed 's/^0\.0\.0\.0:/127.0.0.1:/')"
  say "Ctrl-C stops the relay, the bridge and the simulator"
  wait "${pids[@]}" || true
}

start_simulator
start_bridge
case "$mode" in
  web) run_web ;;
  check) run_check ;;
  flight) run_flight ;;
  serve)
    to=""
    [ "$bridge_port" = 47001 ] || to=" --to $bridge"
    say "try, from another terminal:"
    say "  build/bin/skyhelm-peer line$to"
    say "  build/bin/skyhelm-peer send h270$to"
    say "  build/bin/skyhelm-peer watch$to"
    say "  build/bin/skyhelm-peer record$to --out flight.csv --seconds 60"
    say "Ctrl-C stops the bridge and the simulator"
    wait "${pids[@]}" || true
    ;;
  watch) "$peer" watch --to "$bridge" --timeout 5 || true ;;
esac
