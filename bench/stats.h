// Statistics over latency samples: nearest-rank percentiles, summaries and ratios to a floor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skyhelm::bench {

// Percentiles and extremes of one set of latency samples, in microseconds.
struct LatencySummary {
  std::size_t count = 0;
  double min_us = 0;
  double mean_us = 0;
  double p50_us = 0;
  double p99_us = 0;
  double p999_us = 0;
  double max_us = 0;
};

// Nearest-rank percentile of ascending `sorted` samples: the smallest sample that at least
// fraction q (0..1) of all samples do not exceed. 0 for an empty set; q outside 0..1 is clamped.
std::int64_t NearestRank(const std::vector<std::int64_t>& sorted, double q);

// Summary of samples given in nanoseconds (any order); all zero for an empty set.
LatencySummary Summarize(std::vector<std::int64_t> samples_ns);

// value / floor, or NaN when the floor is not positive (no ratio can be given).
double RatioToFloor(double value, double floor);

// Points of the empirical distribution for plotting, ascending: pairs (latency in microseconds,
// fraction of samples at or below it). About max_points evenly spaced ranks, plus every sample of
// the top percent; the last point is always the largest sample with fraction 1.
struct CdfPoint {
  double latency_us;
  double fraction;
};
std::vector<CdfPoint> CdfPoints(std::vector<std::int64_t> samples_ns, std::size_t max_points);

}  // namespace skyhelm::bench
