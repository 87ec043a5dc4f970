// Statistics over latency samples.
#include "bench/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace skyhelm::bench {
namespace {

double ToMicros(std::int64_t ns) { return static_cast<double>(ns) / 1000.0; }

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

std::vector<CdfPoint> CdfPoints(std::vector<std::int64_t> samples_ns, std::size_t max_points) {
  std::vector<CdfPoint> points;
  if (samples_ns.empty() || max_points == 0) return points;
  std::sort(samples_ns.begin(), samples_ns.end());
  const std::size_t n = samples_ns.size();
  const std::size_t step = std::max<std::size_t>(1, n / max_points);
  // Every sample of the top percent is kept, so that the tail is drawn as measured.
  const std::size_t tail_start = n - std::min(n, n / 100 + 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (i < tail_start && (i + 1) % step != 0) continue;
    points.push_back(
        {ToMicros(samples_ns[i]), static_cast<double>(i + 1) / static_cast<double>(n)});
  }
  return points;
}

}  // namespace skyhelm::bench
