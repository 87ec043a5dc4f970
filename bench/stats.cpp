// Statistics over latency samples, and the targets a bench run is held against.
#include <algorithm>
#include <cmath>
#include <limits>

#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

double ToMicros(std::int64_t ns) { return static_cast<double>(ns) / 1000.0; }

std::string Text(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

TargetVerdict AtMost(std::string name, double measured, double limit, const char* format,
                     bool judged) {
  return {std::move(name), Text(format, measured), Text(format, limit), judged, measured <= limit};
}

}  // namespace

std::int64_t NearestRank(const std::vector<std::int64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double clamped = std::clamp(q, 0.0, 1.0);
  const double n = static_cast<double>(sorted.size());
  // Rank ceil(q * n), 1-based; q = 0 means the smallest sample.
  auto rank = static_cast<std::size_t>(std::ceil(clamped * n - 1e-9));
  if (rank == 0) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

LatencySummary Summarize(std::vector<std::int64_t> samples_ns) {
  LatencySummary summary;
  if (samples_ns.empty()) return summary;
  std::sort(samples_ns.begin(), samples_ns.end());
  double total = 0;
  for (std::int64_t sample : samples_ns) total += static_cast<double>(sample);
  summary.count = samples_ns.size();
  summary.min_us = ToMicros(samples_ns.front());
  summary.mean_us = total / static_cast<double>(samples_ns.size()) / 1000.0;
  summary.p50_us = ToMicros(NearestRank(samples_ns, 0.50));
  summary.p99_us = ToMicros(NearestRank(samples_ns, 0.99));
  summary.p999_us = ToMicros(NearestRank(samples_ns, 0.999));
  summary.max_us = ToMicros(samples_ns.back());
  return summary;
}

double RatioToFloor(double value, double floor) {
  if (!(floor > 0)) return std::numeric_limits<double>::quiet_NaN();
  return value / floor;
}

std::vector<TargetVerdict> JudgeTargets(const BenchResults& r) {
  const LatencySummary& udp = r.udp_floor.summary;
  const LatencySummary& tcp = r.tcp_floor.summary;
  const bool floors = udp.count > 0 && tcp.count > 0;
  const bool commands = floors && r.command.summary.count > 0;
  const bool freshness = floors && r.freshness.summary.count > 0 && r.idle.passes > 0;
  const bool idle = r.idle.passes > 0 && r.bare_loop.passes > 0;
  const double min_rate = 0.9 * r.bare_loop.PassesPerSecond();
  const double rss = static_cast<double>(r.peak_rss_kib);
  return {
      AtMost("command p50 <= UDP p50 + TCP p50 + 20 us", r.command.summary.p50_us,
             udp.p50_us + tcp.p50_us + 20.0, "%.1f us", commands),
      AtMost("command p99 <= 1.5 x (UDP p99 + TCP p99)", r.command.summary.p99_us,
             1.5 * (udp.p99_us + tcp.p99_us), "%.1f us", commands),
      AtMost("freshness p99 <= pass period + TCP p99 + UDP p99", r.freshness.summary.p99_us,
             r.IdlePassUs() + udp.p99_us + tcp.p99_us, "%.1f us", freshness),
      {"idle passes/s >= 90% of the bare select loop", Text("%.0f /s", r.idle.PassesPerSecond()),
       Text(">= %.0f /s", min_rate), idle, r.idle.PassesPerSecond() >= min_rate},
      AtMost("idle CPU per pass <= 1.2 x the bare select loop", r.idle.CpuNsPerPass() / 1000.0,
             1.2 * r.bare_loop.CpuNsPerPass() / 1000.0, "%.2f us", idle),
      AtMost("heap allocations per pass = 0", r.allocations.PerPass(), 0.0, "%.4f",
             r.allocations.measured),
      {"peak RSS < 4 MiB", Text("%.0f KiB", rss), Text("< %.0f KiB", 4096.0), r.peak_rss_kib >= 0,
       rss < 4096},
  };
}

}  // namespace skyhelm::bench
