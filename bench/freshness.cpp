// Telemetry freshness.
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bridge_bench.h"
#include "bench/clock.h"
#include "bench/frame_relay.h"
#include "bench/progress.h"
#include "bench/rig.h"

namespace skyhelm::bench {
namespace {

constexpr std::int64_t kPollNs = 50000000;

// The line's second value ("Plane Altitude"), where the relay puts the frame number; -1 when the
// datagram is no telemetry line.
std::int64_t FrameNumber(std::string_view line) {
  const std::size_t first = line.find(',');
  if (first == std::string_view::npos || line.substr(0, first) != "v1.2") return -1;
  const std::size_t second = line.find(',', first + 1);
  if (second == std::string_view::npos) return -1;
  std::int64_t number = 0;
  for (std::size_t i = second + 1; i < line.size() && line[i] != ','; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    number = number * 10 + (line[i] - '0');
  }
  return number;
}

// Runs on the peer's reader thread only; the main thread reads `seen` and, after the peer has
// stopped, everything else.
struct FrameWatcher {
  const FrameRelay* relay = nullptr;
  // Frames stamped before the peer was known are left out; nothing counts until it is set.
  std::atomic<std::int64_t> start_ns{INT64_MAX};
  std::vector<bool> first_seen;
  std::vector<std::int64_t> latencies_ns;
  std::int64_t lowest = -1;
  std::int64_t highest = -1;
  std::atomic<std::size_t> seen{0};

  void OnLine(std::string_view line, std::int64_t received_ns) {
    const std::int64_t number = FrameNumber(line);
    if (number < 1 || static_cast<std::size_t>(number) >= first_seen.size()) return;
    if (first_seen[static_cast<std::size_t>(number)]) return;
    const std::int64_t stamp_ns = relay->StampNs(number);
    if (stamp_ns < start_ns.load(std::memory_order_relaxed)) return;
    first_seen[static_cast<std::size_t>(number)] = true;
    latencies_ns.push_back(received_ns - stamp_ns);
    if (lowest < 0) lowest = number;
    highest = number;
    seen.store(latencies_ns.size(), std::memory_order_relaxed);
  }
};

}  // namespace

void MeasureFreshness(const BridgeBenchOptions& options, BenchResults& results) {
  const double expected_s = static_cast<double>(options.frames) / options.frame_rate_hz;
  const auto max_frames = static_cast<std::size_t>((3 * expected_s + 10) * options.frame_rate_hz);
  FrameRelay relay(max_frames);
  SimHost simulator;
  std::string error;
  if (!simulator.Start(options.frame_rate_hz, nullptr, error) || !relay.Start(simulator.port())) {
    results.notes.push_back("freshness not measured: the simulator or the relay did not start");
    return;
  }
  FrameWatcher watcher;
  watcher.relay = &relay;
  watcher.first_seen.assign(max_frames + 1, false);
  watcher.latencies_ns.reserve(options.frames + 16);
  BridgeUnderTest bridge;
  const auto on_line = [&watcher](std::string_view line, std::int64_t ns) {
    watcher.OnLine(line, ns);
  };
  if (!StartWithPeer(options.bridge_path, relay.port(), {}, on_line, bridge, results.notes)) return;
  watcher.start_ns.store(NowNs());
  {
    Progress progress("telemetry freshness", options.frames, options.progress);
    const std::int64_t deadline_ns =
        NowNs() + static_cast<std::int64_t>((3 * expected_s + 10) * 1e9);
    while (watcher.seen.load() < options.frames && NowNs() < deadline_ns) {
      SleepNs(kPollNs);
      progress.Update(watcher.seen.load());
    }
  }
  bridge.peer.StopReading();
  results.frame_rate_hz = options.frame_rate_hz;
  results.freshness.samples_ns = std::move(watcher.latencies_ns);
  results.freshness.summary = Summarize(results.freshness.samples_ns);
  if (watcher.highest >= watcher.lowest && watcher.lowest > 0) {
    results.frames_lost = static_cast<std::uint64_t>(watcher.highest - watcher.lowest + 1) -
                          results.freshness.samples_ns.size();
  }
}

}  // namespace skyhelm::bench
