// The targets a bench run is held against.
#include "bench/results.h"

#include <cstdio>

namespace skyhelm::bench {
namespace {

constexpr double kCommandP50SlackUs = 20.0;
constexpr double kCommandP99FloorFactor = 1.5;
constexpr double kIdlePassRateShare = 0.9;
constexpr double kIdleCpuFactor = 1.2;
constexpr double kPeakRssLimitKib = 4 * 1024;

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

double AllocationFigures::PerPass() const {
  const std::uint64_t passes = passes_first + passes_second;
  if (passes == 0) return 0;
  return static_cast<double>(allocations_first + allocations_second) / static_cast<double>(passes);
}

std::vector<TargetVerdict> JudgeTargets(const BenchResults& r) {
  const LatencySummary& udp = r.udp_floor.summary;
  const LatencySummary& tcp = r.tcp_floor.summary;
  const bool floors = udp.count > 0 && tcp.count > 0;
  const bool commands = floors && r.command.summary.count > 0;
  const bool freshness = floors && r.freshness.summary.count > 0 && r.idle.passes > 0;
  const bool idle = r.idle.passes > 0 && r.bare_loop.passes > 0;
  const double pass_period_us = r.idle.passes > 0 ? 1e6 / r.idle.PassesPerSecond() : 0;

  std::vector<TargetVerdict> verdicts;
  verdicts.push_back(AtMost("command p50 <= UDP p50 + TCP p50 + 20 us", r.command.summary.p50_us,
                            udp.p50_us + tcp.p50_us + kCommandP50SlackUs, "%.1f us", commands));
  verdicts.push_back(AtMost("command p99 <= 1.5 x (UDP p99 + TCP p99)", r.command.summary.p99_us,
                            kCommandP99FloorFactor * (udp.p99_us + tcp.p99_us), "%.1f us",
                            commands));
  verdicts.push_back(AtMost("freshness p99 <= pass period + TCP p99 + UDP p99",
                            r.freshness.summary.p99_us, pass_period_us + udp.p99_us + tcp.p99_us,
                            "%.1f us", freshness));
  const double min_rate = kIdlePassRateShare * r.bare_loop.PassesPerSecond();
  verdicts.push_back({"idle passes/s >= 90% of the bare select loop",
                      Text("%.0f /s", r.idle.PassesPerSecond()), Text(">= %.0f /s", min_rate), idle,
                      r.idle.PassesPerSecond() >= min_rate});
  verdicts.push_back(AtMost("idle CPU per pass <= 1.2 x the bare select loop",
                            r.idle.CpuNsPerPass() / 1000.0,
                            kIdleCpuFactor * r.bare_loop.CpuNsPerPass() / 1000.0, "%.2f us", idle));
  verdicts.push_back(AtMost("heap allocations per pass = 0", r.allocations.PerPass(), 0.0, "%.4f",
                            r.allocations.measured));
  verdicts.push_back({"peak RSS < 4 MiB", Text("%.0f KiB", static_cast<double>(r.peak_rss_kib)),
                      Text("< %.0f KiB", kPeakRssLimitKib), r.peak_rss_kib >= 0,
                      static_cast<double>(r.peak_rss_kib) < kPeakRssLimitKib});
  return verdicts;
}

}  // namespace skyhelm::bench
